/*
 * Round trips through the test encoder and the decoders: every literal mode
 * and dictionary size, every kind of data, sizes around the window's edges,
 * megabytes, and thousands of random inputs with and without odd choices.
 * Also checks that the encoder really compresses, so that the round trips
 * exercise matches and not only literals.
 */
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "explode/explode_reference.h"
#include "tests/support/codec_support.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"
#include "tools/implode_encoder.h"

namespace {

struct stream_format {
    int literal_mode;
    int dictionary_bits;
};

const stream_format FORMATS[] = {{0, 4}, {0, 5}, {0, 6}, {1, 4}, {1, 5}, {1, 6}};

std::string format_label(const stream_format &format)
{
    return std::string(format.literal_mode == 0 ? "Plain" : "Coded") +
           std::to_string(format.dictionary_bits);
}

std::string format_name(const ::testing::TestParamInfo<stream_format> &info)
{
    return format_label(info.param);
}

void PrintTo(const stream_format &format, std::ostream *out)
{
    *out << format_label(format);
}

implode_options options_for(stream_format format, uint64_t odd_choices_seed = 0)
{
    implode_options options;
    options.literal_mode = format.literal_mode;
    options.dictionary_bits = format.dictionary_bits;
    options.odd_choices_seed = odd_choices_seed;
    return options;
}

/* Decodes @stream with explode() and expects @plain, in whole windows then the rest. */
void expect_decodes_to(const std::vector<uint8_t> &stream, const std::vector<uint8_t> &plain)
{
    const decode_outcome outcome = decode_stream(explode, stream);
    ASSERT_EQ(outcome.result, EXPLODE_OK);
    ASSERT_EQ(outcome.sink.bytes.size(), plain.size());
    EXPECT_EQ(first_difference(outcome.sink.bytes, plain), plain.size())
        << "the output differs from the input there";
    EXPECT_EQ(outcome.sink.call_sizes, window_call_sizes(plain.size()));
}

void expect_round_trip(const std::vector<uint8_t> &plain, const implode_options &options)
{
    expect_decodes_to(implode(plain, options), plain);
}

/* As expect_decodes_to(), and the reference decoder must do exactly what explode() does. */
void expect_both_decode_to(const std::vector<uint8_t> &stream, const std::vector<uint8_t> &plain)
{
    expect_decodes_to(stream, plain);
    const decode_outcome reference = decode_stream(explode_reference, stream);
    EXPECT_EQ(reference.result, EXPLODE_OK);
    EXPECT_EQ(reference.sink.call_sizes, window_call_sizes(plain.size()));
    EXPECT_TRUE(reference.sink.bytes == plain);
}

struct data_kind {
    const char *name;
    std::vector<uint8_t> (*make)(size_t size, uint64_t seed);
};

const data_kind DATA_KINDS[] = {
    {"text", [](size_t size, uint64_t seed) { return sample_text(size, seed); }},
    {"records", binary_records},
    {"random", random_bytes},
    {"runs", byte_runs},
    {"four symbols", [](size_t size, uint64_t seed) { return small_alphabet(size, 4, seed); }},
    {"block of 256", [](size_t size, uint64_t seed) { return repeated_block(size, 256, seed); }},
    {"block of 4096", [](size_t size, uint64_t seed) { return repeated_block(size, 4096, seed); }},
    {"mixed", mixed_data},
};

class RoundTrip : public ::testing::TestWithParam<stream_format> {};

TEST_P(RoundTrip, RoundTripsEveryKindOfData)
{
    for (const data_kind &kind : DATA_KINDS) {
        for (size_t size : {size_t{100}, size_t{5000}, size_t{30000}}) {
            SCOPED_TRACE(std::string(kind.name) + ", " + std::to_string(size) + " bytes");
            expect_round_trip(kind.make(size, size), options_for(GetParam()));
        }
    }
}

TEST_P(RoundTrip, RoundTripsSizesFromZeroToTwentyThousand)
{
    const std::vector<uint8_t> source = mixed_data(20000, 7);
    std::vector<size_t> sizes;
    for (size_t size = 0; size <= 300; ++size)
        sizes.push_back(size);
    for (size_t size = 301; size <= 20000; size += 997)
        sizes.push_back(size);
    const size_t near_powers_of_two[] = {511, 512, 513, 1023, 1024, 1025, 2047, 2048, 2049, 20000};
    sizes.insert(sizes.end(), std::begin(near_powers_of_two), std::end(near_powers_of_two));
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> plain(source.begin(), source.begin() + static_cast<long>(size));
        expect_round_trip(plain, options_for(GetParam()));
        if (HasFailure())
            return;
    }
}

TEST_P(RoundTrip, RoundTripsLengthsNearMultiplesOfTheWindow)
{
    for (size_t windows = 1; windows <= 4; ++windows) {
        for (size_t size : {windows * EXPLODE_WINDOW_SIZE - 1, windows * EXPLODE_WINDOW_SIZE,
                            windows * EXPLODE_WINDOW_SIZE + 1}) {
            for (const data_kind &kind : {DATA_KINDS[0], DATA_KINDS[2], DATA_KINDS[3]}) {
                SCOPED_TRACE(std::string(kind.name) + ", " + std::to_string(size) + " bytes");
                expect_round_trip(kind.make(size, windows), options_for(GetParam()));
            }
        }
    }
}

TEST_P(RoundTrip, RoundTripsAMegabyteOfMixedData)
{
    const std::vector<uint8_t> plain = mixed_data(1 << 20, 11);
    const std::vector<uint8_t> stream = implode(plain, options_for(GetParam()));
    expect_decodes_to(stream, plain);
}

TEST_P(RoundTrip, RoundTripsOddChoicesOverManySeeds)
{
    const std::vector<uint8_t> plain = mixed_data(12000, 3);
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        expect_both_decode_to(implode(plain, options_for(GetParam(), seed)), plain);
        if (HasFailure())
            return;
    }
}

/* Small inputs of every kind and size, half of them with odd choices. */
TEST_P(RoundTrip, RoundTripsThousandsOfRandomInputs)
{
    const int input_count = 1700;
    uint64_t state =
        1000 + static_cast<uint64_t>(GetParam().literal_mode * 10 + GetParam().dictionary_bits);
    for (int i = 0; i < input_count; ++i) {
        const uint64_t r = next_random(&state);
        const size_t size = r % 32 == 0 ? r % 5000 : r % 500;
        const data_kind &kind =
            DATA_KINDS[(r >> 16) % (sizeof(DATA_KINDS) / sizeof(DATA_KINDS[0]))];
        const uint64_t odd_seed = (r >> 32) % 2 == 0 ? 0 : r >> 33;
        const std::vector<uint8_t> plain = kind.make(size, r);
        const std::vector<uint8_t> stream = implode(plain, options_for(GetParam(), odd_seed));
        SCOPED_TRACE(std::string(kind.name) + ", " + std::to_string(size) + " bytes, odd seed " +
                     std::to_string(odd_seed));
        expect_both_decode_to(stream, plain);
        if (HasFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, RoundTrip, ::testing::ValuesIn(FORMATS), format_name);

/* The same bytes as literal tokens only. */
std::vector<uint8_t> literals_only(const std::vector<uint8_t> &plain, stream_format format)
{
    implode_writer writer;
    implode_begin(&writer, format.literal_mode, format.dictionary_bits);
    for (uint8_t byte : plain)
        implode_put_literal(&writer, byte);
    implode_put_end_marker(&writer);
    return implode_finish(&writer);
}

uint64_t bytes_in_matches(const implode_stats &stats)
{
    uint64_t bytes = 0;
    for (uint32_t length = IMPLODE_MIN_MATCH; length <= IMPLODE_MAX_MATCH; ++length)
        bytes += length * stats.length_counts[length];
    return bytes;
}

TEST(Implode, CompressesTextToUnderAThirdWithMatches)
{
    const std::vector<uint8_t> text = sample_text(65536, 5);
    for (const stream_format &format : FORMATS) {
        SCOPED_TRACE(format_label(format));
        implode_stats stats;
        const std::vector<uint8_t> stream = implode(text, options_for(format), &stats);
        EXPECT_LT(stream.size(), text.size() / 3);
        EXPECT_GT(stats.matches, text.size() / 20);
        EXPECT_EQ(stats.literals + bytes_in_matches(stats), text.size());
    }
}

TEST(Implode, EncodesALongRunAsMatchesOfTheLongestLength)
{
    const std::vector<uint8_t> zeros(100000, 0);
    implode_stats stats;
    const std::vector<uint8_t> stream = implode(zeros, implode_options(), &stats);
    EXPECT_LT(stream.size(), zeros.size() / 100);
    EXPECT_EQ(stats.literals, 1u);
    EXPECT_EQ(stats.length_counts[IMPLODE_MAX_MATCH], (zeros.size() - 1) / IMPLODE_MAX_MATCH);
    expect_decodes_to(stream, zeros);
}

/* Each match is taken only when it is shorter than the literals it replaces. */
TEST(Implode, IsNeverLongerThanLiteralsOnly)
{
    for (const stream_format &format : FORMATS) {
        for (const data_kind &kind : DATA_KINDS) {
            SCOPED_TRACE(std::string(kind.name) + ", " + format_label(format));
            const std::vector<uint8_t> plain = kind.make(20000, 9);
            EXPECT_LE(implode(plain, options_for(format)).size(),
                      literals_only(plain, format).size());
        }
    }
}

TEST(Implode, MatchesOnlyWhereTheyPayInCodedLiteralMode)
{
    /*
     * "ee" costs 12 bits as coded literals and 18 as plain ones; a match of 2
     * 200 bytes back costs 14. The bytes between repeat nothing.
     */
    std::vector<uint8_t> plain = bytes_of("ee");
    for (int byte = 0; plain.size() < 200; ++byte) {
        if (byte != 'e')
            plain.push_back(static_cast<uint8_t>(byte));
    }
    plain.push_back('e');
    plain.push_back('e');
    implode_stats stats;
    implode(plain, options_for({1, 6}), &stats);
    EXPECT_EQ(stats.matches, 0u);
    implode(plain, options_for({0, 6}), &stats);
    EXPECT_EQ(stats.matches, 1u);
    EXPECT_EQ(stats.length_counts[2], 1u);
}

/* Token counts summed over @seeds odd-choice streams, each of which must round-trip. */
implode_stats odd_choice_stats(const std::vector<uint8_t> &plain, int dictionary_bits,
                               uint64_t seeds)
{
    implode_stats total;
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
        implode_stats stats;
        expect_decodes_to(implode(plain, options_for({0, dictionary_bits}, seed), &stats), plain);
        total.literals += stats.literals;
        total.matches += stats.matches;
        total.farthest_matches += stats.farthest_matches;
        total.farthest_short_matches += stats.farthest_short_matches;
        for (uint32_t length = 0; length <= IMPLODE_MAX_MATCH; ++length)
            total.length_counts[length] += stats.length_counts[length];
    }
    return total;
}

TEST(ImplodeOddChoices, ReachTheLimitsOfLengthAndDistance)
{
    /* A block of 256 repeated matches itself at 256 and at every dictionary's size. */
    const std::vector<uint8_t> plain = repeated_block(30000, 256, 8);
    for (int dictionary_bits = 4; dictionary_bits <= 6; ++dictionary_bits) {
        SCOPED_TRACE(dictionary_bits);
        implode_stats normal;
        implode(plain, options_for({0, dictionary_bits}), &normal);
        const implode_stats odd = odd_choice_stats(plain, dictionary_bits, 5);
        EXPECT_EQ(normal.farthest_matches, 0u);
        EXPECT_EQ(normal.length_counts[2], 0u);
        EXPECT_GT(odd.farthest_matches, 0u);
        EXPECT_GT(odd.farthest_short_matches, 0u);
        EXPECT_GT(odd.length_counts[2], 0u);
        EXPECT_GT(odd.length_counts[IMPLODE_MAX_MATCH], 0u);
        /* Past the first block every byte has a match: a further literal is an odd choice. */
        EXPECT_GT(odd.literals, 5 * normal.literals);
    }
}

TEST(ImplodeOddChoices, UseEveryMatchLength)
{
    /* Every token of a run could be a match of 518, so cuts can take any length. */
    const implode_stats stats = odd_choice_stats(std::vector<uint8_t>(2000000, 'x'), 6, 1);
    for (uint32_t length = IMPLODE_MIN_MATCH; length <= IMPLODE_MAX_MATCH; ++length)
        EXPECT_GT(stats.length_counts[length], 0u) << "no match of length " << length;
}

TEST(ImplodeOddChoices, DependOnTheSeed)
{
    const std::vector<uint8_t> plain = mixed_data(20000, 2);
    const std::vector<uint8_t> first = implode(plain, options_for({0, 6}, 1));
    EXPECT_EQ(implode(plain, options_for({0, 6}, 1)), first);
    EXPECT_NE(implode(plain, options_for({0, 6}, 2)), first);
}

} // namespace
