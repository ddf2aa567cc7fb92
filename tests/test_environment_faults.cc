/*
 * Faults from outside, injected into runs of the built executable: memory
 * that runs out, a device or a file system that is full, an output directory
 * that cannot be written. Each run must end with its documented line and exit
 * code, and leave the file system as promised: no output after a failure,
 * except a device, which stays where it is.
 *
 * (An archive that shrinks after it was opened is covered at library level in
 * test_extract.cc; a file-size limit that fails the writes to a regular file,
 * in test_extract_command.cc.)
 */
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

#if defined(__SANITIZE_ADDRESS__)
#define VARLIX_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARLIX_UNDER_ASAN 1
#endif
#endif
#ifndef VARLIX_UNDER_ASAN
#define VARLIX_UNDER_ASAN 0
#endif

namespace {

const char WRITE_FAILED[] = "the output file could not be written";
const uint64_t MIB = 1024 * 1024;

/* A sh -c launcher: @script runs with the launcher's extra arguments as $1..., then the tool's. */
std::vector<std::string> shell_launcher(const std::string &script,
                                        const std::vector<std::string> &script_args = {})
{
    std::vector<std::string> launcher = {"sh", "-c", script, "sh"};
    launcher.insert(launcher.end(), script_args.begin(), script_args.end());
    return launcher;
}

/* Runs the tool with its address space limited to @limit bytes. */
std::vector<std::string> memory_limit(uint64_t limit)
{
    return shell_launcher("ulimit -v " + std::to_string(limit / 1024) + " && exec \"$@\"");
}

bool command_succeeds(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class FaultInjection : public ScratchDirTest {
  protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        archive_path = path("setup.z");
    }

    /* Writes a one-member archive of @member and remembers the member. */
    void write_archive(const test_member &one)
    {
        member = one;
        test_archive layout;
        layout.members = {one};
        ASSERT_TRUE(write_file(archive_path, build_archive(layout)));
    }

    std::string extracting_line() const
    {
        const uint32_t packed =
            member.packed_size.value_or(static_cast<uint32_t>(member.data.size()));
        return "extracting " + member.name + ": " + std::to_string(packed) +
               " compressed bytes at offset 255, expecting " +
               std::to_string(member.unpacked_size) + " bytes out\n";
    }

    /* The member's name in lower case, as a user would type it. */
    std::string typed_name() const
    {
        std::string name = member.name;
        for (char &c : name)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return name;
    }

    run_result extract_to(const std::string &output,
                          const std::vector<std::string> &launcher = {}) const
    {
        return run_varlix({archive_path, typed_name(), output}, "", launcher);
    }

    std::string archive_path;
    test_member member;
};

bool skip_memory_limits(std::string *reason)
{
    if (VARLIX_UNDER_ASAN)
        *reason = "AddressSanitizer reserves far more address space than any ulimit -v allows";
    else if (varlix_runs_wrapped())
        *reason = "VARLIX_TEST_WRAPPER is set, and a wrapper such as valgrind cannot run under "
                  "ulimit -v";
    return !reason->empty();
}

TEST_F(FaultInjection, MemberLargerThanTheMemoryLimitIsOutOfMemory)
{
    std::string reason;
    if (skip_memory_limits(&reason))
        GTEST_SKIP() << reason;
    /* A 3 GiB archive, almost all of it a hole, whose member claims nearly all of it. */
    const uint64_t archive_size = 3 * 1024 * MIB;
    test_member huge = raw_member("HUGE.BIN", {}, 1000);
    huge.packed_size = static_cast<uint32_t>(archive_size - 4096);
    write_archive(huge);
    ASSERT_TRUE(resize_file(archive_path, archive_size));

    const std::string out = path("huge.bin");
    const run_result result = extract_to(out, memory_limit(1024 * MIB));
    EXPECT_EQ(result.exit_code, 9);
    EXPECT_EQ(result.err, extracting_line() + out + ": out of memory\n");
    EXPECT_FALSE(path_exists(out));
}

/* How the runs of a sweep of memory limits ended. */
struct sweep_tally {
    int not_started = 0;
    int out_of_memory = 0;
    int succeeded = 0;
};

class MemorySweep : public FaultInjection {
  protected:
    void SetUp() override
    {
        FaultInjection::SetUp();
        if (skip_memory_limits(&skip_reason))
            GTEST_SKIP() << skip_reason;
        out = path("out.txt");
    }

    /*
     * Extracts under @limit, expecting one of three outcomes: the tool does
     * not start (the loader or the shell says so, the tool itself says
     * nothing), or it reports that memory ran out, with exit code 9, and
     * leaves no output, or it extracts @plain. Never a crash, a partial
     * output or another failure.
     */
    void run_under(uint64_t limit, const std::vector<uint8_t> &plain, sweep_tally *tally)
    {
        SCOPED_TRACE("limit " + std::to_string(limit / 1024) + " KiB");
        const run_result result = extract_to(out, memory_limit(limit));
        if (result.exit_code == 0) {
            ++tally->succeeded;
            EXPECT_EQ(result.err, extracting_line() + "wrote " + out + ", " +
                                      std::to_string(plain.size()) +
                                      " bytes, length verified against the archive directory\n");
            EXPECT_TRUE(read_file_bytes(out) == plain);
            std::remove(out.c_str());
        } else if (result.exit_code == 9) {
            ++tally->out_of_memory;
            /* While the archive is opened, or once the member is being read. */
            const std::string at_open = archive_path + ": out of memory\n";
            const std::string at_extraction = extracting_line() + out + ": out of memory\n";
            EXPECT_TRUE(result.err == at_open || result.err == at_extraction) << result.err;
            EXPECT_FALSE(path_exists(out));
        } else {
            ++tally->not_started;
            EXPECT_NE(result.exit_code, -1) << "ended by a signal: " << result.err;
            EXPECT_EQ(result.err.find(archive_path), std::string::npos) << result.err;
            EXPECT_EQ(result.err.find(out), std::string::npos) << result.err;
            EXPECT_FALSE(path_exists(out));
        }
    }

    std::string skip_reason;
    std::string out;
};

/*
 * In small steps across the limits at which the tool starts: once it has
 * started, a lack of memory, even while opening the archive, is reported as
 * such and never as an archive that cannot be opened.
 */
TEST_F(MemorySweep, MemoryRunningOutAsTheArchiveOpensIsOutOfMemory)
{
    const std::vector<uint8_t> plain = sample_text(3000, 8);
    write_archive(packed_member("SMALL.TXT", plain));
    sweep_tally tally;
    for (uint64_t limit = MIB; limit <= 6 * MIB; limit += 8 * 1024)
        run_under(limit, plain, &tally);
    std::printf("limits of 1 to 6 MiB in 8 KiB steps: %d did not start, %d out of memory, "
                "%d succeeded\n",
                tally.not_started, tally.out_of_memory, tally.succeeded);
    EXPECT_GT(tally.not_started, 0) << "every limit was enough to start";
    EXPECT_GT(tally.succeeded, 0) << "no limit was enough";
}

/*
 * In steps of 1 MiB across the member's size. Its stream is small but it
 * claims 24 MiB, the rest of which is a hole after the end marker, so the
 * 24 MiB the tool reads it into is what decides.
 */
TEST_F(MemorySweep, AnyLimitAcrossTheMembersSizeGivesSuccessOrOutOfMemory)
{
    const std::vector<uint8_t> plain = sample_text(200000, 9);
    test_member claims_more = packed_member("SWEEP.TXT", plain);
    claims_more.packed_size = static_cast<uint32_t>(24 * MIB);
    write_archive(claims_more);
    ASSERT_TRUE(resize_file(archive_path, 255 + 24 * MIB));
    sweep_tally tally;
    for (uint64_t limit = MIB; limit <= 40 * MIB; limit += MIB)
        run_under(limit, plain, &tally);
    std::printf("limits of 1 to 40 MiB: %d did not start, %d out of memory, %d succeeded\n",
                tally.not_started, tally.out_of_memory, tally.succeeded);
    EXPECT_GT(tally.out_of_memory, 0) << "no limit fell between starting and having enough";
    EXPECT_GT(tally.succeeded, 0) << "no limit was enough";
}

TEST_F(FaultInjection, FullDeviceFailsTheWriteAndStaysInPlace)
{
    const std::string node = path("full");
    if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "cannot create a private full device here (mknod not permitted)";
    struct member_case {
        const char *what;
        test_member member;
    };
    const member_case cases[] = {
        /* All of it fits in the output stream's buffer: the failure shows when it is closed. */
        {"under one window", packed_member("SMALL.TXT", sample_text(1000, 2))},
        /* The failure shows at the first write of a window. */
        {"several hundred KiB", packed_member("LARGE.BIN", random_bytes(400000, 3))},
    };
    for (const member_case &c : cases) {
        SCOPED_TRACE(c.what);
        write_archive(c.member);
        const run_result result = extract_to(node);
        EXPECT_EQ(result.exit_code, 7);
        EXPECT_EQ(result.err, extracting_line() + node + ": " + WRITE_FAILED + "\n");
        struct stat info;
        ASSERT_EQ(lstat(node.c_str(), &info), 0);
        EXPECT_TRUE(S_ISCHR(info.st_mode));
    }
}

TEST_F(FaultInjection, FullFileSystemRemovesThePartialOutput)
{
    /* A 64 KiB tmpfs in a private mount namespace, gone when the run ends. */
    const std::string small = path("small");
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    const std::string mount_small = "mount -t tmpfs -o size=64k varlix-test \"$1\"";
    if (!command_succeeds("unshare -m sh -c '" + mount_small + "' sh \"" + small + "\""))
        GTEST_SKIP() << "cannot mount a small tmpfs here (unshare -m and mount not permitted)";

    write_archive(packed_member("BIG.BIN", random_bytes(300000, 4)));
    const std::string out = small + "/big.bin";
    const std::string listing = path("listing");
    /* The listing is taken inside the namespace, while the tmpfs is still there. */
    const run_result result = extract_to(
        out, {"unshare", "-m", "sh", "-c",
              mount_small + " || exit 200; dir=$1 listing=$2; shift 2; \"$@\"; status=$?; " +
                  "ls -A \"$dir\" >\"$listing\"; exit $status",
              "sh", small, listing});
    EXPECT_EQ(result.exit_code, 7);
    EXPECT_EQ(result.err, extracting_line() + out + ": " + WRITE_FAILED + "\n");
    EXPECT_EQ(file_or_missing(listing), "");
}

class ReadOnlyOutputDirectory : public FaultInjection {
  protected:
    void SetUp() override
    {
        FaultInjection::SetUp();
        write_archive(packed_member("README.TXT", sample_text(5000, 5)));
        locked = path("locked");
        ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    }

    void expect_refused(const std::vector<std::string> &launcher)
    {
        const std::string out = locked + "/readme.txt";
        const run_result result = extract_to(out, launcher);
        EXPECT_EQ(result.exit_code, 7);
        EXPECT_EQ(result.err, extracting_line() + out + ": " + WRITE_FAILED + "\n");
        EXPECT_FALSE(path_exists(out));
    }

    std::string locked;
};

TEST_F(ReadOnlyOutputDirectory, DirectoryWithoutWritePermissionIsAWriteFailure)
{
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    std::vector<std::string> launcher;
    if (geteuid() == 0) {
        /* Root writes regardless of permissions: run the tool as nobody. */
        launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        ASSERT_EQ(chmod(archive_path.c_str(), 0644), 0);
        if (!command_succeeds("setpriv --reuid=65534 --regid=65534 --clear-groups true"))
            GTEST_SKIP() << "running as root, and setpriv cannot switch to an unprivileged user";
        if (run_varlix({}, "", launcher).exit_code != 1)
            GTEST_SKIP() << "running as root, and an unprivileged user cannot run "
                         << varlix_executable();
    }
    expect_refused(launcher);
}

TEST_F(ReadOnlyOutputDirectory, DirectoryOnAReadOnlyMountIsAWriteFailure)
{
    /* A read-only bind mount of the directory onto itself, in a private mount namespace. */
    const std::string remount_read_only =
        "{ mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\"; } 2>/dev/null";
    if (!command_succeeds("unshare -m sh -c '" + remount_read_only + "' sh \"" + locked + "\""))
        GTEST_SKIP() << "cannot make a read-only bind mount here (unshare -m and mount not "
                        "permitted)";
    std::vector<std::string> launcher = {"unshare", "-m"};
    for (const std::string &word :
         shell_launcher(remount_read_only + " || exit 200; shift; exec \"$@\"", {locked}))
        launcher.push_back(word);
    expect_refused(launcher);
}

} // namespace
