/*
 * varlix_bench - decode throughput and whole-process extraction time.
 *
 * Usage: varlix_bench <varlix-executable> <data-dir> [--size-mib N] [--runs N] [--decode-only]
 *                     [--only PREFIX]
 *
 * Makes its corpora in <data-dir> (kept between runs): text from the
 * machine's C headers and documentation, binary from its shared libraries,
 * random bytes and long runs; compresses each with the test encoder into a
 * one-member archive. Then prints
 *   1. in-process throughput of explode(), of the decoder before the speed
 *      work (built from git beside it) and of the bit-serial reference, in
 *      MB/s of output, with a sink that only counts;
 *   2. wall time of `varlix <archive> <member> <out>` against
 *      `gzip -dc <text.gz> > out` and `cat <text> > out`, run alternately,
 *      medians and ratios, and the extraction's peak resident memory.
 * Nothing is asserted: the figures are for people to read.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/archive.h"
#include "explode/explode_reference.h"
#include "tools/archive_writer.h"
#include "tools/implode_encoder.h"
#include "tools/seeded_random.h"

namespace fs = std::filesystem;

#ifdef VARLIX_BENCH_BEFORE
/* The decoder of the commit asked for, built from git beside this one. */
explode_result bench_explode_before(const uint8_t *data, uint32_t length, explode_sink sink,
                                    void *sink_context);
#endif

namespace {

using bytes = std::vector<uint8_t>;
using clock_type = std::chrono::steady_clock;

struct settings {
    std::string varlix;
    std::string data_dir;
    size_t size = size_t{64} << 20;
    int runs = 7;
    bool decode_only = false;
    std::string only; /* archives whose names start with this, or all */
};

bytes read_whole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_whole(const std::string &path, const bytes &data)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

/* Concatenates regular files under @roots accepted by @wanted until @size bytes. */
template <typename Filter>
bytes gather_files(const std::vector<std::string> &roots, size_t size, Filter wanted)
{
    std::vector<std::string> paths;
    for (const std::string &root : roots) {
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(
                 root, fs::directory_options::skip_permission_denied, error);
             it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (!error && it->is_regular_file(error) && !it->is_symlink(error) &&
                wanted(it->path()))
                paths.push_back(it->path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    bytes out;
    while (out.size() < size && !paths.empty()) {
        for (const std::string &path : paths) {
            const bytes file = read_whole(path);
            out.insert(out.end(), file.begin(), file.end());
            if (out.size() >= size)
                break;
        }
    }
    out.resize(size);
    return out;
}

bytes make_text(size_t size)
{
    return gather_files({"/usr/include", "/usr/share/doc"}, size, [](const fs::path &p) {
        const std::string ext = p.extension().string();
        return ext != ".gz" && ext != ".bz2" && ext != ".xz" && ext != ".png" && ext != ".pdf" &&
               ext != ".jpg";
    });
}

bytes make_binary(size_t size)
{
    return gather_files({"/usr/lib/x86_64-linux-gnu", "/usr/lib"}, size, [](const fs::path &p) {
        return p.filename().string().find(".so") != std::string::npos;
    });
}

bytes make_random(size_t size)
{
    return random_bytes(size, 88172645463325252ull);
}

/* Runs of one byte, of a few hundred bytes each, with an occasional short pattern. */
bytes make_runs(size_t size)
{
    bytes out;
    out.reserve(size);
    uint64_t state = 2463534242ull;
    while (out.size() < size) {
        const uint64_t r = next_random(&state);
        const size_t run = 16 + r % 2000;
        const uint8_t value = static_cast<uint8_t>(r >> 32);
        for (size_t i = 0; i < run && out.size() < size; ++i)
            out.push_back(r % 7 == 0 ? static_cast<uint8_t>(value + i % 3) : value);
    }
    return out;
}

struct corpus {
    const char *name;
    bytes (*make)(size_t);
};

const corpus CORPORA[] = {
    {"text", make_text},
    {"binary", make_binary},
    {"random", make_random},
    {"runs", make_runs},
};

struct variant {
    const char *corpus;
    int literal_mode;
    int dictionary_bits;
};

const variant VARIANTS[] = {
    {"text", 0, 6},   {"text", 1, 6},   {"text", 0, 4}, {"binary", 0, 6}, {"binary", 1, 6},
    {"random", 0, 6}, {"random", 1, 6}, {"runs", 0, 6}, {"runs", 1, 6},
};

std::string corpus_path(const settings &s, const std::string &name)
{
    return s.data_dir + "/" + name + ".raw";
}

std::string archive_path(const settings &s, const variant &v)
{
    return s.data_dir + "/" + v.corpus + "-m" + std::to_string(v.literal_mode) + "-d" +
           std::to_string(v.dictionary_bits) + ".z";
}

const char MEMBER_NAME[] = "MEMBER.BIN";

bool selected(const settings &s, const variant &v)
{
    return fs::path(archive_path(s, v)).filename().string().rfind(s.only, 0) == 0;
}

/* The compressed stream of the archive's one member, read through the library. */
bytes member_stream(const std::string &path)
{
    arc_archive archive;
    bytes stream;
    if (arc_open(path.c_str(), &archive) == ARC_OK && archive.member_count == 1) {
        const bytes file = read_whole(path);
        const arc_member &m = archive.members[0];
        stream.assign(file.begin() + m.offset, file.begin() + m.offset + m.packed_size);
    }
    arc_close(&archive);
    return stream;
}

void prepare(const settings &s)
{
    fs::create_directories(s.data_dir);
    for (const corpus &c : CORPORA) {
        const std::string path = corpus_path(s, c.name);
        if (fs::exists(path) && fs::file_size(path) == s.size)
            continue;
        std::printf("making %s corpus (%zu MiB)\n", c.name, s.size >> 20);
        std::fflush(stdout);
        write_whole(path, c.make(s.size));
    }
    for (const variant &v : VARIANTS) {
        const std::string path = archive_path(s, v);
        if (fs::exists(path))
            continue;
        std::printf("compressing %s\n", path.c_str());
        std::fflush(stdout);
        const bytes plain = read_whole(corpus_path(s, v.corpus));
        test_archive archive;
        archive.members.push_back(
            packed_member(MEMBER_NAME, plain, v.literal_mode, v.dictionary_bits));
        write_whole(path, build_archive(archive));
    }
    const std::string gz = corpus_path(s, "text") + ".gz";
    if (!fs::exists(gz)) {
        const std::string command = "gzip -6 -c '" + corpus_path(s, "text") + "' > '" + gz + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "gzip failed\n");
    }
}

/* ---- in-process decode throughput ---- */

bool count_only(void *context, const uint8_t *, uint32_t length)
{
    *static_cast<uint64_t *>(context) += length;
    return true;
}

/*
 * MB/s of output of one decode of @stream: 10^6 bytes per second of this
 * process's CPU time, which other work on the machine disturbs less than wall
 * time.
 */
double decode_rate(decltype(&explode) decoder, const bytes &stream, bool *ok)
{
    uint64_t produced = 0;
    const std::clock_t start = std::clock();
    const explode_result result =
        decoder(stream.data(), static_cast<uint32_t>(stream.size()), count_only, &produced);
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    *ok = *ok && result == EXPLODE_OK;
    return static_cast<double>(produced) / seconds / 1e6;
}

#ifdef VARLIX_BENCH_BEFORE
const bool HAVE_BEFORE = true;
const decltype(&explode) decoder_before = bench_explode_before;
const char BEFORE_NAME[] = VARLIX_BENCH_BEFORE;
#else
const bool HAVE_BEFORE = false;
const decltype(&explode) decoder_before = nullptr;
const char BEFORE_NAME[] = "before";
#endif

/*
 * The decoder now against the one before and the bit-serial reference. The
 * first two take turns, so that a change in the machine's load falls on both;
 * each figure is the best of its runs.
 */
void print_decode_table(const settings &s)
{
    std::printf("\nIn-process decode, MB/s of output per CPU second (best of %d, now and %s "
                "taking turns; reference: best of 2)\n",
                s.runs, BEFORE_NAME);
    std::printf("%-22s %8s %10s %10s %10s %10s\n", "member", "ratio", BEFORE_NAME, "now",
                "now/before", "reference");
    for (const variant &v : VARIANTS) {
        if (!selected(s, v))
            continue;
        const std::string path = archive_path(s, v);
        const bytes stream = member_stream(path);
        bool ok = true;
        double now = 0, before = 0, reference = 0;
        for (int i = 0; i < s.runs; ++i) {
            if (HAVE_BEFORE)
                before = std::max(before, decode_rate(decoder_before, stream, &ok));
            now = std::max(now, decode_rate(explode, stream, &ok));
        }
        for (int i = 0; i < 2; ++i)
            reference = std::max(reference, decode_rate(explode_reference, stream, &ok));
        char before_col[32] = "-", ratio_col[32] = "-";
        if (HAVE_BEFORE) {
            std::snprintf(before_col, sizeof(before_col), "%.0f", before);
            std::snprintf(ratio_col, sizeof(ratio_col), "%.2fx", now / before);
        }
        std::printf("%-22s %7.1f%% %10s %10.0f %10s %10.0f%s\n", fs::path(path).filename().c_str(),
                    100.0 * static_cast<double>(stream.size()) / static_cast<double>(s.size),
                    before_col, now, ratio_col, reference, ok ? "" : "  DECODE FAILED");
    }
}

/* ---- whole-process timing ---- */

struct process_run {
    double seconds;
    int status;
};

/* Runs @argv with standard output to @out_path (or left alone when empty). */
process_run run_process(const std::vector<std::string> &argv, const std::string &out_path)
{
    const auto start = clock_type::now();
    const pid_t child = fork();
    if (child == 0) {
        if (!out_path.empty()) {
            const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        }
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    return {seconds, status};
}

/*
 * Peak resident memory of one run, in KiB, measured by GNU time: a child
 * forked from this large process would inherit its high-water mark.
 */
long peak_rss_kib(const std::vector<std::string> &argv, const std::string &scratch)
{
    const std::string report = scratch + ".rss";
    std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", report};
    timed.insert(timed.end(), argv.begin(), argv.end());
    if (run_process(timed, "").status != 0)
        return -1;
    const bytes text = read_whole(report);
    std::remove(report.c_str());
    return std::atol(std::string(text.begin(), text.end()).c_str());
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void print_process_table(const settings &s)
{
    const std::string out = s.data_dir + "/out.tmp";
    const std::string text = corpus_path(s, "text");
    std::printf(
        "\nWhole process, %zu MiB member expanded to a file (median of %d, run alternately)\n",
        s.size >> 20, s.runs);
    std::printf("%-22s %10s %10s %10s %12s %12s %14s %12s\n", "archive", "varlix s", "gzip -dc s",
                "cat s", "varlix/gzip", "varlix/cat", "peak RSS MiB", "RSS-packed");
    for (const variant &v : VARIANTS) {
        if (!selected(s, v))
            continue;
        const std::string archive = archive_path(s, v);
        const bool is_text = std::strcmp(v.corpus, "text") == 0;
        const std::string plain = corpus_path(s, v.corpus);
        std::vector<double> varlix_times, gzip_times, cat_times;
        int failures = 0;
        for (int i = 0; i < s.runs; ++i) {
            const process_run extraction = run_process({s.varlix, archive, MEMBER_NAME, out}, "");
            failures += extraction.status != 0;
            varlix_times.push_back(extraction.seconds);
            if (is_text)
                gzip_times.push_back(run_process({"gzip", "-dc", text + ".gz"}, out).seconds);
            cat_times.push_back(run_process({"cat", plain}, out).seconds);
        }
        const long rss = peak_rss_kib({s.varlix, archive, MEMBER_NAME, out}, out);
        const double varlix_s = median(varlix_times), cat_s = median(cat_times);
        const double gzip_s = is_text ? median(gzip_times) : 0;
        char gzip_col[32] = "-", ratio_col[32] = "-";
        if (is_text) {
            std::snprintf(gzip_col, sizeof(gzip_col), "%.3f", gzip_s);
            std::snprintf(ratio_col, sizeof(ratio_col), "%.2fx", varlix_s / gzip_s);
        }
        const double packed_mib = static_cast<double>(member_stream(archive).size()) / 1048576.0;
        const double rss_mib = static_cast<double>(rss) / 1024.0;
        std::printf("%-22s %10.3f %10s %10.3f %12s %11.2fx %14.1f %12.1f%s\n",
                    fs::path(archive).filename().c_str(), varlix_s, gzip_col, cat_s, ratio_col,
                    varlix_s / cat_s, rss_mib, rss_mib - packed_mib,
                    failures != 0 ? "  EXTRACTION FAILED" : "");
    }
    std::remove(out.c_str());
}

bool parse_arguments(int argc, char *argv[], settings *s)
{
    if (argc < 3)
        return false;
    s->varlix = fs::absolute(argv[1]).string();
    std::string data_root = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--decode-only")
            s->decode_only = true;
        else if (option == "--size-mib" && i + 1 < argc)
            s->size = static_cast<size_t>(std::atol(argv[++i])) << 20;
        else if (option == "--only" && i + 1 < argc)
            s->only = argv[++i];
        else if (option == "--runs" && i + 1 < argc)
            s->runs = std::max(1, std::atoi(argv[++i]));
        else
            return false;
    }
    /* Corpora of different sizes are kept apart. */
    s->data_dir = data_root + "/" + std::to_string(s->size >> 20) + "MiB";
    return s->size > 0;
}

} // namespace

int main(int argc, char *argv[])
{
    settings s;
    if (!parse_arguments(argc, argv, &s)) {
        std::fputs(
            "usage: varlix_bench <varlix> <data-dir> [--size-mib N] [--runs N] [--decode-only]\n"
            "                    [--only PREFIX]\n",
            stderr);
        return 1;
    }
    prepare(s);
    print_decode_table(s);
    if (!s.decode_only)
        print_process_table(s);
    return 0;
}
