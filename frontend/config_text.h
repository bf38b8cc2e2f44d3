// The first bytes of config.json in the working directory, as NUL-terminated text.
// Every reader sees the file through a window of its own size. The text ends at its first
// NUL byte, as the key searches are plain C-string searches.
// A request reads the file once: its handler holds a ConfigSnapshot, from which every reader
// takes its window. Without one (the tools, most tests) each reader reads the file afresh.
#pragma once

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/os.h"

namespace qv::frontend {

inline constexpr const char *kConfigFile = "config.json";

// The widest window any reader takes, plus its terminating NUL.
inline constexpr std::size_t kConfigWindow = 8192;

// Reads at most size - 1 bytes into buf and terminates them; false when the file does not
// open (a pipe or a directory in its place reads as no file), leaving the empty text. With
// denied, also whether a file is there that this process may not read (or whose disk fails):
// settings it may hold, a sign-in among them, cannot be known.
inline bool read_config_window(char *buf, std::size_t size, bool *denied = nullptr) {
    std::size_t n = 0;
    const int err = qv::os::read_regular(kConfigFile, buf, size - 1, &n);
    buf[n] = '\0';
    if (denied != nullptr) *denied = err == EACCES || err == EPERM || err == EIO;
    return err == 0 || n > 0;
}

class ConfigSnapshot {
  public:
    ConfigSnapshot() : outer_(current_) {
        opened_ = read_config_window(buf_.data(), buf_.size(), &denied_);
        len_ = std::char_traits<char>::length(buf_.data());
        current_ = this;
    }
    ~ConfigSnapshot() { current_ = outer_; }
    ConfigSnapshot(const ConfigSnapshot &) = delete;
    ConfigSnapshot &operator=(const ConfigSnapshot &) = delete;

    static const ConfigSnapshot *current() { return current_; }
    bool opened() const { return opened_; }
    bool denied() const { return denied_; }
    // The first size - 1 bytes, as a fresh read through that window would give them.
    void window(char *out, std::size_t size) const {
        const std::size_t n = std::min(len_, size - 1);
        std::char_traits<char>::copy(out, buf_.data(), n);
        out[n] = '\0';
    }

  private:
    std::array<char, kConfigWindow> buf_;
    std::size_t len_ = 0;
    bool opened_ = false;
    bool denied_ = false;
    const ConfigSnapshot *outer_;
    static inline const ConfigSnapshot *current_ = nullptr;
};

template <std::size_t N>
class ConfigText {
    static_assert(N <= kConfigWindow, "a window wider than the snapshot's");

  public:
    // Reads at most N - 1 bytes; a file that does not open gives the empty text.
    ConfigText() {
        if (const ConfigSnapshot *snap = ConfigSnapshot::current()) {
            opened_ = snap->opened();
            denied_ = snap->denied();
            snap->window(buf_.data(), N);
        } else {
            opened_ = read_config_window(buf_.data(), N, &denied_);
        }
    }

    bool opened() const { return opened_; }
    bool denied() const { return denied_; }
    const char *c_str() const { return buf_.data(); }
    std::string_view text() const { return std::string_view(buf_.data()); }

  private:
    std::array<char, N> buf_;
    bool opened_ = false;
    bool denied_ = false;
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
