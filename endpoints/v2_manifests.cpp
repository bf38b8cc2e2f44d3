// /v2/<name>/manifests/<reference>: image manifests and indexes by tag or digest, stored with
// the content type the client sent and served back with it.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <yyjson.h>

#include "digest/sha256.h"
#include "endpoints/v2_internal.h"
#include "frontend/config_rules.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {

// The engine reads a manifest back into its 1 MiB result buffer with a NUL after it; a longer
// one would be stored whole and served cut.
constexpr size_t kMaxManifest = (1 << 20) - 1;

int gather_sink(void *ctx, const unsigned char *data, size_t len) {
    auto *body = static_cast<std::string *>(ctx);
    if (body->size() + len > kMaxManifest) return -1;
    body->append(reinterpret_cast<const char *>(data), len);
    return 0;
}

std::string digest_of(const std::string &bytes) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    unsigned char d[32];
    sha256_final(&ctx, d);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "sha256:";
    for (const unsigned char b : d) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

// What get and delete report when the reference does not lead to a stored manifest.
[[noreturn]] void lookup_failed(const Route &r) {
    if (message_starts("DENIED: ")) fail(409, "DENIED", engine_message().substr(8));
    if (message_starts("invalid digest reference"))
        fail(400, "DIGEST_INVALID", "invalid digest: " + r.rest);
    if (message_starts("invalid repository name"))
        fail(400, "NAME_INVALID", "invalid repository name: " + r.repo);
    // Unknown to the client, which pushing it again mends; the message tells what happened.
    if (message_starts("manifest body damaged")) fail(404, "MANIFEST_UNKNOWN", engine_message());
    if (message_starts("tag not found") || message_starts("manifest not found") ||
        message_starts("manifest body not found") || message_starts("corrupt tag link"))
        fail(404, "MANIFEST_UNKNOWN", "manifest unknown: " + r.repo + ":" + r.rest);
    storage_error("manifest lookup failed");
}

[[noreturn]] void put_failed() {
    const std::string why = engine_message();
    if (why.starts_with("DENIED: ")) fail(409, "DENIED", why.substr(8));
    if (why.starts_with("BLOB_UNKNOWN: "))
        fail(400, "MANIFEST_BLOB_UNKNOWN",
             "manifest references unknown blob or manifest: " + why.substr(14));
    if (why.starts_with("TAG_INVALID: "))
        fail(400, "TAG_INVALID", "invalid tag: " + why.substr(13));
    if (why.starts_with("invalid repository name")) fail(400, "NAME_INVALID", why);
    if (why.starts_with("manifest") || why.starts_with("empty reference"))
        fail(400, "MANIFEST_INVALID", why);
    storage_error("storing the manifest failed");
}

// A content type goes out as a header line: one with control bytes (a manifest may declare
// any string as its mediaType) would split the response.
std::string header_safe_type(const char *type) {
    for (const char *p = type; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) return "application/octet-stream";
    }
    return type;
}

// The subject's digest of a stored manifest body, when it has one fit for a header.
std::string subject_of(const std::string &body) {
    if (body.find("\"subject\"") == std::string::npos) return "";
    const std::unique_ptr<yyjson_doc, void (*)(yyjson_doc *)> doc(
        yyjson_read(body.data(), body.size(), 0), yyjson_doc_free);
    const char *digest = yyjson_get_str(
        yyjson_obj_get(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "subject"), "digest"));
    return digest != nullptr && valid_digest(digest) ? digest : "";
}

void put(const Route &r) {
    const int64_t announced = content_length("MANIFEST_INVALID");
    if (announced > static_cast<int64_t>(kMaxManifest))
        fail(400, "MANIFEST_INVALID", "manifest larger than 1 MiB");
    std::string body;
    if (cgi_stream_post(gather_sink, &body, nullptr) != 0)
        fail(400, "MANIFEST_INVALID", "manifest body could not be read or is larger than 1 MiB");
    // A body cut short in transit is not the manifest the client sent.
    const bool from_file = body_from_file();
    if (!from_file && static_cast<int64_t>(body.size()) != announced)
        fail(400, "MANIFEST_INVALID",
             "body of " + std::to_string(body.size()) + " bytes, announced " +
                 std::to_string(announced));
    const std::string digest = digest_of(body);
    if (r.rest.starts_with("sha256:") && r.rest != digest) {
        fail(400, "DIGEST_INVALID",
             valid_digest(r.rest) ? "manifest bytes have digest " + digest + ", not " + r.rest
                                  : "invalid digest: " + r.rest);
    }
    char stored[72];
    if (reg_manifest_put(r.repo.c_str(), r.rest.c_str(), body.data(), body.size(),
                         cgi_env("CONTENT_TYPE", nullptr), stored) != 0)
        put_failed();
    const std::string location = "Location: /v2/" + r.repo + "/manifests/" + stored;
    const std::string content_digest = std::string("Docker-Content-Digest: ") + stored;
    // Tells the client its attachment is found through the referrers route.
    const std::string subject = subject_of(body);
    if (!subject.empty()) {
        send_empty(201, {location, content_digest, "OCI-Subject: " + subject});
        return;
    }
    send_empty(201, {location, content_digest});
}

void get(const Route &r) {
    char type[128];
    char digest[72];
    const char *body = reg_manifest_get(r.repo.c_str(), r.rest.c_str(), type, digest);
    if (body == nullptr) lookup_failed(r);
    const size_t len = std::strlen(body);
    begin(200);
    header("Content-Type: " + header_safe_type(type));
    header("Content-Length: " + std::to_string(len));
    header(std::string("Docker-Content-Digest: ") + digest);
    header(std::string("Etag: \"") + digest + "\"");
    // The type is the pusher's: a browser that opens a body typed as a page must not run it
    // on this origin, where the operator's page and credentials live.
    header("X-Content-Type-Options: nosniff");
    header("Content-Security-Policy: sandbox");
    end_headers();
    if (r.method == Method::Head) return;
    std::fwrite(body, 1, len, stdout);
    std::fflush(stdout);
    qv_audit_note_bytes(static_cast<int64_t>(len));
    reg_manifest_pulled(r.repo.c_str(), digest);  // after the answer: it never holds one up
}

}  // namespace

void protect_immutable_tags() {
    std::string why;
    if (!qv::frontend::apply_immutable_tags(&why)) fail(500, "CONFIG_INVALID", why);
}

void handle_manifest(const Route &r) {
    const bool known_method =
        is_read(r.method) || r.method == Method::Put || r.method == Method::Delete;
    if (!known_method) method_not_allowed();
    if (!is_read(r.method)) protect_immutable_tags();
    if (r.method == Method::Put) {
        put(r);
    } else if (r.method == Method::Delete) {
        if (reg_manifest_delete(r.repo.c_str(), r.rest.c_str()) != 0) lookup_failed(r);
        send_empty(202);
    } else {
        get(r);
    }
}

}  // namespace v2
