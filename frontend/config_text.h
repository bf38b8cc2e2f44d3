// The first bytes of config.json in the working directory, as NUL-terminated text.
// Every reader reads the file afresh through a window of its own size; nothing is cached.
// The text ends at its first NUL byte, as the key searches are plain C-string searches.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "frontend/stdio_file.h"
#include "platform/os.h"

namespace qv::frontend {

inline constexpr const char *kConfigFile = "config.json";

template <std::size_t N>
class ConfigText {
  public:
    // Reads at most N - 1 bytes; a file that does not open gives the empty text.
    ConfigText() {
        buf_[0] = '\0';
        // A pipe or a directory in the file's place reads as no file.
        if (FilePtr f = FilePtr(qv::os::open_read_regular(kConfigFile))) {
            opened_ = true;
            const std::size_t n = std::fread(buf_.data(), 1, N - 1, f.get());
            buf_[n] = '\0';
        }
    }

    bool opened() const { return opened_; }
    const char *c_str() const { return buf_.data(); }
    std::string_view text() const { return std::string_view(buf_.data()); }

  private:
    std::array<char, N> buf_;
    bool opened_ = false;
};

// White space allowed between a key's colon and its value.
inline constexpr bool is_config_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Position of the first non-space character at or after pos.
inline std::size_t skip_config_space(std::string_view text, std::size_t pos) {
    while (pos < text.size() && is_config_space(text[pos]))
        ++pos;
    return pos;
}

inline constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace qv::frontend
