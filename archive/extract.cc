/*
 * extract.cc - one member from the archive into a file.
 *
 * The member's compressed bytes are read into memory in one piece and decoded
 * straight into the output stream, so memory use is the compressed size plus
 * the decoder's fixed state and one write buffer, whatever the expanded size.
 * The output is kept only when every step succeeded.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/file_ops.h"
#include "explode/explode.h"

namespace {

/* The decoder hands its output over in blocks of its window's size, and a shorter last one. */
const uint32_t BLOCK_SIZE = 4096;

arc_status read_member_data(std::FILE *archive_file, const arc_member *member, uint8_t *packed)
{
    if (arc_seek_from_start(archive_file, member->offset) != 0 ||
        std::fread(packed, 1, member->packed_size, archive_file) != member->packed_size)
        return ARC_ERR_READ;
    return ARC_OK;
}

/* How many of the next @length bytes lie within the sink's limit. */
uint32_t bytes_to_write(const arc_file_sink *sink, uint32_t length)
{
    if (sink->count >= sink->limit)
        return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(length, sink->limit - sink->count));
}

/* Adds a whole block to the pending ones, writing them all once a further block would not fit. */
bool collect_block(arc_file_sink *sink, const uint8_t *bytes, uint32_t length)
{
    std::memcpy(sink->pending + sink->pending_length, bytes, length);
    sink->pending_length += length;
    return sink->pending_length + BLOCK_SIZE <= ARC_SINK_BUFFER_SIZE || arc_file_sink_finish(sink);
}

/* Whether @identity names one of the @count files open as @inputs (null entries name none). */
bool is_open_as_any(const arc_file_identity *identity, std::FILE *const *inputs, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        arc_file_identity input_identity;
        arc_identify(inputs[i], &input_identity);
        if (arc_same_file(identity, &input_identity))
            return true;
    }
    return false;
}

/* Decodes into @output; a regular file gets no byte past the recorded size. */
arc_status decode_into(std::FILE *output, bool regular, const uint8_t *packed,
                       const arc_member *member)
{
    const uint64_t limit = regular ? member->unpacked_size : UINT64_MAX;
    arc_file_sink sink = {output, 0, limit,
                          static_cast<uint8_t *>(std::malloc(ARC_SINK_BUFFER_SIZE)), 0};
    const explode_result result = explode(packed, member->packed_size, arc_file_sink_write, &sink);
    /* A block that cannot be written wins over whatever the decoder found after it. */
    const bool written = result == EXPLODE_WRITE_FAILED || arc_file_sink_finish(&sink);
    std::free(sink.pending);
    return written ? arc_extraction_status(result, sink.count, member->unpacked_size)
                   : ARC_ERR_WRITE;
}

} // namespace

/*
 * Opens the output without emptying it, and empties it only once it is known
 * not to be the archive or the log: checking the path first and opening it
 * afterwards would let the path be swapped for a link in between. A failed
 * output is removed only when it is a regular file (a device or a pipe is
 * left where it is); when it was reached through a symbolic link, the file
 * written is removed and the link stays.
 */
arc_status arc_write_member_file(const char *output_path, const uint8_t *packed,
                                 const arc_member *member, std::FILE *const *inputs,
                                 uint32_t input_count)
{
    std::FILE *output = arc_open_output(output_path);
    if (output == nullptr)
        return ARC_ERR_WRITE;
    arc_file_identity identity;
    arc_identify(output, &identity);
    const bool refused = is_open_as_any(&identity, inputs, input_count);

    arc_status status = refused || arc_empty_file(output) != 0 ? ARC_ERR_WRITE : ARC_OK;
    if (status == ARC_OK)
        status = decode_into(output, identity.regular, packed, member);
    if (std::fclose(output) != 0 && status == ARC_OK)
        status = ARC_ERR_WRITE;
    if (status != ARC_OK && !refused && identity.regular)
        arc_remove_file(output_path, &identity);
    return status;
}

arc_status arc_extraction_status(int result, uint64_t written, uint32_t unpacked_size)
{
    if (result == EXPLODE_WRITE_FAILED)
        return ARC_ERR_WRITE;
    if (result != EXPLODE_OK)
        return ARC_ERR_DAMAGED;
    return written == unpacked_size ? ARC_OK : ARC_ERR_SIZE;
}

bool arc_file_sink_write(void *context, const uint8_t *bytes, uint32_t length)
{
    arc_file_sink *sink = static_cast<arc_file_sink *>(context);
    const uint32_t kept = bytes_to_write(sink, length);
    bool written;
    if (length != BLOCK_SIZE) /* the last block: the stream buffers it as it sees fit */
        written = arc_file_sink_finish(sink) && std::fwrite(bytes, 1, kept, sink->file) == kept;
    else if (sink->pending != nullptr)
        written = collect_block(sink, bytes, kept);
    else
        written = arc_write_through(sink->file, bytes, kept) == 0;
    if (written)
        sink->count += length;
    return written;
}

bool arc_file_sink_finish(arc_file_sink *sink)
{
    const uint32_t length = sink->pending_length;
    sink->pending_length = 0;
    return arc_write_through(sink->file, sink->pending, length) == 0;
}

arc_status arc_extract_member(arc_archive *archive, const arc_member *member,
                              const char *output_path, std::FILE *keep_intact)
{
    /* An empty member still asks for a byte. */
    const size_t buffer_size = member->packed_size != 0 ? member->packed_size : 1;
    uint8_t *packed = arc_buffer_acquire(buffer_size);
    if (packed == nullptr)
        return ARC_ERR_NO_MEMORY;

    arc_status status = read_member_data(archive->file, member, packed);
    if (status == ARC_OK) {
        std::FILE *const inputs[2] = {archive->file, keep_intact};
        status = arc_write_member_file(output_path, packed, member, inputs, 2);
    }
    arc_buffer_release(packed, buffer_size);
    return status;
}
