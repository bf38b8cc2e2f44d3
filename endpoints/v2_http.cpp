// Response writers and request helpers shared by every route family.
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "endpoints/v2_internal.h"
#include "endpoints/query_flags.h"
#include "frontend/json_escape.h"
#include "frontend/oci_common.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {

constexpr int64_t kEnvelopeFixedBytes = 38;  // the envelope around its code and message

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Digits only, read as a count; false for anything else (signs, spaces, empty).
bool parse_count(std::string_view text, int64_t *out) {
    if (text.empty()) return false;
    int64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v > (INT64_MAX - 9) / 10 ? INT64_MAX : v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

}  // namespace

Method request_method() {
    const std::string_view m(cgi_method());
    if (m == "GET") return Method::Get;
    if (m == "HEAD") return Method::Head;
    if (m == "POST") return Method::Post;
    if (m == "PUT") return Method::Put;
    if (m == "PATCH") return Method::Patch;
    if (m == "DELETE") return Method::Delete;
    return Method::Other;
}

bool is_read(Method m) {
    return m == Method::Get || m == Method::Head;
}

void begin(int status) {
    cgi_header_status(status, nullptr);
    cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
}

void header(const std::string &line) {
    cgi_header_extra(line.c_str());
}

void end_headers() {
    cgi_headers_end();
}

void send_empty(int status, std::initializer_list<std::string> headers) {
    begin(status);
    for (const std::string &h : headers)
        header(h);
    if (status != 204) header("Content-Length: 0");  // a 204 carries no length at all
    end_headers();
}

void send_json(int status, const char *body, std::initializer_list<std::string> headers) {
    if (body == nullptr || body[0] == '\0') body = "{}";
    const size_t len = std::strlen(body);
    begin(status);
    for (const std::string &h : headers)
        header(h);
    cgi_header_json();
    header("Content-Length: " + std::to_string(len + 1));
    end_headers();
    if (request_method() != Method::Head) {
        std::fwrite(body, 1, len, stdout);
        std::fputc('\n', stdout);
        qv_audit_note_bytes(static_cast<int64_t>(len) + 1);
    }
    std::fflush(stdout);
}

void fail(int status, const char *code, const std::string &message,
          std::initializer_list<std::string> headers) {
    if (headers.size() == 0) oci_send_error(status, code, message.c_str());
    begin(status);
    for (const std::string &h : headers)
        header(h);
    cgi_header_json();
    end_headers();
    std::fputs("{\"errors\":[{\"code\":\"", stdout);
    std::fputs(code, stdout);
    std::fputs("\",\"message\":\"", stdout);
    json_escape_f(stdout, message.c_str());
    std::fputs("\"}]}\n", stdout);
    qv_audit_note_bytes(
        static_cast<int64_t>(std::strlen(code) + qv::frontend::json_escaped_size(message.c_str())) +
        kEnvelopeFixedBytes);
    std::fflush(stdout);
    std::exit(0);
}

void method_not_allowed() {
    fail(405, "UNSUPPORTED", "method not allowed on this path");
}

std::string engine_message() {
    const char *why = reg_storage_last_error();
    return why != nullptr ? why : "";
}

bool message_starts(const char *prefix) {
    return engine_message().starts_with(prefix);
}

void storage_error(const char *fallback) {
    const std::string why = engine_message();
    fail(500, "STORAGE_ERROR", why.empty() ? fallback : why);
}

void need_storage(int status) {
    if (oci_init_storage() != 0)
        fail(status, "STORAGE_ERROR", "Failed to initialize registry storage");
}

bool valid_digest(std::string_view text) {
    if (text.size() != 71 || !text.starts_with("sha256:")) return false;
    for (const char c : text.substr(7))
        if (!is_lower_hex(c)) return false;
    return true;
}

bool valid_upload_id(std::string_view text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen_place ? text[i] != '-' : !is_lower_hex(text[i])) return false;
    }
    return true;
}

int64_t content_length(const char *code) {
    const char *text = cgi_env("CONTENT_LENGTH", nullptr);
    int64_t n = 0;
    if (text[0] == '\0') return 0;
    // A length that is no byte count would read as no body: the client meant one.
    if (!parse_count(text, &n))
        fail(400, code, "Content-Length is not a byte count: " + std::string(text));
    return n;
}

bool body_from_file() {
    return cgi_env("POST_BODY_FILE", nullptr)[0] != '\0';
}

int flag_param(const char *name, int fallback) {
    return qv::endpoints::dry_run_flag(name, fallback);
}

std::string url_encode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool keep = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                          (u >= '0' && u <= '9') || std::strchr("-._~/", c) != nullptr;
        if (keep && u != 0) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

int page_size() {
    int64_t n = 0;
    if (!parse_count(cgi_query("n"), &n)) return 0;
    if (n == 0) return -1;
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

void send_page(const char *body, int more, int n, const char *last, const std::string &base) {
    if (!more) {
        send_json(200, body);
        return;
    }
    send_json(200, body,
              {"Link: <" + base + "?n=" + std::to_string(n) + "&last=" + url_encode(last) +
               ">; rel=\"next\""});
}

}  // namespace v2
