// The Basic credentials of a request: the whole gate over a hostile HTTP_AUTHORIZATION, with
// one fixed account configured (user "fuzz", password "secret").
//
// Input: the header's value (up to its first NUL); an empty input leaves the variable unset.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "frontend/v2_auth.h"
#include "fuzz/fuzz_support.h"

namespace {

// The access log stays off, so that no line is written anywhere when the fuzzer exits.
constexpr const char *kConfig =
    "{\n"
    "  \"registry_auth_user\": \"fuzz\",\n"
    "  \"registry_auth_sha256\": "
    "\"2bb80d537b1da3e38bd30361aa855686bde0eacd7162fef6a25fe97bf527a25b\",\n"
    "  \"registry_access_log\": 0\n"
    "}\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Every refusal writes a whole 401 answer; the fuzzer's own report goes to stderr.
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
    qvfuzz::write_bytes(qvfuzz::scratch_dir() + "/config.json", kConfig);
    ::unsetenv("REGISTRY_STORAGE_ROOT");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string header = qvfuzz::split_fields(data, size, 2)[0];
    const qvfuzz::InDirectory in(qvfuzz::scratch_dir());
    const qvfuzz::EnvVar var("HTTP_AUTHORIZATION",
                             header.empty() ? std::nullopt : std::optional<std::string>(header));
    FUZZ_CHECK(registry_auth_enabled() == 1);
    const int first = registry_auth_check();
    FUZZ_CHECK(first == 0 || first == 1);
    // Nothing of one check may leak into the next.
    FUZZ_CHECK(registry_auth_check() == first);
    return 0;
}
