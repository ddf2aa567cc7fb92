/*
 * explode_internal.h - what the decoder shares with its tests, the reference
 * decoder and the test encoder: the format's limits and its three fixed
 * prefix codes. Not installed, and not part of the library's interface.
 */
#ifndef VARLIX_EXPLODE_EXPLODE_INTERNAL_H
#define VARLIX_EXPLODE_EXPLODE_INTERNAL_H

#include <cstdint>

#include "explode/explode.h"

enum {
    EXPLODE_WINDOW_SIZE = 4096,
    EXPLODE_END_OF_STREAM = 519, /* the match length that marks the end */
    EXPLODE_MAX_MATCH = 518,
    EXPLODE_MAX_CODE_BITS = 15,
    EXPLODE_MAX_SYMBOLS = 256, /* the literal code's; the others have fewer */
};

/*
 * The three fixed codes in compact form: each byte gives a code length (low
 * four bits) for (high four bits + 1) consecutive symbols, from symbol 0 on.
 * Within a length, codes are assigned in symbol order, shorter codes first.
 */
inline constexpr uint8_t EXPLODE_LITERAL_CODE_LENGTHS[98] = {
    11, 124, 8,   7,   28,  7,   188, 13, 76, 4,  10, 8,  12, 10, 12, 10, 8,  23,  8,  9,
    7,  6,   7,   8,   7,   6,   55,  8,  23, 24, 12, 11, 7,  9,  11, 12, 6,  7,   22, 5,
    7,  24,  6,   11,  9,   6,   7,   22, 7,  11, 38, 7,  9,  8,  25, 11, 8,  11,  9,  12,
    8,  12,  5,   38,  5,   38,  5,   11, 7,  5,  6,  21, 6,  10, 53, 8,  7,  24,  10, 27,
    44, 253, 253, 253, 252, 252, 252, 13, 12, 45, 12, 45, 12, 61, 12, 45, 44, 173,
};
inline constexpr uint8_t EXPLODE_LENGTH_CODE_LENGTHS[6] = {2, 35, 36, 53, 38, 23};
inline constexpr uint8_t EXPLODE_DISTANCE_CODE_LENGTHS[7] = {2, 20, 53, 230, 247, 151, 248};

/* Match length = EXPLODE_LENGTH_BASE[symbol] + EXPLODE_LENGTH_EXTRA_BITS[symbol] further bits. */
inline constexpr uint16_t EXPLODE_LENGTH_BASE[16] = {3,  2,  4,  5,  6,  7,  8,   9,
                                                     10, 12, 16, 24, 40, 72, 136, 264};
inline constexpr uint8_t EXPLODE_LENGTH_EXTRA_BITS[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                          1, 2, 3, 4, 5, 6, 7, 8};

/*
 * explode_expand_code_lengths() - write the code length of each symbol of the
 * compact @description (@description_length bytes) to @lengths, which has
 * room for EXPLODE_MAX_SYMBOLS. Returns the number of symbols written; runs
 * past EXPLODE_MAX_SYMBOLS are cut there.
 */
constexpr int explode_expand_code_lengths(const uint8_t *description, int description_length,
                                          uint8_t *lengths)
{
    int symbols = 0;
    for (int i = 0; i < description_length; ++i) {
        const int run = (description[i] >> 4) + 1;
        for (int r = 0; r < run && symbols < EXPLODE_MAX_SYMBOLS; ++r)
            lengths[symbols++] = static_cast<uint8_t>(description[i] & 15);
    }
    return symbols;
}

#endif
