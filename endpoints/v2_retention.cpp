// POST /v2/_retention: one retention pass over every repository's tags, answered with the
// pass's JSON report. Every other method is refused before storage is touched.
#include "endpoints/v2_retention.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "endpoints/query_flags.h"
#include "frontend/config_text.h"
#include "frontend/oci_common.h"
#include "frontend/qv_cgi.h"
#include "frontend/v2_auth.h"
#include "storage/reg_storage.h"

namespace {

// The pass takes ints. A larger request is capped, never wrapped: keep_n=4294967297 must mean
// "keep everything", not "keep 1".
int clamp_to_int(int64_t v) {
    if (v < 0) return 0;
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

int dry_run_param(int fallback) {
    return qv::endpoints::dry_run_flag("dry_run", fallback);
}

// "0", and "false", "no" or "off" in any letter case, are off; any other non-empty text is on;
// empty leaves the default.
int include_latest_param(const char *value, int fallback) {
    const std::string_view v(value);
    if (v.empty()) return fallback;
    if (v == "0") return 0;
    for (const std::string_view off : {"false", "no", "off"})
        if (equals_ignoring_case(v, off)) return 0;
    return 1;
}

// Used only when the value starts with a digit; the digits that follow are read and anything
// after them is ignored. Otherwise the configured default stands.
int count_param(const char *value, int64_t fallback) {
    const std::string_view v(value);
    if (v.empty() || v.front() < '0' || v.front() > '9') return clamp_to_int(fallback);
    int64_t n = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n, 10);
    (void)end;
    if (ec == std::errc::result_out_of_range) return INT_MAX;
    return clamp_to_int(n);
}

}  // namespace

extern "C" int handle_v2_retention(void) {
    const qv::frontend::ConfigSnapshot config;  // one read of config.json for the request
    // A pass deletes tags: once the operator closes /v2 to anonymous clients, this route is
    // closed like every other. Without authentication configured nothing changes.
    if (registry_auth_enabled() && !registry_auth_check()) return 0;
    if (std::strcmp(cgi_method(), "POST") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for retention endpoint");

    if (oci_init_storage() != 0)
        oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");

    const int dry_run = dry_run_param(0);
    const int64_t keep_default = oci_retention_keep_n();
    const int keep_n = count_param(cgi_query("keep_n"), keep_default);
    const int64_t days_default = oci_retention_days();
    const int days = count_param(cgi_query("days"), days_default);
    const int protect = oci_retention_protect_latest();
    const int include_latest = include_latest_param(cgi_query("include_latest"), protect ? 0 : 1);

    int truncated = 0;
    const char *report = reg_retention_json(dry_run, keep_n, days, include_latest, &truncated);
    if (report == nullptr) {
        const char *why = reg_storage_last_error();
        oci_send_error(500, "STORAGE_ERROR",
                       (why != nullptr && *why != '\0') ? why : "retention pass failed");
    }
    oci_send_json(200, report);
    return 0;
}
