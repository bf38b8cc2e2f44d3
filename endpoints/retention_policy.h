// The retention policy of a request: keep_n, days and include_latest from the query, with
// the settings' values where a parameter is absent or unusable. The retention pass and its
// preview read it alike, so that a preview shows what the same values would delete.
#pragma once

#include <charconv>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "frontend/config_rules.h"
#include "frontend/oci_common.h"
#include "endpoints/query_flags.h"
#include "frontend/qv_cgi.h"
#include "storage/reg_storage.h"

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

// Whether the request names any of the policy's parameters: then it runs with them (and the
// settings' values) over the whole store; without, the configured rules run, when there are.
inline bool policy_parameters_given() {
    for (const char *name : {"keep_n", "days", "include_latest", "untagged_days"})
        if (cgi_query(name)[0] != '\0') return true;
    return false;
}

inline RetentionPolicy requested_retention() {
    using namespace policy_detail;
    return {
        count_param(cgi_query("keep_n"), oci_retention_keep_n()),
        count_param(cgi_query("days"), oci_retention_days()),
        include_latest_param(cgi_query("include_latest"), oci_retention_protect_latest() ? 0 : 1),
        count_param(cgi_query("untagged_days"), oci_retention_untagged_days())};
}

// What a retention request gets: the report (the preview's, with preview), or a status, code
// and message. Immutable tags hold in either kind of pass; rules whose configuration cannot be
// used fail the request rather than run in part.
struct RetentionAnswer {
    const char *json;
    int status;
    const char *code;
    std::string message;
};

inline RetentionAnswer run_requested_retention(bool preview, int dry_run, int *truncated) {
    const qv::frontend::ConfigRules config;
    std::string why;
    if (!qv::frontend::apply_immutable_tags(config, &why))
        return {nullptr, 500, "CONFIG_INVALID", why};
    const char *json = nullptr;
    if (!policy_parameters_given() && !config.policies_error().empty())
        return {nullptr, 500, "CONFIG_INVALID", "config.json: " + config.policies_error()};
    if (!policy_parameters_given() && config.has_policies()) {
        json = preview ? reg_retention_rules_preview_json(config.rules(), config.rule_count())
                       : reg_retention_rules_json(dry_run, config.rules(), config.rule_count(),
                                                  truncated);
        const std::string_view error = reg_storage_last_error();
        if (json == nullptr && error.starts_with("retention rule "))
            return {nullptr, 500, "CONFIG_INVALID", "config.json: " + std::string(error)};
    } else {
        const RetentionPolicy p = requested_retention();
        const reg_retention_policy policy{p.keep_n, p.days, p.include_latest, p.untagged_days};
        json = preview ? reg_retention_policy_preview_json(&policy)
                       : reg_retention_policy_json(dry_run, &policy, truncated);
    }
    if (json == nullptr) {
        const char *error = reg_storage_last_error();
        return {nullptr, 500, "STORAGE_ERROR",
                error != nullptr && *error != '\0' ? error
                : preview                          ? "retention preview failed"
                                                   : "retention pass failed"};
    }
    return {json, 200, "", ""};
}

}  // namespace qv::endpoints
