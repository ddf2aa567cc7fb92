/*
 * fuzz_explode_diff - any bytes as a compressed stream, decoded by the fast
 * decoder and by the bit-serial reference: the result, the bytes and the
 * sizes of the sink calls must be identical, once with a sink that takes
 * everything and once with one that refuses the call chosen by the input's
 * last byte (which is also part of the stream).
 */
#include <cstddef>
#include <cstdint>

#include "explode/explode_reference.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    const uint32_t length = static_cast<uint32_t>(size);
    const size_t refused_call = size == 0 ? 1 : 1 + data[size - 1] % 32;

    for (const size_t fail_on_call : {size_t{0}, refused_call}) {
        recording_sink fast;
        recording_sink reference;
        fast.fail_on_call = fail_on_call;
        reference.fail_on_call = fail_on_call;
        const explode_result fast_result = explode(data, length, recording_sink_take, &fast);
        const explode_result reference_result =
            explode_reference(data, length, recording_sink_take, &reference);
        FUZZ_CHECK(fast_result == reference_result);
        FUZZ_CHECK(fast.call_sizes == reference.call_sizes);
        FUZZ_CHECK(fast.bytes == reference.bytes);
        FUZZ_CHECK(fast.calls_after_failure == 0 && reference.calls_after_failure == 0);
    }
    return 0;
}
