/*
 * recording_sink.h - a decoder sink that records every call made to it, and
 * can refuse one of them. Shared by the tests and the fuzz targets, which
 * check the sink contract of explode.h against what it recorded.
 */
#ifndef VARLIX_TOOLS_RECORDING_SINK_H
#define VARLIX_TOOLS_RECORDING_SINK_H

#include <cstddef>
#include <cstdint>
#include <vector>

/* Records each call made to it; returns false on call number fail_on_call. */
struct recording_sink {
    std::vector<uint32_t> call_sizes;
    std::vector<uint8_t> bytes; /* everything received, in order */
    size_t fail_on_call = 0;    /* counted from 1; 0: never fail */
    size_t calls_after_failure = 0;
};

/* recording_sink_take() - the explode_sink for a recording_sink at @context. */
bool recording_sink_take(void *context, const uint8_t *bytes, uint32_t length);

/* The calls a correct decode of @total bytes makes: whole windows, then the rest. */
std::vector<uint32_t> window_call_sizes(uint64_t total);

#endif
