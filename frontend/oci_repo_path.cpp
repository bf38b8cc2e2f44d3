// Repository names as the front end accepts them, and the split of a request path such as
// /v2/team/app/manifests/latest at a marker into the repository and the rest.
#include <cstring>
#include <string_view>

#include "frontend/oci_common.h"
#include "frontend/qv_cgi.h"

namespace {

constexpr std::size_t kRepoNameMax = 255;

// isalnum of the default locale, without asking the locale.
constexpr bool ascii_alnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

void clear(char *buf, std::size_t size) {
    if (buf != nullptr && size > 0) buf[0] = '\0';
}

}  // namespace

extern "C" int oci_valid_repo_name(const char *name) {
    if (name == nullptr) return 0;
    const std::string_view n(name);
    if (n.empty() || n.size() > kRepoNameMax) return 0;
    for (std::size_t i = 0; i < n.size(); ++i) {
        const char c = n[i];
        if (ascii_alnum(c)) continue;
        const bool inner = i > 0 && i + 1 < n.size();
        if ((c == '-' || c == '_' || c == '.') && inner) continue;
        if (c == '/' && inner && n[i - 1] != '/') continue;
        return 0;
    }
    return 1;
}

extern "C" int oci_parse_repo_marker(const char *path, const char *marker, char *repo,
                                     size_t repo_size, char *rest, size_t rest_size) {
    if (path == nullptr || marker == nullptr || repo == nullptr || repo_size == 0) return 0;
    repo[0] = '\0';
    clear(rest, rest_size);

    std::string_view p(path);
    while (p.starts_with('/'))
        p.remove_prefix(1);
    if (p.starts_with("v2/")) {
        p.remove_prefix(3);
    } else if (p == "v2") {
        p = {};
    }

    const std::size_t at = p.find(marker);
    if (at == std::string_view::npos || at == 0 || at >= repo_size) return 0;
    p.copy(repo, at);
    repo[at] = '\0';
    if (!oci_valid_repo_name(repo)) return 0;

    if (rest != nullptr && rest_size > 0) {
        std::string_view r = p.substr(at + std::strlen(marker));
        while (r.starts_with('/'))
            r.remove_prefix(1);
        if (r.ends_with('/')) r.remove_suffix(1);
        // A cut reference could name another tag or digest: refuse rather than cut.
        if (r.size() >= rest_size) return 0;
        r.copy(rest, r.size());
        rest[r.size()] = '\0';
    }
    return 1;
}
