/* Registry storage engine: the storage tree under one root and every operation on it. */
#ifndef REG_STORAGE_H
#define REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int reg_storage_init(const char *root);
void reg_storage_cleanup(void);
const char *reg_storage_last_error(void);
/* 0 when a file can be written below the storage root now; -1 with the last error set. */
int reg_storage_health(void);
/* Seconds by which the clocks of hosts sharing the store may differ (0, the default, for one
   host): every window that compares a file's date, written by one host, with another host's
   clock is widened by it, always toward keeping. Negative values count as 0. */
void reg_set_clock_margin(int64_t seconds);

const char *reg_manifest_get(const char *repo, const char *reference,
                             char *content_type /* >= 127 bytes */,
                             char *digest_out /* >= 72 bytes */);
int reg_manifest_delete(const char *repo, const char *reference);
int reg_repo_delete(const char *repo);

const char *reg_retention_json(int dry_run, int keep_n, int days, int include_latest,
                               int *truncated);
/* The retention pass with the untagged rule besides reg_retention_json's three: untagged_days
   (0: off) also selects every manifest that no tag names, that no stored index lists and that
   is no attachment of a manifest that stays, once its body has lain unchanged that many days
   (never one written within the 15-minute upload window). The report then also holds
   "untagged_days", "manifests_deleted" and the list "untagged". */
struct reg_retention_policy {
    int keep_n;
    int days;
    int include_latest;
    int untagged_days;
};
const char *reg_retention_policy_json(int dry_run, const struct reg_retention_policy *policy,
                                      int *truncated);
/* Retention rules: each repository is governed by the first rule whose globs match its name
   ('*' within one name component, '**' across them); repositories no rule matches are left
   alone. Of a governed repository, the tags match_tags matches (every tag when NULL or empty)
   are considered, and a considered tag is deleted only when no keep clause keeps it: among the
   newest keep_n considered tags; pushed within keep_days days; its manifest pulled within
   keep_pulled_days days; matched by keep_tags; "latest" with protect_latest; or an immutable
   tag. A manifest goes only when no kept tag names it. Patterns are RE2, matched against the
   whole tag; 0 or NULL turns a clause off. untagged_days is the untagged rule for the rule's
   repositories. The report names each entry's rule and counts per rule. */
struct reg_retention_rule {
    const char *const *repositories;
    size_t repository_count;
    int keep_n;
    int keep_days;
    int keep_pulled_days;
    const char *keep_tags;
    const char *match_tags;
    int protect_latest;
    int untagged_days;
};
const char *reg_retention_rules_json(int dry_run, const struct reg_retention_rule *rules,
                                     size_t count, int *truncated);
/* Tags that may not be pushed over with another manifest, deleted, nor lose their manifest to
   a deletion by digest ("DENIED: tag TAG is immutable"), and that retention never deletes:
   those tags_pattern (RE2, the whole tag) matches in the repositories the globs match. Set for
   this process until set again; -1 (nothing set) when a pattern does not compile. */
struct reg_immutable_tags {
    const char *const *repositories;
    size_t repository_count;
    const char *tags;
};
int reg_set_immutable_tags(const struct reg_immutable_tags *rules, size_t count);
/* Records a pull of the manifest (digest) of repo now, at most once an hour; best effort:
   a record that cannot be written only keeps less. */
void reg_manifest_pulled(const char *repo, const char *digest);
/* Deletes a repository's own tags and manifests, with their attachments (a repository nested
   below its name stays); its blobs go at the next collection. "repository not found: NAME"
   when there is none. */
int reg_repository_delete(const char *repo);

/* Proofs of recent sign-ins, for password hashes slow on purpose: 1 when a proof of material
   (a user, the password given and the user's line, say) was kept less than five minutes ago;
   with keep, keeps one now (1 once kept). Only a keyed hash of material, under a key of the
   store's own, is written. 0 otherwise. */
int reg_auth_proof(const void *material, size_t len, int keep);

int reg_blob_start_upload(char *out_upload_uuid /* >= 37 bytes */);
int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len);
/* Who an upload belongs to, as the caller puts it (its repository and user, say): recorded
   beside the upload once it starts; read back into out (0), 1 when none was recorded, -1 on
   failure. Records whose upload is gone are removed by the collection. */
int reg_upload_set_owner(const char *upload_uuid, const char *owner);
int reg_upload_owner(const char *upload_uuid, char *out, size_t out_size);

int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                           char *out_digest /* >= 72 bytes */);
int reg_blob_cancel_upload(const char *upload_uuid);
int reg_blob_upload_size(const char *upload_uuid, int64_t *out_bytes);
int reg_blob_exists(const char *digest);
int64_t reg_blob_get_size(const char *digest);
int reg_blob_get_filepath(const char *digest, char *out, size_t out_size);
int reg_blob_delete(const char *digest);
/* 1 when a stored manifest of repo references the blob (as config, layer or listed child),
   else 0: blobs are one store, and where rights differ by repository a blob is reached only
   through a repository that holds it. */
int reg_repository_holds_blob(const char *repo, const char *digest);

int reg_manifest_put(const char *repo, const char *reference, const void *data, size_t len,
                     const char *content_type, char *out_digest /* >= 72 bytes */);

const char *reg_tags_list_json_page(const char *repo, int n, const char *last, int *out_more,
                                    char *out_last, size_t out_last_size);
const char *reg_tags_list_json(const char *repo);
const char *reg_catalog_json_page(int n, const char *last, int *out_more, char *out_last,
                                  size_t out_last_size);
const char *reg_catalog_json(int n, const char *last);
const char *reg_storage_get_stats_json(void);

/* Calls fn with each stored manifest of repo whose subject is subject_digest, as one JSON
   descriptor (mediaType, digest, size, artifactType, annotations), in digest order; with an
   artifact_type (not NULL or empty) only those of that type. 0 once all are given, 1 when fn
   returned non-zero (which stops the walk), -1 with the last error set. */
typedef int (*reg_referrer_fn)(const char *descriptor, void *ctx);
int reg_referrers_each(const char *repo, const char *subject_digest, const char *artifact_type,
                       reg_referrer_fn fn, void *ctx);

const char *reg_gc_json(int dry_run);

/* The store check: every blob, manifest body and link verified; with repair, what can be
   mended is (damaged files move to quarantine/, never deleted). progress, when not NULL, is
   called as blob bytes are hashed. The report is JSON; *damage_remains (when not NULL) is 1
   when the store still holds damage afterwards. NULL on failure, with the last error set. */
typedef void (*reg_fsck_progress_fn)(int64_t bytes_hashed, int64_t bytes_total, void *ctx);
const char *reg_fsck_json(int repair, reg_fsck_progress_fn progress, void *ctx,
                          int *damage_remains);
const char *reg_gc_progress_json(void);
/* The last real collection as it ended, in the progress record's form: phase "done" or
   "failed", cancelled, started_unix, elapsed_ms, blobs and bytes freed; the idle record when
   none has run. */
const char *reg_gc_last_json(void);
int reg_gc_cancel(void);

/* For the operator's page; each returns JSON in the result buffer, or NULL with the last
   error set. The usage: every repository with its tag and manifest counts, the bytes of the
   blobs its manifests reference and of those no other repository references, sorted by the
   latter. A repository: its tags newest first, with digest, push time, size (config and
   layers; an index's platforms each), the other tags naming the same manifest and its
   attachments ("repository not found: NAME" when there is none). A retention preview: the
   dry pass's report, and the blobs (and bytes) that would lose their last reference. */
const char *reg_usage_json(void);
const char *reg_repository_json(const char *repo);
const char *reg_retention_preview_json(int keep_n, int days, int include_latest);
const char *reg_retention_policy_preview_json(const struct reg_retention_policy *policy);
const char *reg_retention_rules_preview_json(const struct reg_retention_rule *rules, size_t count);

#ifdef __cplusplus
}
#endif

#endif /* REG_STORAGE_H */
