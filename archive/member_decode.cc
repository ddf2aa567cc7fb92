/*
 * member_decode.cc - decoding a member's compressed bytes into any sink, or,
 * for a stored member, copying them there as they stand.
 *
 * The count that is checked against the recorded size is kept here, between
 * the decoder and the caller's sink, so that every caller gets the same
 * verdict whatever its sink counts or does not.
 */
#include "archive/archive.h"
#include "archive/archive_internal.h"

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

/* The decoder's blocks, which a stored member's bytes are handed over in too. */
const uint32_t BLOCK_SIZE = 4096;

/* A stored member's data is the file itself: it goes to the sink as a decode's output would. */
explode_result copy_stored(const uint8_t *data, uint32_t length, explode_sink sink, void *context)
{
    for (uint32_t at = 0; at < length; at += BLOCK_SIZE) {
        const uint32_t block = length - at < BLOCK_SIZE ? length - at : BLOCK_SIZE;
        if (!sink(context, data + at, block))
            return EXPLODE_WRITE_FAILED;
    }
    return EXPLODE_OK;
}

} // namespace

arc_status arc_decode_member(const uint8_t *packed, const arc_member *member, explode_sink sink,
                             void *sink_context)
{
    counting_sink counter = {sink, sink_context, 0};
    const explode_result result =
        (member->flags & ARC_FLAG_STORED) != 0
            ? copy_stored(packed, member->packed_size, counting_sink_write, &counter)
            : explode(packed, member->packed_size, counting_sink_write, &counter);
    return arc_extraction_status(result, counter.count, member->unpacked_size);
}
