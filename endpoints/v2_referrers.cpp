// GET /v2/<name>/referrers/<digest>: an image index of the manifests whose subject is that
// digest, written as the engine finds them, so that any number of them takes bounded memory.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "endpoints/v2_internal.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {

constexpr const char kIndexType[] = "application/vnd.oci.image.index.v1+json";

// The answer's head goes out with its first descriptor, or at the end: until then a failure
// can still be answered with its own status.
struct Writer {
    std::string type;  // the artifactType filter, or empty
    bool started = false;
    int64_t bytes = 0;
    int count = 0;
    void put(const char *text) {
        const size_t len = std::strlen(text);
        std::fwrite(text, 1, len, stdout);
        bytes += static_cast<int64_t>(len);
    }
    void start() {
        if (started) return;
        started = true;
        begin(200);
        header(std::string("Content-Type: ") + kIndexType);
        if (!type.empty()) header("OCI-Filters-Applied: artifactType");
        end_headers();
        put("{\"schemaVersion\":2,\"mediaType\":\"");
        put(kIndexType);
        put("\",\"manifests\":[");
    }
};

int write_descriptor(const char *descriptor, void *ctx) {
    auto *w = static_cast<Writer *>(ctx);
    w->start();
    if (w->count++ > 0) w->put(",");
    w->put(descriptor);
    return 0;
}

}  // namespace

void handle_referrers(const Route &r) {
    if (r.method != Method::Get) method_not_allowed();
    if (!valid_digest(r.rest)) fail(400, "DIGEST_INVALID", "invalid digest: " + r.rest);
    // A media type holds no space: one here was a "+" the client left unencoded.
    std::string type = cgi_query("artifactType");
    std::replace(type.begin(), type.end(), ' ', '+');

    Writer w;
    w.type = type;
    // A failure after the first descriptor cannot change the status any more; what was found
    // so far is still a well-formed index.
    const int rc =
        reg_referrers_each(r.repo.c_str(), r.rest.c_str(), type.c_str(), write_descriptor, &w);
    if (rc < 0 && !w.started) storage_error("referrers listing failed");
    w.start();
    w.put("]}\n");
    std::fflush(stdout);
    qv_audit_note_bytes(w.bytes);
}

}  // namespace v2
