/*
 * explode.cc - the fast decoder.
 *
 * It behaves exactly like the bit-serial reference (same bytes, same sink
 * calls, same result for every input) but does far less work per token:
 *
 * - Bits come from a 64-bit buffer refilled a word at a time, so a whole
 *   token (at most 30 bits) is usually in hand. Near the end of the input the
 *   buffer is refilled byte by byte, and every field checks that its bits are
 *   really there; running short is then exactly the reference's truncation.
 * - Codes are decoded by one table lookup on the next 13, 7 or 8 bits. Each
 *   entry holds the symbol and its code length. When fewer bits remain than
 *   the entry's length, no code fits in what is left, because the codes are
 *   complete: the reference would run out of input in the same place.
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
    COPY_OVERRUN = 8,
    /* History, the block being filled, the longest match past its end, and overrun. */
    OUTPUT_BUFFER_SIZE =
        EXPLODE_WINDOW_SIZE + EXPLODE_WINDOW_SIZE + EXPLODE_MAX_MATCH + COPY_OVERRUN,
};

/* A lookup entry: the symbol in the low byte, the code length above it. */
typedef uint16_t code_entry;

struct lookup_tables {
    code_entry literal[1 << LITERAL_LOOKUP_BITS];
    code_entry length[1 << LENGTH_LOOKUP_BITS];
    code_entry distance[1 << DISTANCE_LOOKUP_BITS];
};

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

struct bit_reader {
    uint64_t bits;
    int count; /* valid bits in bits */
    const uint8_t *next;
    const uint8_t *end;
};

uint64_t load_u64le(const uint8_t *p)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value |= static_cast<uint64_t>(p[i]) << (8 * i);
    return value;
}

/*
 * Tops the buffer up to at least 56 bits where the input allows. The word
 * load may bring in part of the byte after the last one counted; it is ORed
 * in again, identically, by the next refill.
 */
inline void refill(bit_reader *in)
{
    if (in->end - in->next >= 8) {
        in->bits |= load_u64le(in->next) << in->count;
        in->next += (63 - in->count) >> 3;
        in->count |= 56;
        return;
    }
    while (in->count <= 56 && in->next < in->end) {
        in->bits |= static_cast<uint64_t>(*in->next++) << in->count;
        in->count += 8;
    }
}

inline void consume(bit_reader *in, int n)
{
    in->bits >>= n;
    in->count -= n;
}

inline uint32_t peek(const bit_reader *in, int n)
{
    return static_cast<uint32_t>(in->bits & ((uint64_t{1} << n) - 1));
}

/* Decodes one symbol; -1 when the input ends inside its code. */
inline int decode_symbol(bit_reader *in, const code_entry *lookup, int lookup_bits)
{
    const code_entry entry = lookup[peek(in, lookup_bits)];
    const int len = entry >> 8;
    if (len > in->count)
        return -1;
    consume(in, len);
    return entry & 0xFF;
}

/* Reads an @n-bit field into @value; false when the input ends first. */
inline bool read_field(bit_reader *in, int n, uint32_t *value)
{
    if (n > in->count)
        return false;
    *value = peek(in, n);
    consume(in, n);
    return true;
}

/* Copies a match whose source lies @distance bytes back; may write COPY_OVERRUN bytes beyond. */
inline void copy_match(uint8_t *out, uint32_t distance, uint32_t length)
{
    const uint8_t *from = out - distance;
    if (distance >= COPY_OVERRUN) {
        /* Every word read lies wholly before the byte being written. */
        for (uint32_t i = 0; i < length; i += COPY_OVERRUN)
            std::memcpy(out + i, from + i, COPY_OVERRUN);
    } else if (distance == 1) {
        std::memset(out, *from, length);
    } else {
        for (uint32_t i = 0; i < length; ++i)
            out[i] = from[i];
    }
}

struct output_buffer {
    uint8_t bytes[OUTPUT_BUFFER_SIZE];
    uint32_t fill; /* bytes of the current block, which starts at EXPLODE_WINDOW_SIZE */
    explode_sink sink;
    void *sink_context;
};

inline uint8_t *block_start(output_buffer *out)
{
    return out->bytes + EXPLODE_WINDOW_SIZE;
}

/* Hands over a full block and keeps it as history; false when the sink refused it. */
bool flush_full_block(output_buffer *out)
{
    uint8_t *block = block_start(out);
    const bool taken = out->sink(out->sink_context, block, EXPLODE_WINDOW_SIZE);
    std::memcpy(out->bytes, block, EXPLODE_WINDOW_SIZE);
    out->fill -= EXPLODE_WINDOW_SIZE;
    std::memmove(block, block + EXPLODE_WINDOW_SIZE, out->fill);
    return taken;
}

explode_result decode_tokens(bit_reader *in, output_buffer *out, const lookup_tables *tables,
                             bool coded_literals, int dictionary_bits)
{
    uint64_t total_out = 0; /* bytes produced by earlier tokens */
    for (;;) {
        refill(in);
        uint32_t flag;
        if (!read_field(in, 1, &flag))
            return EXPLODE_TRUNCATED;
        uint8_t *dest = block_start(out) + out->fill;
        uint32_t produced;
        if (flag == 0) {
            int byte;
            uint32_t plain;
            if (coded_literals)
                byte = decode_symbol(in, tables->literal, LITERAL_LOOKUP_BITS);
            else
                byte = read_field(in, 8, &plain) ? static_cast<int>(plain) : -1;
            if (byte < 0)
                return EXPLODE_TRUNCATED;
            *dest = static_cast<uint8_t>(byte);
            produced = 1;
        } else {
            const int symbol = decode_symbol(in, tables->length, LENGTH_LOOKUP_BITS);
            uint32_t extra;
            if (symbol < 0 || !read_field(in, LENGTH_EXTRA_BITS[symbol], &extra))
                return EXPLODE_TRUNCATED;
            const uint32_t length = LENGTH_BASE[symbol] + extra;
            if (length == EXPLODE_END_OF_STREAM)
                return EXPLODE_OK;
            const int high = decode_symbol(in, tables->distance, DISTANCE_LOOKUP_BITS);
            const int low_bits = length == 2 ? 2 : dictionary_bits;
            uint32_t low;
            if (high < 0 || !read_field(in, low_bits, &low))
                return EXPLODE_TRUNCATED;
            const uint32_t distance = (static_cast<uint32_t>(high) << low_bits) + low + 1;
            if (distance > total_out)
                return EXPLODE_BAD_DISTANCE;
            copy_match(dest, distance, length);
            produced = length;
        }
        out->fill += produced;
        total_out += produced;
        if (out->fill >= EXPLODE_WINDOW_SIZE && !flush_full_block(out))
            return EXPLODE_WRITE_FAILED;
    }
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
    build_lookup(tables.length, LENGTH_LOOKUP_BITS, LENGTH_CODE_LENGTHS,
                 sizeof(LENGTH_CODE_LENGTHS));
    build_lookup(tables.distance, DISTANCE_LOOKUP_BITS, DISTANCE_CODE_LENGTHS,
                 sizeof(DISTANCE_CODE_LENGTHS));

    bit_reader in = {0, 0, data + 2, data + length};
    output_buffer out;
    out.fill = 0;
    out.sink = sink;
    out.sink_context = sink_context;

    explode_result result = decode_tokens(&in, &out, &tables, literal_mode == 1, dictionary_bits);
    if (result == EXPLODE_OK && out.fill != 0 && !sink(sink_context, block_start(&out), out.fill))
        result = EXPLODE_WRITE_FAILED;
    return result;
}
