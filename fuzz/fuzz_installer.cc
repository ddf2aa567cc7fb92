/*
 * fuzz_installer - any bytes as the files of an installer: a plain archive, a
 * setup engine container, or up to four volumes of a disk set, opened whole
 * through one of them.
 *
 * Input: a control byte, then each file but the last as a 32-bit
 * little-endian length and that many bytes; the last file takes the rest.
 * Control bits 0-1: files - 1; bits 2-3: which file is given to the reader;
 * bit 4: a single file is called DATA.Z rather than _SETUP.1; bit 5: even
 * volumes are named in lower case (_setup.2), which must not matter.
 *
 * What the reader promises is checked:
 * - on a failure nothing is counted; on ARC_OK every member's name is 1 to
 *   255 bytes of 0x20..0xFF but 0x7F, every member's folder is in range and
 *   the folders' counts add up to the members; a container's members, and
 *   only theirs, have second names of the same kind;
 * - a member's pieces lie inside the very files given, in its volumes, and add
 *   up to its compressed size; a member with a missing volume fails to read
 *   with ARC_ERR_OPEN, and one whose pieces fail, with their status;
 * - the data read is those pieces' bytes in order, and decoding it succeeds
 *   exactly when the reference decoder makes the recorded number of bytes of
 *   it, the same bytes; a stored member's bytes are its data, and succeed
 *   exactly when there are as many as recorded;
 * - arc_close_installer() leaves the installer cleared, and a second call is
 *   harmless.
 */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "explode/explode_internal.h"
#include "explode/explode_reference.h"
#include "fuzz/fuzz_check.h"
#include "tools/archive_writer.h"

namespace {

enum { MAX_FILES = 4, MAX_DECODES_PER_INPUT = 8 };

const char *const FILE_NAMES[] = {"DATA.Z",   "_SETUP.1", "_SETUP.2", "_SETUP.3",
                                  "_SETUP.4", "_setup.2", "_setup.4"};

void remove_scratch();

/* Never destroyed: the clean-up at exit still needs it. */
const std::string &scratch_dir()
{
    static const std::string &dir = *new std::string([] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                              "/varlix-fuzz-installer-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit(remove_scratch);
        return std::string(buffer.data());
    }());
    return dir;
}

void remove_files()
{
    for (const char *name : FILE_NAMES)
        std::remove((scratch_dir() + "/" + name).c_str());
}

void remove_scratch()
{
    remove_files();
    rmdir(scratch_dir().c_str());
}

struct input_file {
    std::string path;
    std::vector<uint8_t> bytes;
};

/* Splits the input into its files and writes them; returns the given file's index. */
size_t write_files(const uint8_t *data, size_t size, std::vector<input_file> *files)
{
    const uint8_t control = size > 0 ? data[0] : 0;
    const size_t count = (control & 3u) + 1;
    size_t at = size > 0 ? 1 : 0;
    for (size_t i = 0; i < count; ++i) {
        size_t length = size - at;
        if (i + 1 < count && size - at >= 4) {
            const uint32_t given = arc_read_u32le(data + at);
            at += 4;
            length = given < size - at ? given : size - at;
        } else if (i + 1 < count) {
            length = 0;
        }
        std::string name =
            count == 1 && (control & 0x10) ? "DATA.Z" : "_SETUP." + std::to_string(i + 1);
        if ((control & 0x20) && (i + 1) % 2 == 0)
            name = "_setup." + std::to_string(i + 1);
        files->push_back(
            {scratch_dir() + "/" + name, std::vector<uint8_t>(data + at, data + at + length)});
        FUZZ_CHECK(write_file(files->back().path, files->back().bytes));
        at += length;
    }
    return ((control >> 2) & 3u) % count;
}

const input_file *file_at(const std::vector<input_file> &files, const char *path)
{
    for (const input_file &file : files) {
        if (file.path == path)
            return &file;
    }
    return nullptr;
}

void check_tables(const arc_installer &installer)
{
    const arc_archive &archive = installer.archive;
    FUZZ_CHECK(archive.member_count >= 1 && archive.member_count <= ARC_MAX_MEMBERS);
    FUZZ_CHECK(installer.folder_count >= 1);
    uint64_t in_folders = 0;
    for (uint32_t f = 0; f < installer.folder_count; ++f) {
        FUZZ_CHECK(installer.folders[f].name[installer.folders[f].name_length] == '\0');
        in_folders += installer.folders[f].member_count;
    }
    FUZZ_CHECK(in_folders == archive.member_count);
    for (uint32_t i = 0; i < archive.member_count; ++i) {
        const arc_member &member = archive.members[i];
        const size_t n = strnlen(member.name, sizeof(member.name));
        FUZZ_CHECK(n >= 1 && n <= 255);
        for (size_t k = 0; k < n; ++k) {
            const uint8_t byte = static_cast<uint8_t>(member.name[k]);
            FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
        }
        FUZZ_CHECK(member.folder < installer.folder_count);
        const char *stored_as = arc_member_stored_as(&installer, &member);
        FUZZ_CHECK((stored_as != nullptr) == (arc_container_data_start(&installer) != 0));
        if (stored_as != nullptr) {
            const size_t length = std::strlen(stored_as);
            FUZZ_CHECK(length >= 1 && length <= 255);
        }
    }
    FUZZ_CHECK(installer.volume_count >= 1 && installer.volume_count <= ARC_MAX_VOLUMES);
    FUZZ_CHECK(installer.directory_volume < installer.volume_count);
    for (uint32_t v = 0; v < installer.volume_count; ++v) {
        const arc_volume &volume = installer.volumes[v];
        FUZZ_CHECK(volume.number == (installer.disk_set ? v + 1 : 0));
        FUZZ_CHECK((volume.status == ARC_OK) == (volume.file != nullptr));
    }
}

/* The member's bytes as its pieces say, taken from the input itself. */
std::vector<uint8_t> expected_data(const arc_installer &installer,
                                   const std::vector<input_file> &files, const arc_member &member,
                                   const arc_piece *pieces, uint32_t piece_count)
{
    std::vector<uint8_t> data;
    for (uint32_t k = 0; k < piece_count; ++k) {
        const arc_volume &volume = installer.volumes[pieces[k].volume];
        if (installer.disk_set)
            FUZZ_CHECK(volume.number == member.start_volume + k);
        const input_file *file = file_at(files, volume.path);
        FUZZ_CHECK(file != nullptr);
        const uint32_t container_start = arc_container_data_start(&installer);
        FUZZ_CHECK(pieces[k].offset >= (container_start != 0 ? container_start : ARC_HEADER_SIZE));
        FUZZ_CHECK(uint64_t{pieces[k].offset} + pieces[k].length <= file->bytes.size());
        data.insert(data.end(), file->bytes.begin() + pieces[k].offset,
                    file->bytes.begin() + pieces[k].offset + pieces[k].length);
    }
    FUZZ_CHECK(data.size() == member.packed_size);
    return data;
}

void check_member(const arc_installer &installer, const std::vector<input_file> &files,
                  const arc_member &member)
{
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    const arc_status placed = arc_member_pieces(&installer, &member, pieces, &piece_count);
    const arc_volume *missing = arc_member_missing_volume(&installer, &member);
    FUZZ_CHECK((missing != nullptr) == (placed == ARC_ERR_OPEN));
    FUZZ_CHECK(placed == ARC_OK || placed == ARC_ERR_OPEN || placed == ARC_ERR_OUTSIDE);
    if (placed != ARC_OK) {
        /* Refused before anything is read: a buffer of one byte is never overrun. */
        uint8_t none = 0;
        FUZZ_CHECK(arc_read_member_data(&installer, &member, &none) == placed);
        FUZZ_CHECK(piece_count == 0);
        return;
    }
    /* Only now is the size known to be backed by the files. */
    std::vector<uint8_t> packed(member.packed_size + size_t{1});
    FUZZ_CHECK(arc_read_member_data(&installer, &member, packed.data()) == ARC_OK);
    packed.resize(member.packed_size);
    FUZZ_CHECK(packed == expected_data(installer, files, member, pieces, piece_count));

    recording_sink decoded;
    const arc_status status =
        arc_decode_member(packed.data(), &member, recording_sink_take, &decoded);
    recording_sink reference;
    bool right = false;
    if (member.flags & ARC_FLAG_STORED) {
        reference.bytes = packed;
        right = packed.size() == member.unpacked_size;
    } else {
        const explode_result result =
            explode_reference(packed.data(), member.packed_size, recording_sink_take, &reference);
        right = result == EXPLODE_OK && reference.bytes.size() == member.unpacked_size;
    }
    FUZZ_CHECK((status == ARC_OK) == right);
    FUZZ_CHECK(status == ARC_OK || status == ARC_ERR_DAMAGED || status == ARC_ERR_SIZE);
    FUZZ_CHECK(decoded.bytes == reference.bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    remove_files();
    std::vector<input_file> files;
    const size_t given = write_files(data, size, &files);

    arc_installer installer;
    const arc_status status = arc_open_installer(files[given].path.c_str(), &installer);
    if (status != ARC_OK) {
        FUZZ_CHECK(installer.archive.member_count == 0 && installer.folder_count == 0);
    } else {
        check_tables(installer);
        for (uint32_t i = 0; i < installer.archive.member_count && i < MAX_DECODES_PER_INPUT; ++i)
            check_member(installer, files, installer.archive.members[i]);
    }

    arc_close_installer(&installer);
    FUZZ_CHECK(installer.volumes == nullptr && installer.volume_count == 0);
    FUZZ_CHECK(installer.archive.members == nullptr && installer.folders == nullptr);
    arc_close_installer(&installer);
    return 0;
}
