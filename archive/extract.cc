/*
 * extract.cc - one member into a file, from a plain archive or an installer.
 *
 * The member's compressed bytes are read into memory in one piece and decoded
 * straight into the output, gathered into large writes, so memory use is the
 * compressed size plus the decoder's fixed state and one write buffer,
 * whatever the expanded size. The output is kept only when every step
 * succeeded.
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
const size_t BLOCK_SIZE = 4096;
/* The bytes an extraction gathers before writing them in one call. */
const size_t WRITE_BUFFER_SIZE = 256 * 1024;

/* Files open elsewhere that an output must not be. */
struct open_files {
    std::FILE *const *files; /* null entries are skipped */
    uint32_t count;
};

/* Reads @member's compressed bytes from @source into @packed, which has room for them. */
typedef arc_status (*member_reader)(const void *source, const arc_member *member, uint8_t *packed);

arc_status read_plain_member(const void *source, const arc_member *member, uint8_t *packed)
{
    std::FILE *archive_file = static_cast<const arc_archive *>(source)->file;
    if (arc_seek_from_start(archive_file, member->offset) != 0 ||
        std::fread(packed, 1, member->packed_size, archive_file) != member->packed_size)
        return ARC_ERR_READ;
    return ARC_OK;
}

arc_status read_installer_member(const void *source, const arc_member *member, uint8_t *packed)
{
    return arc_read_member_data(static_cast<const arc_installer *>(source), member, packed);
}

/* Whether @identity names one of the @count files open as @files (null entries name none). */
bool is_open_as_any(const arc_file_identity *identity, const open_files &files)
{
    for (uint32_t i = 0; i < files.count; ++i) {
        arc_file_identity input_identity;
        arc_identify(files.files[i], &input_identity);
        if (arc_same_file(identity, &input_identity))
            return true;
    }
    return false;
}

bool write_to_stream(void *file, const uint8_t *bytes, size_t length)
{
    return arc_write_through(static_cast<std::FILE *>(file), bytes, length) == 0;
}

/*
 * Decodes into @output; a regular file gets no byte past the recorded size.
 * Without memory for the gathering, each block is written as it comes.
 */
arc_status decode_into(std::FILE *output, bool regular, const uint8_t *packed,
                       const arc_member *member)
{
    uint8_t one_block[BLOCK_SIZE];
    uint8_t *gathered = static_cast<uint8_t *>(std::malloc(WRITE_BUFFER_SIZE));
    arc_buffered_sink sink = {gathered != nullptr ? gathered : one_block,
                              gathered != nullptr ? WRITE_BUFFER_SIZE : BLOCK_SIZE,
                              0,
                              regular ? member->unpacked_size : UINT64_MAX,
                              write_to_stream,
                              output};
    arc_status status = arc_decode_member(packed, member, arc_buffered_sink_take, &sink);
    /* A block that cannot be written wins over whatever the decoder found after it. */
    if (!arc_buffered_sink_flush(&sink))
        status = ARC_ERR_WRITE;
    std::free(gathered);
    return status;
}

/*
 * Opens the output without emptying it, and empties it only once it is known
 * not to be one of the files being read or spared: checking the path first
 * and opening it afterwards would let the path be swapped for a link in
 * between. A failed output is removed only when it is a regular file (a
 * device or a pipe is left where it is); when it was reached through a
 * symbolic link, the file written is removed and the link stays.
 */
arc_status write_member_file(const char *output_path, const uint8_t *packed,
                             const arc_member *member, open_files inputs, open_files spared)
{
    std::FILE *output = arc_open_output(output_path);
    if (output == nullptr)
        return ARC_ERR_WRITE;
    arc_file_identity identity;
    arc_identify(output, &identity);
    const bool refused = is_open_as_any(&identity, inputs) || is_open_as_any(&identity, spared);

    arc_status status = refused || arc_empty_file(output) != 0 ? ARC_ERR_WRITE : ARC_OK;
    if (status == ARC_OK)
        status = decode_into(output, identity.regular, packed, member);
    if (std::fclose(output) != 0 && status == ARC_OK)
        status = ARC_ERR_WRITE;
    if (status != ARC_OK && !refused && identity.regular)
        arc_remove_file(output_path, &identity);
    return status;
}

/*
 * What every extraction into a file does: take a buffer for the compressed
 * bytes, @read them from @source, write the member, release the buffer.
 */
arc_status extract_from(const void *source, member_reader read, const arc_member *member,
                        const char *output_path, open_files inputs, open_files spared)
{
    /* An empty member still asks for a byte. */
    const size_t buffer_size = member->packed_size != 0 ? member->packed_size : 1;
    uint8_t *packed = arc_buffer_acquire(buffer_size);
    if (packed == nullptr)
        return ARC_ERR_NO_MEMORY;
    arc_status status = read(source, member, packed);
    if (status == ARC_OK)
        status = write_member_file(output_path, packed, member, inputs, spared);
    arc_buffer_release(packed, buffer_size);
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

bool arc_buffered_sink_take(void *context, const uint8_t *bytes, uint32_t length)
{
    arc_buffered_sink *sink = static_cast<arc_buffered_sink *>(context);
    const size_t kept = static_cast<size_t>(std::min<uint64_t>(length, sink->room));
    if (kept == 0)
        return true;
    if (sink->used + kept > sink->capacity && !arc_buffered_sink_flush(sink))
        return false;
    std::memcpy(sink->buffer + sink->used, bytes, kept);
    sink->used += kept;
    sink->room -= kept;
    return true;
}

bool arc_buffered_sink_flush(arc_buffered_sink *sink)
{
    const size_t length = sink->used;
    sink->used = 0;
    return length == 0 || sink->flush(sink->flush_context, sink->buffer, length);
}

arc_status arc_extract_member(arc_archive *archive, const arc_member *member,
                              const char *output_path)
{
    return arc_extract_member_sparing(archive, member, output_path, nullptr, 0);
}

arc_status arc_extract_member_sparing(arc_archive *archive, const arc_member *member,
                                      const char *output_path, std::FILE *const *spared,
                                      uint32_t spared_count)
{
    return extract_from(archive, read_plain_member, member, output_path, {&archive->file, 1},
                        {spared, spared_count});
}

arc_status arc_extract_installer_member(arc_installer *installer, const arc_member *member,
                                        const char *output_path)
{
    /* What the member claims is checked against the volumes before memory is taken for it. */
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    const arc_status claim = arc_member_pieces(installer, member, pieces, &piece_count);
    if (claim != ARC_OK)
        return claim;
    std::FILE *inputs[ARC_MAX_VOLUMES];
    for (uint32_t i = 0; i < installer->volume_count; ++i)
        inputs[i] = installer->volumes[i].file;
    return extract_from(installer, read_installer_member, member, output_path,
                        {inputs, installer->volume_count}, {nullptr, 0});
}
