/*
 * archive.h - reading InstallShield 3 .Z archives: header, member directory,
 * lookup by name and extraction of one member.
 *
 * Nothing here prints. Every operation that can fail returns an arc_status;
 * a lookup returns the member or null. The caller owns the arc_archive and
 * calls arc_close() after arc_open(), whatever arc_open() returned.
 */
#ifndef VARLIX_ARCHIVE_ARCHIVE_H
#define VARLIX_ARCHIVE_ARCHIVE_H

#include <cstdint>
#include <cstdio>

#include "cli/status.h"

/* One directory entry. All archive integers are unsigned and little-endian. */
struct arc_member {
    char name[256];         /* 1 to 255 bytes in 0x20..0x7E, then zeros */
    uint32_t offset;        /* file position of the compressed data */
    uint32_t packed_size;   /* compressed length in bytes */
    uint32_t unpacked_size; /* length after decompression, as recorded */
};

/* An open archive. Cleared by arc_open(), released by arc_close(). */
struct arc_archive {
    std::FILE *file;       /* open for binary reading, or null */
    int64_t file_size;     /* the archive's length in bytes */
    uint32_t member_count; /* counted entries; 0 until the whole directory is walked */
    arc_member *members;   /* one entry per header-counted member, or null */
};

/*
 * A directory record is found by its name-length byte p. The expanded size,
 * the compressed size and the data offset lie at p-26, p-22 and p-18 (32 bits
 * each), and the record length, n + 43 for an n-byte name, at p-6. The record
 * length is 16 bits: the two bytes after it are per-file flags, set in real
 * archives (the data going on into the next disk of a set, for one), and a
 * 32-bit read would take them for part of the length and reject the record.
 */
enum {
    ARC_HEADER_SIZE = 255,
    ARC_SIGNATURE = 0x8C655D13u,
    ARC_MAX_MEMBERS = 4096,
    ARC_MAX_DIRECTORY_SIZE = 1048576,
    /* A record's fixed fields: the bytes in front of its name-length byte. */
    ARC_RECORD_FIXED_SIZE = 41,
    /* How many positions from the directory offset on may hold the first record. */
    ARC_FIRST_RECORD_WINDOW = 64,
};

/*
 * arc_open() - clear @archive, open the file at @path, validate its header and
 * walk its member directory into @archive->members.
 *
 * Returns ARC_OK with member_count set, or the first failure:
 * ARC_ERR_OPEN, ARC_ERR_READ, ARC_ERR_NOT_ARCHIVE, ARC_ERR_DIRECTORY,
 * ARC_ERR_OUTSIDE or ARC_ERR_NO_MEMORY. After a failure member_count is 0 but
 * the handle may still hold the stream and a partly filled table, so
 * arc_close() must be called in every case.
 */
arc_status arc_open(const char *path, arc_archive *archive);

/*
 * arc_close() - close the stream and release the member table, leaving the
 * handle cleared. Safe after any outcome of arc_open(), and a second time.
 */
void arc_close(arc_archive *archive);

/*
 * arc_find_member() - the first counted member, in directory order, whose name
 * equals @name when ASCII letters A-Z are folded to a-z on both sides; null if
 * none matches or @name is empty. Valid until arc_close().
 */
const arc_member *arc_find_member(const arc_archive *archive, const char *name);

/*
 * arc_extract_member() - decode @member of @archive (opened with ARC_OK) into
 * a new file at @output_path and check its length against the directory.
 *
 * Returns ARC_OK, ARC_ERR_NO_MEMORY, ARC_ERR_READ, ARC_ERR_WRITE,
 * ARC_ERR_DAMAGED or ARC_ERR_SIZE. Failures before the output is opened leave
 * the file system as it was; later failures remove the output when it is a
 * regular file (a device or pipe is left in place). An output path that names
 * the archive itself, or the optional stream @keep_intact (the log), is
 * refused with ARC_ERR_WRITE before anything is opened or truncated.
 */
arc_status arc_extract_member(arc_archive *archive, const arc_member *member,
                              const char *output_path, std::FILE *keep_intact = nullptr);

#endif
