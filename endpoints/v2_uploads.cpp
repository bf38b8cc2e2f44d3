// /v2/<name>/blobs/uploads/[<id>]: blob uploads, chunked (POST, PATCHes, PUT ?digest=),
// one-shot (POST ?digest= with the body) or mounted from the shared store, plus status and
// cancel. Bodies stream from standard input to the upload file in bounded batches.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "endpoints/v2_internal.h"
#include "frontend/oci_common.h"
#include "frontend/qv_cgi.h"
#include "frontend/v2_auth.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {

// The engine opens the upload file once per append, so reads are gathered into batches.
constexpr size_t kBatch = 1 << 20;

struct Appender {
    const char *id;
    std::unique_ptr<unsigned char[]> buf{new unsigned char[kBatch]};
    size_t used = 0;
    bool failed = false;

    bool flush() {
        if (used == 0) return true;
        failed = reg_blob_append_chunk(id, buf.get(), used) != 0;
        used = 0;
        return !failed;
    }
};

int append_sink(void *ctx, const unsigned char *data, size_t len) {
    auto *a = static_cast<Appender *>(ctx);
    while (len > 0) {
        const size_t take = std::min(len, kBatch - a->used);
        std::memcpy(a->buf.get() + a->used, data, take);
        a->used += take;
        data += take;
        len -= take;
        if (a->used == kBatch && !a->flush()) return -1;
    }
    return 0;
}

std::string location(const Route &r, const std::string &id) {
    return "Location: /v2/" + r.repo + "/blobs/uploads/" + id;
}

std::string range(int64_t size) {
    return "Range: 0-" + std::to_string(size > 0 ? size - 1 : 0);
}

int64_t size_or_unknown(const std::string &id) {
    int64_t size = 0;
    if (reg_blob_upload_size(id.c_str(), &size) != 0)
        fail(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry: " + id);
    return size;
}

// An upload refused or broken midway is discarded: what it holds can no longer be trusted to
// be what the client sent, and an abandoned upload would hold off the collector.
[[noreturn]] void discard(const std::string &id, int status, const char *code,
                          const std::string &message) {
    reg_blob_cancel_upload(id.c_str());
    fail(status, code, message);
}

// Stored bytes, the upload so far and the body about to arrive must stay within the quota.
void check_quota(const std::string &id, int64_t incoming) {
    const int64_t quota = oci_quota_bytes();
    if (quota == 0) return;
    char msg[160];
    if (!oci_quota_check(id.c_str(), msg, sizeof msg)) discard(id, 403, "DENIED", msg);
    int64_t pending = 0;
    if (incoming <= 0 || reg_blob_upload_size(id.c_str(), &pending) != 0) return;
    const int64_t used = oci_quota_used_bytes();
    if (pending <= quota - incoming && used <= quota - incoming - pending) return;
    char used_text[32], quota_text[32];
    oci_fmt_bytes(used, used_text);
    oci_fmt_bytes(quota, quota_text);
    qv_snprintf(msg, sizeof msg, "quota exceeded: %s of %s used", used_text, quota_text);
    discard(id, 403, "DENIED", msg);
}

// Appends the whole request body, or answers and ends the request.
void append_body(const std::string &id) {
    const int64_t announced = content_length("SIZE_INVALID");
    check_quota(id, announced);
    Appender a{id.c_str()};
    uint64_t total = 0;
    const bool read_ok = cgi_stream_post(append_sink, &a, &total) == 0;
    if (!read_ok || !a.flush()) {
        if (a.failed) {
            // Finished or cancelled by another request meanwhile: nothing left to discard.
            if (message_starts("upload not found"))
                fail(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry: " + id);
            const std::string why = engine_message();
            discard(id, 500, "STORAGE_ERROR", why.empty() ? "append failed" : why);
        }
        discard(id, 400, "BLOB_UPLOAD_INVALID", "request body could not be read");
    }
    const bool from_file = body_from_file();
    if (!from_file && static_cast<int64_t>(total) != announced)
        discard(
            id, 400, "SIZE_INVALID",
            "body of " + std::to_string(total) + " bytes, announced " + std::to_string(announced));
    // A body file is taken whole, whatever CONTENT_LENGTH says or whether it is set at all:
    // the check above saw only the announced size, so what arrived is checked again.
    if (from_file) check_quota(id, 0);
}

void send_created(const Route &r, const std::string &digest) {
    send_empty(
        201, {"Location: /v2/" + r.repo + "/blobs/" + digest, "Docker-Content-Digest: " + digest});
}

void finish(const Route &r, const std::string &id, const std::string &digest) {
    char stored[72];
    if (reg_blob_finish_upload(id.c_str(), digest.c_str(), stored) != 0) {
        if (message_starts("digest mismatch")) fail(400, "DIGEST_INVALID", engine_message());
        if (message_starts("upload not found"))
            fail(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry: " + id);
        storage_error("storing the blob failed");
    }
    send_created(r, digest);
}

std::string digest_param() {
    const std::string digest = cgi_query("digest");
    if (!valid_digest(digest)) fail(400, "DIGEST_INVALID", "invalid digest: " + digest);
    return digest;
}

// An upload's owner: the repository it was started in and who started it.
std::string owner_of(const Route &r) {
    return r.repo + "\n" + registry_auth_user();
}

// An upload is continued, finished, read or cancelled only through the repository it was
// started in (elsewhere it is unknown) and only by the user who started it. One without a
// record began before records were kept.
void check_owner(const Route &r) {
    char owner[1024];
    const int rc = reg_upload_owner(r.rest.c_str(), owner, sizeof owner);
    if (rc == 1) return;
    if (rc != 0) storage_error("the upload's owner cannot be read");
    const std::string_view text(owner);
    const size_t cut = text.find('\n');
    if (text.substr(0, cut) != r.repo)
        fail(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry: " + r.rest);
    if (cut == std::string_view::npos || text.substr(cut + 1) != registry_auth_user())
        fail(403, "DENIED", "upload " + r.rest + " was started by another user");
}

void start(const Route &r) {
    const std::string mount = cgi_query("mount");
    // Where rights differ by repository, a mount takes only a blob that the repository it
    // names (which the caller may pull) holds; otherwise an upload starts, as for any blob the
    // registry cannot mount.
    const std::string from = cgi_query("from");
    const bool mountable =
        registry_auth_allows_everything() ||
        (!from.empty() && reg_repository_holds_blob(from.c_str(), mount.c_str()) == 1);
    if (!mount.empty() && valid_digest(mount) && mountable && reg_blob_exists(mount.c_str()) == 1) {
        send_created(r, mount);
        return;
    }
    const bool one_shot = cgi_query("digest")[0] != '\0';
    const std::string digest = one_shot ? digest_param() : "";
    char id[37];
    if (reg_blob_start_upload(id) != 0) storage_error("cannot start an upload");
    if (one_shot) {
        append_body(id);
        finish(r, id, digest);
        return;
    }
    // Handed out only once its repository and user are on record.
    if (reg_upload_set_owner(id, owner_of(r).c_str()) != 0) {
        const std::string why = engine_message();
        discard(id, 500, "STORAGE_ERROR", why);
    }
    send_empty(202, {location(r, id), std::string("Docker-Upload-UUID: ") + id, range(0)});
}

// Content-Range "a-b" or "bytes a-b[/n]": the first offset must be where the upload stands.
void check_content_range(const Route &r, int64_t size) {
    std::string_view cr(cgi_env("HTTP_CONTENT_RANGE", nullptr));
    if (cr.empty()) return;
    if (cr.starts_with("bytes ")) cr.remove_prefix(6);
    int64_t first = 0;
    size_t i = 0;
    for (; i < cr.size() && cr[i] >= '0' && cr[i] <= '9' && i < 18; ++i)
        first = first * 10 + (cr[i] - '0');
    if (i == 0 || i == cr.size() || cr[i] != '-')
        fail(400, "BLOB_UPLOAD_INVALID", "malformed Content-Range: " + std::string(cr));
    if (first != size)
        fail(416, "BLOB_UPLOAD_INVALID",
             "Content-Range starts at " + std::to_string(first) + ", upload holds " +
                 std::to_string(size) + " bytes",
             {location(r, r.rest), "Docker-Upload-UUID: " + r.rest, range(size)});
}

void patch(const Route &r) {
    const int64_t size = size_or_unknown(r.rest);
    check_content_range(r, size);
    append_body(r.rest);
    send_empty(202, {location(r, r.rest), "Docker-Upload-UUID: " + r.rest,
                     range(size_or_unknown(r.rest))});
}

}  // namespace

void handle_upload(const Route &r) {
    if (r.rest.empty()) {
        if (r.method != Method::Post) method_not_allowed();
        start(r);
        return;
    }
    const bool known_method = is_read(r.method) || r.method == Method::Patch ||
                              r.method == Method::Put || r.method == Method::Delete;
    if (!known_method) method_not_allowed();
    if (!valid_upload_id(r.rest))
        fail(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry: " + r.rest);
    check_owner(r);
    switch (r.method) {
        case Method::Patch:
            patch(r);
            return;
        case Method::Put: {
            const std::string digest = digest_param();
            size_or_unknown(r.rest);
            append_body(r.rest);
            finish(r, r.rest, digest);
            return;
        }
        case Method::Delete:
            size_or_unknown(r.rest);
            if (reg_blob_cancel_upload(r.rest.c_str()) != 0) storage_error("cancel failed");
            send_empty(204);
            return;
        default:
            send_empty(204, {location(r, r.rest), "Docker-Upload-UUID: " + r.rest,
                             range(size_or_unknown(r.rest))});
    }
}

}  // namespace v2
