// POSIX implementation of the operating-system layer.
#include <dirent.h>
#include <signal.h>
#include <stdio.h>  // renameat2
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os.h"

namespace qv::os {

PathKind path_kind(const char *path) {
    struct stat st;
    if (path == nullptr || *path == '\0' || ::stat(path, &st) != 0) return PathKind::missing;
    if (S_ISDIR(st.st_mode)) return PathKind::directory;
    return S_ISREG(st.st_mode) ? PathKind::file : PathKind::other;
}

bool is_symlink(const char *path) {
    struct stat st;
    return path != nullptr && *path != '\0' && ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

bool is_missing(const char *path) {
    struct stat st;
    return path == nullptr || *path == '\0' ||
           (::lstat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR));
}

bool entry_info(const char *path, FileInfo *out) {
    struct stat st;
    if (path == nullptr || *path == '\0' || ::lstat(path, &st) != 0) return false;
    out->size = static_cast<int64_t>(st.st_size);
    out->mtime_unix = static_cast<int64_t>(st.st_mtim.tv_sec);
    out->mtime_nsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
    return true;
}

bool file_info(const char *path, FileInfo *out) {
    struct stat st;
    if (path == nullptr || *path == '\0' || ::stat(path, &st) != 0) return false;
    out->size = static_cast<int64_t>(st.st_size);
    out->mtime_unix = static_cast<int64_t>(st.st_mtim.tv_sec);
    out->mtime_nsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
    return true;
}

DirReader::DirReader(const char *path)
    : handle_(path != nullptr && *path != '\0' ? ::opendir(path) : nullptr) {}

DirReader::~DirReader() {
    if (handle_ != nullptr) ::closedir(static_cast<DIR *>(handle_));
}

bool DirReader::next(const char **name, bool *is_dir) {
    if (handle_ == nullptr) return false;
    for (;;) {
        errno = 0;
        const dirent *e = ::readdir(static_cast<DIR *>(handle_));
        if (e == nullptr) {
            failed_ = errno != 0;
            return false;
        }
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        *name = e->d_name;
        if (e->d_type == DT_UNKNOWN) {
            // The file system did not say. Look without following, so that a link is never
            // taken for the directory it points to: walks that delete must not leave the tree
            // they walk. An entry that cannot be looked at (other than one gone meanwhile)
            // makes the enumeration a failed one: a caller that must see everything is told.
            struct stat st;
            const int rc = ::fstatat(::dirfd(static_cast<DIR *>(handle_)), e->d_name, &st,
                                     AT_SYMLINK_NOFOLLOW);
            if (rc != 0 && errno != ENOENT) failed_ = true;
            *is_dir = rc == 0 && S_ISDIR(st.st_mode);
        } else {
            *is_dir = e->d_type == DT_DIR;
        }
        return true;
    }
}

int make_dir(const char *path) {
    return ::mkdir(path, 0755) == 0 ? 0 : errno;
}

bool remove_dir(const char *path) {
    return ::rmdir(path) == 0;
}

bool remove_file(const char *path) {
    return ::unlink(path) == 0;
}

bool rename_path(const char *from, const char *to) {
    return std::rename(from, to) == 0;
}

std::FILE *open_append_existing(const char *path) {
    // Non-blocking, so that a pipe in the file's place refuses at once rather than waits for
    // a reader; the flag is dropped again for the writes.
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE *f = ::fdopen(fd, "ab");
    if (f == nullptr) ::close(fd);
    return f;
}

bool rename_new(const char *from, const char *to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // A file system without the flag: a hard link refuses an existing name just as well.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return true;
    }
    if (errno == EEXIST) return false;
    // Nor hard links: the best left is to look first.
    struct stat st;
    if (::lstat(to, &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from, to) == 0;
}

bool set_mtime(const char *path, int64_t unix_seconds) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unix_seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, path, times, 0) == 0;
}

int touch_now(const char *path) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = 0;
    times[1].tv_nsec = UTIME_NOW;
    return ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

namespace {

// A descriptor of a regular file, opened without blocking so that a pipe planted in a file's
// place returns at once; -1 with errno set (EINVAL for anything not a regular file).
int open_regular(const char *path, struct stat *st) {
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return -1;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    int err = 0;
    if (::fstat(fd, st) != 0) {
        err = errno;
    } else if (!S_ISREG(st->st_mode)) {
        err = EINVAL;
    }
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

std::FILE *open_read_regular(const char *path) {
    struct stat st;
    const int fd = open_regular(path, &st);
    if (fd < 0) return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    std::FILE *f = ::fdopen(fd, "rb");
    if (f == nullptr) ::close(fd);
    return f;
}

int read_whole(const char *path, uint64_t max, char **out, uint64_t *out_len) {
    *out = nullptr;
    *out_len = 0;
    struct stat st;
    const int fd = open_regular(path, &st);
    if (fd < 0) return errno;
    int err = 0;
    if (static_cast<uint64_t>(st.st_size) > max) {
        err = EFBIG;
    } else {
        const auto size = static_cast<uint64_t>(st.st_size);
        char *buf = static_cast<char *>(std::malloc(size + 1));
        uint64_t got = 0;
        if (buf == nullptr) err = ENOMEM;
        while (err == 0 && got < size) {
            const ssize_t n = ::read(fd, buf + got, size - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) err = errno;
            if (n <= 0) break;
            got += static_cast<uint64_t>(n);
        }
        if (err == 0) {
            buf[got] = '\0';
            *out = buf;
            *out_len = got;
        } else {
            std::free(buf);
        }
    }
    ::close(fd);
    return err;
}

FileTime file_clock_now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return {static_cast<int64_t>(ts.tv_sec), static_cast<int32_t>(ts.tv_nsec)};
}

void outlive_server_hangup() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
}

unsigned long process_id() {
    return static_cast<unsigned long>(::getpid());
}

uint64_t monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int64_t unix_now() {
    return static_cast<int64_t>(std::time(nullptr));
}

bool utc_fields(int64_t unix_seconds, std::tm *out) {
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    return ::gmtime_r(&t, out) != nullptr;
}

void binary_mode(std::FILE *) {}

}  // namespace qv::os
