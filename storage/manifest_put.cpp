// Manifest upload: validate the manifest and everything it references, then store its exact
// bytes under their SHA-256 with content type, revision link and (for a tag) tag link.
#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "storage/gc_internal.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "storage/storage_internal.h"
#include "storage/tag_rules.h"

namespace reg {

void (*put_checked_hook)() = nullptr;
void (*put_written_hook)() = nullptr;

namespace {

constexpr size_t kDigestLen = 71;     // "sha256:" + 64 hex digits
constexpr size_t kDigestOutCap = 72;  // and its NUL
constexpr size_t kMediaTypeCap = 256;
constexpr size_t kTagMax = 128;
constexpr std::string_view kDigestPrefix = "sha256:";
constexpr const char kDefaultContentType[] = "application/vnd.docker.distribution.manifest.v2+json";

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

bool is_digest_reference(const char *reference) {
    return std::string_view(reference).starts_with(kDigestPrefix);
}

bool tag_char(char c, bool first) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    return alnum || c == '_' || (!first && (c == '.' || c == '-'));
}

// A tag becomes one directory name: [A-Za-z0-9_][A-Za-z0-9._-]{0,127}. No separator, no "."
// or "..", nothing that could reach beyond the repository's tags directory.
bool tag_valid(std::string_view tag) {
    if (tag.empty() || tag.size() > kTagMax) return false;
    for (size_t i = 0; i < tag.size(); ++i) {
        if (!tag_char(tag[i], i == 0)) return false;
    }
    return true;
}

// The name must place the manifests inside a repository the walks can find: some component
// other than "" and ".", and none named "_manifests" (the walks never enter those, so what
// is stored there would be invisible, and its blobs collectable).
bool repo_places_inside_repositories(std::string_view name) {
    if (repo_name_enters_manifests(name)) return false;
    while (true) {
        const size_t cut = name.find('/');
        const std::string_view part = name.substr(0, cut);
        if (!part.empty() && part != ".") return true;
        if (cut == std::string_view::npos) return false;
        name.remove_prefix(cut + 1);
    }
}

// A JSON string of exactly the digest form (a NUL inside the string does not end it early).
const char *digest_member(yyjson_val *obj) {
    if (!yyjson_is_obj(obj)) return nullptr;
    yyjson_val *digest = yyjson_obj_get(obj, "digest");
    if (!yyjson_is_str(digest) || yyjson_get_len(digest) != kDigestLen) return nullptr;
    const char *text = yyjson_get_str(digest);
    return digest_valid(text) ? text : nullptr;
}

bool body_stored_in(const char *repo, const char *hex) {
    char path[kPathCap];
    char saved_error[kErrorCap];
    std::memcpy(saved_error, s_error, kErrorCap);
    if (manifest_body_path(path, repo, hex) != 0) {
        std::memcpy(s_error, saved_error, kErrorCap);  // a name too long to hold it
        return false;
    }
    return qv::os::is_file(path);
}

// An index child must be a manifest stored in this repository: a client pulls the children
// through the index's own repository, so one stored only elsewhere could never be pulled.
bool child_manifest_stored(const char *repo, const char *digest) {
    return body_stored_in(repo, digest + kDigestPrefix.size());
}

int check_index(const char *repo, yyjson_val *manifests) {
    if (!yyjson_is_arr(manifests)) {
        set_error("manifest \"manifests\" must be an array");
        return -1;
    }
    const size_t count = yyjson_arr_size(manifests);
    if (count == 0) {
        set_error("manifest index must reference at least 1 manifest");
        return -1;
    }
    for (size_t i = 0; i < count; ++i) {
        const char *digest = digest_member(yyjson_arr_get(manifests, i));
        if (digest == nullptr) {
            set_error("manifest index entry %zu missing valid digest", i);
            return -1;
        }
        if (!child_manifest_stored(repo, digest)) {
            set_error("BLOB_UNKNOWN: %s", digest);
            return -1;
        }
    }
    return 0;
}

// The blob must be stored, and is marked as in use now (see blob_touch), before anything of
// the manifest is written.
int require_blob(const char *digest) {
    if (blob_touch(digest)) return 0;
    set_error("BLOB_UNKNOWN: %s", digest);
    return -1;
}

// Once the index's body is written, each child must still be stored: a deletion that looked
// for indexes listing it just before the body appeared may have taken it. The put then fails,
// as for a blob below.
int recheck_index_children(const char *repo, yyjson_val *manifests) {
    const size_t count = yyjson_arr_size(manifests);
    for (size_t i = 0; i < count; ++i) {
        const char *digest = digest_member(yyjson_arr_get(manifests, i));
        if (!child_manifest_stored(repo, digest)) {
            set_error("BLOB_UNKNOWN: %s", digest);
            return -1;
        }
    }
    return 0;
}

// Once the body is written, each blob is marked again and must still be there: a collection
// that read the repository's manifests just before the body appeared, and met a blob whose
// refresh came before it began, may have swept it. The put then fails, and takes back a body
// it created, so that no manifest is left naming a blob that is gone.
int recheck_image_blobs(yyjson_val *root) {
    if (int rc = require_blob(digest_member(yyjson_obj_get(root, "config"))); rc != 0) return rc;
    yyjson_val *layers = yyjson_obj_get(root, "layers");
    const size_t count = yyjson_arr_size(layers);
    for (size_t i = 0; i < count; ++i) {
        if (require_blob(digest_member(yyjson_arr_get(layers, i))) != 0) return -1;
    }
    return 0;
}

int check_image(yyjson_val *root) {
    yyjson_val *config = yyjson_obj_get(root, "config");
    const char *config_digest = yyjson_obj_size(config) > 0 ? digest_member(config) : nullptr;
    if (config_digest == nullptr) {
        set_error("manifest missing valid config.digest");
        return -1;
    }
    if (require_blob(config_digest) != 0) return -1;
    yyjson_val *layers = yyjson_obj_get(root, "layers");
    if (layers == nullptr) return 0;
    if (!yyjson_is_arr(layers)) {
        set_error("manifest layers must be an array");
        return -1;
    }
    const size_t count = yyjson_arr_size(layers);
    for (size_t i = 0; i < count; ++i) {
        const char *digest = digest_member(yyjson_arr_get(layers, i));
        if (digest == nullptr) {
            set_error("manifest layer %zu missing valid digest", i);
            return -1;
        }
        if (require_blob(digest) != 0) return -1;
    }
    return 0;
}

// Checks the parsed manifest; on success media_type holds its declared mediaType (or the
// empty text).
int validate_manifest(const char *repo, yyjson_doc *doc, char media_type[kMediaTypeCap]) {
    if (doc == nullptr) {
        set_error("manifest JSON parse failed");
        return -1;
    }
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) {
        set_error("manifest must be a JSON object");
        return -1;
    }
    if (yyjson_obj_size(root) == 0) {
        set_error("manifest missing valid config.digest");
        return -1;
    }
    media_type[0] = '\0';
    yyjson_val *declared = yyjson_obj_get(root, "mediaType");
    if (yyjson_is_str(declared) && yyjson_get_len(declared) < kMediaTypeCap) {
        std::snprintf(media_type, kMediaTypeCap, "%s", yyjson_get_str(declared));
    }
    // A subject need not be stored (yet): an attachment may arrive before its image. Its digest
    // must be one this store can hold, or the attachment could never be listed.
    yyjson_val *subject = yyjson_obj_get(root, "subject");
    if (subject != nullptr && !digest_valid(yyjson_get_str(yyjson_obj_get(subject, "digest")))) {
        set_error("manifest subject digest must be sha256: and 64 lowercase hex digits");
        return -1;
    }
    yyjson_val *manifests = yyjson_obj_get(root, "manifests");
    return manifests != nullptr ? check_index(repo, manifests) : check_image(root);
}

// The client's type, unless it is absent or the generic default and the manifest declares
// its own.
const char *content_type_to_store(const char *argument, const char *declared) {
    const bool no_argument = argument == nullptr || argument[0] == '\0';
    if (no_argument) return declared[0] != '\0' ? declared : kDefaultContentType;
    if (std::strcmp(argument, kDefaultContentType) == 0 && declared[0] != '\0') return declared;
    return argument;
}

// Every file and directory the write touches, built before the first write so that a name
// too long for the path buffers writes nothing.
struct WritePaths {
    char manifests_dir[kPathCap];
    char body[kPathCap];
    char content_type[kPathCap];
    char rev_dir[kPathCap];
    char rev_link[kPathCap];
    char tag_dir[kPathCap];
    char tag_link[kPathCap];
};

int path_too_long() {
    set_error("%s", kPathTooLong);
    return -1;
}

int build_write_paths(const char *repo, const char *hex, const char *tag, WritePaths *p) {
    const char *sep = qv::os::kSepStr;
    const int n = std::snprintf(p->manifests_dir, kPathCap, "%s%srepositories%s%s%s_manifests",
                                s_root, sep, sep, repo, sep);
    if (n < 0 || static_cast<size_t>(n) >= kPathCap) return path_too_long();
    if (manifest_body_path(p->body, repo, hex) != 0) return -1;
    const int ct = std::snprintf(p->content_type, kPathCap, "%s.ct", p->body);
    if (ct < 0 || static_cast<size_t>(ct) >= kPathCap) return path_too_long();
    if (manifest_rev_dir(p->rev_dir, repo, hex) != 0) return -1;
    if (manifest_rev_path(p->rev_link, repo, hex) != 0) return -1;
    if (tag == nullptr) return 0;
    char tags_dir[kPathCap];
    char tag_dir[kPathCap];
    if (manifest_tags_dir(tags_dir, repo) != 0) return -1;
    if (!join_path(tag_dir, tags_dir, tag)) return path_too_long();
    if (!join_path(p->tag_dir, tag_dir, "current")) return path_too_long();
    return manifest_tag_path(p->tag_link, repo, tag);
}

// Writes the file whole into dir, making dir first. Once more when that fails: a deletion
// removes the directories it empties, and may have removed dir the instant after it was made.
int place(const char *dir, const char *path, const void *data, size_t len) {
    for (int attempt = 0; attempt < 2; ++attempt)
        if (mkdirs(dir) == 0 && replace_file(path, data, len) == 0) return 0;
    return -1;
}

// An immutable tag's link is placed only where none is, or where it names this manifest
// already: of two first pushes at once, one wins and the other is refused. 1 when another
// manifest holds the tag (the message set).
int place_immutable_link(const char *dir, const char *path, const char *digest, const char *tag) {
    char temporary[kPathCap];
    if (!temporary_path(temporary, path)) return -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (mkdirs(dir) != 0 || write_file_durable(temporary, digest, kDigestLen) != 0) continue;
        if (qv::os::rename_new(temporary, path)) return qv::os::durable_entry(path) ? 0 : -1;
        const int err = errno;
        qv::os::remove_file(temporary);
        if (err != EEXIST) continue;
        char held[kDigestLen + 2];
        uint64_t n = 0;
        if (read_file(path, held, sizeof held, &n) == 0 && n == kDigestLen &&
            std::memcmp(held, digest, kDigestLen) == 0)
            return 0;
        set_error("DENIED: tag %s is immutable", tag);
        return 1;
    }
    qv::os::remove_file(temporary);
    return -1;
}

// Each file is replaced whole (replace_file): a re-push that fails part way keeps what was
// stored, and a reader never meets a half-written body or link.
// image is the parsed image manifest, whose blobs are checked again once the body is there
// (nullptr for an index); index the index's manifests array, whose children are (nullptr for
// an image).
int write_manifest(const WritePaths &p, const void *data, size_t len, const char *content_type,
                   const char *digest, const char *tag, const char *repo, yyjson_val *image,
                   yyjson_val *index) {
    const bool tagged = tag != nullptr;
    const bool immutable = tagged && tag_immutable(repo, tag);
    if (mkdirs(p.manifests_dir) != 0) {
        set_error("mkdirs manifests dir failed");
        return -1;
    }
    if (put_checked_hook != nullptr) put_checked_hook();
    // A body already there was there for any collection's mark to read.
    const bool body_was_stored = qv::os::is_file(p.body);
    if (place(p.manifests_dir, p.body, data, len) != 0) {
        set_error("write manifest body failed");
        return -1;
    }
    // Before the children are looked at again: a deletion that looked for listing indexes
    // before this body appeared sees the epoch change and looks again.
    if (index != nullptr && !bump_index_epoch()) {
        set_error("write index epoch failed");
        if (!body_was_stored) qv::os::remove_file(p.body);
        return -1;
    }
    if ((image != nullptr && recheck_image_blobs(image) != 0) ||
        (index != nullptr && recheck_index_children(repo, index) != 0)) {
        if (!body_was_stored) qv::os::remove_file(p.body);
        return -1;
    }
    if (place(p.manifests_dir, p.content_type, content_type, std::strlen(content_type)) != 0) {
        set_error("write manifest ct failed");
        return -1;
    }
    if (mkdirs(p.rev_dir) != 0) {
        set_error("mkdirs revision dir failed");
        return -1;
    }
    remove_stale_temporaries(p.rev_dir);
    if (place(p.rev_dir, p.rev_link, digest, kDigestLen) != 0) {
        set_error("write revision link failed");
        return -1;
    }
    if (tagged) {
        if (mkdirs(p.tag_dir) != 0) {
            set_error("mkdirs tag dir failed");
            return -1;
        }
        remove_stale_temporaries(p.tag_dir);
        if (immutable) {
            const int placed = place_immutable_link(p.tag_dir, p.tag_link, digest, tag);
            if (placed == 1) return -1;
            if (placed != 0) {
                set_error("write tag link failed");
                return -1;
            }
        } else if (place(p.tag_dir, p.tag_link, digest, kDigestLen) != 0) {
            set_error("write tag link failed");
            return -1;
        }
    }
    if (put_written_hook != nullptr) put_written_hook();
    // A deletion that found no tag naming this manifest (or the untagged rule, or a whole
    // repository's deletion) may have taken its files just before this push was done: what is
    // missing now is written again; an immutable tag only where no other push has put it since.
    const int tag_back = !tagged || qv::os::is_file(p.tag_link) ? 0
                         : immutable ? place_immutable_link(p.tag_dir, p.tag_link, digest, tag)
                                     : place(p.tag_dir, p.tag_link, digest, kDigestLen);
    if (tag_back == 1) return -1;  // another push holds it: refused, as it says
    const bool restored =
        tag_back == 0 &&
        (qv::os::is_file(p.body) || place(p.manifests_dir, p.body, data, len) == 0) &&
        (qv::os::is_file(p.content_type) ||
         place(p.manifests_dir, p.content_type, content_type, std::strlen(content_type)) == 0) &&
        (qv::os::is_file(p.rev_link) || place(p.rev_dir, p.rev_link, digest, kDigestLen) == 0);
    if (!restored) {
        set_error("write manifest body failed");
        return -1;
    }
    return 0;
}

}  // namespace
}  // namespace reg

using namespace reg;

extern "C" int reg_manifest_put(const char *repo, const char *reference, const void *data,
                                size_t len, const char *content_type, char *out_digest) {
    if (repo == nullptr || reference == nullptr || data == nullptr || out_digest == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    if (repo[0] == '\0' || !repo_name_valid(repo) || !repo_places_inside_repositories(repo)) {
        set_error("invalid repository name: %s", repo);
        return -1;
    }
    if (reference[0] == '\0') {
        set_error("empty reference");
        return -1;
    }
    const bool tagged = !is_digest_reference(reference);
    if (tagged && !tag_valid(reference)) {
        set_error("TAG_INVALID: %s", reference);
        return -1;
    }

    // Without the in-situ flag the input is copied, never written.
    const Doc doc(yyjson_read_opts(const_cast<char *>(static_cast<const char *>(data)), len, 0,
                                   nullptr, nullptr));
    char media_type[kMediaTypeCap];
    if (validate_manifest(repo, doc.get(), media_type) != 0) return -1;

    char hex[65];
    hex_of_bytes(data, len, hex);
    char digest[kDigestOutCap];
    std::snprintf(digest, sizeof digest, "sha256:%s", hex);

    WritePaths paths;
    if (build_write_paths(repo, hex, tagged ? reference : nullptr, &paths) != 0) return -1;
    // An immutable tag that names another manifest refuses before anything is written.
    if (tagged && tag_immutable(repo, reference)) {
        char held[kDigestLen + 2];
        uint64_t n = 0;
        if (read_file(paths.tag_link, held, sizeof held, &n) == 0 &&
            (n != kDigestLen || std::memcmp(held, digest, kDigestLen) != 0)) {
            set_error("DENIED: tag %s is immutable", reference);
            return -1;
        }
    }
    const char *type = content_type_to_store(content_type, media_type);
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *children = yyjson_obj_get(root, "manifests");
    yyjson_val *image = children == nullptr ? root : nullptr;
    if (write_manifest(paths, data, len, type, digest, tagged ? reference : nullptr, repo, image,
                       children) != 0)
        return -1;
    std::memcpy(out_digest, digest, kDigestOutCap);
    return 0;
}
