// The content-addressed blob store: each blob is one file named by the SHA-256 of its bytes,
// below a fan-out directory named by the hash's first two digits.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg {
namespace {

constexpr size_t kDigestPrefixLen = 7;  // "sha256:"

// Checks every operation on a stored blob makes once the pointers are known, then builds the
// blob's path.
int check_and_locate(const char *digest, char *path) {
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    if (!digest_valid(digest)) {
        set_error("invalid digest");
        return -1;
    }
    return blob_path_for_digest(path, digest);
}

// The same, for the operations whose only pointer is the digest.
int locate_digest(const char *digest, char *path) {
    if (digest == nullptr) {
        set_error("digest is NULL");
        return -1;
    }
    return check_and_locate(digest, path);
}

// A stored blob is a file; a directory in its place is none.
int require_blob_file(const char *path, const char *digest, bool for_use) {
    if (for_use ? blob_present_for_use(path) : blob_present(path)) return 0;
    set_error("blob not found: %s", digest);
    return -1;
}

}  // namespace

bool pending_path(char *out, const char *blob_path) {
    const int n = std::snprintf(out, kPathCap, "%s%s", blob_path, kPendingSuffix);
    return n >= 0 && static_cast<size_t>(n) < kPathCap;
}

std::string_view pending_stem(std::string_view name) {
    const std::string_view suffix = kPendingSuffix;
    if (name.size() < 64 + suffix.size() || name.substr(64, suffix.size()) != suffix) return {};
    // Nothing more, or a collection's own claim: ".<pid>", or ".<pid>-<8 hex digits>" (its
    // process tag, unique across hosts sharing the store).
    std::string_view rest = name.substr(64 + suffix.size());
    if (!rest.empty()) {
        if (rest.size() < 2 || rest[0] != '.') return {};
        rest.remove_prefix(1);
        const size_t dash = rest.find('-');
        const std::string_view pid = rest.substr(0, dash);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string_view::npos) return {};
        if (dash != std::string_view::npos) {
            const std::string_view noise = rest.substr(dash + 1);
            if (noise.size() != 8 ||
                noise.find_first_not_of("0123456789abcdef") != std::string_view::npos)
                return {};
        }
    }
    const std::string_view stem = name.substr(0, 64);
    return stem.find_first_not_of("0123456789abcdef") == std::string_view::npos
               ? stem
               : std::string_view();
}

bool blob_file_sound(const char *blob_path, qv::os::FileInfo *out) {
    qv::os::FileInfo info{};
    if (!qv::os::file_info(blob_path, &info) || !info.regular) return false;
    if (out != nullptr) *out = info;
    if (info.size != 0) return true;
    // Empty: whole only when the blob is the empty content; otherwise what a crash left of it.
    const std::string_view path(blob_path);
    return path.size() >= 64 && path.substr(path.size() - 64) == kEmptyHex;
}

namespace {

// "<blob>.gc-pending.<pid>": a blob one collection claimed, left there when that run was
// killed; empty when there is none. Looked for only when the blob is missing.
std::string claimed_aside(const char *blob_path) {
    const std::string_view path(blob_path);
    const size_t cut = path.find_last_of(qv::os::kSep);
    if (cut == std::string_view::npos || path.size() - cut - 1 != 64) return {};
    const std::string dir(path.substr(0, cut));
    const std::string_view hex = path.substr(cut + 1);
    qv::os::DirReader reader(dir.c_str());
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        const std::string_view entry(name);
        if (!is_dir && pending_stem(entry) == hex &&
            entry.size() > 64 + std::strlen(kPendingSuffix))
            return dir + qv::os::kSep + name;
    }
    return {};
}

}  // namespace

bool blob_present(const char *blob_path) {
    if (blob_file_sound(blob_path)) return true;
    char pending[kPathCap];
    if (!pending_path(pending, blob_path)) return false;
    if (!qv::os::is_file(pending)) {
        // A killed collection may have claimed it under its own name: that goes back too.
        const std::string claimed = claimed_aside(blob_path);
        if (claimed.empty() || !qv::os::rename_path(claimed.c_str(), blob_path)) return false;
        return blob_file_sound(blob_path);
    }
    // Whoever wins (this, another lookup, or the collector's own decision) leaves either the
    // blob file or nothing; a failed rename here only means someone else got there first. A
    // damaged file in the blob's place is no blob, and the copy set aside replaces it.
    qv::os::rename_path(pending, blob_path);
    return blob_file_sound(blob_path);
}

bool blob_present_for_use(const char *blob_path) {
    qv::os::FileInfo info{};
    if (!blob_file_sound(blob_path, &info) &&
        !(blob_present(blob_path) && blob_file_sound(blob_path, &info)))
        return false;
    if (qv::os::unix_now() - info.mtime_unix < kBlobLookRefreshSeconds) return true;
    // A collection may have renamed it aside since the look: then it goes back, dated now.
    return qv::os::touch_now(blob_path) == 0 ||
           (blob_present(blob_path) && qv::os::touch_now(blob_path) == 0);
}

bool blob_touch(const char *digest) {
    char path[kPathCap];
    if (!digest_valid(digest) || blob_path_for_digest(path, digest) != 0) return false;
    if (qv::os::touch_now(path) == 0 && blob_file_sound(path)) return true;
    return blob_present(path) && qv::os::touch_now(path) == 0;
}

}  // namespace reg

using namespace reg;

extern "C" int reg_blob_exists(const char *digest) {
    char path[kPathCap];
    if (locate_digest(digest, path) != 0) return -1;
    return blob_present_for_use(path) ? 1 : 0;
}

extern "C" int64_t reg_blob_get_size(const char *digest) {
    char path[kPathCap];
    if (locate_digest(digest, path) != 0) return -1;
    // A directory in the blob's place is no blob; its size would be the directory's.
    qv::os::FileInfo info{};
    if (!blob_present_for_use(path) || !qv::os::file_info(path, &info)) return -1;
    return info.size;
}

extern "C" int reg_blob_get_filepath(const char *digest, char *out, size_t out_size) {
    if (out == nullptr || out_size == 0 || digest == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    char path[kPathCap];
    if (check_and_locate(digest, path) != 0 || require_blob_file(path, digest, true) != 0)
        return -1;
    const size_t len = std::strlen(path);
    if (len >= out_size) {
        set_error("path buffer too small");
        return -1;
    }
    std::memcpy(out, path, len + 1);
    return 0;
}

extern "C" int reg_blob_delete(const char *digest) {
    char path[kPathCap];
    if (locate_digest(digest, path) != 0 || require_blob_file(path, digest, false) != 0) return -1;
    // Another process may have removed it meanwhile; that is as good as removing it here.
    if (qv::os::is_file(path) && !qv::os::remove_file(path)) {
        set_error("remove failed");
        return -1;
    }
    // Only succeeds once the fan-out directory holds no other blob.
    const char *hex = digest + kDigestPrefixLen;
    char fan_out[kPathCap];
    std::snprintf(fan_out, sizeof fan_out, "%s%sblobs%ssha256%s%c%c", s_root, qv::os::kSepStr,
                  qv::os::kSepStr, qv::os::kSepStr, hex[0], hex[1]);
    qv::os::remove_dir(fan_out);
    return change_durable(path) ? 0 : -1;
}
