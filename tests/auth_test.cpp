// The Basic authentication gate at the process boundary: what a request writes to standard
// output, and the access-log line it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "frontend/qv_audit.h"
#include "frontend/v2_auth.h"
#include "support/base64.h"
#include "support/child.h"
#include "support/digest_text.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

const std::string kRefusal =
    "Status: 401 Unauthorized\r\n"
    "WWW-Authenticate: Basic realm=\"Bellmoor Container Registry\"\r\n"
    "Docker-Distribution-API-Version: registry/2.0\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "\r\n"
    "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"authentication required\"}]}\n";

std::string config(const std::string &user, const std::string &digest) {
    return "{\"registry_auth_user\": \"" + user + "\", \"registry_auth_sha256\": \"" + digest +
           "\"}";
}

struct Request {
    std::string out;  // what the gate wrote, then "enabled|result"
    std::string log;  // method, path, bytes, status and actor of the access-log line
};

// One request under /v2/x. After a pass the child records a 200, so the line shows the actor.
// With uid, the gate runs as that user, and config.json is the test's own, 0600.
Request request(const std::optional<std::string> &cfg, const std::optional<std::string> &header,
                int uid = -1) {
    TempDir t;
    make_dirs(t / "store");
    if (cfg) write_text(t / "config.json", *cfg);
    if (uid >= 0) {
        EXPECT_EQ(::chmod(t.path().c_str(), 0755) | ::chmod((t / "config.json").c_str(), 0600) |
                      ::chown((t / "store").c_str(), uid, uid),
                  0);
    }
    ChildSetup setup;
    setup.uid = uid;
    setup.cwd = t.path();
    setup.env = {{"REGISTRY_STORAGE_ROOT", t / "store"}, {"PATH_INFO", "/v2/x"}};
    if (header) setup.env["HTTP_AUTHORIZATION"] = *header;
    ChildResult r = run_child(setup, [] {
        const int enabled = registry_auth_enabled();
        const int ok = registry_auth_check();
        if (ok) qv_audit_note_status(200);
        std::printf("%d|%d", enabled, ok);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    Request q{r.out, "<no log>"};
    if (exists(t / "store/registry_access.log")) {
        const std::string line = read_text(t / "store/registry_access.log");
        size_t end = 0;
        for (int i = 0; i < 5 && end != std::string::npos; ++i)
            end = line.find(' ', end + 1);
        q.log = line.substr(0, end);
    }
    return q;
}

const std::string kPassword = std::string("\xfb\xff\xbf") + "secret!";
const std::string kCreds = "alice:" + kPassword;
const std::string kConfig = config("alice", sha256_hex(kPassword));

void expect_pass(const Request &q, const std::string &actor) {
    EXPECT_EQ(q.out, "1|1");
    EXPECT_EQ(q.log, "GET /v2/x 0 200 " + actor);
}

// The same bytes for every refusal; the log names what a refused sign-in tried, marked.
void expect_refused(const Request &q, const std::string &actor = "anonymous") {
    EXPECT_EQ(q.out, kRefusal + "1|0");
    EXPECT_EQ(q.log, "GET /v2/x 73 401 " + actor);
}

}  // namespace

TEST(AuthGate, CredentialFormsThatPass) {
    const std::string std64 = b64(kCreds);
    // The fixture exercises both alphabet-specific symbols and padding.
    ASSERT_NE(std64.find('+'), std::string::npos);
    ASSERT_NE(std64.find('/'), std::string::npos);
    ASSERT_EQ(std64.back(), '=');
    std::string mixed = std64;
    mixed[mixed.find('+')] = '-';
    std::string broken = std64;
    broken.insert(8, "\r\n =\t");

    for (const std::string &header :
         {"Basic " + std64, "basic " + std64, "bAsIc\t" + std64, "  BASIC   " + std64,
          "Basic " + b64(kCreds, false, false), "Basic " + broken, "Basic " + b64(kCreds, true),
          "Basic " + mixed}) {
        SCOPED_TRACE(header);
        expect_pass(request(kConfig, header), "alice");
    }
}

TEST(AuthGate, EveryRefusalWritesTheSameBytes) {
    const std::string std64 = b64(kCreds);
    for (const std::optional<std::string> &header :
         std::initializer_list<std::optional<std::string>>{
             std::nullopt, "", "Bearer " + std64, "Basic", "Basic ", "Basic   ", "Basic" + std64,
             "\tBasic " + std64, "Basics " + std64, "Basic " + std64 + "*",
             "Basic " + b64("alice" + kPassword),
             "Basic " + b64(std::string(128, 'a') + ":" + kPassword)}) {
        SCOPED_TRACE(header.value_or("<unset>"));
        expect_refused(request(kConfig, header));
    }
    for (const auto &[user, password] :
         std::initializer_list<std::pair<std::string, std::string>>{{"", kPassword},
                                                                    {"Alice", kPassword},
                                                                    {"alice", kPassword + "x"},
                                                                    {"alic", kPassword},
                                                                    {"alicee", kPassword}}) {
        SCOPED_TRACE(user);
        expect_refused(request(kConfig, "Basic " + b64(user + ":" + password)), "refused:" + user);
    }
}

TEST(AuthGate, DigestAndPasswordRules) {
    // Either letter case of the configured digest; zero bytes and colons are password bytes.
    expect_pass(
        request(config("alice", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"),
                "Basic " + b64("alice:")),
        "alice");
    expect_pass(request(config("alice", sha256_hex(std::string("a:b\0c", 5))),
                        "Basic " + b64(std::string("alice:a:b\0c", 11))),
                "alice");
    // The user part ends at its first NUL.
    expect_pass(request(config("alice", sha256_hex("pw")),
                        "Basic " + b64(std::string("alice\0junk:pw", 13))),
                "alice");
    // A configured digest that is not hex refuses even the password whose digest it almost is.
    std::string not_hex = sha256_hex("pw");
    not_hex[63] = 'g';
    expect_refused(request(config("alice", not_hex), "Basic " + b64("alice:pw")), "refused:alice");

    // A lone trailing symbol is refused, not dropped.
    expect_refused(
        request(config("alice", sha256_hex("s3cret")), "Basic " + b64("alice:s3cret") + "A"));
    // 511 decoded bytes fit; 512 do not, even with the matching digest.
    const std::string p505(505, 'p'), p506(506, 'p');
    expect_pass(request(config("alice", sha256_hex(p505)), "Basic " + b64("alice:" + p505)),
                "alice");
    expect_refused(request(config("alice", sha256_hex(p506)), "Basic " + b64("alice:" + p506)));
}

TEST(AuthGate, UnusableSettingsLeaveItOff) {
    const std::string hex = sha256_hex("pw");
    for (const std::optional<std::string> &cfg : std::initializer_list<std::optional<std::string>>{
             std::nullopt, "{}", "{\"registry_auth_user\": \"alice\"}", config("", hex),
             config("alice", hex.substr(1)), config("alice", hex + "0"),
             config(std::string(128, 'u'), hex),
             "{\"registry_auth_user\": \"alice\", "
             "\"registry_auth_sha256\": " +
                 hex + "}"}) {
        SCOPED_TRACE(cfg.value_or("<no file>"));
        const Request q = request(cfg, std::nullopt);
        EXPECT_EQ(q.out, "0|1");
        EXPECT_EQ(q.log, "GET /v2/x 0 200 anonymous");
    }
    // The longest user name and a non-hex digest still turn it on.
    std::string not_hex(64, 'z');
    EXPECT_EQ(request(config(std::string(127, 'u'), not_hex), std::nullopt).out, kRefusal + "1|0");
}

// A config.json the gate may not read (made 0600 for another user) may hold a sign-in: every
// request is refused rather than let through. Root reads any file, so the gate runs as another.
TEST(AuthGate, AConfigThatCannotBeReadRefusesEveryRequest) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the gate as another user";
    const std::string body =
        "{\"errors\":[{\"code\":\"DENIED\",\"message\":\"config.json cannot be read by the "
        "registry (check its owner and mode): every request is refused until it can be\"}]}\n";
    for (const std::string &cfg : {kConfig, std::string("{}")}) {
        const Request q = request(cfg, "Basic " + b64(kCreds), 65534);
        EXPECT_EQ(q.out,
                  "Status: 503 Service Unavailable\r\n"
                  "Docker-Distribution-API-Version: registry/2.0\r\n"
                  "Content-Type: application/json; charset=utf-8\r\n\r\n" +
                      body + "1|0");
        EXPECT_EQ(q.log, "GET /v2/x " + std::to_string(body.size()) + " 503 anonymous");
    }
}

TEST(AuthGate, GuardedPaths) {
    for (const char *p : {"/v2", "/v2/", "//v2/x", "v2", "v2/_catalog"})
        EXPECT_EQ(registry_auth_path_guarded(p), 1) << p;
    for (const char *p :
         {"/v2x", "/V2", "/v20", "/", "", "/v", "/x/v2", static_cast<const char *>(nullptr)})
        EXPECT_EQ(registry_auth_path_guarded(p), 0) << (p ? p : "NULL");
}
