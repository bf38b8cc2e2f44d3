// Durability on POSIX: fdatasync for a file's contents, fsync of a directory for its entries.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/beneath.h"
#include "platform/os.h"

namespace qv::os {

namespace {

std::string s_failing_leaf;
int s_failing_count = 0;

// A flush of dir that a test made fail.
bool flush_fails(std::string_view dir) {
    if (s_failing_count == 0) return false;
    while (dir.size() > 1 && is_sep(dir.back()))
        dir.remove_suffix(1);
    if (dir.substr(dir.find_last_of('/') + 1) != s_failing_leaf) return false;
    --s_failing_count;
    errno = EIO;
    return true;
}

// EINVAL: the descriptor's file system has no way to flush it (some special ones); there is
// then nothing more this process can do, and nothing it failed to do.
bool flushed(int rc) {
    return rc == 0 || errno == EINVAL;
}

bool sync_fd(int fd) {
    int rc = 0;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return flushed(rc);
}

}  // namespace

bool durable_contents(std::FILE *stream) {
    if (stream == nullptr || std::fflush(stream) != 0) return false;
    int rc = 0;
    do {
        rc = ::fdatasync(::fileno(stream));
    } while (rc != 0 && errno == EINTR);
    return flushed(rc);
}

void inject_flush_failure(const char *leaf, int count) {
    s_failing_leaf = leaf != nullptr ? leaf : "";
    s_failing_count = count;
}

bool durable_entries(const char *dir) {
    if (dir == nullptr || flush_fails(dir)) return false;
    const int fd = beneath::open_path(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = sync_fd(fd);
    ::close(fd);
    return ok;
}

namespace {

// The directory that holds path's last component: "a/b/" and "a/b" give "a", "b" gives ".".
std::string parent_of(std::string_view p) {
    size_t end = p.size();
    while (end > 1 && is_sep(p[end - 1]))
        --end;
    size_t cut = end;
    while (cut > 0 && !is_sep(p[cut - 1]))
        --cut;
    if (cut == 0) return ".";
    while (cut > 1 && is_sep(p[cut - 1]))
        --cut;
    return std::string(p.substr(0, cut));
}

}  // namespace

bool durable_entry(const char *path) {
    return path != nullptr && durable_entries(parent_of(path).c_str());
}

bool durable_removal(const char *path) {
    if (path == nullptr) return false;
    std::string dir = parent_of(path);
    // A directory emptied and removed with it is itself a removal from its own parent.
    while (is_missing(dir.c_str()) && dir != "." && dir.size() > 1)
        dir = parent_of(dir);
    return durable_entries(dir.c_str());
}

bool HeldDir::durable() const {
    // Held as a path only; flushing takes a descriptor opened for reading.
    const int fd = fd_ < 0 ? -1 : ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = sync_fd(fd);
    ::close(fd);
    return ok;
}

}  // namespace qv::os
