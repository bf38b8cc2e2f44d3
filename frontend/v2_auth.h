/* HTTP Basic authentication gate for /v2 requests. */
#ifndef V2_AUTH_H
#define V2_AUTH_H

#ifdef __cplusplus
extern "C" {
#endif

int registry_auth_path_guarded(const char *path);
int registry_auth_enabled(void);
int registry_auth_check(void);

#ifdef __cplusplus
}
#endif

#endif /* V2_AUTH_H */
