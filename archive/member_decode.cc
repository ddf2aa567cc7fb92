/*
 * member_decode.cc - decoding an installer member's compressed bytes into any
 * sink, and into a file, with the same guards as a plain archive's member.
 *
 * The count that is checked against the recorded size is kept here, between
 * the decoder and the caller's sink, so that every caller gets the same
 * verdict whatever its sink counts or does not.
 */
#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/file_ops.h"

namespace {

struct counting_sink {
    explode_sink sink;
    void *context;
    uint64_t count; /* bytes the caller's sink took */
};

bool counting_sink_write(void *context, const uint8_t *bytes, uint32_t length)
{
    counting_sink *counter = static_cast<counting_sink *>(context);
    if (!counter->sink(counter->context, bytes, length))
        return false;
    counter->count += length;
    return true;
}

} // namespace

arc_status arc_decode_member(const uint8_t *packed, const arc_member *member, explode_sink sink,
                             void *sink_context)
{
    counting_sink counter = {sink, sink_context, 0};
    const explode_result result =
        explode(packed, member->packed_size, counting_sink_write, &counter);
    return arc_extraction_status(result, counter.count, member->unpacked_size);
}

arc_status arc_extract_installer_member(arc_installer *installer, const arc_member *member,
                                        const char *output_path)
{
    /* What the member claims is checked against the volumes before memory is taken for it. */
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    arc_status status = arc_member_pieces(installer, member, pieces, &piece_count);
    if (status != ARC_OK)
        return status;
    /* An empty member still asks for a byte. */
    const size_t buffer_size = member->packed_size != 0 ? member->packed_size : 1;
    uint8_t *packed = arc_buffer_acquire(buffer_size);
    if (packed == nullptr)
        return ARC_ERR_NO_MEMORY;
    status = arc_read_member_data(installer, member, packed);
    if (status == ARC_OK) {
        std::FILE *inputs[ARC_MAX_VOLUMES];
        for (uint32_t i = 0; i < installer->volume_count; ++i)
            inputs[i] = installer->volumes[i].file;
        status =
            arc_write_member_file(output_path, packed, member, inputs, installer->volume_count);
    }
    arc_buffer_release(packed, buffer_size);
    return status;
}
