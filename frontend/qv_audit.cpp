// Access log: the response writers record status, size and actor while a request runs;
// an exit handler appends one line to registry_access.log in the storage root, moving the
// file aside to one rotated generation when the line would push it past the size cap.
// This module resolves the root and reads its settings by itself, with rules of its own.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

#include "frontend/config_text.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_audit_internal.h"
#include "frontend/qv_cgi.h"
#include "frontend/stdio_file.h"
#include "platform/os.h"

using qv::frontend::ConfigText;

namespace {

constexpr std::size_t kRootSize = 1400;
constexpr std::size_t kPathSize = 1400;
constexpr std::size_t kActorSize = 160;
constexpr int64_t kDefaultCap = 5242880;
constexpr const char *kLogName = "registry_access.log";

constexpr std::size_t kStampSize = 64;
constexpr std::size_t kPathEscSize = 900;
constexpr std::size_t kActorEscSize = 320;
// The method is as long as the environment lets it be; the line's own cut bounds it.
constexpr std::size_t kMethodEscSize = 2400;
// The raw actor field with its control bytes escaped: 159 bytes, six at most each.
constexpr std::size_t kActorFieldSize = 1000;
constexpr std::size_t kJsonSize = 1200;
constexpr std::size_t kLineSize = 2400;
// Room kept free while escaping: the longest escape and the NUL always fit.
constexpr std::size_t kEscapeReserve = 8;

using AuditConfig = ConfigText<8192>;

char s_root[kRootSize];
char s_path[kPathSize];
int64_t s_cap = kDefaultCap;
int s_enabled = 0;
int s_init_done = 0;
int s_handler_registered = 0;
int s_flushed = 0;
int s_status = 0;
int64_t s_bytes = 0;
char s_actor[kActorSize] = "anonymous";

// Offset just past the first ':' after the first occurrence of the quoted key.
std::optional<std::size_t> after_key_colon(const AuditConfig &cfg, const char *key) {
    char pattern[128];
    const int plen = qv_snprintf(pattern, sizeof pattern, "\"%s\"", key);
    const std::string_view text = cfg.text();
    const std::size_t at = text.find(pattern);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t colon = text.find(':', at + static_cast<std::size_t>(plen));
    if (colon == std::string_view::npos) return std::nullopt;
    return colon + 1;
}

// The double-quoted text after the key's colon into s_root, unchanged; false leaves s_root.
bool cfg_str(const AuditConfig &cfg, const char *key) {
    const auto from = after_key_colon(cfg, key);
    if (!from) return false;
    const std::string_view text = cfg.text();
    const std::size_t open = text.find('"', *from);
    if (open == std::string_view::npos) return false;
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) return false;
    const std::string_view value = text.substr(open + 1, close - open - 1);
    if (value.size() > kRootSize - 1) return false;
    value.copy(s_root, value.size());
    s_root[value.size()] = '\0';
    return true;
}

// An integer, optionally in double quotes and possibly negative; nullopt when the key is
// missing or its value does not start like a number (true and false among them).
std::optional<int64_t> cfg_int(const AuditConfig &cfg, const char *key) {
    const auto from = after_key_colon(cfg, key);
    if (!from) return std::nullopt;
    std::size_t at = qv::frontend::skip_config_space(cfg.text(), *from);
    const char *value = cfg.c_str() + at;
    if (*value == '"') ++value;
    if (!qv::frontend::is_digit(*value) && *value != '-') return std::nullopt;
    return static_cast<int64_t>(std::strtoll(value, nullptr, 10));
}

void resolve_root() {
    const char *env_root = cgi_env("REGISTRY_STORAGE_ROOT", nullptr);
    if (env_root[0] != '\0') {
        qv_strlcpy(s_root, env_root, sizeof s_root);
    } else {
        const AuditConfig cfg;
        if (!cfg.text().empty() && !cfg_str(cfg, "registry_storage_root")) {
            cfg_str(cfg, "storage_root");
        }
    }
    // The same directory the storage start-up defaults to.
    if (s_root[0] == '\0') {
        qv_snprintf(s_root, sizeof s_root, ".%sregistry_storage", qv::os::kSepStr);
    }
}

// Reads the cap and the switch; false when the log is switched off.
bool read_settings() {
    const AuditConfig cfg;
    if (cfg.text().empty()) {
        s_cap = kDefaultCap;
        return true;
    }
    const auto cap = cfg_int(cfg, "registry_access_log_max_bytes");
    s_cap = cap ? std::max<int64_t>(*cap, 0) : kDefaultCap;
    const auto on = cfg_int(cfg, "registry_access_log");
    return !(on && *on == 0);
}

void disable() {
    s_enabled = 0;
    s_path[0] = '\0';
}

void init_once() {
    if (s_init_done) return;
    s_root[0] = '\0';
    s_init_done = 1;
    resolve_root();
    if (!read_settings()) {
        disable();
        return;
    }
    const int n = std::snprintf(s_path, sizeof s_path, "%s%s%s", s_root, qv::os::kSepStr, kLogName);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof s_path) {
        disable();
        return;
    }
    s_enabled = 1;
    if (!s_handler_registered) {
        s_handler_registered = 1;
        std::atexit(qv_audit_flush);
    }
}

// JSON-style escaping into a fixed buffer; stops early rather than cut an escape. With
// controls_only, quotes and backslashes are copied: for a field outside the JSON object,
// where only a control byte could end the line early.
void esc_into(char *dst, std::size_t size, const char *src, bool controls_only = false) {
    std::size_t len = 0;
    for (const auto *p = reinterpret_cast<const unsigned char *>(src); *p != 0; ++p) {
        if (p != reinterpret_cast<const unsigned char *>(src) && size - len < kEscapeReserve) {
            break;
        }
        const char *esc = nullptr;
        switch (controls_only && (*p == '"' || *p == '\\') ? 0 : *p) {
            case '"':
                esc = "\\\"";
                break;
            case '\\':
                esc = "\\\\";
                break;
            case '\t':
                esc = "\\t";
                break;
            case '\n':
                esc = "\\n";
                break;
            case '\r':
                esc = "\\r";
                break;
            default:
                break;
        }
        if (esc != nullptr) {
            len += static_cast<std::size_t>(std::snprintf(dst + len, size - len, "%s", esc));
        } else if (*p < 0x20) {
            len += static_cast<std::size_t>(
                std::snprintf(dst + len, size - len, "\\u%04x", static_cast<unsigned>(*p)));
        } else {
            dst[len++] = static_cast<char>(*p);
        }
    }
    dst[len] = '\0';
}

void format_stamp(char *out, std::size_t size) {
    std::tm tm{};
    // Formatted by hand: strftime would first read the local time zone, at every request.
    if (!qv::os::utc_fields(qv::os::unix_now(), &tm) ||
        std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec) <= 0) {
        qv_strlcpy(out, "1970-01-01T00:00:00Z", size);
    }
}

// Moves the log aside when appending len bytes would take it past the cap.
void rotate_if_needed(std::size_t len) {
    qv::os::FileInfo info{};
    if (s_cap <= 0 || !qv::os::file_info(s_path, &info) || info.size < 0) return;
    if (info.size + static_cast<int64_t>(len) <= s_cap) return;
    char rotated[kPathSize + 2];
    std::snprintf(rotated, sizeof rotated, "%s%s", s_path, ".1");
    qv::os::remove_file(rotated);
    qv::os::rename_path(s_path, rotated);
}

void append_line(const char *line, std::size_t len) {
    // The buffer outlives the stream (declared first), and holds the whole line, so the
    // line reaches the file in one write in append mode.
    char iobuf[4096];
    // The log sits in the storage root: a link in its place is not followed out of it, and
    // a pipe there is refused rather than waited on.
    const qv::frontend::FilePtr f(qv::os::open_append(s_path, true));
    if (!f) return;
    std::setvbuf(f.get(), iobuf, _IOFBF, sizeof iobuf);
    std::fwrite(line, 1, len, f.get());
}

}  // namespace

namespace qv::frontend {

void audit_reset_for_tests() {
    s_root[0] = '\0';
    s_path[0] = '\0';
    s_cap = kDefaultCap;
    s_enabled = 0;
    s_init_done = 0;
    s_flushed = 0;
    s_status = 0;
    s_bytes = 0;
    qv_strlcpy(s_actor, "anonymous", sizeof s_actor);
}

}  // namespace qv::frontend

extern "C" void qv_audit_note_status(int status) {
    init_once();
    if (status > 0) s_status = status;
}

extern "C" void qv_audit_note_bytes(int64_t bytes) {
    init_once();
    if (bytes > 0) s_bytes = bytes;
}

extern "C" void qv_audit_note_actor(const char *user) {
    init_once();
    if (user != nullptr && user[0] != '\0') qv_strlcpy(s_actor, user, sizeof s_actor);
}

extern "C" void qv_audit_flush(void) {
    init_once();
    if (!s_enabled || s_flushed || s_status == 0) return;
    s_flushed = 1;

    const char *method = cgi_env("REQUEST_METHOD", "GET");
    // The path as the client asked for it: the program's own (/v2, /v2/_retention) and what
    // follows it. Without SCRIPT_NAME (run by hand) only PATH_INFO is known.
    char path[kPathSize * 2];
    qv_snprintf(path, sizeof path, "%s%s", cgi_env("SCRIPT_NAME", ""), cgi_env("PATH_INFO", ""));
    if (path[0] == '\0') qv_strlcpy(path, "/", sizeof path);
    // A HEAD answer carries no body, whatever size the writers recorded.
    if (std::strcmp(method, "HEAD") == 0) s_bytes = 0;
    char stamp[kStampSize];
    format_stamp(stamp, sizeof stamp);
    char path_esc[kPathEscSize];
    esc_into(path_esc, sizeof path_esc, path);
    char actor_esc[kActorEscSize];
    esc_into(actor_esc, sizeof actor_esc, s_actor);
    // Neither the method nor the actor may end the line or leave the JSON string early.
    char method_esc[kMethodEscSize];
    esc_into(method_esc, sizeof method_esc, method);
    char actor_field[kActorFieldSize];
    esc_into(actor_field, sizeof actor_field, s_actor, true);

    const auto bytes = static_cast<long long>(s_bytes);
    char json[kJsonSize];
    // Both texts are cut to their buffers when they do not fit.
    qv_snprintf(json, sizeof json,
                "{\"ts\":\"%s\",\"method\":\"%s\",\"path\":\"%s\",\"status\":%d,\"bytes\":%lld,"
                "\"actor\":\"%s\"}",
                stamp, method_esc, path_esc, s_status, bytes, actor_esc);
    char line[kLineSize];
    const int n = qv_snprintf(line, sizeof line, "%s %s %lld %d %s %s %s\n", method_esc, path_esc,
                              bytes, s_status, actor_field, stamp, json);
    if (n <= 0) return;
    const auto len = static_cast<std::size_t>(n);
    // A cut line still ends the record, so the next request's line starts on its own.
    line[len - 1] = '\n';

    rotate_if_needed(len);
    append_line(line, len);
}

extern "C" const char *qv_audit_log_path(void) {
    init_once();
    return s_path;
}

extern "C" int64_t qv_audit_cap_bytes(void) {
    init_once();
    return s_cap;
}

extern "C" int qv_audit_enabled(void) {
    init_once();
    return s_enabled;
}

extern "C" int64_t qv_audit_log_bytes(void) {
    init_once();
    qv::os::FileInfo info{};
    if (s_path[0] == '\0' || !qv::os::file_info(s_path, &info)) return -1;
    return info.size;
}
