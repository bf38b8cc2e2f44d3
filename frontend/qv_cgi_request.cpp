// Request access: CGI variables, the method tests and query-parameter lookup.
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "frontend/qv_cgi.h"

namespace {

constexpr std::size_t kSlotCount = 8;
constexpr std::size_t kSlotSize = 512;

// Decoded values live in rotating buffers, so a handful of lookups stay valid together
// without the caller owning any memory.
std::array<std::array<char, kSlotSize>, kSlotCount> s_slots;
std::size_t s_slot = 0;

// A variable counts only when it is set and not empty.
const char *present_env(const char *name) {
    const char *v = std::getenv(name);
    return (v != nullptr && v[0] != '\0') ? v : nullptr;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Form-decodes value into out (at most kSlotSize - 1 bytes stored, then a NUL).
void decode_into(std::string_view value, char *out) {
    std::size_t o = 0;
    for (std::size_t i = 0; i < value.size() && o < kSlotSize - 1; ++i) {
        const char c = value[i];
        if (c == '+') {
            out[o++] = ' ';
        } else if (c == '%' && i + 2 < value.size() && hex_value(value[i + 1]) >= 0 &&
                   hex_value(value[i + 2]) >= 0) {
            out[o++] = static_cast<char>(hex_value(value[i + 1]) * 16 + hex_value(value[i + 2]));
            i += 2;
        } else {
            out[o++] = c;
        }
    }
    out[o] = '\0';
}

// The raw value of the first segment whose key is exactly name; false when none matches.
bool find_param(std::string_view query, std::string_view name, std::string_view *value) {
    std::size_t pos = 0;
    while (pos < query.size()) {
        std::size_t end = query.find('&', pos);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view segment = query.substr(pos, end - pos);
        const std::size_t eq = segment.find('=');
        const std::string_view key = segment.substr(0, eq);
        if (!segment.empty() && key == name) {
            *value = eq == std::string_view::npos ? std::string_view() : segment.substr(eq + 1);
            return true;
        }
        pos = end + 1;
    }
    return false;
}

// Without a query string the parameter may come from a variable of the same name, unless
// its value holds both ';' and ':' (a search path rather than a parameter).
const char *query_from_env(const char *name) {
    const char *v = present_env(name);
    if (v == nullptr) return "";
    if (std::strchr(v, ';') != nullptr && std::strchr(v, ':') != nullptr) return "";
    return v;
}

}  // namespace

extern "C" const char *cgi_env(const char *name, const char *fallback) {
    if (const char *v = present_env(name)) return v;
    return fallback != nullptr ? fallback : "";
}

extern "C" const char *cgi_method(void) {
    return cgi_env("REQUEST_METHOD", "GET");
}

extern "C" int cgi_is_post(void) {
    const char *m = present_env("REQUEST_METHOD");
    return m != nullptr && std::strncmp(m, "PO", 2) == 0 ? 1 : 0;
}

extern "C" int cgi_is_head(void) {
    const char *m = present_env("REQUEST_METHOD");
    return m != nullptr && std::strncmp(m, "HEAD", 4) == 0 ? 1 : 0;
}

extern "C" const char *cgi_path_info(void) {
    return cgi_env("PATH_INFO", "/");
}

extern "C" const char *cgi_query(const char *name) {
    if (name == nullptr || name[0] == '\0') return "";
    s_slot = (s_slot + 1) % kSlotCount;
    char *out = s_slots[s_slot].data();
    out[0] = '\0';

    const char *query = present_env("QUERY_STRING");
    if (query == nullptr) return query_from_env(name);

    std::string_view value;
    if (!find_param(query, name, &value)) return "";
    decode_into(value, out);
    return out;
}
