/*
 * Faults of the environment the built executable runs in, set up by a
 * launcher in front of it: memory limits, a full device, a file-size limit,
 * a full file system, an output directory that cannot be written. (Faults of
 * single library calls are made by a preloaded library instead, in
 * test_preloaded_faults.cc.) Each run must end with its documented line and
 * exit code, and leave the file system as promised: no output after a
 * failure, except a device, which stays where it is.
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
#include "tools/implode_encoder.h"

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

bool command_succeeds(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class EnvironmentFault : public ScratchDirTest {
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

TEST_F(EnvironmentFault, MemberLargerThanTheMemoryLimitIsOutOfMemory)
{
    std::string reason;
    if (address_space_limits_unusable(&reason))
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

class MemorySweep : public EnvironmentFault {
  protected:
    void SetUp() override
    {
        EnvironmentFault::SetUp();
        if (address_space_limits_unusable(&skip_reason))
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

/* A stream of @count plain literals that stops without its end marker. */
test_member member_without_end_marker(const std::string &name, size_t count)
{
    implode_writer writer;
    implode_begin(&writer, 0, 6);
    for (size_t i = 0; i < count; ++i)
        implode_put_literal(&writer, static_cast<uint8_t>(i * 7));
    return raw_member(name, implode_finish(&writer), static_cast<uint32_t>(count));
}

/*
 * How an extraction ends when its writes fail, on a full device and on a
 * regular file that cannot grow past WRITABLE_BYTES. A decoded block that
 * cannot be written ends the extraction as a write failure, even when the
 * decoder would reach another verdict later; the last, shorter block fails
 * only when the output is closed, and so only turns a success into one. A
 * regular file gets no byte past the recorded size, a device every byte.
 */
TEST_F(EnvironmentFault, FailedWritesEndAsIfEachBlockWereWrittenAtOnce)
{
    if (varlix_is_windows_program())
        GTEST_SKIP() << "a Windows program has no full device or file-size limit";
    const std::string node = path("full");
    const bool have_full_device = mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
    const uint32_t WRITABLE_BYTES = 6000;
    const std::vector<std::string> size_limit = shell_launcher(
        "trap '' XFSZ; exec prlimit --fsize=" + std::to_string(WRITABLE_BYTES) + " \"$@\"");
    const bool have_size_limit = command_succeeds("prlimit --fsize=1 true");

    struct write_case {
        const char *what;
        test_member member;
        int on_full_device;
        int under_size_limit;
    };
    test_member damaged = packed_member("DAMAGED.BIN", random_bytes(20000, 4));
    damaged.data.resize(damaged.data.size() * 3 / 4);
    test_member size_off = packed_member("SIZE.BIN", random_bytes(8192, 5));
    size_off.unpacked_size += 1;
    test_member recorded_small = packed_member("RUNS.BIN", std::vector<uint8_t>(1 << 20, 'x'));
    recorded_small.unpacked_size = 1000;
    const write_case cases[] = {
        {"damaged after three blocks", damaged, 7, 7},
        {"size off after two blocks", size_off, 7, 7},
        {"two blocks and no end marker", member_without_end_marker("OPEN.BIN", 8192), 7, 7},
        {"exactly one good block", packed_member("ONE.BIN", random_bytes(4096, 6)), 7, 0},
        {"only a short block", packed_member("SMALL.TXT", sample_text(1000, 2)), 7, 0},
        {"several hundred KiB", packed_member("LARGE.BIN", random_bytes(400000, 3)), 7, 7},
        {"recorded as 1000 bytes, 1 MiB decoded", recorded_small, 7, 8},
    };
    for (const write_case &c : cases) {
        SCOPED_TRACE(c.what);
        write_archive(c.member);
        if (have_full_device) {
            const run_result result = extract_to(node);
            EXPECT_EQ(result.exit_code, c.on_full_device) << result.err;
            struct stat info;
            ASSERT_EQ(lstat(node.c_str(), &info), 0);
            EXPECT_TRUE(S_ISCHR(info.st_mode));
        }
        if (have_size_limit) {
            const std::string out = path("out");
            const run_result result = extract_to(out, size_limit);
            EXPECT_EQ(result.exit_code, c.under_size_limit) << result.err;
            EXPECT_EQ(path_exists(out), c.under_size_limit == 0);
            std::remove(out.c_str());
        }
    }
    if (!have_full_device || !have_size_limit)
        GTEST_SKIP() << (have_full_device ? "prlimit cannot limit the file size here"
                                          : "cannot create a private full device here (mknod "
                                            "not permitted)");
}

TEST_F(EnvironmentFault, FullFileSystemRemovesThePartialOutput)
{
    if (varlix_is_windows_program())
        GTEST_SKIP() << "wine opens files in its server process, outside the test's mount "
                        "namespace";
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

class ReadOnlyOutputDirectory : public EnvironmentFault {
  protected:
    void SetUp() override
    {
        EnvironmentFault::SetUp();
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
        /* The usage text tells the tool's own exit 1 from that of a launcher or wine. */
        const run_result probe = run_varlix({}, "", launcher);
        if (probe.exit_code != 1 || probe.err.rfind("varlix: read an", 0) != 0)
            GTEST_SKIP() << "running as root, and an unprivileged user cannot run "
                         << varlix_executable();
    }
    expect_refused(launcher);
}

TEST_F(ReadOnlyOutputDirectory, DirectoryOnAReadOnlyMountIsAWriteFailure)
{
    if (varlix_is_windows_program())
        GTEST_SKIP() << "wine opens files in its server process, outside the test's mount "
                        "namespace";
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
