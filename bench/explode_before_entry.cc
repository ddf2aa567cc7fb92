/*
 * explode_before_entry.cc - one entry with C++ linkage into the decoder of
 * another commit, compiled against that commit's own header (which renames
 * its explode() to explode_before()), so that the bench calls it the same way
 * whether that header declared the decoder with C linkage or not.
 */
#include "explode/explode.h"

explode_result bench_explode_before(const uint8_t *data, uint32_t length, explode_sink sink,
                                    void *sink_context)
{
    return explode(data, length, sink, sink_context);
}
