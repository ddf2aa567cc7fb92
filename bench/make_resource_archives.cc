/*
 * make_resource_archives - writes the two archives bench/resource_bounds.sh
 * measures the tool on:
 *
 *   <dir>/large.z   one member, LARGE.BIN, of <size-mib> MiB (default 64):
 *                   text, tables of records and short random stretches,
 *                   compressed with the test encoder
 *   <dir>/wide.z    4096 members (the most the header may count) whose 256-byte
 *                   records make a directory of exactly 1 MiB (the largest
 *                   allowed), each with a small stream of its own
 *   <dir>/set-<n>/_SETUP.1 .. 3   a 3-volume set of n members (1024 and 4096) in
 *                   16 folders, for the time the whole-installer reader takes
 *                   to open a set
 *
 * Usage: make_resource_archives <dir> [size-mib]
 * The output is the same on every run.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "archive/archive.h"
#include "tools/archive_writer.h"
#include "tools/implode_encoder.h"
#include "tools/seeded_random.h"

namespace {

using bytes = std::vector<uint8_t>;

/* Chunks of text lines, little-endian records and random bytes in turn. */
bytes installer_like(size_t size)
{
    static const char *const WORDS[] = {"setup ", "copies ", "the ",     "files ",  "to ",
                                        "your ",  "disk ",   "program ", "\r\n",    "Windows ",
                                        "DLL ",   "of ",     "version ", "README ", "1997 "};
    const size_t word_count = sizeof(WORDS) / sizeof(WORDS[0]);
    bytes out;
    out.reserve(size);
    uint64_t state = 0x2545F4914F6CDD1Dull;
    for (int kind = 0; out.size() < size; kind = (kind + 1) % 3) {
        /* Random stretches are kept short, or they would make most of the stream. */
        const size_t chunk =
            kind == 2 ? 256 + next_random(&state) % 2048 : 4096 + next_random(&state) % 60000;
        const size_t end = std::min(size, out.size() + chunk);
        while (out.size() < end) {
            const uint64_t r = next_random(&state);
            if (kind == 0) {
                for (const char *w = WORDS[r % word_count]; *w != '\0'; ++w)
                    out.push_back(static_cast<uint8_t>(*w));
            } else if (kind == 1) {
                const uint32_t record[3] = {static_cast<uint32_t>(out.size() / 12),
                                            0x00401000u + static_cast<uint32_t>(r % 256) * 16,
                                            static_cast<uint32_t>(r >> 60)};
                for (uint32_t field : record) {
                    for (int shift = 0; shift < 32; shift += 8)
                        out.push_back(static_cast<uint8_t>(field >> shift));
                }
            } else {
                out.push_back(static_cast<uint8_t>(r >> 24));
            }
        }
    }
    out.resize(size);
    return out;
}

test_archive large_archive(size_t size)
{
    test_archive archive;
    archive.members.push_back(packed_member("LARGE.BIN", installer_like(size), 1, 6));
    return archive;
}

/* A record is 43 bytes plus its name: 213-byte names make 256-byte records. */
test_archive wide_archive()
{
    const size_t name_length = ARC_MAX_DIRECTORY_SIZE / ARC_MAX_MEMBERS - 43;
    test_archive archive;
    const int member_count = ARC_MAX_MEMBERS;
    for (int i = 0; i < member_count; ++i) {
        char prefix[32];
        std::snprintf(prefix, sizeof(prefix), "MEMBER-%04d-", i);
        std::string name = prefix;
        name.resize(name_length, static_cast<char>('A' + i % 26));
        const std::string text = "member " + std::to_string(i) + " of the wide archive\r\n";
        archive.members.push_back(packed_member(name, bytes_of(text), i % 2, 4 + i % 3));
    }
    return archive;
}

/* Small members in 16 folders, spread over three volumes. */
std::vector<test_archive> wide_set(int member_count)
{
    test_set set;
    for (int f = 0; f < 16; ++f)
        set.folders.push_back({"Group" + std::to_string(f + 1), {}, {}});
    size_t data_size = 0;
    for (int i = 0; i < member_count; ++i) {
        const std::string text = "member " + std::to_string(i) + " of the wide set\r\n";
        set.members.push_back(packed_member("FILE" + std::to_string(i) + ".TXT", bytes_of(text)));
        set.members.back().folder = static_cast<uint16_t>(i * 16 / member_count);
        data_size += set.members.back().data.size();
    }
    set.volume_data_sizes = {data_size / 3, data_size / 3, 0};
    return set_volumes(set);
}

bool write_wide_set(const std::string &dir, int member_count)
{
    const std::string set_dir = dir + "/set-" + std::to_string(member_count);
    if (mkdir(set_dir.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    const std::vector<test_archive> volumes = wide_set(member_count);
    for (size_t v = 0; v < volumes.size(); ++v) {
        if (!write_file(set_dir + "/_SETUP." + std::to_string(v + 1), build_archive(volumes[v])))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: make_resource_archives <dir> [size-mib]\n", stderr);
        return 1;
    }
    const std::string dir = argv[1];
    const size_t size_mib = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 64;
    if (size_mib == 0 || size_mib > 4000) {
        std::fputs("make_resource_archives: size-mib must be 1 to 4000\n", stderr);
        return 1;
    }
    if (!write_file(dir + "/large.z", build_archive(large_archive(size_mib << 20))) ||
        !write_file(dir + "/wide.z", build_archive(wide_archive())) || !write_wide_set(dir, 1024) ||
        !write_wide_set(dir, ARC_MAX_MEMBERS)) {
        std::perror(dir.c_str());
        return 1;
    }
    return 0;
}
