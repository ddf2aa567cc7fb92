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
 *
 * The same walk serves the whole-installer reader, which accepts code-page
 * names and checks data extents per member instead; both read each record's
 * details once, as they pass it, and arc_open() never tests them.
 */
#include "archive/archive.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/archive_internal.h"
#include "archive/file_ops.h"

namespace {

/*
 * Field positions of a directory record, relative to its name-length byte.
 * The record truly starts 29 bytes before that byte and ends with the file
 * version, 2 bytes after the name; the 12 bytes the walk sees in front of
 * the end volume are the previous record's version and padding.
 */
enum {
    RECORD_END_VOLUME = -29,
    RECORD_FOLDER = -28,
    RECORD_UNPACKED_SIZE = -26,
    RECORD_PACKED_SIZE = -22,
    RECORD_OFFSET = -18,
    RECORD_DOS_DATE = -14,
    RECORD_DOS_TIME = -12,
    RECORD_ATTRIBUTES = -10,
    RECORD_LENGTH = -6, /* 16 bits */
    RECORD_FLAGS = -4,
    RECORD_START_VOLUME = -1,
    RECORD_VERSION = 2,   /* plus the name length: after the name's 0, 4 bytes high, 4 low */
    RECORD_OVERHEAD = 43, /* fixed fields, name-length byte and the 0 after the name */
};

bool is_printable(uint8_t byte)
{
    return byte >= 0x20 && byte <= 0x7E;
}

/* Installers made on non-English systems name files in their code page. */
bool is_code_page_character(uint8_t byte)
{
    return byte >= 0x20 && byte != 0x7F;
}

bool names_match(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (arc_ascii_lower(*a) != arc_ascii_lower(*b))
            return false;
    }
    return *a == *b;
}

typedef bool (*name_test)(uint8_t byte);

name_test name_test_of(arc_walk_rules rules)
{
    return rules.code_page_names ? is_code_page_character : is_printable;
}

/* The record test. Each step guards the reads of the next: nothing outside the buffer is read. */
bool record_plausible(const uint8_t *buffer, uint32_t length, uint32_t p, name_test allowed)
{
    if (p < ARC_RECORD_FIXED_SIZE || p >= length)
        return false;
    const uint32_t n = buffer[p];
    if (n == 0)
        return false;
    if (static_cast<uint64_t>(p) + 1 + n >= length || buffer[p + 1 + n] != 0)
        return false;
    for (uint32_t i = 1; i <= n; ++i) {
        if (!allowed(buffer[p + i]))
            return false;
    }
    return read_u16le(buffer + p + RECORD_LENGTH) == n + RECORD_OVERHEAD;
}

/* A field after the name may lie past the directory's end; it then reads as 0. */
uint32_t u32_after_name_or_0(const uint8_t *buffer, uint32_t length, uint64_t at)
{
    return at + 4 <= length ? arc_read_u32le(buffer + at) : 0;
}

/* The fields that arc_open() never tests, for a record that passed the test at @p. */
void read_details(arc_member *member, const uint8_t *buffer, uint32_t length, uint32_t p)
{
    const uint8_t *record = buffer + p;
    member->end_volume = record[RECORD_END_VOLUME];
    member->folder = static_cast<uint16_t>(read_u16le(record + RECORD_FOLDER));
    member->dos_date = static_cast<uint16_t>(read_u16le(record + RECORD_DOS_DATE));
    member->dos_time = static_cast<uint16_t>(read_u16le(record + RECORD_DOS_TIME));
    member->attributes = arc_read_u32le(record + RECORD_ATTRIBUTES);
    member->flags = static_cast<uint16_t>(read_u16le(record + RECORD_FLAGS));
    member->start_volume = record[RECORD_START_VOLUME];
    const uint64_t version = static_cast<uint64_t>(p) + RECORD_VERSION + record[0];
    member->version_high = u32_after_name_or_0(buffer, length, version);
    member->version_low = u32_after_name_or_0(buffer, length, version + 4);
}

/* Reads the directory into one buffer and walks it; the buffer never outlives the call. */
arc_status read_directory(arc_archive *archive, const arc_directory_place &place)
{
    uint8_t *buffer = nullptr;
    arc_status status = arc_load_directory(archive->file, place, &buffer);
    if (status == ARC_OK)
        status =
            arc_parse_directory(archive, buffer, place.size + ARC_RECORD_FIXED_SIZE, place.count);
    std::free(buffer);
    return status;
}

} // namespace

arc_directory_place arc_directory_place_of(const uint8_t *header)
{
    return {read_u16le(header + ARC_HEADER_MEMBER_COUNT),
            arc_read_u32le(header + ARC_HEADER_DIRECTORY_OFFSET),
            arc_read_u32le(header + ARC_HEADER_DIRECTORY_SIZE)};
}

bool arc_directory_place_fits(const arc_directory_place &place, int64_t file_size)
{
    if (place.count == 0 || place.count > ARC_MAX_MEMBERS)
        return false;
    if (place.size == 0 || place.size > ARC_MAX_DIRECTORY_SIZE)
        return false;
    if (static_cast<int64_t>(place.offset) + place.size > file_size)
        return false;
    return place.offset >= ARC_RECORD_FIXED_SIZE;
}

arc_status arc_load_directory(std::FILE *file, const arc_directory_place &place, uint8_t **buffer)
{
    const uint32_t length = place.size + ARC_RECORD_FIXED_SIZE;
    *buffer = static_cast<uint8_t *>(std::malloc(length));
    if (*buffer == nullptr)
        return ARC_ERR_NO_MEMORY;
    if (arc_seek_from_start(file, place.offset - ARC_RECORD_FIXED_SIZE) != 0 ||
        std::fread(*buffer, 1, length, file) != length)
        return ARC_ERR_READ;
    return ARC_OK;
}

arc_status arc_open_file(const char *path, arc_open_kind kind, std::FILE **file, int64_t *file_size,
                         uint8_t *header)
{
    /* Opening a stream allocates; a lack of memory is not a file that cannot be opened. */
    errno = 0;
    *file = kind == ARC_OPEN_ANY ? std::fopen(path, "rb") : arc_open_regular_file(path);
    if (*file == nullptr)
        return errno == ENOMEM ? ARC_ERR_NO_MEMORY : ARC_ERR_OPEN;

    if (arc_seek_to_end(*file) != 0)
        return ARC_ERR_READ;
    *file_size = arc_tell(*file);
    if (arc_seek_from_start(*file, 0) != 0)
        return ARC_ERR_READ;
    if (*file_size < ARC_HEADER_SIZE)
        return ARC_ERR_NOT_ARCHIVE;
    if (std::fread(header, 1, ARC_HEADER_SIZE, *file) != ARC_HEADER_SIZE)
        return ARC_ERR_READ;
    if (arc_read_u32le(header) != ARC_SIGNATURE)
        return ARC_ERR_NOT_ARCHIVE;
    return ARC_OK;
}

char arc_ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool arc_extent_inside(const arc_member *member, uint32_t data_start, int64_t file_size)
{
    return member->offset >= data_start &&
           static_cast<int64_t>(member->offset) + member->packed_size <= file_size;
}

uint32_t arc_read_u32le(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool arc_record_plausible(const uint8_t *buffer, uint32_t length, uint32_t p)
{
    return record_plausible(buffer, length, p, is_printable);
}

uint32_t arc_first_record(const uint8_t *buffer, uint32_t length, uint32_t expected,
                          arc_walk_rules rules)
{
    const name_test names = name_test_of(rules);
    if (expected != 0 && record_plausible(buffer, length, expected, names))
        return expected;
    for (uint32_t p = ARC_RECORD_FIXED_SIZE; p < ARC_RECORD_FIXED_SIZE + ARC_FIRST_RECORD_WINDOW;
         ++p) {
        if (record_plausible(buffer, length, p, names))
            return p;
    }
    return 0;
}

arc_status arc_walk_records(arc_archive *archive, const uint8_t *buffer, uint32_t length,
                            uint32_t count, uint32_t first, arc_walk_rules rules)
{
    const name_test names = name_test_of(rules);
    uint32_t p = first;
    for (uint32_t j = 0; j < count; ++j) {
        if (!record_plausible(buffer, length, p, names))
            return ARC_ERR_DIRECTORY;
        arc_member *member = &archive->members[j];
        const uint32_t n = buffer[p];
        std::memcpy(member->name, buffer + p + 1, n);
        member->name[n] = '\0';
        member->unpacked_size = arc_read_u32le(buffer + p + RECORD_UNPACKED_SIZE);
        member->packed_size = arc_read_u32le(buffer + p + RECORD_PACKED_SIZE);
        member->offset = arc_read_u32le(buffer + p + RECORD_OFFSET);
        read_details(member, buffer, length, p);

        if (rules.check_extents && !arc_extent_inside(member, ARC_HEADER_SIZE, archive->file_size))
            return ARC_ERR_OUTSIDE;
        p += read_u16le(buffer + p + RECORD_LENGTH);
    }

    archive->member_count = count;
    return ARC_OK;
}

arc_status arc_parse_directory(arc_archive *archive, const uint8_t *buffer, uint32_t length,
                               uint32_t count)
{
    const arc_walk_rules rules = {false, true};
    const uint32_t first = arc_first_record(buffer, length, 0, rules);
    if (first == 0)
        return ARC_ERR_DIRECTORY;
    return arc_walk_records(archive, buffer, length, count, first, rules);
}

arc_status arc_open(const char *path, arc_archive *archive)
{
    archive->file = nullptr;
    archive->file_size = 0;
    archive->member_count = 0;
    archive->members = nullptr;

    uint8_t header[ARC_HEADER_SIZE];
    const arc_status status =
        arc_open_file(path, ARC_OPEN_ANY, &archive->file, &archive->file_size, header);
    if (status != ARC_OK)
        return status;
    const arc_directory_place place = arc_directory_place_of(header);
    if (!arc_directory_place_fits(place, archive->file_size))
        return ARC_ERR_DIRECTORY;

    archive->members = static_cast<arc_member *>(std::calloc(place.count, sizeof(arc_member)));
    if (archive->members == nullptr)
        return ARC_ERR_NO_MEMORY;

    return read_directory(archive, place);
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
