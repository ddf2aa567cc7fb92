/*
 * explode_reference.cc - the bit-serial decoder, exactly as the format is
 * defined: one code bit per step and one byte per copy through the ring.
 * It is the measure for the fast decoder.
 */
#include <cstring>

#include "explode/explode_reference.h"

namespace {

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
 * Stores @byte in the window; when the window is full, hands all of it to the
 * sink (a false return sets write_failed) and starts over.
 */
void put_byte(explode_state *state, uint8_t byte)
{
    state->window[state->window_position++] = byte;
    if (state->window_position == EXPLODE_WINDOW_SIZE) {
        if (!state->sink(state->sink_context, state->window, EXPLODE_WINDOW_SIZE))
            state->write_failed = true;
        state->window_position = 0;
    }
}

struct fixed_codes {
    huffman_table literal;
    huffman_table length;
    huffman_table distance;
};

void build_fixed_codes(fixed_codes *codes)
{
    huffman_build(&codes->literal, EXPLODE_LITERAL_CODE_LENGTHS,
                  sizeof(EXPLODE_LITERAL_CODE_LENGTHS));
    huffman_build(&codes->length, EXPLODE_LENGTH_CODE_LENGTHS, sizeof(EXPLODE_LENGTH_CODE_LENGTHS));
    huffman_build(&codes->distance, EXPLODE_DISTANCE_CODE_LENGTHS,
                  sizeof(EXPLODE_DISTANCE_CODE_LENGTHS));
}

/* Decodes a match length; 0 when the input ran out. */
uint32_t decode_match_length(bit_input *input, const huffman_table *length_code)
{
    const int symbol = huffman_decode(input, length_code);
    if (symbol < 0)
        return 0;
    const uint32_t extra = get_bits(input, EXPLODE_LENGTH_EXTRA_BITS[symbol]);
    if (input->exhausted)
        return 0;
    return EXPLODE_LENGTH_BASE[symbol] + extra;
}

/* Decodes the distance of a match of @length; 0 when the input ran out. */
uint32_t decode_distance(bit_input *input, const huffman_table *distance_code, uint32_t length,
                         int dictionary_bits)
{
    const int symbol = huffman_decode(input, distance_code);
    if (symbol < 0)
        return 0;
    const int low_bits = length == 2 ? 2 : dictionary_bits;
    const uint32_t low = get_bits(input, low_bits);
    if (input->exhausted)
        return 0;
    return (static_cast<uint32_t>(symbol) << low_bits) + low + 1;
}

/* Hands the last partial window to the sink at the end marker. */
explode_result finish(explode_state *state)
{
    if (state->window_position != 0 &&
        !state->sink(state->sink_context, state->window, state->window_position))
        return EXPLODE_WRITE_FAILED;
    return EXPLODE_OK;
}

} // namespace

explode_result explode_reference(const uint8_t *data, uint32_t length, explode_sink sink,
                                 void *sink_context)
{
    fixed_codes codes;
    build_fixed_codes(&codes);

    explode_state state;
    std::memset(&state, 0, sizeof(state));
    state.input.data = data;
    state.input.length = length;
    state.sink = sink;
    state.sink_context = sink_context;
    bit_input *input = &state.input;

    const uint32_t literal_mode = get_bits(input, 8);
    if (input->exhausted)
        return EXPLODE_TRUNCATED;
    if (literal_mode > 1)
        return EXPLODE_BAD_LITERAL_MODE;
    const uint32_t dictionary_bits = get_bits(input, 8);
    if (input->exhausted)
        return EXPLODE_TRUNCATED;
    if (dictionary_bits < 4 || dictionary_bits > 6)
        return EXPLODE_BAD_DICTIONARY;

    uint32_t flag = get_bits(input, 1);
    if (input->exhausted)
        return EXPLODE_TRUNCATED;
    uint64_t total_out = 0;
    for (;;) {
        uint32_t produced;
        if (flag == 1) {
            const uint32_t match_length = decode_match_length(input, &codes.length);
            if (match_length == 0)
                return EXPLODE_TRUNCATED;
            if (match_length == EXPLODE_END_OF_STREAM)
                return finish(&state);
            const uint32_t distance = decode_distance(input, &codes.distance, match_length,
                                                      static_cast<int>(dictionary_bits));
            if (distance == 0)
                return EXPLODE_TRUNCATED;
            if (distance > total_out)
                return EXPLODE_BAD_DISTANCE;
            uint32_t from = (state.window_position - distance) % EXPLODE_WINDOW_SIZE;
            for (uint32_t i = 0; i < match_length; ++i) {
                put_byte(&state, state.window[from]);
                from = (from + 1) % EXPLODE_WINDOW_SIZE;
            }
            produced = match_length;
        } else {
            int byte;
            if (literal_mode == 1)
                byte = huffman_decode(input, &codes.literal);
            else
                byte = static_cast<int>(get_bits(input, 8));
            if (byte < 0 || input->exhausted)
                return EXPLODE_TRUNCATED;
            put_byte(&state, static_cast<uint8_t>(byte));
            produced = 1;
        }
        if (state.write_failed)
            return EXPLODE_WRITE_FAILED;
        flag = get_bits(input, 1);
        total_out += produced;
        if (input->exhausted)
            return EXPLODE_TRUNCATED;
    }
}

const explode_decoder EXPLODE_DECODERS[2] = {
    {"explode", explode},
    {"explode_reference", explode_reference},
};
