// Chunked blob uploads: an upload is one file under uploads/, grown by appends and moved into
// the content-addressed store once its bytes hash to the digest the client expects.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "digest/sha256.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "storage/storage_internal.h"

namespace reg {

void (*finish_hashed_hook)(const char *path) = nullptr;
void (*append_found_hook)() = nullptr;

namespace {

constexpr size_t kUploadIdLen = 36;
constexpr size_t kDigestOutCap = 72;  // "sha256:" + 64 digits + NUL
// Fresh ids drawn before giving up when every one names an upload that is already there.
constexpr int kCreateAttempts = 8;
constexpr char kUploadSuffix[] = ".part";

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool upload_id_valid(const char *id) {
    return std::strlen(id) == kUploadIdLen && uuid_valid(id);
}

// 128 bits from the system's random source, written as 8-4-4-4-12 hex digits with every
// byte's low nibble first. Never from a generator seeded by the clock: processes started in
// the same second, on one host or several, would draw the same ids. False when the source
// fails.
bool next_upload_id(char out[kUploadIdLen + 1]) {
    uint8_t bytes[16];
    if (!qv::os::random_bytes(bytes, sizeof bytes)) return false;
    int digit = 0;
    for (size_t i = 0; i < kUploadIdLen; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            out[i] = '-';
            continue;
        }
        const uint8_t b = bytes[digit / 2];
        out[i] = hx[digit % 2 == 0 ? (b & 0x0f) : (b >> 4)];
        ++digit;
    }
    out[kUploadIdLen] = '\0';
    return true;
}

// Checks shared by every operation on an existing upload, after the pointer checks.
int check_upload_id(const char *id) {
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    if (!upload_id_valid(id)) {
        set_error("invalid upload uuid");
        return -1;
    }
    return 0;
}

void remove_if_file(const char *path) {
    if (qv::os::is_file(path)) qv::os::remove_file(path);
}

// The store's fan-out directory of a hex: the root and the first two digits.
void fan_out_dir(char *out, const char *hex) {
    std::snprintf(out, kPathCap, "%s%sblobs%ssha256%s%c%c", s_root, qv::os::kSepStr,
                  qv::os::kSepStr, qv::os::kSepStr, hex[0], hex[1]);
}

// "<upload less .part>.<what>-<process tag>.part": private names of an upload being
// finished. Appends to the id fail once it is moved aside; the names still end in ".part", so
// a collection counts them as uploads in progress throughout.
bool private_upload_path(char *out, const char *upload, const char *what) {
    const size_t stem = std::strlen(upload) - (sizeof kUploadSuffix - 1);
    const int n = std::snprintf(out, kPathCap, "%.*s.%s-%s%s", static_cast<int>(stem), upload, what,
                                process_tag(), kUploadSuffix);
    return n > 0 && static_cast<size_t>(n) < kPathCap;
}

// Copies from into a new file to, hashing exactly what it copies. Only this process has to
// open: an append that opened the upload before it was moved aside can still write into it,
// but never into what is stored.
bool copy_hashing(const char *from, const char *to, char computed[kDigestOutCap]) {
    FilePtr in(qv::os::open_read_regular(from));
    if (!in) return false;
    FilePtr out(qv::os::open_write(to, true));
    if (!out) return false;
    sha256_ctx ctx;
    sha256_init(&ctx);
    static unsigned char buf[65536];
    size_t got = 0;
    while ((got = std::fread(buf, 1, sizeof buf, in.get())) > 0) {
        sha256_update(&ctx, buf, got);
        if (std::fwrite(buf, 1, got, out.get()) != got) return false;
    }
    if (std::ferror(in.get()) != 0 || std::fclose(out.release()) != 0) return false;
    uint8_t hash[32];
    sha256_final(&ctx, hash);
    char hex[65];
    bin_to_hex(hash, hex);
    std::snprintf(computed, kDigestOutCap, "sha256:%s", hex);
    return true;
}

// "sha256:<hex>" of a file's bytes; false when it cannot be read.
bool hash_of_file(const char *path, char computed[kDigestOutCap]) {
    uint8_t hash[32];
    if (sha256_file(path, hash) != 0) return false;
    char hex[65];
    bin_to_hex(hash, hex);
    std::snprintf(computed, kDigestOutCap, "sha256:%s", hex);
    return true;
}

// Whether the stored blob file holds the bytes of the verified file beside it: the same size
// and the same hash. Only a stored file that a crash or a disk damaged fails this.
bool stored_holds(const char *blob, const char *verified, const char *digest) {
    qv::os::FileInfo stored{}, expected{};
    char computed[kDigestOutCap];
    return qv::os::file_info(blob, &stored) && qv::os::file_info(verified, &expected) &&
           stored.size == expected.size && hash_of_file(blob, computed) &&
           std::strcmp(computed, digest) == 0;
}

// The copy's bytes on stable storage: only one about to be published under its digest is
// worth the flush.
bool flush_copy(const char *copy) {
    const FilePtr file(qv::os::open_read_regular(copy));
    return file && qv::os::durable_contents(file.get());
}

// Publishes the copy under the blob's name, replacing what is there, and makes it durable.
int replace_blob(const char *copy, const char *blob, const char *computed_digest) {
    if (flush_copy(copy) && qv::os::rename_path(copy, blob) && qv::os::durable_entry(blob) &&
        blob_touch(computed_digest))
        return 0;
    remove_if_file(copy);
    set_error("rename to CAS failed: %s", blob);
    return -1;
}

// Moves the verified copy into the store, or drops it when the store already holds the blob
// whole. A stored file that does not hold those bytes (a crash or a disk damaged it) is
// replaced by the copy in one rename. Either way the stored blob is dated now: a collection
// running meanwhile must spare it, and the client counts on it from here.
int store_upload(const char *copy, const char *computed_digest) {
    char blob[kPathCap];
    if (blob_path_for_digest(blob, computed_digest) != 0) return -1;
    const char *hex = computed_digest + 7;
    if (blob_touch(computed_digest)) {
        if (stored_holds(blob, copy, computed_digest)) {
            remove_if_file(copy);
            return 0;
        }
        return replace_blob(copy, blob, computed_digest);
    }
    char fan_out[kPathCap];
    fan_out_dir(fan_out, hex);
    if (!flush_copy(copy)) {
        remove_if_file(copy);
        set_error("rename to CAS failed: %s", blob);
        return -1;
    }
    // A collection removes a fan-out directory it has emptied: one made here may be gone by
    // the time the copy moves in, and is then made again.
    bool moved = false;
    for (int attempt = 0; attempt < kCreateAttempts && !moved; ++attempt) {
        if (mkdirs(fan_out) != 0) {
            set_error("mkdirs blob dir failed");
            return -1;
        }
        // Something unusable in the blob's place (a link, a pipe) is what this upload mends.
        if (qv::os::path_kind(blob) == qv::os::PathKind::other) qv::os::remove_file(blob);
        moved = qv::os::rename_new(copy, blob);
        if (!moved && errno != ENOENT) break;
    }
    if (moved) {
        if (qv::os::durable_entry(blob) && blob_touch(computed_digest)) return 0;
        set_error("rename to CAS failed: %s", blob);
        return -1;
    }
    // Something is there: stored meanwhile by another upload, or a damaged file that no
    // lookup counts as the blob. The copy replaces it unless it holds the bytes already.
    if (qv::os::is_file(blob)) {
        if (blob_touch(computed_digest) && stored_holds(blob, copy, computed_digest)) {
            remove_if_file(copy);
            return 0;
        }
        return replace_blob(copy, blob, computed_digest);
    }
    remove_if_file(copy);
    set_error("rename to CAS failed: %s", blob);
    return -1;
}

// Copies and hashes the upload moved aside to `finishing`, and stores the copy. On a failure
// that keeps the upload, it goes back under its own name so that the client may retry.
int finish_moved(const char *upload, const char *finishing, const char *expected_digest) {
    char copy[kPathCap];
    char computed[kDigestOutCap];
    // Already stored whole: nothing of this upload is stored, so its bytes are only checked
    // where they lie, and nothing is copied or written.
    char blob[kPathCap];
    if (blob_path_for_digest(blob, expected_digest) == 0 && blob_touch(expected_digest) &&
        hash_of_file(finishing, computed)) {
        if (finish_hashed_hook != nullptr) finish_hashed_hook(finishing);
        if (std::strcmp(computed, expected_digest) != 0) {
            set_error("digest mismatch: expected %s, got %s", expected_digest, computed);
            remove_if_file(finishing);
            return -1;
        }
        if (stored_holds(blob, finishing, expected_digest)) {
            remove_if_file(finishing);
            return 0;
        }
    }
    if (!private_upload_path(copy, upload, "storing") || !copy_hashing(finishing, copy, computed)) {
        remove_if_file(copy);
        qv::os::rename_path(finishing, upload);
        set_error("hashing upload failed");
        return -1;
    }
    if (finish_hashed_hook != nullptr) finish_hashed_hook(copy);
    if (std::strcmp(computed, expected_digest) != 0) {
        set_error("digest mismatch: expected %s, got %s", expected_digest, computed);
        remove_if_file(copy);
        remove_if_file(finishing);
        return -1;
    }
    if (store_upload(copy, computed) != 0) {
        remove_if_file(copy);
        qv::os::rename_path(finishing, upload);
        return -1;
    }
    remove_if_file(finishing);
    return 0;
}

}  // namespace
}  // namespace reg

using namespace reg;

extern "C" int reg_blob_start_upload(char *out_upload_uuid) {
    if (out_upload_uuid == nullptr) {
        set_error("out_upload_uuid is NULL");
        return -1;
    }
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    // The id names a new upload. An id whose file exists belongs to an upload in flight, so it
    // is never emptied: another id is drawn.
    char path[kPathCap];
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (!next_upload_id(out_upload_uuid)) {
            set_error("no random upload id: the system's random source failed");
            return -1;
        }
        if (upload_path_for_uuid(path, out_upload_uuid) != 0) return -1;
        FilePtr file(qv::os::open_write(path, true));
        if (file) return 0;
        if (qv::os::path_kind(path) == qv::os::PathKind::missing) break;
    }
    set_error("cannot create upload file: %s", path);
    return -1;
}

extern "C" int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len) {
    if (upload_uuid == nullptr || data == nullptr) {
        set_error("upload_uuid/data is NULL");
        return -1;
    }
    if (check_upload_id(upload_uuid) != 0) return -1;
    char path[kPathCap];
    if (upload_path_for_uuid(path, upload_uuid) != 0) return -1;
    if (!qv::os::is_non_directory(path)) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }
    if (append_found_hook != nullptr) append_found_hook();
    // Never created here: an upload finished or cancelled since the check above stays gone,
    // and is reported as gone.
    std::FILE *file = qv::os::open_append(path, false);
    if (file == nullptr) {
        set_error(errno == ENOENT ? "upload not found: %s" : "cannot open upload file: %s",
                  upload_uuid);
        return -1;
    }
    const size_t written = len > 0 ? std::fwrite(data, 1, len, file) : 0;
    const bool stream_failed = std::ferror(file) != 0;
    // Buffered bytes reach the file only at close; a failing close lost them.
    const bool close_failed = std::fclose(file) != 0;
    if (stream_failed || close_failed || written != len) {
        set_error("write error appending chunk");
        return -1;
    }
    return 0;
}

namespace reg {
int finish_upload(const char *upload_uuid, const char *expected_digest, char *out_digest);
void forget_upload_owner(const char *upload_uuid);
}  // namespace reg

// An upload finished (or discarded by a mismatch) has no owner left.
extern "C" int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                                      char *out_digest) {
    const int rc = finish_upload(upload_uuid, expected_digest, out_digest);
    char path[kPathCap];
    if (s_ready && upload_uuid != nullptr && upload_id_valid(upload_uuid) &&
        upload_path_for_uuid(path, upload_uuid) == 0 && qv::os::is_missing(path))
        forget_upload_owner(upload_uuid);
    return rc;
}

int reg::finish_upload(const char *upload_uuid, const char *expected_digest, char *out_digest) {
    if (expected_digest == nullptr || out_digest == nullptr || upload_uuid == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    if (check_upload_id(upload_uuid) != 0) return -1;
    if (!digest_valid(expected_digest)) {
        set_error("invalid expected digest");
        return -1;
    }
    char upload[kPathCap];
    if (upload_path_for_uuid(upload, upload_uuid) != 0) return -1;
    if (!qv::os::is_file(upload)) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }

    char finishing[kPathCap];
    if (!private_upload_path(finishing, upload, "finishing")) {
        set_error("%s", kPathTooLong);
        return -1;
    }
    // Dated now before it moves: through the whole finish it is an upload in progress, never a
    // stale one, so no collection can start in between and sweep the new blob.
    qv::os::touch_now(upload);
    if (!qv::os::rename_path(upload, finishing)) {
        set_error("upload not found: %s", upload_uuid);  // finished or cancelled meanwhile
        return -1;
    }
    if (finish_moved(upload, finishing, expected_digest) != 0) return -1;
    std::snprintf(out_digest, kDigestOutCap, "%s", expected_digest);
    return 0;
}

extern "C" int reg_blob_cancel_upload(const char *upload_uuid) {
    if (upload_uuid == nullptr) {
        set_error("upload_uuid is NULL");
        return -1;
    }
    if (check_upload_id(upload_uuid) != 0) return -1;
    char path[kPathCap];
    if (upload_path_for_uuid(path, upload_uuid) != 0) return -1;
    if (!qv::os::is_non_directory(path)) return 0;  // nothing to cancel
    if (!qv::os::remove_file(path)) {
        set_error("cancel failed");
        return -1;
    }
    forget_upload_owner(upload_uuid);
    return 0;
}

extern "C" int reg_blob_upload_size(const char *upload_uuid, int64_t *out_bytes) {
    if (upload_uuid == nullptr || out_bytes == nullptr) {
        set_error("upload_uuid/out_bytes is NULL");
        return -1;
    }
    if (check_upload_id(upload_uuid) != 0) return -1;
    char path[kPathCap];
    if (upload_path_for_uuid(path, upload_uuid) != 0) return -1;
    qv::os::FileInfo info{};
    // A directory in the upload's place is no upload (its size would be the directory's).
    if (!qv::os::is_file(path) || !qv::os::file_info(path, &info) || info.size < 0) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }
    *out_bytes = info.size;
    return 0;
}

namespace reg {
namespace {

// An upload's owner record: uploads/owners/<id>, out of the way of everything that counts or
// sweeps upload files.
bool owner_path(char *out, const char *upload_uuid) {
    char dir[kPathCap];
    return join_path(dir, s_root, "uploads/owners") && join_path(out, dir, upload_uuid);
}

}  // namespace
}  // namespace reg

extern "C" int reg_upload_set_owner(const char *upload_uuid, const char *owner) {
    if (upload_uuid == nullptr || owner == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    if (check_upload_id(upload_uuid) != 0) return -1;
    char path[kPathCap];
    char dir[kPathCap];
    if (!owner_path(path, upload_uuid) || !join_path(dir, s_root, "uploads/owners") ||
        mkdirs(dir) != 0) {
        set_error("cannot record the upload's owner");
        return -1;
    }
    // Written whole before the upload's id is handed out: a crash leaves the record or none
    // (and then the id was never handed out).
    if (write_file_durable(path, owner, std::strlen(owner)) != 0) {
        set_error("cannot record the upload's owner: %s", path);
        return -1;
    }
    return 0;
}

extern "C" int reg_upload_owner(const char *upload_uuid, char *out, size_t out_size) {
    if (upload_uuid == nullptr || out == nullptr || out_size == 0) {
        set_error("NULL argument");
        return -1;
    }
    if (check_upload_id(upload_uuid) != 0) return -1;
    char path[kPathCap];
    if (!owner_path(path, upload_uuid)) return -1;
    uint64_t n = 0;
    if (read_file(path, out, out_size, &n) != 0) {
        out[0] = '\0';
        return errno == ENOENT ? 1 : -1;
    }
    return 0;
}

namespace reg {

void forget_upload_owner(const char *upload_uuid) {
    char path[kPathCap];
    if (owner_path(path, upload_uuid)) qv::os::remove_file(path);
}

}  // namespace reg
