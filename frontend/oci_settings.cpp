// Registry settings from config.json and the once-per-process storage start-up.
// The file is not parsed as JSON: each setting is found by a text search for its quoted key
// and a short scan of the value after the key's colon.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "frontend/config_text.h"
#include "frontend/oci_common.h"
#include "frontend/qv_cgi.h"
#include "platform/os.h"
#include "storage/reg_storage.h"

using qv::frontend::ConfigText;
using qv::frontend::is_digit;

namespace {

// The value readers see the first 4095 bytes of the file, the root search the first 2047.
using SettingsText = ConfigText<4096>;
using RootText = ConfigText<2048>;
constexpr std::size_t kRootSize = 1024;

int s_storage_ready = 0;

// Offset of the first character of the value that follows the key pattern's first
// occurrence, its colon and any white space.
std::optional<std::size_t> locate_value(const SettingsText &cfg, const char *key_pattern) {
    if (key_pattern == nullptr) return std::nullopt;
    const std::string_view text = cfg.text();
    const std::size_t key = text.find(key_pattern);
    if (key == std::string_view::npos) return std::nullopt;
    const std::size_t colon = text.find(':', key);
    if (colon == std::string_view::npos) return std::nullopt;
    return qv::frontend::skip_config_space(text, colon + 1);
}

// Digits read base 10 as strtoll does, stopping at the first non-digit; never negative.
int64_t non_negative(const char *value) {
    const long long n = std::strtoll(value, nullptr, 10);
    return n < 0 ? 0 : static_cast<int64_t>(n);
}

// The double-quoted text after the root key's colon, copied unchanged when it fits.
void root_from_config(char *root) {
    const RootText cfg;
    const std::string_view text = cfg.text();
    std::size_t key = text.find("\"storage_root\":");
    if (key == std::string_view::npos) key = text.find("\"registry_storage_root\":");
    if (key == std::string_view::npos) return;
    const std::size_t colon = text.find(':', key);
    if (colon == std::string_view::npos) return;
    const std::size_t open = text.find('"', colon + 1);
    if (open == std::string_view::npos) return;
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) return;
    const std::string_view value = text.substr(open + 1, close - open - 1);
    // Too long a root is not cut to fit: the default is used instead.
    if (value.size() > kRootSize - 1) return;
    value.copy(root, value.size());
    root[value.size()] = '\0';
}

}  // namespace

extern "C" int64_t oci_config_int(const char *key_pattern) {
    const SettingsText cfg;
    const auto at = locate_value(cfg, key_pattern);
    if (!at) return 0;
    const char *value = cfg.c_str() + *at;
    // A sign is accepted, but a negative setting reads as 0: the rule it sets is off.
    const char *digits = value[0] == '-' ? value + 1 : value;
    if (!is_digit(digits[0])) return 0;
    return non_negative(value);
}

extern "C" int64_t oci_retention_keep_n(void) {
    return oci_config_int("\"registry_retention_keep_n\"");
}

extern "C" int64_t oci_retention_days(void) {
    return oci_config_int("\"registry_retention_days\"");
}

extern "C" int64_t oci_retention_untagged_days(void) {
    return oci_config_int("\"registry_retention_untagged_days\"");
}

extern "C" int oci_retention_protect_latest(void) {
    const SettingsText cfg;
    const auto at = locate_value(cfg, "\"registry_retention_protect_latest\"");
    if (!at) return 1;
    const char *value = cfg.c_str() + *at;
    if (std::strncmp(value, "true", 4) == 0) return 1;
    if (std::strncmp(value, "false", 5) == 0) return 0;
    if (is_digit(value[0])) return std::strtoll(value, nullptr, 10) != 0 ? 1 : 0;
    return 1;
}

extern "C" int64_t oci_quota_bytes(void) {
    const SettingsText cfg;
    const auto at = locate_value(cfg, "\"registry_quota_bytes\"");
    if (!at) return 0;
    const char *value = cfg.c_str() + *at;
    if (!is_digit(value[0])) return 0;
    return non_negative(value);
}

extern "C" int oci_init_storage(void) {
    if (s_storage_ready) return 0;
    char root[kRootSize] = {};
    const char *env_root = cgi_env("REGISTRY_STORAGE_ROOT", nullptr);
    if (env_root[0] != '\0') {
        // Cut, it would name another directory, which the store would then be made in.
        if (std::strlen(env_root) >= sizeof root) return -1;
        qv_strlcpy(root, env_root, sizeof root);
    } else {
        root_from_config(root);
    }
    if (root[0] == '\0') qv_snprintf(root, sizeof root, ".%sregistry_storage", qv::os::kSepStr);
    reg_set_clock_margin(oci_config_int("\"registry_clock_margin_seconds\""));
    const int rc = reg_storage_init(root);
    // A failure leaves the flag clear, so a later call tries again.
    if (rc == 0) s_storage_ready = 1;
    return rc;
}
