// Repository names and request paths: the front end's name check and the split of a path at
// a marker into repository and rest, into buffers of exactly the sizes given, so that a
// write past either one is caught.
//
// Input: one byte choosing the buffer sizes, then path NUL marker NUL name.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/oci_common.h"
#include "fuzz/fuzz_support.h"

namespace {

// Small sizes cut at every length a short name or reference has; 4096 holds any path.
constexpr size_t kRepoSizes[] = {1, 2, 3, 8, 16, 255, 256, 4096};
constexpr size_t kRestSizes[] = {0, 1, 2, 8, 64, 128, 4096, 0};

constexpr bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '/';
}

// What every caller relies on of a name the check accepts: it stays below the directory it
// is joined to, and names one directory per component.
void check_accepted_name(std::string_view name) {
    FUZZ_CHECK(!name.empty() && name.size() <= 255);
    for (const char c : name)
        FUZZ_CHECK(name_char(c));
    FUZZ_CHECK(name.front() != '/' && name.back() != '/');
    FUZZ_CHECK(name.find("//") == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t repo_size = kRepoSizes[data[0] & 7];
    const size_t rest_size = kRestSizes[(data[0] >> 3) & 7];
    // With the top bit, a rest buffer is passed with the size 0: it must not be touched.
    const bool rest_given = rest_size > 0 || (data[0] & 0x80) != 0;
    const std::vector<std::string> f = qvfuzz::split_fields(data + 1, size - 1, 3);
    const std::string &path = f[0];
    const std::string &marker = f[1];

    const int valid = oci_valid_repo_name(f[2].c_str());
    FUZZ_CHECK(valid == 0 || valid == 1);
    if (valid) check_accepted_name(f[2].c_str());
    FUZZ_CHECK(oci_valid_repo_name(nullptr) == 0);

    const auto repo = std::make_unique<char[]>(repo_size);
    const auto rest = std::make_unique<char[]>(rest_size > 0 ? rest_size : 1);
    rest[0] = 'x';
    const int rc = oci_parse_repo_marker(path.c_str(), marker.c_str(), repo.get(), repo_size,
                                         rest_given ? rest.get() : nullptr, rest_size);
    FUZZ_CHECK(rc == 0 || rc == 1);
    FUZZ_CHECK(std::memchr(repo.get(), '\0', repo_size) != nullptr);
    if (rest_size > 0) FUZZ_CHECK(std::memchr(rest.get(), '\0', rest_size) != nullptr);
    if (rest_given && rest_size == 0) FUZZ_CHECK(rest[0] == 'x');
    if (rc == 1) {
        const std::string_view r(repo.get());
        check_accepted_name(r);
        FUZZ_CHECK(oci_valid_repo_name(repo.get()) == 1);
        // The repository is the text just before the marker, somewhere in the path.
        FUZZ_CHECK(path.find(std::string(r) + marker) != std::string::npos);
        if (rest_size > 0) FUZZ_CHECK(rest[0] != '/');
    }
    FUZZ_CHECK(oci_parse_repo_marker(nullptr, marker.c_str(), repo.get(), repo_size, nullptr, 0) ==
               0);

    // The HTTP router's own parsing of paths and headers has a harness of its own (its place
    // is marked in fuzz/CMakeLists.txt).
    return 0;
}
