// Compression back ends of the SHA-256 module and the switch between them. Internal: the
// public interface is digest/sha256.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::sha256 {

// Compresses n consecutive 64-byte blocks into state. The blocks may be unaligned.
using CompressFn = void (*)(uint32_t state[8], const uint8_t *blocks, size_t n);

void compress_portable(uint32_t state[8], const uint8_t *blocks, size_t n);
// Only call when shani_supported(): built for the x86 SHA extensions.
void compress_shani(uint32_t state[8], const uint8_t *blocks, size_t n);
// True when this CPU runs the SHA extensions (with SSSE3 and SSE4.1) and this build has them.
bool shani_supported();

// The FIPS 180-4 round constants, shared by both back ends.
inline constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

enum class Backend { automatic, portable, shani };

// Chooses the back end for every later call: automatic picks the fastest this CPU runs. For
// tests and benchmarks; false (nothing changed) when the choice cannot run here.
bool select_backend(Backend choice);
// The back end in use now (never automatic).
Backend active_backend();
// The function in use now.
CompressFn active_compress();

}  // namespace qv::sha256
