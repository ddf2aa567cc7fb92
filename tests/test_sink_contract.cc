/*
 * How the decoders call the sink: a whole window each time the window fills,
 * the rest once at the end marker, never an empty call, and after a refusal
 * no further call and EXPLODE_WRITE_FAILED once the current token is done.
 */
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "explode/explode_internal.h"
#include "tests/support/codec_support.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"
#include "tools/implode_encoder.h"

namespace {

class SinkContract : public ::testing::TestWithParam<explode_decoder> {
  protected:
    decode_outcome decode(const std::vector<uint8_t> &stream, size_t fail_on_call = 0)
    {
        return decode_stream(GetParam().decode, stream, fail_on_call);
    }
};

/* A plain-literal stream with dictionary size 6, left open for more tokens. */
implode_writer literal_stream(const std::vector<uint8_t> &literals)
{
    implode_writer writer;
    implode_begin(&writer, 0, 6);
    for (uint8_t byte : literals)
        implode_put_literal(&writer, byte);
    return writer;
}

std::vector<uint8_t> with_end_marker(implode_writer writer)
{
    implode_put_end_marker(&writer);
    return implode_finish(&writer);
}

TEST_P(SinkContract, HandsOverWholeWindowsThenTheRest)
{
    const size_t sizes[] = {1, 100, 4095, 8191, 8192, 8193, 12288, 12289, 20000};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> plain = mixed_data(size, size);
        const decode_outcome outcome = decode(implode(plain));
        EXPECT_EQ(outcome.result, EXPLODE_OK);
        EXPECT_EQ(outcome.sink.call_sizes, window_call_sizes(size));
        EXPECT_TRUE(outcome.sink.bytes == plain);
    }
}

TEST_P(SinkContract, NothingDecodedMeansNoCall)
{
    const decode_outcome outcome = decode(with_end_marker(literal_stream({})));
    EXPECT_EQ(outcome.result, EXPLODE_OK);
    EXPECT_TRUE(outcome.sink.call_sizes.empty());
}

TEST_P(SinkContract, ExactlyOneWindowGivesOneCallAndNoneAtTheEnd)
{
    const std::vector<uint8_t> plain = random_bytes(4096, 1);
    const decode_outcome outcome = decode(with_end_marker(literal_stream(plain)));
    EXPECT_EQ(outcome.result, EXPLODE_OK);
    EXPECT_EQ(outcome.sink.call_sizes, std::vector<uint32_t>({4096}));
    EXPECT_TRUE(outcome.sink.bytes == plain);
}

TEST_P(SinkContract, OneByteMoreGivesAWindowThenOneByte)
{
    const std::vector<uint8_t> plain = random_bytes(4097, 2);
    const decode_outcome outcome = decode(with_end_marker(literal_stream(plain)));
    EXPECT_EQ(outcome.result, EXPLODE_OK);
    EXPECT_EQ(outcome.sink.call_sizes, std::vector<uint32_t>({4096, 1}));
    EXPECT_TRUE(outcome.sink.bytes == plain);
}

/* 4000 random literals, then a match of 518 taking the first 64 of them again. */
struct window_filling_match {
    std::vector<uint8_t> plain;
    implode_writer writer; /* open after the match */
};

window_filling_match literals_then_longest_match()
{
    window_filling_match stream;
    stream.plain = random_bytes(4000, 3);
    stream.writer = literal_stream(stream.plain);
    implode_put_match(&stream.writer, IMPLODE_MAX_MATCH, 64);
    for (uint32_t i = 0; i < IMPLODE_MAX_MATCH; ++i)
        stream.plain.push_back(stream.plain[stream.plain.size() - 64]);
    return stream;
}

TEST_P(SinkContract, TheWindowFillsInTheMiddleOfAMatch)
{
    window_filling_match stream = literals_then_longest_match();
    const decode_outcome outcome = decode(with_end_marker(stream.writer));
    EXPECT_EQ(outcome.result, EXPLODE_OK);
    EXPECT_EQ(outcome.sink.call_sizes, std::vector<uint32_t>({4096, 422}));
    EXPECT_TRUE(outcome.sink.bytes == stream.plain);
}

TEST_P(SinkContract, ARefusalInsideAMatchIsReportedOnceTheMatchIsDone)
{
    window_filling_match stream = literals_then_longest_match();
    for (int i = 0; i < 100; ++i)
        implode_put_literal(&stream.writer, 'z');
    const decode_outcome outcome = decode(with_end_marker(stream.writer), 1);
    EXPECT_EQ(outcome.result, EXPLODE_WRITE_FAILED);
    EXPECT_EQ(outcome.sink.call_sizes, std::vector<uint32_t>({4096}));
    EXPECT_TRUE(starts_with(stream.plain, outcome.sink.bytes));
}

/* Were the refusal not reported before the next flag bit, the missing input would be. */
TEST_P(SinkContract, ARefusalIsReportedWhenTheInputEndsRightAfterTheMatch)
{
    window_filling_match stream = literals_then_longest_match();
    ASSERT_EQ(stream.writer.bit_count, 0) << "the match must end on a byte boundary";
    const decode_outcome outcome = decode(implode_finish(&stream.writer), 1);
    EXPECT_EQ(outcome.result, EXPLODE_WRITE_FAILED);
    EXPECT_EQ(outcome.sink.call_sizes, std::vector<uint32_t>({4096}));
}

TEST_P(SinkContract, ARefusalIsReportedWhenTheInputEndsRightAfterTheLiteral)
{
    implode_writer writer = literal_stream(random_bytes(4096, 4));
    ASSERT_EQ(writer.bit_count, 0) << "the literal must end on a byte boundary";
    const decode_outcome outcome = decode(implode_finish(&writer), 1);
    EXPECT_EQ(outcome.result, EXPLODE_WRITE_FAILED);
    EXPECT_EQ(outcome.sink.call_sizes, std::vector<uint32_t>({4096}));
}

TEST_P(SinkContract, ARefusedFinalCallIsReported)
{
    const decode_outcome short_stream =
        decode(with_end_marker(literal_stream(bytes_of("short"))), 1);
    EXPECT_EQ(short_stream.result, EXPLODE_WRITE_FAILED);
    EXPECT_EQ(short_stream.sink.call_sizes, std::vector<uint32_t>({5}));

    const decode_outcome longer = decode(with_end_marker(literal_stream(random_bytes(4097, 5))), 2);
    EXPECT_EQ(longer.result, EXPLODE_WRITE_FAILED);
    EXPECT_EQ(longer.sink.call_sizes, std::vector<uint32_t>({4096, 1}));
}

TEST_P(SinkContract, NoCallFollowsARefusal)
{
    const std::vector<uint8_t> plain = mixed_data(5 * 4096 + 100, 6);
    const std::vector<uint8_t> stream = implode(plain);
    for (size_t refused = 1; refused <= 6; ++refused) {
        SCOPED_TRACE(refused);
        const decode_outcome outcome = decode(stream, refused);
        EXPECT_EQ(outcome.result, EXPLODE_WRITE_FAILED);
        EXPECT_EQ(outcome.sink.calls_after_failure, 0u);
        EXPECT_EQ(outcome.sink.call_sizes.size(), refused);
        EXPECT_TRUE(starts_with(plain, outcome.sink.bytes));
    }
}

INSTANTIATE_TEST_SUITE_P(EachDecoder, SinkContract, ::testing::ValuesIn(EXPLODE_DECODERS),
                         decoder_test_name);

} // namespace
