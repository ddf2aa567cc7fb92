/*
 * fuzz_archive - any bytes as an archive file. It is opened, every counted
 * member is looked up by its name in the other letter case and extracted,
 * and the archive is closed twice. What the reader promises is checked:
 *
 * - on ARC_OK every counted name is 1 to 255 printable bytes followed by
 *   zeros, and every member's data lies inside the file; on a failure no
 *   member is counted;
 * - a lookup in the other letter case finds the first member of that name;
 * - a failed extraction leaves no output behind; a successful one leaves
 *   exactly the recorded number of bytes, the same bytes the reference
 *   decoder makes of the member's data (a stored member's data as it is);
 * - arc_close() leaves the handle cleared, and a second call is harmless.
 *
 * A member's compressed size is bounded by the file's, so memory stays within
 * a few times the input; the extractions per input are capped so that an
 * input of many members pointing at the same data stays quick.
 */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "archive/archive.h"
#include "explode/explode_reference.h"
#include "fuzz/fuzz_check.h"
#include "tools/archive_writer.h"

namespace {

enum { MAX_EXTRACTIONS_PER_INPUT = 8 };

/* One scratch directory per process, so that parallel fuzzing jobs do not meet. */
struct scratch_paths {
    std::string dir;
    std::string archive;
    std::string output;
};

void remove_scratch();

const scratch_paths &scratch()
{
    static const scratch_paths paths = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                              "/varlix-fuzz-archive-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        const std::string dir = buffer.data();
        std::atexit(remove_scratch);
        return scratch_paths{dir, dir + "/archive.z", dir + "/out"};
    }();
    return paths;
}

void remove_scratch()
{
    std::remove(scratch().archive.c_str());
    std::remove(scratch().output.c_str());
    rmdir(scratch().dir.c_str());
}

bool path_exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

int64_t file_size(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::vector<uint8_t> bytes;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    FUZZ_CHECK(file != nullptr);
    uint8_t block[65536];
    for (size_t n; (n = std::fread(block, 1, sizeof(block), file)) > 0;)
        bytes.insert(bytes.end(), block, block + n);
    std::fclose(file);
    return bytes;
}

/* The name with every ASCII capital letter in lower case. */
std::string in_lower_case(const char *name)
{
    std::string lower(name);
    for (char &c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

bool same_ignoring_case(const char *a, const char *b)
{
    return in_lower_case(a) == in_lower_case(b);
}

/* The name with every ASCII letter in the other case. */
std::string other_case(const char *name)
{
    std::string swapped(name);
    for (char &c : swapped) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return swapped;
}

void check_member(const arc_archive &archive, const arc_member &member)
{
    const size_t n = strnlen(member.name, sizeof(member.name));
    FUZZ_CHECK(n >= 1 && n <= 255);
    for (size_t i = 0; i < n; ++i)
        FUZZ_CHECK(member.name[i] >= 0x20 && member.name[i] <= 0x7E);
    for (size_t i = n; i < sizeof(member.name); ++i)
        FUZZ_CHECK(member.name[i] == '\0');
    FUZZ_CHECK(member.offset >= ARC_HEADER_SIZE);
    FUZZ_CHECK(static_cast<int64_t>(member.offset) + member.packed_size <= archive.file_size);
}

void check_lookup(const arc_archive &archive, uint32_t index)
{
    const arc_member &member = archive.members[index];
    const arc_member *found = arc_find_member(&archive, other_case(member.name).c_str());
    FUZZ_CHECK(found != nullptr);
    FUZZ_CHECK(found == arc_find_member(&archive, member.name));
    FUZZ_CHECK(found >= archive.members && found <= &member);
    FUZZ_CHECK(same_ignoring_case(found->name, member.name));
    for (const arc_member *earlier = archive.members; earlier < found; ++earlier)
        FUZZ_CHECK(!same_ignoring_case(earlier->name, member.name));
}

void check_extraction(arc_archive *archive, const arc_member &member, const uint8_t *data)
{
    const std::string &output = scratch().output;
    FUZZ_CHECK(!path_exists(output));
    const arc_status status = arc_extract_member(archive, &member, output.c_str());
    if (status != ARC_OK) {
        FUZZ_CHECK(status == ARC_ERR_DAMAGED || status == ARC_ERR_SIZE ||
                   status == ARC_ERR_NO_MEMORY || status == ARC_ERR_READ ||
                   status == ARC_ERR_WRITE);
        FUZZ_CHECK(!path_exists(output));
        return;
    }
    FUZZ_CHECK(file_size(output) == static_cast<int64_t>(member.unpacked_size));
    recording_sink reference;
    if (member.flags & ARC_FLAG_STORED)
        reference.bytes.assign(data + member.offset, data + member.offset + member.packed_size);
    else
        FUZZ_CHECK(explode_reference(data + member.offset, member.packed_size, recording_sink_take,
                                     &reference) == EXPLODE_OK);
    FUZZ_CHECK(read_file(output) == reference.bytes);
    std::remove(output.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const scratch_paths &paths = scratch();
    FUZZ_CHECK(write_file(paths.archive, std::vector<uint8_t>(data, data + size)));

    arc_archive archive;
    const arc_status status = arc_open(paths.archive.c_str(), &archive);
    if (status != ARC_OK) {
        FUZZ_CHECK(archive.member_count == 0);
    } else {
        FUZZ_CHECK(archive.file != nullptr && archive.members != nullptr);
        FUZZ_CHECK(archive.file_size == static_cast<int64_t>(size));
        FUZZ_CHECK(archive.member_count >= 1 && archive.member_count <= ARC_MAX_MEMBERS);
        FUZZ_CHECK(arc_find_member(&archive, "") == nullptr);
        for (uint32_t i = 0; i < archive.member_count; ++i) {
            check_member(archive, archive.members[i]);
            check_lookup(archive, i);
        }
        for (uint32_t i = 0; i < archive.member_count && i < MAX_EXTRACTIONS_PER_INPUT; ++i)
            check_extraction(&archive, archive.members[i], data);
    }

    arc_close(&archive);
    FUZZ_CHECK(archive.file == nullptr && archive.members == nullptr);
    FUZZ_CHECK(archive.member_count == 0 && archive.file_size == 0);
    arc_close(&archive);
    return 0;
}
