// Routes a request below /v2 to its family: the gate first, then the path's shape.
#include "endpoints/v2_router.h"

#include <string>
#include <string_view>

#include "endpoints/same_site.h"
#include "endpoints/v2_internal.h"
#include "frontend/access.h"
#include "frontend/config_text.h"
#include "frontend/oci_common.h"
#include "frontend/qv_cgi.h"
#include "frontend/v2_auth.h"

namespace {

using v2::Route;

enum class Family { Upload, Blob, Manifest, Tags };

struct Marker {
    const char *text;
    Family family;
};

// In the order a tie is broken: "/blobs/uploads/" and "/blobs/" start at the same place.
constexpr Marker kMarkers[] = {{"/blobs/uploads/", Family::Upload},
                               {"/blobs/", Family::Blob},
                               {"/manifests/", Family::Manifest},
                               {"/tags/", Family::Tags}};

[[noreturn]] void not_found() {
    v2::fail(404, "NOT_FOUND", "no such route");
}

// The first marker in the path ends the repository name (which therefore cannot hold one).
const Marker *find_marker(std::string_view path, size_t *at) {
    const Marker *best = nullptr;
    for (const Marker &m : kMarkers) {
        const size_t pos = path.find(m.text);
        if (pos != std::string_view::npos && (best == nullptr || pos < *at)) {
            best = &m;
            *at = pos;
        }
    }
    return best;
}

// <name>/referrers/<digest>, taken only where no older route's marker is: the last
// "/referrers/" ends the name, so a repository with a component of that name stays reachable.
// A whole repository name taken from the path: one too long or malformed is refused.
void check_name(const std::string &name) {
    if (name.size() > 255 || !oci_valid_repo_name(name.c_str()))
        v2::fail(400, "NAME_INVALID", "invalid repository name: " + name);
}

// What a repository route asks: reads pull; an upload or a manifest put pushes; deletions
// delete.
unsigned rights_of(Family family, v2::Method method) {
    if (family == Family::Upload) return qv::frontend::kPush;
    if (method == v2::Method::Put) return qv::frontend::kPush;
    if (method == v2::Method::Delete) return qv::frontend::kDelete;
    return qv::frontend::kPull;
}

void route_referrers(const std::string &path, v2::Method method) {
    constexpr std::string_view kMarker = "/referrers/";
    const size_t at = path.rfind(kMarker);
    if (at == std::string::npos || at == 0) not_found();
    const std::string name = path.substr(0, at);
    const std::string digest = path.substr(at + kMarker.size());
    if (digest.empty() || digest.find('/') != std::string::npos) not_found();
    check_name(name);
    if (!registry_auth_require(qv::frontend::kPull, name.c_str())) return;
    v2::handle_referrers(Route{method, name, digest});
}

void route_repository(std::string path, v2::Method method) {
    if (path.ends_with("/blobs/uploads")) path += '/';
    size_t at = 0;
    const Marker *m = find_marker(path, &at);
    if (m == nullptr) {
        route_referrers(path, method);
        return;
    }
    // The path is below /v2; the prefix given back lets the splitter take it off again, so a
    // repository whose first component is v2 keeps it.
    char repo[256];
    char rest[1024];
    if (!oci_parse_repo_marker(("/v2/" + path).c_str(), m->text, repo, sizeof repo, rest,
                               sizeof rest)) {
        const std::string name = path.substr(0, at);
        if (!oci_valid_repo_name(name.c_str()))
            v2::fail(400, "NAME_INVALID", "invalid repository name: " + name);
        not_found();
    }
    const Route r{method, repo, rest};
    if (!registry_auth_require(rights_of(m->family, method), r.repo.c_str())) return;
    // A mount also reads the repository it names as its source.
    const char *from = cgi_query("from");
    if (m->family == Family::Upload && cgi_query("mount")[0] != '\0' && from[0] != '\0' &&
        !registry_auth_require(qv::frontend::kPull, from))
        return;
    const bool one_segment = r.rest.find('/') == std::string::npos;
    switch (m->family) {
        case Family::Upload:
            if (!one_segment) not_found();
            v2::handle_upload(r);
            return;
        case Family::Blob:
            if (r.rest.empty() || !one_segment) not_found();
            v2::handle_blob(r);
            return;
        case Family::Manifest:
            if (r.rest.empty()) not_found();
            v2::handle_manifest(r);
            return;
        case Family::Tags:
            if (r.rest != "list") not_found();
            v2::handle_tags(r);
            return;
    }
}

// <prefix><rest> with rest not empty: the page's files, a repository's details.
bool below(std::string_view path, std::string_view prefix, std::string *rest) {
    if (!path.starts_with(prefix) || path.size() == prefix.size()) return false;
    *rest = path.substr(prefix.size());
    return true;
}

// The administration routes with a path below them, else a repository's route.
void route_below(std::string_view path, v2::Method method) {
    std::string rest;
    if (below(path, "_ui/", &rest)) {
        if (registry_auth_require_user()) v2::handle_page(Route{method, "", rest});
    } else if (below(path, "_repository/", &rest)) {
        check_name(rest);
        if (registry_auth_require_admin()) v2::handle_repository(Route{method, rest, ""});
    } else {
        route_repository(std::string(path), method);
    }
}

}  // namespace

extern "C" int handle_v2_registry(void) {
    const qv::frontend::ConfigSnapshot config;  // one read of config.json for the request
    // The storage root first, so that every request, refused ones included, has somewhere
    // for its access-log line.
    std::string_view path(cgi_env("PATH_INFO", nullptr));
    while (path.starts_with('/'))
        path.remove_prefix(1);
    // The health route tells a store that cannot be used as unavailable (503).
    v2::need_storage(path == "_health" ? 503 : 500);
    // Open to a load balancer: it tells only whether the store takes writes.
    if (path == "_health") {
        v2::handle_health(Route{v2::request_method(), "", ""});
        return 0;
    }
    if (!registry_auth_check()) return 0;
    const v2::Method method = v2::request_method();
    if (!v2::is_read(method) && qv::endpoints::cross_site_request())
        v2::fail(403, "DENIED", "cross-site request refused");
    const Route bare{method, "", ""};
    // Clients learn here that credentials are wanted: a client that has some then sends them.
    const bool admin_route = path == "_gc" || path == "_fsck" || path == "_metrics" ||
                             path == "_stats" || path == "_usage" || path == "_retention_preview";
    if (admin_route && !registry_auth_require_admin()) return 0;
    if (path.empty()) {
        if (registry_auth_require_user()) v2::handle_base(bare);
    } else if (path == "_catalog") {
        v2::handle_catalog(bare);
    } else if (path == "_me") {
        v2::handle_me(bare);
    } else if (path == "_gc") {
        v2::handle_gc(bare);
    } else if (path == "_fsck") {
        v2::handle_fsck(bare);
    } else if (path == "_metrics") {
        v2::handle_metrics(bare);
    } else if (path == "_stats") {
        v2::handle_stats(bare);
    } else if (path == "_usage") {
        v2::handle_usage(bare);
    } else if (path == "_retention_preview") {
        v2::handle_retention_preview(bare);
    } else {
        route_below(path, method);
    }
    return 0;
}
