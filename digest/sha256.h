/* SHA-256 message digest over buffers and files. */
#ifndef SHA256_H
#define SHA256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sha256_ctx {
    uint32_t state[8];
    uint64_t bit_count;
    uint8_t block[64];
    uint64_t block_len;
} sha256_ctx;

void sha256_init(sha256_ctx *ctx);
void sha256_update(sha256_ctx *ctx, const void *data, size_t len);
void sha256_final(sha256_ctx *ctx, uint8_t out[32]);
int sha256_file(const char *path, uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif /* SHA256_H */
