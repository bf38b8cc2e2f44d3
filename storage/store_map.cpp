// What the store holds, for the operator's page: the bytes each repository references and
// alone holds, one repository's tags in detail, and what a retention pass would let a
// collection free. Read-only; built from the manifest bodies (the one record of what a
// manifest says), tag links and blob files, like the collector's mark.
#include <yyjson.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "storage/manifest_resolve.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg {

namespace {

constexpr std::string_view kSha = "sha256:";

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// The 64 hex digits of a "sha256:" digest, or empty.
std::string hex_of(const char *digest) {
    if (digest == nullptr || std::strncmp(digest, kSha.data(), kSha.size()) != 0) return {};
    const char *hex = digest + kSha.size();
    return hex64_valid(hex) ? std::string(hex) : std::string();
}

int64_t size_member(yyjson_val *obj) {
    yyjson_val *v = yyjson_obj_get(obj, "size");
    return yyjson_is_int(v) && yyjson_get_sint(v) > 0 ? yyjson_get_sint(v) : 0;
}

struct Child {
    std::string hex;
    std::string platform;  // "os/architecture[/variant]", empty when the index says none
};

// One sound manifest body: what it references, as the collector reads it.
struct Body {
    std::string media_type;
    std::string artifact_type;
    std::string subject;            // hex, or empty
    std::vector<std::string> refs;  // config, layers and listed children, as hex
    int64_t content_size = 0;       // config and layers, as the body declares them
    std::vector<Child> children;    // an index's manifests
};

struct Tag {
    std::string name;
    std::string hex;
    int64_t pushed = 0;
};

struct Repo {
    std::string name;
    std::map<std::string, Body> bodies;
    std::vector<Tag> tags;  // newest first, then by name
};

std::string platform_of(yyjson_val *desc) {
    yyjson_val *p = yyjson_obj_get(desc, "platform");
    const char *os = yyjson_get_str(yyjson_obj_get(p, "os"));
    const char *arch = yyjson_get_str(yyjson_obj_get(p, "architecture"));
    const char *variant = yyjson_get_str(yyjson_obj_get(p, "variant"));
    if (os == nullptr || arch == nullptr) return {};
    std::string out = std::string(os) + "/" + arch;
    if (variant != nullptr && *variant != '\0') out += std::string("/") + variant;
    return out;
}

void add_ref(Body *b, yyjson_val *desc, bool content) {
    std::string hex = hex_of(yyjson_get_str(yyjson_obj_get(desc, "digest")));
    if (hex.empty()) return;
    if (content) b->content_size += size_member(desc);
    b->refs.push_back(std::move(hex));
}

bool parse_body(const char *text, size_t len, Body *b) {
    const std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, nullptr));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return false;
    const char *mt = yyjson_get_str(yyjson_obj_get(root, "mediaType"));
    b->media_type = mt != nullptr ? mt : "";
    yyjson_val *config = yyjson_obj_get(root, "config");
    const char *at = yyjson_get_str(yyjson_obj_get(root, "artifactType"));
    if (at == nullptr) at = yyjson_get_str(yyjson_obj_get(config, "mediaType"));
    b->artifact_type = at != nullptr ? at : "";
    char subject[65];
    if (subject_hex_of(root, subject)) b->subject = subject;
    if (yyjson_is_obj(config)) add_ref(b, config, true);
    size_t i = 0;
    size_t max = 0;
    yyjson_val *d = nullptr;
    yyjson_arr_foreach(yyjson_obj_get(root, "layers"), i, max, d) add_ref(b, d, true);
    yyjson_arr_foreach(yyjson_obj_get(root, "manifests"), i, max, d) {
        std::string hex = hex_of(yyjson_get_str(yyjson_obj_get(d, "digest")));
        if (hex.empty()) continue;
        b->children.push_back({hex, platform_of(d)});
        b->refs.push_back(std::move(hex));
    }
    return true;
}

// A body whose bytes are not its name's says nothing (the collector skips it too).
void load_bodies(Repo *r) {
    char dir[kPathCap];
    std::vector<std::string> names;
    if (manifest_body_path(dir, r->name.c_str(), ".") != 0 || !list_names(dir, false, &names))
        return;
    for (const std::string &hex : names) {
        char path[kPathCap];
        if (!hex64_valid(hex.c_str()) ||
            manifest_body_path(path, r->name.c_str(), hex.c_str()) != 0)
            continue;
        uint64_t len = 0;
        const std::unique_ptr<char, FreeDeleter> text(read_file_alloc(path, &len));
        Body b;
        if (text && bytes_have_hex(text.get(), len, hex.c_str()) && parse_body(text.get(), len, &b))
            r->bodies.emplace(hex, std::move(b));
    }
}

// A tag whose link cannot be read, or names no digest, is no tag here (nor in the listings).
void load_tags(Repo *r) {
    char dir[kPathCap];
    std::vector<std::string> names;
    if (manifest_tags_dir(dir, r->name.c_str()) != 0 || !list_names(dir, true, &names)) return;
    for (std::string &name : names) {
        char path[kPathCap];
        char link[128];
        if (manifest_tag_path(path, r->name.c_str(), name.c_str()) != 0 ||
            read_file(path, link, sizeof link, nullptr) != 0)
            continue;
        Tag t{std::move(name), hex_of(link), 0};
        if (t.hex.empty()) continue;
        qv::os::FileInfo info{};
        if (qv::os::file_info(path, &info) && info.mtime_unix > 0) t.pushed = info.mtime_unix;
        r->tags.push_back(std::move(t));
    }
    std::sort(r->tags.begin(), r->tags.end(), [](const Tag &a, const Tag &b) {
        return a.pushed != b.pushed ? a.pushed > b.pushed : a.name < b.name;
    });
}

bool load_repo(const std::string &name, Repo *r) {
    char dir[kPathCap];
    if (manifest_body_path(dir, name.c_str(), ".") != 0 || !qv::os::is_dir(dir)) return false;
    r->name = name;
    load_bodies(r);
    load_tags(r);
    return true;
}

// Blob sizes as the files have them (what a collection frees); a missing blob holds nothing.
class BlobSizes {
  public:
    int64_t of(const std::string &hex) {
        const auto [it, fresh] = sizes_.emplace(hex, 0);
        char path[kPathCap];
        qv::os::FileInfo info{};
        if (fresh && blob_path_for_digest(path, (std::string(kSha) + hex).c_str()) == 0 &&
            qv::os::file_info(path, &info) && info.regular)
            it->second = info.size;
        return it->second;
    }
    bool stored(const std::string &hex) {
        char path[kPathCap];
        return blob_path_for_digest(path, (std::string(kSha) + hex).c_str()) == 0 &&
               qv::os::is_file(path);
    }

  private:
    std::map<std::string, int64_t> sizes_;
};

bool load_store(std::vector<Repo> *repos) {
    std::vector<std::string> names;
    if (!collect_all_repos(&names)) {
        set_error("cannot read every repository");
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        Repo r;
        if (load_repo(n, &r)) repos->push_back(std::move(r));
    }
    return true;
}

// The document written into the result buffer; false when it would not fit.
const char *publish(yyjson_mut_doc *doc) {
    size_t len = 0;
    const std::unique_ptr<char, FreeDeleter> text(yyjson_mut_write(doc, 0, &len));
    if (!text) {
        set_error("out of memory");
        return nullptr;
    }
    if (len >= kResultCap) {
        set_error("report too large (%zu bytes)", len);
        return nullptr;
    }
    std::memcpy(s_result, text.get(), len + 1);
    clear_error();
    return s_result;
}

yyjson_mut_val *str(yyjson_mut_doc *doc, const std::string &s) {
    return yyjson_mut_strncpy(doc, s.data(), s.size());
}

std::string digest_text(const std::string &hex) {
    return std::string(kSha) + hex;
}

const char *usage() {
    std::vector<Repo> repos;
    if (!load_store(&repos)) return nullptr;
    BlobSizes sizes;
    std::vector<std::set<std::string>> held(repos.size());
    std::map<std::string, int> holders;
    for (size_t i = 0; i < repos.size(); ++i) {
        for (const auto &[hex, body] : repos[i].bodies)
            held[i].insert(body.refs.begin(), body.refs.end());
        for (const std::string &hex : held[i])
            ++holders[hex];
    }
    struct Row {
        size_t repo;
        int64_t bytes = 0;
        int64_t alone = 0;
    };
    std::vector<Row> rows;
    for (size_t i = 0; i < repos.size(); ++i) {
        Row row{i};
        for (const std::string &hex : held[i]) {
            const int64_t n = sizes.of(hex);
            row.bytes += n;
            if (holders[hex] == 1) row.alone += n;
        }
        rows.push_back(row);
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return a.alone > b.alone; });
    const std::unique_ptr<yyjson_mut_doc, DocFree> doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *root = yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    yyjson_mut_val *list = yyjson_mut_obj_add_arr(doc.get(), root, "repositories");
    for (const Row &row : rows) {
        const Repo &r = repos[row.repo];
        yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc.get(), list);
        yyjson_mut_obj_add_val(doc.get(), o, "name", str(doc.get(), r.name));
        yyjson_mut_obj_add_int(doc.get(), o, "tags", static_cast<int64_t>(r.tags.size()));
        yyjson_mut_obj_add_int(doc.get(), o, "manifests", static_cast<int64_t>(r.bodies.size()));
        yyjson_mut_obj_add_int(doc.get(), o, "bytes", row.bytes);
        yyjson_mut_obj_add_int(doc.get(), o, "exclusive_bytes", row.alone);
    }
    return publish(doc.get());
}

const char *repository(const char *name) {
    Repo r;
    if (!load_repo(name, &r)) {
        set_error("repository not found: %s", name);
        return nullptr;
    }
    std::map<std::string, std::vector<std::string>> named;  // hex -> tags naming it
    for (const Tag &t : r.tags)
        named[t.hex].push_back(t.name);
    std::map<std::string, std::vector<const std::pair<const std::string, Body> *>> referrers;
    for (const auto &entry : r.bodies)
        if (!entry.second.subject.empty()) referrers[entry.second.subject].push_back(&entry);

    const std::unique_ptr<yyjson_mut_doc, DocFree> doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *root = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, root);
    yyjson_mut_obj_add_val(d, root, "name", str(d, r.name));
    yyjson_mut_val *tags = yyjson_mut_obj_add_arr(d, root, "tags");
    for (const Tag &t : r.tags) {
        yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, tags);
        yyjson_mut_obj_add_val(d, o, "tag", str(d, t.name));
        yyjson_mut_obj_add_val(d, o, "digest", str(d, digest_text(t.hex)));
        yyjson_mut_obj_add_int(d, o, "pushed", t.pushed);
        const auto body = r.bodies.find(t.hex);
        const bool known = body != r.bodies.end();
        yyjson_mut_obj_add_val(d, o, "media_type", str(d, known ? body->second.media_type : ""));
        int64_t size = known ? body->second.content_size : 0;
        yyjson_mut_val *also = yyjson_mut_obj_add_arr(d, o, "also_tagged");
        for (const std::string &other : named[t.hex])
            if (other != t.name) yyjson_mut_arr_add_val(also, str(d, other));
        yyjson_mut_val *platforms = yyjson_mut_obj_add_arr(d, o, "platforms");
        for (const Child &c : known ? body->second.children : std::vector<Child>()) {
            const auto child = r.bodies.find(c.hex);
            const int64_t n = child != r.bodies.end() ? child->second.content_size : 0;
            size += n;
            yyjson_mut_val *p = yyjson_mut_arr_add_obj(d, platforms);
            yyjson_mut_obj_add_val(d, p, "platform", str(d, c.platform));
            yyjson_mut_obj_add_val(d, p, "digest", str(d, digest_text(c.hex)));
            yyjson_mut_obj_add_int(d, p, "size", n);
        }
        yyjson_mut_obj_add_int(d, o, "size", size);
        yyjson_mut_val *refs = yyjson_mut_obj_add_arr(d, o, "referrers");
        for (const auto *entry : referrers[t.hex]) {
            yyjson_mut_val *ref = yyjson_mut_arr_add_obj(d, refs);
            yyjson_mut_obj_add_val(d, ref, "digest", str(d, digest_text(entry->first)));
            yyjson_mut_obj_add_val(d, ref, "artifact_type", str(d, entry->second.artifact_type));
        }
    }
    return publish(d);
}

// The manifests the pass's report says go: a deleted tag's manifest once no remaining tag
// names it and no stored index lists it, and the attachments the report lists with it.
std::set<std::pair<std::string, std::string>> removed_by(const std::vector<Repo> &repos,
                                                         yyjson_val *deleted) {
    std::set<std::pair<std::string, std::string>> gone_tags;
    std::set<std::pair<std::string, std::string>> removed;
    size_t i = 0;
    size_t max = 0;
    yyjson_val *e = nullptr;
    yyjson_arr_foreach(deleted, i, max, e) {
        const char *repo = yyjson_get_str(yyjson_obj_get(e, "repository"));
        const char *tag = yyjson_get_str(yyjson_obj_get(e, "tag"));
        if (repo != nullptr && tag != nullptr) gone_tags.emplace(repo, tag);
        size_t j = 0;
        size_t jmax = 0;
        yyjson_val *ref = nullptr;
        yyjson_arr_foreach(yyjson_obj_get(e, "referrers"), j, jmax, ref) {
            const std::string hex = hex_of(yyjson_get_str(ref));
            if (repo != nullptr && !hex.empty()) removed.emplace(repo, hex);
        }
    }
    for (const Repo &r : repos) {
        std::set<std::string> kept;    // named by a tag that stays
        std::set<std::string> untied;  // named by a tag that goes
        for (const Tag &t : r.tags)
            (gone_tags.count({r.name, t.name}) ? untied : kept).insert(t.hex);
        for (const auto &[hex, body] : r.bodies)
            for (const Child &c : body.children)
                kept.insert(c.hex);
        for (const std::string &hex : untied)
            if (!kept.count(hex)) removed.emplace(r.name, hex);
    }
    return removed;
}

const char *retention_preview(int keep_n, int days, int include_latest) {
    int truncated = 0;
    const char *report = reg_retention_json(1, keep_n, days, include_latest, &truncated);
    if (report == nullptr) return nullptr;
    const std::string report_text(report);
    const std::unique_ptr<yyjson_doc, DocFree> parsed(
        yyjson_read(report_text.data(), report_text.size(), 0));
    yyjson_val *deleted = yyjson_obj_get(yyjson_doc_get_root(parsed.get()), "deleted");
    std::vector<Repo> repos;
    if (!parsed || !load_store(&repos)) {
        if (!parsed) set_error("retention report unreadable");
        return nullptr;
    }
    const auto removed = removed_by(repos, deleted);
    std::set<std::string> before;
    std::set<std::string> after;
    for (const Repo &r : repos)
        for (const auto &[hex, body] : r.bodies) {
            before.insert(body.refs.begin(), body.refs.end());
            if (!removed.count({r.name, hex})) after.insert(body.refs.begin(), body.refs.end());
        }
    BlobSizes sizes;
    int64_t blobs = 0;
    int64_t bytes = 0;
    for (const std::string &hex : before) {
        if (after.count(hex) || !sizes.stored(hex)) continue;
        ++blobs;
        bytes += sizes.of(hex);
    }
    const std::unique_ptr<yyjson_mut_doc, DocFree> doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *root = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, root);
    yyjson_mut_obj_add_val(d, root, "report",
                           yyjson_val_mut_copy(d, yyjson_doc_get_root(parsed.get())));
    yyjson_mut_obj_add_bool(d, root, "truncated", truncated != 0);
    yyjson_mut_obj_add_int(d, root, "blobs_freed", blobs);
    yyjson_mut_obj_add_int(d, root, "bytes_freed", bytes);
    return publish(d);
}

template <typename F>
const char *guarded(F &&f) {
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    try {
        return f();
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return nullptr;
    }
}

}  // namespace

}  // namespace reg

using namespace reg;

extern "C" const char *reg_usage_json(void) {
    return guarded([] { return usage(); });
}

extern "C" const char *reg_repository_json(const char *repo) {
    return guarded([repo]() -> const char * {
        if (repo == nullptr || repo[0] == '\0' || !repo_name_valid(repo)) {
            set_error("invalid repository name");
            return nullptr;
        }
        return repository(repo);
    });
}

extern "C" const char *reg_retention_preview_json(int keep_n, int days, int include_latest) {
    return guarded([=] { return retention_preview(keep_n, days, include_latest); });
}
