// The scanners of config.json over a hostile file: the registry settings and the storage
// root, the access log's settings and the authentication gate's switch.
//
// Input: key pattern NUL file (the file is the rest, NULs and all). The key pattern is what
// oci_config_int searches for; the named readers search for their own keys.
//
// The storage start-up is seen only as far as the root it resolves: the harness is linked with
// reg_storage_init (and reg_set_clock_margin) wrapped by its own, which record the root and
// report failure, so that nothing is created wherever a hostile root points, and every
// start-up resolves again.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/oci_common.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_audit_internal.h"
#include "frontend/v2_auth.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kRootMax = 1023;     // the start-up's root buffer
constexpr size_t kLogPathMax = 1399;  // the access log's path buffer
constexpr std::string_view kLogName = "/registry_access.log";

std::string s_root_seen;
int s_init_calls = 0;

}  // namespace

extern "C" int __wrap_reg_storage_init(const char *root) {
    FUZZ_CHECK(root != nullptr);
    s_root_seen = root;
    ++s_init_calls;
    return -1;
}

// The start-up hands the store the clock margin first: a setting, never negative.
extern "C" void __wrap_reg_set_clock_margin(int64_t seconds) {
    FUZZ_CHECK(seconds >= 0);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ::unsetenv("REGISTRY_STORAGE_ROOT");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> f = qvfuzz::split_fields(data, size, 2);
    const qvfuzz::InDirectory in(qvfuzz::scratch_dir());
    qvfuzz::write_bytes("config.json", f[1]);

    FUZZ_CHECK(oci_config_int(f[0].c_str()) >= 0);
    FUZZ_CHECK(oci_config_int(nullptr) == 0);
    FUZZ_CHECK(oci_retention_keep_n() >= 0);
    FUZZ_CHECK(oci_retention_days() >= 0);
    const int protect = oci_retention_protect_latest();
    FUZZ_CHECK(protect == 0 || protect == 1);
    FUZZ_CHECK(oci_quota_bytes() >= 0);

    const int calls = s_init_calls;
    FUZZ_CHECK(oci_init_storage() != 0);
    FUZZ_CHECK(s_init_calls == calls + 1);
    FUZZ_CHECK(!s_root_seen.empty() && s_root_seen.size() <= kRootMax);

    const int auth = registry_auth_enabled();
    FUZZ_CHECK(auth == 0 || auth == 1);

    // A file that never names a key gives that key's default, whatever else it holds.
    const auto names = [&f](const char *key) { return f[1].find(key) != std::string::npos; };
    if (!names("storage_root")) FUZZ_CHECK(s_root_seen == "./registry_storage");
    // Sign-in is on only by a key that sets it (a users file, or rights that cannot be read,
    // which close the gate rather than leave it open).
    if (!names("registry_auth_") && !names("registry_users_file") && !names("registry_access") &&
        !names("registry_admins"))
        FUZZ_CHECK(auth == 0);
    if (!names("registry_retention_protect_latest")) FUZZ_CHECK(protect == 1);

    qv::frontend::audit_reset_for_tests();
    const int enabled = qv_audit_enabled();
    const std::string_view log_path = qv_audit_log_path();
    FUZZ_CHECK(enabled == 0 || enabled == 1);
    FUZZ_CHECK(qv_audit_cap_bytes() >= 0);
    if (!names("registry_access_log")) {
        FUZZ_CHECK(qv_audit_cap_bytes() == 5242880);
        // Without a root key the log is on, in the default root (a long root turns it off).
        if (!names("storage_root")) {
            FUZZ_CHECK(enabled == 1 && log_path == "./registry_storage/registry_access.log");
        }
    }
    if (enabled) {
        FUZZ_CHECK(log_path.size() <= kLogPathMax && log_path.ends_with(kLogName));
    } else {
        FUZZ_CHECK(log_path.empty() && qv_audit_log_bytes() == -1);
    }
    // The next input starts from a module that has read nothing; no line is due at exit.
    qv::frontend::audit_reset_for_tests();
    return 0;
}
