/*
 * implode_encoder.cc - finds matches and writes them through the token writer.
 *
 * Matches of 3 or more come from a hash chain over the next three bytes. It
 * links each position to the previous one with the same hash through a ring
 * of 4096 slots, the farthest any dictionary reaches: a slot is overwritten
 * only once its position is out of reach, so a walk stops at the first
 * position too far back and never follows a stale link.
 *
 * A match of length 2 may only reach 256 bytes back and pays only at a short
 * distance, so it needs no chain: a small table keeps the latest position of
 * each hashed byte pair, and a lookup that finds another pair or a position
 * out of reach is simply no match.
 *
 * Positions are stored plus one, so that zero means "none" and fresh tables
 * need no filling, and in 32 bits, to keep the tables in cache; past 4 GiB of
 * input a stored position is no longer the real one, lies far out of reach
 * and so only costs matches. The chain heads are sized to the input, so that
 * encoding thousands of tiny inputs in a test stays cheap.
 *
 * Normal mode is lazy by one byte: before taking a match it looks whether the
 * next position starts a longer one. Odd-choices mode is greedy and, at
 * random, replaces the normal choice with a literal, the nearest length-2
 * match, a length-2 match exactly 256 back, the farthest longer match (exactly
 * at the dictionary's limit when there is one), the longest match however
 * long the chain, or the normal match cut shorter. Each exercises
 * a decoder path that ordinary data reaches rarely.
 */
#include <cstring>

#include "explode/explode_internal.h"
#include "tools/implode_encoder.h"
#include "tools/seeded_random.h"

namespace {

enum {
    FAR_REACH = 4096,     /* the largest distance any dictionary size allows */
    MAX_CHAIN_STEPS = 16, /* candidates looked at per position in normal mode */
    LAZY_LIMIT = 64,      /* a match this long is taken without looking further */
    MIN_HASH_BITS = 8,
    MAX_HASH_BITS = 15,
    PAIR_HASH_BITS = 12,
    FULL_WALK = FAR_REACH + 1 /* enough steps to visit every position within reach */
};

struct match {
    uint32_t length; /* 0: none */
    uint32_t distance;
};

/* Code lengths by symbol, each array with room for the longest code's expansion. */
struct code_costs {
    uint8_t literal[EXPLODE_MAX_SYMBOLS]; /* bits of a literal token, flag included */
    uint8_t length[EXPLODE_MAX_SYMBOLS];
    uint8_t distance[EXPLODE_MAX_SYMBOLS];
};

struct encoder {
    const uint8_t *data;
    size_t size;
    int dictionary_bits;
    uint32_t max_distance;
    std::vector<uint32_t> head;        /* by hash of three bytes: the latest position */
    std::vector<uint32_t> link;        /* by position modulo FAR_REACH: the one before */
    std::vector<uint32_t> pair_latest; /* by hash of two bytes: the latest position */
    int hash_bits;
    size_t inserted; /* positions below this are in the tables */
    uint64_t odd_state;
    uint32_t next_cut; /* rotates the lengths odd choices cut matches to */
    const code_costs *costs;
    implode_writer writer;
    implode_stats *stats;
};

code_costs make_costs(int literal_mode)
{
    code_costs costs;
    explode_expand_code_lengths(EXPLODE_LITERAL_CODE_LENGTHS, sizeof(EXPLODE_LITERAL_CODE_LENGTHS),
                                costs.literal);
    explode_expand_code_lengths(EXPLODE_LENGTH_CODE_LENGTHS, sizeof(EXPLODE_LENGTH_CODE_LENGTHS),
                                costs.length);
    explode_expand_code_lengths(EXPLODE_DISTANCE_CODE_LENGTHS,
                                sizeof(EXPLODE_DISTANCE_CODE_LENGTHS), costs.distance);
    for (uint8_t &bits : costs.literal)
        bits = static_cast<uint8_t>(1 + (literal_mode == 1 ? bits : 8));
    return costs;
}

const code_costs &costs_for(int literal_mode)
{
    static const code_costs plain = make_costs(0);
    static const code_costs coded = make_costs(1);
    return literal_mode == 1 ? coded : plain;
}

int hash_bits_for(size_t size)
{
    int bits = MIN_HASH_BITS;
    while (bits < MAX_HASH_BITS && (size_t{1} << bits) < size)
        ++bits;
    return bits;
}

uint32_t triple_hash(const encoder *e, size_t position)
{
    const uint8_t *p = e->data + position;
    const uint32_t key =
        static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    return (key * 2654435761u) >> (32 - e->hash_bits);
}

uint32_t pair_hash(const encoder *e, size_t position)
{
    const uint8_t *p = e->data + position;
    const uint32_t key = static_cast<uint32_t>(p[0]) << 8 | p[1];
    return (key * 2654435761u) >> (32 - PAIR_HASH_BITS);
}

/* Puts every position before @position into the tables. */
void insert_until(encoder *e, size_t position)
{
    for (; e->inserted < position; ++e->inserted) {
        const size_t p = e->inserted;
        const uint32_t stamp = static_cast<uint32_t>(p + 1);
        if (p + 3 <= e->size) {
            uint32_t &head = e->head[triple_hash(e, p)];
            e->link[p % FAR_REACH] = head;
            head = stamp;
        }
        if (p + 2 <= e->size)
            e->pair_latest[pair_hash(e, p)] = stamp;
    }
}

uint32_t common_length(const uint8_t *a, const uint8_t *b, uint32_t limit)
{
    uint32_t length = 0;
    while (length + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + length, 8);
        std::memcpy(&y, b + length, 8);
        if (x != y) {
            while (a[length] == b[length])
                ++length;
            return length;
        }
        length += 8;
    }
    while (length < limit && a[length] == b[length])
        ++length;
    return length;
}

uint32_t longest_possible(const encoder *e, size_t position)
{
    const size_t left = e->size - position;
    return left < IMPLODE_MAX_MATCH ? static_cast<uint32_t>(left) : uint32_t{IMPLODE_MAX_MATCH};
}

/* The latest earlier position with the same hash of three bytes, plus one, or 0. */
uint32_t chain_start(const encoder *e, size_t position)
{
    return position + 3 <= e->size ? e->head[triple_hash(e, position)] : 0;
}

/* The longest match of 3 or more within the dictionary, the nearest of equals. */
match longest_far_match(const encoder *e, size_t position, int max_steps)
{
    const uint32_t limit = longest_possible(e, position);
    const uint8_t *here = e->data + position;
    match best = {0, 0};
    size_t candidate = chain_start(e, position);
    for (int step = 0; candidate != 0 && step < max_steps; ++step) {
        const size_t earlier = candidate - 1;
        const size_t distance = position - earlier;
        if (distance > e->max_distance)
            break;
        const uint8_t *there = e->data + earlier;
        if (there[best.length] == here[best.length]) {
            const uint32_t length = common_length(there, here, limit);
            if (length > best.length) {
                best = {length, static_cast<uint32_t>(distance)};
                if (length == limit)
                    break;
            }
        }
        candidate = e->link[earlier % FAR_REACH];
    }
    return best.length >= 3 ? best : match{0, 0};
}

/* A match of length 2 within 256 bytes, at the latest position with the same pair. */
match nearest_short_match(const encoder *e, size_t position)
{
    const size_t latest = e->pair_latest[pair_hash(e, position)];
    if (latest == 0 || position - (latest - 1) > IMPLODE_MAX_SHORT_DISTANCE)
        return {0, 0};
    const uint8_t *here = e->data + position;
    const uint8_t *there = e->data + latest - 1;
    if (there[0] != here[0] || there[1] != here[1])
        return {0, 0};
    return {2, static_cast<uint32_t>(here - there)};
}

uint32_t match_cost(const encoder *e, match m)
{
    const int low_bits = m.length == 2 ? 2 : e->dictionary_bits;
    const uint32_t length_bits = m.length == 2 ? e->costs->length[1] : e->costs->length[0];
    return 1 + length_bits + e->costs->distance[(m.distance - 1) >> low_bits] +
           static_cast<uint32_t>(low_bits);
}

/*
 * Whether @m takes fewer bits than literals for its bytes. Only lengths 2 and
 * 3 can lose: four literals take at least 20 bits, a match of 4 at most 18.
 */
bool match_pays(const encoder *e, size_t position, match m)
{
    if (m.length > 3)
        return true;
    uint32_t literal_bits = 0;
    for (uint32_t i = 0; i < m.length; ++i)
        literal_bits += e->costs->literal[e->data[position + i]];
    return match_cost(e, m) < literal_bits;
}

/* The longest match at @position within the usual chain walk, or none. */
match candidate_match(encoder *e, size_t position)
{
    if (position + 2 > e->size)
        return {0, 0};
    insert_until(e, position);
    const match far = longest_far_match(e, position, MAX_CHAIN_STEPS);
    return far.length != 0 ? far : nearest_short_match(e, position);
}

/* The best match at @position in normal mode, or none when literals are cheaper. */
match find_match(encoder *e, size_t position)
{
    const match best = candidate_match(e, position);
    if (best.length == 0 || !match_pays(e, position, best))
        return {0, 0};
    return best;
}

void emit_literal(encoder *e, size_t position)
{
    implode_put_literal(&e->writer, e->data[position]);
    if (e->stats != nullptr)
        ++e->stats->literals;
}

void emit_match(encoder *e, match m)
{
    implode_put_match(&e->writer, m.length, m.distance);
    implode_stats *stats = e->stats;
    if (stats == nullptr)
        return;
    ++stats->matches;
    ++stats->length_counts[m.length];
    if (m.length == 2)
        stats->farthest_short_matches += m.distance == IMPLODE_MAX_SHORT_DISTANCE;
    else
        stats->farthest_matches += m.distance == e->max_distance;
}

void encode_lazily(encoder *e)
{
    size_t position = 0;
    match current = find_match(e, position);
    while (position < e->size) {
        if (current.length == 0) {
            emit_literal(e, position++);
            current = find_match(e, position);
            continue;
        }
        if (current.length < LAZY_LIMIT) {
            const match next = find_match(e, position + 1);
            if (next.length > current.length) {
                emit_literal(e, position++);
                current = next;
                continue;
            }
        }
        emit_match(e, current);
        position += current.length;
        current = find_match(e, position);
    }
}

/* A match at exactly @distance, if one of at least @min_length starts there. */
match match_at(const encoder *e, size_t position, uint32_t distance, uint32_t min_length)
{
    const uint32_t limit = longest_possible(e, position);
    if (distance > position || limit < min_length)
        return {0, 0};
    const uint32_t length = common_length(e->data + position - distance, e->data + position,
                                          min_length == 2 ? 2 : limit);
    return length >= min_length ? match{length, distance} : match{0, 0};
}

/* The match of 3 or more reaching farthest back: the exact limit first, then the chain's end. */
match farthest_match(const encoder *e, size_t position)
{
    match m = match_at(e, position, e->max_distance, 3);
    if (m.length != 0)
        return m;
    size_t candidate = chain_start(e, position);
    for (int step = 0; candidate != 0 && step < FULL_WALK; ++step) {
        const size_t distance = position - (candidate - 1);
        if (distance > e->max_distance)
            break;
        const match here = match_at(e, position, static_cast<uint32_t>(distance), 3);
        if (here.length != 0)
            m = here;
        candidate = e->link[(candidate - 1) % FAR_REACH];
    }
    return m;
}

/*
 * @m cut to the next length in a rotation, still a valid match: where matches
 * are long, every length appears within a few hundred cuts.
 */
match shortened(encoder *e, match m)
{
    const uint32_t shortest = m.distance <= IMPLODE_MAX_SHORT_DISTANCE ? 2 : 3;
    if (m.length <= shortest)
        return m;
    return {shortest + e->next_cut++ % (m.length - shortest + 1), m.distance};
}

match odd_choice(encoder *e, size_t position)
{
    if (position + 2 > e->size)
        return {0, 0};
    const match normal = candidate_match(e, position);
    switch (next_random(&e->odd_state) % 8) {
    case 0:
        return {0, 0};
    case 1:
        return nearest_short_match(e, position);
    case 2:
        return match_at(e, position, IMPLODE_MAX_SHORT_DISTANCE, 2);
    case 3:
        return farthest_match(e, position);
    case 4:
        return longest_far_match(e, position, FULL_WALK);
    case 5:
        return shortened(e, normal);
    default:
        return normal;
    }
}

void encode_with_odd_choices(encoder *e)
{
    for (size_t position = 0; position < e->size;) {
        const match m = odd_choice(e, position);
        if (m.length == 0) {
            emit_literal(e, position++);
        } else {
            emit_match(e, m);
            position += m.length;
        }
    }
}

} // namespace

std::vector<uint8_t> implode(const uint8_t *data, size_t size, const implode_options &options,
                             implode_stats *stats)
{
    encoder e;
    e.data = data;
    e.size = size;
    e.dictionary_bits = options.dictionary_bits;
    e.max_distance = implode_max_distance(options.dictionary_bits);
    e.hash_bits = hash_bits_for(size);
    e.head.assign(size_t{1} << e.hash_bits, 0);
    e.link.assign(FAR_REACH, 0);
    e.pair_latest.assign(size_t{1} << PAIR_HASH_BITS, 0);
    e.inserted = 0;
    e.odd_state = options.odd_choices_seed;
    e.next_cut = static_cast<uint32_t>(options.odd_choices_seed % IMPLODE_MAX_MATCH);
    e.costs = &costs_for(options.literal_mode);
    e.stats = stats;
    if (stats != nullptr)
        *stats = implode_stats();

    implode_begin(&e.writer, options.literal_mode, options.dictionary_bits);
    e.writer.bytes.reserve(size / 2 + 16);
    if (options.odd_choices_seed != 0)
        encode_with_odd_choices(&e);
    else
        encode_lazily(&e);
    implode_put_end_marker(&e.writer);
    return implode_finish(&e.writer);
}
