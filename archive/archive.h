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
 * the file at @output_path, created or emptied, and check its length against
 * the directory.
 *
 * Returns ARC_OK, ARC_ERR_NO_MEMORY, ARC_ERR_READ, ARC_ERR_WRITE,
 * ARC_ERR_DAMAGED or ARC_ERR_SIZE. A decoded block that cannot be written
 * makes it ARC_ERR_WRITE, whatever the decoder finds after it.
 *
 * Failures before the output is opened leave the file system as it was. An
 * output that turns out to be the archive itself, or the optional stream
 * @keep_intact (the log), links included, is refused with ARC_ERR_WRITE
 * before it is emptied, and left as it was. Later failures remove the output
 * when it is a regular file, and when @output_path is a symbolic link they
 * remove the file it leads to and keep the link; a device or pipe is left in
 * place. A regular file never receives bytes past the recorded expanded size:
 * they are counted, and the size check fails, but they are not written.
 */
arc_status arc_extract_member(arc_archive *archive, const arc_member *member,
                              const char *output_path, std::FILE *keep_intact = nullptr);

enum {
    /* The whole blocks an extraction collects before writing them in one call. */
    ARC_SINK_BUFFER_SIZE = 256 * 1024,
};

/*
 * The sink context of an extraction. Whole blocks wait in @pending and are
 * written together, each write reaching the file before the sink call that
 * made it returns; the last, shorter block is left to the stream's own
 * buffering.
 */
struct file_sink {
    std::FILE *file;
    uint64_t count;          /* bytes taken: written, pending, or counted past @limit */
    uint64_t limit;          /* bytes past this many are counted but not written */
    uint8_t *pending;        /* ARC_SINK_BUFFER_SIZE bytes, or null to write each block at once */
    uint32_t pending_length; /* bytes waiting in @pending */
};

/*
 * file_sink_write() - the decoder's sink for extraction: take @length bytes
 * for the file_sink at @sink. Returns false, leaving the count unchanged, if
 * a write made during the call failed.
 */
bool file_sink_write(void *sink, const uint8_t *bytes, uint32_t length);

/*
 * file_sink_finish() - write the blocks still pending in @sink. Returns false
 * if they did not all reach the file. Either way, none are pending after it.
 */
bool file_sink_finish(file_sink *sink);

/* Internals, exposed for tests. */

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

/* read_u32le() - four bytes at any alignment, least significant first. */
uint32_t read_u32le(const uint8_t *bytes);

#endif
