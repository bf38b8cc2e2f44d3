// The retention policy of a request: keep_n, days and include_latest from the query, with
// the settings' values where a parameter is absent or unusable. The retention pass and its
// preview read it alike, so that a preview shows what the same values would delete.
#pragma once

#include <charconv>
#include <climits>
#include <cstdint>
#include <string_view>

#include "frontend/oci_common.h"
#include "endpoints/query_flags.h"
#include "frontend/qv_cgi.h"

namespace qv::endpoints {

struct RetentionPolicy {
    int keep_n;
    int days;
    int include_latest;
    int untagged_days;
};

namespace policy_detail {

// The pass takes ints. A larger request is capped, never wrapped: keep_n=4294967297 must mean
// "keep everything", not "keep 1".
inline int clamp_to_int(int64_t v) {
    if (v < 0) return 0;
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// "0", and "false", "no" or "off" in any letter case, are off; any other non-empty text is on;
// empty leaves the default.
inline int include_latest_param(const char *value, int fallback) {
    const std::string_view v(value);
    if (v.empty()) return fallback;
    if (v == "0") return 0;
    for (const std::string_view off : {"false", "no", "off"})
        if (equals_ignoring_case(v, off)) return 0;
    return 1;
}

// Used only when the value starts with a digit; the digits that follow are read and anything
// after them is ignored. Otherwise the configured default stands.
inline int count_param(const char *value, int64_t fallback) {
    const std::string_view v(value);
    if (v.empty() || v.front() < '0' || v.front() > '9') return clamp_to_int(fallback);
    int64_t n = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n, 10);
    (void)end;
    if (ec == std::errc::result_out_of_range) return INT_MAX;
    return clamp_to_int(n);
}

}  // namespace policy_detail

// The settings' policy alone (what the form starts from).
inline RetentionPolicy configured_retention() {
    return {policy_detail::clamp_to_int(oci_retention_keep_n()),
            policy_detail::clamp_to_int(oci_retention_days()),
            oci_retention_protect_latest() ? 0 : 1,
            policy_detail::clamp_to_int(oci_retention_untagged_days())};
}

inline RetentionPolicy requested_retention() {
    using namespace policy_detail;
    return {
        count_param(cgi_query("keep_n"), oci_retention_keep_n()),
        count_param(cgi_query("days"), oci_retention_days()),
        include_latest_param(cgi_query("include_latest"), oci_retention_protect_latest() ? 0 : 1),
        count_param(cgi_query("untagged_days"), oci_retention_untagged_days())};
}

}  // namespace qv::endpoints
