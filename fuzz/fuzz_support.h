// Shared by the harnesses: one input split into fields, a scratch directory removed at exit,
// a checked invariant that stops the fuzzer, and scoped changes of the working directory and
// the environment, so that every input starts from the same process state.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "digest/sha256.h"

// A broken invariant is a finding: say which, then abort so that the input is kept.
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace qvfuzz {

// "sha256:" and the 64 hex digits of the bytes' digest.
inline std::string digest_of(std::string_view bytes) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    uint8_t hash[32];
    sha256_final(&ctx, hash);
    std::string text = "sha256:";
    for (const uint8_t b : hash) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

// The first count - 1 fields end at a NUL byte each (C strings, as the library sees them);
// the last field is the rest of the input and may hold NULs. Missing fields are empty.
inline std::vector<std::string> split_fields(const uint8_t *data, size_t size, size_t count) {
    std::vector<std::string> fields(count);
    const auto *p = reinterpret_cast<const char *>(data);
    size_t at = 0;
    for (size_t i = 0; i + 1 < count && at <= size; ++i) {
        const void *nul = std::memchr(p + at, '\0', size - at);
        const size_t end =
            nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - p) : size;
        fields[i].assign(p + at, end - at);
        at = end + 1;
    }
    if (at <= size) fields[count - 1].assign(p + at, size - at);
    return fields;
}

inline void write_bytes(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

namespace detail {
inline std::string &scratch_path() {
    static std::string path;
    return path;
}
inline void remove_scratch() {
    std::error_code ec;
    if (!scratch_path().empty()) std::filesystem::remove_all(scratch_path(), ec);
}
}  // namespace detail

// A fresh directory under TMPDIR (else /tmp), made at the first call and removed with
// everything in it when the process exits.
inline const std::string &scratch_dir() {
    std::string &path = detail::scratch_path();
    if (path.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qvfuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(templ.data()) != nullptr);
        path = templ;
        std::atexit(detail::remove_scratch);
    }
    return path;
}

// Works in dir until the end of the scope, then goes back: the fuzzer itself reads and
// writes corpus files relative to the directory it was started in.
class InDirectory {
  public:
    explicit InDirectory(const std::string &dir) : before_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() { std::filesystem::current_path(before_); }
    InDirectory(const InDirectory &) = delete;
    InDirectory &operator=(const InDirectory &) = delete;

  private:
    std::filesystem::path before_;
};

// Sets (or, with nullopt, removes) one variable until the end of the scope, then puts back
// what was there before. A name that cannot be a variable (empty, or holding '=') is left
// alone. The value goes in with putenv from a string this object owns: setenv keeps a copy
// of every distinct value for the life of the process, which over millions of inputs is a
// leak no sanitizer reports.
class EnvVar {
  public:
    EnvVar(const std::string &name, const std::optional<std::string> &value) : name_(name) {
        if (name.empty() || name.find('=') != std::string::npos) return;
        if (const char *old = std::getenv(name.c_str())) before_ = old;
        usable_ = true;
        ::unsetenv(name.c_str());
        if (value) {
            entry_ = name + "=" + *value;
            ::putenv(entry_.data());
        }
    }
    ~EnvVar() {
        if (!usable_) return;
        ::unsetenv(name_.c_str());
        // The same value each time: setenv finds its earlier copy and allocates nothing.
        if (before_) ::setenv(name_.c_str(), before_->c_str(), 1);
    }
    EnvVar(const EnvVar &) = delete;
    EnvVar &operator=(const EnvVar &) = delete;
    bool usable() const { return usable_; }

  private:
    std::string name_;
    std::string entry_;
    std::optional<std::string> before_;
    bool usable_ = false;
};

}  // namespace qvfuzz
