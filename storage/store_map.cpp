// What the store holds, for the operator's page: the bytes each repository references and
// alone holds, one repository's tags in detail, and what a retention pass would let a
// collection free. Read-only; built from the manifest bodies (the one record of what a
// manifest says), tag links and blob files, as the collector's mark reads them. One
// repository's bodies are held at a time; across the store only 32-byte digests are kept.
#include <yyjson.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/gc_internal.h"
#include "storage/manifest_resolve.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "storage/tag_rules.h"

namespace reg {

namespace {

constexpr std::string_view kSha = "sha256:";
// A repository report lists at most this many tags (the newest): past it, the tag listings
// and the retention pass stop short too, and the report stays far below the result buffer.
constexpr size_t kReportTagsMax = 1000;
// Other tags named beside a tag that shares its manifest: enough to say it stays.
constexpr size_t kAlsoTaggedMax = 8;

using Digest = std::array<uint8_t, 32>;

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

bool parse_hex(const char *hex, Digest *out) {
    return hex != nullptr && hex64_valid(hex) && ReachableSet::decode(hex, out->data());
}

// A "sha256:" digest; false for anything else.
bool parse_digest(const char *text, Digest *out) {
    return text != nullptr && std::strncmp(text, kSha.data(), kSha.size()) == 0 &&
           parse_hex(text + kSha.size(), out);
}

std::string hex_text(const Digest &d) {
    char hex[65];
    bin_to_hex(d.data(), hex);
    return hex;
}

std::string digest_text(const Digest &d) {
    return std::string(kSha) + hex_text(d);
}

void sort_unique(std::vector<Digest> *v) {
    std::sort(v->begin(), v->end());
    v->erase(std::unique(v->begin(), v->end()), v->end());
}

bool contains(const std::vector<Digest> &sorted, const Digest &d) {
    return std::binary_search(sorted.begin(), sorted.end(), d);
}

int64_t size_member(yyjson_val *obj) {
    yyjson_val *v = yyjson_obj_get(obj, "size");
    return yyjson_is_int(v) && yyjson_get_sint(v) > 0 ? yyjson_get_sint(v) : 0;
}

struct Child {
    Digest digest;
    std::string platform;  // "os/architecture[/variant]", empty when the index says none
};

// One manifest body: what it references, as the collector reads it.
struct Body {
    std::string media_type;
    std::string artifact_type;
    bool has_subject = false;
    Digest subject{};
    std::vector<Digest> refs;     // config, layers and listed children
    int64_t content_size = 0;     // config and layers, as the body declares them
    std::vector<Child> children;  // an index's manifests
    int64_t written = 0;          // when the body was last written (pushed)
};

struct Tag {
    std::string name;
    Digest digest;
    int64_t pushed = 0;
};

struct Repo {
    std::string name;
    std::map<Digest, Body> bodies;
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

void add_content(Body *b, yyjson_val *desc) {
    Digest d;
    if (!parse_digest(yyjson_get_str(yyjson_obj_get(desc, "digest")), &d)) return;
    b->content_size += size_member(desc);
    b->refs.push_back(d);
}

// A body that does not parse to an object references nothing (as for the collector).
void parse_body(const char *text, size_t len, Body *b) {
    const std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, nullptr));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return;
    const char *mt = yyjson_get_str(yyjson_obj_get(root, "mediaType"));
    b->media_type = mt != nullptr ? mt : "";
    yyjson_val *config = yyjson_obj_get(root, "config");
    const char *at = yyjson_get_str(yyjson_obj_get(root, "artifactType"));
    if (at == nullptr) at = yyjson_get_str(yyjson_obj_get(config, "mediaType"));
    b->artifact_type = at != nullptr ? at : "";
    char subject[65];
    b->has_subject = subject_hex_of(root, subject) && parse_hex(subject, &b->subject);
    if (yyjson_is_obj(config)) add_content(b, config);
    size_t i = 0;
    size_t max = 0;
    yyjson_val *d = nullptr;
    yyjson_arr_foreach(yyjson_obj_get(root, "layers"), i, max, d) add_content(b, d);
    yyjson_arr_foreach(yyjson_obj_get(root, "manifests"), i, max, d) {
        Digest child;
        if (!parse_digest(yyjson_get_str(yyjson_obj_get(d, "digest")), &child)) continue;
        b->children.push_back({child, platform_of(d)});
        b->refs.push_back(child);
    }
}

// Strict (for figures that promise what a collection frees): a body or directory that
// cannot be read, or a body that is not its name's bytes, fails the call as it stops the
// collection. Otherwise such a body is left out.
bool load_bodies(Repo *r, bool strict) {
    char dir[kPathCap];
    std::vector<std::string> names;
    if (manifest_body_path(dir, r->name.c_str(), ".") != 0) return false;
    if (!list_names(dir, false, &names)) {
        if (!strict || qv::os::is_missing(dir)) return true;
        set_error("cannot list %s", dir);
        return false;
    }
    for (const std::string &hex : names) {
        char path[kPathCap];
        Digest d;
        if (!parse_hex(hex.c_str(), &d) ||
            manifest_body_path(path, r->name.c_str(), hex.c_str()) != 0)
            continue;
        char *raw = nullptr;
        uint64_t len = 0;
        qv::os::FileInfo info{};
        const int err = qv::os::read_whole(path, kReadAllMax, &raw, &len, &info);
        const std::unique_ptr<char, FreeDeleter> text(raw);
        if (err == ENOENT) continue;  // deleted since it was listed
        const bool sound = err == 0 && bytes_have_hex(text.get(), len, hex.c_str());
        if (!sound) {
            if (!strict) continue;
            if (err == ENOMEM) throw std::bad_alloc();
            set_error(err != 0 ? "cannot read manifest body: %s"
                               : "damaged manifest body (run the store check: qv_fsck, or POST "
                                 "/v2/_fsck): %s",
                      path);
            return false;
        }
        Body &b = r->bodies[d];
        parse_body(text.get(), len, &b);
        b.written = info.mtime_unix;
    }
    return true;
}

// A tag whose link cannot be read, or names no digest, is no tag here (nor in the listings).
void load_tags(Repo *r) {
    char dir[kPathCap];
    std::vector<std::string> names;
    if (manifest_tags_dir(dir, r->name.c_str()) != 0 || !list_names(dir, true, &names)) return;
    for (std::string &name : names) {
        char path[kPathCap];
        char link[128];
        Tag t{std::move(name), {}, 0};
        if (manifest_tag_path(path, r->name.c_str(), t.name.c_str()) != 0 ||
            read_file(path, link, sizeof link, nullptr) != 0 || !parse_digest(link, &t.digest))
            continue;
        qv::os::FileInfo info{};
        if (qv::os::file_info(path, &info) && info.mtime_unix > 0) t.pushed = info.mtime_unix;
        r->tags.push_back(std::move(t));
    }
    std::sort(r->tags.begin(), r->tags.end(), [](const Tag &a, const Tag &b) {
        return a.pushed != b.pushed ? a.pushed > b.pushed : a.name < b.name;
    });
}

// 0 loaded, 1 no such repository, -1 failed (the message set).
int load_repo(const std::string &name, bool strict, Repo *r) {
    char dir[kPathCap];
    if (manifest_body_path(dir, name.c_str(), ".") != 0) return -1;
    if (!qv::os::is_dir(dir)) return 1;
    r->name = name;
    if (!load_bodies(r, strict)) return -1;
    load_tags(r);
    return 0;
}

// Calls visit with each repository of the store, loaded, one at a time, in name order.
template <typename Visit>
bool each_repo(Visit &&visit) {
    std::vector<std::string> names;
    if (!collect_all_repos(&names)) {
        set_error("cannot read every repository");
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        Repo r;
        const int rc = load_repo(n, true, &r);
        if (rc < 0) return false;
        if (rc == 0) visit(r);
    }
    return true;
}

// Sizes as the blob files have them (what a collection frees); a missing blob holds nothing.
int64_t blob_size(const Digest &d, bool *stored = nullptr) {
    char path[kPathCap];
    qv::os::FileInfo info{};
    const bool there = blob_path_for_digest(path, digest_text(d).c_str()) == 0 &&
                       qv::os::file_info(path, &info) && info.regular;
    if (stored != nullptr) *stored = there;
    return there ? info.size : 0;
}

std::vector<Digest> refs_of(const Repo &r) {
    std::vector<Digest> refs;
    for (const auto &entry : r.bodies)
        refs.insert(refs.end(), entry.second.refs.begin(), entry.second.refs.end());
    sort_unique(&refs);
    return refs;
}

// The manifests of r no tag names, no stored index of r lists and that are no attachment of
// another of its manifests: what the untagged rule of a retention pass looks at.
std::set<Digest> untagged_in(const Repo &r) {
    std::set<Digest> named;
    for (const Tag &t : r.tags)
        named.insert(t.digest);
    for (const auto &entry : r.bodies)
        for (const Child &c : entry.second.children)
            named.insert(c.digest);
    std::set<Digest> out;
    for (const auto &[digest, body] : r.bodies)
        if (!named.count(digest) && !(body.has_subject && r.bodies.count(body.subject)))
            out.insert(digest);
    return out;
}

// The document written into the result buffer; null when it would not fit.
const char *publish(yyjson_mut_doc *doc) {
    size_t len = 0;
    const std::unique_ptr<char, FreeDeleter> text(yyjson_mut_write(doc, 0, &len));
    if (!text) throw std::bad_alloc();
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

const char *usage() {
    struct Row {
        std::string name;
        int64_t tags;
        int64_t manifests;
        std::vector<Digest> refs;
        int64_t untagged = 0;
        std::vector<Digest> untagged_refs;  // referenced by its untagged manifests alone
        int64_t bytes = 0;
        int64_t alone = 0;
        int64_t untagged_bytes = 0;
    };
    std::vector<Row> rows;
    std::vector<Digest> all;  // every repository's references, a digest once per repository
    const bool walked = each_repo([&](const Repo &r) {
        Row row{r.name,
                static_cast<int64_t>(r.tags.size()),
                static_cast<int64_t>(r.bodies.size()),
                refs_of(r),
                0,
                {}};
        const std::set<Digest> loose = untagged_in(r);
        row.untagged = static_cast<int64_t>(loose.size());
        std::vector<Digest> held;  // by the manifests that stay
        for (const auto &[digest, body] : r.bodies) {
            std::vector<Digest> &into = loose.count(digest) ? row.untagged_refs : held;
            into.insert(into.end(), body.refs.begin(), body.refs.end());
        }
        sort_unique(&row.untagged_refs);
        sort_unique(&held);
        std::erase_if(row.untagged_refs, [&](const Digest &d) { return contains(held, d); });
        all.insert(all.end(), row.refs.begin(), row.refs.end());
        rows.push_back(std::move(row));
    });
    if (!walked) return nullptr;
    std::sort(all.begin(), all.end());
    std::vector<int64_t> sizes;  // of each distinct digest in all, looked up once
    std::vector<Digest> distinct(all);
    sort_unique(&distinct);
    for (const Digest &d : distinct)
        sizes.push_back(blob_size(d));
    for (Row &row : rows) {
        for (const Digest &d : row.refs) {
            const auto at = std::lower_bound(distinct.begin(), distinct.end(), d);
            const int64_t n = sizes[static_cast<size_t>(at - distinct.begin())];
            const auto holders = std::equal_range(all.begin(), all.end(), d);
            row.bytes += n;
            if (holders.second - holders.first == 1) {
                row.alone += n;
                if (contains(row.untagged_refs, d)) row.untagged_bytes += n;
            }
        }
        std::vector<Digest>().swap(row.refs);
        std::vector<Digest>().swap(row.untagged_refs);
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return a.alone > b.alone; });
    const std::unique_ptr<yyjson_mut_doc, DocFree> doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *root = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, root);
    yyjson_mut_val *list = yyjson_mut_obj_add_arr(d, root, "repositories");
    for (const Row &row : rows) {
        yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, list);
        yyjson_mut_obj_add_val(d, o, "name", str(d, row.name));
        yyjson_mut_obj_add_int(d, o, "tags", row.tags);
        yyjson_mut_obj_add_int(d, o, "manifests", row.manifests);
        yyjson_mut_obj_add_int(d, o, "bytes", row.bytes);
        yyjson_mut_obj_add_int(d, o, "exclusive_bytes", row.alone);
        yyjson_mut_obj_add_int(d, o, "untagged", row.untagged);
        yyjson_mut_obj_add_int(d, o, "untagged_bytes", row.untagged_bytes);
    }
    return publish(d);
}

// Config and layers as the body declares them; an index's, its platforms' together.
int64_t size_of(const Repo &r, const Body &b) {
    int64_t size = b.content_size;
    for (const Child &c : b.children) {
        const auto child = r.bodies.find(c.digest);
        if (child != r.bodies.end()) size += child->second.content_size;
    }
    return size;
}

void add_referrers(yyjson_mut_doc *d, yyjson_mut_val *o,
                   const std::vector<const std::pair<const Digest, Body> *> &found) {
    yyjson_mut_val *refs = yyjson_mut_obj_add_arr(d, o, "referrers");
    for (const auto *entry : found) {
        yyjson_mut_val *ref = yyjson_mut_arr_add_obj(d, refs);
        yyjson_mut_obj_add_val(d, ref, "digest", str(d, digest_text(entry->first)));
        yyjson_mut_obj_add_val(d, ref, "artifact_type", str(d, entry->second.artifact_type));
    }
}

const char *repository(const char *name) {
    Repo r;
    const int rc = load_repo(name, false, &r);
    if (rc != 0) {
        if (rc > 0) set_error("repository not found: %s", name);
        return nullptr;
    }
    std::map<Digest, std::vector<const Tag *>> named;
    std::set<Digest> listed;  // by a stored index: a tag deletion keeps such a manifest
    std::map<Digest, std::vector<const std::pair<const Digest, Body> *>> referrers;
    for (const Tag &t : r.tags)
        named[t.digest].push_back(&t);
    for (const auto &entry : r.bodies) {
        for (const Child &c : entry.second.children)
            listed.insert(c.digest);
        if (entry.second.has_subject) referrers[entry.second.subject].push_back(&entry);
    }

    const std::unique_ptr<yyjson_mut_doc, DocFree> doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *root = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, root);
    yyjson_mut_obj_add_val(d, root, "name", str(d, r.name));
    yyjson_mut_obj_add_int(d, root, "tags_total", static_cast<int64_t>(r.tags.size()));
    yyjson_mut_val *tags = yyjson_mut_obj_add_arr(d, root, "tags");
    for (size_t i = 0; i < r.tags.size() && i < kReportTagsMax; ++i) {
        const Tag &t = r.tags[i];
        yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, tags);
        yyjson_mut_obj_add_val(d, o, "tag", str(d, t.name));
        yyjson_mut_obj_add_val(d, o, "digest", str(d, digest_text(t.digest)));
        yyjson_mut_obj_add_int(d, o, "pushed", t.pushed);
        const auto body = r.bodies.find(t.digest);
        const Body none;
        const Body &b = body != r.bodies.end() ? body->second : none;
        yyjson_mut_obj_add_val(d, o, "media_type", str(d, b.media_type));
        yyjson_mut_obj_add_bool(d, o, "listed", listed.count(t.digest) != 0);
        // When its manifest was last pulled (never: null), and whether it is immutable.
        const int64_t pulled = pulled_unix(r.name.c_str(), digest_text(t.digest).c_str() + 7);
        if (pulled >= 0)
            yyjson_mut_obj_add_int(d, o, "pulled", pulled);
        else
            yyjson_mut_obj_add_null(d, o, "pulled");
        yyjson_mut_obj_add_bool(d, o, "immutable", tag_immutable(r.name, t.name));
        const std::vector<const Tag *> &same = named[t.digest];
        yyjson_mut_obj_add_int(d, o, "also_tagged_total", static_cast<int64_t>(same.size() - 1));
        yyjson_mut_val *also = yyjson_mut_obj_add_arr(d, o, "also_tagged");
        size_t shown = 0;
        for (const Tag *other : same)
            if (other != &t && shown++ < kAlsoTaggedMax)
                yyjson_mut_arr_add_val(also, str(d, other->name));
        yyjson_mut_val *platforms = yyjson_mut_obj_add_arr(d, o, "platforms");
        for (const Child &c : b.children) {
            const auto child = r.bodies.find(c.digest);
            yyjson_mut_val *p = yyjson_mut_arr_add_obj(d, platforms);
            yyjson_mut_obj_add_val(d, p, "platform", str(d, c.platform));
            yyjson_mut_obj_add_val(d, p, "digest", str(d, digest_text(c.digest)));
            yyjson_mut_obj_add_int(d, p, "size",
                                   child != r.bodies.end() ? child->second.content_size : 0);
        }
        yyjson_mut_obj_add_int(d, o, "size", size_of(r, b));
        add_referrers(d, o, referrers[t.digest]);
    }
    // The manifests no tag names, newest first: an index's children, attachments, and what a
    // moving tag left behind.
    std::vector<const std::pair<const Digest, Body> *> untagged;
    for (const auto &entry : r.bodies)
        if (!named.count(entry.first)) untagged.push_back(&entry);
    std::sort(untagged.begin(), untagged.end(), [](const auto *a, const auto *b) {
        return a->second.written != b->second.written ? a->second.written > b->second.written
                                                      : a->first < b->first;
    });
    yyjson_mut_obj_add_int(d, root, "untagged_total", static_cast<int64_t>(untagged.size()));
    yyjson_mut_val *loose = yyjson_mut_obj_add_arr(d, root, "untagged");
    for (size_t i = 0; i < untagged.size() && i < kReportTagsMax; ++i) {
        const auto &[digest, b] = *untagged[i];
        yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, loose);
        yyjson_mut_obj_add_val(d, o, "digest", str(d, digest_text(digest)));
        yyjson_mut_obj_add_int(d, o, "written", b.written);
        yyjson_mut_obj_add_val(d, o, "media_type", str(d, b.media_type));
        yyjson_mut_obj_add_int(d, o, "size", size_of(r, b));
        yyjson_mut_obj_add_bool(d, o, "listed", listed.count(digest) != 0);
        if (b.has_subject) {
            yyjson_mut_obj_add_val(d, o, "subject", str(d, digest_text(b.subject)));
            yyjson_mut_obj_add_val(d, o, "artifact_type", str(d, b.artifact_type));
        }
        add_referrers(d, o, referrers[digest]);
    }
    return publish(d);
}

// The dry pass run (by the caller's run), and the blobs it would free: those only manifests
// the pass removes reference. Under rules, each rule's share too: the blobs whose removed
// referrers all lie in the repositories it governs.
template <typename Run>
const char *retention_preview(Run run, const std::vector<RetentionRule> *rules) {
    RetentionRemoved removed;
    retention_removed_out = &removed;
    int truncated = 0;
    const char *report = run(&truncated);
    retention_removed_out = nullptr;
    if (report == nullptr) return nullptr;
    const std::string report_text(report);
    for (auto &entry : removed)
        sort_unique(&entry.second);
    std::vector<std::pair<Digest, int>> untied;  // referenced by a manifest the pass removes
    std::vector<Digest> kept;                    // by one that stays
    const bool walked = each_repo([&](const Repo &r) {
        const auto going = removed.find(r.name);
        const int rule = rules != nullptr ? governing_rule(*rules, r.name) : -1;
        for (const auto &[digest, body] : r.bodies) {
            if (going != removed.end() && contains(going->second, digest)) {
                for (const Digest &ref : body.refs)
                    untied.emplace_back(ref, rule);
            } else {
                kept.insert(kept.end(), body.refs.begin(), body.refs.end());
            }
        }
    });
    if (!walked) return nullptr;
    std::sort(untied.begin(), untied.end());
    untied.erase(std::unique(untied.begin(), untied.end()), untied.end());
    sort_unique(&kept);
    int64_t blobs = 0;
    int64_t bytes = 0;
    std::vector<std::pair<int64_t, int64_t>> per_rule(rules != nullptr ? rules->size() : 0);
    for (size_t i = 0; i < untied.size();) {
        const Digest &d = untied[i].first;
        size_t end = i;
        while (end < untied.size() && untied[end].first == d)
            ++end;
        const int rule = end - i == 1 ? untied[i].second : -1;  // one rule alone frees it
        i = end;
        bool stored = false;
        const int64_t n = contains(kept, d) ? 0 : blob_size(d, &stored);
        if (!stored) continue;
        ++blobs;
        bytes += n;
        if (rule >= 0) {
            ++per_rule[static_cast<size_t>(rule)].first;
            per_rule[static_cast<size_t>(rule)].second += n;
        }
    }
    const std::unique_ptr<yyjson_doc, DocFree> parsed(
        yyjson_read(report_text.data(), report_text.size(), 0));
    if (!parsed) {
        set_error("retention report unreadable");
        return nullptr;
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
    if (rules != nullptr) {
        yyjson_mut_val *each = yyjson_mut_obj_add_arr(d, root, "rules");
        for (size_t i = 0; i < per_rule.size(); ++i) {
            yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, each);
            yyjson_mut_obj_add_int(d, o, "rule", static_cast<int64_t>(i));
            yyjson_mut_obj_add_int(d, o, "blobs_freed", per_rule[i].first);
            yyjson_mut_obj_add_int(d, o, "bytes_freed", per_rule[i].second);
        }
    }
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
        retention_removed_out = nullptr;
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

namespace {

const char *policy_preview(const reg_retention_policy &policy) {
    return retention_preview(
        [&](int *truncated) { return reg_retention_policy_json(1, &policy, truncated); }, nullptr);
}

}  // namespace

extern "C" const char *reg_retention_preview_json(int keep_n, int days, int include_latest) {
    const reg_retention_policy policy{keep_n, days, include_latest, 0};
    return guarded([&] { return policy_preview(policy); });
}

extern "C" const char *reg_retention_rules_preview_json(const struct reg_retention_rule *rules,
                                                        size_t count) {
    return guarded([&]() -> const char * {
        std::vector<RetentionRule> compiled;
        if (!compile_rules(rules, count, &compiled)) return nullptr;
        return retention_preview(
            [&](int *truncated) { return reg_retention_rules_json(1, rules, count, truncated); },
            &compiled);
    });
}

extern "C" const char *reg_retention_policy_preview_json(
    const struct reg_retention_policy *policy) {
    return guarded([policy]() -> const char * {
        if (policy == nullptr) {
            set_error("NULL argument");
            return nullptr;
        }
        return policy_preview(*policy);
    });
}

extern "C" int reg_repository_holds_blob(const char *repo, const char *digest) {
    const char *answer = guarded([&]() -> const char * {
        Digest d{};
        Repo r;
        if (repo == nullptr || digest == nullptr || !repo_name_valid(repo) ||
            std::strncmp(digest, "sha256:", 7) != 0 || !digest_valid(digest) ||
            !parse_hex(digest + 7, &d) || load_repo(repo, false, &r) != 0)
            return nullptr;
        for (const auto &entry : r.bodies)
            if (std::find(entry.second.refs.begin(), entry.second.refs.end(), d) !=
                entry.second.refs.end())
                return "";
        return nullptr;
    });
    clear_error();
    return answer != nullptr ? 1 : 0;
}
