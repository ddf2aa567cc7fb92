/*
 * varlix on archives that carry what it does not read (folder tables, member
 * details, code-page names, disk set volumes) must behave as a reader of the
 * plain format alone would: what the whole-installer reader knows must change
 * nothing varlix prints, exits with or writes. tests/golden/varlix_on_installers.txt
 * holds those outcomes for the archives built below; this test builds them
 * again and compares.
 *
 * To record the file anew, with a varlix that is known to read the plain
 * format alone:
 *   VARLIX_EXE=<that varlix> VARLIX_RECORD_GOLDEN=tests/golden/varlix_on_installers.txt \
 *       build/tests/test_cli_unchanged
 */
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

test_member detailed_member(uint16_t folder, const std::string &name, const std::string &text)
{
    test_member member = packed_member(name, bytes_of(text));
    member.folder = folder;
    member.dos_date = (1998 - 1980) << 9 | 7 << 5 | 14;
    member.dos_time = 10 << 11 | 30 << 5;
    member.attributes = 0x21;
    member.flags = 0x0040;
    member.version_high = 4u << 16 | 2;
    member.version_low = 7;
    return member;
}

test_archive foldered(bool true_layout)
{
    test_archive layout;
    layout.true_record_layout = true_layout;
    layout.folders = {
        {"", {}, {}}, {"PROGRAM\\DATA", {}, {}}, {"\x83\x66\x81\x5B\x83\x5E", {}, {}}};
    layout.members = {detailed_member(0, "SETUP.INI", "[setup]\n"),
                      detailed_member(1, "README.TXT", "first readme"),
                      detailed_member(2, "README.TXT", "second readme, other folder")};
    layout.dos_date = 0x2704;
    layout.total_size = 12345;
    return layout;
}

struct golden_archive {
    const char *label;
    std::vector<uint8_t> bytes;
};

std::vector<golden_archive> archives()
{
    test_archive code_page_name = foldered(true);
    code_page_name.members[1].name = "d\xE9j\xE0.txt";
    test_archive inconsistent = foldered(true);
    inconsistent.folders[0].member_count = 3;
    test_set set;
    set.folders = {{"Group1", {}, {}}};
    set.members = {detailed_member(0, "A.TXT", "volume one"),
                   detailed_member(0, "B.TXT", std::string(300, 'b') + "straddles"),
                   detailed_member(0, "C.TXT", "volume two")};
    set.volume_data_sizes = {set.members[0].data.size() + 5, 0};
    const std::vector<test_archive> volumes = set_volumes(set);
    return {{"folders, true layout", build_archive(foldered(true))},
            {"folders, default layout", build_archive(foldered(false))},
            {"code-page member name", build_archive(code_page_name)},
            {"inconsistent folder table", build_archive(inconsistent)},
            {"set volume 1", build_archive(volumes[0])},
            {"set volume 2", build_archive(volumes[1])}};
}

/* The runs made on each archive: list it, extract the first and the last member by name. */
const std::vector<std::vector<std::string>> RUNS = {
    {"--list", "A"}, {"A", "setup.ini", "OUT"}, {"A", "README.TXT", "OUT"}, {"A", "C.TXT", "OUT"}};

/* One line: control bytes, backslashes and non-ASCII bytes as escapes. */
std::string escaped(const std::string &text)
{
    std::string out;
    for (const char byte : text) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string fnv1a_hex(const std::vector<uint8_t> &bytes)
{
    uint64_t hash = 0xCBF29CE484222325ull;
    for (const uint8_t byte : bytes)
        hash = (hash ^ byte) * 0x100000001B3ull;
    char hex[17];
    std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class CliUnchanged : public ScratchDirTest {
  protected:
    /* What one run did, as one line of the golden file, with the scratch folder as <dir>. */
    std::string outcome(const golden_archive &archive, const std::vector<std::string> &run)
    {
        std::remove(path("OUT").c_str());
        EXPECT_TRUE(write_file(path("A"), archive.bytes));
        std::vector<std::string> args;
        for (const std::string &arg : run)
            args.push_back(arg == "A" || arg == "OUT" ? path(arg) : arg);
        const run_result result = run_varlix(args);
        std::string line = std::string(archive.label) + " |";
        for (const std::string &arg : run)
            line += " " + arg;
        line += " | exit " + std::to_string(result.exit_code) + " | out " + escaped(result.out) +
                " | err " + escaped(result.err) + " | file " +
                (path_exists(path("OUT")) ? fnv1a_hex(read_file_bytes(path("OUT"))) : "none");
        return replace_all(line, dir, "<dir>");
    }
};

TEST_F(CliUnchanged, InstallerArchivesGiveWhatTheEarlierVarlixGave)
{
    std::vector<std::string> lines;
    for (const golden_archive &archive : archives()) {
        for (const std::vector<std::string> &run : RUNS)
            lines.push_back(outcome(archive, run));
    }

    const char *source = std::getenv("VARLIX_SOURCE_DIR");
    const std::string golden =
        std::string(source != nullptr ? source : ".") + "/tests/golden/varlix_on_installers.txt";
    if (const char *record = std::getenv("VARLIX_RECORD_GOLDEN")) {
        std::ofstream out(record, std::ios::binary);
        out << "# What varlix did before the whole-installer reader (commit 6cd9b2d) on the\n"
               "# archives tests/test_cli_unchanged.cc builds: archive | run | exit code |\n"
               "# standard output | standard error | FNV-1a 64 of the output file. Made with\n"
               "#   VARLIX_EXE=<varlix of 6cd9b2d> VARLIX_RECORD_GOLDEN=<this file> "
               "build/tests/test_cli_unchanged\n";
        for (const std::string &line : lines)
            out << line << '\n';
        GTEST_SKIP() << "recorded " << lines.size() << " runs into " << record;
    }
    std::ifstream in(golden, std::ios::binary);
    ASSERT_TRUE(in) << golden;
    std::vector<std::string> expected;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind('#', 0) != 0)
            expected.push_back(line);
    }
    ASSERT_EQ(expected.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], expected[i]);
}

} // namespace
