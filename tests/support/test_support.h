/*
 * test_support.h - running the built executable and handling scratch files.
 */
#ifndef VARLIX_TESTS_SUPPORT_TEST_SUPPORT_H
#define VARLIX_TESTS_SUPPORT_TEST_SUPPORT_H

#include <cstdint>
#include <filesystem>
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
 * tests unless VARLIX_UNPACK_EXE names another, with VARLIX_TEST_WRAPPER and
 * @launcher.
 */
run_result run_unpack(const std::vector<std::string> &args, const std::string &cwd = "",
                      const std::vector<std::string> &launcher = {});

/*
 * Runs @args under VARLIX_TEST_WRAPPER as the programs under test are run:
 * under wine, {"cmd", "/c", ...} for a command of Windows's own, or
 * {"--version"} for wine's version.
 */
run_result run_wrapped(const std::vector<std::string> &args);

/* varlix-unpack's path, as run_unpack uses it. */
std::string unpack_executable();

/* Whether VARLIX_TEST_WRAPPER puts a command in front of the executable. */
bool varlix_runs_wrapped();

/* The executable's path, as run_varlix uses it. */
std::string varlix_executable();

/*
 * Whether the executable under test is a Windows program (varlix.exe, run
 * under wine), for which POSIX devices, signals, limits and namespaces do not
 * hold.
 */
bool varlix_is_windows_program();

/* Whether varlix-unpack, as run_unpack() runs it, is a Windows program (run under wine). */
bool unpack_is_windows_program();

std::string read_file_text(const std::string &path);
std::vector<uint8_t> read_file_bytes(const std::string &path);
bool path_exists(const std::string &path);

/* Sets the file's length, leaving a hole when it grows. Returns false on failure. */
bool resize_file(const std::string &path, uint64_t size);

/* The bytes of the file at @path, as a std::string, or "<missing>". */
std::string file_or_missing(const std::string &path);

/* English-like text of about @size bytes, deterministic. */
std::vector<uint8_t> sample_text(size_t size, uint64_t seed = 1);

/* A symbolic link at @link to @target; false where none can be made (Windows, usually). */
bool make_symbolic_link(const std::string &target, const std::string &link);

/* Whether @path itself, links not followed, is of @kind. */
bool is_kind(const std::string &path, std::filesystem::file_type kind);

/* A character device node like mknod's; false where not permitted, or on Windows. */
bool make_device_node(const std::string &path, unsigned major, unsigned minor);

/*
 * A FIFO made at @path and held open at both ends, so that opening it for
 * writing does not block; its descriptor, or -1 where FIFOs cannot be made
 * (Windows). drain_held_fifo() returns what it has received so far, and
 * release_held_fifo() closes it.
 */
int make_held_fifo(const std::string &path);
std::string drain_held_fifo(int fd);
void release_held_fifo(int fd);

/*
 * Whether the executable cannot run under an address-space limit, with the
 * reason in *@reason: AddressSanitizer reserves more than any limit allows,
 * and so does a wrapper such as valgrind.
 */
bool address_space_limits_unusable(std::string *reason);

/* A launcher (see run_varlix()) that limits the address space to @limit bytes, as ulimit -v. */
std::vector<std::string> memory_limit(uint64_t limit);

/* A fixture with a fresh scratch directory, removed afterwards. */
class ScratchDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const;
    std::string dir;
};

#endif
