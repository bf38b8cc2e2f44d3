// Discovery of every repository below <root>/repositories: a directory is a repository when
// it holds a _manifests directory.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

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

}  // namespace reg
