/*
 * explode_reference.h - the bit-serial decoder and its pieces: the measure
 * the fast decoder is tested against. Built for the tests, fuzz targets and
 * benchmarks (varlix_explode_reference); never installed.
 */
#ifndef VARLIX_EXPLODE_EXPLODE_REFERENCE_H
#define VARLIX_EXPLODE_EXPLODE_REFERENCE_H

#include <cstdint>

#include "explode/explode.h"
#include "explode/explode_internal.h"

/*
 * Bit input over an in-memory buffer. Bytes are taken in order and each byte
 * from its least significant bit up. Clear it to zero, then set data and length.
 */
struct bit_input {
    const uint8_t *data;
    uint32_t length;
    uint32_t position;   /* next byte to load */
    uint32_t bit_buffer; /* loaded bits not yet used; the next bit is bit 0 */
    int32_t bit_count;   /* valid bits in bit_buffer, 0 to 15 */
    bool exhausted;      /* a read needed a byte at or beyond length; never cleared */
};

/*
 * get_bits() - the next @n bits (0 to 8), the first one least significant.
 * On running out of input sets exhausted and returns 0. @n = 0 reads nothing.
 */
uint32_t get_bits(bit_input *input, int n);

/* A canonical prefix code: counts per code length and the symbols in code order. */
struct huffman_table {
    int16_t counts[16];   /* counts[len]: symbols with a len-bit code; counts[0]: without */
    int16_t symbols[256]; /* by code length, then by increasing symbol value */
};

/*
 * huffman_build() - fill @table from a compact description (see
 * explode_expand_code_lengths()). Symbols past the 256th are left out.
 */
void huffman_build(huffman_table *table, const uint8_t *description, int description_length);

/*
 * huffman_decode() - read one code, bit by bit. Stored bits are the
 * complements of the code bits, the code's most significant bit first.
 * Returns the symbol, or -1 when no code matched within 15 bits (exhausted
 * clear) or the input ran out (exhausted set).
 */
int huffman_decode(bit_input *input, const huffman_table *table);

/*
 * explode_reference() - the bit-serial decoder: one bit per step and one byte
 * per copy, exactly as the format is defined. explode() must behave exactly
 * as it does, for every input and every sink; tests compare the two.
 */
explode_result explode_reference(const uint8_t *data, uint32_t length, explode_sink sink,
                                 void *sink_context);

/* A decoder: explode() or explode_reference(). */
typedef explode_result (*explode_function)(const uint8_t *data, uint32_t length, explode_sink sink,
                                           void *sink_context);

struct explode_decoder {
    const char *name;
    explode_function decode;
};

/* Both decoders, which every decoder test and fuzz target runs alike. */
extern const explode_decoder EXPLODE_DECODERS[2];

#endif
