// Administration: garbage collection (run, progress, cancel), the store check and the
// statistics report.
#include "endpoints/query_flags.h"
#include "endpoints/v2_internal.h"
#include "storage/reg_storage.h"

namespace v2 {

void handle_gc(const Route &r) {
    if (r.method == Method::Post) {
        const char *report = reg_gc_json(flag_param("dry_run", 0));
        if (report != nullptr) {
            send_json(200, report);
            return;
        }
        // A run that cannot start or would sweep on an incomplete view is refused, not failed:
        // the store is fine and the same request can succeed later.
        if (message_starts("not initialized") || message_starts("out of memory") ||
            message_starts("collection's deletions could not be flushed") ||
            message_starts("collection lease cannot be written"))
            storage_error("collection failed");
        fail(409, "GC_REFUSED", engine_message());
    }
    if (is_read(r.method)) {
        send_json(200, reg_gc_progress_json());
        return;
    }
    if (r.method == Method::Delete) {
        if (reg_gc_cancel() != 0) storage_error("cancel request failed");
        send_json(202, "{}");
        return;
    }
    method_not_allowed();
}

void handle_fsck(const Route &r) {
    if (r.method != Method::Post) method_not_allowed();
    const bool repair = qv::endpoints::yes_flag("repair");
    const char *report = reg_fsck_json(repair ? 1 : 0, nullptr, nullptr, nullptr);
    if (report != nullptr) {
        send_json(200, report);
        return;
    }
    if (message_starts("a collection is running") || message_starts("another store repair"))
        fail(409, "FSCK_REFUSED", engine_message());
    storage_error("store check failed");
}

void handle_stats(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const char *report = reg_storage_get_stats_json();
    if (report == nullptr) storage_error("statistics report failed");
    send_json(200, report);
}

// For a watchdog or a load balancer: the store can take writes now, or 503.
void handle_health(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    if (reg_storage_health() != 0) fail(503, "STORAGE_ERROR", engine_message());
    send_json(200, "{\"status\":\"ok\"}");
}

}  // namespace v2
