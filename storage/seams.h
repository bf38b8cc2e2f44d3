// Test seams: hooks a test sets to hold an operation at the point where another process may
// act, so that a race happens every time instead of now and then. Null outside the tests.
#pragma once

namespace reg {

// reg_blob_finish_upload: after the upload is hashed, before it is stored. path is the file
// that was hashed.
extern void (*finish_hashed_hook)(const char *path);
// reg_blob_append_chunk: after the upload file is found, before it is opened.
extern void (*append_found_hook)();
// reg_manifest_put: after the manifest and its blobs are checked, before anything is written.
extern void (*put_checked_hook)();
// reg_manifest_put: every file written, before it looks whether a deletion took one meanwhile.
extern void (*put_written_hook)();
// reg_retention_json: after every tag is collected and selected, before the first deletion.
extern void (*retention_selected_hook)();

// reg_retention_json: a tag's link checked against the digest collected, before it goes.
extern void (*retention_compared_hook)();

// reg_manifest_delete by tag: no other tag names the manifest, before its files go.
extern void (*tag_delete_scanned_hook)();

// reg_manifest_delete by digest: every tag naming the manifest removed, before its files go.
extern void (*digest_delete_tags_removed_hook)();

// A deletion's manifest files moved aside (set_aside_path), before it looks whether a tag or
// an index names the manifest again and puts them back or removes them.
extern void (*manifest_set_aside_hook)();

// reg_fsck_json: a directory listed, before its entries are judged.
extern void (*fsck_listed_hook)(const char *dir);
// reg_fsck_json with repair: a file judged and found to be the same still, before it is moved
// to quarantine, removed or put back.
extern void (*fsck_judged_hook)(const char *path);

}  // namespace reg
