/*
 * make_demo_set - writes the example disk set shipped in examples/demo-set/:
 * DEMO.1 and DEMO.2, six members in three folders (one nested), dated,
 * one read-only, one with a file version, one whose name is in code page 1252
 * (an e with an acute accent), and one whose data goes on from the first
 * volume into the second.
 *
 * Usage: make_demo_set <output-folder>
 */
#include <cstdio>
#include <string>

#include "tools/archive_writer.h"

namespace {

const char README_TEXT[] = "VARLIX DEMO 2.0\r\n"
                           "===============\r\n"
                           "\r\n"
                           "This set of two disks was made for the varlix-unpack example.\r\n"
                           "Run DEMO.EXE to start the demo; its help is in HELP\\DEMO.HLP.\r\n";

const char DEMO_INI[] = "[Demo]\r\n"
                        "Sound=Sounds\\CHIME.WAV\r\n"
                        "Help=Help\\DEMO.HLP\r\n";

const char RECIPE_TEXT[] = "Caf\xE9 au lait: one part coffee, one part hot milk.\r\n";

/* Bytes shaped like a small program: a header, then repeated code-like records. */
std::vector<uint8_t> make_program()
{
    std::vector<uint8_t> out = {'M', 'Z', 0x90, 0x00};
    for (uint32_t i = 0; out.size() < 6000; ++i) {
        const uint8_t record[] = {0x55,
                                  0x8B,
                                  0xEC,
                                  0x83,
                                  static_cast<uint8_t>(i * 7),
                                  0xE8,
                                  static_cast<uint8_t>(i),
                                  static_cast<uint8_t>(i >> 8),
                                  0x5D,
                                  0xC3};
        out.insert(out.end(), record, record + sizeof(record));
    }
    return out;
}

/* A help text of numbered topics. */
std::vector<uint8_t> make_help()
{
    std::string text;
    for (int topic = 1; topic <= 40; ++topic)
        text += "Topic " + std::to_string(topic) +
                ": press F1 for help on the window that is open.\r\n";
    return bytes_of(text);
}

/* A short 8-bit sound: a few cycles of a rising and falling ramp. */
std::vector<uint8_t> make_sound()
{
    std::vector<uint8_t> out = bytes_of("RIFF");
    for (int i = 0; i < 3000; ++i)
        out.push_back(
            static_cast<uint8_t>(128 + ((i % 40) < 20 ? (i % 20) * 6 : (20 - i % 20) * 6)));
    return out;
}

test_member member_in(uint16_t folder, const std::string &name, const std::vector<uint8_t> &plain,
                      uint16_t date, uint16_t time)
{
    test_member member = packed_member(name, plain, 1, 6);
    member.folder = folder;
    member.dos_date = date;
    member.dos_time = time;
    member.attributes = 0x20;
    return member;
}

/* MS-DOS date and time fields. */
uint16_t dos_date(int year, int month, int day)
{
    return static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
}

uint16_t dos_time(int hour, int minute, int second)
{
    return static_cast<uint16_t>(hour << 11 | minute << 5 | second / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: make_demo_set <output-folder>\n", stderr);
        return 1;
    }
    test_set set;
    set.folders = {{"Program", {}, {}}, {"Program\\Help", {}, {}}, {"Sounds", {}, {}}};
    const uint16_t day = dos_date(1998, 6, 12);
    set.members = {
        member_in(0, "DEMO.EXE", make_program(), day, dos_time(10, 30, 0)),
        member_in(0, "README.TXT", bytes_of(README_TEXT), day, dos_time(10, 31, 4)),
        member_in(0, "DEMO.INI", bytes_of(DEMO_INI), dos_date(1998, 6, 14), dos_time(9, 0, 0)),
        member_in(1, "DEMO.HLP", make_help(), dos_date(1998, 5, 2), dos_time(16, 45, 30)),
        member_in(2, "CHIME.WAV", make_sound(), dos_date(1997, 11, 20), dos_time(8, 5, 12)),
        member_in(2, "Caf\xE9.txt", bytes_of(RECIPE_TEXT), dos_date(1998, 1, 9),
                  dos_time(12, 0, 0)),
    };
    set.members[0].version_high = 2u << 16;
    set.members[0].version_low = 7;
    set.members[2].attributes = 0x21; /* read-only */
    /* Volume 1 ends in the middle of DEMO.HLP. */
    size_t first = 0;
    for (size_t i = 0; i < 3; ++i)
        first += set.members[i].data.size();
    set.volume_data_sizes = {first + set.members[3].data.size() / 2, 0};
    set.dos_date = dos_date(1998, 6, 15);
    set.dos_time = dos_time(11, 0, 0);

    const std::vector<test_archive> volumes = set_volumes(set);
    for (size_t v = 0; v < volumes.size(); ++v) {
        const std::string path = std::string(argv[1]) + "/DEMO." + std::to_string(v + 1);
        if (!write_file(path, build_archive(volumes[v]))) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
