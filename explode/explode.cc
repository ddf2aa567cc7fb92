/*
 * explode.cc - the fast decoder.
 *
 * It behaves exactly like the bit-serial reference (same bytes, same sink
 * calls, same result for every input) but does far less work per token:
 *
 * - Bits come from a 64-bit buffer refilled a word at a time. While at least
 *   8 bytes of input are left, the fast loop runs: every token starts with at
 *   least 56 bits in hand, more than the longest token (30 bits) needs, so
 *   nothing in it is counted or checked against the input's end. The last
 *   bytes go through the careful loop, which refills byte by byte and checks
 *   every field: a token that needed more bits than were left is exactly the
 *   reference's truncation.
 * - Codes are decoded by one table lookup each. An entry holds what its code
 *   stands for (a literal, or a length's or distance's base) and how many bits
 *   the whole field takes, extra bits included, in its first byte: the one
 *   shift that the next lookup waits on takes its count straight from the
 *   loaded entry. The tables are built while compiling, and the build fails
 *   unless every entry is set. When fewer bits remain than an entry takes, no
 *   code fits in what is left, because the codes are prefix-free: the
 *   reference would run out of input in the same place.
 * - The chain of a token's lookups is the loop's critical path, so the fast
 *   loop starts each token's first lookup on the bits already in hand, before
 *   the refill's load has arrived: it keeps enough bits for that lookup at the
 *   end of every token.
 * - Literals come in runs. In literal mode 0, where a literal is its flag and
 *   8 plain bits, the fast loop takes up to five at once, as many as come
 *   before the next flag that is set, with one store. In mode 1 one lookup in
 *   a 13-bit table gives a literal, or two when both codes are short.
 * - Output goes to a linear buffer: the previous 4096 bytes, then the block
 *   being filled. A match never reaches back more than 4096 bytes, so its
 *   source is always in the buffer and can be copied in runs of 8 to 32 bytes
 *   rather than byte by byte through a ring. A full block is handed to the
 *   sink after the token (or run of literals) that filled it; nothing in a
 *   token can fail once its bytes are being written, so the sink sees the same
 *   blocks as with the ring, and a write failure is reported at the same
 *   point.
 */
#include <cstring>

#include "explode/explode_internal.h"

namespace {

enum {
    LITERAL_TABLE_BITS = 13,
    LENGTH_TABLE_BITS = 7,
    DISTANCE_TABLE_BITS = 8,
    /* Match copies and literal stores may write this far past their last byte. */
    COPY_OVERRUN = 32,
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
 * says what the code found there stands for and how many bits it takes. The
 * entries are small and their fields whole bytes, each read with one load.
 */
struct symbol_entry {
    uint8_t code_bits;
    uint8_t symbol;
};

/*
 * A distance: base plus the bits that follow the first value_shift of the
 * total_bits the field takes (its code, then its low bits).
 */
struct value_entry {
    uint8_t total_bits;
    uint8_t value_shift;
    uint16_t base;
};

/*
 * A match length, from the match's flag on, in the same form; and where the
 * table for the distance that follows starts among a dictionary's distance
 * tables, since the distance of a match of length 2 has 2 low bits.
 */
struct length_entry {
    uint8_t total_bits;
    uint8_t value_shift;
    uint16_t base;
    uint32_t distance_table;
};

template <typename Entry, int Bits>
struct decode_table {
    Entry entries[1 << Bits];
    /* Every code fits in Bits bits, and every entry was set exactly once. */
    bool complete;
};

constexpr symbol_entry symbol_itself(int symbol, int code_bits)
{
    return {static_cast<uint8_t>(code_bits), static_cast<uint8_t>(symbol)};
}

constexpr length_entry match_length_of(int symbol, int code_bits)
{
    const bool two = EXPLODE_LENGTH_BASE[symbol] == 2 && EXPLODE_LENGTH_EXTRA_BITS[symbol] == 0;
    return {static_cast<uint8_t>(1 + code_bits + EXPLODE_LENGTH_EXTRA_BITS[symbol]),
            static_cast<uint8_t>(1 + code_bits), EXPLODE_LENGTH_BASE[symbol],
            two ? 0u : 1u << DISTANCE_TABLE_BITS};
}

/* The distance code gives the high six bits of distance - 1; LowBits more follow. */
template <int LowBits>
constexpr value_entry distance_of(int symbol, int code_bits)
{
    return {static_cast<uint8_t>(code_bits + LowBits), static_cast<uint8_t>(code_bits),
            static_cast<uint16_t>((symbol << LowBits) + 1)};
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
 * order: each code's entry, @result of its symbol and length, goes to every
 * index whose low bits are the code's stored pattern.
 */
template <typename Entry, int Bits>
constexpr decode_table<Entry, Bits> build_decode_table(const uint8_t *description,
                                                       int description_length,
                                                       Entry (*result)(int symbol, int code_bits))
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

    bool set[1 << Bits] = {};
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
        const Entry entry = result(symbol, len);
        for (uint32_t index = stored_pattern(code, len); index < 1u << Bits; index += 1u << len) {
            complete = complete && !set[index];
            set[index] = true;
            table.entries[index] = entry;
        }
        ++code;
    }
    for (const bool index_set : set)
        complete = complete && index_set;
    table.complete = complete;
    return table;
}

constexpr decode_table<symbol_entry, LITERAL_TABLE_BITS> LITERAL_TABLE =
    build_decode_table<symbol_entry, LITERAL_TABLE_BITS>(
        EXPLODE_LITERAL_CODE_LENGTHS, sizeof(EXPLODE_LITERAL_CODE_LENGTHS), symbol_itself);
constexpr decode_table<length_entry, LENGTH_TABLE_BITS> LENGTH_TABLE =
    build_decode_table<length_entry, LENGTH_TABLE_BITS>(
        EXPLODE_LENGTH_CODE_LENGTHS, sizeof(EXPLODE_LENGTH_CODE_LENGTHS), match_length_of);

/* The distance tables of one dictionary size: after a match of length 2, then after others. */
struct distance_tables {
    value_entry entries[2 << DISTANCE_TABLE_BITS];
    bool complete;
};

template <int DictionaryBits>
constexpr distance_tables build_distance_tables()
{
    const auto after_two = build_decode_table<value_entry, DISTANCE_TABLE_BITS>(
        EXPLODE_DISTANCE_CODE_LENGTHS, sizeof(EXPLODE_DISTANCE_CODE_LENGTHS), distance_of<2>);
    const auto after_others = build_decode_table<value_entry, DISTANCE_TABLE_BITS>(
        EXPLODE_DISTANCE_CODE_LENGTHS, sizeof(EXPLODE_DISTANCE_CODE_LENGTHS),
        distance_of<DictionaryBits>);
    distance_tables tables = {};
    for (int i = 0; i < 1 << DISTANCE_TABLE_BITS; ++i) {
        tables.entries[i] = after_two.entries[i];
        tables.entries[(1 << DISTANCE_TABLE_BITS) + i] = after_others.entries[i];
    }
    tables.complete = after_two.complete && after_others.complete;
    return tables;
}

/* For dictionary bits n, DISTANCE_TABLES[n - 4]. */
constexpr distance_tables DISTANCE_TABLES[3] = {
    build_distance_tables<4>(),
    build_distance_tables<5>(),
    build_distance_tables<6>(),
};

/*
 * Literal mode 1's table for the fast loop, indexed by the 13 bits after a
 * literal's flag: it gives that literal, and the next one too when its flag
 * and whole code lie within those 13 bits. total_bits counts what the entry
 * takes, flags included.
 */
struct literal_pair_entry {
    uint8_t total_bits;
    uint8_t literals;
    uint8_t first;
    uint8_t second;
};

constexpr decode_table<literal_pair_entry, LITERAL_TABLE_BITS> build_literal_pair_table()
{
    decode_table<literal_pair_entry, LITERAL_TABLE_BITS> table = {};
    for (uint32_t index = 0; index < 1u << LITERAL_TABLE_BITS; ++index) {
        const symbol_entry first = LITERAL_TABLE.entries[index];
        literal_pair_entry entry = {static_cast<uint8_t>(1 + first.code_bits), 1, first.symbol, 0};
        if ((index >> first.code_bits & 1) == 0) {
            /* The next literal counts only if its code ends within the 13 bits. */
            const symbol_entry second = LITERAL_TABLE.entries[index >> (first.code_bits + 1)];
            if (first.code_bits + 1 + second.code_bits <= LITERAL_TABLE_BITS) {
                entry.literals = 2;
                entry.second = second.symbol;
                entry.total_bits = static_cast<uint8_t>(entry.total_bits + 1 + second.code_bits);
            }
        }
        table.entries[index] = entry;
    }
    table.complete = LITERAL_TABLE.complete;
    return table;
}

constexpr decode_table<literal_pair_entry, LITERAL_TABLE_BITS> LITERAL_PAIR_TABLE =
    build_literal_pair_table();

/* In literal mode 0 the fast loop takes up to this many literals, 9 bits apiece, at once. */
constexpr int RAW_LITERALS_AT_ONCE = 5;

constexpr uint64_t raw_literal_flags()
{
    uint64_t flags = 0;
    for (int i = 0; i < RAW_LITERALS_AT_ONCE; ++i)
        flags |= uint64_t{1} << (9 * i);
    return flags;
}

/* The flags of that many literals in a row, and a stop where the next one's would be. */
constexpr uint64_t RAW_LITERAL_FLAGS = raw_literal_flags();
constexpr uint64_t RAW_LITERALS_STOP = uint64_t{1} << (9 * RAW_LITERALS_AT_ONCE);

/*
 * Bits the fast loop keeps in hand at the end of every token, for the next
 * token's first lookup: its flag and the 13 bits a literal lookup reads (a
 * length lookup reads fewer).
 */
constexpr int PEEK_BITS = 1 + LITERAL_TABLE_BITS;

/* Whatever bits come next, exactly one code starts with them, and it fits its table. */
static_assert(LITERAL_TABLE.complete && LITERAL_PAIR_TABLE.complete,
              "the literal tables have an entry for every index");
static_assert(LENGTH_TABLE.complete, "the length table has an entry for every index");
static_assert(DISTANCE_TABLES[0].complete && DISTANCE_TABLES[1].complete &&
                  DISTANCE_TABLES[2].complete,
              "the distance tables have an entry for every index");
static_assert(sizeof(symbol_entry) == 2 && sizeof(value_entry) == 4 && sizeof(length_entry) == 8 &&
                  sizeof(literal_pair_entry) == 4,
              "entries are packed");
static_assert(MAX_MATCH_BITS <= REFILLED_BITS && MAX_LITERAL_BITS <= REFILLED_BITS,
              "one refill holds any token");
static_assert(REFILLED_BITS - MAX_MATCH_BITS >= PEEK_BITS &&
                  REFILLED_BITS - 9 * RAW_LITERALS_AT_ONCE >= 1 + LENGTH_TABLE_BITS,
              "what a match or a run of plain literals leaves is enough for the next lookup");
static_assert(RAW_LITERALS_AT_ONCE <= 8 && 8 <= COPY_OVERRUN,
              "a run of plain literals is one 8-byte store, within the room past the block");

/* Whether a match of length 2 always has a length code of its own, with no extra bits. */
constexpr bool length_two_has_its_own_code()
{
    for (size_t s = 0; s < sizeof(EXPLODE_LENGTH_BASE) / sizeof(EXPLODE_LENGTH_BASE[0]); ++s) {
        const int base = EXPLODE_LENGTH_BASE[s];
        if (base <= 2 && 2 < base + (1 << EXPLODE_LENGTH_EXTRA_BITS[s]) &&
            EXPLODE_LENGTH_EXTRA_BITS[s] != 0)
            return false;
    }
    return true;
}

/* So a length entry alone tells which distance table follows, before its extra bits are read. */
static_assert(length_two_has_its_own_code(), "length 2 has a code of its own");

/*
 * Where the byte order is known to be little-endian, a word is moved with one
 * memcpy: some compilers (clang for WebAssembly) do not merge the byte loop
 * into one load or store, and the refill and the literal runs then take eight.
 */
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
uint64_t load_u64le(const uint8_t *p)
{
    uint64_t value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

void store_u64le(uint8_t *p, uint64_t value)
{
    std::memcpy(p, &value, sizeof(value));
}
#else
uint64_t load_u64le(const uint8_t *p)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value |= static_cast<uint64_t>(p[i]) << (8 * i);
    return value;
}

void store_u64le(uint8_t *p, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}
#endif

inline uint32_t low_bits(uint64_t bits, int n)
{
    return static_cast<uint32_t>(bits & ((uint64_t{1} << n) - 1));
}

/* The value a length or distance entry stands for, with @bits from its field's start. */
template <typename Entry>
inline uint32_t field_value(const Entry &entry, uint64_t bits)
{
    return entry.base + (low_bits(bits, entry.total_bits) >> entry.value_shift);
}

/*
 * The entry of @table, of 2^@index_bits entries, for the bits after the flag
 * in @bits. The offset is made from the bits with the flag masked off rather
 * than shifted out: one step less before the load.
 */
template <typename Entry>
inline const Entry *after_flag(const Entry *table, uint64_t bits, int index_bits)
{
    const uint64_t offset = (bits & ((uint64_t{2} << index_bits) - 2)) * (sizeof(Entry) / 2);
    return reinterpret_cast<const Entry *>(reinterpret_cast<const char *>(table) + offset);
}

inline int trailing_zeros(uint64_t value)
{
#if defined(__GNUC__)
    return __builtin_ctzll(value);
#else
    int n = 0;
    for (; (value & 1) == 0; value >>= 1)
        ++n;
    return n;
#endif
}

/*
 * The bytes of the next RAW_LITERALS_AT_ONCE plain literals in @bits, the
 * first one lowest: literal i's 8 bits follow its flag at bit 9i. Above the
 * last byte lie whatever bits follow it, so that the whole word is stored.
 */
inline uint64_t raw_literal_bytes(uint64_t bits)
{
    uint64_t bytes = 0;
    for (int i = 0; i < RAW_LITERALS_AT_ONCE; ++i) {
        const uint64_t mask = (i + 1 < RAW_LITERALS_AT_ONCE ? uint64_t{0xff} : ~uint64_t{0})
                              << (8 * i);
        bytes |= bits >> (1 + i) & mask;
    }
    return bytes;
}

/* Copies a match whose source lies @distance bytes back; may write COPY_OVERRUN bytes beyond. */
inline void copy_match(uint8_t *out, uint32_t distance, uint32_t length)
{
    const uint8_t *from = out - distance;
    if ((length < 16 ? length : 16) <= distance) {
        /*
         * Every chunk read lies wholly before the bytes being written, or the
         * match is no longer than its distance and what a chunk reads past
         * the match's source lands past the match. Most matches are short:
         * two moves cover them without a loop.
         */
        std::memmove(out, from, 16);
        std::memmove(out + 16, from + 16, 16);
        for (uint32_t i = 32; i < length; i += 16)
            std::memcpy(out + i, from + i, 16);
    } else if (distance >= 8) {
        for (uint32_t i = 0; i < length; i += 8)
            std::memcpy(out + i, from + i, 8);
    } else if (distance == 1) {
        const uint64_t run = *from * uint64_t{0x0101010101010101};
        for (uint32_t i = 0; i < length; i += 8)
            std::memcpy(out + i, &run, 8);
    } else {
        /*
         * Each move of 8 bytes settles the first @distance of them; the rest,
         * read before they were written, are put right by the next move.
         */
        for (uint32_t i = 0; i < length; i += distance)
            std::memmove(out + i, from + i, 8);
    }
}

struct output_buffer {
    uint8_t bytes[OUTPUT_BUFFER_SIZE];
    explode_sink sink;
    void *sink_context;
};

/*
 * Hands the full block to the sink, keeps it as history and moves the bytes
 * written past it, up to @dest, to the block's start. Returns where writing
 * goes on, or null when the sink refused the block.
 */
uint8_t *pass_full_block(output_buffer *out, uint8_t *dest)
{
    uint8_t *const block = out->bytes + EXPLODE_WINDOW_SIZE;
    const uint32_t overflow = static_cast<uint32_t>(dest - (block + EXPLODE_WINDOW_SIZE));
    const bool taken = out->sink(out->sink_context, block, EXPLODE_WINDOW_SIZE);
    std::memcpy(out->bytes, block, EXPLODE_WINDOW_SIZE);
    std::memmove(block, block + EXPLODE_WINDOW_SIZE, overflow);
    return taken ? block + overflow : nullptr;
}

/* What the fast loop hands on to the careful one. */
struct decoder_state {
    const uint8_t *next;
    const uint8_t *end;
    uint64_t bits;
    int count;
    uint8_t *dest;
    /* The first byte a match may copy: the block's until it is first handed over. */
    const uint8_t *history;
    int dictionary_bits;
    output_buffer *out;
};

/* decode_fast() stopped because fewer than 8 bytes of input are left. */
const int FAST_NEAR_END = -1;

/*
 * The fast loop, while at least 8 bytes of input are left. Returns
 * FAST_NEAR_END, for the careful loop to go on from @state, or the result:
 * EXPLODE_OK at the end marker, or a fault.
 */
template <bool CodedLiterals>
int decode_fast(decoder_state *state)
{
    const uint8_t *next = state->next;
    const uint8_t *const end = state->end;
    if (end - next < 8)
        return FAST_NEAR_END;
    const uint8_t *const last_word = end - 8;
    uint64_t bits = state->bits;
    int count = state->count;
    uint8_t *dest = state->dest;
    const uint8_t *history = state->history;
    const value_entry *const distances = DISTANCE_TABLES[state->dictionary_bits - 4].entries;
    const uint8_t *const block_end = state->out->bytes + 2 * EXPLODE_WINDOW_SIZE;
    int result = FAST_NEAR_END;

    bits |= load_u64le(next) << count;
    next += (63 - count) >> 3;
    count |= REFILLED_BITS;
    while (next <= last_word) {
        /* At least PEEK_BITS bits are in hand: enough to start the token before the refill. */
        const uint64_t peek = bits;
        /*
         * Branchless refill: OR in eight bytes above the bits in hand and
         * step over the (63 - count) / 8 whole bytes that fit, which leaves
         * 56 + count % 8 bits, count | 56. The byte only partly taken is ORed
         * in again, at the same place, by the next refill.
         */
        bits |= load_u64le(next) << count;
        next += (63 - count) >> 3;
        count |= REFILLED_BITS;

        if ((peek & 1) == 0 && CodedLiterals) {
            uint64_t look = peek;
            do {
                const literal_pair_entry entry =
                    *after_flag(LITERAL_PAIR_TABLE.entries, look, LITERAL_TABLE_BITS);
                dest[0] = entry.first;
                dest[1] = entry.second;
                dest += entry.literals;
                bits >>= entry.total_bits;
                count -= entry.total_bits;
                look = bits;
                /* Another lookup only while what it may take leaves PEEK_BITS in hand. */
            } while ((bits & 1) == 0 && count >= MAX_LITERAL_BITS + PEEK_BITS);
        } else if ((peek & 1) == 0) {
            /* The literals before the next flag that is set, up to RAW_LITERALS_AT_ONCE. */
            const int used = trailing_zeros((bits & RAW_LITERAL_FLAGS) | RAW_LITERALS_STOP);
            store_u64le(dest, raw_literal_bytes(bits));
            dest += used / 9;
            bits >>= used;
            count -= used;
        } else {
            const length_entry length_code =
                *after_flag(LENGTH_TABLE.entries, peek, LENGTH_TABLE_BITS);
            const uint32_t length = field_value(length_code, bits);
            bits >>= length_code.total_bits;
            count -= length_code.total_bits;
            if (length == EXPLODE_END_OF_STREAM) {
                result = EXPLODE_OK;
                break;
            }
            const value_entry distance_code =
                distances[length_code.distance_table + low_bits(bits, DISTANCE_TABLE_BITS)];
            const uint32_t distance = field_value(distance_code, bits);
            bits >>= distance_code.total_bits;
            count -= distance_code.total_bits;
            if (dest - distance < history) {
                result = EXPLODE_BAD_DISTANCE;
                break;
            }
            copy_match(dest, distance, length);
            dest += length;
        }

        if (dest >= block_end) {
            history = state->out->bytes;
            dest = pass_full_block(state->out, dest);
            if (dest == nullptr) {
                result = EXPLODE_WRITE_FAILED;
                break;
            }
        }
    }
    state->next = next;
    state->bits = bits;
    state->count = count;
    state->dest = dest;
    state->history = history;
    return result;
}

/*
 * The careful loop, for the last bytes of input. Fewer than 56 bits may be in
 * hand: fields are then decoded as if zeros followed, and a bit count that
 * went negative means the token ran past the input, which is the reference's
 * truncation (zeros cannot complete a code that the real bits did not: the
 * codes are prefix-free). The count is checked before anything is decided on
 * what was read.
 */
explode_result decode_careful(decoder_state *state, bool coded_literals)
{
    decoder_state s = *state;
    const value_entry *const distances = DISTANCE_TABLES[s.dictionary_bits - 4].entries;
    for (;;) {
        while (s.count <= REFILLED_BITS && s.next < s.end) {
            s.bits |= static_cast<uint64_t>(*s.next++) << s.count;
            s.count += 8;
        }

        if ((s.bits & 1) == 0) {
            uint32_t byte;
            if (coded_literals) {
                const symbol_entry entry =
                    *after_flag(LITERAL_TABLE.entries, s.bits, LITERAL_TABLE_BITS);
                byte = entry.symbol;
                s.bits >>= 1 + entry.code_bits;
                s.count -= 1 + entry.code_bits;
            } else {
                byte = low_bits(s.bits >> 1, 8);
                s.bits >>= 9;
                s.count -= 9;
            }
            if (s.count < 0)
                return EXPLODE_TRUNCATED;
            *s.dest++ = static_cast<uint8_t>(byte);
        } else {
            const length_entry length_code =
                *after_flag(LENGTH_TABLE.entries, s.bits, LENGTH_TABLE_BITS);
            const uint32_t length = field_value(length_code, s.bits);
            s.bits >>= length_code.total_bits;
            s.count -= length_code.total_bits;
            if (s.count < 0)
                return EXPLODE_TRUNCATED;
            if (length == EXPLODE_END_OF_STREAM)
                break;
            const value_entry distance_code =
                distances[length_code.distance_table + low_bits(s.bits, DISTANCE_TABLE_BITS)];
            const uint32_t distance = field_value(distance_code, s.bits);
            s.bits >>= distance_code.total_bits;
            s.count -= distance_code.total_bits;
            if (s.count < 0)
                return EXPLODE_TRUNCATED;
            if (s.dest - distance < s.history)
                return EXPLODE_BAD_DISTANCE;
            copy_match(s.dest, distance, length);
            s.dest += length;
        }

        if (s.dest >= s.out->bytes + 2 * EXPLODE_WINDOW_SIZE) {
            s.history = s.out->bytes;
            s.dest = pass_full_block(s.out, s.dest);
            if (s.dest == nullptr)
                return EXPLODE_WRITE_FAILED;
        }
    }
    state->dest = s.dest;
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

    output_buffer out;
    out.sink = sink;
    out.sink_context = sink_context;
    uint8_t *const block = out.bytes + EXPLODE_WINDOW_SIZE;
    decoder_state state = {data + 2, data + length, 0, 0, block, block, dictionary_bits, &out};
    const int fast = literal_mode == 1 ? decode_fast<true>(&state) : decode_fast<false>(&state);
    explode_result result = fast == FAST_NEAR_END ? decode_careful(&state, literal_mode == 1)
                                                  : static_cast<explode_result>(fast);
    if (result != EXPLODE_OK)
        return result;
    /* The last, partial block goes out at the end marker. */
    const uint32_t pending = static_cast<uint32_t>(state.dest - block);
    return pending != 0 && !sink(sink_context, block, pending) ? EXPLODE_WRITE_FAILED : EXPLODE_OK;
}
