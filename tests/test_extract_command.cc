/*
 * The extract command through the built executable: its lines, its exit
 * codes and what each outcome leaves on disk.
 */
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

const std::vector<uint8_t> README = sample_text(6000, 11);

class ExtractCommand : public ScratchDirTest {
  protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        archive_path = path("setup.z");
        write_archive({packed_member("ReadMe.Txt", README)});
    }

    void write_archive(std::vector<test_member> members)
    {
        test_archive layout;
        layout.members = std::move(members);
        ASSERT_TRUE(write_file(archive_path, build_archive(layout)));
    }

    std::string extracting_line(const test_member &member, uint32_t offset = 255)
    {
        char line[300];
        std::snprintf(line, sizeof(line),
                      "extracting %s: %u compressed bytes at offset %u, expecting %u bytes out\n",
                      member.name.c_str(), static_cast<unsigned>(member.data.size()), offset,
                      member.unpacked_size);
        return line;
    }

    std::string archive_path;
};

TEST_F(ExtractCommand, SuccessPrintsTwoLinesAndWritesTheMember)
{
    const test_member member = packed_member("ReadMe.Txt", README);
    const std::string out = path("readme.txt");
    const run_result result = run_varlix({archive_path, "README.TXT", out});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, extracting_line(member) + "wrote " + out + ", 6000 bytes, length " +
                              "verified against the archive directory\n");
    EXPECT_EQ(read_file_bytes(out), README);
}

TEST_F(ExtractCommand, MissingMemberLeavesAnExistingOutputAlone)
{
    const std::string out = path("out");
    ASSERT_TRUE(write_file(out, bytes_of("keep me")));
    const run_result result = run_varlix({archive_path, "Read Me.txt", out});
    EXPECT_EQ(result.exit_code, 5);
    EXPECT_EQ(result.err,
              archive_path + ": no member called \"Read Me.txt\" (the archive holds 1)\n");
    EXPECT_EQ(file_or_missing(out), "keep me");
}

TEST_F(ExtractCommand, ArchiveThatDoesNotOpenGivesOneLine)
{
    const run_result result = run_varlix({path("nothing.z"), "a", path("out")});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, path("nothing.z") + ": the archive could not be opened\n");
    EXPECT_FALSE(path_exists(path("out")));
}

TEST_F(ExtractCommand, FailuresAfterTheExtractingLineNameTheOutput)
{
    struct failure_case {
        const char *what;
        test_member member;
        std::string output;
        const char *text;
        int exit_code;
    };
    test_member damaged = packed_member("A.TXT", README);
    damaged.data.resize(damaged.data.size() - 3);
    test_member one_more = packed_member("A.TXT", README);
    one_more.unpacked_size += 1;
    test_member one_less = packed_member("A.TXT", README);
    one_less.unpacked_size -= 1;
    const failure_case cases[] = {
        {"damaged stream", damaged, path("out"), "the compressed stream is damaged", 6},
        {"size one more", one_more, path("out"),
         "the extracted size is not the size the archive records", 8},
        {"size one less", one_less, path("out"),
         "the extracted size is not the size the archive records", 8},
        {"missing directory", packed_member("A.TXT", README), path("missing/out"),
         "the output file could not be written", 7},
    };
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.what);
        write_archive({c.member});
        const run_result result = run_varlix({archive_path, "a.txt", c.output});
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.err, extracting_line(c.member) + c.output + ": " + c.text + "\n");
        EXPECT_FALSE(path_exists(c.output));
    }
}

TEST_F(ExtractCommand, LogReceivesTheSameLines)
{
    const std::string log = path("run.log");
    ASSERT_TRUE(write_file(log, bytes_of("earlier run\n")));
    const run_result result = run_varlix({archive_path, "readme.txt", path("out"), "--log", log});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(file_or_missing(log), "earlier run\n" + result.err);
    EXPECT_NE(result.err.find("\nwrote "), std::string::npos);
}

TEST_F(ExtractCommand, OutputNamingTheArchiveOrTheLogIsRefused)
{
    const std::vector<uint8_t> original = read_file_bytes(archive_path);
    run_result result = run_varlix({archive_path, "readme.txt", archive_path});
    EXPECT_EQ(result.exit_code, 7);
    EXPECT_NE(result.err.find(archive_path + ": the output file could not be written\n"),
              std::string::npos);
    EXPECT_EQ(read_file_bytes(archive_path), original);

    const std::string log = path("run.log");
    ASSERT_TRUE(write_file(log, bytes_of("earlier run\n")));
    result = run_varlix({archive_path, "readme.txt", log, "--log", log});
    EXPECT_EQ(result.exit_code, 7);
    EXPECT_EQ(file_or_missing(log), "earlier run\n" + result.err);
}

TEST_F(ExtractCommand, LogThatIsTheArchiveGetsNoLineAndTheArchiveStaysUnchanged)
{
    const std::vector<uint8_t> original = read_file_bytes(archive_path);
    ASSERT_EQ(symlink(archive_path.c_str(), path("link.z").c_str()), 0);
    for (const std::string &log : {archive_path, path("link.z")}) {
        SCOPED_TRACE(log);
        const run_result result =
            run_varlix({archive_path, "readme.txt", path("out"), "--log", log});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.err.find("\nwrote "), std::string::npos);
        EXPECT_EQ(read_file_bytes(archive_path), original);
    }
}

/* A private link to the tool's own standard output, never the system's /dev/stdout. */
std::string link_to_standard_output(const std::string &link)
{
    if (symlink("/proc/self/fd/1", link.c_str()) != 0 || !path_exists("/proc/self/fd/1"))
        return "";
    return link;
}

TEST_F(ExtractCommand, PipeClosedByItsReaderIsAWriteFailure)
{
    if (varlix_is_windows_program())
        GTEST_SKIP() << "a Windows program cannot reach its standard output through /proc";
    const test_member big = packed_member("BIG.BIN", std::vector<uint8_t>(1 << 20, 'x'));
    write_archive({big});
    const std::string out = link_to_standard_output(path("stdout"));
    if (out.empty())
        GTEST_SKIP() << "no /proc/self/fd here";
    const std::string script =
        "status=$1; shift; { \"$@\"; echo $? >\"$status\"; } | head -c 10 >/dev/null; "
        "exit \"$(cat \"$status\")\"";
    const run_result result =
        run_varlix({archive_path, "big.bin", out}, "", {"sh", "-c", script, "sh", path("status")});
    EXPECT_EQ(result.exit_code, 7);
    EXPECT_EQ(result.err, extracting_line(big) + out + ": the output file could not be written\n");
}

TEST_F(ExtractCommand, FailureThroughALinkToStandardOutputRemovesTheRedirectedFile)
{
    if (varlix_is_windows_program())
        GTEST_SKIP() << "a Windows program cannot reach its standard output through /proc";
    test_member damaged = packed_member("A.TXT", README);
    damaged.data.resize(damaged.data.size() / 2);
    write_archive({damaged});
    const std::string out = link_to_standard_output(path("stdout"));
    if (out.empty())
        GTEST_SKIP() << "no /proc/self/fd here";
    const std::string redirected = path("redirected");
    const run_result result =
        run_varlix({archive_path, "a.txt", out}, "",
                   {"sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\"", "sh", redirected});
    EXPECT_EQ(result.exit_code, 6);
    EXPECT_FALSE(path_exists(redirected));
    struct stat info;
    ASSERT_EQ(lstat(out.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST_F(ExtractCommand, StoredMembersAreListedAndCopied)
{
    test_member stored = raw_member("SETUP.DLL", README, 6000);
    stored.flags = 0x0010;
    test_member mismatched = raw_member("OTHER.DLL", README, 5999);
    mismatched.flags = 0x0010;
    write_archive({stored, mismatched});
    const run_result listing = run_varlix({"--list", archive_path});
    EXPECT_EQ(listing.exit_code, 0);
    EXPECT_NE(listing.out.find("  SETUP.DLL                offset        255  compressed       6000"
                               "  expands to       6000\n"),
              std::string::npos)
        << listing.out;
    const std::string out = path("setup.dll");
    const run_result copied = run_varlix({archive_path, "setup.dll", out});
    EXPECT_EQ(copied.exit_code, 0) << copied.err;
    EXPECT_EQ(read_file_bytes(out), README);
    const run_result wrong = run_varlix({archive_path, "other.dll", path("other.dll")});
    EXPECT_EQ(wrong.exit_code, 8);
    EXPECT_FALSE(path_exists(path("other.dll")));
}

TEST_F(ExtractCommand, ExtractsToStandardOutput)
{
    if (varlix_is_windows_program())
        GTEST_SKIP() << "/dev/stdout is a POSIX path";
    const run_result result = run_varlix({archive_path, "readme.txt", "/dev/stdout"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, std::string(README.begin(), README.end()));
}

TEST_F(ExtractCommand, WriteFailureOnARegularFileRemovesIt)
{
    if (varlix_is_windows_program())
        GTEST_SKIP()
            << "a Windows program has no file-size limit; the test runs the tool unwrapped";
    /* A file-size limit makes the writes fail part way; the signal it raises is ignored. */
    write_archive({packed_member("BIG.BIN", random_bytes(300000, 5))});
    const std::string out = path("big.bin");
    const std::string command = "trap '' XFSZ; ulimit -f 64; exec \"" + varlix_executable() +
                                "\" \"" + archive_path + "\" big.bin \"" + out + "\" 2>\"" +
                                path("err") + "\"";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_NE(read_file_text(path("err")).find(out + ": the output file could not be written\n"),
              std::string::npos);
    EXPECT_FALSE(path_exists(out));
}

/* The real archive from a 1999 installer, when it is present beside the project. */
std::string real_archive_path()
{
    if (const char *given = std::getenv("VARLIX_REAL_ARCHIVE"))
        return given;
    const char *source = std::getenv("VARLIX_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/../shared/realdata/_SETUP.LIB";
}

TEST_F(ExtractCommand, RealArchiveListsAndEveryMemberExtracts)
{
    const std::string real = real_archive_path();
    if (!path_exists(real))
        GTEST_SKIP() << "real archive not present at " << real;
    const run_result listing = run_varlix({"--list", real});
    ASSERT_EQ(listing.exit_code, 0) << listing.err;

    arc_archive archive = {};
    ASSERT_EQ(arc_open(real.c_str(), &archive), ARC_OK);
    ASSERT_GT(archive.member_count, 0u);
    EXPECT_EQ(listing.out.substr(0, listing.out.find(' ')), std::to_string(archive.member_count));
    for (uint32_t i = 0; i < archive.member_count; ++i) {
        const arc_member *member = arc_find_member(&archive, archive.members[i].name);
        SCOPED_TRACE(member->name);
        const std::string out = path("member" + std::to_string(i));
        const run_result result = run_varlix({real, member->name, out});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(read_file_bytes(out).size(), member->unpacked_size);
    }
    arc_close(&archive);
}

} // namespace
