// Registry responses: a JSON body or the registry error envelope behind the registry's
// header block. Both record the body size for the access log.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/json_escape.h"
#include "frontend/oci_common.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"

namespace {

constexpr const char *kEnvelopeOpen = "{\"errors\":[{\"code\":\"";
constexpr const char *kEnvelopeMiddle = "\",\"message\":\"";
constexpr const char *kEnvelopeClose = "\"}]}\n";
// Bytes of the envelope that surround the code and the message.
constexpr int64_t kEnvelopeFixedBytes = 38;

void write_registry_headers(int status) {
    cgi_header_status(status, nullptr);
    cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
    cgi_header_json();
    cgi_headers_end();
}

}  // namespace

extern "C" void oci_send_error(int status, const char *code, const char *message) {
    if (code == nullptr) code = "UNKNOWN";
    if (message == nullptr) message = "Unknown error";
    write_registry_headers(status);
    // The code is a fixed upper-case word from the caller and goes out unescaped.
    std::fputs(kEnvelopeOpen, stdout);
    std::fputs(code, stdout);
    std::fputs(kEnvelopeMiddle, stdout);
    json_escape_f(stdout, message);
    std::fputs(kEnvelopeClose, stdout);
    qv_audit_note_bytes(
        static_cast<int64_t>(std::strlen(code) + qv::frontend::json_escaped_size(message)) +
        kEnvelopeFixedBytes);
    std::fflush(stdout);
    std::exit(0);
}

extern "C" void oci_send_json(int status, const char *body) {
    write_registry_headers(status);
    if (body != nullptr && body[0] != '\0') {
        qv_audit_note_bytes(static_cast<int64_t>(std::strlen(body)) + 1);
        std::fputs(body, stdout);
        std::fputc('\n', stdout);
    } else {
        qv_audit_note_bytes(3);
        std::fputs("{}\n", stdout);
    }
    std::fflush(stdout);
}
