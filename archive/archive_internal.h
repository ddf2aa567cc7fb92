/*
 * archive_internal.h - what the archive reader's files share, and what the
 * tests reach directly: the header's layout, opening a file and reading its
 * directory, the directory walk, the whole-installer reader's parts and the
 * extraction sink. Not installed, and not part of the library's interface.
 */
#ifndef VARLIX_ARCHIVE_ARCHIVE_INTERNAL_H
#define VARLIX_ARCHIVE_ARCHIVE_INTERNAL_H

#include <cstdint>
#include <cstdio>

#include "archive/archive.h"

/*
 * arc_parse_directory() - walk the @length-byte directory buffer (directory
 * size + 41 bytes; position 41 is the header's directory offset) into @count
 * entries of @archive->members, checking each data extent against
 * @archive->file_size. Sets member_count only on ARC_OK.
 */
arc_status arc_parse_directory(arc_archive *archive, const uint8_t *buffer, uint32_t length,
                               uint32_t count);

/*
 * arc_record_plausible() - whether a directory record's name-length byte can
 * lie at position @p of @buffer. Reads nothing outside the buffer.
 */
bool arc_record_plausible(const uint8_t *buffer, uint32_t length, uint32_t p);

/*
 * arc_extraction_status() - the outcome of a decode that ended with @result
 * after @written bytes reached the output, for a member recorded as
 * @unpacked_size bytes. The comparison is made in 64 bits, so output that
 * overshoots by a multiple of 2^32 is still a mismatch.
 */
arc_status arc_extraction_status(int result, uint64_t written, uint32_t unpacked_size);

/*
 * arc_extent_inside() - whether @member's data, from its offset for its
 * compressed size, lies after the first @data_start bytes (the header, or a
 * container's table) and inside a file of @file_size bytes; the sum is taken
 * in 64 bits.
 */
bool arc_extent_inside(const arc_member *member, uint32_t data_start, int64_t file_size);

/* arc_starts_as_container() - whether the open @file starts with the engine container's signature.
 */
bool arc_starts_as_container(std::FILE *file);

/*
 * arc_read_container() - read the member table of the engine container open
 * as @file, @file_size bytes long, into @installer's members, one root folder
 * and the storage of the second names. Returns ARC_OK, ARC_ERR_DIRECTORY,
 * ARC_ERR_READ or ARC_ERR_NO_MEMORY; the caller releases what is there
 * either way.
 */
arc_status arc_read_container(arc_installer *installer, std::FILE *file, int64_t file_size);

/* arc_container_data_start() - where a container's table ends, or 0 for an archive. */
uint32_t arc_container_data_start(const arc_installer *installer);

/* arc_read_u32le() - four bytes at any alignment, least significant first. */
uint32_t arc_read_u32le(const uint8_t *bytes);

/* Header field positions. */
enum {
    ARC_HEADER_SET_FLAG = 10,     /* 16 bits: 1 in a volume of a disk set */
    ARC_HEADER_MEMBER_COUNT = 12, /* 16 bits */
    ARC_HEADER_SET_IDENTITY = 12, /* member count, date, time, total size: alike in a set */
    ARC_HEADER_SET_IDENTITY_SIZE = 10,
    ARC_HEADER_VOLUME_COUNT = 30,    /* 8 bits, in volume 1 only */
    ARC_HEADER_VOLUME_NUMBER = 31,   /* 8 bits, from 1 */
    ARC_HEADER_CONTINUED_START = 33, /* the member going on into the next volume; 0 in the last */
    ARC_HEADER_FOLDER_TABLE_OFFSET = 41,
    ARC_HEADER_FOLDER_TABLE_SIZE = 45, /* 16 bits */
    ARC_HEADER_FOLDER_COUNT = 49,      /* 16 bits */
    ARC_HEADER_DIRECTORY_OFFSET = 51,
    ARC_HEADER_DIRECTORY_SIZE = 55,
};

/* The record's name-length byte lies this far after the record's true start. */
enum { ARC_RECORD_START_TO_NAME_LENGTH = 29 };

inline uint32_t read_u16le(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

/* Where the header puts the directory, and how many records it counts. */
struct arc_directory_place {
    uint32_t count;
    uint32_t offset;
    uint32_t size;
};

arc_directory_place arc_directory_place_of(const uint8_t *header);

/* Whether the header's member count and directory lie within their limits and the file. */
bool arc_directory_place_fits(const arc_directory_place &place, int64_t file_size);

/* How arc_open_file() opens a path. */
enum arc_open_kind {
    ARC_OPEN_ANY,          /* whatever fopen() opens, as arc_open() always has */
    ARC_OPEN_REGULAR_ONLY, /* a regular file only, without blocking on a FIFO or device */
};

/*
 * arc_open_file() - open @path for reading as @kind says, take its size and
 * read its 255-byte header into @header, checking the signature. Returns
 * ARC_OK or ARC_ERR_OPEN (with ARC_OPEN_REGULAR_ONLY also for anything but a
 * regular file), ARC_ERR_NO_MEMORY, ARC_ERR_READ, ARC_ERR_NOT_ARCHIVE.
 * *@file holds the stream, or null when it could not be opened, whatever the
 * outcome; *@file_size is set once the file is open and its end was found,
 * and left alone before that.
 */
arc_status arc_open_file(const char *path, arc_open_kind kind, std::FILE **file, int64_t *file_size,
                         uint8_t *header);

/*
 * arc_load_directory() - read the directory buffer (its size + 41 bytes, from
 * 41 bytes before its offset) into a new *@buffer, which the caller frees
 * whatever the outcome. Returns ARC_OK, ARC_ERR_NO_MEMORY or ARC_ERR_READ.
 */
arc_status arc_load_directory(std::FILE *file, const arc_directory_place &place, uint8_t **buffer);

/* What a walk accepts and checks beyond the record test itself. */
struct arc_walk_rules {
    bool code_page_names; /* name bytes 0x20..0xFF but 0x7F, not printable ASCII only */
    bool check_extents;   /* a member's data must lie inside archive->file_size */
};

/*
 * arc_first_record() - the name-length byte of the first record in the
 * @length-byte directory buffer: @expected when a record passes the test
 * there, else the first passing position of the scan window (41 to 104).
 * 0 when there is none; pass 0 as @expected to scan only.
 */
uint32_t arc_first_record(const uint8_t *buffer, uint32_t length, uint32_t expected,
                          arc_walk_rules rules);

/*
 * arc_walk_records() - walk @count records from position @first into
 * @archive->members, with their details. Returns ARC_OK and sets
 * member_count, or ARC_ERR_DIRECTORY for a record that fails the test, or
 * ARC_ERR_OUTSIDE (with check_extents) for data outside the file; then
 * member_count stays 0 and the entries filled so far stay in the table.
 */
arc_status arc_walk_records(arc_archive *archive, const uint8_t *buffer, uint32_t length,
                            uint32_t count, uint32_t first, arc_walk_rules rules);

/*
 * arc_read_installer_directory() - read the folder table and the directory of
 * installer->volumes[@volume] into the installer's members and folders.
 * On failure nothing of them is left. Returns as arc_open_installer().
 */
arc_status arc_read_installer_directory(arc_installer *installer, uint32_t volume);

/*
 * arc_open_disk_set() - find, open and check the volumes of the set that the
 * file at @path (whose header is @header) belongs to, the @named_count files
 * at @named_paths first, then read the directory of volume 1 or of the last
 * volume. Returns as arc_open_installer().
 */
arc_status arc_open_disk_set(arc_installer *installer, const char *path, const uint8_t *header,
                             const char *const *named_paths, uint32_t named_count);

/* The files found for each volume number of a set, and how to name a missing one. */
struct arc_volume_names {
    const char *given_path;
    size_t folder_length;               /* the given path's folder part, separator included */
    size_t base_length;                 /* the file name up to its last dot */
    char *found[ARC_MAX_VOLUMES + 1];   /* by volume number; null where none was found */
    uint32_t rank[ARC_MAX_VOLUMES + 1]; /* how good each find is, lower first */
    bool out_of_memory;
};

/*
 * arc_find_volume_names() - fill @names with the files that may be the
 * volumes of the set that the file at @path, whose header is @header,
 * belongs to: see arc_open_installer_with() for the places and the order.
 * Returns ARC_OK or ARC_ERR_NO_MEMORY; arc_free_volume_names() either way.
 */
arc_status arc_find_volume_names(const char *path, const uint8_t *header,
                                 const char *const *named_paths, uint32_t named_count,
                                 arc_volume_names *names);
void arc_free_volume_names(arc_volume_names *names);

/* arc_expected_volume_path() - the name volume @number would have beside the given file. */
char *arc_expected_volume_path(const arc_volume_names *names, uint32_t number);

/*
 * arc_volume_number_in_header() - read the 255-byte header of the regular
 * file at @path into @header and return the volume number it gives, or 0
 * when the file cannot be read or is not a volume of a set.
 */
uint32_t arc_volume_number_in_header(const char *path, uint8_t *header);

/* Whether @header, from a file that says it is volume @number, is that volume of @set_header's set.
 */
bool arc_header_is_volume_of_set(const uint8_t *header, uint32_t number, const uint8_t *set_header);

/* A copy of @text in memory of its own, or null. */
char *arc_copy_text(const char *text);

#endif
