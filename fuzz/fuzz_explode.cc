/*
 * fuzz_explode - any bytes as a compressed stream. Whatever they hold, both
 * decoders must keep the sink contract of explode.h: whole windows while the
 * window fills, the rest in one call at the end marker, no empty call, and
 * after a refusal no further call and EXPLODE_WRITE_FAILED. The input's last
 * byte, which is also part of the stream, chooses the call to refuse.
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

    for (const explode_decoder &decoder : EXPLODE_DECODERS) {
        const explode_function decode = decoder.decode;
        recording_sink whole;
        const explode_result result = decode(data, length, recording_sink_take, &whole);
        check_sink_contract(whole, result);

        recording_sink refusing;
        refusing.fail_on_call = refused_call;
        const explode_result refused = decode(data, length, recording_sink_take, &refusing);
        check_refusal(whole, result, refusing, refused);
    }
    return 0;
}
