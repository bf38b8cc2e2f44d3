// Proofs of recent sign-ins: a password hash of the slow kind is verified once, and for the
// next minutes a file named by a keyed hash of what was verified stands for that verification.
// The name reveals nothing of the password without the key, a 0600 file of random bytes in
// the store; what the caller hashes includes the user's line, so a changed line has no proof.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "digest/sha256.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg {

namespace {

constexpr int64_t kProofSeconds = 300;
constexpr size_t kKeyLen = 32;

bool auth_path(char *out, const char *name) {
    char dir[kPathCap];
    return join_path(dir, s_root, "auth") &&
           (name == nullptr ? join_path(out, dir, "") : join_path(out, dir, name));
}

// The key file's bytes into key; a file of another length is no key.
bool load_key(const char *path, unsigned char key[kKeyLen]) {
    char buf[kKeyLen + 2];  // one more to tell a longer file, and read_file's NUL
    uint64_t n = 0;
    if (read_file(path, buf, sizeof buf, &n) != 0 || n != kKeyLen) return false;
    std::memcpy(key, buf, kKeyLen);
    std::memset(buf, 0, sizeof buf);
    return true;
}

// The key, made once (0600, from the system's random source) and read after.
bool read_key(unsigned char key[kKeyLen]) {
    char path[kPathCap];
    char dir[kPathCap];
    if (!auth_path(path, "key") || !auth_path(dir, "proofs")) return false;
    if (load_key(path, key)) return true;
    unsigned char fresh[kKeyLen];
    if (mkdirs(dir) != 0 || !qv::os::random_bytes(fresh, sizeof fresh)) return false;
    char temporary[kPathCap];
    if (!temporary_path(temporary, path)) return false;
    std::FILE *f = qv::os::open_write(temporary, true, 0600);
    if (f == nullptr) return false;
    const bool written =
        std::fwrite(fresh, 1, sizeof fresh, f) == sizeof fresh && qv::os::durable_contents(f);
    std::fclose(f);
    // The first to place a key wins; the others read it.
    if (written) qv::os::rename_new(temporary, path);
    qv::os::remove_file(temporary);
    return load_key(path, key);
}

void hmac(const unsigned char key[kKeyLen], const void *data, size_t len, unsigned char out[32]) {
    unsigned char pad[64];
    sha256_ctx ctx;
    std::memset(pad, 0x36, sizeof pad);
    for (size_t i = 0; i < kKeyLen; ++i)
        pad[i] ^= key[i];
    sha256_init(&ctx);
    sha256_update(&ctx, pad, sizeof pad);
    sha256_update(&ctx, data, len);
    unsigned char inner[32];
    sha256_final(&ctx, inner);
    std::memset(pad, 0x5c, sizeof pad);
    for (size_t i = 0; i < kKeyLen; ++i)
        pad[i] ^= key[i];
    sha256_init(&ctx);
    sha256_update(&ctx, pad, sizeof pad);
    sha256_update(&ctx, inner, sizeof inner);
    sha256_final(&ctx, out);
    std::memset(pad, 0, sizeof pad);
}

// Proofs past their minutes, removed when a new one is kept.
void remove_old_proofs(const char *dir, int64_t now) {
    qv::os::DirReader reader(dir);
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.ok() && reader.next(&name, &is_dir)) {
        char path[kPathCap];
        qv::os::FileInfo info{};
        if (!is_dir && hex64_valid(name) && join_path(path, dir, name) &&
            qv::os::file_info(path, &info) && now - info.mtime_unix >= 2 * kProofSeconds)
            qv::os::remove_file(path);
    }
}

}  // namespace

}  // namespace reg

using namespace reg;

extern "C" int reg_auth_proof(const void *material, size_t len, int keep) {
    if (!s_ready || material == nullptr) return 0;
    unsigned char key[kKeyLen];
    if (!read_key(key)) return 0;
    unsigned char mac[32];
    hmac(key, material, len, mac);
    std::memset(key, 0, sizeof key);
    char hex[65];
    bin_to_hex(mac, hex);
    char dir[kPathCap];
    char path[kPathCap];
    if (!auth_path(dir, "proofs") || !join_path(path, dir, hex)) return 0;
    const int64_t now = qv::os::unix_now();
    if (!keep) {
        qv::os::FileInfo info{};
        return qv::os::file_info(path, &info) && info.mtime_unix <= now &&
                       now - info.mtime_unix < kProofSeconds
                   ? 1
                   : 0;
    }
    remove_old_proofs(dir, now);
    std::FILE *f = qv::os::open_write(path, false, 0600);
    if (f == nullptr) return 0;
    std::fclose(f);
    return 1;
}
