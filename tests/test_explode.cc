/*
 * The decoder's lowest layers and short hand-made streams, checked against
 * byte sequences worked out bit by bit.
 */
#include <vector>

#include <gtest/gtest.h>

#include "explode/explode_reference.h"
#include "tests/support/codec_support.h"

namespace {

bit_input input_over(const std::vector<uint8_t> &bytes)
{
    bit_input input = {};
    input.data = bytes.data();
    input.length = static_cast<uint32_t>(bytes.size());
    return input;
}

TEST(GetBits, TakesBitsLeastSignificantFirst)
{
    const std::vector<uint8_t> a5 = {0xA5};
    bit_input input = input_over(a5);
    EXPECT_EQ(get_bits(&input, 8), 0xA5u);

    input = input_over(a5);
    EXPECT_EQ(get_bits(&input, 4), 0x5u);
    EXPECT_EQ(get_bits(&input, 4), 0xAu);

    const std::vector<uint8_t> a5_3c = {0xA5, 0x3C};
    input = input_over(a5_3c);
    EXPECT_EQ(get_bits(&input, 8), 0xA5u);
    EXPECT_EQ(get_bits(&input, 4), 0x0Cu);
    EXPECT_EQ(input.bit_count, 4);
    EXPECT_EQ(input.bit_buffer, 0x3u);
    EXPECT_FALSE(input.exhausted);
}

TEST(GetBits, FieldContinuesAcrossAByteBoundary)
{
    const std::vector<uint8_t> bytes = {0x34, 0x12};
    bit_input input = input_over(bytes);
    EXPECT_EQ(get_bits(&input, 4), 0x04u);
    EXPECT_EQ(get_bits(&input, 8), 0x23u);
}

TEST(GetBits, RunningOutSetsExhaustedButZeroBitsNeverDo)
{
    const std::vector<uint8_t> none;
    bit_input input = input_over(none);
    EXPECT_EQ(get_bits(&input, 0), 0u);
    EXPECT_FALSE(input.exhausted);
    EXPECT_EQ(get_bits(&input, 1), 0u);
    EXPECT_TRUE(input.exhausted);

    const std::vector<uint8_t> one = {0xFF};
    input = input_over(one);
    get_bits(&input, 6);
    EXPECT_EQ(get_bits(&input, 3), 0u);
    EXPECT_TRUE(input.exhausted);
}

struct table_case {
    const char *what;
    const uint8_t *description;
    int description_length;
    std::vector<int> counts; /* for lengths 0 to 15 */
};

TEST(HuffmanBuild, FixedCodesHaveTheirCountsPerLength)
{
    const table_case cases[] = {
        {"literal",
         EXPLODE_LITERAL_CODE_LENGTHS,
         sizeof(EXPLODE_LITERAL_CODE_LENGTHS),
         {0, 0, 0, 0, 1, 11, 20, 21, 16, 7, 5, 10, 91, 74, 0, 0}},
        {"length",
         EXPLODE_LENGTH_CODE_LENGTHS,
         sizeof(EXPLODE_LENGTH_CODE_LENGTHS),
         {0, 0, 1, 3, 3, 4, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"distance",
         EXPLODE_DISTANCE_CODE_LENGTHS,
         sizeof(EXPLODE_DISTANCE_CODE_LENGTHS),
         {0, 0, 1, 0, 2, 4, 15, 26, 16, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const table_case &c : cases) {
        SCOPED_TRACE(c.what);
        huffman_table table;
        huffman_build(&table, c.description, c.description_length);
        for (int len = 0; len < 16; ++len)
            EXPECT_EQ(table.counts[len], c.counts[static_cast<size_t>(len)]) << "length " << len;
    }
}

TEST(HuffmanBuild, SymbolsAreOrderedByLengthThenValue)
{
    huffman_table table;
    huffman_build(&table, EXPLODE_LENGTH_CODE_LENGTHS, sizeof(EXPLODE_LENGTH_CODE_LENGTHS));
    /* Lengths 2,3,3,3,4,4,4,5,5,5,5,6,6,6,7,7 for symbols 0 to 15: already in order. */
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(table.symbols[i], i);

    const uint8_t mixed[] = {0x03, 0x01, 0x12}; /* symbol 0: 3 bits, 1: 1 bit, 2 and 3: 2 bits */
    huffman_build(&table, mixed, sizeof(mixed));
    EXPECT_EQ(table.counts[1], 1);
    EXPECT_EQ(table.counts[2], 2);
    EXPECT_EQ(table.counts[3], 1);
    EXPECT_EQ(table.symbols[0], 1);
    EXPECT_EQ(table.symbols[1], 2);
    EXPECT_EQ(table.symbols[2], 3);
    EXPECT_EQ(table.symbols[3], 0);
}

/* Packs bits, given in the order taken, into bytes. */
std::vector<uint8_t> pack_bits(const std::vector<int> &bits)
{
    std::vector<uint8_t> bytes((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] | bits[i] << (i % 8));
    return bytes;
}

struct decode_case {
    const char *what;
    const uint8_t *description;
    int description_length;
    std::vector<int> stored_bits;
    int symbol;
};

TEST(HuffmanDecode, DecodesTheStoredBitsOfExtremeSymbols)
{
    const decode_case cases[] = {
        {"length 0", EXPLODE_LENGTH_CODE_LENGTHS, sizeof(EXPLODE_LENGTH_CODE_LENGTHS), {1, 1}, 0},
        {"length 15",
         EXPLODE_LENGTH_CODE_LENGTHS,
         sizeof(EXPLODE_LENGTH_CODE_LENGTHS),
         {0, 0, 0, 0, 0, 0, 0},
         15},
        {"distance 0",
         EXPLODE_DISTANCE_CODE_LENGTHS,
         sizeof(EXPLODE_DISTANCE_CODE_LENGTHS),
         {1, 1},
         0},
        {"distance 63",
         EXPLODE_DISTANCE_CODE_LENGTHS,
         sizeof(EXPLODE_DISTANCE_CODE_LENGTHS),
         {0, 0, 0, 0, 0, 0, 0, 0},
         63},
        {"literal 32",
         EXPLODE_LITERAL_CODE_LENGTHS,
         sizeof(EXPLODE_LITERAL_CODE_LENGTHS),
         {1, 1, 1, 1},
         32},
        {"literal 255", EXPLODE_LITERAL_CODE_LENGTHS, sizeof(EXPLODE_LITERAL_CODE_LENGTHS),
         std::vector<int>(13, 0), 255},
    };
    for (const decode_case &c : cases) {
        SCOPED_TRACE(c.what);
        huffman_table table;
        huffman_build(&table, c.description, c.description_length);
        const std::vector<uint8_t> bytes = pack_bits(c.stored_bits);
        bit_input input = input_over(bytes);
        EXPECT_EQ(huffman_decode(&input, &table), c.symbol);
        EXPECT_EQ(input.bit_count, static_cast<int>(8 * bytes.size() - c.stored_bits.size()));
        EXPECT_FALSE(input.exhausted);
    }
}

TEST(HuffmanDecode, LeavesTheRestOfTheByteForTheNextRead)
{
    huffman_table table;
    huffman_build(&table, EXPLODE_LENGTH_CODE_LENGTHS, sizeof(EXPLODE_LENGTH_CODE_LENGTHS));
    const std::vector<uint8_t> three = {0x03};
    bit_input input = input_over(three);
    EXPECT_EQ(huffman_decode(&input, &table), 0);
    EXPECT_EQ(input.bit_count, 6);

    const std::vector<uint8_t> zero = {0x00};
    input = input_over(zero);
    EXPECT_EQ(huffman_decode(&input, &table), 15);
    EXPECT_EQ(input.bit_count, 1);
}

TEST(HuffmanDecode, CodeContinuesAcrossAByteBoundary)
{
    huffman_table table;
    huffman_build(&table, EXPLODE_LITERAL_CODE_LENGTHS, sizeof(EXPLODE_LITERAL_CODE_LENGTHS));
    /* Six bits of a field, then literal 255's thirteen 0 bits spanning three bytes. */
    const std::vector<uint8_t> bytes = {0x3F, 0x00, 0xF8};
    bit_input input = input_over(bytes);
    EXPECT_EQ(get_bits(&input, 6), 0x3Fu);
    EXPECT_EQ(huffman_decode(&input, &table), 255);
    EXPECT_EQ(get_bits(&input, 5), 0x1Fu);
}

TEST(HuffmanDecode, RunningOutReturnsMinusOneAndSetsExhausted)
{
    huffman_table table;
    huffman_build(&table, EXPLODE_LITERAL_CODE_LENGTHS, sizeof(EXPLODE_LITERAL_CODE_LENGTHS));
    const std::vector<uint8_t> none;
    bit_input input = input_over(none);
    EXPECT_EQ(huffman_decode(&input, &table), -1);
    EXPECT_TRUE(input.exhausted);

    const std::vector<uint8_t> part_of_255 = {0x00}; /* 8 of its 13 bits */
    input = input_over(part_of_255);
    EXPECT_EQ(huffman_decode(&input, &table), -1);
    EXPECT_TRUE(input.exhausted);
}

TEST(HuffmanDecode, EmptyTableGivesUpAfterFifteenBits)
{
    huffman_table table = {};
    const std::vector<uint8_t> bytes = {0x00, 0x00, 0x00};
    bit_input input = input_over(bytes);
    EXPECT_EQ(huffman_decode(&input, &table), -1);
    EXPECT_FALSE(input.exhausted);
    EXPECT_EQ(input.position, 2u);
    EXPECT_EQ(input.bit_count, 1);
}

struct stream_case {
    const char *what;
    std::vector<uint8_t> stream;
    explode_result result;
    std::vector<uint8_t> output;
};

const std::vector<uint8_t> ABC_STREAM = {0x00, 0x04, 0xC2, 0x88, 0x19, 0x0B, 0xF8, 0x07};

TEST(Explode, HandMadeStreamsDecodeToTheirBytesAndResult)
{
    const stream_case cases[] = {
        {"empty input", {}, EXPLODE_TRUNCATED, {}},
        {"literal mode 2, nothing after", {0x02}, EXPLODE_BAD_LITERAL_MODE, {}},
        {"literal mode 255", {0xFF, 0x04}, EXPLODE_BAD_LITERAL_MODE, {}},
        {"header only", {0x00, 0x04}, EXPLODE_TRUNCATED, {}},
        {"first header byte only", {0x01}, EXPLODE_TRUNCATED, {}},
        {"dictionary 0", {0x00, 0x00, 0x01, 0xFF}, EXPLODE_BAD_DICTIONARY, {}},
        {"dictionary 3", {0x01, 0x03, 0x01, 0xFF}, EXPLODE_BAD_DICTIONARY, {}},
        {"dictionary 7", {0x00, 0x07}, EXPLODE_BAD_DICTIONARY, {}},
        {"dictionary 255", {0x01, 0xFF}, EXPLODE_BAD_DICTIONARY, {}},
        {"shortest complete stream", {0x00, 0x04, 0x01, 0xFF}, EXPLODE_OK, {}},
        {"three plain literals", ABC_STREAM, EXPLODE_OK, {0x61, 0x62, 0x63}},
        {"literal then a run of ten",
         {0x00, 0x04, 0xF0, 0x12, 0x43, 0xC0, 0x3F},
         EXPLODE_OK,
         std::vector<uint8_t>(11, 0x78)},
        {"coded literals and short matches",
         {0x01, 0x06, 0x0E, 0x73, 0xEF, 0x0F, 0x01, 0xFF},
         EXPLODE_OK,
         {0x61, 0x62, 0x61, 0x62, 0x61, 0x62, 0x61}},
        {"match before any output", {0x00, 0x04, 0x1F, 0x02, 0xFE, 0x01}, EXPLODE_BAD_DISTANCE, {}},
    };
    for (const stream_case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const explode_decoder &decoder : EXPLODE_DECODERS) {
            SCOPED_TRACE(decoder.name);
            recording_sink sink;
            EXPECT_EQ(decoder.decode(c.stream.data(), static_cast<uint32_t>(c.stream.size()),
                                     recording_sink_take, &sink),
                      c.result);
            EXPECT_EQ(sink.bytes, c.output);
            EXPECT_EQ(sink.call_sizes.size(), c.output.empty() ? 0u : 1u);
        }
    }
}

TEST(Explode, CutStreamIsTruncatedTrailingBytesIgnoredRefusalReported)
{
    std::vector<uint8_t> cut(ABC_STREAM.begin(), ABC_STREAM.end() - 1);
    recording_sink sink;
    EXPECT_EQ(explode(cut.data(), static_cast<uint32_t>(cut.size()), recording_sink_take, &sink),
              EXPLODE_TRUNCATED);
    EXPECT_TRUE(sink.call_sizes.empty());

    std::vector<uint8_t> extended = ABC_STREAM;
    extended.insert(extended.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    sink = recording_sink();
    EXPECT_EQ(explode(extended.data(), static_cast<uint32_t>(extended.size()), recording_sink_take,
                      &sink),
              EXPLODE_OK);
    EXPECT_EQ(sink.bytes, std::vector<uint8_t>({0x61, 0x62, 0x63}));

    sink = recording_sink();
    sink.fail_on_call = 1;
    EXPECT_EQ(explode(ABC_STREAM.data(), static_cast<uint32_t>(ABC_STREAM.size()),
                      recording_sink_take, &sink),
              EXPLODE_WRITE_FAILED);
    EXPECT_EQ(sink.call_sizes, std::vector<uint32_t>({3}));
}

} // namespace
