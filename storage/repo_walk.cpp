// Discovery of every repository below <root>/repositories: a directory is a repository when
// it holds a _manifests directory.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "storage/storage_internal.h"

namespace reg {

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// One level's buffers. On the heap, so that nine levels of recursion stay small on the stack.
struct LevelBuffers {
    HeapPtr<DirListing> listing{static_cast<DirListing *>(std::calloc(1, sizeof(DirListing)))};
    HeapPtr<char> child{static_cast<char *>(std::malloc(kPathCap))};
    HeapPtr<char> name{static_cast<char *>(std::malloc(kRepoNameCap))};
    HeapPtr<char> marker{static_cast<char *>(std::malloc(kPathCap))};

    bool ok() const { return listing && child && name && marker; }
};

// The repository name of an entry: "prefix/entry", or the entry alone at the top. False when
// it would be cut, since a cut name is another repository's.
bool form_name(char *out, const char *prefix, const char *entry) {
    const bool top = prefix == nullptr || prefix[0] == '\0';
    const int n = top ? std::snprintf(out, kRepoNameCap, "%s", entry)
                      : std::snprintf(out, kRepoNameCap, "%s/%s", prefix, entry);
    return n >= 0 && static_cast<size_t>(n) < kRepoNameCap;
}

char *copy_to_heap(const char *text) {
    const size_t len = std::strlen(text);
    auto *copy = static_cast<char *>(repo_name_alloc(len + 1));
    if (copy != nullptr) std::memcpy(copy, text, len + 1);
    return copy;
}

}  // namespace

void *(*repo_name_alloc)(size_t) = std::malloc;

void collect_repos_recursive(const char *dir, const char *prefix, char **list, int *count,
                             int depth) {
    if (list == nullptr || count == nullptr) return;
    LevelBuffers level;
    if (!level.ok()) return;  // this level contributes nothing
    if (list_dir(dir, level.listing.get()) != 0) return;

    const DirListing &listing = *level.listing;
    for (int i = 0; i < listing.count && *count < kRepoMax; ++i) {
        const ListEntry &entry = listing.entries[i];
        if (!entry.is_dir || std::strcmp(entry.name, "_manifests") == 0) continue;
        char *child = level.child.get();
        char *name = level.name.get();
        if (!join_path(child, dir, entry.name) || !form_name(name, prefix, entry.name)) continue;

        char *marker = level.marker.get();
        if (join_path(marker, child, "_manifests") && qv::os::is_dir(marker)) {
            // A name that cannot be copied is left out rather than leaving a hole.
            if (char *copy = copy_to_heap(name)) list[(*count)++] = copy;
        }
        if (depth < kRepoDepthMax && *count < kRepoMax) {
            collect_repos_recursive(child, name, list, count, depth + 1);
        }
    }
}

std::unique_ptr<RepoList> RepoList::collect() {
    std::unique_ptr<RepoList> repos(new (std::nothrow) RepoList());
    if (!repos) return nullptr;
    repos->names_ = static_cast<char **>(std::calloc(kRepoMax, sizeof(char *)));
    if (repos->names_ == nullptr) return nullptr;
    char base[kPathCap];
    if (join_path(base, s_root, "repositories")) {
        collect_repos_recursive(base, "", repos->names_, &repos->count_, 0);
    }
    return repos;
}

void RepoList::sort() {
    if (count_ > 1) sort_str(names_, count_);
}

RepoList::~RepoList() {
    if (names_ == nullptr) return;
    for (int i = 0; i < count_; ++i)
        std::free(names_[i]);
    std::free(names_);
}

bool list_entries(const char *dir, std::vector<DirEntry> *out) {
    qv::os::DirReader reader(dir);
    if (!reader.ok()) return false;
    const char *name = nullptr;
    bool is_dir = false;
    try {
        while (reader.next(&name, &is_dir))
            out->push_back({name, is_dir, reader.last_was_link()});
    } catch (const std::bad_alloc &) {
        return false;
    }
    return !reader.failed();
}

bool list_names(const char *dir, bool dirs_only, std::vector<std::string> *out) {
    std::vector<DirEntry> entries;
    const bool whole = list_entries(dir, &entries);
    try {
        for (DirEntry &e : entries)
            if (!dirs_only || e.is_dir) out->push_back(std::move(e.name));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return whole;
}

bool collect_all_repos(std::vector<std::string> *out) {
    char top[kPathCap];
    if (!join_path(top, s_root, "repositories")) return false;
    // (directory path, repository name) pairs still to look into; depth first, no recursion.
    std::vector<std::pair<std::string, std::string>> pending;
    bool complete = true;
    try {
        pending.emplace_back(top, "");
        while (!pending.empty()) {
            const auto [dir, name] = std::move(pending.back());
            pending.pop_back();
            std::vector<std::string> children;
            if (!list_names(dir.c_str(), true, &children)) {
                complete = complete && qv::os::is_missing(dir.c_str());
                continue;
            }
            for (const std::string &child : children) {
                if (child == "_manifests") {
                    if (!name.empty()) out->push_back(name);
                    continue;
                }
                pending.emplace_back(dir + qv::os::kSep + child,
                                     name.empty() ? child : name + "/" + child);
            }
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return complete;
}

}  // namespace reg
