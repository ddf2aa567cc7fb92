/*
 * huffman.cc - bit input and the format's fixed prefix codes.
 */
#include "explode/explode_internal.h"

const uint8_t LITERAL_CODE_LENGTHS[98] = {
    11, 124, 8,   7,   28,  7,   188, 13, 76, 4,  10, 8,  12, 10, 12, 10, 8,  23,  8,  9,
    7,  6,   7,   8,   7,   6,   55,  8,  23, 24, 12, 11, 7,  9,  11, 12, 6,  7,   22, 5,
    7,  24,  6,   11,  9,   6,   7,   22, 7,  11, 38, 7,  9,  8,  25, 11, 8,  11,  9,  12,
    8,  12,  5,   38,  5,   38,  5,   11, 7,  5,  6,  21, 6,  10, 53, 8,  7,  24,  10, 27,
    44, 253, 253, 253, 252, 252, 252, 13, 12, 45, 12, 45, 12, 61, 12, 45, 44, 173,
};

const uint8_t LENGTH_CODE_LENGTHS[6] = {2, 35, 36, 53, 38, 23};

const uint8_t DISTANCE_CODE_LENGTHS[7] = {2, 20, 53, 230, 247, 151, 248};

const uint16_t LENGTH_BASE[16] = {3, 2, 4, 5, 6, 7, 8, 9, 10, 12, 16, 24, 40, 72, 136, 264};

const uint8_t LENGTH_EXTRA_BITS[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};

enum { MAX_CODE_BITS = 15 };

uint32_t get_bits(bit_input *input, int n)
{
    while (input->bit_count < n) {
        if (input->position >= input->length) {
            input->exhausted = true;
            return 0;
        }
        input->bit_buffer |= static_cast<uint32_t>(input->data[input->position++])
                             << input->bit_count;
        input->bit_count += 8;
    }
    const uint32_t value = input->bit_buffer & ((1u << n) - 1);
    input->bit_buffer >>= n;
    input->bit_count -= n;
    return value;
}

void huffman_build(huffman_table *table, const uint8_t *description, int description_length)
{
    uint8_t code_lengths[256];
    int symbol_count = 0;
    for (int i = 0; i < description_length; ++i) {
        const int run = (description[i] >> 4) + 1;
        for (int r = 0; r < run && symbol_count < 256; ++r)
            code_lengths[symbol_count++] = description[i] & 15;
    }

    for (int len = 0; len < 16; ++len)
        table->counts[len] = 0;
    for (int symbol = 0; symbol < symbol_count; ++symbol)
        ++table->counts[code_lengths[symbol]];

    int start[16];
    start[1] = 0;
    for (int len = 1; len < MAX_CODE_BITS; ++len)
        start[len + 1] = start[len] + table->counts[len];

    for (int symbol = 0; symbol < symbol_count; ++symbol) {
        const int len = code_lengths[symbol];
        if (len != 0)
            table->symbols[start[len]++] = static_cast<int16_t>(symbol);
    }
}

int huffman_decode(bit_input *input, const huffman_table *table)
{
    int code = 0;  /* the code bits taken so far */
    int first = 0; /* the first code of the current length */
    int index = 0; /* where the current length's symbols start */
    int len = 1;
    for (;;) {
        while (input->bit_count > 0) {
            code |= static_cast<int>(~input->bit_buffer & 1);
            input->bit_buffer >>= 1;
            --input->bit_count;
            const int count = table->counts[len];
            if (code < first + count)
                return table->symbols[index + code - first];
            index += count;
            first = (first + count) * 2;
            code *= 2;
            if (++len > MAX_CODE_BITS)
                return -1;
        }
        if (input->position >= input->length) {
            input->exhausted = true;
            return -1;
        }
        input->bit_buffer = input->data[input->position++];
        input->bit_count = 8;
    }
}
