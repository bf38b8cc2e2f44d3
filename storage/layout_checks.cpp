// Well-formedness of the names, digests and ids the engine turns into paths.
#include <algorithm>
#include <string_view>

#include "storage/storage_internal.h"

namespace reg {

namespace {

constexpr std::string_view kDigestPrefix = "sha256:";
constexpr size_t kRepoNameMax = 255;

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool all_lower_hex(std::string_view s) {
    return std::all_of(s.begin(), s.end(), is_lower_hex);
}

bool is_repo_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '/' || c == '\\';
}

}  // namespace

int hex64_valid(const char *text) {
    if (text == nullptr) return 0;
    const std::string_view s(text);
    return s.size() == 64 && all_lower_hex(s);
}

int digest_valid(const char *text) {
    if (text == nullptr) return 0;
    const std::string_view s(text);
    if (!s.starts_with(kDigestPrefix)) return 0;
    return hex64_valid(text + kDigestPrefix.size());
}

int uuid_valid(const char *text) {
    if (text == nullptr) return 0;
    const std::string_view s(text);
    if (s.size() != 36) return 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen_place ? s[i] != '-' : !is_lower_hex(s[i])) return 0;
    }
    return 1;
}

int repo_name_valid(const char *text) {
    if (text == nullptr) return 0;
    const std::string_view s(text);
    if (s.size() > kRepoNameMax) return 0;
    if (!std::all_of(s.begin(), s.end(), is_repo_char)) return 0;
    return s.find("..") == std::string_view::npos;
}

bool repo_name_enters_manifests(std::string_view name) {
    while (true) {
        const size_t cut = name.find('/');
        if (name.substr(0, cut) == "_manifests") return true;
        if (cut == std::string_view::npos) return false;
        name.remove_prefix(cut + 1);
    }
}

}  // namespace reg
