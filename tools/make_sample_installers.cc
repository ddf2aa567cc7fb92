/*
 * make_sample_installers - writes generated installers for the web page's
 * tests, its screenshot and its speed figures:
 *
 *   <dir>/set/_SETUP.1 .. _SETUP.3  a disk set of 14 members in 6 folders:
 *       the root, nested folders, folder names in code page 932 (one with a
 *       0x5C trail byte, the byte of '\'), the same name in two folders, a
 *       read-only and a hidden member, a file version, and two members that
 *       straddle a volume boundary;
 *   <dir>/damaged.z  a plain archive with one good member, one whose stream
 *       is damaged and one whose stream is shorter than its recorded size;
 *   <dir>/hostile.z  names that would leave the folder written to, or take a
 *       path twice;
 *   <dir>/pair.z     two small members, the page's quickest listing;
 *   <dir>/tree.z     4,096 members of a byte or two in 4,000 folders two deep;
 *   <dir>/deep-21000.z, deep-32700.z  one folder that many parts deep
 *       (a\a\...), holding DEEP.TXT, and TOP.TXT at the root;
 *   <dir>/limits.z   paths on either side of the longest path allowed (128
 *       parts, 1,024 bytes of UTF-8), and names of the form of
 *       varlix-unpack's temporary files;
 *   <dir>/awkward.z  names holding HTML, a member claiming 4 GiB of
 *       compressed data, and one recorded as 100 bytes whose stream
 *       expands to 64 MiB;
 *   <dir>/_INST32I.EX_  an engine container of four members, one of them
 *       placed inside the table;
 *   <dir>/media/     a folder as installers come on a CD or in copies of
 *       floppies: plain archives side by side (one of members stored as
 *       they stand, flag 0x0010, one of them recorded a byte longer than
 *       it is; one named as no archive is; one damaged in its directory),
 *       _SETUP.LIB beside a set, the container, a set across disk folders
 *       numbered from 9 (so that its volumes' paths sort out of their
 *       order), and ordinary files;
 *   <dir>/large.z    with --large-mib N only: one member of N MiB.
 *
 * Usage: make_sample_installers <dir> [--large-mib N]
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "tools/archive_writer.h"
#include "tools/implode_encoder.h"
#include "tools/seeded_random.h"

namespace {

using bytes = std::vector<uint8_t>;

/* Lines of words drawn from a small vocabulary, CR LF ended, as installers' text files are. */
bytes sample_prose(size_t size, uint64_t seed)
{
    static const char *const WORDS[] = {
        "the",     "setup",  "program", "copies", "files", "to",      "your",   "hard",
        "disk",    "and",    "adds",    "icons",  "for",   "windows", "insert", "next",
        "when",    "asked",  "restart", "after",  "it",    "has",     "ended",  "readme",
        "support", "driver", "sound",   "card",   "video", "memory",  "press",  "enter"};
    bytes out;
    size_t line = 0;
    while (out.size() < size) {
        const char *word = WORDS[random_below(&seed, sizeof(WORDS) / sizeof(WORDS[0]))];
        out.insert(out.end(), word, word + std::strlen(word));
        line += std::strlen(word) + 1;
        if (line > 60) {
            out.push_back('\r');
            out.push_back('\n');
            line = 0;
        } else {
            out.push_back(' ');
        }
    }
    out.resize(size);
    return out;
}

/* Records of a few fields, partly repeated, as program data files are. */
bytes sample_records(size_t size, uint64_t seed)
{
    bytes out;
    while (out.size() < size) {
        const uint64_t r = next_random(&seed);
        const uint8_t record[16] = {'R',
                                    'E',
                                    'C',
                                    static_cast<uint8_t>(r),
                                    0,
                                    0,
                                    static_cast<uint8_t>(r >> 8),
                                    static_cast<uint8_t>(r >> 16),
                                    1,
                                    0,
                                    0,
                                    0,
                                    0xFF,
                                    0xFF,
                                    static_cast<uint8_t>(r % 5),
                                    0};
        out.insert(out.end(), record, record + sizeof(record));
    }
    out.resize(size);
    return out;
}

uint16_t dos_date(int year, int month, int day)
{
    return static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
}

uint16_t dos_time(int hour, int minute, int second)
{
    return static_cast<uint16_t>(hour << 11 | minute << 5 | second / 2);
}

struct sample {
    const char *name;
    uint16_t folder;
    bytes content;
    uint16_t date;
    uint16_t time;
    uint32_t attributes;
};

/* Shift-JIS bytes of データ and ソフト\表示; ソ (83 5C) and 表 (95 5C) end in the byte of '\'. */
const char DATA_FOLDER[] = "\x83\x66\x81\x5B\x83\x5E";
const char SOFT_FOLDER[] = "\x83\x5C\x83\x74\x83\x67";
const char DISPLAY_FOLDER[] = "\x83\x5C\x83\x74\x83\x67\\\x95\x5C\x8E\xA6";

test_set sample_set()
{
    test_set set;
    set.folders = {{"", {}, {}},          {"Program", {}, {}},   {"Program\\Help", {}, {}},
                   {DATA_FOLDER, {}, {}}, {SOFT_FOLDER, {}, {}}, {DISPLAY_FOLDER, {}, {}},
                   {"Shared", {}, {}}};
    const uint32_t archive = 0x20, read_only = 0x21, hidden = 0x22;
    const sample samples[] = {
        {"SETUP.INS", 0, sample_records(3000, 1), dos_date(1996, 3, 14), dos_time(9, 30, 0),
         archive},
        {"SETUP.INI", 0, sample_prose(700, 2), dos_date(1996, 3, 14), dos_time(9, 30, 2), archive},
        {"PROGRAM.EXE", 1, sample_records(60000, 3), dos_date(1996, 2, 29), dos_time(23, 59, 58),
         archive},
        {"README.TXT", 1, sample_prose(9000, 4), dos_date(1996, 3, 1), dos_time(0, 0, 0),
         read_only},
        {"MANUAL.TXT", 2, sample_prose(120000, 5), dos_date(1995, 12, 31), dos_time(12, 0, 30),
         archive},
        {"INDEX.HLP", 2, sample_records(8000, 6), dos_date(1995, 12, 31), dos_time(12, 1, 0),
         archive},
        {"MAP01.DAT", 3, sample_records(40000, 7), dos_date(1997, 7, 1), dos_time(8, 15, 10),
         archive},
        {"MAP02.DAT", 3, sample_records(42000, 8), dos_date(1997, 7, 1), dos_time(8, 15, 12),
         archive},
        {"\x90\xE0\x96\xBE.TXT", 3, sample_prose(2500, 9), dos_date(1997, 7, 2), dos_time(10, 0, 0),
         archive},
        {"FONT.FNT", 4, sample_records(30000, 10), dos_date(1997, 6, 30), dos_time(18, 45, 0),
         hidden},
        {"PALETTE.PAL", 5, random_bytes(768, 11), dos_date(1997, 6, 30), dos_time(18, 46, 0),
         archive},
        {"COMMON.DLL", 6, sample_records(50000, 12), dos_date(1996, 1, 2), dos_time(3, 4, 6),
         archive},
        {"README.TXT", 6, sample_prose(4000, 13), dos_date(1996, 1, 3), dos_time(3, 4, 8), archive},
        {"EMPTY.LOG", 6, {}, dos_date(1996, 1, 4), dos_time(5, 6, 8), archive},
    };
    for (const sample &s : samples) {
        test_member member = packed_member(s.name, s.content);
        member.folder = s.folder;
        member.dos_date = s.date;
        member.dos_time = s.time;
        member.attributes = s.attributes;
        set.members.push_back(member);
    }
    set.members[11].version_high = 2 << 16 | 1;
    set.members[11].version_low = 1996 << 16 | 7;

    /* Volume 1 ends inside MANUAL.TXT, volume 2 inside MAP02.DAT. */
    size_t before_manual = 0, before_map02 = 0;
    for (size_t i = 0; i < 4; ++i)
        before_manual += set.members[i].data.size();
    for (size_t i = 0; i < 7; ++i)
        before_map02 += set.members[i].data.size();
    const size_t first = before_manual + set.members[4].data.size() / 2;
    const size_t second = before_map02 + set.members[7].data.size() / 3 - first;
    set.volume_data_sizes = {first, second, 0};
    return set;
}

/* One good member, one with a damaged stream, one whose stream ends early. */
test_archive damaged_archive()
{
    test_archive archive;
    archive.folders = {{"", {}, {}}};
    archive.true_record_layout = true;
    archive.members.push_back(packed_member("GOOD.TXT", sample_prose(5000, 20)));
    test_member broken = packed_member("BROKEN.DAT", sample_records(5000, 21));
    broken.data[1] = 7; /* a dictionary size the format does not have */
    archive.members.push_back(broken);
    test_member short_member = packed_member("SHORT.TXT", sample_prose(3000, 22));
    short_member.unpacked_size += 100;
    archive.members.push_back(short_member);
    for (test_member &member : archive.members) {
        member.dos_date = dos_date(1998, 5, 20);
        member.dos_time = dos_time(14, 2, 4);
        member.attributes = 0x20;
    }
    return archive;
}

/*
 * Names no extraction may follow: a folder climbing out, an absolute
 * folder, a member "..", a drive letter, two names that differ in case
 * only, and a file where a folder must go; and one safe member.
 */
test_archive hostile_archive()
{
    test_archive archive;
    archive.folders = {{"", {}, {}}, {"..\\..\\evil", {}, {}}, {"Good", {}, {}}, {"\\abs", {}, {}}};
    archive.true_record_layout = true;
    const struct {
        const char *name;
        uint16_t folder;
    } names[] = {{"..", 0},   {"C:DRIVE.TXT", 0}, {"OK.TXT", 0}, {"ok.txt", 0},
                 {"Good", 0}, {"EVIL.TXT", 1},    {"IN.TXT", 2}, {"ABS.TXT", 3}};
    uint64_t seed = 40;
    for (const auto &n : names) {
        archive.members.push_back(packed_member(n.name, sample_prose(200, ++seed)));
        archive.members.back().folder = n.folder;
        archive.members.back().dos_date = dos_date(1998, 5, 20);
        archive.members.back().dos_time = dos_time(14, 2, 4);
    }
    return archive;
}

/*
 * An implode stream of @total bytes made of long matches over a 4096-byte
 * random block, written token by token: compressing that much with
 * implode() would take minutes.
 */
bytes long_matches_stream(size_t total)
{
    implode_writer writer;
    implode_begin(&writer, 0, 6);
    const bytes block = random_bytes(4096, 30);
    for (uint8_t byte : block)
        implode_put_literal(&writer, byte);
    uint64_t seed = 31;
    size_t size = block.size();
    while (size < total) {
        size_t length = IMPLODE_MAX_MATCH - random_below(&seed, 64);
        if (total - size < length)
            length = total - size;
        if (length < IMPLODE_MIN_MATCH) {
            implode_put_literal(&writer, 0);
            size += 1;
            continue;
        }
        implode_put_match(&writer, static_cast<uint32_t>(length), 4096);
        size += length;
    }
    implode_put_end_marker(&writer);
    return implode_finish(&writer);
}

test_archive large_archive(size_t mib)
{
    const size_t total = mib << 20;
    test_archive archive;
    archive.members.push_back(
        raw_member("LARGE.BIN", long_matches_stream(total), static_cast<uint32_t>(total)));
    archive.members[0].dos_date = dos_date(1999, 12, 31);
    archive.members[0].dos_time = dos_time(23, 59, 58);
    return archive;
}

/* Members of prose seeded from @seed on, in the folders given, dated alike. */
void add_members(test_archive *archive, const std::vector<std::pair<std::string, uint16_t>> &names,
                 size_t size, uint64_t seed)
{
    for (const auto &name : names) {
        archive->members.push_back(packed_member(name.first, sample_prose(size, ++seed)));
        archive->members.back().folder = name.second;
        archive->members.back().dos_date = dos_date(2001, 9, 8);
        archive->members.back().dos_time = dos_time(7, 6, 4);
        archive->members.back().attributes = 0x20;
    }
}

test_archive pair_archive()
{
    test_archive archive;
    archive.folders = {{"", {}, {}}};
    archive.true_record_layout = true;
    add_members(&archive, {{"ONE.TXT", 0}, {"TWO.TXT", 0}}, 300, 50);
    return archive;
}

/*
 * 40 folders of one character, each holding 99 of two: 4,000 folders, whose
 * names fill most of the 64 KiB a folder table may take. The members go
 * round them, so that 96 folders hold two.
 */
test_archive tree_archive()
{
    static const char ALPHABET[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    test_archive archive;
    archive.true_record_layout = true;
    archive.folders.push_back({"", {}, {}});
    for (size_t top = 0; top < 40; ++top) {
        const std::string name(1, ALPHABET[top]);
        archive.folders.push_back({name, {}, {}});
        for (size_t child = 0; child < 99; ++child)
            archive.folders.push_back(
                {name + "\\" + ALPHABET[child / 62] + ALPHABET[child % 62], {}, {}});
    }
    const uint64_t seed = 60;
    for (uint32_t i = 0; i < 4096; ++i) {
        const bytes content = random_bytes(1 + i % 2, seed + i);
        archive.members.push_back(packed_member("M" + std::to_string(i) + ".DAT", content));
        archive.members.back().folder = static_cast<uint16_t>(1 + i % 4000);
        archive.members.back().dos_date = dos_date(2002, 1 + i % 12, 1 + i % 28);
        archive.members.back().dos_time = dos_time(i % 24, i % 60, 0);
        archive.members.back().attributes = 0x20;
    }
    return archive;
}

/* @count parts of @part, joined by '\\'. */
std::string repeated_parts(const std::string &part, size_t count)
{
    std::string name;
    for (size_t i = 0; i < count; ++i)
        name += (i == 0 ? "" : "\\") + part;
    return name;
}

test_archive deep_archive(size_t parts)
{
    test_archive archive;
    archive.folders = {{"", {}, {}}, {repeated_parts("a", parts), {}, {}}};
    archive.true_record_layout = true;
    add_members(&archive, {{"TOP.TXT", 0}, {"DEEP.TXT", 1}}, 400, 70);
    return archive;
}

/*
 * Each limit met exactly and passed by one: 128 parts and 129; 1,024 bytes
 * and 1,025, in ASCII and in code page 1252 letters that take two bytes of
 * UTF-8 each (a path of 804 such bytes is 1,025 of UTF-8); a bad part
 * beyond the limit, whose own reason wins; and names of the temporary
 * files' form, with two that only resemble it.
 */
test_archive limits_archive()
{
    const std::string wide(100, '\xE9'), long_part(200, 'c');
    test_archive archive;
    archive.folders = {{"", {}, {}},
                       {repeated_parts("b", 127), {}, {}},
                       {repeated_parts("b", 128), {}, {}},
                       {repeated_parts(long_part, 4), {}, {}},
                       {repeated_parts(wide, 4), {}, {}}};
    archive.true_record_layout = true;
    add_members(&archive,
                {{"PARTS128.TXT", 1},
                 {"PARTS129.TXT", 2},
                 {"..", 2},
                 {std::string(220, 'n'), 3},
                 {std::string(221, 'n'), 3},
                 {std::string(221, 'w'), 4},
                 {".varlix-unpack-12-3.tmp", 0},
                 {".VARLIX-UNPACK-.TMP", 0},
                 {".varlix-unpack.tmp", 0},
                 {".varlix-unpack-1.tmp.txt", 0}},
                100, 80);
    return archive;
}

/*
 * Names holding HTML, one of a folder; a member whose record claims 4 GiB of
 * compressed data; one recorded as 100 bytes whose stream expands to
 * 64 MiB; and one good member.
 */
test_archive awkward_archive()
{
    test_archive archive;
    archive.folders = {{"", {}, {}}, {"<svg onload=pwned()>", {}, {}}};
    archive.true_record_layout = true;
    add_members(&archive,
                {{"GOOD.TXT", 0},
                 {"<img src=x onerror=pwned()>.TXT", 0},
                 {"<b onmouseover=pwned()>BOLD.TXT", 1}},
                500, 90);
    test_member claim = packed_member("CLAIM.BIN", sample_records(2000, 95));
    claim.packed_size = 0xFFFFFFF0u;
    archive.members.push_back(claim);
    archive.members.push_back(raw_member("BOMB.BIN", long_matches_stream(64u << 20), 100));
    return archive;
}

/* The flag of a member whose data is the file itself. */
const uint16_t STORED_FLAG = 0x0010;

/* A program file's bytes: "MZ", then records. */
bytes sample_program(size_t size, uint64_t seed)
{
    bytes program = sample_records(size, seed);
    program[0] = 'M';
    program[1] = 'Z';
    return program;
}

/* Members stored as they stand, one recorded a byte longer than it is; and one imploded. */
test_archive stored_archive()
{
    test_archive archive;
    archive.folders = {{"", {}, {}}, {"SYSTEM", {}, {}}};
    archive.true_record_layout = true;
    const bytes library = sample_program(9000, 100), helper = sample_program(3000, 101);
    archive.members.push_back(
        raw_member("SUPPORT.DLL", library, static_cast<uint32_t>(library.size())));
    archive.members.push_back(
        raw_member("LONGER.DLL", helper, static_cast<uint32_t>(helper.size() + 1)));
    archive.members.push_back(packed_member("NOTES.TXT", sample_prose(4000, 102)));
    archive.members[0].folder = 1;
    archive.members[0].flags = STORED_FLAG;
    archive.members[1].flags = STORED_FLAG;
    for (test_member &member : archive.members) {
        member.dos_date = dos_date(1999, 4, 1);
        member.dos_time = dos_time(10, 20, 30);
        member.attributes = 0x20;
    }
    return archive;
}

/* The engine's files under their second names; the last one's data offset lies in the table. */
test_container sample_container()
{
    const struct {
        const char *name, *stored_as;
        size_t size;
    } files[] = {{"INSTALL.EXE", "_INS0432._MP", 30000},
                 {"LZWSERV.EXE", "_INZ0432._MP", 6000},
                 {"WUTL95i.DLL", "_WUTL95.DLL", 9000},
                 {"INSIDE.EXE", "_INI0432._MP", 2000}};
    test_container container;
    uint64_t seed = 110;
    for (const auto &file : files)
        container.members.push_back(
            {packed_member(file.name, sample_program(file.size, ++seed)), file.stored_as, {}, {}});
    container.members.back().member.offset = 100;
    return container;
}

/* A plain archive whose directory runs past the end of its file. */
bytes archive_cut_in_directory()
{
    bytes whole = build_archive(pair_archive());
    whole.resize(whole.size() - 20);
    return whole;
}

/* A set of three volumes like the sample set but of another date, so that no volume fits both. */
std::vector<test_archive> floppy_volumes()
{
    test_set set = sample_set();
    set.dos_time = dos_time(11, 11, 10);
    return set_volumes(set);
}

/* The files of the media folder, by their paths in it, and their bytes. */
std::vector<std::pair<std::string, bytes>> media_files()
{
    test_archive help = pair_archive(), library = pair_archive();
    help.members[0].name = "HELP.HLP";
    library.members[1].name = "SETUP.DLL";
    std::vector<std::pair<std::string, bytes>> files = {
        {"README.TXT", sample_prose(800, 120)},
        {"PROGRAM/DATA.Z", build_archive(stored_archive())},
        {"PROGRAM/HELP.Z", build_archive(help)},
        {"PROGRAM/SOUND.DAT", build_archive(damaged_archive())},
        {"PROGRAM/BROKEN.Z", archive_cut_in_directory()},
        {"SETUP/_SETUP.LIB", build_archive(library)},
        {"SETUP/_INST32I.EX_", build_container(sample_container())},
        {"SETUP/SETUP.EXE", sample_program(5000, 121)},
    };
    const std::vector<test_archive> set = set_volumes(sample_set()), floppies = floppy_volumes();
    for (size_t i = 0; i < set.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        files.push_back({"SETUP/_SETUP." + number, build_archive(set[i])});
        files.push_back({"FLOPPY/Disk " + std::to_string(i + 9) + "/_SETUP." + number,
                         build_archive(floppies[i])});
    }
    return files;
}

bool write_or_report(const std::string &path, const bytes &content)
{
    if (write_file(path, content))
        return true;
    std::perror(path.c_str());
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool large = argc == 4 && std::strcmp(argv[2], "--large-mib") == 0;
    if (argc != 2 && !large) {
        std::fputs("usage: make_sample_installers <dir> [--large-mib N]\n", stderr);
        return 1;
    }
    const std::string dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(dir + "/set", error);
    const std::vector<test_archive> volumes = set_volumes(sample_set());
    bool ok = true;
    for (size_t i = 0; i < volumes.size(); ++i)
        ok = ok && write_or_report(dir + "/set/_SETUP." + std::to_string(i + 1),
                                   build_archive(volumes[i]));
    ok = ok && write_or_report(dir + "/damaged.z", build_archive(damaged_archive()));
    ok = ok && write_or_report(dir + "/hostile.z", build_archive(hostile_archive()));
    const struct {
        const char *name;
        test_archive archive;
    } archives[] = {{"pair.z", pair_archive()},
                    {"tree.z", tree_archive()},
                    {"deep-21000.z", deep_archive(21000)},
                    {"deep-32700.z", deep_archive(32700)},
                    {"limits.z", limits_archive()},
                    {"awkward.z", awkward_archive()}};
    for (const auto &a : archives)
        ok = ok && write_or_report(dir + "/" + a.name, build_archive(a.archive));
    ok = ok && write_or_report(dir + "/_INST32I.EX_", build_container(sample_container()));
    for (const auto &file : media_files()) {
        const std::string path = dir + "/media/" + file.first;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
        ok = ok && write_or_report(path, file.second);
    }
    if (large)
        ok =
            ok && write_or_report(dir + "/large.z",
                                  build_archive(large_archive(std::strtoul(argv[3], nullptr, 10))));
    return ok ? 0 : 1;
}
