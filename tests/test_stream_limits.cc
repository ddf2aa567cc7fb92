/*
 * The edges of a stream: where it ends (every cut is truncation, anything
 * after the end marker is ignored) and how far back a match may reach (up to
 * the first byte produced, never before it).
 */
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "explode/explode_internal.h"
#include "tests/support/codec_support.h"
#include "tests/support/test_support.h"
#include "tools/implode_encoder.h"

namespace {

class StreamLimits : public ::testing::TestWithParam<explode_decoder> {
  protected:
    decode_outcome decode(const std::vector<uint8_t> &stream)
    {
        return decode_stream(GetParam().decode, stream);
    }
};

struct sample_stream {
    const char *name;
    std::vector<uint8_t> plain;
    std::vector<uint8_t> stream;
};

/* Text, then a block of 256 repeated, then runs: with odd choices, every kind of token. */
std::vector<uint8_t> varied_data()
{
    std::vector<uint8_t> bytes = sample_text(3000, 5);
    const std::vector<uint8_t> blocks = repeated_block(2000, 256, 5);
    const std::vector<uint8_t> runs = byte_runs(2000, 5);
    bytes.insert(bytes.end(), blocks.begin(), blocks.end());
    bytes.insert(bytes.end(), runs.begin(), runs.end());
    return bytes;
}

/* Streams of both literal modes whose output crosses a window boundary. */
std::vector<sample_stream> sample_streams()
{
    std::vector<sample_stream> samples;
    const std::vector<uint8_t> text = sample_text(6000, 4);
    const std::vector<uint8_t> mixed = varied_data();
    implode_options coded;
    coded.literal_mode = 1;
    coded.dictionary_bits = 4;
    implode_options odd;
    odd.odd_choices_seed = 77;
    samples.push_back({"plain text", text, implode(text)});
    samples.push_back({"coded text", text, implode(text, coded)});
    samples.push_back({"odd choices over varied data", mixed, implode(mixed, odd)});
    coded.odd_choices_seed = 78;
    samples.push_back({"coded odd choices over varied data", mixed, implode(mixed, coded)});
    return samples;
}

TEST_P(StreamLimits, EveryProperPrefixIsTruncated)
{
    for (const sample_stream &sample : sample_streams()) {
        SCOPED_TRACE(sample.name);
        for (size_t length = 0; length < sample.stream.size(); ++length) {
            const std::vector<uint8_t> prefix(sample.stream.begin(),
                                              sample.stream.begin() + static_cast<long>(length));
            const decode_outcome outcome = decode(prefix);
            ASSERT_EQ(outcome.result, EXPLODE_TRUNCATED) << "cut to " << length << " bytes";
            /* Only whole windows leave before the end marker. */
            const std::vector<uint32_t> whole_windows(outcome.sink.call_sizes.size(),
                                                      EXPLODE_WINDOW_SIZE);
            ASSERT_EQ(outcome.sink.call_sizes, whole_windows) << "cut to " << length << " bytes";
            ASSERT_TRUE(starts_with(sample.plain, outcome.sink.bytes))
                << "cut to " << length << " bytes";
        }
    }
}

TEST_P(StreamLimits, BytesAfterTheEndMarkerChangeNothing)
{
    const std::vector<std::vector<uint8_t>> trailers = {
        {0x00}, {0xFF}, random_bytes(100, 6), std::vector<uint8_t>(5000, 0xFF)};
    for (const sample_stream &sample : sample_streams()) {
        SCOPED_TRACE(sample.name);
        const decode_outcome clean = decode(sample.stream);
        ASSERT_EQ(clean.result, EXPLODE_OK);
        ASSERT_TRUE(clean.sink.bytes == sample.plain);
        for (const std::vector<uint8_t> &trailer : trailers) {
            std::vector<uint8_t> padded = sample.stream;
            padded.insert(padded.end(), trailer.begin(), trailer.end());
            const decode_outcome outcome = decode(padded);
            EXPECT_EQ(outcome.result, EXPLODE_OK);
            EXPECT_EQ(outcome.sink.call_sizes, clean.sink.call_sizes);
            EXPECT_TRUE(outcome.sink.bytes == clean.sink.bytes);
        }
    }
}

struct distance_case {
    int dictionary_bits;
    uint32_t produced; /* literals before the match */
    uint32_t length;
    uint32_t distance;
    explode_result expected;
};

const distance_case DISTANCE_CASES[] = {
    /* The farthest a match of 3 or more reaches, right when it first becomes possible. */
    {4, 1024, 3, 1024, EXPLODE_OK},
    {4, 1023, 3, 1024, EXPLODE_BAD_DISTANCE},
    {5, 2048, 3, 2048, EXPLODE_OK},
    {5, 2047, 3, 2048, EXPLODE_BAD_DISTANCE},
    {6, 4096, 3, 4096, EXPLODE_OK},
    {6, 4095, 3, 4096, EXPLODE_BAD_DISTANCE},
    {6, 4096, 518, 4096, EXPLODE_OK},
    /* One further than produced, below the dictionary's limit. */
    {4, 256, 3, 257, EXPLODE_BAD_DISTANCE},
    {4, 257, 3, 257, EXPLODE_OK},
    {6, 3000, 3, 3001, EXPLODE_BAD_DISTANCE},
    /* The farthest a match of 2 reaches. */
    {4, 256, 2, 256, EXPLODE_OK},
    {6, 256, 2, 256, EXPLODE_OK},
    {6, 255, 2, 256, EXPLODE_BAD_DISTANCE},
    /* Four bytes in. */
    {6, 4, 2, 4, EXPLODE_OK},
    {6, 4, 2, 5, EXPLODE_BAD_DISTANCE},
    {5, 4, 3, 4, EXPLODE_OK},
    {5, 4, 3, 5, EXPLODE_BAD_DISTANCE},
    {6, 0, 2, 1, EXPLODE_BAD_DISTANCE},
    /* Well past the first window, the ring must still give the bytes that far back. */
    {6, 5000, 3, 4096, EXPLODE_OK},
    {4, 9000, 518, 1024, EXPLODE_OK},
    {5, 8191, 2, 256, EXPLODE_OK},
};

TEST_P(StreamLimits, AMatchReachesBackToTheFirstByteButNotBeforeIt)
{
    for (const distance_case &c : DISTANCE_CASES) {
        SCOPED_TRACE(::testing::Message()
                     << "dictionary " << c.dictionary_bits << ", " << c.produced
                     << " produced, length " << c.length << " at distance " << c.distance);
        std::vector<uint8_t> plain = random_bytes(c.produced, c.produced);
        implode_writer writer;
        implode_begin(&writer, 0, c.dictionary_bits);
        for (uint8_t byte : plain)
            implode_put_literal(&writer, byte);
        implode_put_match(&writer, c.length, c.distance);
        implode_put_end_marker(&writer);
        const decode_outcome outcome = decode(implode_finish(&writer));

        EXPECT_EQ(outcome.result, c.expected);
        if (c.expected == EXPLODE_OK) {
            for (uint32_t i = 0; i < c.length; ++i)
                plain.push_back(plain[plain.size() - c.distance]);
            EXPECT_TRUE(outcome.sink.bytes == plain);
        } else {
            /* Only the windows filled before the bad match have left. */
            EXPECT_EQ(outcome.sink.call_sizes, std::vector<uint32_t>(c.produced / 4096, 4096));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EachDecoder, StreamLimits, ::testing::ValuesIn(EXPLODE_DECODERS),
                         decoder_test_name);

} // namespace
