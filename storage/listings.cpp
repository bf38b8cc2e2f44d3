// What the storage tree holds, as JSON: the tag list of a repository and the catalog of all
// repositories (both paged by a size and the last name seen), and the usage statistics.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg {
namespace {

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

// Names sorted in byte order, and the pointers the page writers take.
struct SortedNames {
    std::vector<std::string> names;
    std::vector<const char *> pointers;

    void sort() {
        std::sort(names.begin(), names.end());
        pointers.clear();
        for (const std::string &name : names)
            pointers.push_back(name.c_str());
    }
    const char *const *data() const { return pointers.data(); }
    int count() const { return static_cast<int>(pointers.size()); }
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
int count_files(const char *dir, int64_t *bytes) {
    std::vector<std::string> names;
    list_names(dir, false, &names);
    int files = 0;
    for (const std::string &name : names) {
        char path[kPathCap];
        if (!join_path(path, dir, name.c_str()) ||
            qv::os::path_kind(path) != qv::os::PathKind::file)
            continue;
        ++files;
        *bytes += size_or_zero(path);
    }
    return files;
}

int count_blobs(int64_t *bytes) {
    *bytes = 0;
    char store[kPathCap];
    std::vector<std::string> fan_outs;
    if (!join_path(store, s_root, "blobs/sha256") || !list_names(store, true, &fan_outs)) return 0;
    int blobs = 0;
    for (const std::string &name : fan_outs) {
        char fan_out[kPathCap];
        if (join_path(fan_out, store, name.c_str())) blobs += count_files(fan_out, bytes);
    }
    return blobs;
}

int count_tags(const std::vector<std::string> &repos) {
    int tags = 0;
    for (const std::string &repo : repos) {
        char tags_dir[kPathCap];
        std::vector<std::string> names;
        const int len = std::snprintf(tags_dir, sizeof tags_dir,
                                      "%s/repositories/%s/_manifests/tags", s_root, repo.c_str());
        if (len < 0 || static_cast<size_t>(len) >= sizeof tags_dir) continue;
        list_names(tags_dir, true, &names);
        for (const std::string &tag : names)
            if (tag_link_readable(tags_dir, tag.c_str())) ++tags;
    }
    return tags;
}

int count_uploads(int64_t *bytes) {
    *bytes = 0;
    char uploads[kPathCap];
    if (!join_path(uploads, s_root, "uploads")) return 0;
    return count_files(uploads, bytes);
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
    // Every tag, however many the directory holds; a repository without a tags directory (or
    // none at all) lists none.
    SortedNames tags;
    try {
        std::vector<std::string> names;
        list_names(tags_dir, true, &names);
        for (std::string &name : names)
            if (tag_link_readable(tags_dir, name.c_str())) tags.names.push_back(std::move(name));
        tags.sort();
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return nullptr;
    }
    const Page page = paginate(tags.data(), tags.count(), n, last);

    DocWriter doc;
    char escaped_repo[256 * 6 + 9];  // names are at most 255 characters
    json_escape_append(escaped_repo, sizeof escaped_repo, repo);
    if (!doc.raw("{\"name\":\"") || !doc.raw(escaped_repo) || !doc.raw("\",\"tags\":[") ||
        !doc.names(tags.data(), page))
        return too_large();
    report_page(tags.data(), tags.count(), page, out);
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
    // Every repository, at any count and depth.
    SortedNames repos;
    try {
        if (!collect_all_repos(&repos.names)) {
            set_error("catalog incomplete: the repositories cannot all be listed");
            return nullptr;
        }
        repos.sort();
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return nullptr;
    }
    const Page page = paginate(repos.data(), repos.count(), n, last);
    DocWriter doc;
    if (!doc.raw("{\"repositories\":[") || !doc.names(repos.data(), page)) return too_large();
    report_page(repos.data(), repos.count(), page, out);
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
    std::vector<std::string> repos;
    try {
        collect_all_repos(&repos);
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return nullptr;
    }
    const int repositories = static_cast<int>(repos.size());
    int64_t blob_bytes = 0;
    const int blobs = count_blobs(&blob_bytes);
    const int tags = count_tags(repos);
    int64_t upload_bytes = 0;
    const int uploads = count_uploads(&upload_bytes);
    std::snprintf(s_result, kResultCap,
                  "{\"version\":\"1.9.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
                  "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
                  repositories, tags, blobs, static_cast<long long>(blob_bytes), uploads,
                  static_cast<long long>(upload_bytes));
    return s_result;
}
