// Response writing: the CGI header block, the two fatal responses and JSON string escaping.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "frontend/json_escape.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "platform/os.h"

namespace {

int s_done = 0;  // standard output already switched to binary mode

void put_line(const char *text) {
    qv_stdout_bin();
    std::fputs(text, stdout);
    std::fputs("\r\n", stdout);
}

// Flushes, then exits through exit() so the access log's handler still runs.
[[noreturn]] void finish_fatal() {
    std::fflush(stdout);
    std::exit(0);
}

}  // namespace

extern "C" void qv_stdout_bin(void) {
    if (s_done) return;
    qv::os::binary_mode(stdout);
    s_done = 1;
}

extern "C" void cgi_header_status(int status, const char *reason) {
    qv_stdout_bin();
    qv_audit_note_status(status);
    if (reason != nullptr && reason[0] != '\0') {
        std::printf("Status: %d %s\r\n", status, reason);
    } else {
        std::printf("Status: %d\r\n", status);
    }
}

extern "C" void cgi_header_html(void) {
    put_line("Content-Type: text/html; charset=utf-8");
}

extern "C" void cgi_header_json(void) {
    put_line("Content-Type: application/json; charset=utf-8");
}

extern "C" void cgi_header_text(void) {
    put_line("Content-Type: text/plain; charset=utf-8");
}

extern "C" void cgi_header_ct(const char *media_type) {
    qv_stdout_bin();
    std::printf("Content-Type: %s\r\n", media_type != nullptr ? media_type : "");
}

extern "C" void cgi_header_extra(const char *line) {
    put_line(line != nullptr ? line : "");
}

extern "C" void cgi_headers_end(void) {
    std::fputs("\r\n", stdout);
    std::fflush(stdout);
    qv::os::binary_mode(stdout);
}

namespace qv::frontend {

std::size_t json_escaped_size(const char *text) {
    std::size_t n = 0;
    for (const auto *p = reinterpret_cast<const unsigned char *>(text); p != nullptr && *p != 0;
         ++p) {
        switch (*p) {
            case '"':
            case '\\':
            case 0x08:
            case '\t':
            case '\n':
            case 0x0C:
            case '\r':
                n += 2;
                break;
            default:
                n += *p < 0x20 ? 6 : 1;
        }
    }
    return n;
}

}  // namespace qv::frontend

extern "C" void json_escape_f(FILE *out, const char *text) {
    if (out == nullptr || text == nullptr) return;
    for (const auto *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        switch (*p) {
            case '"':
                std::fputs("\\\"", out);
                break;
            case '\\':
                std::fputs("\\\\", out);
                break;
            case 0x08:
                std::fputs("\\b", out);
                break;
            case '\t':
                std::fputs("\\t", out);
                break;
            case '\n':
                std::fputs("\\n", out);
                break;
            case 0x0C:
                std::fputs("\\f", out);
                break;
            case '\r':
                std::fputs("\\r", out);
                break;
            default:
                if (*p < 0x20) {
                    std::fprintf(out, "\\u%04x", static_cast<unsigned>(*p));
                } else {
                    std::fputc(*p, out);
                }
        }
    }
}

extern "C" void cgi_die_text(int status, const char *text) {
    cgi_header_status(status, nullptr);
    cgi_header_text();
    cgi_headers_end();
    std::fputs(text != nullptr ? text : "", stdout);
    std::fputc('\n', stdout);
    qv_audit_note_bytes(static_cast<int64_t>(std::strlen(text != nullptr ? text : "")) + 1);
    finish_fatal();
}

extern "C" void cgi_die_json(int status, const char *message) {
    cgi_header_status(status, nullptr);
    cgi_header_json();
    cgi_headers_end();
    constexpr std::string_view open = "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"";
    constexpr std::string_view close = "\"}]}\n";
    const char *text = message != nullptr ? message : "error";
    std::fwrite(open.data(), 1, open.size(), stdout);
    json_escape_f(stdout, text);
    std::fwrite(close.data(), 1, close.size(), stdout);
    qv_audit_note_bytes(
        static_cast<int64_t>(open.size() + qv::frontend::json_escaped_size(text) + close.size()));
    finish_fatal();
}
