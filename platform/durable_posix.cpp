// Durability on POSIX: fdatasync for a file's contents, fsync of a directory for its entries.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/beneath.h"
#include "platform/os.h"

namespace qv::os {

namespace {

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

bool durable_entries(const char *dir) {
    const int fd = beneath::open_path(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = sync_fd(fd);
    ::close(fd);
    return ok;
}

bool durable_entry(const char *path) {
    if (path == nullptr) return false;
    const std::string p(path);
    size_t end = p.size();
    while (end > 1 && is_sep(p[end - 1]))  // "a/b/" names b
        --end;
    size_t cut = end;
    while (cut > 0 && !is_sep(p[cut - 1]))
        --cut;
    if (cut == 0) return durable_entries(".");
    while (cut > 1 && is_sep(p[cut - 1]))
        --cut;
    return durable_entries(p.substr(0, cut).c_str());
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
