// Repositories come and go: the directories a deleted tag leaves, a repository left with
// nothing, and the deletion of a whole repository. Directories are only ever removed when
// empty (a push making them anew meanwhile keeps them); a repository's manifests are moved out
// of the tree in one rename before they are deleted, so that no reader meets half of them.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "storage/gc_internal.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "storage/tag_rules.h"

namespace reg {

namespace {

constexpr int kParentsMax = 64;  // a repository name has fewer levels than a path can hold

std::string parent_of(const std::string &path) {
    const size_t cut = path.find_last_of(qv::os::kSep);
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// Removes dir and then each parent it empties, up to (never including) base.
void prune_up_to(std::string dir, const std::string &base) {
    for (int i = 0; i < kParentsMax && dir.size() > base.size() && dir.starts_with(base); ++i) {
        if (!qv::os::remove_dir(dir.c_str())) return;
        change_durable(dir.c_str());
        dir = parent_of(dir);
    }
}

// Whether dir holds nothing but (recursively) empty directories; the look stops at the first
// file (a repository that keeps manifests costs one read of its directory's start).
bool only_empty_dirs(const std::string &dir, int depth = 0) {
    qv::os::DirReader reader(dir.c_str());
    if (depth > 4 || !reader.ok()) return false;
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        if (!is_dir || !only_empty_dirs(dir + qv::os::kSep + name, depth + 1)) return false;
    }
    return !reader.failed();
}

// Removes the empty directories below dir, deepest first, then dir itself.
void remove_empty_tree(const std::string &dir, int depth = 0) {
    std::vector<DirEntry> entries;
    if (depth <= 4 && list_entries(dir.c_str(), &entries)) {
        for (const DirEntry &e : entries)
            if (e.is_dir) remove_empty_tree(dir + qv::os::kSep + e.name, depth + 1);
    }
    qv::os::remove_dir(dir.c_str());
}

bool repositories_dir(std::string *out) {
    char base[kPathCap];
    if (!join_path(base, s_root, "repositories")) return false;
    *out = base;
    return true;
}

}  // namespace

bool remove_tag_husk(const char *dir) {
    char current[kPathCap];
    if (!join_path(current, dir, "current")) return false;
    qv::os::remove_dir(current);
    return qv::os::remove_dir(dir);
}

void remove_repository_if_empty(const char *repo) {
    char manifests[kPathCap];
    std::string base;
    if (manifest_body_path(manifests, repo, ".") != 0 || !repositories_dir(&base)) {
        clear_error();
        return;
    }
    std::string dir(manifests);
    while (!dir.empty() && (dir.back() == '.' || qv::os::is_sep(dir.back())))
        dir.pop_back();
    if (!only_empty_dirs(dir)) return;
    remove_empty_tree(dir);
    if (!qv::os::is_missing(dir.c_str())) return;  // a push came meanwhile
    change_durable(dir.c_str());
    prune_up_to(parent_of(dir), base);
}

}  // namespace reg

using namespace reg;

extern "C" int reg_repository_delete(const char *repo) {
    if (repo == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    if (repo[0] == '\0' || !repo_name_valid(repo) || repo_name_enters_manifests(repo)) {
        set_error("invalid repository name");
        return -1;
    }
    char manifests[kPathCap];
    char trash[kPathCap];
    std::string base;
    if (manifest_body_path(manifests, repo, ".") != 0 || !gc_state_path(trash, "trash") ||
        !repositories_dir(&base))
        return -1;
    std::string dir(manifests);
    while (!dir.empty() && (dir.back() == '.' || qv::os::is_sep(dir.back())))
        dir.pop_back();
    if (!qv::os::is_dir(dir.c_str()) || qv::os::is_symlink(parent_of(dir).c_str())) {
        set_error("repository not found: %s", repo);
        return -1;
    }
    if (immutable_tags_set()) {
        // Tags that cannot all be seen may hold an immutable one: nothing goes then.
        const std::string tags = dir + "/tags";
        qv::os::DirReader reader(tags.c_str());
        const char *name = nullptr;
        bool is_dir = false;
        while (reader.ok() && reader.next(&name, &is_dir)) {
            char link[kPathCap];
            if (!is_dir || !tag_immutable(repo, name) || manifest_tag_path(link, repo, name) != 0 ||
                !qv::os::is_file(link))
                continue;
            set_error("DENIED: tag %s is immutable", name);
            return -1;
        }
        if ((!reader.ok() && !qv::os::is_missing(tags.c_str())) || reader.failed()) {
            set_error("delete repository failed: cannot list the tags of %s", repo);
            return -1;
        }
    }
    // Out of the tree in one rename: readers see the whole repository or none of it, and the
    // collection's mark no longer counts its manifests. A push into it meanwhile makes it anew.
    char in_trash[kPathCap];
    char aside[kPathCap];  // named with the moment it moved: the store check's age for it
    if (!join_path(in_trash, trash, "_manifests") || !set_aside_path(aside, in_trash) ||
        mkdirs(trash) != 0 || !qv::os::rename_new(dir.c_str(), aside) ||
        !qv::os::durable_entry(aside) || !qv::os::durable_removal(dir.c_str())) {
        set_error("delete repository failed: %s", repo);
        return -1;
    }
    // What could not be removed now, the store check removes later.
    delete_tree(aside);
    qv::os::durable_removal(aside);
    DeferredFlushes flushes;
    prune_up_to(parent_of(dir), base);
    return flushes.flush() ? 0 : -1;
}
