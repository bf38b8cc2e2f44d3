/* Registry responses, settings, storage start-up, upload quota and repository paths. */
#ifndef OCI_COMMON_H
#define OCI_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "qv_cgi.h"

#ifdef __cplusplus
extern "C" {
#endif

QV_NORETURN void oci_send_error(int status, const char *code, const char *message);
void oci_send_json(int status, const char *body);

int64_t oci_config_int(const char *key_pattern);
int64_t oci_retention_keep_n(void);
int64_t oci_retention_days(void);
/* registry_retention_untagged_days: the retention pass's untagged rule (0, the default: off). */
int64_t oci_retention_untagged_days(void);
int oci_retention_protect_latest(void);
int64_t oci_quota_bytes(void);
int oci_init_storage(void);

int oci_fmt_bytes(int64_t n, char *out /* at least 32 bytes */);
int64_t oci_quota_used_bytes(void);
int oci_quota_check(const char *upload_id, char *msg, size_t msg_size);
int oci_valid_repo_name(const char *name);
int oci_parse_repo_marker(const char *path, const char *marker, char *repo, size_t repo_size,
                          char *rest, size_t rest_size);

#ifdef __cplusplus
}
#endif

#endif /* OCI_COMMON_H */
