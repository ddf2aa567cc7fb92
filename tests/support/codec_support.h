/*
 * codec_support.h - encoding and decoding in tests: decoding into a sink that
 * records every call, the decoders as test parameters, and inputs shaped like
 * what installers compress.
 */
#ifndef VARLIX_TESTS_SUPPORT_CODEC_SUPPORT_H
#define VARLIX_TESTS_SUPPORT_CODEC_SUPPORT_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "explode/explode_reference.h"
#include "tools/recording_sink.h"

/* For INSTANTIATE_TEST_SUITE_P over EXPLODE_DECODERS. */
std::string decoder_test_name(const ::testing::TestParamInfo<explode_decoder> &info);
void PrintTo(const explode_decoder &decoder, std::ostream *out);

struct decode_outcome {
    explode_result result;
    recording_sink sink;
};

decode_outcome decode_stream(explode_function decode, const std::vector<uint8_t> &stream,
                             size_t fail_on_call = 0);

/* Index of the first byte where @a and @b differ, or the shorter length if one is a prefix. */
size_t first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

/* Whether @prefix is the start of @whole. */
bool starts_with(const std::vector<uint8_t> &whole, const std::vector<uint8_t> &prefix);

/* Runs of one byte value each, 1 to 2000 bytes long. */
std::vector<uint8_t> byte_runs(size_t size, uint64_t seed);

/* A random block of @period bytes, repeated: every position past the first
 * block has a match exactly @period back. */
std::vector<uint8_t> repeated_block(size_t size, size_t period, uint64_t seed);

/* Little-endian records of small counters, flags and addresses, like the
 * tables of an executable. */
std::vector<uint8_t> binary_records(size_t size, uint64_t seed);

/* Random bytes drawn from the first @symbols byte values. */
std::vector<uint8_t> small_alphabet(size_t size, unsigned symbols, uint64_t seed);

/* Chunks of text, records, runs, repeated blocks and random bytes in turn. */
std::vector<uint8_t> mixed_data(size_t size, uint64_t seed);

#endif
