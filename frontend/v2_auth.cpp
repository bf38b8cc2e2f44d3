// HTTP Basic authentication: the seed's one account in config.json (a user name and the
// SHA-256 of its password), and the users of a users file with their rights. Every defect of a
// request gets the same 401 answer, and the comparisons with the configured secrets run over whole
// texts without early exits.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "digest/sha256.h"
#include "frontend/access.h"
#include "frontend/config_text.h"
#include "frontend/oci_common.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "frontend/v2_auth.h"

namespace {

using AuthConfig = qv::frontend::ConfigText<4096>;

constexpr std::size_t kUserSize = 128;
constexpr std::size_t kDigestTextSize = 65;
constexpr std::size_t kDigestDigits = 64;
constexpr std::size_t kPatternSize = 96;
constexpr std::size_t kDecodedSize = 512;  // at most 511 decoded bytes and a NUL

constexpr char hx[] = "0123456789abcdef";

constexpr const char *kUnauthorizedBody =
    "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"authentication required\"}]}\n";

// The double-quoted text after the key's colon, copied unescaped; 0 when the key, the colon
// or either quote is missing, or when the value does not fit below size.
int json_str_key(const char *text, const char *key, char *out, std::size_t size) {
    char pattern[kPatternSize];
    qv_snprintf(pattern, sizeof pattern, "\"%s\"", key);
    const std::string_view t(text);
    const std::size_t at = t.find(pattern);
    if (at == std::string_view::npos) return 0;
    const std::size_t colon = t.find(':', at + std::strlen(pattern));
    if (colon == std::string_view::npos) return 0;
    const std::size_t open = t.find('"', colon);
    if (open == std::string_view::npos) return 0;
    const std::size_t close = t.find('"', open + 1);
    if (close == std::string_view::npos) return 0;
    const std::string_view value = t.substr(open + 1, close - open - 1);
    if (value.size() >= size) return 0;
    value.copy(out, value.size());
    out[value.size()] = '\0';
    return 1;
}

struct AuthSettings {
    char user[kUserSize] = {};
    char digest[kDigestTextSize] = {};
    bool on = false;
    bool unreadable = false;  // a config.json this process may not read: nobody passes
};

// The digest's characters are not checked here: a 64-character value that is not hex keeps
// the gate closed to everyone rather than open.
AuthSettings read_settings() {
    AuthSettings s;
    const AuthConfig cfg;
    s.unreadable = cfg.denied();
    if (!cfg.opened()) return s;
    s.on = json_str_key(cfg.c_str(), "registry_auth_user", s.user, sizeof s.user) != 0 &&
           json_str_key(cfg.c_str(), "registry_auth_sha256", s.digest, sizeof s.digest) != 0 &&
           s.user[0] != '\0' && std::strlen(s.digest) == kDigestDigits;
    return s;
}

// A buffer that held credentials, overwritten when it goes out of scope; the stores go
// through a volatile pointer so they are not dropped as dead.
template <typename T, std::size_t N>
struct Wiped {
    T data[N];
    Wiped() = default;
    Wiped(const Wiped &) = delete;
    Wiped &operator=(const Wiped &) = delete;
    ~Wiped() {
        volatile unsigned char *p = reinterpret_cast<unsigned char *>(data);
        for (std::size_t i = 0; i < sizeof data; ++i)
            p[i] = 0;
    }
};

// Base64 symbol value in either alphabet; -1 for a symbol of neither.
int b64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

bool b64_skipped(unsigned char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '=';
}

// One pass over the text into out (kDecodedSize bytes, NUL-terminated); the decoded length,
// or -1 for a foreign symbol, a lone trailing symbol or more than 511 bytes.
int b64_decode(const char *text, unsigned char *out) {
    constexpr std::size_t kMax = kDecodedSize - 1;
    std::size_t len = 0;
    std::uint32_t group = 0;
    int symbols = 0;
    for (const auto *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        if (b64_skipped(*p)) continue;
        const int v = b64_value(*p);
        if (v < 0) return -1;
        group = (group << 6) | static_cast<std::uint32_t>(v);
        if (++symbols < 4) continue;
        if (len + 3 > kMax) return -1;
        out[len++] = static_cast<unsigned char>(group >> 16);
        out[len++] = static_cast<unsigned char>(group >> 8);
        out[len++] = static_cast<unsigned char>(group);
        group = 0;
        symbols = 0;
    }
    if (symbols == 1) return -1;
    if (symbols == 2) {
        if (len + 1 > kMax) return -1;
        out[len++] = static_cast<unsigned char>(group >> 4);
    } else if (symbols == 3) {
        if (len + 2 > kMax) return -1;
        out[len++] = static_cast<unsigned char>(group >> 10);
        out[len++] = static_cast<unsigned char>(group >> 2);
    }
    out[len] = '\0';
    return static_cast<int>(len);
}

// Start of the credentials after the scheme word, or nullptr when the header does not begin
// (after spaces) with "Basic" in any letter case and a space or a tab.
const char *after_basic(const char *header) {
    while (*header == ' ')
        ++header;
    for (const char c : std::string_view("basic")) {
        // OR-ing 0x20 folds exactly the upper-case letter onto its lower-case one.
        if ((static_cast<unsigned char>(*header) | 0x20) != static_cast<unsigned char>(c)) {
            return nullptr;
        }
        ++header;
    }
    if (*header == '\t') return header;  // the decoder skips the tab itself
    if (*header != ' ') return nullptr;
    while (*header == ' ')
        ++header;
    return *header != '\0' ? header : nullptr;
}

// Non-zero unless the texts are equal. The work depends on the lengths only, never on where
// the first difference stands.
[[gnu::noinline]] std::size_t user_diff(const char *a, const char *b) {
    const std::size_t la = std::strlen(a);
    const std::size_t lb = std::strlen(b);
    std::size_t diff = la ^ lb;
    const std::size_t common = la < lb ? la : lb;
    for (std::size_t i = 0; i < common; ++i)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
    const char *longer = la < lb ? b : a;
    const std::size_t longest = la < lb ? lb : la;
    for (std::size_t i = common; i < longest; ++i)
        diff |= static_cast<unsigned char>(longer[i]);
    return diff;
}

// All ones when 0 <= x < n, else 0; arithmetic only, so no branch on x.
constexpr unsigned range_mask(int x, int n) {
    return ~static_cast<unsigned>((x | (n - 1 - x)) >> 31);
}

// Value of a hex digit of either letter case; any other character sets bad. No branch on c.
inline unsigned hex_nibble(unsigned char c, unsigned &bad) {
    const int dec = c - '0';
    // OR-ing 0x20 folds exactly A-F onto a-f.
    const int alpha = (c | 0x20) - 'a';
    const unsigned is_dec = range_mask(dec, 10);
    const unsigned is_alpha = range_mask(alpha, 6);
    bad |= ~(is_dec | is_alpha) & 1u;
    return (static_cast<unsigned>(dec) & is_dec) | (static_cast<unsigned>(alpha + 10) & is_alpha);
}

// Non-zero unless the 64 digits spell the same value. A configured character that is not a
// hex digit marks the result bad as it passes, rather than by leaving the loop.
[[gnu::noinline]] unsigned digest_diff(const char *computed, const char *configured) {
    unsigned diff = 0;
    unsigned bad = 0;
    for (std::size_t i = 0; i < kDigestDigits; ++i) {
        diff |= hex_nibble(static_cast<unsigned char>(computed[i]), bad) ^
                hex_nibble(static_cast<unsigned char>(configured[i]), bad);
    }
    return diff | bad;
}

void hex_digest(const unsigned char *password, std::size_t len, char *out) {
    Wiped<sha256_ctx, 1> ctx;
    sha256_init(ctx.data);
    sha256_update(ctx.data, password, len);
    unsigned char digest[32];
    sha256_final(ctx.data, digest);
    for (std::size_t i = 0; i < sizeof digest; ++i) {
        out[2 * i] = hx[digest[i] >> 4];
        out[2 * i + 1] = hx[digest[i] & 0x0f];
    }
    out[kDigestDigits] = '\0';
}

// The user and password of a Basic header; false when the header is no Basic credential.
bool decode_credentials(const char *header, std::string *user, std::string *password) {
    const char *encoded = after_basic(header);
    if (encoded == nullptr) return false;
    Wiped<unsigned char, kDecodedSize> decoded;
    const int n = b64_decode(encoded, decoded.data);
    if (n <= 0) return false;
    const auto len = static_cast<std::size_t>(n);
    const auto *colon = static_cast<const unsigned char *>(std::memchr(decoded.data, ':', len));
    if (colon == nullptr) return false;
    const auto user_len = static_cast<std::size_t>(colon - decoded.data);
    if (user_len >= kUserSize) return false;
    // Taken as text: the user part ends at its first NUL, if it holds one.
    user->assign(reinterpret_cast<const char *>(decoded.data),
                 strnlen(reinterpret_cast<const char *>(decoded.data), user_len));
    // The password is every byte after the first colon, NULs and further colons included.
    password->assign(reinterpret_cast<const char *>(colon + 1), len - user_len - 1);
    return true;
}

// Whether the credentials name the seed's user and its password.
bool seed_match(const AuthSettings &s, const std::string &user, const std::string &password) {
    char computed[kDigestTextSize];
    hex_digest(reinterpret_cast<const unsigned char *>(password.data()), password.size(), computed);
    const std::size_t udiff = user_diff(user.c_str(), s.user);
    const unsigned ddiff = digest_diff(computed, s.digest);
    return (udiff | ddiff) == 0;
}

// A name a client sent, for the log: every byte but the printable ASCII ones (spaces too)
// percent-encoded, so that it can neither split the line's fields nor spoil its JSON.
std::string log_safe(const std::string &name) {
    std::string out;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b > 0x20 && b < 0x7f && b != '%') {
            out += c;
        } else {
            out += '%';
            out += hx[b >> 4];
            out += hx[b & 15];
        }
    }
    return out;
}

// Who the request is, once registry_auth_check has looked.
struct Identity {
    bool on = false;  // some sign-in is configured
    bool signed_in = false;
    bool seed = false;  // the seed's single user: every right
    std::string user;
    std::unique_ptr<qv::frontend::AccessConfig> access;
};
Identity s_identity;

void send_unauthorized() {
    cgi_header_status(401, "Unauthorized");
    cgi_header_extra("WWW-Authenticate: Basic realm=\"Bellmoor Container Registry\"");
    cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
    cgi_header_json();
    cgi_headers_end();
    // The actor stays as it was: nobody signed in.
    std::fputs(kUnauthorizedBody, stdout);
    qv_audit_note_bytes(static_cast<int64_t>(std::strlen(kUnauthorizedBody)));
    std::fflush(stdout);
}

// A config.json that may hold a sign-in but cannot be read (a file made 0600 for another user)
// must not leave every route open: every request is refused until it can be read.
void send_unreadable() {
    static constexpr const char kBody[] =
        "{\"errors\":[{\"code\":\"DENIED\",\"message\":\"config.json cannot be read by the "
        "registry (check its owner and mode): every request is refused until it can be\"}]}\n";
    cgi_header_status(503, "Service Unavailable");
    cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
    cgi_header_json();
    cgi_headers_end();
    std::fputs(kBody, stdout);
    qv_audit_note_bytes(static_cast<int64_t>(sizeof kBody - 1));
    std::fflush(stdout);
}

// A refusal in the registry's envelope, which ends the request: 403 DENIED for a signed-in
// user, 503 for settings that cannot be used.
[[noreturn]] void send_refusal(int status, const std::string &message) {
    oci_send_error(status, status == 403 ? "DENIED" : "UNAVAILABLE", message.c_str());
}

}  // namespace

extern "C" int registry_auth_path_guarded(const char *path) {
    if (path == nullptr) return 0;
    while (*path == '/')
        ++path;
    return path[0] == 'v' && path[1] == '2' && (path[2] == '\0' || path[2] == '/') ? 1 : 0;
}

extern "C" int registry_auth_enabled(void) {
    const AuthSettings s = read_settings();
    if (s.on || s.unreadable) return 1;
    const qv::frontend::AccessConfig access;
    return !access.error().empty() || !access.users_file().empty() ? 1 : 0;
}

extern "C" int registry_auth_check(void) {
    s_identity = Identity();
    const AuthSettings s = read_settings();
    if (s.unreadable) {
        send_unreadable();
        return 0;
    }
    s_identity.access = std::make_unique<qv::frontend::AccessConfig>();
    const qv::frontend::AccessConfig &access = *s_identity.access;
    if (!access.error().empty()) {
        send_refusal(503, "config.json: " + access.error() +
                              ": every request is refused until it is mended");
        return 0;
    }
    s_identity.on = s.on || !access.users_file().empty();
    if (!s_identity.on) return 1;
    const char *header = cgi_env("HTTP_AUTHORIZATION", nullptr);
    std::string user, password;
    const bool given = header[0] != '\0';
    const bool decoded = given && decode_credentials(header, &user, &password);
    const struct Wipe {
        std::string &s;
        ~Wipe() {
            volatile char *p = s.data();
            for (std::size_t i = 0; i < s.size(); ++i)
                p[i] = 0;
        }
    } wipe{password};
    // No credentials (or empty ones, which some clients send before they have any): anonymous.
    if (!given || (decoded && user.empty() && password.empty())) {
        if (access.anonymous_may_act()) return 1;
        send_unauthorized();
        return 0;
    }
    if (decoded && s.on && seed_match(s, user, password)) {
        s_identity.signed_in = s_identity.seed = true;
        s_identity.user = user;
        qv_audit_note_actor(user.c_str());
        return 1;
    }
    if (decoded && !access.users_file().empty()) {
        std::string why;
        switch (qv::frontend::check_user(access.users_file(), user, password, &why)) {
            case qv::frontend::UserCheck::ok:
                s_identity.signed_in = true;
                s_identity.user = user;
                qv_audit_note_actor(user.c_str());
                return 1;
            case qv::frontend::UserCheck::unreadable:
                // Where the file is, only the error log says.
                std::fprintf(stderr, "registry: %s: every sign-in is refused\n", why.c_str());
                send_refusal(503,
                             "the users file cannot be read: every sign-in is refused "
                             "until it can be");
                return 0;
            case qv::frontend::UserCheck::bad_kind:
                std::fprintf(stderr, "registry: %s: refused\n", why.c_str());
                break;
            default:
                break;
        }
    }
    // A refused sign-in is logged with the name it tried, marked: never taken for a user (a
    // Basic user name holds no colon). A header that names nobody stays anonymous.
    if (decoded) qv_audit_note_actor(("refused:" + log_safe(user)).c_str());
    send_unauthorized();
    return 0;
}

namespace {

const char *action_name(unsigned rights) {
    return (rights & qv::frontend::kDelete) != 0 ? "delete"
           : (rights & qv::frontend::kPush) != 0 ? "push"
                                                 : "pull";
}

// Anonymous requests are asked for credentials; a signed-in user is told what is refused.
int refuse(const std::string &message) {
    if (!s_identity.signed_in) {
        send_unauthorized();
    } else {
        send_refusal(403, message);
    }
    return 0;
}

}  // namespace

extern "C" int registry_auth_allows(unsigned rights, const char *repo) {
    if (!s_identity.on || s_identity.seed) return 1;
    if (!s_identity.access) return 0;
    const unsigned granted =
        s_identity.access->rights(s_identity.user, s_identity.signed_in, repo ? repo : "");
    return (granted & rights) == rights ? 1 : 0;
}

extern "C" int registry_auth_allows_everything(void) {
    return !s_identity.on || s_identity.seed ||
                   (s_identity.signed_in && s_identity.access && !s_identity.access->access_set())
               ? 1
               : 0;
}

extern "C" int registry_auth_is_admin(void) {
    if (!s_identity.on || s_identity.seed) return 1;
    return s_identity.signed_in && s_identity.access && s_identity.access->admin(s_identity.user)
               ? 1
               : 0;
}

extern "C" int registry_auth_require(unsigned rights, const char *repo) {
    if (registry_auth_allows(rights, repo)) return 1;
    // The first right missing is the one named.
    unsigned missing = 0;
    for (const unsigned r : {qv::frontend::kPull, qv::frontend::kPush, qv::frontend::kDelete})
        if ((rights & r) != 0 && missing == 0 && !registry_auth_allows(r, repo)) missing = r;
    return refuse(s_identity.user + " may not " + action_name(missing) + " " + (repo ? repo : ""));
}

extern "C" int registry_auth_require_user(void) {
    if (!s_identity.on || s_identity.signed_in) return 1;
    send_unauthorized();
    return 0;
}

extern "C" int registry_auth_require_admin(void) {
    if (registry_auth_is_admin()) return 1;
    return refuse(s_identity.user + " may not use the administration routes");
}

extern "C" const char *registry_auth_user(void) {
    return s_identity.signed_in ? s_identity.user.c_str() : "";
}
