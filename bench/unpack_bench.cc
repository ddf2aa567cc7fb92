/*
 * unpack_bench - varlix-unpack against what it replaces, and against itself.
 *
 * Usage: unpack_bench <varlix> <varlix-unpack> <data-dir> [--runs N] [--scratch DIR]
 *
 * Makes its inputs in <data-dir> (kept between runs):
 *   - a disk set of 2,000 members of about 40 KiB in 20 folders over three
 *     volumes, and the same members as one plain archive;
 *   - a plain archive of 64 members of 4 MiB each (256 MiB expanded);
 *   - the CD-like tree below, in <data-dir>/tree.
 * Then prints, each figure the median of N runs taken in turn:
 *   1. extracting every member of the set with varlix-unpack, against a shell
 *      loop that runs varlix once per name of its listing: over the plain
 *      archive (where varlix can extract every member) and over the set's
 *      first volume (where it cannot reach the members of the other volumes,
 *      as a user's loop would find);
 *   2. extracting the 256 MiB archive with -j 2 against -j 1, and -j 1
 *      against the sum, in this process, of each member's decode time (into
 *      a sink that only counts) and of the time to write as many bytes to a
 *      new file in 256 KiB writes, the files kept until all are written.
 * The extracted files go to <data-dir>, or to the --scratch folder: on a
 * shared machine, how long a file takes to create depends on where it is,
 * and on ext4 also on how many files were removed there in the last minutes
 * (the bench removes its own at the end: leave five minutes between runs).
 *   3. sweeping a tree laid out like an installer CD (45 installers: plain
 *      archives in several folders, a setup library, and three disk sets, one
 *      of them kept one disk per folder; about 5,000 members, 230 MiB
 *      expanded) with varlix-unpack, against tar -x of an uncompressed tar of
 *      the very tree it writes, and -j 1 against -j 2.
 * Beside -j 2 against -j 1 it prints the most two threads gain on the machine
 * as it is: the members decoded in memory by one thread, then by two at once.
 * Nothing is asserted: the figures are for people to read, with the load.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/archive.h"
#include "tools/archive_writer.h"
#include "tools/seeded_random.h"

namespace fs = std::filesystem;

namespace {

using bytes = std::vector<uint8_t>;
using clock_type = std::chrono::steady_clock;

const int SMALL_MEMBERS = 2000;
const size_t SMALL_SIZE = 40 * 1024;
const int LARGE_MEMBERS = 64;
const size_t LARGE_SIZE = size_t{4} << 20;

struct settings {
    std::string varlix, unpack, data_dir;
    std::string scratch; /* where the extracted files go; the data folder unless given */
    int runs = 3;
};

/*
 * Removes @folder and lets the file system settle (its journal and, on a disk
 * mounted with discard, the freed blocks), so that no run pays for the one
 * before it.
 */
void remove_and_settle(const std::string &folder)
{
    fs::remove_all(folder);
    sync();
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string load_average()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one.empty() ? "unknown" : one + " " + five + " " + fifteen;
}

/* Text-like bytes: words from a small vocabulary, lines of varying length, some numbers. */
bytes make_text(size_t size, uint64_t seed)
{
    static const char *const WORDS[] = {"setup ",   "file ",   "the ",  "windows ",   "install ",
                                        "program ", "of ",     "and ",  "to ",        "data ",
                                        "version ", "system ", "disk ", "copy ",      "help ",
                                        "a ",       "is ",     "for ",  "directory ", "registry ",
                                        "key ",     "value ",  "user ", "default ",   "\r\n"};
    const size_t count = sizeof(WORDS) / sizeof(WORDS[0]);
    bytes out;
    out.reserve(size);
    while (out.size() < size) {
        const uint64_t r = next_random(&seed);
        const char *word = WORDS[r % count];
        if (r % 11 == 0) {
            const std::string number = std::to_string(r >> 40) + " ";
            out.insert(out.end(), number.begin(), number.end());
        }
        for (; *word != '\0'; ++word)
            out.push_back(static_cast<uint8_t>(*word));
    }
    out.resize(size);
    return out;
}

std::string small_name(int i)
{
    char name[16];
    std::snprintf(name, sizeof(name), "FILE%04d.DAT", i);
    return name;
}

void make_small_inputs(const settings &s)
{
    const std::string single = s.data_dir + "/small.z";
    if (fs::exists(single) && fs::exists(s.data_dir + "/set/_SETUP.3"))
        return;
    std::printf("making %d members of %zu KiB\n", SMALL_MEMBERS, SMALL_SIZE / 1024);
    std::fflush(stdout);
    test_set set;
    test_archive plain;
    for (int g = 0; g < 20; ++g) {
        set.folders.push_back({"Group" + std::to_string(g + 1), {}, {}});
        plain.folders.push_back(set.folders.back());
    }
    size_t packed = 0;
    for (int i = 0; i < SMALL_MEMBERS; ++i) {
        /* Sizes from 20 to 60 KiB, 40 on average. */
        const size_t size = SMALL_SIZE / 2 + static_cast<size_t>(i * 7919) % SMALL_SIZE;
        test_member member =
            packed_member(small_name(i), make_text(size, static_cast<uint64_t>(i)), 1, 6);
        member.folder = static_cast<uint16_t>(i / (SMALL_MEMBERS / 20));
        member.dos_date = 0x2704;
        member.attributes = 0x20;
        packed += member.data.size();
        set.members.push_back(member);
        plain.members.push_back(member);
    }
    set.volume_data_sizes = {packed / 3, packed / 3, 0};
    plain.true_record_layout = true;
    fs::create_directories(s.data_dir + "/set");
    const std::vector<test_archive> volumes = set_volumes(set);
    for (size_t v = 0; v < volumes.size(); ++v)
        write_file(s.data_dir + "/set/_SETUP." + std::to_string(v + 1), build_archive(volumes[v]));
    write_file(single, build_archive(plain));
}

void make_large_input(const settings &s)
{
    const std::string path = s.data_dir + "/large.z";
    if (fs::exists(path))
        return;
    std::printf("making %d members of %zu MiB (this takes a while once)\n", LARGE_MEMBERS,
                LARGE_SIZE >> 20);
    std::fflush(stdout);
    test_archive archive;
    for (int i = 0; i < LARGE_MEMBERS; ++i)
        archive.members.push_back(packed_member("PART" + std::to_string(i) + ".BIN",
                                                make_text(LARGE_SIZE, 1000u + i), i % 2, 6));
    write_file(path, build_archive(archive));
}

/* Runs @argv with its output and errors thrown away; returns the wall time, or -1. */
double time_process(const std::vector<std::string> &argv)
{
    const clock_type::time_point start = clock_type::now();
    const pid_t child = fork();
    if (child == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double seconds = seconds_since(start);
    return WIFEXITED(status) && WEXITSTATUS(status) != 127 ? seconds : -1;
}

/* The loop a user would write: every name of the listing, one varlix run each. */
double time_shell_loop(const settings &s, const std::string &archive, const std::string &out)
{
    const std::string script = "mkdir -p '" + out + "' && '" + s.varlix + "' --list '" + archive +
                               "' | tail -n +2 | while read -r name rest; do '" + s.varlix + "' '" +
                               archive + "' \"$name\" '" + out + "'/\"$name\" 2>/dev/null; done";
    return time_process({"sh", "-c", script});
}

size_t count_files(const std::string &folder)
{
    size_t files = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         it != fs::recursive_directory_iterator(); it.increment(error))
        files += it->is_regular_file() ? 1 : 0;
    return files;
}

/*
 * Each run writes into folders of its own, all removed at the end: ext4 skips
 * inodes freed in the last minute when it allocates one, so a run that
 * follows the removal of thousands of files pays for a scan over them.
 */
void small_members(const settings &s)
{
    const std::string set = s.data_dir + "/set/_SETUP.1", single = s.data_dir + "/small.z";
    const std::string outs = s.scratch + "/small-out";
    remove_and_settle(outs);
    std::vector<double> unpack_times, loop_times, set_loop_times;
    size_t unpacked = 0, looped = 0, set_looped = 0;
    for (int run = 0; run < s.runs; ++run) {
        const std::string out = outs + "/" + std::to_string(run);
        unpack_times.push_back(time_process({s.unpack, "-q", "-d", out + "-unpack", set}));
        unpacked = count_files(out + "-unpack");
        loop_times.push_back(time_shell_loop(s, single, out + "-loop"));
        looped = count_files(out + "-loop");
        set_loop_times.push_back(time_shell_loop(s, set, out + "-set-loop"));
        set_looped = count_files(out + "-set-loop");
    }
    remove_and_settle(outs);
    const double unpack = median(unpack_times);
    std::printf("\n1. %d members of about %zu KiB, median of %d runs taken in turn\n",
                SMALL_MEMBERS, SMALL_SIZE / 1024, s.runs);
    std::printf("%-58s %9s %7s %9s\n", "", "seconds", "files", "slower");
    std::printf("%-58s %9.3f %7zu %9s\n", "varlix-unpack -q -d out set/_SETUP.1 (3 volumes)",
                unpack, unpacked, "1.0x");
    std::printf("%-58s %9.3f %7zu %8.1fx\n", "shell loop of varlix over small.z's listing",
                median(loop_times), looped, median(loop_times) / unpack);
    std::printf("%-58s %9.3f %7zu %8.1fx\n", "shell loop of varlix over set/_SETUP.1's listing",
                median(set_loop_times), set_looped, median(set_loop_times) / unpack);
}

bool count_only(void *context, const uint8_t *, uint32_t length)
{
    *static_cast<uint64_t *>(context) += length;
    return true;
}

/* In this process: each member read, decoded into a counting sink, and its size written. */
void decode_and_write_times(const settings &s, double *decode, double *write)
{
    *decode = *write = 0;
    arc_installer installer = {};
    if (arc_open_installer((s.data_dir + "/large.z").c_str(), &installer) != ARC_OK) {
        std::fprintf(stderr, "large.z does not open\n");
        arc_close_installer(&installer);
        return;
    }
    /* Each file is kept until all are written, as varlix-unpack's are. */
    const std::string out = s.scratch + "/written";
    fs::create_directories(out);
    const bytes filler = make_text(LARGE_SIZE, 7);
    for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
        const arc_member &member = installer.archive.members[i];
        bytes packed(member.packed_size);
        arc_read_member_data(&installer, &member, packed.data());
        uint64_t produced = 0;
        clock_type::time_point start = clock_type::now();
        if (arc_decode_member(packed.data(), &member, count_only, &produced) != ARC_OK)
            std::fprintf(stderr, "member %u does not decode\n", i);
        *decode += seconds_since(start);

        start = clock_type::now();
        const std::string file = out + "/" + member.name;
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (size_t at = 0; at < member.unpacked_size;) {
            const size_t piece = std::min<size_t>(member.unpacked_size - at, size_t{1} << 18);
            if (::write(fd, filler.data() + at % filler.size(), piece) < 0)
                break;
            at += piece;
        }
        close(fd);
        *write += seconds_since(start);
    }
    arc_close_installer(&installer);
    remove_and_settle(out);
}

/* Decodes every member in @packed whose index is @first modulo @step. */
void decode_share(const arc_installer *installer, const std::vector<bytes> *packed, uint32_t first,
                  uint32_t step)
{
    for (uint32_t i = first; i < packed->size(); i += step) {
        uint64_t produced = 0;
        arc_decode_member((*packed)[i].data(), &installer->archive.members[i], count_only,
                          &produced);
    }
}

/* In memory, no files: every member decoded by one thread, then by two at once. */
double two_thread_gain(const settings &s)
{
    arc_installer installer = {};
    if (arc_open_installer((s.data_dir + "/large.z").c_str(), &installer) != ARC_OK) {
        arc_close_installer(&installer);
        return 0;
    }
    std::vector<bytes> packed;
    for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
        packed.emplace_back(installer.archive.members[i].packed_size);
        arc_read_member_data(&installer, &installer.archive.members[i], packed.back().data());
    }
    clock_type::time_point start = clock_type::now();
    decode_share(&installer, &packed, 0, 1);
    const double one = seconds_since(start);
    start = clock_type::now();
    std::thread other(decode_share, &installer, &packed, 1, 2);
    decode_share(&installer, &packed, 0, 2);
    other.join();
    const double two = seconds_since(start);
    arc_close_installer(&installer);
    return one / two;
}

void large_members(const settings &s)
{
    const std::string archive = s.data_dir + "/large.z", out = s.scratch + "/out";
    std::vector<double> one, two, decode_times, write_times, gains;
    for (int run = 0; run < s.runs; ++run) {
        gains.push_back(two_thread_gain(s));
        remove_and_settle(out);
        one.push_back(time_process({s.unpack, "-q", "-j", "1", "-d", out, archive}));
        remove_and_settle(out);
        two.push_back(time_process({s.unpack, "-q", "-j", "2", "-d", out, archive}));
        remove_and_settle(out);
        double decode = 0, write = 0;
        decode_and_write_times(s, &decode, &write);
        decode_times.push_back(decode);
        write_times.push_back(write);
    }
    const double j1 = median(one), j2 = median(two);
    const double decode = median(decode_times), write = median(write_times);
    std::printf("\n2. %d members of %zu MiB (%zu MiB), median of %d runs taken in turn\n",
                LARGE_MEMBERS, LARGE_SIZE >> 20, (LARGE_SIZE * LARGE_MEMBERS) >> 20, s.runs);
    std::printf("%-58s %9s %9s\n", "", "seconds", "ratio");
    std::printf("%-58s %9.3f %9s\n", "varlix-unpack -j 1", j1, "");
    std::printf("%-58s %9.3f %8.2fx  (-j 1 / -j 2; target >= 1.7x)\n", "varlix-unpack -j 2", j2,
                j1 / j2);
    std::printf("%-58s %9s %8.2fx  (the most -j 2 can gain here now)\n",
                "in memory: one thread's decode time / two threads'", "", median(gains));
    std::printf("%-58s %9.3f\n", "in process: sum of the members' decode times", decode);
    std::printf("%-58s %9.3f\n", "in process: sum of the times to write their bytes", write);
    std::printf("%-58s %9.3f %8.2fx  (-j 1 / sum; target <= 1.1x)\n", "decode + write",
                decode + write, j1 / (decode + write));
}

/* An installer's members: many small ones, a few large ones, as programs and their data are. */
std::vector<test_member> installer_members(uint64_t seed, uint16_t folders)
{
    std::vector<test_member> members;
    for (int i = 0; i < 110; ++i) {
        const size_t size = 1024 + static_cast<size_t>(next_random(&seed) % (40 * 1024));
        members.push_back(packed_member(small_name(i), make_text(size, next_random(&seed)), 0, 6));
        members.back().folder = static_cast<uint16_t>(i % folders);
        members.back().dos_date = 0x2704;
    }
    for (int i = 0; i < 2; ++i) {
        members.push_back(packed_member("BIG" + std::to_string(i) + ".BIN",
                                        make_text(size_t{1} << 21, next_random(&seed)), 1, 6));
        members.back().folder = static_cast<uint16_t>(i % folders);
    }
    return members;
}

std::vector<test_folder> folder_table(uint16_t count)
{
    std::vector<test_folder> folders;
    for (uint16_t f = 0; f < count; ++f)
        folders.push_back({f == 0 ? "" : "SUB" + std::to_string(f), {}, {}});
    return folders;
}

void write_plain(const std::string &path, uint64_t seed)
{
    test_archive archive;
    archive.true_record_layout = true;
    archive.folders = folder_table(4);
    archive.members = installer_members(seed, 4);
    fs::create_directories(fs::path(path).parent_path());
    write_file(path, build_archive(archive));
}

/* A set of @volumes volumes, each at the path @volume_path gives for its number. */
template <typename Path>
void write_set(Path volume_path, size_t volumes, uint64_t seed)
{
    test_set set;
    set.folders = folder_table(3);
    set.members = installer_members(seed, 3);
    size_t packed = 0;
    for (const test_member &member : set.members)
        packed += member.data.size();
    set.volume_data_sizes.assign(volumes, packed / volumes);
    set.volume_data_sizes.back() = 0;
    const std::vector<test_archive> built = set_volumes(set);
    for (size_t v = 0; v < built.size(); ++v) {
        const std::string path = volume_path(v + 1);
        fs::create_directories(fs::path(path).parent_path());
        write_file(path, build_archive(built[v]));
    }
}

void make_tree(const settings &s)
{
    const std::string tree = s.data_dir + "/tree";
    if (fs::exists(tree + "/FLOPPY/DISK3/_SETUP.3"))
        return;
    std::printf("making a tree of 45 installers (this takes a while once)\n");
    std::fflush(stdout);
    fs::remove_all(tree);
    uint64_t seed = 77;
    const char *root_archives[] = {"DOC.Z",   "HELP.Z",   "RULES.Z",   "SCM.Z",
                                   "DTDS.Z",  "FONTS.Z",  "DATA.Z",    "MEDIA.Z",
                                   "SOUND.Z", "SAMPLE.Z", "SETUP.INS", "_SETUP.LIB"};
    for (const char *name : root_archives)
        write_plain(tree + "/" + name, seed++);
    for (int program = 1; program <= 5; ++program) {
        for (int part = 1; part <= 6; ++part)
            write_plain(tree + "/PROG" + std::to_string(program) + "/PART" + std::to_string(part) +
                            ".Z",
                        seed++);
    }
    write_set([&](size_t v) { return tree + "/SET1/_SETUP." + std::to_string(v); }, 3, seed++);
    write_set([&](size_t v) { return tree + "/SET2/DATA." + std::to_string(v); }, 2, seed++);
    write_set(
        [&](size_t v) {
            return tree + "/FLOPPY/DISK" + std::to_string(v) + "/_SETUP." + std::to_string(v);
        },
        3, seed++);
}

void media_tree(const settings &s)
{
    const std::string tree = s.data_dir + "/tree", out = s.scratch + "/tree-out";
    const std::string tar = s.scratch + "/tree.tar", untarred = s.scratch + "/tree-untar";
    remove_and_settle(out);
    time_process({s.unpack, "-q", "-d", out, tree});
    const size_t files = count_files(out);
    time_process({"tar", "-cf", tar, "-C", out, "."});
    std::vector<double> unpack_times, tar_times, one_job_times;
    for (int run = 0; run < std::max(5, s.runs); ++run) {
        remove_and_settle(out);
        unpack_times.push_back(time_process({s.unpack, "-q", "-j", "2", "-d", out, tree}));
        remove_and_settle(untarred);
        fs::create_directories(untarred);
        tar_times.push_back(time_process({"tar", "-xf", tar, "-C", untarred}));
        remove_and_settle(out);
        one_job_times.push_back(time_process({s.unpack, "-q", "-j", "1", "-d", out, tree}));
    }
    remove_and_settle(out);
    remove_and_settle(untarred);
    std::error_code error;
    const uintmax_t tar_size = fs::file_size(tar, error);
    fs::remove(tar, error);
    const double unpack = median(unpack_times), untar = median(tar_times);
    std::printf("\n3. a tree like an installer CD: 45 installers, %zu files, %ju MiB written, "
                "median of %d runs taken in turn\n",
                files, tar_size >> 20, std::max(5, s.runs));
    std::printf("%-58s %9s %9s\n", "", "seconds", "ratio");
    std::printf("%-58s %9.3f %9s\n", "tar -x of the tree varlix-unpack writes (uncompressed)",
                untar, "1.00x");
    std::printf("%-58s %9.3f %8.2fx  (target <= 1.25x)\n", "varlix-unpack -j 2 tree", unpack,
                unpack / untar);
    std::printf("%-58s %9.3f %8.2fx  (-j 1 / -j 2: %.2fx)\n", "varlix-unpack -j 1 tree",
                median(one_job_times), median(one_job_times) / untar,
                median(one_job_times) / unpack);
}

bool parse_arguments(int argc, char *argv[], settings *s)
{
    if (argc < 4)
        return false;
    s->varlix = fs::absolute(argv[1]).string();
    s->unpack = fs::absolute(argv[2]).string();
    s->data_dir = fs::absolute(argv[3]).string();
    for (int i = 4; i < argc; ++i) {
        if (std::string(argv[i]) == "--runs" && i + 1 < argc)
            s->runs = std::max(1, std::atoi(argv[++i]));
        else if (std::string(argv[i]) == "--scratch" && i + 1 < argc)
            s->scratch = fs::absolute(argv[++i]).string();
        else
            return false;
    }
    if (s->scratch.empty())
        s->scratch = s->data_dir;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    settings s;
    if (!parse_arguments(argc, argv, &s)) {
        std::fputs(
            "usage: unpack_bench <varlix> <varlix-unpack> <data-dir> [--runs N] [--scratch DIR]\n",
            stderr);
        return 1;
    }
    fs::create_directories(s.data_dir);
    make_small_inputs(s);
    make_large_input(s);
    make_tree(s);
    std::printf("\nvarlix-unpack benchmark: %u processors, load average %s at the start\n",
                static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)), load_average().c_str());
    std::printf("extracted files go to %s\n", s.scratch.c_str());
    small_members(s);
    large_members(s);
    media_tree(s);
    std::printf("\nload average %s at the end\n", load_average().c_str());
    return 0;
}
