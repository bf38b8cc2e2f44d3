/* Every public header must be usable from a C compiler. */
#include "digest/sha256.h"
#include "endpoints/v2_retention.h"
#include "frontend/oci_common.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "frontend/v2_auth.h"
#include "storage/reg_storage.h"

/* Take the address of a few declarations so their types are checked, without linking them. */
typedef int (*init_fn)(const char *);
typedef void (*die_fn)(int, const char *);

int main(void) {
    sha256_ctx ctx;
    init_fn f = 0;
    die_fn d = 0;
    cgi_sink_fn s = 0;
    (void)ctx;
    (void)f;
    (void)d;
    (void)s;
    return sizeof(ctx.block) == 64 ? 0 : 1;
}
