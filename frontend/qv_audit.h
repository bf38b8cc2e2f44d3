/* Access log: one line per request, appended when the process exits. */
#ifndef QV_AUDIT_H
#define QV_AUDIT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void qv_audit_note_status(int status);
void qv_audit_note_bytes(int64_t bytes);
void qv_audit_note_actor(const char *user);
void qv_audit_flush(void);
const char *qv_audit_log_path(void);
int64_t qv_audit_cap_bytes(void);
int qv_audit_enabled(void);
int64_t qv_audit_log_bytes(void);

#ifdef __cplusplus
}
#endif

#endif /* QV_AUDIT_H */
