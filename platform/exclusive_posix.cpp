// Placing a file under a name only if nothing holds it, on local and distributed file systems.
#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/beneath.h"
#include "platform/os.h"

namespace qv::os {

namespace {

bool s_plain_rename = false;

// A claim this old is a crashed placer's (a placement takes milliseconds), and is taken over.
constexpr time_t kClaimStaleSeconds = 60;
// How long a placer waits for another's claim on the same name to go (a placement takes a
// few milliseconds): looks a millisecond apart, then further, up to five seconds in all.
constexpr uint64_t kClaimWaitMs = 5000;
constexpr long kClaimPauseMaxNs = 16'000'000;

// Where renameat2 cannot refuse to replace (EINVAL on distributed file systems), a hard link
// is no substitute: it is not exclusive across their servers, and both of two hosts have been
// seen to win. An exclusive create is: whoever creates "<to>.claim" places the name, and
// every other placer of that name waits for the claim to go.
bool rename_new_claimed(int a_dir, const char *a_name, int b_dir, const char *b_name) {
    const std::string claim = std::string(b_name) + ".claim";
    const uint64_t deadline = monotonic_ms() + kClaimWaitMs;
    long pause_ns = 1'000'000;
    for (;;) {
        const int fd = ::openat(b_dir, claim.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        if (errno != EEXIST) return false;
        struct stat st;
        if (::fstatat(b_dir, claim.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            ::time(nullptr) - st.st_mtime > kClaimStaleSeconds) {
            ::unlinkat(b_dir, claim.c_str(), 0);
            continue;
        }
        if (monotonic_ms() > deadline) {
            errno = EBUSY;
            return false;
        }
        const timespec pause{0, pause_ns};
        ::nanosleep(&pause, nullptr);
        pause_ns = std::min(pause_ns * 2, kClaimPauseMaxNs);
    }
    int err = 0;
    struct stat st;
    if (::fstatat(b_dir, b_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        err = EEXIST;
    } else if (errno != ENOENT) {
        err = errno;
    } else if (::renameat(a_dir, a_name, b_dir, b_name) != 0) {
        err = errno;
    }
    ::unlinkat(b_dir, claim.c_str(), 0);
    errno = err;
    return err == 0;
}

}  // namespace

void force_plain_rename(bool on) {
    s_plain_rename = on;
}

namespace {

bool rename_new_at(int a_dir, const char *a_name, int b_dir, const char *b_name) {
    if (!s_plain_rename && ::renameat2(a_dir, a_name, b_dir, b_name, RENAME_NOREPLACE) == 0)
        return true;
    if (!s_plain_rename && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    return rename_new_claimed(a_dir, a_name, b_dir, b_name);
}

}  // namespace

bool rename_new(const char *from, const char *to) {
    const beneath::Entry a(from), b(to);
    if (!a.ok() || !b.ok()) {
        errno = a.ok() ? b.error() : a.error();
        return false;
    }
    return rename_new_at(a.dir(), a.name(), b.dir(), b.name());
}

bool HeldDir::rename_new(const char *from, const char *to) const {
    if (fd_ < 0 || from == nullptr || to == nullptr || std::strchr(from, '/') != nullptr ||
        std::strchr(to, '/') != nullptr) {
        errno = EINVAL;
        return false;
    }
    return rename_new_at(fd_, from, fd_, to);
}

}  // namespace qv::os
