// Engine state, initialisation of the storage tree, the last-error text and the path builders.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "digest/sha256.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg {

char s_root[kRootCap];
int s_ready;
char s_error[kErrorCap];
char s_result[kResultCap];
uint32_t s_seed;
namespace {
int64_t s_clock_margin = 0;
}

int64_t clock_margin() {
    return s_clock_margin;
}
const char hx[17] = "0123456789abcdef";

namespace {

constexpr uint32_t kSeedFallback = 0x9e3779b9u;

// Written once into a fresh root so that tools can tell a storage tree from any directory.
constexpr std::string_view kMarker =
    "{\n"
    "  \"schemaVersion\": 2,\n"
    "  \"title\": \"quarvine-registry-storage\",\n"
    "  \"version\": \"1.9.0\",\n"
    "  \"maxUploadSize\": -1\n"
    "}\n";
static_assert(kMarker.size() == 110);

// Appends the components to s_root one at a time. A path that does not fit is refused, not
// cut: the cut text would name another file.
int build_from_root(char *out, std::initializer_list<const char *> parts) {
    for (const char *p : parts) {
        if (p == nullptr) {
            set_error("NULL argument");
            return -1;
        }
    }
    if (std::strlen(s_root) >= kPathCap) {
        set_error("%s", kPathTooLong);
        return -1;
    }
    std::strcpy(out, s_root);
    for (const char *p : parts) {
        char next[kPathCap];
        if (!join_path(next, out, p)) {
            set_error("%s", kPathTooLong);
            return -1;
        }
        std::memcpy(out, next, std::strlen(next) + 1);
    }
    return 0;
}

int make_tree_dir(const char *sub) {
    char path[kPathCap];
    const char *target = s_root;
    if (sub != nullptr) {
        join_path(path, s_root, sub);  // root <= 3499 chars: the fixed names always fit
        target = path;
    }
    if (mkdirs(target) != 0) {
        set_error("mkdirs failed: %s", target);
        return -1;
    }
    return 0;
}

int write_marker() {
    char path[kPathCap];
    join_path(path, s_root, "config.json");
    // An existing file is the operator's: never rewritten.
    // A pipe there would stall the write; it is left as it is, like a file.
    const qv::os::PathKind kind = qv::os::path_kind(path);
    if (kind == qv::os::PathKind::file || kind == qv::os::PathKind::other) return 0;
    if (write_file_durable(path, kMarker.data(), kMarker.size()) != 0) {
        set_error("write config.json failed");
        return -1;
    }
    return 0;
}

}  // namespace

uint32_t seed_from(uint32_t t, uint32_t a) {
    const uint32_t seed = t ^ a;
    return seed != 0 ? seed : kSeedFallback;
}

void set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(s_error, sizeof s_error, fmt, ap);
    va_end(ap);
}

void clear_error() {
    s_error[0] = '\0';
}

void bin_to_hex(const uint8_t in[32], char out[65]) {
    for (int i = 0; i < 32; ++i) {
        out[2 * i] = hx[in[i] >> 4];
        out[2 * i + 1] = hx[in[i] & 0x0f];
    }
    out[64] = '\0';
}

void hex_of_bytes(const void *data, size_t len, char out[65]) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    uint8_t hash[32];
    sha256_final(&ctx, hash);
    bin_to_hex(hash, out);
}

bool bytes_have_hex(const void *data, size_t len, const char *hex) {
    char computed[65];
    hex_of_bytes(data, len, computed);
    return std::strncmp(computed, hex, sizeof computed) == 0;
}

bool join_path(char *out, const char *a, const char *b) {
    const int n = std::snprintf(out, kPathCap, "%s%s%s", a, qv::os::kSepStr, b);
    return n >= 0 && static_cast<size_t>(n) < kPathCap;
}

int manifest_tags_dir(char *out, const char *repo) {
    return build_from_root(out, {"repositories", repo, "_manifests", "tags"});
}

int manifest_tag_path(char *out, const char *repo, const char *tag) {
    return build_from_root(out,
                           {"repositories", repo, "_manifests", "tags", tag, "current", "link"});
}

int manifest_rev_dir(char *out, const char *repo, const char *hex) {
    return build_from_root(out, {"repositories", repo, "_manifests", "revisions", "sha256", hex});
}

int manifest_rev_path(char *out, const char *repo, const char *hex) {
    return build_from_root(
        out, {"repositories", repo, "_manifests", "revisions", "sha256", hex, "link"});
}

int manifest_body_path(char *out, const char *repo, const char *file_name) {
    return build_from_root(out, {"repositories", repo, "_manifests", file_name});
}

int upload_path_for_uuid(char *out, const char *upload_id) {
    if (upload_id == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    char file_name[128];
    const int n = std::snprintf(file_name, sizeof file_name, "%s.part", upload_id);
    if (n < 0 || static_cast<size_t>(n) >= sizeof file_name) {
        set_error("%s", kPathTooLong);
        return -1;
    }
    return build_from_root(out, {"uploads", file_name});
}

int blob_path_for_digest(char *out, const char *digest) {
    if (digest == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    // The prefix is skipped unread, but it must be there: a shorter text has no fan-out
    // digits, and skipping would read past its end.
    if (std::strlen(digest) < 9) {
        set_error("invalid digest");
        return -1;
    }
    const char *hex = digest + 7;
    const char fan_out[3] = {hex[0], hex[1], '\0'};
    return build_from_root(out, {"blobs", "sha256", fan_out, hex});
}

}  // namespace reg

using namespace reg;

extern "C" int reg_storage_init(const char *root) {
    if (root == nullptr || root[0] == '\0') {
        set_error("storage root dir is empty");
        return -1;
    }
    // From here every failure leaves the engine uninitialised, even if it was ready.
    s_ready = 0;
    s_root[0] = '\0';
    const size_t len = std::strlen(root);
    if (len >= kRootCap) {
        set_error("storage root dir too long (max 3499 chars)");
        return -1;
    }
    // On this host "\\" is a file-name character, so a trailing one is part of the name and
    // stays; a trailing "/" stays too (the doubled separator is harmless).
    std::memcpy(s_root, root, len + 1);

    // The root itself is the operator's to place (it may be a link); nothing below it may
    // lead out of it.
    qv::os::confine_beneath(nullptr);
    if (make_tree_dir(nullptr) != 0) return -1;
    if (!qv::os::confine_beneath(s_root)) {
        char first[kPathCap];
        join_path(first, s_root, "blobs/sha256");  // the first directory that cannot be made
        set_error("mkdirs failed: %s", first);
        return -1;
    }
    for (const char *sub : {"blobs/sha256", "repositories", "uploads"}) {
        if (make_tree_dir(sub) != 0) return -1;
    }
    if (write_marker() != 0) return -1;

    const auto t = static_cast<uint32_t>(qv::os::unix_now());
    const auto a = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&s_seed));
    s_seed = seed_from(t, a);

    s_ready = 1;
    clear_error();
    return 0;
}

extern "C" int reg_storage_health(void) {
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    // A file written and removed again under a name no walk takes for anything of the store.
    char base[kPathCap];
    char probe[kPathCap];
    const bool named = join_path(base, s_root, "health") && temporary_path(probe, base);
    const bool written = named && write_file(probe, "ok", 2) == 0;
    if (named) qv::os::remove_file(probe);
    if (!written) {
        set_error("storage root cannot be written: %s", s_root);
        return -1;
    }
    clear_error();
    return 0;
}

extern "C" void reg_set_clock_margin(int64_t seconds) {
    // A day is far beyond any clock that keeps time at all; more would only overflow sums.
    s_clock_margin = seconds < 0 ? 0 : seconds > 86400 ? 86400 : seconds;
}

extern "C" void reg_storage_cleanup(void) {
    qv::os::confine_beneath(nullptr);
    s_root[0] = '\0';
    s_ready = 0;
}

extern "C" const char *reg_storage_last_error(void) {
    return s_error;
}
