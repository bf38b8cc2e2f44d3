// Yes/no query parameters of the endpoints that delete, read so that asking for a dry run is
// never taken for a real one.
#pragma once

#include <cctype>
#include <initializer_list>
#include <string_view>

#include "frontend/qv_cgi.h"

namespace qv::endpoints {

// Whether the query string has a segment whose raw key is name, value or not. cgi_query cannot
// tell "dry_run" and "dry_run=" from an absent parameter; a deleting endpoint must.
inline bool query_names(std::string_view name) {
    std::string_view q(cgi_env("QUERY_STRING", nullptr));
    while (!q.empty()) {
        const size_t amp = q.find('&');
        const std::string_view segment = q.substr(0, amp);
        if (segment.substr(0, segment.find('=')) == name) return true;
        if (amp == std::string_view::npos) break;
        q.remove_prefix(amp + 1);
    }
    return false;
}

// Named with no value or an empty one asks for a dry run: reading that as "use the default"
// would delete for a caller who asked to delete nothing. Otherwise exactly "0" or "false" is
// a real run, any other value a dry run, and an absent parameter the default.
inline int dry_run_flag(const char *name, int fallback) {
    const std::string_view v(cgi_query(name));
    if (v.empty()) return query_names(name) ? 1 : fallback;
    return (v == "0" || v == "false") ? 0 : 1;
}

inline bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

// A flag that makes an endpoint change the store where it would otherwise only look (repair):
// only an explicit yes ("1", or "true", "yes" or "on" in any letter case) is on; anything
// else, absent, empty or misspelt, leaves the store alone.
inline bool yes_flag(const char *name) {
    const std::string_view v(cgi_query(name));
    if (v == "1") return true;
    for (const std::string_view yes : {"true", "yes", "on"})
        if (equals_ignoring_case(v, yes)) return true;
    return false;
}

}  // namespace qv::endpoints
