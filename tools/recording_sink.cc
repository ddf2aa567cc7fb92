#include "tools/recording_sink.h"

#include "explode/explode_internal.h"

bool recording_sink_take(void *context, const uint8_t *bytes, uint32_t length)
{
    recording_sink *sink = static_cast<recording_sink *>(context);
    const bool failed_before =
        sink->fail_on_call != 0 && sink->call_sizes.size() >= sink->fail_on_call;
    if (failed_before)
        ++sink->calls_after_failure;
    sink->call_sizes.push_back(length);
    sink->bytes.insert(sink->bytes.end(), bytes, bytes + length);
    return sink->call_sizes.size() != sink->fail_on_call;
}

std::vector<uint32_t> window_call_sizes(uint64_t total)
{
    std::vector<uint32_t> sizes(total / EXPLODE_WINDOW_SIZE, EXPLODE_WINDOW_SIZE);
    if (total % EXPLODE_WINDOW_SIZE != 0)
        sizes.push_back(static_cast<uint32_t>(total % EXPLODE_WINDOW_SIZE));
    return sizes;
}
