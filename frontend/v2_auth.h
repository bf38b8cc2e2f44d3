/* HTTP Basic authentication gate for /v2 requests. */
#ifndef V2_AUTH_H
#define V2_AUTH_H

#ifdef __cplusplus
extern "C" {
#endif

int registry_auth_path_guarded(const char *path);
int registry_auth_enabled(void);
/* Who the request is: the seed's user, a user of the users file, or anonymous. 0 once it has
   answered (401 for credentials that do not sign in, or for no credentials where anonymous
   requests may do nothing; 503 for settings or a users file that cannot be read). */
int registry_auth_check(void);

/* What a route asks of the request, after registry_auth_check: rights (pull 1, push 2,
   delete 4) on a repository, any signed-in user, or an administrator. 1 when granted; else
   answers 401 with the challenge (anonymous) or 403 DENIED naming the action and repository,
   and gives 0. Everything is granted when no sign-in is configured. */
int registry_auth_require(unsigned rights, const char *repo);
int registry_auth_require_user(void);
int registry_auth_require_admin(void);
/* The same questions, without answering. */
int registry_auth_allows(unsigned rights, const char *repo);
int registry_auth_is_admin(void);
/* Whether every repository grants every right (no rights are configured for this request). */
int registry_auth_allows_everything(void);
/* The signed-in user; "" for anonymous requests or without sign-in. */
const char *registry_auth_user(void);

#ifdef __cplusplus
}
#endif

#endif /* V2_AUTH_H */
