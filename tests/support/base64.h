// Base64 for the tests' Basic credentials, in either alphabet, padded or not.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace qvtest {

inline std::string b64(const std::string &bytes, bool url = false, bool pad = true) {
    const std::string abc =
        std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") +
        (url ? "-_" : "+/");
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t k = std::min<size_t>(3, bytes.size() - i);
        uint32_t g = 0;
        for (size_t j = 0; j < 3; ++j)
            g = (g << 8) | (j < k ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        for (size_t j = 0; j <= k; ++j)
            out += abc[(g >> (18 - 6 * j)) & 63];
        if (pad) out.append(3 - k, '=');
    }
    return out;
}

inline std::string basic(const std::string &user, const std::string &password) {
    return "Basic " + b64(user + ":" + password);
}

}  // namespace qvtest
