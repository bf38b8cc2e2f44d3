// POST /v2/_retention: one retention pass over every repository's tags, answered with the
// pass's JSON report. Every other method is refused before storage is touched.
#include "endpoints/v2_retention.h"

#include <cstring>

#include "endpoints/query_flags.h"
#include "endpoints/retention_policy.h"
#include "endpoints/same_site.h"
#include "frontend/config_text.h"
#include "frontend/oci_common.h"
#include "frontend/qv_cgi.h"
#include "frontend/v2_auth.h"
#include "storage/reg_storage.h"

namespace {

int dry_run_param(int fallback) {
    return qv::endpoints::dry_run_flag("dry_run", fallback);
}

}  // namespace

extern "C" int handle_v2_retention(void) {
    const qv::frontend::ConfigSnapshot config;  // one read of config.json for the request
    // A pass deletes tags: once the operator closes /v2 to anonymous clients, this route is
    // closed like every other. Without authentication configured nothing changes.
    if (registry_auth_enabled() && (!registry_auth_check() || !registry_auth_require_admin()))
        return 0;
    if (std::strcmp(cgi_method(), "POST") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for retention endpoint");
    if (qv::endpoints::cross_site_request())
        oci_send_error(403, "DENIED", "cross-site request refused");

    if (oci_init_storage() != 0)
        oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");

    int truncated = 0;
    const qv::endpoints::RetentionAnswer answer =
        qv::endpoints::run_requested_retention(false, dry_run_param(0), &truncated);
    if (answer.json == nullptr) oci_send_error(answer.status, answer.code, answer.message.c_str());
    const char *report = answer.json;
    oci_send_json(200, report);
    return 0;
}
