// HEAD/GET /v2/<name>/blobs/<digest>: a stored blob, whole or one byte range, written from the
// blob file in bounded chunks. Blobs are shared by every repository, so only the collector
// removes them: DELETE is refused.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "endpoints/v2_internal.h"
#include "frontend/oci_common.h"
#include "platform/os.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "frontend/v2_auth.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {

constexpr size_t kChunk = 1 << 20;

struct FileClose {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

struct Span {
    int64_t first = 0;
    int64_t last = -1;  // inclusive
};

enum class RangeAsk { Whole, Part, Unsatisfiable };

bool read_number(std::string_view text, int64_t *out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

// One "bytes=a-b", "bytes=a-" or "bytes=-n". Anything else (several ranges, other units,
// malformed text) is ignored and the whole blob is sent, as HTTP allows.
RangeAsk parse_range(std::string_view text, int64_t size, Span *span) {
    if (!text.starts_with("bytes=")) return RangeAsk::Whole;
    text.remove_prefix(6);
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos || text.find(',') != std::string_view::npos)
        return RangeAsk::Whole;
    const std::string_view a = text.substr(0, dash), b = text.substr(dash + 1);
    int64_t first = 0, last = 0;
    if (a.empty()) {
        if (!read_number(b, &last)) return RangeAsk::Whole;
        if (last == 0 || size == 0) return RangeAsk::Unsatisfiable;
        span->first = last >= size ? 0 : size - last;
        span->last = size - 1;
        return RangeAsk::Part;
    }
    if (!read_number(a, &first)) return RangeAsk::Whole;
    if (b.empty()) {
        last = size - 1;
    } else if (!read_number(b, &last) || last < first) {
        return RangeAsk::Whole;
    }
    if (first >= size) return RangeAsk::Unsatisfiable;
    span->first = first;
    span->last = last >= size ? size - 1 : last;
    return RangeAsk::Part;
}

// Copies the span to standard output; returns the bytes written.
int64_t copy_out(std::FILE *in, Span span) {
    int64_t left = span.last - span.first + 1, sent = 0;
    // No bigger than the span: a small blob's buffer then needs no mapping of its own.
    const size_t chunk = left < static_cast<int64_t>(kChunk) ? static_cast<size_t>(left) : kChunk;
    const std::unique_ptr<char[]> buf(new char[chunk > 0 ? chunk : 1]);
    while (left > 0) {
        const size_t want = left < static_cast<int64_t>(chunk) ? static_cast<size_t>(left) : chunk;
        const size_t n = std::fread(buf.get(), 1, want, in);
        if (n == 0) break;
        if (std::fwrite(buf.get(), 1, n, stdout) != n) break;
        left -= static_cast<int64_t>(n);
        sent += static_cast<int64_t>(n);
    }
    std::fflush(stdout);
    return sent;
}

// Where the web server sends blob files itself, it names the one directory it sends from
// (REGISTRY_SENDFILE_ROOT); a blob checked here is then handed over by path rather than
// copied through a pipe. The path given is the blob's absolute one, and only when it lies in
// that directory as spelled; otherwise, or when config.json sets "registry_stream_blobs": 1,
// the program streams the bytes itself. Empty: stream.
std::string sendfile_path(const char *path) {
    const std::string_view root(cgi_env("REGISTRY_SENDFILE_ROOT", ""));
    if (!root.starts_with('/') || oci_config_int("\"registry_stream_blobs\"") != 0) return "";
    std::string_view rel(path);
    std::string full;
    if (rel.starts_with('/')) {
        full = rel;
    } else {
        while (rel.starts_with("./"))
            rel.remove_prefix(2);
        full = qv::os::current_dir() + "/" + std::string(rel);
    }
    std::string prefix(root);
    if (!prefix.ends_with('/')) prefix += '/';
    const bool plain = full.find("/./") == std::string::npos &&
                       full.find("/../") == std::string::npos &&
                       full.find("//") == std::string::npos;
    // The server decodes %XX in the value and wants UTF-8: a path holding "%", a control
    // byte or anything beyond ASCII is streamed rather than handed over as another name.
    for (const char c : full) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x21 || b > 0x7e || c == '%') return "";
    }
    return plain && full.starts_with(prefix) ? full : "";
}

[[noreturn]] void blob_unknown(const std::string &digest) {
    fail(404, "BLOB_UNKNOWN", "blob unknown to registry: " + digest);
}

}  // namespace

void handle_blob(const Route &r) {
    if (r.method == Method::Delete)
        fail(405, "UNSUPPORTED",
             "blobs are shared by every repository; only the collector "
             "removes them");
    if (!is_read(r.method)) method_not_allowed();
    if (!valid_digest(r.rest)) fail(400, "DIGEST_INVALID", "invalid digest: " + r.rest);
    // Where rights differ by repository, a blob is reached only through one that holds it.
    if (!registry_auth_allows_everything() &&
        reg_repository_holds_blob(r.repo.c_str(), r.rest.c_str()) != 1)
        blob_unknown(r.rest);
    // The path of a blob present (put back if a collection set it aside, and dated as looked
    // up); opened before the headers go out, so that a blob collected meanwhile is still a
    // clean 404, and its size is that of the file opened.
    char path[4096];
    if (reg_blob_get_filepath(r.rest.c_str(), path, sizeof path) != 0) blob_unknown(r.rest);
    qv::os::FileInfo info{};
    const std::unique_ptr<std::FILE, FileClose> in(qv::os::open_read_regular(path, &info));
    if (!in) blob_unknown(r.rest);
    const int64_t size = info.size;

    Span span{0, size - 1};
    const char *range = cgi_env("HTTP_RANGE", nullptr);
    const RangeAsk ask =
        r.method == Method::Get ? parse_range(range, size, &span) : RangeAsk::Whole;
    if (ask == RangeAsk::Unsatisfiable)
        fail(416, "SIZE_INVALID", "requested range not satisfiable",
             {"Content-Range: bytes */" + std::to_string(size)});

    // A whole blob, asked for without a Range: the web server sends the file.
    if (r.method == Method::Get && range[0] == '\0') {
        if (const std::string handed = sendfile_path(path); !handed.empty()) {
            begin(200);
            header("Content-Type: application/octet-stream");
            header("Docker-Content-Digest: " + r.rest);
            header("X-Sendfile: " + handed);
            end_headers();
            qv_audit_note_bytes(size);
            return;
        }
    }
    begin(ask == RangeAsk::Part ? 206 : 200);
    header("Content-Type: application/octet-stream");
    header("Content-Length: " + std::to_string(span.last - span.first + 1));
    header("Docker-Content-Digest: " + r.rest);
    header("Accept-Ranges: bytes");
    if (ask == RangeAsk::Part)
        header("Content-Range: bytes " + std::to_string(span.first) + "-" +
               std::to_string(span.last) + "/" + std::to_string(size));
    end_headers();
    if (r.method == Method::Head) return;
    if (span.first > 0 && std::fseek(in.get(), static_cast<long>(span.first), SEEK_SET) != 0)
        return;
    qv_audit_note_bytes(copy_out(in.get(), span));
}

}  // namespace v2
