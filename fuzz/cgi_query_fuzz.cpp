// Query lookup and decoding over a hostile QUERY_STRING and hostile parameter names.
//
// Input: QUERY_STRING NUL name NUL name ... (up to 16 names). An empty query string leaves
// the variable unset, so the lookup falls back to the environment: the first name is then
// also set as a variable whose value is the second field.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "frontend/qv_cgi.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kFields = 17;
constexpr size_t kValueMax = 511;
constexpr size_t kLiveSlots = 8;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ::unsetenv("QUERY_STRING");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> f = qvfuzz::split_fields(data, size, kFields);
    const bool from_env = f[0].empty();
    const qvfuzz::EnvVar query("QUERY_STRING",
                               from_env ? std::nullopt : std::optional<std::string>(f[0]));

    if (from_env) {
        // A variable named like the parameter stands in for the query; its value comes back
        // as it is, unless it looks like a search path (both ';' and ':').
        const qvfuzz::EnvVar var(f[1], f[2]);
        if (var.usable() && f[1] != "QUERY_STRING") {
            const char *got = cgi_query(f[1].c_str());
            FUZZ_CHECK(got != nullptr);
            const bool path_like =
                f[2].find(';') != std::string::npos && f[2].find(':') != std::string::npos;
            FUZZ_CHECK(std::string(got) == (path_like ? std::string() : f[2]));
        }
        return 0;
    }

    // The last eight values must all stay intact: callers hold several at once.
    std::vector<const char *> got;
    std::vector<std::string> copies;
    for (size_t i = 1; i < kFields; ++i) {
        if (i > 1 && f[i].empty()) break;
        const char *v = cgi_query(f[i].c_str());
        FUZZ_CHECK(v != nullptr);
        FUZZ_CHECK(std::strlen(v) <= kValueMax);
        if (f[i].empty()) {
            FUZZ_CHECK(v[0] == '\0');
            continue;
        }
        got.push_back(v);
        copies.emplace_back(v);
    }
    const size_t first_live = got.size() > kLiveSlots ? got.size() - kLiveSlots : 0;
    for (size_t i = first_live; i < got.size(); ++i)
        FUZZ_CHECK(copies[i] == got[i]);
    return 0;
}
