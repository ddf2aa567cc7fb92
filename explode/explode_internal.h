/*
 * explode_internal.h - the bit-level pieces of the decoder, for tests and for
 * the decoder's own files. Not part of the public interface.
 */
#ifndef VARLIX_EXPLODE_EXPLODE_INTERNAL_H
#define VARLIX_EXPLODE_EXPLODE_INTERNAL_H

#include <cstdint>

#include "explode/explode.h"

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
 * huffman_build() - fill @table from a compact description: each byte gives a
 * code length (low four bits) for (high four bits + 1) consecutive symbols.
 * The description must expand to at most 256 symbols.
 */
void huffman_build(huffman_table *table, const uint8_t *description, int description_length);

/*
 * huffman_decode() - read one code, bit by bit. Stored bits are the
 * complements of the code bits, the code's most significant bit first.
 * Returns the symbol, or -1 when no code matched within 15 bits (exhausted
 * clear) or the input ran out (exhausted set).
 */
int huffman_decode(bit_input *input, const huffman_table *table);

/* The format's three fixed codes, in compact form. */
extern const uint8_t LITERAL_CODE_LENGTHS[98];
extern const uint8_t LENGTH_CODE_LENGTHS[6];
extern const uint8_t DISTANCE_CODE_LENGTHS[7];

/* Match length = LENGTH_BASE[symbol] + LENGTH_EXTRA_BITS[symbol] further bits. */
extern const uint16_t LENGTH_BASE[16];
extern const uint8_t LENGTH_EXTRA_BITS[16];

enum {
    EXPLODE_WINDOW_SIZE = 4096,
    EXPLODE_END_OF_STREAM = 519, /* the match length that marks the end */
    EXPLODE_MAX_MATCH = 518,
};

/* The working state of one decode, cleared at its start. */
struct explode_state {
    bit_input input;
    uint8_t window[EXPLODE_WINDOW_SIZE]; /* the last 4096 bytes produced, as a ring */
    uint32_t window_position;            /* next write index in window */
    explode_sink sink;
    void *sink_context;
    bool write_failed; /* the sink returned false */
};

/*
 * put_byte() - store @byte in the window; when the window is full, hand all
 * of it to the sink (a false return sets write_failed) and start over.
 */
void put_byte(explode_state *state, uint8_t byte);

/*
 * explode_reference() - the bit-serial decoder: one bit per step and one byte
 * per copy, exactly as the format is defined. explode() must behave exactly
 * as it does, for every input and every sink; tests compare the two.
 */
explode_result explode_reference(const uint8_t *data, uint32_t length, explode_sink sink,
                                 void *sink_context);

#endif
