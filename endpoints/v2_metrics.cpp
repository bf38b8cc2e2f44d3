// GET /v2/_metrics: what the statistics report and the collection records say, in the
// Prometheus text format, for a monitoring system to scrape.
#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "endpoints/v2_internal.h"
#include "frontend/qv_audit.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

Doc parse(const char *text) {
    return Doc(text != nullptr ? yyjson_read(text, std::strlen(text), 0) : nullptr);
}

int64_t number(const Doc &doc, const char *key) {
    yyjson_val *v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), key) : nullptr;
    return yyjson_is_int(v) ? yyjson_get_sint(v) : 0;
}

bool flag(const Doc &doc, const char *key) {
    return doc && yyjson_is_true(yyjson_obj_get(yyjson_doc_get_root(doc.get()), key));
}

bool phase_is(const Doc &doc, const char *phase) {
    const char *text =
        doc ? yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "phase")) : nullptr;
    return text != nullptr && std::strcmp(text, phase) == 0;
}

void gauge(std::string *out, const char *name, const char *help, const std::string &value) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name +
            " " + value + "\n";
}
void gauge(std::string *out, const char *name, const char *help, int64_t value) {
    gauge(out, name, help, std::to_string(value));
}

}  // namespace

void handle_metrics(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const Doc stats = parse(reg_storage_get_stats_json());
    if (!stats) storage_error("statistics report failed");
    // Each engine answer lives in one shared buffer: parsed before the next call.
    const Doc running = parse(reg_gc_progress_json());
    const Doc last = parse(reg_gc_last_json());

    std::string text;
    gauge(&text, "qvreg_repositories", "Repositories in the store.", number(stats, "repositories"));
    gauge(&text, "qvreg_tags", "Tags over every repository.", number(stats, "tags"));
    gauge(&text, "qvreg_blobs", "Blobs stored.", number(stats, "blobs"));
    gauge(&text, "qvreg_blob_bytes", "Bytes of the blobs stored.", number(stats, "blob_bytes"));
    gauge(&text, "qvreg_uploads", "Uploads in progress.", number(stats, "active_uploads"));
    gauge(&text, "qvreg_upload_bytes", "Bytes held by uploads in progress.",
          number(stats, "upload_bytes"));
    gauge(&text, "qvreg_gc_running", "1 while a collection runs.",
          flag(running, "running") ? 1 : 0);
    gauge(&text, "qvreg_gc_last_start_timestamp_seconds",
          "When the last real collection started (Unix time; 0: none has run).",
          number(last, "started_unix"));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f",
                  static_cast<double>(number(last, "elapsed_ms")) / 1000.0);
    gauge(&text, "qvreg_gc_last_duration_seconds", "How long the last real collection took.",
          seconds);
    gauge(&text, "qvreg_gc_last_blobs_deleted", "Blobs the last real collection deleted.",
          number(last, "blobs_deleted"));
    gauge(&text, "qvreg_gc_last_freed_bytes", "Bytes the last real collection freed.",
          number(last, "bytes_freed"));
    gauge(&text, "qvreg_gc_last_cancelled", "1 when the last real collection was cancelled.",
          flag(last, "cancelled") ? 1 : 0);
    gauge(&text, "qvreg_gc_last_failed", "1 when the last real collection failed.",
          phase_is(last, "failed") ? 1 : 0);

    begin(200);
    header("Content-Type: text/plain; version=0.0.4");
    header("Content-Length: " + std::to_string(text.size()));
    end_headers();
    if (r.method != Method::Head) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        qv_audit_note_bytes(static_cast<int64_t>(text.size()));
    }
    std::fflush(stdout);
}

}  // namespace v2
