/*
 * fuzz_roundtrip - the input chooses what the test encoder compresses and how:
 *
 *   byte 0      bit 0: the literal mode; the rest, modulo 3: the dictionary
 *               size (4, 5 or 6 bits)
 *   byte 1      how many times the data is repeated, 1 to 16, for long
 *               matches and output of several windows
 *   bytes 2-9   the odd-choices seed, least significant byte first (0: the
 *               encoder's usual choices)
 *   the rest    the data
 *
 * Both decoders must give the data back exactly, in whole windows then the rest.
 */
#include <cstddef>
#include <cstdint>
#include <vector>

#include "explode/explode_reference.h"
#include "fuzz/fuzz_check.h"
#include "tools/implode_encoder.h"

namespace {

enum { SETTINGS_SIZE = 10, MAX_REPEATS = 16 };

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t settings[SETTINGS_SIZE] = {};
    for (size_t i = 0; i < SETTINGS_SIZE && i < size; ++i)
        settings[i] = data[i];
    implode_options options;
    options.literal_mode = settings[0] & 1;
    options.dictionary_bits = 4 + (settings[0] >> 1) % 3;
    options.odd_choices_seed = 0;
    for (int i = 9; i >= 2; --i)
        options.odd_choices_seed = options.odd_choices_seed << 8 | settings[i];

    std::vector<uint8_t> plain;
    if (size > SETTINGS_SIZE) {
        const int repeats = 1 + settings[1] % MAX_REPEATS;
        for (int i = 0; i < repeats; ++i)
            plain.insert(plain.end(), data + SETTINGS_SIZE, data + size);
    }
    const std::vector<uint8_t> stream = implode(plain, options);
    FUZZ_CHECK(stream.size() <= UINT32_MAX);

    for (const explode_decoder &decoder : EXPLODE_DECODERS) {
        recording_sink sink;
        const explode_result result = decoder.decode(
            stream.data(), static_cast<uint32_t>(stream.size()), recording_sink_take, &sink);
        FUZZ_CHECK(result == EXPLODE_OK);
        FUZZ_CHECK(sink.bytes == plain);
        FUZZ_CHECK(sink.call_sizes == window_call_sizes(plain.size()));
    }
    return 0;
}
