// SHA-256 compression with the x86 SHA extensions. Compiled for them per function, so the
// build needs no flags; selected only after cpuid says the CPU has them.
#include "digest/sha256_backend.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#include <utility>

namespace qv::sha256 {

namespace {

constexpr unsigned kLeaf1EcxSsse3 = 1u << 9;
constexpr unsigned kLeaf1EcxSse41 = 1u << 19;
constexpr unsigned kLeaf7EbxSha = 1u << 29;

#define QV_SHANI_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds of group g (words 4g..4g+3, held in msg[g % 4]); while they run, the schedule
// group g + 4 is formed in the slot that group g frees.
template <int g>
QV_SHANI_TARGET inline __attribute__((always_inline)) void four_rounds(__m128i &abef, __m128i &cdgh,
                                                                       __m128i (&msg)[4]) {
    const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&kRoundConstants[4 * g]));
    __m128i wk = _mm_add_epi32(msg[g % 4], k);
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    if constexpr (g + 4 < 16) {
        // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16] for t = 4g+16 .. 4g+19.
        const __m128i w_minus_7 = _mm_alignr_epi8(msg[(g + 3) % 4], msg[(g + 2) % 4], 4);
        __m128i next = _mm_sha256msg1_epu32(msg[g % 4], msg[(g + 1) % 4]);
        next = _mm_add_epi32(next, w_minus_7);
        msg[g % 4] = _mm_sha256msg2_epu32(next, msg[(g + 3) % 4]);
    }
    wk = _mm_shuffle_epi32(wk, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
}

template <int... g>
QV_SHANI_TARGET inline __attribute__((always_inline)) void all_rounds(
    __m128i &abef, __m128i &cdgh, __m128i (&msg)[4], std::integer_sequence<int, g...>) {
    (four_rounds<g>(abef, cdgh, msg), ...);
}

}  // namespace

bool shani_supported() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    if ((ecx & kLeaf1EcxSsse3) == 0 || (ecx & kLeaf1EcxSse41) == 0) return false;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx & kLeaf7EbxSha) != 0;
}

QV_SHANI_TARGET void compress_shani(uint32_t state[8], const uint8_t *blocks, size_t n) {
    // Message bytes are big-endian words.
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    // The instructions keep the state as the lane pairs ABEF and CDGH.
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; n > 0; --n, blocks += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        const auto *in = reinterpret_cast<const __m128i *>(blocks);
        __m128i msg[4] = {_mm_shuffle_epi8(_mm_loadu_si128(in + 0), byte_swap),
                          _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap),
                          _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap),
                          _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap)};
        all_rounds(abef, cdgh, msg, std::make_integer_sequence<int, 16>{});
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    // Back from ABEF/CDGH to A..H in memory order.
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[4]), hgfe);
}

}  // namespace qv::sha256

#else  // not x86: the extensions do not exist here

namespace qv::sha256 {

bool shani_supported() {
    return false;
}

void compress_shani(uint32_t state[8], const uint8_t *blocks, size_t n) {
    compress_portable(state, blocks, n);
}

}  // namespace qv::sha256

#endif
