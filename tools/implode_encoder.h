/*
 * implode_encoder.h - an encoder for the implode format, for tests, fuzz
 * seeds, benchmarks and the example archive. Not part of the tool.
 *
 * Two levels: a token writer that lays down exactly the literals and matches
 * it is given (for hand-made and deliberately bad streams), and implode(),
 * which compresses any bytes into a valid stream using real matches.
 */
#ifndef VARLIX_TOOLS_IMPLODE_ENCODER_H
#define VARLIX_TOOLS_IMPLODE_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

/* The format's limits on what a stream may hold. */
enum {
    IMPLODE_MIN_MATCH = 2,
    IMPLODE_MAX_MATCH = 518,
    IMPLODE_MAX_SHORT_DISTANCE = 256, /* for a match of length 2 */
};

/* Largest distance of a match of length 3 or more: 1024, 2048 or 4096. */
inline uint32_t implode_max_distance(int dictionary_bits)
{
    return 1u << (6 + dictionary_bits);
}

/* Token writer. Writes no checks: it will encode out-of-range distances if told to. */
struct implode_writer {
    std::vector<uint8_t> bytes;
    uint32_t bit_buffer;
    int bit_count;
    int literal_mode;    /* 0: plain 8-bit literals, 1: literal code */
    int dictionary_bits; /* 4, 5 or 6 */
};

/* Starts a stream: writes the two header bytes as given (any values). */
void implode_begin(implode_writer *writer, int literal_mode, int dictionary_bits);
/* Puts the low @count bits (0 to 32) of @value, the lowest first. */
void implode_put_bits(implode_writer *writer, uint32_t value, int count);
void implode_put_literal(implode_writer *writer, uint8_t byte);
/* @length 2 to 518; @distance from 1 to what the length's distance bits can express. */
void implode_put_match(implode_writer *writer, uint32_t length, uint32_t distance);
void implode_put_end_marker(implode_writer *writer);
/* Pads the last byte with zero bits and returns the stream. */
std::vector<uint8_t> implode_finish(implode_writer *writer);

/* How implode() chooses its tokens. */
struct implode_options {
    int literal_mode = 0;    /* 0 or 1 */
    int dictionary_bits = 6; /* 4, 5 or 6 */
    /*
     * Nonzero: a seed for "odd choices", which sometimes prefers a length-2
     * match, the farthest or the longest match, or a literal where a match
     * exists, so that streams reach every path of a decoder.
     */
    uint64_t odd_choices_seed = 0;
};

/* What implode() chose, so that tests can see which paths its streams reach. */
struct implode_stats {
    uint64_t literals = 0;
    uint64_t matches = 0;
    uint64_t farthest_matches = 0;       /* of 3 or more, at implode_max_distance() */
    uint64_t farthest_short_matches = 0; /* of length 2, at distance 256 */
    uint64_t length_counts[IMPLODE_MAX_MATCH + 1] = {}; /* matches by length */
};

/*
 * implode() - compresses @size bytes at @data into a complete stream ending
 * with the end marker, in the literal mode and dictionary size of @options.
 * If @stats is given, it is overwritten with counts of the tokens written.
 */
std::vector<uint8_t> implode(const uint8_t *data, size_t size, const implode_options &options,
                             implode_stats *stats = nullptr);

inline std::vector<uint8_t> implode(const std::vector<uint8_t> &data,
                                    const implode_options &options = implode_options(),
                                    implode_stats *stats = nullptr)
{
    return implode(data.data(), data.size(), options, stats);
}

#endif
