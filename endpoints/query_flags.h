// Yes/no query parameters of the endpoints that delete, read so that asking for a dry run is
// never taken for a real one.
#pragma once

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

}  // namespace qv::endpoints
