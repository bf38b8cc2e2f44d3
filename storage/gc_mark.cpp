// The collector's mark: every manifest body of every repository, and the digests they
// reference. Unlike the listings it has no caps: a body it missed would get its blobs swept,
// so whatever it cannot read stops the collection instead.
#include <yyjson.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/gc_internal.h"

namespace reg {

namespace {

constexpr std::string_view kDigestPrefix = "sha256:";
constexpr int kFirstCapacity = 256;

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

bool is_manifest_body_name(const char *name) {
    return std::strlen(name) == 64 && hex64_valid(name);
}

int incomplete(const char *why, const std::string &path) {
    set_error("gc mark incomplete: %s: %s", why, path.c_str());
    return -1;
}

// A directory deleted under the walk (a repository removed meanwhile) is no loss; one that is
// there but cannot be listed is.
int gone_or_unlistable(const std::string &dir) {
    return qv::os::is_missing(dir.c_str()) ? 0 : incomplete("cannot list", dir);
}

// The `digest` string member of obj, when obj is an object and it is a string.
bool add_digest_of(ReachableSet *set, yyjson_val *obj) {
    if (!yyjson_is_obj(obj)) return true;
    yyjson_val *digest = yyjson_obj_get(obj, "digest");
    if (!yyjson_is_str(digest)) return true;
    return set->add(yyjson_get_str(digest), yyjson_get_len(digest));
}

bool add_digests_of_list(ReachableSet *set, yyjson_val *list) {
    if (!yyjson_is_arr(list)) return true;
    size_t i = 0;
    size_t max = 0;
    yyjson_val *item = nullptr;
    bool ok = true;
    yyjson_arr_foreach(list, i, max, item) {
        ok = ok && add_digest_of(set, item);
    }
    return ok;
}

// What one body references: config.digest, layers[].digest and manifests[].digest. A body
// that does not parse, or is not an object, references nothing.
bool add_references(ReachableSet *set, const char *body, size_t len, bool index_children_only) {
    const std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char *>(body), len, 0, nullptr, nullptr));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return true;
    if (index_children_only) return add_digests_of_list(set, yyjson_obj_get(root, "manifests"));
    return add_digest_of(set, yyjson_obj_get(root, "config")) &&
           add_digests_of_list(set, yyjson_obj_get(root, "layers")) &&
           add_digests_of_list(set, yyjson_obj_get(root, "manifests"));
}

class Marker {
  public:
    Marker(ReachableSet *set, AfterBody after_body, void *ctx, bool index_children_only, bool tidy)
        : set_(set),
          after_body_(after_body),
          ctx_(ctx),
          index_children_only_(index_children_only),
          tidy_(tidy) {}

    // Depth first over every directory below repositories, without recursion so that no
    // depth can exhaust the stack. Links are never entered (the enumeration reports them as
    // files).
    int run(const std::string &repositories) {
        // The top must be there: a store whose repositories directory has gone missing (or is
        // not mounted) holds manifests the mark cannot see, not none.
        if (!qv::os::is_dir(repositories.c_str())) return incomplete("cannot list", repositories);
        std::vector<std::string> pending{repositories};
        while (!pending.empty()) {
            const std::string dir = std::move(pending.back());
            pending.pop_back();
            std::vector<std::string> children;
            if (int rc = scan_dir(dir, &children); rc != 0) return rc;
            // Reversed, so that siblings are visited in enumeration order.
            pending.insert(pending.end(), children.rbegin(), children.rend());
        }
        return 0;
    }

  private:
    int scan_dir(const std::string &dir, std::vector<std::string> *children) {
        qv::os::DirReader reader(dir.c_str());
        if (!reader.ok()) return gone_or_unlistable(dir);
        const char *name = nullptr;
        bool is_dir = false;
        std::string manifests;
        while (reader.next(&name, &is_dir)) {
            std::string child = dir + qv::os::kSep + name;
            // No operation follows a link in the store, but what lies behind one may be an
            // operator's repository, moved or mounted: the mark cannot vouch for it.
            if (reader.last_was_link()) return incomplete("symbolic link", child);
            if (!is_dir) continue;
            if (child.size() >= kPathCap) return incomplete("path too long", child);
            if (std::strcmp(name, "_manifests") == 0) {
                manifests = std::move(child);
            } else {
                children->push_back(std::move(child));
            }
        }
        if (reader.failed()) return incomplete("cannot list", dir);
        return manifests.empty() ? 0 : mark_manifests(manifests);
    }

    int mark_manifests(const std::string &dir) {
        std::vector<std::string> bodies;
        {
            qv::os::DirReader reader(dir.c_str());
            if (!reader.ok()) return gone_or_unlistable(dir);
            const char *name = nullptr;
            bool is_dir = false;
            while (reader.next(&name, &is_dir)) {
                if (!is_dir && is_manifest_body_name(name))
                    bodies.push_back(dir + qv::os::kSep + name);
            }
            if (reader.failed()) return incomplete("cannot list", dir);
        }
        // What a rewrite that crashed left behind lies here, and nothing else lists this.
        if (tidy_) remove_stale_temporaries(dir.c_str());
        for (const std::string &body : bodies) {
            if (int rc = mark_body(body); rc != 0) return rc;
        }
        return 0;
    }

    int mark_body(const std::string &path) {
        char *raw = nullptr;
        uint64_t len = 0;
        const int err = qv::os::read_whole(path.c_str(), kReadAllMax, &raw, &len);
        const std::unique_ptr<char, FreeDeleter> body(raw);
        if (err == ENOENT) return 0;  // deleted since it was listed: its blobs may go
        if (err == EFBIG) return incomplete("manifest body over 64 MiB", path);
        if (err == ENOMEM) return incomplete("out of memory reading", path);
        if (err != 0) return incomplete("cannot read manifest body", path);
        // A body that is not the manifest's own bytes (emptied by a crash, changed on disk)
        // says nothing true of what the manifest references: nothing may go on its word.
        if (!index_children_only_ &&
            !bytes_have_hex(body.get(), len, path.c_str() + path.size() - 64))
            return incomplete(
                "damaged manifest body (run the store check: qv_fsck, or POST "
                "/v2/_fsck)",
                path);
        if (!add_references(set_, body.get(), len, index_children_only_))
            return incomplete("out of memory marking", path);
        return after_body_ != nullptr && after_body_(ctx_, ++bodies_read_, path) ? 1 : 0;
    }

    ReachableSet *set_;
    AfterBody after_body_;
    void *ctx_;
    bool index_children_only_;
    bool tidy_;
    int bodies_read_ = 0;
};

}  // namespace

ReachableSet::~ReachableSet() {
    std::free(entries_);
}

bool ReachableSet::decode(const char *hex, uint8_t out[32]) {
    const auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (int i = 0; i < 32; ++i) {
        const int high = nibble(hex[2 * i]);
        const int low = high < 0 ? -1 : nibble(hex[2 * i + 1]);
        if (low < 0) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

bool ReachableSet::add(const char *text, size_t len) {
    if (text == nullptr || len != kDigestPrefix.size() + 64) return true;
    if (std::string_view(text, kDigestPrefix.size()) != kDigestPrefix) return true;
    uint8_t digest[32];
    if (!decode(text + kDigestPrefix.size(), digest)) return true;
    if (count_ == capacity_) {
        if (capacity_ > (1 << 29)) return false;
        const int grown = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
        void *bigger = std::realloc(entries_, static_cast<size_t>(grown) * sizeof *entries_);
        if (bigger == nullptr) return false;
        entries_ = static_cast<uint8_t(*)[32]>(bigger);
        capacity_ = grown;
    }
    std::memcpy(entries_[count_], digest, sizeof digest);
    ++count_;
    return true;
}

void ReachableSet::sort() {
    if (count_ < 2) return;
    const auto order = [](const void *a, const void *b) { return std::memcmp(a, b, 32); };
    std::qsort(entries_, static_cast<size_t>(count_), sizeof *entries_, order);
    int kept = 1;
    for (int i = 1; i < count_; ++i) {
        if (std::memcmp(entries_[i], entries_[kept - 1], 32) != 0)
            std::memcpy(entries_[kept++], entries_[i], 32);
    }
    count_ = kept;
}

bool ReachableSet::contains(const char *hex) const {
    uint8_t digest[32];
    if (!decode(hex, digest)) return false;
    int low = 0;
    int high = count_ - 1;
    while (low <= high) {
        const int middle = (low + high) / 2;
        const int order = std::memcmp(entries_[middle], digest, sizeof digest);
        if (order == 0) return true;
        if (order > 0) {
            high = middle - 1;
        } else {
            low = middle + 1;
        }
    }
    return false;
}

namespace {

int mark_store(ReachableSet *set, AfterBody after_body, void *ctx, bool index_children_only,
               bool tidy) {
    char repositories[kPathCap];
    if (!join_path(repositories, s_root, "repositories")) {
        set_error("%s", kPathTooLong);
        return -1;
    }
    return Marker(set, after_body, ctx, index_children_only, tidy).run(repositories);
}

}  // namespace

int gc_mark(ReachableSet *set, AfterBody after_body, void *ctx, bool tidy) {
    return mark_store(set, after_body, ctx, false, tidy);
}

int gc_mark_index_children(ReachableSet *set) {
    return mark_store(set, nullptr, nullptr, true, false);
}

int gc_find_listing_index(const char *hex, std::string *index_path) {
    struct Search {
        ReachableSet listed;
        uint8_t digest[32];
        int seen = 0;
        std::string *found;
    } search{{}, {}, 0, index_path};
    if (!ReachableSet::decode(hex, search.digest)) return 0;
    // After each body, only the children it added are looked at.
    const AfterBody check = [](void *ctx, int, const std::string &path) {
        auto *s = static_cast<Search *>(ctx);
        for (; s->seen < s->listed.count(); ++s->seen) {
            if (std::memcmp(s->listed.at(s->seen), s->digest, sizeof s->digest) == 0) {
                *s->found = path;
                return true;
            }
        }
        return false;
    };
    return mark_store(&search.listed, check, &search, true, false);
}

}  // namespace reg
