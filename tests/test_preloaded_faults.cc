/*
 * Failures that no archive file can cause on its own (an allocation that
 * fails, a read or seek that fails half way, an output that fails to close,
 * a path swapped while it is being opened), made to happen in single library
 * calls by a library preloaded into the tool. Each must give its one line,
 * its exit code and leave the files as promised.
 */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

const std::vector<uint8_t> TEXT = sample_text(300000, 21);
const char READ_FAILED[] = "the archive could not be read to the end of a member";

class PreloadedFault : public ScratchDirTest {
  protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        if (varlix_runs_wrapped())
            GTEST_SKIP() << "the fault library cannot be preloaded under a wrapper";
        archive = path("a.z");
        output = path("out");
        test_archive layout;
        for (int i = 0; i < 200; ++i)
            layout.members.push_back(packed_member("F" + std::to_string(i), bytes_of("small")));
        layout.members.push_back(packed_member("BIG.TXT", TEXT));
        ASSERT_TRUE(write_file(archive, build_archive(layout)));
        extracting = run_varlix({archive, "big.txt", output}).err;
        extracting = extracting.substr(0, extracting.find('\n') + 1);
        ASSERT_EQ(extracting.rfind("extracting BIG.TXT: ", 0), 0u) << extracting;
        std::remove(output.c_str());
    }

    run_result run_with_fault(const std::vector<std::string> &args, const std::string &fault)
    {
        return run_varlix(args, "", {"env", "LD_PRELOAD=" VARLIX_FAULT_LIBRARY, fault});
    }

    void expect_open_failure(const std::string &fault, const std::string &text)
    {
        for (const bool list : {true, false}) {
            const run_result result = list ? run_with_fault({"--list", archive}, fault)
                                           : run_with_fault({archive, "big.txt", output}, fault);
            EXPECT_EQ(result.exit_code, 9) << fault;
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, archive + ": " + text + "\n") << fault;
            EXPECT_FALSE(path_exists(output));
        }
    }

    /* A failure after the extracting line, with the output path as subject. */
    void expect_extract_failure(const std::string &fault, const std::string &text, int exit_code)
    {
        const run_result result = run_with_fault({archive, "big.txt", output}, fault);
        EXPECT_EQ(result.exit_code, exit_code) << fault;
        EXPECT_EQ(result.err, extracting + output + ": " + text + "\n") << fault;
    }

    std::string archive;
    std::string output;
    std::string extracting;
};

TEST_F(PreloadedFault, MemberTableThatCannotBeAllocatedIsOutOfMemory)
{
    expect_open_failure("VARLIX_FAIL_CALLOC_FROM=50000", "out of memory");
}

TEST_F(PreloadedFault, DirectoryBufferThatCannotBeAllocatedIsOutOfMemory)
{
    expect_open_failure("VARLIX_FAIL_MALLOC_FROM=9000", "out of memory"); /* 9381 bytes */
}

TEST_F(PreloadedFault, ArchiveReadsAndSeeksThatFailAreReadErrors)
{
    expect_open_failure("VARLIX_FAIL_FSEEKO_CALL=1", READ_FAILED); /* to the end */
    expect_open_failure("VARLIX_FAIL_FSEEKO_CALL=2", READ_FAILED); /* back to the start */
    expect_open_failure("VARLIX_FAIL_FREAD_CALL=1", READ_FAILED);  /* the header */
    expect_open_failure("VARLIX_FAIL_FSEEKO_CALL=3", READ_FAILED); /* to the directory */
    expect_open_failure("VARLIX_FAIL_FREAD_CALL=2", READ_FAILED);  /* the directory */
}

TEST_F(PreloadedFault, FailuresBeforeTheOutputIsOpenedLeaveItAlone)
{
    const struct {
        const char *fault;
        const char *text;
    } cases[] = {
        {"VARLIX_FAIL_MALLOC_FROM=60000", "out of memory"}, /* the compressed member */
        {"VARLIX_FAIL_FSEEKO_CALL=4", READ_FAILED},
        {"VARLIX_FAIL_FREAD_CALL=3", READ_FAILED},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(output, bytes_of("keep me")));
        expect_extract_failure(c.fault, c.text, 9);
        EXPECT_EQ(file_or_missing(output), "keep me") << c.fault;
    }
}

TEST_F(PreloadedFault, OutputThatFailsToCloseIsRemoved)
{
    expect_extract_failure("VARLIX_FAIL_FCLOSE_CALL=1", "the output file could not be written", 7);
    EXPECT_FALSE(path_exists(output));
}

TEST_F(PreloadedFault, EarlierFailureWinsOverAFailedClose)
{
    test_archive layout;
    test_member damaged = packed_member("BIG.TXT", TEXT);
    damaged.data.resize(damaged.data.size() / 2);
    layout.members.push_back(damaged);
    ASSERT_TRUE(write_file(archive, build_archive(layout)));
    const run_result result =
        run_with_fault({archive, "big.txt", output}, "VARLIX_FAIL_FCLOSE_CALL=1");
    EXPECT_EQ(result.exit_code, 6);
    EXPECT_NE(result.err.find(output + ": the compressed stream is damaged\n"), std::string::npos);
    EXPECT_FALSE(path_exists(output));
}

TEST_F(PreloadedFault, OutputSwappedForALinkToTheArchiveAsItOpensIsRefused)
{
    const std::vector<uint8_t> original = read_file_bytes(archive);
    const run_result result =
        run_varlix({archive, "big.txt", output}, "",
                   {"env", "LD_PRELOAD=" VARLIX_FAULT_LIBRARY, "VARLIX_SWAP_PATH=" + output,
                    "VARLIX_SWAP_TARGET=" + archive});
    EXPECT_EQ(result.exit_code, 7);
    EXPECT_EQ(result.err, extracting + output + ": the output file could not be written\n");
    EXPECT_EQ(read_file_bytes(archive), original);
    EXPECT_EQ(read_file_bytes(output), original) << "the link is left in place";
}

TEST_F(PreloadedFault, WithoutAFaultTheToolRunsNormally)
{
    const run_result result = run_with_fault({archive, "big.txt", output}, "VARLIX_FAIL_NOTHING=1");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(read_file_bytes(output), TEXT);
}

} // namespace
