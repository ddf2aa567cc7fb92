/*
 * extract.cc - one member from the archive into a file.
 *
 * The member's compressed bytes are read into memory in one piece and decoded
 * straight into the output stream, so memory use is the compressed size plus
 * the decoder's fixed state, whatever the expanded size. The output is kept
 * only when every step succeeded.
 */
#include <cstdlib>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/file_ops.h"
#include "explode/explode.h"

namespace {

/* Large enough that writing costs few system calls, small beside the compressed data. */
const size_t OUTPUT_BUFFER_SIZE = size_t{256} << 10;

/* Creating the output must never truncate the archive being read or the log. */
bool output_would_overwrite_input(const char *output_path, std::FILE *archive_file,
                                  std::FILE *keep_intact)
{
    return arc_path_is_open_file(output_path, archive_file) ||
           arc_path_is_open_file(output_path, keep_intact);
}

arc_status read_member_data(std::FILE *archive_file, const arc_member *member, uint8_t *packed)
{
    if (arc_seek_from_start(archive_file, member->offset) != 0 ||
        std::fread(packed, 1, member->packed_size, archive_file) != member->packed_size)
        return ARC_ERR_READ;
    return ARC_OK;
}

/* Decodes into a freshly opened @output; closes it and returns the status. */
arc_status decode_into(std::FILE *output, const uint8_t *packed, const arc_member *member)
{
    arc_file_sink sink = {output, 0};
    const explode_result result = explode(packed, member->packed_size, arc_file_sink_write, &sink);
    arc_status status = arc_extraction_status(result, sink.count, member->unpacked_size);
    if (std::fclose(output) != 0 && status == ARC_OK)
        status = ARC_ERR_WRITE;
    return status;
}

/*
 * Creates the output and decodes into it. A failed output is removed only
 * when it is a regular file: a device or a pipe is left where it is.
 */
arc_status decode_to_file(const char *output_path, const uint8_t *packed, const arc_member *member)
{
    std::FILE *output = std::fopen(output_path, "wb");
    if (output == nullptr)
        return ARC_ERR_WRITE;
    const bool removable = arc_is_regular_file(output);
    /*
     * Fewer, larger writes. The stream would ignore a size given without a
     * buffer, so it gets one; if that cannot be had, the default one serves.
     */
    char *stream_buffer = static_cast<char *>(std::malloc(OUTPUT_BUFFER_SIZE));
    if (stream_buffer != nullptr)
        std::setvbuf(output, stream_buffer, _IOFBF, OUTPUT_BUFFER_SIZE);

    const arc_status status = decode_into(output, packed, member);
    std::free(stream_buffer); /* the stream is closed by now */
    if (status != ARC_OK && removable)
        std::remove(output_path);
    return status;
}

} // namespace

arc_status arc_extraction_status(int result, uint64_t written, uint32_t unpacked_size)
{
    if (result == EXPLODE_WRITE_FAILED)
        return ARC_ERR_WRITE;
    if (result != EXPLODE_OK)
        return ARC_ERR_DAMAGED;
    return written == unpacked_size ? ARC_OK : ARC_ERR_SIZE;
}

bool arc_file_sink_write(void *sink, const uint8_t *bytes, uint32_t length)
{
    arc_file_sink *out = static_cast<arc_file_sink *>(sink);
    if (std::fwrite(bytes, 1, length, out->file) != length)
        return false;
    out->count += length;
    return true;
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
    if (status == ARC_OK && output_would_overwrite_input(output_path, archive->file, keep_intact))
        status = ARC_ERR_WRITE;
    if (status == ARC_OK)
        status = decode_to_file(output_path, packed, member);
    arc_buffer_release(packed, buffer_size);
    return status;
}
