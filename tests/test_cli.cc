/*
 * The command line through the built executable: argument patterns, the
 * usage text, the log file and the listing, byte for byte.
 */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

const char USAGE[] =
    "varlix: read an InstallShield 3 .Z archive\n"
    "\n"
    "  varlix --list <archive>\n"
    "  varlix <archive> <member> <output-file> [--log <file>]\n"
    "\n"
    "Exit codes: 0 ok, 1 usage, 2 cannot open, 3 not an archive, 4 bad directory,\n"
    "            5 no such member, 6 damaged stream, 7 cannot write, 8 size mismatch.\n";

class CommandLine : public ScratchDirTest {
  protected:
    /* Runs in the scratch directory, so relative names land there. */
    run_result run(const std::vector<std::string> &args)
    {
        return run_varlix(args, dir);
    }

    std::string make_archive(const std::string &name, const test_archive &archive)
    {
        EXPECT_TRUE(write_file(path(name), build_archive(archive)));
        return path(name);
    }

    void expect_usage(const run_result &result)
    {
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, USAGE);
    }
};

test_archive three_member_archive()
{
    test_archive archive;
    archive.members.push_back(packed_member("README.TXT", sample_text(1000)));
    archive.members.push_back(packed_member("setup.ini", bytes_of("[Setup]\r\nName=Demo\r\n")));
    archive.members.push_back(packed_member("DATA.BIN", random_bytes(300, 7), 1, 4));
    return archive;
}

TEST_F(CommandLine, WrongArgumentPatternsPrintTheUsageText)
{
    const std::vector<std::vector<std::string>> patterns = {
        {},           {"--list"},        {"--list", "a.z", "b"},
        {"a.z", "b"}, {"--LIST", "a.z"}, {"--list", "a.z", "member", "out"},
    };
    for (const auto &args : patterns) {
        SCOPED_TRACE(::testing::PrintToString(args));
        expect_usage(run(args));
    }
}

TEST_F(CommandLine, ListFormWithLogCreatesTheLogButWritesNothingToIt)
{
    expect_usage(run({"--list", "a.z", "--log", "run.log"}));
    EXPECT_EQ(file_or_missing(path("run.log")), "");
}

TEST_F(CommandLine, LogAloneIsCreatedAndLeftUnchanged)
{
    expect_usage(run({"--log", "fresh.log"}));
    EXPECT_EQ(file_or_missing(path("fresh.log")), "");

    ASSERT_TRUE(write_file(path("old.log"), bytes_of("earlier line\n")));
    expect_usage(run({"--log", "old.log"}));
    EXPECT_EQ(file_or_missing(path("old.log")), "earlier line\n");
}

TEST_F(CommandLine, LogReceivesEveryReportLineOfAnExtraction)
{
    make_archive("a.z", three_member_archive());
    ASSERT_TRUE(write_file(path("run.log"), bytes_of("before\n")));
    const run_result result = run({"a.z", "NOPE", "out", "--log", "run.log"});
    const std::string line = "a.z: no member called \"NOPE\" (the archive holds 3)\n";
    EXPECT_EQ(result.exit_code, 5);
    EXPECT_EQ(result.err, line);
    EXPECT_EQ(file_or_missing(path("run.log")), "before\n" + line);
}

TEST_F(CommandLine, TrailingLogWithoutFileOpensNoLog)
{
    const run_result result = run({"missing.z", "m", "out", "--log"});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "missing.z: the archive could not be opened\n");
}

TEST_F(CommandLine, OnlyTheFirstLogIsOpened)
{
    const run_result result =
        run({"missing.z", "m", "out", "--log", "first.log", "--log", "second.log"});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(file_or_missing(path("first.log")), "missing.z: the archive could not be opened\n");
    EXPECT_FALSE(path_exists(path("second.log")));
}

TEST_F(CommandLine, LogOptionIsMatchedExactly)
{
    for (const std::string option : {"--LOG", "--log=x.log", "-log", "--logx"}) {
        SCOPED_TRACE(option);
        const run_result result = run({"missing.z", "m", "out", option, "x.log"});
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_FALSE(path_exists(path("x.log")));
    }
}

TEST_F(CommandLine, LogBeforeTheArgumentsShiftsThemByPosition)
{
    make_archive("a.z", three_member_archive());
    const run_result result = run({"--log", "L.log", "a.z", "README.TXT", "out"});
    const std::string line = "--log: the archive could not be opened\n";
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, line);
    EXPECT_EQ(file_or_missing(path("L.log")), line);
    EXPECT_FALSE(path_exists(path("out")));
}

TEST_F(CommandLine, ListPrintsTheCountLineAndOneLinePerMember)
{
    test_archive archive = three_member_archive();
    make_archive("three.z", archive);
    const run_result result = run({"--list", "three.z"});

    std::string expected = "3 member(s) in three.z\n";
    char line[200];
    for (size_t i = 0; i < archive.members.size(); ++i) {
        const test_member &m = archive.members[i];
        std::snprintf(line, sizeof(line), "  %-24s offset %10u  compressed %10u  expands to %10u\n",
                      m.name.c_str(), default_data_offset(archive, i),
                      static_cast<unsigned>(m.data.size()), m.unpacked_size);
        expected += line;
    }
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, expected);
}

TEST_F(CommandLine, ListAlignsLongNamesAndLargestNumbers)
{
    test_member largest = raw_member("A", {}, 4294967295u);
    largest.offset = 4294967295u;
    test_member long_name = raw_member("A-NAME-LONGER-THAN-24-CHARACTERS.TXT", {}, 0);
    long_name.packed_size = 4294967295u - 255;
    test_archive archive;
    archive.members = {largest, long_name};
    make_archive("wide.z", archive);
    ASSERT_TRUE(resize_file(path("wide.z"), 4294967296u)); /* sparse: holds both extents */

    const run_result result = run({"--list", "wide.z"});
    const std::string expected =
        "2 member(s) in wide.z\n"
        "  A                        offset 4294967295  compressed          0  expands to "
        "4294967295\n"
        "  A-NAME-LONGER-THAN-24-CHARACTERS.TXT offset        255  compressed 4294967040  "
        "expands to          0\n";
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, expected);
}

TEST_F(CommandLine, ListShowsThePathAsTyped)
{
    make_archive("three.z", three_member_archive());
    const run_result result = run({"--list", "./three.z"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), "3 member(s) in ./three.z");
}

} // namespace
