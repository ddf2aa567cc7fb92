/*
 * archive_internal.h - the pieces of the archive reader that tests reach
 * directly. Not installed, and not part of the library's interface.
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

/* The sink context of an extraction: the output stream and bytes written to it. */
struct arc_file_sink {
    std::FILE *file;
    uint64_t count; /* grown only by blocks that were written in full */
};

/*
 * arc_file_sink_write() - the decoder's sink for extraction: write @length
 * bytes to the arc_file_sink at @sink in one write call. Returns false,
 * leaving the count unchanged, if not all of them were written.
 */
bool arc_file_sink_write(void *sink, const uint8_t *bytes, uint32_t length);

/* arc_read_u32le() - four bytes at any alignment, least significant first. */
uint32_t arc_read_u32le(const uint8_t *bytes);

#endif
