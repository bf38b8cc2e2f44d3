// SHA-256 of a byte string as 64 lowercase hex digits, through the library's digest.
#pragma once

#include <cstdio>
#include <string>

#include "digest/sha256.h"

namespace qvtest {

inline std::string sha256_hex(const std::string &bytes) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    unsigned char d[32];
    sha256_final(&ctx, d);
    char hex[65];
    for (int i = 0; i < 32; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

}  // namespace qvtest
