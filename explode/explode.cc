/*
 * explode.cc - the fast decoder.
 *
 * It behaves exactly like the bit-serial reference (same bytes, same sink
 * calls, same result for every input) but does far less work per token:
 *
 * - Bits come from a 64-bit buffer refilled a word at a time, so a whole
 *   token (at most 30 bits) is in hand while the input lasts. Near its end
 *   the buffer is refilled byte by byte, and a token that needed more bits
 *   than were left is exactly the reference's truncation.
 * - Codes are decoded by one table lookup on the next 13, 7 or 8 bits. Each
 *   entry holds the symbol and its code length. When fewer bits remain than
 *   the entry's length, no code fits in what is left, because the codes are
 *   prefix-free: the reference would run out of input in the same place.
 * - Output goes to a linear buffer: the previous 4096 bytes, then the block
 *   being filled. A match never reaches back more than 4096 bytes, so its
 *   source is always in the buffer and can be copied in runs rather than byte
 *   by byte through a ring. A full block is handed to the sink after the token
 *   that filled it; nothing in a token can fail once its bytes are being
 *   written, so the sink sees the same blocks as with the ring, and a write
 *   failure is reported at the same point.
 */
#include <cstring>

#include "explode/explode_internal.h"

namespace {

enum {
    LITERAL_LOOKUP_BITS = 13,
    LENGTH_LOOKUP_BITS = 7,
    DISTANCE_LOOKUP_BITS = 8,
    /* Word copies of a match may run this far past its end. */
    COPY_OVERRUN = 16,
    /* A literal token: its flag and a code of up to 13 bits. */
    MAX_LITERAL_BITS = 14,
    /* History, the block being filled, the longest match past its end, and overrun. */
    OUTPUT_BUFFER_SIZE =
        EXPLODE_WINDOW_SIZE + EXPLODE_WINDOW_SIZE + EXPLODE_MAX_MATCH + COPY_OVERRUN,
};

/* A lookup entry: the symbol in the low byte, the code length above it. */
typedef uint16_t code_entry;

uint32_t reverse_bits(uint32_t value, int count)
{
    uint32_t reversed = 0;
    for (int i = 0; i < count; ++i)
        reversed |= ((value >> i) & 1u) << (count - 1 - i);
    return reversed;
}

/*
 * Each code is stored most significant bit first and complemented; read least
 * significant bit first, the next @lookup_bits bits start with that pattern.
 */
void build_lookup(code_entry *lookup, int lookup_bits, const uint8_t *description,
                  int description_length)
{
    huffman_table table;
    huffman_build(&table, description, description_length);
    uint32_t code = 0;
    int index = 0;
    for (int len = 1; len <= lookup_bits; ++len) {
        for (int i = 0; i < table.counts[len]; ++i, ++code) {
            const uint32_t stored = reverse_bits(~code & ((1u << len) - 1), len);
            const code_entry entry = static_cast<code_entry>(table.symbols[index++] | len << 8);
            for (uint32_t t = stored; t < (1u << lookup_bits); t += 1u << len)
                lookup[t] = entry;
        }
        code <<= 1;
    }
}

uint64_t load_u64le(const uint8_t *p)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value |= static_cast<uint64_t>(p[i]) << (8 * i);
    return value;
}

inline uint32_t low_bits(uint64_t bits, int n)
{
    return static_cast<uint32_t>(bits & ((uint64_t{1} << n) - 1));
}

/*
 * A match length decoded from its code and extra bits in one step: the code
 * is looked up, the extra bits are taken from just above it.
 */
struct length_entry {
    uint16_t base;
    uint8_t extra_bits;
    uint8_t code_bits;
};

void build_length_entries(length_entry *entries, const code_entry *lookup)
{
    for (int i = 0; i < 1 << LENGTH_LOOKUP_BITS; ++i) {
        const int symbol = lookup[i] & 0xFF;
        entries[i] = {LENGTH_BASE[symbol], LENGTH_EXTRA_BITS[symbol],
                      static_cast<uint8_t>(lookup[i] >> 8)};
    }
}

struct lookup_tables {
    code_entry literal[1 << LITERAL_LOOKUP_BITS];
    length_entry length[1 << LENGTH_LOOKUP_BITS];
    code_entry distance[1 << DISTANCE_LOOKUP_BITS];
};

/* Copies a match whose source lies @distance bytes back; may write COPY_OVERRUN bytes beyond. */
inline void copy_match(uint8_t *out, uint32_t distance, uint32_t length)
{
    const uint8_t *from = out - distance;
    if (distance >= 16) {
        /* Every chunk read lies wholly before the bytes being written. */
        for (uint32_t i = 0; i < length; i += 16)
            std::memcpy(out + i, from + i, 16);
    } else if (distance >= 8) {
        for (uint32_t i = 0; i < length; i += 8)
            std::memcpy(out + i, from + i, 8);
    } else if (distance == 1) {
        std::memset(out, *from, length);
    } else {
        for (uint32_t i = 0; i < length; ++i)
            out[i] = from[i];
    }
}

struct output_buffer {
    uint8_t bytes[OUTPUT_BUFFER_SIZE];
    explode_sink sink;
    void *sink_context;
};

/*
 * Hands the full block at @block to the sink, keeps it as history and moves
 * the @overflow bytes written past it to the block's start. False when the
 * sink refused the block.
 */
bool flush_full_block(output_buffer *out, uint32_t overflow)
{
    uint8_t *block = out->bytes + EXPLODE_WINDOW_SIZE;
    const bool taken = out->sink(out->sink_context, block, EXPLODE_WINDOW_SIZE);
    std::memcpy(out->bytes, block, EXPLODE_WINDOW_SIZE);
    std::memmove(block, block + EXPLODE_WINDOW_SIZE, overflow);
    return taken;
}

/*
 * The token loop. Its state lives in locals so that it stays in registers.
 * While the input lasts, each token starts with at least 56 bits in hand,
 * more than the longest token needs. Near the end fewer may be left: fields
 * are then decoded as if zeros followed, and a bit count that went negative
 * means the token ran past the input, which is the reference's truncation
 * (zeros cannot complete a code that the real bits did not: the codes are
 * prefix-free). The count is checked before anything is decided on what was
 * read.
 */
explode_result decode_tokens(const uint8_t *next, const uint8_t *end, output_buffer *out,
                             const lookup_tables *tables, bool coded_literals, int dictionary_bits,
                             uint32_t *pending)
{
    uint8_t *const block = out->bytes + EXPLODE_WINDOW_SIZE;
    uint8_t *const block_end = block + EXPLODE_WINDOW_SIZE;
    uint8_t *dest = block;
    uint64_t flushed = 0; /* bytes handed over in full blocks */
    uint64_t bits = 0;
    int count = 0;
    for (;;) {
        if (end - next >= 8) {
            /* The word may bring in part of the next byte; the next refill ORs it in again. */
            bits |= load_u64le(next) << count;
            next += (63 - count) >> 3;
            count |= 56;
        } else {
            while (count <= 56 && next < end) {
                bits |= static_cast<uint64_t>(*next++) << count;
                count += 8;
            }
        }

        if ((bits & 1) == 0) {
            /*
             * Literals often come in runs: take them while their bits are
             * surely in hand. One refill holds at most seven, well within
             * the room past the block kept for a match.
             */
            do {
                uint32_t byte;
                if (coded_literals) {
                    const code_entry entry =
                        tables->literal[low_bits(bits >> 1, LITERAL_LOOKUP_BITS)];
                    byte = entry & 0xFF;
                    const int used = 1 + (entry >> 8);
                    bits >>= used;
                    count -= used;
                } else {
                    byte = low_bits(bits >> 1, 8);
                    bits >>= 9;
                    count -= 9;
                }
                if (count < 0)
                    return EXPLODE_TRUNCATED;
                *dest++ = static_cast<uint8_t>(byte);
            } while ((bits & 1) == 0 && count >= MAX_LITERAL_BITS);
        } else {
            const length_entry code = tables->length[low_bits(bits >> 1, LENGTH_LOOKUP_BITS)];
            const uint32_t length =
                code.base + low_bits(bits >> (1 + code.code_bits), code.extra_bits);
            const int length_used = 1 + code.code_bits + code.extra_bits;
            bits >>= length_used;
            count -= length_used;
            if (count < 0)
                return EXPLODE_TRUNCATED;
            if (length == EXPLODE_END_OF_STREAM)
                break;

            const code_entry high = tables->distance[low_bits(bits, DISTANCE_LOOKUP_BITS)];
            const int high_bits = high >> 8;
            const int low_count = length == 2 ? 2 : dictionary_bits;
            const uint32_t distance = ((static_cast<uint32_t>(high & 0xFF) << low_count) |
                                       low_bits(bits >> high_bits, low_count)) +
                                      1;
            bits >>= high_bits + low_count;
            count -= high_bits + low_count;
            if (count < 0)
                return EXPLODE_TRUNCATED;
            if (distance > flushed + static_cast<uint64_t>(dest - block))
                return EXPLODE_BAD_DISTANCE;
            copy_match(dest, distance, length);
            dest += length;
        }

        if (dest >= block_end) {
            const uint32_t overflow = static_cast<uint32_t>(dest - block_end);
            if (!flush_full_block(out, overflow))
                return EXPLODE_WRITE_FAILED;
            flushed += EXPLODE_WINDOW_SIZE;
            dest = block + overflow;
        }
    }
    *pending = static_cast<uint32_t>(dest - block);
    return EXPLODE_OK;
}

} // namespace

explode_result explode(const uint8_t *data, uint32_t length, explode_sink sink, void *sink_context)
{
    if (length < 1)
        return EXPLODE_TRUNCATED;
    const uint8_t literal_mode = data[0];
    if (literal_mode > 1)
        return EXPLODE_BAD_LITERAL_MODE;
    if (length < 2)
        return EXPLODE_TRUNCATED;
    const uint8_t dictionary_bits = data[1];
    if (dictionary_bits < 4 || dictionary_bits > 6)
        return EXPLODE_BAD_DICTIONARY;

    lookup_tables tables;
    if (literal_mode == 1)
        build_lookup(tables.literal, LITERAL_LOOKUP_BITS, LITERAL_CODE_LENGTHS,
                     sizeof(LITERAL_CODE_LENGTHS));
    code_entry length_codes[1 << LENGTH_LOOKUP_BITS];
    build_lookup(length_codes, LENGTH_LOOKUP_BITS, LENGTH_CODE_LENGTHS,
                 sizeof(LENGTH_CODE_LENGTHS));
    build_length_entries(tables.length, length_codes);
    build_lookup(tables.distance, DISTANCE_LOOKUP_BITS, DISTANCE_CODE_LENGTHS,
                 sizeof(DISTANCE_CODE_LENGTHS));

    output_buffer out;
    out.sink = sink;
    out.sink_context = sink_context;
    uint32_t pending = 0;
    explode_result result = decode_tokens(data + 2, data + length, &out, &tables, literal_mode == 1,
                                          dictionary_bits, &pending);
    /* The last, partial block goes out at the end marker. */
    if (result == EXPLODE_OK && pending != 0 &&
        !sink(sink_context, out.bytes + EXPLODE_WINDOW_SIZE, pending))
        result = EXPLODE_WRITE_FAILED;
    return result;
}
