/*
 * seeded_random.h - the one random generator of the tests, the fuzz seeds,
 * the test encoder's odd choices and the benchmarks. It is splitmix64: any
 * seed, zero included, starts a full-period sequence, and a seed gives the
 * same numbers, so the same inputs, on every machine and every run.
 */
#ifndef VARLIX_TOOLS_SEEDED_RANDOM_H
#define VARLIX_TOOLS_SEEDED_RANDOM_H

#include <cstddef>
#include <cstdint>
#include <vector>

/* next_random() - the next number of the sequence at @state, which it advances. */
inline uint64_t next_random(uint64_t *state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

/* random_below() - the next number of the sequence at @state, modulo @bound (not 0). */
inline uint32_t random_below(uint64_t *state, uint32_t bound)
{
    return static_cast<uint32_t>(next_random(state) % bound);
}

/* random_bytes() - @size bytes drawn from the sequence that @seed starts. */
inline std::vector<uint8_t> random_bytes(size_t size, uint64_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (uint8_t &byte : bytes)
        byte = static_cast<uint8_t>(next_random(&seed) >> 56);
    return bytes;
}

#endif
