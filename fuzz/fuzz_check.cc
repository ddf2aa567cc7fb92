#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "explode/explode_internal.h"

void fuzz_check_failed(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

void check_sink_contract(const recording_sink &sink, explode_result result)
{
    FUZZ_CHECK(result >= EXPLODE_OK && result < EXPLODE_WRITE_FAILED);
    FUZZ_CHECK(sink.call_sizes == window_call_sizes(sink.bytes.size()));
    if (result != EXPLODE_OK)
        FUZZ_CHECK(sink.bytes.size() % EXPLODE_WINDOW_SIZE == 0);
}

void check_refusal(const recording_sink &whole, explode_result whole_result,
                   const recording_sink &refusing, explode_result refusing_result)
{
    const size_t refused_call = refusing.fail_on_call;
    FUZZ_CHECK(refused_call != 0);
    FUZZ_CHECK(refusing.calls_after_failure == 0);
    if (whole.call_sizes.size() < refused_call) {
        FUZZ_CHECK(refusing_result == whole_result);
        FUZZ_CHECK(refusing.call_sizes == whole.call_sizes);
        FUZZ_CHECK(refusing.bytes == whole.bytes);
        return;
    }
    FUZZ_CHECK(refusing_result == EXPLODE_WRITE_FAILED);
    FUZZ_CHECK(refusing.call_sizes.size() == refused_call);
    FUZZ_CHECK(std::equal(refusing.call_sizes.begin(), refusing.call_sizes.end(),
                          whole.call_sizes.begin()));
    FUZZ_CHECK(refusing.bytes.size() <= whole.bytes.size());
    FUZZ_CHECK(std::equal(refusing.bytes.begin(), refusing.bytes.end(), whole.bytes.begin()));
}
