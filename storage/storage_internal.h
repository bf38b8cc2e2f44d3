// Module-internal interface of the storage engine: shared state, checks, path builders and
// the file-system primitives every operation goes through. Not part of the public header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"

#if defined(__GNUC__) || defined(__clang__)
#define REG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define REG_PRINTF(fmt, args)
#endif

namespace reg {

// ---- limits ----------------------------------------------------------------------------
inline constexpr size_t kRootCap = 3500;           // root: at most 3499 characters
inline constexpr size_t kPathCap = 4096;           // every built path: at most 4095 characters
inline constexpr size_t kErrorCap = 1024;          // last-error text: at most 1023 characters
inline constexpr size_t kResultCap = 1048576;      // result buffer: at most 1,048,575 characters
inline constexpr int kListMax = 512;               // entries kept per directory listing
inline constexpr size_t kListNameCap = 512;        // listing entry name: at most 511 characters
inline constexpr int kRepoMax = 1024;              // repositories found by one walk
inline constexpr int kRepoDepthMax = 8;            // deepest walk level (nine name components)
inline constexpr size_t kRepoNameCap = 1024;       // walked repository name: at most 1023
inline constexpr uint64_t kReadAllMax = 67108864;  // read_file_alloc: 64 MiB

inline constexpr const char kNotReady[] = "not initialized - call reg_storage_init first";
inline constexpr const char kPathTooLong[] = "path too long (max 4095 chars)";

// ---- engine state (layout and errors) ----------------------------------------------------
extern char s_root[kRootCap];
extern int s_ready;
extern char s_error[kErrorCap];
extern char s_result[kResultCap];
extern uint32_t s_seed;
extern const char hx[17];  // "0123456789abcdef"

// The upload-id seed from the time t and the load address a: t XOR a, never 0.
uint32_t seed_from(uint32_t t, uint32_t a);

// Replaces the last-error text; output beyond 1023 characters is cut.
void set_error(const char *fmt, ...) REG_PRINTF(1, 2);
void clear_error();

int digest_valid(const char *text);
int hex64_valid(const char *text);
int uuid_valid(const char *text);
int repo_name_valid(const char *text);
// Whether a component of the name is "_manifests": such a name is a path inside a
// repository, never a repository the walks can find.
bool repo_name_enters_manifests(std::string_view name);
// 32 bytes to 64 lowercase hex digits and a NUL.
void bin_to_hex(const uint8_t in[32], char out[65]);

// Joins a and b with the host separator into out (kPathCap bytes). False, with out holding
// the cut text, when the result would not fit in 4095 characters.
bool join_path(char *out, const char *a, const char *b);

// Path builders. Each fills out (kPathCap bytes) from s_root and returns 0. They check no
// names; the callers validate first. A path that would be cut fails (-1) with kPathTooLong
// set, because a cut path names another file; so does an upload id whose file name would not
// fit in 127 characters. A NULL argument fails with "NULL argument", and a digest too short
// to hold its two fan-out digits with "invalid digest".
int manifest_tags_dir(char *out, const char *repo);
int manifest_tag_path(char *out, const char *repo, const char *tag);
int manifest_rev_dir(char *out, const char *repo, const char *hex);
int manifest_rev_path(char *out, const char *repo, const char *hex);
int manifest_body_path(char *out, const char *repo, const char *file_name);
int upload_path_for_uuid(char *out, const char *upload_id);
int blob_path_for_digest(char *out, const char *digest);

// ---- file-system primitives (never set the last-error text) ----------------------------
struct ListEntry {
    char name[kListNameCap];
    int is_dir;
};

struct DirListing {
    ListEntry entries[kListMax];
    int count;
    int truncated;
};

int read_file(const char *path, char *buf, size_t cap, uint64_t *out_len);
int write_file(const char *path, const void *data, size_t len);
// write_file, and then the contents and the file's entry on stable storage.
int write_file_durable(const char *path, const void *data, size_t len);
// "<pid>-<8 hex digits>", drawn once per process: for names no other process uses (the pid
// alone could repeat across containers sharing one store).
const char *process_tag();

// The temporary name beside path (".<name>.<process tag>.tmp"); false when it would not fit.
bool temporary_path(char *out, const char *path);
// The name beside path that a deletion moves a file to while it decides whether the file
// goes (".<name>.<process tag>@<Unix seconds>.tmp"): dated by its name when it is moved, as a
// rename keeps the file's own date. False when it would not fit.
bool set_aside_path(char *out, const char *path);
// The same, named with the given moment (a batch names every file it moves alike); and the
// name alone, for a file of a directory held open (kListNameCap bytes).
bool set_aside_path(char *out, const char *path, int64_t when);
// A manifest's pull record, beside its revision link; when it was last pulled (-1: never).
inline constexpr const char kPulledRecord[] = "pulled";
int64_t pulled_unix(const char *repo, const char *hex);
bool set_aside_name(char *out, const char *name, int64_t when);
// Since when a leftover has lain untouched: the time a set-aside name carries, or the file's
// last-write time, whichever is later. Whatever judges a leftover stale measures from this.
int64_t leftover_date(std::string_view name, const qv::os::FileInfo &info);

// Replaces the file whole: the data goes to a temporary file beside it, which one rename then
// puts in its place. Readers see the old content or the new, never a mix, and a write that
// fails part way (disk full) leaves the old content. The temporary is removed on failure.
// Durable: the contents reach stable storage before the rename, the rename before the return.
int replace_file(const char *path, const void *data, size_t len);
// Temporaries are named ".<file name>.<process id>-<random>.tmp": unique to a process, and
// never taken for a body (64 hex digits), a link or a tag by any walk.
bool is_temporary_name(std::string_view name);
// Removes what a crash left: the temporaries in dir (not below it) untouched (leftover_date)
// for 900 seconds, far longer than any write or deletion takes.
void remove_stale_temporaries(const char *dir);
char *read_file_alloc(const char *path, uint64_t *out_len);  // free() the result
int list_dir(const char *path, DirListing *out);
// Every directory it creates is durable in its parent before it returns.
int mkdirs(const char *path);
int delete_tree(const char *path);
// Appends to list (kRepoMax slots, *count in use) every repository below dir, pre-order, at
// most kRepoDepthMax + 1 name components deep. An entry whose name (1023 characters) or path
// (4095) would be cut is skipped with everything below it; a name that cannot be copied to
// the heap is skipped. The caller free()s every name, then the list.
void collect_repos_recursive(const char *dir, const char *prefix, char **list, int *count,
                             int depth);
// Every repository below <root>/repositories, with no cap on entries, count or depth (links
// are never entered), in no particular order. False when the walk could not read a directory
// that is there, or ran out of memory: the list is then incomplete.
bool collect_all_repos(std::vector<std::string> *out);
// Every entry of a directory, uncapped, read whole before the caller changes anything in it;
// false when it cannot be listed whole. A link is no directory (is_link tells it apart).
struct DirEntry {
    std::string name;
    bool is_dir;
    bool is_link;
};
bool list_entries(const char *dir, std::vector<DirEntry> *out);
// The names alone (directories only, with dirs_only).
bool list_names(const char *dir, bool dirs_only, std::vector<std::string> *out);
// The allocator of those name copies; tests swap it to make one copy fail.
extern void *(*repo_name_alloc)(size_t);
void sort_str(char **items, int count);
int json_escape_append(char *dst, size_t cap, const char *src);

// ---- durability of deletions ---------------------------------------------------------------
// Flushes the directory entry a deletion changed at path: a removal (qv::os::durable_removal,
// which also covers the directories it emptied) or a put-back, a file renamed back to its
// name. Inside a DeferredFlushes scope it only notes the path, for one flush per directory
// when the scope flushes: a pass that deletes thousands of tags in a few directories then pays
// for a few flushes, not thousands. False (the message set) when a flush failed.
bool change_durable(const char *path);

class DeferredFlushes {
  public:
    DeferredFlushes();
    ~DeferredFlushes();  // flushes whatever is still noted
    DeferredFlushes(const DeferredFlushes &) = delete;
    DeferredFlushes &operator=(const DeferredFlushes &) = delete;
    // Flushes every directory noted so far; false (the message set) when one could not be.
    bool flush();
};

// ---- blob files being collected ---------------------------------------------------------
// The collector first renames a blob file it means to remove to this name beside it (one the
// store never takes for a blob), looks at its time again, then removes it or puts it back.
inline constexpr const char kPendingSuffix[] = ".gc-pending";
// The 64-digit stem of a name a collection gives a blob file it is removing: "<hex>.gc-pending"
// (where every lookup finds it) or "<hex>.gc-pending.<pid>" (claimed by one run). Empty when
// the name is neither.
std::string_view pending_stem(std::string_view name);
// "<blob path>.gc-pending"; false when it would not fit.
bool pending_path(char *out, const char *blob_path);
// The SHA-256 of the bytes as 64 lowercase hex digits and a NUL.
void hex_of_bytes(const void *data, size_t len, char out[65]);
// Whether the bytes hash to the 64 hex digits (a manifest body checked against its name).
bool bytes_have_hex(const void *data, size_t len, const char *hex);

// A blob stored, mounted or looked up is dated then, though a look refreshes a date only once
// it is older than kBlobLookRefreshSeconds (a read costs no write most of the time). A
// collection spares every blob dated within kBlobUseWindowSeconds before it began: the push
// window of 15 minutes and the refresh step, so that a blob a client met within the last 15
// minutes always survives until its manifest arrives.
inline constexpr int64_t kBlobLookRefreshSeconds = 60;
inline constexpr int64_t kBlobUseWindowSeconds = 900 + kBlobLookRefreshSeconds;
// The clock margin between hosts (reg_set_clock_margin): added to every such window.
int64_t clock_margin();

// The hex of the empty content: the one blob whose file may be empty.
inline constexpr std::string_view kEmptyHex =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
// Whether a regular file is at the blob path that can hold its digest's bytes: an empty file
// is a blob only for the empty content (a crash leaves files empty; they are no blob).
bool blob_file_sound(const char *blob_path, qv::os::FileInfo *info = nullptr);
// Whether the blob file exists, first putting it back when a collection left it under its
// pending name (a collection killed in between leaves it there).
bool blob_present(const char *blob_path);
// blob_present for a client's lookup (a HEAD, a GET, a mount): the blob is also dated now,
// unless its date is recent already (see kBlobLookRefreshSeconds).
bool blob_present_for_use(const char *blob_path);
// Marks the blob as in use now by refreshing its last-write time, so that a collection that
// has already marked cannot sweep it. False when the blob is not stored.
bool blob_touch(const char *digest);

// What a dry retention pass would remove, whole (its report lists at most 500 of each kind):
// per repository, every manifest that goes (a selected tag's last, an untagged one the rule
// selects, and the attachments going with them). Filled by the pass while this points
// somewhere (the retention preview sets it for one call).
using RetentionRemoved = std::map<std::string, std::vector<std::array<uint8_t, 32>>>;
extern RetentionRemoved *retention_removed_out;

// ---- repositories and the directories deletions leave -----------------------------------
// Removes a tag's directory (dir: <tags>/<tag>) once nothing is left in it but an empty
// current/; only empty directories are removed, so a push making them anew keeps them. True
// when it is gone.
bool remove_tag_husk(const char *dir);
// Removes the repository's directories once it holds no tag and no manifest (nothing but
// empty directories below _manifests), and the parents that empties, never the repositories
// directory; a repository nested below it keeps them. Noted for flushing (change_durable).
void remove_repository_if_empty(const char *repo);

// A heap repository list of kRepoMax names, filled by one walk of <root>/repositories.
// Owns the names and frees them with the list.
class RepoList {
  public:
    // nullptr when the list cannot be allocated.
    static std::unique_ptr<RepoList> collect();
    ~RepoList();
    RepoList(const RepoList &) = delete;
    RepoList &operator=(const RepoList &) = delete;

    int count() const { return count_; }
    const char *operator[](int i) const { return names_[i]; }
    const char *const *names() const { return names_; }
    // Byte order (sort_str), for the listings.
    void sort();

  private:
    RepoList() = default;
    char **names_ = nullptr;
    int count_ = 0;
};

}  // namespace reg
