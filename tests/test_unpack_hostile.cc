/*
 * varlix-unpack against archives and surroundings made to break its
 * promises: a member named like a temporary file, archive names that make a
 * default folder of "..", a FIFO among a set's volumes, folders thousands of
 * parts deep, signals in bursts or ignored, a standard error nobody reads,
 * claims of 4 GiB, a stream that expands far past its record, and a disk
 * that fills up under any number of workers.
 */
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"
#include "tools/implode_encoder.h"
#include "unpack/codepage.h"
#include "unpack/plan.h"

namespace fs = std::filesystem;

namespace {

const char UNSAFE_TEMP_NAME[] =
    "unsafe path (a name of the form varlix-unpack's temporary files take), skipped";

/* A stream of one byte 'x' and matches after it: @size bytes from a few per KiB. */
std::vector<uint8_t> long_run_stream(uint32_t size)
{
    implode_writer writer;
    implode_begin(&writer, 0, 4);
    implode_put_literal(&writer, 'x');
    for (uint32_t left = size - 1; left > 0;) {
        const uint32_t length = left > 518 ? 518 : left;
        const uint32_t piece = left - length == 1 ? length - 2 : length; /* never leave 1 */
        implode_put_match(&writer, piece, 1);
        left -= piece;
    }
    implode_put_end_marker(&writer);
    return implode_finish(&writer);
}

test_archive in_root(std::vector<test_member> members)
{
    test_archive layout;
    layout.true_record_layout = true;
    layout.folders.push_back({"", {}, {}});
    layout.members = std::move(members);
    return layout;
}

/* Names of the temporary files of any run left under @root. */
std::vector<std::string> temporary_files(const std::string &root)
{
    std::vector<std::string> found;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".varlix-unpack-", 0) == 0)
            found.push_back(entry.path().string());
    }
    return found;
}

/* Whether a temporary file under @root has bytes in it yet. */
bool writing_a_temporary_file(const std::string &root)
{
    for (const std::string &file : temporary_files(root)) {
        std::error_code gone;
        if (fs::file_size(file, gone) > 0)
            return true;
    }
    return false;
}

/*
 * Starts varlix-unpack with @args in a child of its own, standard output and
 * error to /dev/null unless @stderr_fd is given; @before_exec runs in the
 * child first. The child's pid.
 */
pid_t start_unpack(const std::vector<std::string> &args, int stderr_fd = -1,
                   void (*before_exec)() = nullptr)
{
    const pid_t child = fork();
    if (child != 0)
        return child;
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(stderr_fd >= 0 ? stderr_fd : null_fd, 2);
    signal(SIGPIPE, SIG_DFL); /* as a shell starts it, whatever this process ignores */
    if (before_exec != nullptr)
        before_exec();
    const std::string exe = unpack_executable();
    std::vector<char *> argv = {const_cast<char *>(exe.c_str())};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
}

/* Waits up to a minute for @done; false if it never held. */
template <typename Condition>
bool wait_until(Condition done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class UnpackHostile : public ScratchDirTest {
  protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        if (unpack_is_windows_program())
            GTEST_SKIP() << "POSIX processes, signals and file systems";
    }

    std::string write_archive(const std::string &name, const test_archive &layout)
    {
        EXPECT_TRUE(write_file(path(name), build_archive(layout)));
        return path(name);
    }

    /* An archive whose BIG.BIN takes a while to write, for signals to arrive meanwhile. */
    std::string big_archive()
    {
        static const std::vector<uint8_t> stream = long_run_stream(256u << 20);
        return write_archive("big.z", in_root({packed_member("SMALL.TXT", bytes_of("small")),
                                               raw_member("BIG.BIN", stream, 256u << 20)}));
    }

    /* Starts extracting big_archive() into out/ and waits until BIG.BIN is being written. */
    pid_t start_big_extraction(void (*before_exec)() = nullptr)
    {
        const std::string archive = big_archive();
        fs::create_directory(path("out"));
        const pid_t child = start_unpack({"-j", "2", "-d", path("out"), archive}, -1, before_exec);
        EXPECT_TRUE(wait_until([&] { return writing_a_temporary_file(path("out")); }));
        return child;
    }
};

/*
 * A member named as the first worker's temporary file would be, beside a
 * large member that worker is writing: without the refusal, the small one's
 * rename lands on the large one's temporary file, which is then renamed to
 * the large one's name.
 */
TEST_F(UnpackHostile, AMemberNamedLikeATemporaryFileNeverReachesOne)
{
    const uint32_t victim_size = 16u << 20;
    const std::vector<uint8_t> victim = long_run_stream(victim_size);
    for (const char *overwrite : {"-o", "-q"}) {
        for (const char *jobs : {"1", "2"}) {
            SCOPED_TRACE(std::string(overwrite) + " -j " + jobs);
            fs::remove_all(path("out"));
            fs::create_directory(path("out"));
            const std::string archive = path("race.z"), log = path("err.txt");
            const int err_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const pid_t child = fork();
            if (child == 0) {
                /* exec keeps the pid, which the temporary file's name holds. */
                const std::string attacker =
                    ".varlix-unpack-" + std::to_string(getpid()) + "-0.tmp";
                write_file(archive, build_archive(in_root(
                                        {raw_member("victim.dat", victim, victim_size),
                                         packed_member(attacker, bytes_of("33 bytes of something "
                                                                          "else...."))})));
                dup2(err_fd, 2);
                const std::string exe = unpack_executable(), out = path("out");
                execl(exe.c_str(), exe.c_str(), overwrite, "-j", jobs, "-d", out.c_str(),
                      archive.c_str(), nullptr);
                _exit(127);
            }
            close(err_fd);
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
            EXPECT_NE(read_file_text(log).find(std::string(": ") + UNSAFE_TEMP_NAME),
                      std::string::npos)
                << read_file_text(log);
            std::error_code missing;
            EXPECT_EQ(fs::file_size(path("out/victim.dat"), missing), victim_size);
            EXPECT_EQ(temporary_files(path("out")), std::vector<std::string>());
        }
    }
}

TEST_F(UnpackHostile, ANameOfDotsGivesTheDefaultFolderUnpacked)
{
    fs::create_directories(path("work"));
    for (const char *name : {"...z", "..z"}) {
        SCOPED_TRACE(name);
        write_archive(std::string("work/") + name, in_root({packed_member("A.TXT", {'a'})}));
        const run_result result = run_unpack({"-o", name}, path("work"));
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_TRUE(path_exists(path("work/unpacked/A.TXT")));
        EXPECT_FALSE(path_exists(path("A.TXT")));
        EXPECT_FALSE(path_exists(path("work/A.TXT")));
    }
}

TEST_F(UnpackHostile, AFifoAmongTheVolumesIsAVolumeThatCannotBeOpened)
{
    test_set set;
    set.folders = {{"Group1", {}, {}}};
    set.members = {packed_member("ONE.TXT", sample_text(3000, 1)),
                   packed_member("TWO.TXT", sample_text(3000, 2))};
    set.volume_data_sizes = {1000, 0};
    const std::vector<test_archive> volumes = set_volumes(set);
    write_archive("_SETUP.1", volumes[0]);
    write_archive("_SETUP.2", volumes[1]);
    ASSERT_EQ(mkfifo(path("_setup.9").c_str(), 0644), 0);
    const std::vector<std::string> launcher = {"timeout", "60"};
    const std::vector<std::vector<std::string>> modes = {
        {"-t"}, {"-l"}, {"--json"}, {"-q", "-d", path("out")}};
    for (const std::vector<std::string> &mode : modes) {
        SCOPED_TRACE(mode[0]);
        std::vector<std::string> args = mode;
        args.push_back(path("_SETUP.2"));
        const auto started = std::chrono::steady_clock::now();
        const run_result result = run_unpack(args, "", launcher);
        std::printf(
            "%s beside a FIFO: %.3f s\n", mode[0].c_str(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        EXPECT_EQ(result.exit_code, 0) << result.err;
    }
    EXPECT_EQ(read_file_bytes(path("out/Group1/TWO.TXT")), sample_text(3000, 2));
    /* Given as the archive, a FIFO is a file that cannot be opened. */
    const run_result fifo = run_unpack({"-t", path("_setup.9")}, "", launcher);
    EXPECT_EQ(fifo.exit_code, 2);
    EXPECT_EQ(fifo.err, path("_setup.9") + ": the archive could not be opened\n");
}

/* A folder of @parts parts "a" deep, with @members members in it. */
test_archive deep_folder(size_t parts, int members)
{
    std::string folder = "a";
    for (size_t i = 1; i < parts; ++i)
        folder += "\\a";
    test_archive layout;
    layout.true_record_layout = true;
    layout.folders.push_back({folder, {}, {}});
    for (int i = 0; i < members; ++i)
        layout.members.push_back(packed_member("M" + std::to_string(i) + ".TXT", {'m'}));
    return layout;
}

TEST_F(UnpackHostile, AFolderThousandsOfPartsDeepIsTooLongAndCheap)
{
    std::string reason;
    std::vector<std::string> launcher = {"timeout", "60"};
    if (!address_space_limits_unusable(&reason))
        launcher = memory_limit(512ull << 20);
    else
        std::printf("memory not limited: %s\n", reason.c_str());
    const struct {
        size_t parts;
        int members;
    } CASES[] = {{32700, 1}, {21000, 20}};
    for (const auto &c : CASES) {
        SCOPED_TRACE(c.parts);
        const std::string archive = write_archive("deep.z", deep_folder(c.parts, c.members));
        const auto started = std::chrono::steady_clock::now();
        const run_result result = run_unpack({"-d", path("out"), archive}, "", launcher);
        std::printf(
            "%zu parts, %d members: %.3f s\n", c.parts, c.members,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        EXPECT_EQ(result.exit_code, 7);
        const std::string line = ": unsafe path (too long), skipped\n";
        size_t lines = 0;
        for (size_t at = result.err.find(line); at != std::string::npos;
             at = result.err.find(line, at + 1))
            ++lines;
        EXPECT_EQ(lines, static_cast<size_t>(c.members));
        EXPECT_FALSE(path_exists(path("out/a")));
    }
}

/* The reason the catalog gives for the path of a member @name in the folder @folder. */
std::string unsafe_reason(const std::string &folder, const std::string &name)
{
    test_archive layout = in_root({packed_member(name, {'x'})});
    layout.folders[0].name = folder;
    const std::string file =
        (fs::temp_directory_path() / ("varlix-limit-" + std::to_string(getpid()))).string();
    write_file(file, build_archive(layout));
    arc_installer installer = {};
    unpack_converter *converter = unpack_open_converter("CP1252");
    std::string unsafe = "not opened";
    if (converter != nullptr && arc_open_installer(file.c_str(), &installer) == ARC_OK) {
        unpack_catalog catalog;
        unpack_build_catalog(&installer, converter, "CP1252", false, {}, &catalog);
        unsafe = catalog.unsafe[0];
    }
    unpack_close_converter(converter);
    arc_close_installer(&installer);
    fs::remove(file);
    return unsafe;
}

std::string folder_of(const std::vector<std::string> &parts)
{
    std::string folder;
    for (const std::string &part : parts)
        folder += (folder.empty() ? "" : "\\") + part;
    return folder;
}

/* The limits at their edges: 128 parts and 1,024 bytes pass, one more does not. */
TEST(UnpackPathLimit, PathsOfMoreThan128PartsOr1024BytesAreTooLong)
{
    const std::string wide(255, 'p');
    /* 3 parts of 255 bytes and one of 55, each with its separator: 824 bytes before the name. */
    const std::string long_folder = folder_of({wide, wide, wide, std::string(55, 'q')});
    const struct {
        std::string folder, name, reason;
    } CASES[] = {
        {folder_of(std::vector<std::string>(127, "a")), "NAME.TXT", ""},
        {folder_of(std::vector<std::string>(128, "a")), "NAME.TXT", "too long"},
        {long_folder, std::string(200, 'n'), ""},
        {long_folder, std::string(201, 'n'), "too long"},
        /* Bytes count after conversion: 0xE9 is one byte in CP1252, two in UTF-8. */
        {long_folder, std::string(100, '\xE9'), ""},
        {long_folder, std::string(100, '\xE9') + "n", "too long"},
        /* Another reason wins over the length. */
        {folder_of(std::vector<std::string>(200, "..")), "NAME.TXT", "a '..' part"},
    };
    for (const auto &c : CASES)
        EXPECT_EQ(unsafe_reason(c.folder, c.name), c.reason)
            << c.folder.size() << " + " << c.name.size();
}

TEST_F(UnpackHostile, SignalsInAnyNumberAndOrderLeaveNoTemporaryFile)
{
    if (varlix_runs_wrapped())
        GTEST_SKIP() << "the signals must reach varlix-unpack itself";
    const int BURSTS[][4] = {{SIGINT, SIGINT, SIGINT, SIGINT},
                             {SIGTERM, SIGINT, SIGHUP, SIGTERM},
                             {SIGHUP, SIGHUP, SIGTERM, SIGINT},
                             {SIGINT, SIGTERM, SIGINT, SIGHUP}};
    const int rounds = 12;
    for (int round = 0; round < rounds; ++round) {
        const int *burst = BURSTS[round % 4];
        const pid_t child = start_big_extraction();
        for (int i = 0; i < 4; ++i)
            kill(child, burst[i]);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(temporary_files(path("out")), std::vector<std::string>()) << "round " << round;
        fs::remove_all(path("out"));
    }
}

TEST_F(UnpackHostile, AnInheritedIgnoredInterruptStaysIgnored)
{
    if (varlix_runs_wrapped())
        GTEST_SKIP() << "the signals must reach varlix-unpack itself";
    const pid_t child = start_big_extraction([] { signal(SIGINT, SIG_IGN); });
    kill(child, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    /* Ended by the SIGTERM, or done before it came, but never by the SIGINT. */
    EXPECT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(temporary_files(path("out")), std::vector<std::string>());
}

TEST_F(UnpackHostile, AStandardErrorNobodyReadsStopsNothing)
{
    std::vector<test_member> members;
    for (int i = 0; i < 300; ++i)
        members.push_back(packed_member("F" + std::to_string(i) + ".TXT", sample_text(2000, 7)));
    const std::string archive = write_archive("many.z", in_root(members));
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0); /* the child holds no reading end */
    const pid_t child = start_unpack({"-v", "-j", "2", "-d", path("out"), archive}, pipe_fds[1]);
    close(pipe_fds[1]);
    close(pipe_fds[0]); /* the reader has gone before the first line is written */
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    size_t files = 0;
    for (const fs::directory_entry &entry : fs::directory_iterator(path("out")))
        files += entry.path().filename().string()[0] == 'F' ? 1 : 0;
    EXPECT_EQ(files, members.size());
    EXPECT_EQ(temporary_files(path("out")), std::vector<std::string>());
}

TEST_F(UnpackHostile, AClaimOf4GiBIsOutsideTheArchiveEvenUnderAMemoryLimit)
{
    std::string reason;
    if (address_space_limits_unusable(&reason))
        GTEST_SKIP() << reason;
    test_member claim = packed_member("HUGE.BIN", sample_text(1000, 3));
    claim.packed_size = 0xFFFFFFFFu;
    const std::string archive =
        write_archive("claim.z", in_root({claim, packed_member("OK.TXT", bytes_of("fine"))}));
    for (const char *mode : {"-t", "-o"}) {
        SCOPED_TRACE(mode);
        const run_result result =
            run_unpack({mode, "-d", path("out"), archive}, "", memory_limit(2000000000));
        EXPECT_EQ(result.exit_code, 4);
        EXPECT_NE(result.err.find("HUGE.BIN: a member claims data outside the archive\n"),
                  std::string::npos)
            << result.err;
    }
    EXPECT_EQ(read_file_text(path("out/OK.TXT")), "fine");
}

TEST_F(UnpackHostile, BytesPastTheRecordedSizeAreNeverWritten)
{
    const uint32_t expands_to = 64u << 20;
    const std::string archive = write_archive(
        "bomb.z", in_root({raw_member("BOMB.BIN", long_run_stream(expands_to), 100)}));
    fs::create_directory(path("out"));
    std::atomic<bool> running{true};
    std::atomic<uintmax_t> peak{0};
    std::thread sampler([&] {
        while (running.load()) {
            uintmax_t total = 0;
            std::error_code gone;
            for (const fs::directory_entry &entry : fs::directory_iterator(path("out"), gone)) {
                const uintmax_t size = entry.file_size(gone); /* a file may go meanwhile */
                total += gone ? 0 : size;
            }
            peak = std::max(peak.load(), total);
        }
    });
    const run_result result = run_unpack({"-d", path("out"), archive});
    running = false;
    sampler.join();
    std::printf("peak size of the output folder: %ju bytes\n", peak.load());
    EXPECT_EQ(result.exit_code, 8);
    EXPECT_NE(result.err.find("BOMB.BIN: the extracted size is not the size the archive records"),
              std::string::npos)
        << result.err;
    EXPECT_LE(peak.load(), 100u);
    EXPECT_TRUE(fs::is_empty(path("out")));
}

/*
 * A 2 MiB tmpfs that fills up part way: the same lines and the same files
 * whatever the number of workers, and after the first member that did not
 * fit, none kept.
 */
TEST_F(UnpackHostile, AFullDiskGivesTheSameOutcomeForAnyNumberOfJobs)
{
    std::vector<test_member> members;
    for (int i = 0; i < 12; ++i)
        members.push_back(packed_member("F" + std::to_string(10 + i) + ".BIN",
                                        random_bytes(static_cast<size_t>(250000 + 60000 * (i % 3)),
                                                     static_cast<uint64_t>(i) + 1)));
    const std::string archive = write_archive("full.z", in_root(members));
    const std::string small = path("small"), listing = path("listing");
    fs::create_directory(small);
    const std::string mount_small = "mount -t tmpfs -o size=2m varlix-test \"$1\"";
    const std::string probe = "unshare -m sh -c '" + mount_small + "' sh \"" + small + "\"";
    if (std::system((probe + " >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (unshare -m and mount not permitted)";
    std::map<std::string, std::string> first;
    for (const char *jobs : {"1", "2", "4"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        const run_result result = run_unpack(
            {"-j", jobs, "-d", small + "/out", archive}, "",
            {"unshare", "-m", "sh", "-c",
             mount_small + " || exit 200; dir=$1 listing=$2; shift 2; \"$@\"; status=$?; " +
                 "ls -lA \"$dir/out\" | awk '{print $5, $9}' >\"$listing\"; exit $status",
             "sh", small, listing});
        EXPECT_EQ(result.exit_code, 7);
        std::string lines = result.err.substr(0, result.err.rfind(", ")); /* less the time */
        const std::string files = read_file_text(listing);
        if (first.empty()) {
            first = {{"lines", lines}, {"files", files}};
            const size_t full = lines.find("No space left on device");
            ASSERT_NE(full, std::string::npos) << lines;
            /* Every member after the first that did not fit is told, with the same reason. */
            size_t failures = 0;
            for (size_t at = full; at != std::string::npos;
                 at = lines.find("No space left on device", at + 1))
                ++failures;
            const size_t kept = 12 - failures;
            EXPECT_NE(lines.find("extracted " + std::to_string(kept) + " members"),
                      std::string::npos)
                << lines;
            std::printf("%zu members kept, %zu not written\n", kept, failures);
        } else {
            EXPECT_EQ(lines, first["lines"]);
            EXPECT_EQ(files, first["files"]);
        }
    }
}

} // namespace
