// Bounded copy, format and path join into caller-owned fixed buffers.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frontend/qv_cgi.h"
#include "platform/os.h"

namespace {

// Both separators are accepted on input, whatever the host writes.
bool is_input_sep(char c) {
    return c == '/' || c == '\\';
}

}  // namespace

extern "C" void qv_strlcpy(char *dst, const char *src, size_t size) {
    if (dst == nullptr || size == 0) return;
    if (src == nullptr) {
        dst[0] = '\0';
        return;
    }
    size_t n = 0;
    while (n + 1 < size && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
}

extern "C" int qv_snprintf(char *dst, size_t size, const char *fmt, ...) {
    if (dst == nullptr || size == 0) return 0;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(dst, size, fmt, ap);
    va_end(ap);
    if (n >= 0 && static_cast<size_t>(n) < size) return n;
    // Cut or failed: report what stands in the buffer, so callers can add it to a position.
    dst[size - 1] = '\0';
    return static_cast<int>(size - 1);
}

extern "C" void qv_path_join(char *dst, size_t size, const char *a, const char *b) {
    if (dst == nullptr || size == 0) return;
    dst[0] = '\0';
    if (a == nullptr || a[0] == '\0') {
        if (b != nullptr) qv_strlcpy(dst, b, size);
        return;
    }
    if (b == nullptr || b[0] == '\0') {
        qv_strlcpy(dst, a, size);
        return;
    }
    qv_strlcpy(dst, a, size);
    size_t len = std::strlen(dst);
    if (len > 0 && !is_input_sep(dst[len - 1]) && len + 1 < size) {
        dst[len++] = qv::os::kSep;
        dst[len] = '\0';
    }
    while (is_input_sep(*b))
        ++b;
    if (len >= size) return;
    const size_t room = size - 1 - len;
    const size_t n = std::min(std::strlen(b), room);
    std::memcpy(dst + len, b, n);
    dst[len + n] = '\0';
}
