/* Uses a few calls of every installed header, from C. */
#include <stdio.h>
#include <string.h>

#include "digest/sha256.h"
#include "frontend/oci_common.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "storage/reg_storage.h"

int main(void) {
    char buf[16];
    uint8_t d[32];
    sha256_ctx ctx;
    qv_strlcpy(buf, "consumer", sizeof buf);
    sha256_init(&ctx);
    sha256_update(&ctx, "abc", 3);
    sha256_final(&ctx, d);
    if (reg_storage_init("") == 0) return 1;
    printf("%s %02x%02x %s\n", buf, d[0], d[1], reg_storage_last_error());
    return 0;
}
