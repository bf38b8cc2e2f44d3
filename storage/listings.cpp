// What the storage tree holds, as JSON: the tag list of a repository and the catalog of all
// repositories (both paged by a size and the last name seen), and the usage statistics.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg {
namespace {

constexpr int kNameMax = 1024;  // names retained by one listing
constexpr size_t kLinkCap = 128;
constexpr char kTooLarge[] = "listing too large for the result buffer (1 MiB)";

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// The outputs of a page call, reset on every path before anything can fail.
struct PageOutputs {
    int *more;
    char *last;
    size_t last_size;

    void reset() const {
        if (more != nullptr) *more = 0;
        if (last != nullptr && last_size > 0) last[0] = '\0';
    }
};

// A tag is present while its link can be read; what it holds is not looked at here. The path
// is built without the builders so that a name too long to hold one leaves no message behind.
bool tag_link_readable(const char *tags_dir, const char *tag) {
    char tag_dir[kPathCap];
    char current[kPathCap];
    char link_path[kPathCap];
    if (!join_path(tag_dir, tags_dir, tag) || !join_path(current, tag_dir, "current") ||
        !join_path(link_path, current, "link"))
        return false;
    char link[kLinkCap];
    return read_file(link_path, link, sizeof link, nullptr) == 0;
}

std::unique_ptr<DirListing, FreeDeleter> new_listing() {
    return std::unique_ptr<DirListing, FreeDeleter>(
        static_cast<DirListing *>(std::calloc(1, sizeof(DirListing))));
}

// A repository's tag set: heap copies of up to kNameMax names, freed with the set.
class TagSet {
  public:
    TagSet() : names_(static_cast<char **>(std::calloc(kNameMax, sizeof(char *)))) {}
    ~TagSet() {
        for (int i = 0; i < count_; ++i)
            std::free(names_[i]);
        std::free(names_);
    }
    TagSet(const TagSet &) = delete;
    TagSet &operator=(const TagSet &) = delete;

    bool ok() const { return names_ != nullptr; }
    char **names() { return names_; }
    int count() const { return count_; }

    // False when a name cannot be copied: the listing must not go on with a gap.
    bool collect(const char *tags_dir, const DirListing &listing) {
        for (int i = 0; i < listing.count && count_ < kNameMax; ++i) {
            const ListEntry &entry = listing.entries[i];
            if (!entry.is_dir || !tag_link_readable(tags_dir, entry.name)) continue;
            const size_t len = std::strlen(entry.name);
            auto *copy = static_cast<char *>(std::malloc(len + 1));
            if (copy == nullptr) return false;
            std::memcpy(copy, entry.name, len + 1);
            names_[count_++] = copy;
        }
        return true;
    }

  private:
    char **names_;
    int count_ = 0;
};

struct Page {
    int start;
    int end;
};

// The page of a sorted set: after `last` (exclusive), at most n names (all when n <= 0).
Page paginate(const char *const *names, int count, int n, const char *last) {
    int start = 0;
    if (last != nullptr && last[0] != '\0') {
        while (start < count && std::strcmp(names[start], last) <= 0)
            ++start;
    }
    const long long limit = n <= 0 ? count : static_cast<long long>(start) + n;
    return {start, static_cast<int>(limit < count ? limit : count)};
}

void report_page(const char *const *names, int count, Page page, const PageOutputs &out) {
    if (out.more != nullptr) *out.more = page.end < count ? 1 : 0;
    if (page.end > page.start && out.last != nullptr && out.last_size > 0) {
        std::snprintf(out.last, out.last_size, "%s", names[page.end - 1]);
    }
}

// Builds a document in the result buffer. Every piece is placed whole or the document fails:
// a cut name, or a missing closing, would be a different or invalid document.
class DocWriter {
  public:
    static constexpr std::string_view kClosing = "]}";

    bool raw(std::string_view text) {
        if (used_ + text.size() + kClosing.size() + 1 > kResultCap) return false;
        std::memcpy(s_result + used_, text.data(), text.size());
        used_ += text.size();
        return true;
    }

    // A quoted, escaped name, preceded by a comma unless it is the first.
    bool name(const char *text) {
        char escaped[kRepoNameCap * 6 + 9];
        if (std::strlen(text) >= kRepoNameCap) return false;
        json_escape_append(escaped, sizeof escaped, text);
        return (names_++ == 0 || raw(",")) && raw("\"") && raw(escaped) && raw("\"");
    }

    bool names(const char *const *list, Page page) {
        for (int i = page.start; i < page.end; ++i) {
            if (!name(list[i])) return false;
        }
        return true;
    }

    const char *close() {
        std::memcpy(s_result + used_, kClosing.data(), kClosing.size());
        s_result[used_ + kClosing.size()] = '\0';
        return s_result;
    }

  private:
    size_t used_ = 0;
    int names_ = 0;
};

const char *too_large() {
    set_error("%s", kTooLarge);
    return nullptr;
}

// ---- statistics ----------------------------------------------------------------------------

int64_t size_or_zero(const char *path) {
    qv::os::FileInfo info{};
    if (!qv::os::file_info(path, &info) || info.size < 0) return 0;
    return info.size;
}

// Files directly in dir (a missing or unlistable directory holds none), and their bytes.
int count_files(const char *dir, DirListing *listing, int64_t *bytes) {
    if (list_dir(dir, listing) != 0) return 0;
    int files = 0;
    for (int i = 0; i < listing->count; ++i) {
        const ListEntry &entry = listing->entries[i];
        if (entry.is_dir) continue;
        ++files;
        char path[kPathCap];
        if (join_path(path, dir, entry.name)) *bytes += size_or_zero(path);
    }
    return files;
}

int count_repos() {
    const std::unique_ptr<RepoList> repos = RepoList::collect();
    return repos ? repos->count() : 0;
}

int count_blobs(int64_t *bytes) {
    *bytes = 0;
    const auto outer = new_listing();
    const auto inner = new_listing();
    char store[kPathCap];
    if (!outer || !inner || !join_path(store, s_root, "blobs/sha256")) return 0;
    if (list_dir(store, outer.get()) != 0) return 0;
    int blobs = 0;
    for (int i = 0; i < outer->count; ++i) {
        const ListEntry &entry = outer->entries[i];
        char fan_out[kPathCap];
        if (!entry.is_dir || !join_path(fan_out, store, entry.name)) continue;
        blobs += count_files(fan_out, inner.get(), bytes);
    }
    return blobs;
}

int count_tags() {
    const std::unique_ptr<RepoList> repos = RepoList::collect();
    const auto listing = new_listing();
    if (!repos || !listing) return 0;
    int tags = 0;
    for (int r = 0; r < repos->count(); ++r) {
        char tags_dir[kPathCap];
        const int len = std::snprintf(tags_dir, sizeof tags_dir,
                                      "%s/repositories/%s/_manifests/tags", s_root, (*repos)[r]);
        if (len < 0 || static_cast<size_t>(len) >= sizeof tags_dir) continue;
        if (list_dir(tags_dir, listing.get()) != 0) continue;
        for (int i = 0; i < listing->count; ++i) {
            const ListEntry &entry = listing->entries[i];
            if (entry.is_dir && tag_link_readable(tags_dir, entry.name)) ++tags;
        }
    }
    return tags;
}

int count_uploads(int64_t *bytes) {
    *bytes = 0;
    const auto listing = new_listing();
    char uploads[kPathCap];
    if (!listing || !join_path(uploads, s_root, "uploads")) return 0;
    return count_files(uploads, listing.get(), bytes);
}

}  // namespace
}  // namespace reg

using namespace reg;

const char *reg_tags_list_json_page(const char *repo, int n, const char *last, int *out_more,
                                    char *out_last, size_t out_last_size) {
    const PageOutputs out{out_more, out_last, out_last_size};
    out.reset();
    if (repo == nullptr) {
        set_error("repo_name is NULL");
        return nullptr;
    }
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    if (repo[0] == '\0' || !repo_name_valid(repo)) {
        set_error("invalid repository name");
        return nullptr;
    }
    char tags_dir[kPathCap];
    if (manifest_tags_dir(tags_dir, repo) != 0) return nullptr;
    TagSet tags;
    const auto listing = new_listing();
    if (!tags.ok() || !listing) {
        set_error("out of memory");
        return nullptr;
    }
    // A repository without a tags directory (or none at all) lists no tags.
    if (list_dir(tags_dir, listing.get()) == 0 && !tags.collect(tags_dir, *listing)) {
        set_error("out of memory");
        return nullptr;
    }
    if (tags.count() > 1) sort_str(tags.names(), tags.count());
    const Page page = paginate(tags.names(), tags.count(), n, last);

    DocWriter doc;
    char escaped_repo[256 * 6 + 9];  // names are at most 255 characters
    json_escape_append(escaped_repo, sizeof escaped_repo, repo);
    if (!doc.raw("{\"name\":\"") || !doc.raw(escaped_repo) || !doc.raw("\",\"tags\":[") ||
        !doc.names(tags.names(), page))
        return too_large();
    report_page(tags.names(), tags.count(), page, out);
    return doc.close();
}

const char *reg_tags_list_json(const char *repo) {
    return reg_tags_list_json_page(repo, 0, nullptr, nullptr, nullptr, 0);
}

const char *reg_catalog_json_page(int n, const char *last, int *out_more, char *out_last,
                                  size_t out_last_size) {
    const PageOutputs out{out_more, out_last, out_last_size};
    out.reset();
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    const std::unique_ptr<RepoList> repos = RepoList::collect();
    if (!repos) {
        set_error("out of memory");
        return nullptr;
    }
    repos->sort();
    const Page page = paginate(repos->names(), repos->count(), n, last);
    DocWriter doc;
    if (!doc.raw("{\"repositories\":[") || !doc.names(repos->names(), page)) return too_large();
    report_page(repos->names(), repos->count(), page, out);
    return doc.close();
}

const char *reg_catalog_json(int n, const char *last) {
    return reg_catalog_json_page(n, last, nullptr, nullptr, 0);
}

const char *reg_storage_get_stats_json(void) {
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    const int repositories = count_repos();
    int64_t blob_bytes = 0;
    const int blobs = count_blobs(&blob_bytes);
    const int tags = count_tags();
    int64_t upload_bytes = 0;
    const int uploads = count_uploads(&upload_bytes);
    std::snprintf(s_result, kResultCap,
                  "{\"version\":\"1.9.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
                  "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
                  repositories, tags, blobs, static_cast<long long>(blob_bytes), uploads,
                  static_cast<long long>(upload_bytes));
    return s_result;
}
