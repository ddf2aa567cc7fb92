/*
 * implode_writer.cc - lays down implode tokens. Fields go least significant
 * bit first; a code goes most significant bit first, each bit stored
 * complemented. Each code is kept already reversed and complemented, so that
 * a symbol is a field like any other, and a whole token is gathered into one
 * value before it is put: writing is per token, not per field.
 */
#include <cstring>

#include "explode/explode_internal.h"
#include "tools/implode_encoder.h"

namespace {

struct prefix_code {
    uint16_t stored[256]; /* the field that puts the code's bits in stream order */
    uint8_t bits[256];
};

/* The @bits-bit code @value as a field: its first bit lowest, each bit complemented. */
uint16_t stored_form(uint32_t value, int bits)
{
    uint32_t field = 0;
    for (int i = 0; i < bits; ++i)
        field |= (~(value >> (bits - 1 - i)) & 1u) << i;
    return static_cast<uint16_t>(field);
}

/* Canonical codes: shorter codes first, and within one length by symbol. */
prefix_code make_code(const uint8_t *description, int description_length)
{
    uint8_t lengths[EXPLODE_MAX_SYMBOLS];
    const int symbols = explode_expand_code_lengths(description, description_length, lengths);
    prefix_code code;
    std::memset(&code, 0, sizeof(code));
    uint32_t next = 0;
    for (int len = 1; len <= EXPLODE_MAX_CODE_BITS; ++len) {
        for (int s = 0; s < symbols; ++s) {
            if (lengths[s] == len) {
                code.stored[s] = stored_form(next++, len);
                code.bits[s] = static_cast<uint8_t>(len);
            }
        }
        next <<= 1;
    }
    return code;
}

const prefix_code &literal_code()
{
    static const prefix_code code =
        make_code(EXPLODE_LITERAL_CODE_LENGTHS, sizeof(EXPLODE_LITERAL_CODE_LENGTHS));
    return code;
}

const prefix_code &length_code()
{
    static const prefix_code code =
        make_code(EXPLODE_LENGTH_CODE_LENGTHS, sizeof(EXPLODE_LENGTH_CODE_LENGTHS));
    return code;
}

const prefix_code &distance_code()
{
    static const prefix_code code =
        make_code(EXPLODE_DISTANCE_CODE_LENGTHS, sizeof(EXPLODE_DISTANCE_CODE_LENGTHS));
    return code;
}

uint32_t low_mask(int count)
{
    return count >= 32 ? ~0u : (1u << count) - 1;
}

/* The bits of one token, the first lowest. */
struct token_bits {
    uint64_t value;
    int count;
};

void append(token_bits *token, uint32_t value, int count)
{
    token->value |= static_cast<uint64_t>(value & low_mask(count)) << token->count;
    token->count += count;
}

void append_symbol(token_bits *token, const prefix_code &code, int symbol)
{
    append(token, code.stored[symbol], code.bits[symbol]);
}

void put_token(implode_writer *writer, token_bits token)
{
    for (; token.count > 32; token.count -= 32, token.value >>= 32)
        implode_put_bits(writer, static_cast<uint32_t>(token.value), 32);
    implode_put_bits(writer, static_cast<uint32_t>(token.value), token.count);
}

int length_symbol(uint32_t length)
{
    for (int s = 0; s < 16; ++s) {
        if (length >= EXPLODE_LENGTH_BASE[s] &&
            length < EXPLODE_LENGTH_BASE[s] + (1u << EXPLODE_LENGTH_EXTRA_BITS[s]))
            return s;
    }
    return 15;
}

void append_length(token_bits *token, uint32_t length)
{
    const int symbol = length_symbol(length);
    append_symbol(token, length_code(), symbol);
    append(token, length - EXPLODE_LENGTH_BASE[symbol], EXPLODE_LENGTH_EXTRA_BITS[symbol]);
}

} // namespace

void implode_begin(implode_writer *writer, int literal_mode, int dictionary_bits)
{
    writer->bytes.clear();
    writer->bit_buffer = 0;
    writer->bit_count = 0;
    writer->literal_mode = literal_mode;
    writer->dictionary_bits = dictionary_bits;
    implode_put_bits(writer, static_cast<uint32_t>(literal_mode) & 0xFF, 8);
    implode_put_bits(writer, static_cast<uint32_t>(dictionary_bits) & 0xFF, 8);
}

void implode_put_bits(implode_writer *writer, uint32_t value, int count)
{
    if (count <= 0)
        return;
    /* At most 7 pending bits plus 32 new ones: 64 bits hold them all. */
    uint64_t pending = writer->bit_buffer | static_cast<uint64_t>(value & low_mask(count))
                                                << writer->bit_count;
    int pending_count = writer->bit_count + count;
    for (; pending_count >= 8; pending_count -= 8) {
        writer->bytes.push_back(static_cast<uint8_t>(pending));
        pending >>= 8;
    }
    writer->bit_buffer = static_cast<uint32_t>(pending);
    writer->bit_count = pending_count;
}

void implode_put_literal(implode_writer *writer, uint8_t byte)
{
    token_bits token = {0, 1};
    if (writer->literal_mode == 1)
        append_symbol(&token, literal_code(), byte);
    else
        append(&token, byte, 8);
    put_token(writer, token);
}

void implode_put_match(implode_writer *writer, uint32_t length, uint32_t distance)
{
    token_bits token = {1, 1};
    append_length(&token, length);
    const int low_bits = length == 2 ? 2 : writer->dictionary_bits;
    const uint32_t value = distance - 1;
    append_symbol(&token, distance_code(), static_cast<int>((value >> low_bits) & 63));
    append(&token, value, low_bits);
    put_token(writer, token);
}

void implode_put_end_marker(implode_writer *writer)
{
    token_bits token = {1, 1};
    append_length(&token, EXPLODE_END_OF_STREAM);
    put_token(writer, token);
}

std::vector<uint8_t> implode_finish(implode_writer *writer)
{
    if (writer->bit_count > 0) {
        writer->bytes.push_back(static_cast<uint8_t>(writer->bit_buffer));
        writer->bit_buffer = 0;
        writer->bit_count = 0;
    }
    return writer->bytes;
}
