/*
 * test_support.h - running the built executable and handling scratch files.
 */
#ifndef VARLIX_TESTS_SUPPORT_TEST_SUPPORT_H
#define VARLIX_TESTS_SUPPORT_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/seeded_random.h"

struct run_result {
    int exit_code; /* -1 if the process did not exit normally */
    std::string out;
    std::string err;
};

/*
 * Runs the varlix executable with @args (not counting argv[0]) in the working
 * directory @cwd (empty: the current one). The executable is the one built
 * beside the tests unless VARLIX_EXE names another; VARLIX_TEST_WRAPPER, if
 * set, is a command put in front of it (for example valgrind with options).
 * @launcher, if given, is put in front of both: a command that sets up the
 * conditions of the run (another user, a mount namespace) and then runs the
 * rest of its arguments.
 */
run_result run_varlix(const std::vector<std::string> &args, const std::string &cwd = "",
                      const std::vector<std::string> &launcher = {});

/*
 * Runs varlix-unpack as run_varlix() runs varlix: the one built beside the
 * tests unless VARLIX_UNPACK_EXE names another, with VARLIX_TEST_WRAPPER.
 */
run_result run_unpack(const std::vector<std::string> &args, const std::string &cwd = "");

/* varlix-unpack's path, as run_unpack uses it. */
std::string unpack_executable();

/* Whether VARLIX_TEST_WRAPPER puts a command in front of the executable. */
bool varlix_runs_wrapped();

/* The executable's path, as run_varlix uses it. */
std::string varlix_executable();

std::string read_file_text(const std::string &path);
std::vector<uint8_t> read_file_bytes(const std::string &path);
bool path_exists(const std::string &path);

/* Sets the file's length, leaving a hole when it grows. Returns false on failure. */
bool resize_file(const std::string &path, uint64_t size);

/* The bytes of the file at @path, as a std::string, or "<missing>". */
std::string file_or_missing(const std::string &path);

/* English-like text of about @size bytes, deterministic. */
std::vector<uint8_t> sample_text(size_t size, uint64_t seed = 1);

/* A fixture with a fresh scratch directory, removed afterwards. */
class ScratchDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const;
    std::string dir;
};

#endif
