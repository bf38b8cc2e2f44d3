// Referrers: the manifests of a repository whose subject names a given manifest (signatures,
// SBOMs, attestations). Found by reading the repository's manifest bodies, the one record of
// what a manifest says, so nothing can drift from them; a body is parsed only when its bytes
// hold the subject's digest at all.
#include <yyjson.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/manifest_resolve.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg {

namespace {

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

const char *str_member(yyjson_val *obj, const char *key) {
    return yyjson_get_str(yyjson_obj_get(obj, key));
}

}  // namespace

bool subject_hex_of(yyjson_val *root, char hex[65]) {
    const char *digest = str_member(yyjson_obj_get(root, "subject"), "digest");
    if (digest == nullptr || std::strncmp(digest, "sha256:", 7) != 0 || !hex64_valid(digest + 7))
        return false;
    std::memcpy(hex, digest + 7, 65);
    return true;
}

bool manifest_subject(const char *repo, const char *hex, char subject[65]) {
    char path[kPathCap];
    if (manifest_body_path(path, repo, hex) != 0) return false;
    uint64_t len = 0;
    const std::unique_ptr<char, FreeDeleter> body(read_file_alloc(path, &len));
    static constexpr std::string_view kKey = "\"subject\"";
    if (!body || memmem(body.get(), len, kKey.data(), kKey.size()) == nullptr) return false;
    const std::unique_ptr<yyjson_doc, DocFree> doc(yyjson_read(body.get(), len, 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    return yyjson_is_obj(root) && subject_hex_of(root, subject);
}

namespace {

// Visits each sound body of repo whose bytes hold needle and which parses to an object with a
// subject, in hex order, with its hex, its subject's hex, the parsed body and its size.
using BodyVisit =
    std::function<bool(const char *hex, const char *subject, yyjson_val *root, uint64_t size)>;
int scan_subjects(const char *repo, std::string_view needle, const BodyVisit &visit) {
    char dir[kPathCap];
    if (manifest_body_path(dir, repo, ".") != 0) return -1;
    std::vector<DirEntry> entries;
    if (!list_entries(dir, &entries)) {
        if (!qv::os::is_dir(dir)) return 0;  // no manifests: no attachments
        set_error("cannot list manifests of %s", repo);
        return -1;
    }
    std::vector<std::string> names;
    for (DirEntry &e : entries)
        if (!e.is_dir && hex64_valid(e.name.c_str())) names.push_back(std::move(e.name));
    entries.clear();
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        char path[kPathCap];
        if (manifest_body_path(path, repo, name.c_str()) != 0) return -1;
        uint64_t len = 0;
        const std::unique_ptr<char, FreeDeleter> body(read_file_alloc(path, &len));
        if (!body || memmem(body.get(), len, needle.data(), needle.size()) == nullptr) continue;
        // A damaged body says nothing about its subject.
        if (!bytes_have_hex(body.get(), len, name.c_str())) continue;
        const std::unique_ptr<yyjson_doc, DocFree> doc(yyjson_read(body.get(), len, 0));
        yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
        char subject[65];
        if (!yyjson_is_obj(root) || !subject_hex_of(root, subject)) continue;
        if (!visit(name.c_str(), subject, root, len)) break;
    }
    return 0;
}

}  // namespace

int for_each_referrer(const char *repo, const char *subject_hex, const ReferrerVisit &visit) {
    const std::string needle = std::string("sha256:") + subject_hex;
    return scan_subjects(
        repo, needle, [&](const char *hex, const char *subject, yyjson_val *root, uint64_t size) {
            return std::strcmp(subject, subject_hex) != 0 || visit(hex, root, size);
        });
}

std::vector<std::string> AttachmentGraph::of(const std::string &hex) {
    if (!read_) {
        read_ = true;
        scan_subjects(repo_.c_str(), "\"subject\"",
                      [this](const char *h, const char *subject, yyjson_val *, uint64_t) {
                          by_subject_[subject].emplace_back(h);
                          return true;
                      });
    }
    const auto it = by_subject_.find(hex);
    return it == by_subject_.end() ? std::vector<std::string>() : it->second;
}

void AttachmentGraph::forget(const std::string &hex) {
    for (auto &[subject, list] : by_subject_)
        list.erase(std::remove(list.begin(), list.end(), hex), list.end());
}

}  // namespace reg

using namespace reg;

extern "C" int reg_referrers_each(const char *repo, const char *subject_digest,
                                  const char *artifact_type, reg_referrer_fn fn, void *ctx) {
    if (repo == nullptr || subject_digest == nullptr || fn == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    if (repo[0] == '\0' || !repo_name_valid(repo)) {
        set_error("invalid repository name: %s", repo);
        return -1;
    }
    if (std::strncmp(subject_digest, "sha256:", 7) != 0 || !hex64_valid(subject_digest + 7)) {
        set_error("invalid digest: %s", subject_digest);
        return -1;
    }
    const bool filtered = artifact_type != nullptr && artifact_type[0] != '\0';
    int rc = 0;
    const int walked = for_each_referrer(
        repo, subject_digest + 7, [&](const char *hex, yyjson_val *root, uint64_t size) {
            // An image manifest without an artifactType is typed by its config.
            const bool is_index = yyjson_obj_get(root, "manifests") != nullptr;
            const char *type = str_member(root, "artifactType");
            if (type == nullptr && !is_index)
                type = str_member(yyjson_obj_get(root, "config"), "mediaType");
            if (filtered && (type == nullptr || std::strcmp(type, artifact_type) != 0)) return true;
            const char *media_type = str_member(root, "mediaType");
            char stored_type[256] = "";
            if (media_type == nullptr) {
                char ct_path[kPathCap];
                char name[80];
                std::snprintf(name, sizeof name, "%s.ct", hex);
                uint64_t n = 0;
                if (manifest_body_path(ct_path, repo, name) == 0 &&
                    read_file(ct_path, stored_type, sizeof stored_type, &n) == 0)
                    media_type = stored_type;
            }
            const std::unique_ptr<yyjson_mut_doc, DocFree> out(yyjson_mut_doc_new(nullptr));
            yyjson_mut_doc *d = out.get();
            yyjson_mut_val *desc = yyjson_mut_obj(d);
            yyjson_mut_doc_set_root(d, desc);
            yyjson_mut_obj_add_strcpy(
                d, desc, "mediaType",
                media_type != nullptr ? media_type : "application/vnd.oci.image.manifest.v1+json");
            const std::string digest = std::string("sha256:") + hex;
            yyjson_mut_obj_add_strncpy(d, desc, "digest", digest.data(), digest.size());
            yyjson_mut_obj_add_uint(d, desc, "size", size);
            if (type != nullptr) yyjson_mut_obj_add_strcpy(d, desc, "artifactType", type);
            yyjson_val *annotations = yyjson_obj_get(root, "annotations");
            if (yyjson_is_obj(annotations) && yyjson_obj_size(annotations) > 0)
                yyjson_mut_obj_add_val(d, desc, "annotations", yyjson_val_mut_copy(d, annotations));
            const std::unique_ptr<char, FreeDeleter> text(yyjson_mut_write(d, 0, nullptr));
            if (!text) {
                set_error("out of memory");
                rc = -1;
                return false;
            }
            if (fn(text.get(), ctx) != 0) {
                rc = 1;
                return false;
            }
            return true;
        });
    return walked != 0 ? walked : rc;
}
