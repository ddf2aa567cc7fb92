#include "tests/support/codec_support.h"

#include <algorithm>

#include "explode/explode_reference.h"
#include "tests/support/test_support.h"

std::string decoder_test_name(const ::testing::TestParamInfo<explode_decoder> &info)
{
    return info.param.name;
}

void PrintTo(const explode_decoder &decoder, std::ostream *out)
{
    *out << decoder.name;
}

decode_outcome decode_stream(explode_function decode, const std::vector<uint8_t> &stream,
                             size_t fail_on_call)
{
    decode_outcome outcome;
    outcome.sink.fail_on_call = fail_on_call;
    outcome.result = decode(stream.data(), static_cast<uint32_t>(stream.size()),
                            recording_sink_take, &outcome.sink);
    return outcome;
}

size_t first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    const size_t common = std::min(a.size(), b.size());
    return static_cast<size_t>(
        std::mismatch(a.begin(), a.begin() + static_cast<long>(common), b.begin()).first -
        a.begin());
}

bool starts_with(const std::vector<uint8_t> &whole, const std::vector<uint8_t> &prefix)
{
    return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

std::vector<uint8_t> byte_runs(size_t size, uint64_t seed)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const uint64_t r = next_random(&seed);
        const size_t run = std::min<size_t>(1 + (r >> 8) % 2000, size - bytes.size());
        bytes.insert(bytes.end(), run, static_cast<uint8_t>(r));
    }
    return bytes;
}

std::vector<uint8_t> repeated_block(size_t size, size_t period, uint64_t seed)
{
    const std::vector<uint8_t> block = random_bytes(period, seed);
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = block[i % period];
    return bytes;
}

std::vector<uint8_t> binary_records(size_t size, uint64_t seed)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(size + 16);
    for (uint32_t index = 0; bytes.size() < size; ++index) {
        const uint64_t r = next_random(&seed);
        const uint32_t fields[4] = {index, static_cast<uint32_t>(r % 16),
                                    0x00401000u + 4 * static_cast<uint32_t>((r >> 8) % 64),
                                    static_cast<uint32_t>(r >> 40) & 0x0101};
        for (uint32_t field : fields) {
            for (int shift = 0; shift < 32; shift += 8)
                bytes.push_back(static_cast<uint8_t>(field >> shift));
        }
    }
    bytes.resize(size);
    return bytes;
}

std::vector<uint8_t> small_alphabet(size_t size, unsigned symbols, uint64_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (uint8_t &byte : bytes)
        byte = static_cast<uint8_t>(next_random(&seed) % symbols);
    return bytes;
}

std::vector<uint8_t> mixed_data(size_t size, uint64_t seed)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(size);
    for (int kind = 0; bytes.size() < size; kind = (kind + 1) % 6) {
        const size_t chunk = std::min<size_t>(1 + next_random(&seed) % 9000, size - bytes.size());
        std::vector<uint8_t> part;
        switch (kind) {
        case 0:
            part = sample_text(chunk, seed);
            break;
        case 1:
            part = binary_records(chunk, seed);
            break;
        case 2:
            part = byte_runs(chunk, seed);
            break;
        case 3:
            part = repeated_block(chunk, 256, seed);
            break;
        case 4:
            part = repeated_block(chunk, 4096, seed);
            break;
        default:
            part = random_bytes(chunk, seed);
            break;
        }
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}
