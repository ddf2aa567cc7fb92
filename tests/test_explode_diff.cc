/*
 * The fast decoder against the bit-serial reference: for every stream and
 * every sink, the same result, the same bytes and the same sequence of sink
 * calls. Streams come from a random token generator, so they reach every kind
 * of token, and from mutations of them: flipped bits, cuts, appended bytes.
 */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "explode/explode_reference.h"
#include "tests/support/codec_support.h"
#include "tests/support/test_support.h"
#include "tools/implode_encoder.h"

namespace {

/*
 * Random tokens: literals, matches of every length class, distances up to
 * what the fields can express (so some reach before the start), and usually
 * the end marker.
 */
std::vector<uint8_t> random_token_stream(uint64_t *r, int literal_mode, int dictionary_bits,
                                         int tokens, bool always_valid = false)
{
    implode_writer writer;
    implode_begin(&writer, literal_mode, dictionary_bits);
    uint32_t produced = 0;
    for (int i = 0; i < tokens; ++i) {
        if (produced == 0 || random_below(r, 3) == 0) {
            implode_put_literal(&writer, static_cast<uint8_t>(random_below(r, 4) == 0
                                                                  ? next_random(r)
                                                                  : 'a' + random_below(r, 4)));
            ++produced;
            continue;
        }
        const uint32_t length =
            random_below(r, 4) == 0 ? 2 + random_below(r, 517) : 2 + random_below(r, 12);
        const uint32_t max_distance = length == 2 ? 256 : implode_max_distance(dictionary_bits);
        uint32_t distance = 1 + random_below(r, max_distance);
        if ((always_valid || random_below(r, 50) != 0) && distance > produced)
            distance = 1 + random_below(r, produced); /* mostly valid, sometimes not */
        implode_put_match(&writer, length, distance);
        produced += length;
    }
    if (always_valid || random_below(r, 10) != 0)
        implode_put_end_marker(&writer);
    return implode_finish(&writer);
}

/* Returns an empty string when both decoders agree, else what differs. */
std::string compare_decoders(const std::vector<uint8_t> &stream, size_t fail_on_call)
{
    const decode_outcome fast = decode_stream(explode, stream, fail_on_call);
    const decode_outcome reference = decode_stream(explode_reference, stream, fail_on_call);
    if (fast.result != reference.result)
        return "result " + std::to_string(fast.result) + " vs " + std::to_string(reference.result);
    if (fast.sink.call_sizes != reference.sink.call_sizes)
        return "sink calls differ";
    if (fast.sink.bytes != reference.sink.bytes)
        return "output bytes differ";
    if (fast.sink.calls_after_failure != 0)
        return "sink called after it failed";
    return "";
}

void expect_same_behaviour(const std::vector<uint8_t> &stream, const std::string &label)
{
    for (const size_t fail_on_call : {size_t{0}, size_t{1}, size_t{2}}) {
        const std::string difference = compare_decoders(stream, fail_on_call);
        ASSERT_EQ(difference, "") << label << ", sink failing on call " << fail_on_call
                                  << ", stream of " << stream.size() << " bytes";
    }
}

TEST(FastDecoder, MatchesTheReferenceOnRandomTokenStreams)
{
    uint64_t r = 0x1234567;
    for (int i = 0; i < 3000; ++i) {
        const int literal_mode = static_cast<int>(random_below(&r, 2));
        const int dictionary_bits = 4 + static_cast<int>(random_below(&r, 3));
        const int tokens = static_cast<int>(random_below(&r, i % 10 == 0 ? 3000 : 60));
        const std::vector<uint8_t> stream =
            random_token_stream(&r, literal_mode, dictionary_bits, tokens);
        expect_same_behaviour(stream, "stream " + std::to_string(i));
    }
}

TEST(FastDecoder, MatchesTheReferenceOnMutatedStreams)
{
    uint64_t r = 0xBADC0FFEE;
    for (int i = 0; i < 400; ++i) {
        const std::vector<uint8_t> original =
            random_token_stream(&r, static_cast<int>(random_below(&r, 2)),
                                4 + static_cast<int>(random_below(&r, 3)), 400);
        const std::string label = "stream " + std::to_string(i);

        std::vector<uint8_t> flipped = original;
        for (int flips = 1 + static_cast<int>(random_below(&r, 4)); flips > 0; --flips) {
            const size_t bit = random_below(&r, static_cast<uint32_t>(flipped.size() * 8));
            flipped[bit / 8] = static_cast<uint8_t>(flipped[bit / 8] ^ (1u << (bit % 8)));
        }
        expect_same_behaviour(flipped, label + " with flipped bits");

        std::vector<uint8_t> cut = original;
        cut.resize(random_below(&r, static_cast<uint32_t>(cut.size())));
        expect_same_behaviour(cut, label + " cut");

        std::vector<uint8_t> extended = original;
        for (int extra = static_cast<int>(random_below(&r, 20)); extra > 0; --extra)
            extended.push_back(static_cast<uint8_t>(next_random(&r)));
        expect_same_behaviour(extended, label + " with bytes appended");
    }
}

TEST(FastDecoder, MatchesTheReferenceOnEveryPrefix)
{
    uint64_t r = 42;
    for (int literal_mode = 0; literal_mode < 2; ++literal_mode) {
        const std::vector<uint8_t> stream = random_token_stream(&r, literal_mode, 6, 800);
        for (size_t size = 0; size <= stream.size(); ++size) {
            const std::vector<uint8_t> prefix(stream.begin(),
                                              stream.begin() + static_cast<long>(size));
            for (const size_t fail_on_call : {size_t{0}, size_t{1}})
                ASSERT_EQ(compare_decoders(prefix, fail_on_call), "")
                    << "prefix of " << size << " bytes, sink failing on call " << fail_on_call;
        }
    }
}

TEST(FastDecoder, MatchesTheReferenceOnRandomBytes)
{
    uint64_t r = 7;
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> stream = random_bytes(random_below(&r, 300), static_cast<uint64_t>(i));
        if (stream.size() >= 2) {
            stream[0] = static_cast<uint8_t>(random_below(&r, 2));
            stream[1] = static_cast<uint8_t>(4 + random_below(&r, 3));
        }
        expect_same_behaviour(stream, "random stream " + std::to_string(i));
    }
}

TEST(FastDecoder, SinkFailingOnAnyCallIsReportedAlike)
{
    uint64_t r = 99;
    const std::vector<uint8_t> stream = random_token_stream(&r, 1, 6, 5000, true);
    const decode_outcome whole = decode_stream(explode_reference, stream);
    ASSERT_GT(whole.sink.call_sizes.size(), 3u);
    for (size_t k = 1; k <= whole.sink.call_sizes.size(); ++k)
        ASSERT_EQ(compare_decoders(stream, k), "") << "failing on call " << k;
}

} // namespace
