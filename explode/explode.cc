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
 *   entry holds what its code stands for (a symbol, or a match length's base
 *   and extra bits) and the code's length. The tables are built while
 *   compiling, and the build fails unless every entry is set. When fewer bits
 *   remain than the entry's length, no code fits in what is left, because the
 *   codes are prefix-free: the reference would run out of input in the same
 *   place.
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
    LITERAL_TABLE_BITS = 13,
    LENGTH_TABLE_BITS = 7,
    DISTANCE_TABLE_BITS = 8,
    /* Word copies of a match may run this far past its end. */
    COPY_OVERRUN = 16,
    /* A literal token: its flag and a code of up to 13 bits. */
    MAX_LITERAL_BITS = 1 + LITERAL_TABLE_BITS,
    /* A match: its flag, the length code and up to 8 extra bits, the distance code and 6 bits. */
    MAX_MATCH_BITS = 1 + LENGTH_TABLE_BITS + 8 + DISTANCE_TABLE_BITS + 6,
    /* Bits in hand after a refill while the input lasts. */
    REFILLED_BITS = 56,
    /* History, the block being filled, the longest match past its end, and overrun. */
    OUTPUT_BUFFER_SIZE =
        EXPLODE_WINDOW_SIZE + EXPLODE_WINDOW_SIZE + EXPLODE_MAX_MATCH + COPY_OVERRUN,
};

/*
 * A decode table is indexed by the next Bits bits of the stream; its entry
 * says what the code found there stands for and how long the code is. The
 * entries are small (2 bytes for literals and distances, 4 for lengths), so
 * that the 8192-entry literal table takes 16 KiB of cache, and their fields
 * are whole bytes, each read with one load.
 */
struct symbol_entry {
    uint8_t symbol;
    uint8_t code_bits; /* 0 in an entry no code has reached */
};

/* A match length's code: the length is base plus extra_bits further bits. */
struct length_entry {
    uint16_t base;
    uint8_t extra_bits;
    uint8_t code_bits;
};

template <typename Entry, int Bits>
struct decode_table {
    Entry entries[1 << Bits];
    /* Every code fits in Bits bits, and every entry was set exactly once. */
    bool complete;
};

constexpr symbol_entry symbol_itself(int symbol)
{
    return {static_cast<uint8_t>(symbol), 0};
}

constexpr length_entry match_length_of(int symbol)
{
    return {EXPLODE_LENGTH_BASE[symbol], EXPLODE_LENGTH_EXTRA_BITS[symbol], 0};
}

/*
 * A code is stored most significant bit first and complemented; read least
 * significant bit first, as the tables are indexed, it is this pattern.
 */
constexpr uint32_t stored_pattern(uint32_t code, int length)
{
    uint32_t pattern = 0;
    for (int i = 0; i < length; ++i)
        pattern |= (~code >> i & 1u) << (length - 1 - i);
    return pattern;
}

/*
 * Builds the table of a fixed code in one pass over its codes in canonical
 * order: each code's entry, @result of its symbol with the code's length,
 * goes to every index whose low bits are the code's stored pattern.
 */
template <typename Entry, int Bits>
constexpr decode_table<Entry, Bits>
build_decode_table(const uint8_t *description, int description_length, Entry (*result)(int symbol))
{
    decode_table<Entry, Bits> table = {};
    uint8_t lengths[EXPLODE_MAX_SYMBOLS] = {};
    const int symbols = explode_expand_code_lengths(description, description_length, lengths);

    /* The symbols sorted by code length, then by value: the canonical order. */
    int first_of_length[EXPLODE_MAX_CODE_BITS + 2] = {};
    for (int s = 0; s < symbols; ++s)
        ++first_of_length[lengths[s] + 1];
    for (int len = 1; len <= EXPLODE_MAX_CODE_BITS + 1; ++len)
        first_of_length[len] += first_of_length[len - 1];
    int in_code_order[EXPLODE_MAX_SYMBOLS] = {};
    for (int s = 0; s < symbols; ++s)
        in_code_order[first_of_length[lengths[s]]++] = s;

    bool complete = true;
    uint32_t code = 0;
    int len = 0;
    for (int i = 0; i < symbols; ++i) {
        const int symbol = in_code_order[i];
        if (lengths[symbol] == 0)
            continue; /* not in the code */
        code <<= lengths[symbol] - len;
        len = lengths[symbol];
        if (len > Bits)
            return table; /* incomplete */
        Entry entry = result(symbol);
        entry.code_bits = static_cast<uint8_t>(len);
        for (uint32_t index = stored_pattern(code, len); index < 1u << Bits; index += 1u << len) {
            complete = complete && table.entries[index].code_bits == 0;
            table.entries[index] = entry;
        }
        ++code;
    }
    for (const Entry &entry : table.entries)
        complete = complete && entry.code_bits != 0;
    table.complete = complete;
    return table;
}

constexpr decode_table<symbol_entry, LITERAL_TABLE_BITS> LITERAL_TABLE =
    build_decode_table<symbol_entry, LITERAL_TABLE_BITS>(
        EXPLODE_LITERAL_CODE_LENGTHS, sizeof(EXPLODE_LITERAL_CODE_LENGTHS), symbol_itself);
constexpr decode_table<length_entry, LENGTH_TABLE_BITS> LENGTH_TABLE =
    build_decode_table<length_entry, LENGTH_TABLE_BITS>(
        EXPLODE_LENGTH_CODE_LENGTHS, sizeof(EXPLODE_LENGTH_CODE_LENGTHS), match_length_of);
constexpr decode_table<symbol_entry, DISTANCE_TABLE_BITS> DISTANCE_TABLE =
    build_decode_table<symbol_entry, DISTANCE_TABLE_BITS>(
        EXPLODE_DISTANCE_CODE_LENGTHS, sizeof(EXPLODE_DISTANCE_CODE_LENGTHS), symbol_itself);

/* Whatever bits come next, exactly one code starts with them, and it fits its table. */
static_assert(LITERAL_TABLE.complete, "the literal table has an entry for every index");
static_assert(LENGTH_TABLE.complete, "the length table has an entry for every index");
static_assert(DISTANCE_TABLE.complete, "the distance table has an entry for every index");
static_assert(sizeof(symbol_entry) == 2 && sizeof(length_entry) == 4, "entries are packed");
static_assert(MAX_MATCH_BITS <= REFILLED_BITS && MAX_LITERAL_BITS <= REFILLED_BITS,
              "one refill holds any token");

/*
 * The token loop reads copies of the tables on the stack: an entry there is
 * one load off the stack pointer, where a static table's address would have
 * to be formed again for each token, the loop having no register to keep it.
 */
struct decode_tables {
    decode_table<symbol_entry, LITERAL_TABLE_BITS> literal;
    decode_table<length_entry, LENGTH_TABLE_BITS> length;
    decode_table<symbol_entry, DISTANCE_TABLE_BITS> distance;
};

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
                             const decode_tables *tables, bool coded_literals, int dictionary_bits,
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
            /*
             * Branchless refill: OR in eight bytes above the bits in hand and
             * step over the (63 - count) / 8 whole bytes that fit, which
             * leaves 56 + count % 8 bits, count | 56. The byte only partly
             * taken is ORed in again, at the same place, by the next refill.
             */
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
                    const symbol_entry entry =
                        tables->literal.entries[low_bits(bits >> 1, LITERAL_TABLE_BITS)];
                    byte = entry.symbol;
                    const int used = 1 + entry.code_bits;
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
            const length_entry code =
                tables->length.entries[low_bits(bits >> 1, LENGTH_TABLE_BITS)];
            const uint32_t length =
                code.base + low_bits(bits >> (1 + code.code_bits), code.extra_bits);
            const int length_used = 1 + code.code_bits + code.extra_bits;
            bits >>= length_used;
            count -= length_used;
            if (count < 0)
                return EXPLODE_TRUNCATED;
            if (length == EXPLODE_END_OF_STREAM)
                break;

            const symbol_entry high = tables->distance.entries[low_bits(bits, DISTANCE_TABLE_BITS)];
            const int high_bits = high.code_bits;
            const int low_count = length == 2 ? 2 : dictionary_bits;
            const uint32_t distance = ((static_cast<uint32_t>(high.symbol) << low_count) |
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

    decode_tables tables;
    if (literal_mode == 1)
        tables.literal = LITERAL_TABLE;
    tables.length = LENGTH_TABLE;
    tables.distance = DISTANCE_TABLE;

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
