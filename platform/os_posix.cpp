// POSIX implementation of the operating-system layer.
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>  // renameat2
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/beneath.h"
#include "platform/os.h"

namespace qv::os {

namespace {

using beneath::Entry;

int s_injected_error = 0;
int s_injected_count = 0;
std::string s_injected_leaf;

// A distributed file system's client answers ESTALE (or ENODATA) for a name another host has
// just replaced; asked again, it answers for the new file. Tests inject these.
bool transient(int err) {
    return err == ESTALE || err == ENODATA;
}
bool injected(std::string_view path) {
    if (s_injected_count == 0) return false;
    const std::string_view leaf = path.substr(path.find_last_of('/') + 1);
    if (!s_injected_leaf.empty() && leaf != s_injected_leaf) return false;
    --s_injected_count;
    errno = s_injected_error;
    return true;
}

// Looks at the entry; inside the confined tree a link is never followed.
bool look(const Entry &e, struct stat *st, bool follow) {
    if (!e.ok()) {
        errno = e.error();
        return false;
    }
    const int flags = follow && !e.confined() ? 0 : AT_SYMLINK_NOFOLLOW;
    for (int attempt = 0;; ++attempt) {
        if (!injected(e.name()) && ::fstatat(e.dir(), e.name(), st, flags) == 0) return true;
        if (attempt == 1 || !transient(errno)) return false;
    }
}

void fill(const struct stat &st, FileInfo *out) {
    out->size = static_cast<int64_t>(st.st_size);
    out->mtime_unix = static_cast<int64_t>(st.st_mtim.tv_sec);
    out->mtime_nsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
    out->file_id = static_cast<uint64_t>(st.st_ino);
    out->regular = S_ISREG(st.st_mode);
    out->device = static_cast<uint64_t>(st.st_dev);
    out->directory = S_ISDIR(st.st_mode);
}

// Wraps a regular file's descriptor in a stream; closes the descriptor on failure. The
// O_NONBLOCK it was opened with, so that a pipe in its place could not stall the open, means
// nothing for a regular file and stays.
std::FILE *regular_stream(int fd, const char *mode) {
    std::FILE *f = ::fdopen(fd, mode);
    if (f == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

// Closes fd and fails with EINVAL unless it is a regular file.
int regular_or_close(int fd, struct stat *st) {
    int err = 0;
    if (::fstat(fd, st) != 0) {
        err = errno;
    } else if (!S_ISREG(st->st_mode)) {
        err = EINVAL;
    }
    if (err == 0) return fd;
    ::close(fd);
    errno = err;
    return -1;
}

}  // namespace

PathKind path_kind(const char *path) {
    struct stat st;
    if (!look(Entry(path), &st, true)) return PathKind::missing;
    if (S_ISDIR(st.st_mode)) return PathKind::directory;
    return S_ISREG(st.st_mode) ? PathKind::file : PathKind::other;
}

bool is_symlink(const char *path) {
    struct stat st;
    return look(Entry(path), &st, false) && S_ISLNK(st.st_mode);
}

bool is_missing(const char *path) {
    struct stat st;
    return !look(Entry(path), &st, false) && (errno == ENOENT || errno == ENOTDIR);
}

bool entry_info(const char *path, FileInfo *out) {
    struct stat st;
    if (!look(Entry(path), &st, false)) return false;
    fill(st, out);
    return true;
}

bool file_info(const char *path, FileInfo *out) {
    struct stat st;
    if (!look(Entry(path), &st, true)) return false;
    if (S_ISLNK(st.st_mode)) {  // inside the tree: a link is no file to report on
        errno = ELOOP;
        return false;
    }
    fill(st, out);
    return true;
}

DirReader::DirReader(const char *path) : handle_(nullptr) {
    const int fd = beneath::open_path(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    handle_ = ::fdopendir(fd);
    if (handle_ == nullptr) ::close(fd);
}

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
            last_link_ = rc == 0 && S_ISLNK(st.st_mode);
        } else {
            *is_dir = e->d_type == DT_DIR;
            last_link_ = e->d_type == DT_LNK;
        }
        return true;
    }
}

namespace {

// A name of one component, never "." or "..".
bool single_component(const char *name) {
    if (name == nullptr || *name == '\0' || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        errno = EINVAL;
        return false;
    }
    for (const char *p = name; *p != '\0'; ++p) {
        if (is_sep(*p)) {
            errno = EINVAL;
            return false;
        }
    }
    return true;
}

}  // namespace

HeldDir::HeldDir(const char *path)
    : fd_(beneath::open_path(path, O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

HeldDir::HeldDir(const HeldDir &parent, const char *name)
    : fd_(parent.fd_ < 0 || !single_component(name)
              ? -1
              : ::openat(parent.fd_, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {}

HeldDir::~HeldDir() {
    if (fd_ >= 0) ::close(fd_);
}

bool HeldDir::entry_info(const char *name, FileInfo *out) const {
    struct stat st;
    if (fd_ < 0 || !single_component(name) || ::fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    fill(st, out);
    return true;
}

bool HeldDir::rename(const char *from, const char *to) const {
    return fd_ >= 0 && single_component(from) && single_component(to) &&
           ::renameat(fd_, from, fd_, to) == 0;
}

bool HeldDir::remove_file(const char *name) const {
    return fd_ >= 0 && single_component(name) && ::unlinkat(fd_, name, 0) == 0;
}

bool HeldDir::remove_dir(const char *name) const {
    return fd_ >= 0 && single_component(name) && ::unlinkat(fd_, name, AT_REMOVEDIR) == 0;
}

std::FILE *HeldDir::open_read(const char *name, FileInfo *info) const {
    if (fd_ < 0 || !single_component(name)) return nullptr;
    const int fd = ::openat(fd_, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    struct stat st;
    if (fd < 0 || regular_or_close(fd, &st) < 0) return nullptr;
    if (info != nullptr) fill(st, info);
    return regular_stream(fd, "rb");
}

int make_dir(const char *path) {
    const Entry e(path);
    if (!e.ok()) return e.error();
    return ::mkdirat(e.dir(), e.name(), 0755) == 0 ? 0 : errno;
}

bool remove_dir(const char *path) {
    const Entry e(path);
    return e.ok() && ::unlinkat(e.dir(), e.name(), AT_REMOVEDIR) == 0;
}

bool remove_file(const char *path) {
    const Entry e(path);
    return e.ok() && ::unlinkat(e.dir(), e.name(), 0) == 0;
}

bool rename_path(const char *from, const char *to) {
    const Entry a(from), b(to);
    if (!a.ok() || !b.ok()) {
        errno = a.ok() ? b.error() : a.error();
        return false;
    }
    return ::renameat(a.dir(), a.name(), b.dir(), b.name()) == 0;
}

std::FILE *open_write(const char *path, bool create_new, unsigned mode) {
    // Non-blocking, so that a pipe in the file's place refuses at once rather than waits for
    // a reader; the flag is dropped again for the writes.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (create_new ? O_EXCL : O_TRUNC);
    const int fd = beneath::open_path(path, flags, static_cast<mode_t>(mode));
    struct stat st;
    if (fd < 0 || regular_or_close(fd, &st) < 0) return nullptr;
    return regular_stream(fd, "wb");
}

std::FILE *open_append(const char *path, bool create) {
    const int flags =
        O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | (create ? O_CREAT : 0);
    const int fd = beneath::open_path(path, flags, 0666);
    struct stat st;
    if (fd < 0 || regular_or_close(fd, &st) < 0) return nullptr;
    return regular_stream(fd, "ab");
}

bool set_mtime(const char *path, int64_t unix_seconds) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unix_seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    const Entry e(path);
    return e.ok() &&
           ::utimensat(e.dir(), e.name(), times, e.confined() ? AT_SYMLINK_NOFOLLOW : 0) == 0;
}

int touch_now(const char *path) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = 0;
    times[1].tv_nsec = UTIME_NOW;
    const Entry e(path);
    if (!e.ok()) return e.error();
    return ::utimensat(e.dir(), e.name(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

namespace {

// A descriptor of a regular file, opened without blocking so that a pipe planted in a file's
// place returns at once; -1 with errno set (EINVAL for anything not a regular file).
int open_regular(const char *path, struct stat *st) {
    int fd = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        fd = injected(path) ? -1 : beneath::open_path(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0 || !transient(errno)) break;
    }
    return fd < 0 ? -1 : regular_or_close(fd, st);
}

}  // namespace

std::FILE *open_read_regular(const char *path, FileInfo *info) {
    struct stat st;
    const int fd = open_regular(path, &st);
    if (fd < 0) return nullptr;
    if (info != nullptr) fill(st, info);
    return regular_stream(fd, "rb");
}

namespace {

// The first bytes of the regular file open at fd (closed here), stopping at the size it had
// when opened: no read of 0 as a stream would make; a file that grows meanwhile, or reports no
// size, is read until that read of 0. 0, or the error number.
int read_fd(int fd, const struct stat &st, char *buf, std::size_t cap, std::size_t *out_len) {
    int err = 0;
    std::size_t got = 0;
    while (got < cap) {
        const ssize_t n = ::read(fd, buf + got, cap - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
        if (got == static_cast<std::size_t>(st.st_size)) break;
    }
    ::close(fd);
    *out_len = got;
    return err;
}

// The regular file open at fd (closed here) whole, into a new heap buffer of at most max bytes.
int read_fd_whole(int fd, const struct stat &st, uint64_t max, char **out, uint64_t *out_len) {
    if (static_cast<uint64_t>(st.st_size) > max) {
        ::close(fd);
        return EFBIG;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    char *buf = static_cast<char *>(std::malloc(size + 1));
    if (buf == nullptr) {
        ::close(fd);
        return ENOMEM;
    }
    std::size_t got = 0;
    const int err = size == 0 ? (::close(fd), 0) : read_fd(fd, st, buf, size, &got);
    if (err != 0) {
        std::free(buf);
        return err;
    }
    buf[got] = '\0';
    *out = buf;
    *out_len = got;
    return 0;
}

// A regular file in the held directory fd, as open_regular opens one; -1 with errno set.
int open_regular_at(int dir, const char *name, struct stat *st) {
    if (dir < 0 || !single_component(name)) return -1;
    const int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    return fd < 0 ? -1 : regular_or_close(fd, st);
}

}  // namespace

int read_regular(const char *path, char *buf, std::size_t cap, std::size_t *out_len,
                 FileInfo *info) {
    *out_len = 0;
    struct stat st;
    const int fd = open_regular(path, &st);
    if (fd < 0) return errno;
    if (info != nullptr) fill(st, info);
    return read_fd(fd, st, buf, cap, out_len);
}

int read_whole(const char *path, uint64_t max, char **out, uint64_t *out_len, FileInfo *info) {
    *out = nullptr;
    *out_len = 0;
    struct stat st;
    const int fd = open_regular(path, &st);
    if (fd < 0) return errno;
    if (info != nullptr) fill(st, info);
    return read_fd_whole(fd, st, max, out, out_len);
}

int HeldDir::read_regular(const char *name, char *buf, std::size_t cap, std::size_t *out_len,
                          FileInfo *info) const {
    *out_len = 0;
    struct stat st;
    const int fd = open_regular_at(fd_, name, &st);
    if (fd < 0) return errno;
    if (info != nullptr) fill(st, info);
    return read_fd(fd, st, buf, cap, out_len);
}

int HeldDir::read_whole(const char *name, uint64_t max, char **out, uint64_t *out_len,
                        FileInfo *info) const {
    *out = nullptr;
    *out_len = 0;
    struct stat st;
    const int fd = open_regular_at(fd_, name, &st);
    if (fd < 0) return errno;
    if (info != nullptr) fill(st, info);
    return read_fd_whole(fd, st, max, out, out_len);
}

FileTime file_clock_now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return {static_cast<int64_t>(ts.tv_sec), static_cast<int32_t>(ts.tv_nsec)};
}

void inject_transient(int err, int count, const char *leaf) {
    s_injected_error = err;
    s_injected_count = count;
    s_injected_leaf = leaf != nullptr ? leaf : "";
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

void on_fork_child(void (*fn)()) {
    ::pthread_atfork(nullptr, nullptr, fn);
}

uint64_t monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool random_bytes(void *buf, std::size_t len) {
    auto *p = static_cast<unsigned char *>(buf);
    while (len > 0) {
        const ssize_t n = getrandom(p, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

int64_t unix_now() {
    return static_cast<int64_t>(std::time(nullptr));
}

// Calendar arithmetic alone: gmtime_r first loads the local time zone, a file read at every
// request for a stamp that is always UTC.
bool utc_fields(int64_t unix_seconds, std::tm *out) {
    using namespace std::chrono;
    const sys_seconds t{seconds{unix_seconds}};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    if (!ymd.ok()) return false;
    const hh_mm_ss hms{t - day};
    *out = std::tm{};
    out->tm_year = static_cast<int>(ymd.year()) - 1900;
    out->tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
    out->tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
    out->tm_hour = static_cast<int>(hms.hours().count());
    out->tm_min = static_cast<int>(hms.minutes().count());
    out->tm_sec = static_cast<int>(hms.seconds().count());
    out->tm_wday = static_cast<int>(weekday{day}.c_encoding());
    out->tm_yday = static_cast<int>((day - sys_days{ymd.year() / January / 1}).count());
    return true;
}

void binary_mode(std::FILE *) {}

}  // namespace qv::os
