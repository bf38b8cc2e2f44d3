// When a manifest was last pulled: an empty file beside its revision link, dated by the pull.
// Written at most once an hour per manifest and never flushed: a record lost in a crash only
// makes retention keep less, and a pull never waits on it or fails by it.
#include <cerrno>
#include <cstdio>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg {

namespace {

constexpr int64_t kPullRecordSeconds = 3600;

bool record_path(char *out, const char *repo, const char *hex) {
    char dir[kPathCap];
    return manifest_rev_dir(dir, repo, hex) == 0 && join_path(out, dir, kPulledRecord);
}

}  // namespace

int64_t pulled_unix(const char *repo, const char *hex) {
    char path[kPathCap];
    qv::os::FileInfo info{};
    if (!record_path(path, repo, hex) || !qv::os::file_info(path, &info)) return -1;
    return info.mtime_unix;
}

}  // namespace reg

using namespace reg;

extern "C" void reg_manifest_pulled(const char *repo, const char *digest) {
    if (!s_ready || repo == nullptr || digest == nullptr || !digest_valid(digest) ||
        !repo_name_valid(repo))
        return;
    const char *hex = digest + 7;
    char path[kPathCap];
    char dir[kPathCap];
    if (!record_path(path, repo, hex) || manifest_rev_dir(dir, repo, hex) != 0) {
        clear_error();
        return;
    }
    const int64_t last = pulled_unix(repo, hex);
    const int64_t now = qv::os::unix_now();
    if (last >= 0 && last <= now && now - last < kPullRecordSeconds) return;
    // Only beside a revision link that is there: a deleted manifest gets no record.
    if (qv::os::touch_now(path) != ENOENT || !qv::os::is_dir(dir)) return;
    std::FILE *f = qv::os::open_write(path, true);
    if (f == nullptr) return;
    std::fclose(f);
    // A deletion that took the link meanwhile may have found its directory not empty for the
    // record: the record goes, and the directory with it.
    char link[kPathCap];
    if (manifest_rev_path(link, repo, hex) == 0 && qv::os::is_missing(link)) {
        qv::os::remove_file(path);
        qv::os::remove_dir(dir);
    }
}
