// Requests a browser sends on another site's behalf. A browser that holds the operator's
// Basic credentials sends them with any form another site posts here, so the routes that
// change the store refuse such a request. Container clients send neither header.
#pragma once

#include <string_view>

#include "frontend/qv_cgi.h"

namespace qv::endpoints {

inline bool cross_site_request() {
    const std::string_view fetch_site(cgi_env("HTTP_SEC_FETCH_SITE", nullptr));
    if (fetch_site == "cross-site" || fetch_site == "same-site") return true;
    std::string_view origin(cgi_env("HTTP_ORIGIN", nullptr));
    if (origin.empty()) return false;
    const size_t scheme = origin.find("://");
    if (scheme == std::string_view::npos) return true;  // "null" and the like: no site of ours
    origin.remove_prefix(scheme + 3);
    return origin != std::string_view(cgi_env("HTTP_HOST", nullptr));
}

}  // namespace qv::endpoints
