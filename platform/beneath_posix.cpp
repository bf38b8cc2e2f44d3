// Resolving paths beneath the storage root without following links: one openat2 call where
// the kernel has it, else one openat per component.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/beneath.h"
#include "platform/os.h"

namespace qv::os {

namespace {

std::string s_tree;  // the confined root as callers spell it; empty when nothing is confined
int s_tree_fd = -1;  // that directory, opened once (a link at the root itself is followed)
bool s_component_walk = false;  // set once the kernel refuses openat2, or by a test

constexpr int kOpenat2Attempts = 8;  // EAGAIN: a rename raced the lookup; try again

// The path relative to the tree, or nullptr when it lies outside (the root itself included).
const char *inside_tree(const char *path) {
    if (s_tree_fd < 0 || path == nullptr) return nullptr;
    if (std::strncmp(path, s_tree.c_str(), s_tree.size()) != 0) return nullptr;
    const char *rest = path + s_tree.size();
    if (!is_sep(s_tree.back()) && !is_sep(*rest)) return nullptr;  // "store2" is not in "store"
    while (is_sep(*rest))
        ++rest;
    return *rest == '\0' ? nullptr : rest;
}

// Whether a component of rel is "..": below the root no path goes up, even to come back.
bool goes_up(std::string_view rel) {
    size_t i = 0;
    while (i <= rel.size()) {
        size_t end = i;
        while (end < rel.size() && !is_sep(rel[end]))
            ++end;
        if (rel.substr(i, end - i) == "..") return true;
        i = end + 1;
    }
    return false;
}

int openat2_beneath(const char *rel, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags) | O_NOFOLLOW;
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < kOpenat2Attempts; ++attempt) {
        const long fd = ::syscall(SYS_openat2, s_tree_fd, rel, &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno == ENOSYS || errno == EPERM) {  // no such call, or a filter refusing it
            s_component_walk = true;
            return -2;  // the caller walks instead
        }
        if (errno != EAGAIN && errno != EINTR) return -1;
    }
    return -1;
}

// Opens the directory rel (its components separated as on input, none of them "..") one
// component at a time, never following a link. -1 with errno set.
int walk_to_dir(std::string_view rel) {
    int fd = ::fcntl(s_tree_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return -1;
    size_t i = 0;
    while (i < rel.size()) {
        size_t end = i;
        while (end < rel.size() && !is_sep(rel[end]))
            ++end;
        const std::string part(rel.substr(i, end - i));
        i = end + 1;
        if (part.empty() || part == ".") continue;
        const int next = ::openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int err = errno;
        struct stat st;
        // A link is something there that may not be used, not a missing directory.
        if (next < 0 && err == ENOTDIR &&
            ::fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            err = ELOOP;
        ::close(fd);
        if (next < 0) {
            errno = err;
            return -1;
        }
        fd = next;
    }
    return fd;
}

// The directory rel, beneath the tree; -1 with errno set.
int open_dir_beneath(const std::string &rel) {
    if (!s_component_walk) {
        const int fd = openat2_beneath(rel.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        // ENOTDIR may mean a link in the way: the walk tells which.
        if (fd != -2 && (fd >= 0 || errno != ENOTDIR)) return fd;
    }
    return walk_to_dir(rel);
}

}  // namespace

bool confine_beneath(const char *root) {
    if (s_tree_fd >= 0) ::close(s_tree_fd);
    s_tree_fd = -1;
    s_tree.clear();
    if (root == nullptr || *root == '\0') return true;
    s_tree_fd = ::open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (s_tree_fd < 0) return false;
    s_tree = root;
    return true;
}

namespace beneath {

void force_component_walk(bool on) {
    s_component_walk = on;
}

Entry::Entry(const char *path) : dir_(AT_FDCWD), name_(path != nullptr ? path : "") {
    if (path == nullptr || *path == '\0') {
        error_ = ENOENT;
        return;
    }
    const char *rel = inside_tree(path);
    if (rel == nullptr) return;
    confined_ = true;
    if (goes_up(rel)) {
        error_ = EXDEV;
        return;
    }
    // "a/." and "a/" name a itself.
    std::string_view view(rel);
    for (;;) {
        while (!view.empty() && is_sep(view.back()))
            view.remove_suffix(1);
        if (view != "." &&
            !(view.ends_with(".") && view.size() >= 2 && is_sep(view[view.size() - 2])))
            break;
        view.remove_suffix(1);
    }
    if (view.empty()) {  // the root itself, as the operator placed it
        confined_ = false;
        return;
    }
    size_t cut = view.size();
    while (cut > 0 && !is_sep(view[cut - 1]))
        --cut;
    leaf_ = std::string(view.substr(cut));
    name_ = leaf_.c_str();
    std::string_view parent = view.substr(0, cut);
    while (!parent.empty() && is_sep(parent.back()))
        parent.remove_suffix(1);
    if (parent.empty()) {
        dir_ = s_tree_fd;
        return;
    }
    dir_ = open_dir_beneath(std::string(parent));
    if (dir_ < 0) {
        error_ = errno;
        return;
    }
    owned_ = true;
}

Entry::~Entry() {
    if (owned_) ::close(dir_);
}

int open_path(const char *path, int flags, mode_t mode) {
    const char *rel = inside_tree(path);
    if (rel == nullptr) {
        if (path == nullptr || *path == '\0') {
            errno = ENOENT;
            return -1;
        }
        return ::open(path, flags, mode);
    }
    if (goes_up(rel)) {
        errno = EXDEV;
        return -1;
    }
    if (!s_component_walk) {
        const int fd = openat2_beneath(rel, flags, mode);
        if (fd != -2) return fd;
    }
    Entry entry(path);
    if (!entry.ok()) {
        errno = entry.error();
        return -1;
    }
    return ::openat(entry.dir(), entry.name(), flags | O_NOFOLLOW, mode);
}

}  // namespace beneath

}  // namespace qv::os
