/*
 * archive.cc - the archive header and the member directory.
 *
 * The header gives the directory's offset and size, but the first record is
 * not taken to start at a fixed place: the reader scans 64 positions from the
 * directory offset on for the first one that passes the record test, then
 * walks the records by their own length fields, testing each one. A record is
 * located by its name-length byte p; its 41 bytes of fixed fields lie in front
 * of it, so the directory buffer also holds the 41 bytes before the directory
 * offset.
 */
#include "archive/archive.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/archive_internal.h"
#include "archive/file_ops.h"

namespace {

/* Field positions of a directory record, relative to its name-length byte. */
enum {
    RECORD_UNPACKED_SIZE = -26,
    RECORD_PACKED_SIZE = -22,
    RECORD_OFFSET = -18,
    RECORD_LENGTH = -6,   /* 16 bits; the two bytes after it hold per-file flags */
    RECORD_OVERHEAD = 43, /* fixed fields, name-length byte and the 0 after the name */
};

/* Header field positions. */
enum {
    HEADER_MEMBER_COUNT = 12,
    HEADER_DIRECTORY_OFFSET = 51,
    HEADER_DIRECTORY_SIZE = 55,
};

uint32_t read_u16le(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

bool is_printable(uint8_t byte)
{
    return byte >= 0x20 && byte <= 0x7E;
}

char fold_ascii_letter(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool names_match(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (fold_ascii_letter(*a) != fold_ascii_letter(*b))
            return false;
    }
    return *a == *b;
}

bool header_is_plausible(uint32_t count, uint32_t directory_offset, uint32_t directory_size,
                         int64_t file_size)
{
    if (count == 0 || count > ARC_MAX_MEMBERS)
        return false;
    if (directory_size == 0 || directory_size > ARC_MAX_DIRECTORY_SIZE)
        return false;
    if (static_cast<int64_t>(directory_offset) + directory_size > file_size)
        return false;
    return directory_offset >= ARC_RECORD_FIXED_SIZE;
}

/* Reads the directory into one buffer and walks it; the buffer never outlives the call. */
arc_status read_directory(arc_archive *archive, uint32_t directory_offset, uint32_t directory_size,
                          uint32_t count)
{
    const uint32_t length = directory_size + ARC_RECORD_FIXED_SIZE;
    uint8_t *buffer = static_cast<uint8_t *>(std::malloc(length));
    if (buffer == nullptr)
        return ARC_ERR_NO_MEMORY;

    arc_status status;
    if (arc_seek_from_start(archive->file, directory_offset - ARC_RECORD_FIXED_SIZE) != 0 ||
        std::fread(buffer, 1, length, archive->file) != length)
        status = ARC_ERR_READ;
    else
        status = arc_parse_directory(archive, buffer, length, count);

    std::free(buffer);
    return status;
}

} // namespace

uint32_t arc_read_u32le(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool arc_record_plausible(const uint8_t *buffer, uint32_t length, uint32_t p)
{
    if (p < ARC_RECORD_FIXED_SIZE || p >= length)
        return false;
    const uint32_t n = buffer[p];
    if (n == 0)
        return false;
    if (static_cast<uint64_t>(p) + 1 + n >= length || buffer[p + 1 + n] != 0)
        return false;
    for (uint32_t i = 1; i <= n; ++i) {
        if (!is_printable(buffer[p + i]))
            return false;
    }
    return read_u16le(buffer + p + RECORD_LENGTH) == n + RECORD_OVERHEAD;
}

arc_status arc_parse_directory(arc_archive *archive, const uint8_t *buffer, uint32_t length,
                               uint32_t count)
{
    uint32_t p = ARC_RECORD_FIXED_SIZE;
    while (!arc_record_plausible(buffer, length, p)) {
        if (++p == ARC_RECORD_FIXED_SIZE + ARC_FIRST_RECORD_WINDOW)
            return ARC_ERR_DIRECTORY;
    }

    for (uint32_t j = 0; j < count; ++j) {
        if (!arc_record_plausible(buffer, length, p))
            return ARC_ERR_DIRECTORY;
        arc_member *member = &archive->members[j];
        const uint32_t n = buffer[p];
        std::memcpy(member->name, buffer + p + 1, n);
        member->name[n] = '\0';
        member->unpacked_size = arc_read_u32le(buffer + p + RECORD_UNPACKED_SIZE);
        member->packed_size = arc_read_u32le(buffer + p + RECORD_PACKED_SIZE);
        member->offset = arc_read_u32le(buffer + p + RECORD_OFFSET);

        if (member->offset < ARC_HEADER_SIZE)
            return ARC_ERR_OUTSIDE;
        if (static_cast<int64_t>(member->offset) + member->packed_size > archive->file_size)
            return ARC_ERR_OUTSIDE;
        p += read_u16le(buffer + p + RECORD_LENGTH);
    }

    archive->member_count = count;
    return ARC_OK;
}

arc_status arc_open(const char *path, arc_archive *archive)
{
    archive->file = nullptr;
    archive->file_size = 0;
    archive->member_count = 0;
    archive->members = nullptr;

    /* Opening a stream allocates; a lack of memory is not a file that cannot be opened. */
    errno = 0;
    archive->file = std::fopen(path, "rb");
    if (archive->file == nullptr)
        return errno == ENOMEM ? ARC_ERR_NO_MEMORY : ARC_ERR_OPEN;

    if (arc_seek_to_end(archive->file) != 0)
        return ARC_ERR_READ;
    archive->file_size = arc_tell(archive->file);
    if (arc_seek_from_start(archive->file, 0) != 0)
        return ARC_ERR_READ;
    if (archive->file_size < ARC_HEADER_SIZE)
        return ARC_ERR_NOT_ARCHIVE;

    uint8_t header[ARC_HEADER_SIZE];
    if (std::fread(header, 1, sizeof(header), archive->file) != sizeof(header))
        return ARC_ERR_READ;
    if (arc_read_u32le(header) != ARC_SIGNATURE)
        return ARC_ERR_NOT_ARCHIVE;

    const uint32_t count = read_u16le(header + HEADER_MEMBER_COUNT);
    const uint32_t directory_offset = arc_read_u32le(header + HEADER_DIRECTORY_OFFSET);
    const uint32_t directory_size = arc_read_u32le(header + HEADER_DIRECTORY_SIZE);
    if (!header_is_plausible(count, directory_offset, directory_size, archive->file_size))
        return ARC_ERR_DIRECTORY;

    archive->members = static_cast<arc_member *>(std::calloc(count, sizeof(arc_member)));
    if (archive->members == nullptr)
        return ARC_ERR_NO_MEMORY;

    return read_directory(archive, directory_offset, directory_size, count);
}

void arc_close(arc_archive *archive)
{
    if (archive->file != nullptr)
        std::fclose(archive->file);
    std::free(archive->members);
    archive->file = nullptr;
    archive->file_size = 0;
    archive->members = nullptr;
    archive->member_count = 0;
}

const arc_member *arc_find_member(const arc_archive *archive, const char *name)
{
    if (name[0] == '\0')
        return nullptr;
    for (uint32_t i = 0; i < archive->member_count; ++i) {
        if (names_match(archive->members[i].name, name))
            return &archive->members[i];
    }
    return nullptr;
}
