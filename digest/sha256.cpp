// SHA-256 (FIPS 180-4) over buffers and files. Whole blocks go straight from the caller's
// buffer to the compression back end; only a partial block is kept in the context.
#include "digest/sha256.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "digest/sha256_backend.h"
#include "platform/os.h"

namespace qv::sha256 {

namespace {

// Chosen on first use; atomic so that a late select_backend() never races a hashing thread.
std::atomic<CompressFn> s_compress{nullptr};

CompressFn resolve(Backend choice) {
    if (choice == Backend::portable) return compress_portable;
    if (choice == Backend::shani) return shani_supported() ? compress_shani : nullptr;
    return shani_supported() ? compress_shani : compress_portable;
}

}  // namespace

bool select_backend(Backend choice) {
    CompressFn fn = resolve(choice);
    if (fn == nullptr) return false;
    s_compress.store(fn, std::memory_order_relaxed);
    return true;
}

CompressFn active_compress() {
    CompressFn fn = s_compress.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = resolve(Backend::automatic);
        s_compress.store(fn, std::memory_order_relaxed);
    }
    return fn;
}

Backend active_backend() {
    return active_compress() == compress_shani ? Backend::shani : Backend::portable;
}

}  // namespace qv::sha256

namespace {

constexpr uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr size_t kBlock = 64;
constexpr size_t kLengthAt = 56;  // where the 8-byte message length starts in the last block
constexpr size_t kFileChunk = 65536;

void store_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void store_be64(uint8_t *p, uint64_t v) {
    store_be32(p, static_cast<uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<uint32_t>(v));
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

extern "C" {

void sha256_init(sha256_ctx *ctx) {
    std::copy(std::begin(kInitialHash), std::end(kInitialHash), ctx->state);
    ctx->bit_count = 0;
    ctx->block_len = 0;
}

void sha256_update(sha256_ctx *ctx, const void *data, size_t len) {
    if (len == 0) return;
    const auto *p = static_cast<const uint8_t *>(data);
    const qv::sha256::CompressFn compress = qv::sha256::active_compress();
    ctx->bit_count += static_cast<uint64_t>(len) * 8u;

    if (ctx->block_len > 0) {
        const size_t take = std::min(len, kBlock - static_cast<size_t>(ctx->block_len));
        std::memcpy(ctx->block + ctx->block_len, p, take);
        ctx->block_len += take;
        p += take;
        len -= take;
        if (ctx->block_len < kBlock) return;
        compress(ctx->state, ctx->block, 1);
        ctx->block_len = 0;
    }
    const size_t whole = len / kBlock;
    if (whole > 0) {
        compress(ctx->state, p, whole);
        p += whole * kBlock;
        len -= whole * kBlock;
    }
    if (len > 0) {
        std::memcpy(ctx->block, p, len);
        ctx->block_len = len;
    }
}

void sha256_final(sha256_ctx *ctx, uint8_t out[32]) {
    const qv::sha256::CompressFn compress = qv::sha256::active_compress();
    const uint64_t message_bits = ctx->bit_count;
    size_t n = static_cast<size_t>(ctx->block_len);
    size_t padded = 0;  // bytes of padding and length absorbed, as a byte-wise feed would count

    ctx->block[n++] = 0x80;
    if (n > kLengthAt) {
        std::memset(ctx->block + n, 0, kBlock - n);
        compress(ctx->state, ctx->block, 1);
        padded += kBlock - ctx->block_len;
        ctx->block_len = 0;
        n = 0;
    }
    std::memset(ctx->block + n, 0, kLengthAt - n);
    store_be64(ctx->block + kLengthAt, message_bits);
    compress(ctx->state, ctx->block, 1);
    padded += kBlock - ctx->block_len;
    ctx->bit_count = message_bits + padded * 8u;
    ctx->block_len = 0;

    for (int i = 0; i < 8; ++i)
        store_be32(out + 4 * i, ctx->state[i]);
}

int sha256_file(const char *path, uint8_t out[32]) {
    if (path == nullptr || out == nullptr) return -1;
    FilePtr file(qv::os::open_read_regular(path));
    if (!file) return -1;
    sha256_ctx ctx;
    sha256_init(&ctx);
    uint8_t chunk[kFileChunk];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        sha256_update(&ctx, chunk, got);
    }
    const bool failed = std::ferror(file.get()) != 0;
    file.reset();
    if (failed) return -1;
    sha256_final(&ctx, out);
    return 0;
}

}  // extern "C"
