/*
 * huffman.cc - the reference decoder's bit input and its bit-by-bit reading
 * of the canonical prefix codes.
 */
#include "explode/explode_reference.h"

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
    uint8_t code_lengths[EXPLODE_MAX_SYMBOLS];
    const int symbol_count =
        explode_expand_code_lengths(description, description_length, code_lengths);

    for (int len = 0; len < 16; ++len)
        table->counts[len] = 0;
    for (int symbol = 0; symbol < symbol_count; ++symbol)
        ++table->counts[code_lengths[symbol]];

    int start[16];
    start[1] = 0;
    for (int len = 1; len < EXPLODE_MAX_CODE_BITS; ++len)
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
            if (++len > EXPLODE_MAX_CODE_BITS)
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
