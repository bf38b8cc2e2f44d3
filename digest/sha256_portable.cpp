// Portable SHA-256 compression: all 64 rounds unrolled, the schedule kept in a 16-word ring.
#include <bit>

#include "digest/sha256_backend.h"

namespace qv::sha256 {

namespace {

inline uint32_t load_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint32_t big_sigma0(uint32_t x) {
    return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
inline uint32_t big_sigma1(uint32_t x) {
    return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
// The schedule is off the critical path, so its sigmas nest two rotations, which saves the
// register copy that two independent rotations of one value cost.
inline uint32_t small_sigma0(uint32_t x) {  // rotr 7 ^ rotr 18 ^ shr 3
    return std::rotr(std::rotr(x, 11) ^ x, 7) ^ (x >> 3);
}
inline uint32_t small_sigma1(uint32_t x) {  // rotr 17 ^ rotr 19 ^ shr 10
    return std::rotr(std::rotr(x, 2) ^ x, 17) ^ (x >> 10);
}
inline uint32_t choose(uint32_t e, uint32_t f, uint32_t g) {
    return g ^ (e & (f ^ g));
}

// Word t of the message schedule; from t = 16 on it replaces word t - 16 in the ring.
inline uint32_t schedule(int t, uint32_t (&w)[16]) {
    if (t >= 16) {
        w[t & 15] +=
            small_sigma1(w[(t - 2) & 15]) + w[(t - 7) & 15] + small_sigma0(w[(t - 15) & 15]);
    }
    return w[t & 15];
}

// One round, with the working variables renamed instead of shifted. Maj(a, b, c) is taken as
// b ^ ((a ^ b) & (b ^ c)), where b ^ c is the previous round's a ^ b: one operation less on
// the critical path.
inline void sha_round(int t, uint32_t a, uint32_t b, uint32_t &d, uint32_t e, uint32_t f,
                      uint32_t g, uint32_t &h, uint32_t &b_xor_c, uint32_t (&w)[16]) {
    h += big_sigma1(e) + choose(e, f, g) + kRoundConstants[t] + schedule(t, w);
    d += h;
    const uint32_t a_xor_b = a ^ b;
    h += big_sigma0(a) + (b ^ (a_xor_b & b_xor_c));
    b_xor_c = a_xor_b;
}

}  // namespace

void compress_portable(uint32_t state[8], const uint8_t *blocks, size_t n) {
    for (; n > 0; --n, blocks += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = load_be32(blocks + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        uint32_t b_xor_c = b ^ c;

        // Unrolled whole, so t is a constant in every round and the schedule test vanishes.
#pragma GCC unroll 8
        for (int t = 0; t < 64; t += 8) {
            sha_round(t + 0, a, b, d, e, f, g, h, b_xor_c, w);
            sha_round(t + 1, h, a, c, d, e, f, g, b_xor_c, w);
            sha_round(t + 2, g, h, b, c, d, e, f, b_xor_c, w);
            sha_round(t + 3, f, g, a, b, c, d, e, b_xor_c, w);
            sha_round(t + 4, e, f, h, a, b, c, d, b_xor_c, w);
            sha_round(t + 5, d, e, g, h, a, b, c, b_xor_c, w);
            sha_round(t + 6, c, d, f, g, h, a, b, b_xor_c, w);
            sha_round(t + 7, b, c, e, f, g, h, a, b_xor_c, w);
        }

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

}  // namespace qv::sha256
