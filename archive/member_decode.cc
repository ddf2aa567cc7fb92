/*
 * member_decode.cc - decoding an installer member's compressed bytes into any
 * sink, and into a file.
 *
 * The count that is checked against the recorded size is kept here, between
 * the decoder and the caller's sink, so that every caller gets the same
 * verdict whatever its sink counts or does not.
 */
#include <cstdlib>

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

bool names_an_open_volume(const arc_installer *installer, const char *path)
{
    for (uint32_t i = 0; i < installer->volume_count; ++i) {
        if (arc_path_is_open_file(path, installer->volumes[i].file))
            return true;
    }
    return false;
}

/* Creates the output, decodes into it and removes it when anything failed. */
arc_status decode_to_new_file(const uint8_t *packed, const arc_member *member,
                              const char *output_path)
{
    std::FILE *output = std::fopen(output_path, "wb");
    if (output == nullptr)
        return ARC_ERR_WRITE;
    const bool removable = arc_is_regular_file(output);
    arc_file_sink sink = {output, 0};
    arc_status status = arc_decode_member(packed, member, arc_file_sink_write, &sink);
    if (std::fclose(output) != 0 && status == ARC_OK)
        status = ARC_ERR_WRITE;
    if (status != ARC_OK && removable)
        std::remove(output_path);
    return status;
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
    /* malloc(0) may return null, which is not a failure here: ask for a byte. */
    const size_t buffer_size = member->packed_size != 0 ? member->packed_size : 1;
    uint8_t *packed = static_cast<uint8_t *>(std::malloc(buffer_size));
    if (packed == nullptr)
        return ARC_ERR_NO_MEMORY;
    arc_status status = arc_read_member_data(installer, member, packed);
    if (status == ARC_OK && names_an_open_volume(installer, output_path))
        status = ARC_ERR_WRITE;
    if (status == ARC_OK)
        status = decode_to_new_file(packed, member, output_path);
    std::free(packed);
    return status;
}
