// The operating-system layer: everything the library needs of the host, in one small
// interface. Every other module reaches the file system, clocks and streams through it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

namespace qv::os {

// The directory separator this host writes between path components.
inline constexpr char kSep = '/';
inline constexpr const char *kSepStr = "/";

// True for every character this host treats as a separator on input.
inline constexpr bool is_sep(char c) {
    return c == '/';
}

// Confines every later call on a path inside root (as spelled here, then "root/...") to the
// tree beneath it: no symbolic link below root is followed, at any component, for reading,
// writing, creating, removing or looking; such a link is an entry of kind other. Root itself
// may be a link. Paths outside root are used as given. nullptr lifts the confinement; false
// when root cannot be opened as a directory (nothing is confined then).
bool confine_beneath(const char *root);

// A file is a regular file; other is what is neither that nor a directory (a pipe, a socket,
// a device), which no reader may open as though it were a file.
enum class PathKind { missing, file, directory, other };

// Whether the path exists, and what it is (outside the confined tree, links are followed).
PathKind path_kind(const char *path);
inline bool is_dir(const char *path) {
    return path_kind(path) == PathKind::directory;
}
inline bool is_file(const char *path) {
    return path_kind(path) == PathKind::file;
}
// Something other than a directory is there: what a removal or an append may act on.
inline bool is_non_directory(const char *path) {
    const PathKind kind = path_kind(path);
    return kind == PathKind::file || kind == PathKind::other;
}
// Whether the path itself is a symbolic link (whatever it points to, if anything).
bool is_symlink(const char *path);

struct FileInfo {
    int64_t size;        // bytes
    int64_t mtime_unix;  // last-write time, seconds since 1970-01-01 UTC
    int32_t mtime_nsec;  // and the nanoseconds within that second, as fine as the file system keeps
    uint64_t file_id = 0;  // the file itself (its inode): a file written anew gets another
    bool regular = false;  // a regular file (not a directory, device or pipe)
    uint64_t device = 0;   // the file system holding it (file_id is unique only within one)
    bool directory = false;
};

// Whether two looks saw the very same file with the same bytes: same device and inode, and
// neither its size nor its last-write time changed between them.
inline bool same_file(const FileInfo &a, const FileInfo &b) {
    return a.device == b.device && a.file_id == b.file_id && a.size == b.size &&
           a.mtime_unix == b.mtime_unix && a.mtime_nsec == b.mtime_nsec;
}

// A last-write time at the file system's own resolution, for before/after comparisons.
struct FileTime {
    int64_t sec;
    int32_t nsec;
    friend bool operator<(const FileTime &a, const FileTime &b) {
        return a.sec != b.sec ? a.sec < b.sec : a.nsec < b.nsec;
    }
    friend bool operator==(const FileTime &a, const FileTime &b) = default;
};
inline FileTime mtime_of(const FileInfo &info) {
    return {info.mtime_unix, info.mtime_nsec};
}

// Whether nothing is at the path (as opposed to something that cannot be looked at).
bool is_missing(const char *path);
// Size and last-write time of the entry itself, a link not followed.
bool entry_info(const char *path, FileInfo *out);

// Size and last-write time of a file or directory; false when it cannot be inspected.
bool file_info(const char *path, FileInfo *out);

// Enumerates one directory, skipping "." and "..". A symbolic link is reported as not a
// directory, so that no walk follows it out of the tree it walks. Closes when destroyed.
class DirReader {
  public:
    explicit DirReader(const char *path);
    ~DirReader();
    DirReader(const DirReader &) = delete;
    DirReader &operator=(const DirReader &) = delete;

    bool ok() const { return handle_ != nullptr; }
    // Next entry; false at the end. The name stays valid until the next call.
    bool next(const char **name, bool *is_dir);
    // Whether the enumeration ended on an error rather than at the end of the directory.
    bool failed() const { return failed_; }
    // Whether the entry next() gave last is a symbolic link.
    bool last_was_link() const { return last_link_; }

  private:
    void *handle_;
    bool failed_ = false;
    bool last_link_ = false;
};

// One directory held open (resolved like any path, beneath the confined tree) for a run of
// operations on entries directly in it, each then one call on a name rather than a walk of
// the whole path. Should the directory be replaced meanwhile, they act on the one held, never
// on its successor. Names are single components: anything else fails with EINVAL.
class HeldDir {
  public:
    explicit HeldDir(const char *path);
    // The directory name in parent (a link there is refused): a walk down the tree, one
    // component a call.
    HeldDir(const HeldDir &parent, const char *name);
    ~HeldDir();
    HeldDir(const HeldDir &) = delete;
    HeldDir &operator=(const HeldDir &) = delete;

    bool ok() const { return fd_ >= 0; }
    // As entry_info, rename_path and remove_file, on names in this directory.
    bool entry_info(const char *name, FileInfo *out) const;
    bool rename(const char *from, const char *to) const;
    // As rename_new, on names in this directory.
    bool rename_new(const char *from, const char *to) const;
    bool remove_file(const char *name) const;
    // Removes the directory name when it is empty.
    bool remove_dir(const char *name) const;
    // As read_regular and read_whole, on a name in this directory.
    int read_regular(const char *name, char *buf, std::size_t cap, std::size_t *out_len,
                     FileInfo *info = nullptr) const;
    int read_whole(const char *name, uint64_t max, char **out, uint64_t *out_len,
                   FileInfo *info = nullptr) const;
    // As open_read_regular, on a name in this directory (a link there is refused); with
    // info, also what the file opened is.
    std::FILE *open_read(const char *name, FileInfo *info = nullptr) const;
    // As durable_entries, on the directory held.
    bool durable() const;

  private:
    int fd_;
};

// Creates one directory (mode 0755). 0 on success, else the error number (EEXIST, ...).
int make_dir(const char *path);
// Removes a directory only when it is empty.
bool remove_dir(const char *path);
// Removes a file (never a directory).
bool remove_file(const char *path);
// Moves a file or directory, replacing a file at the destination.
bool rename_path(const char *from, const char *to);
// Opens a regular file for writing, never waiting for a reader: create_new refuses an
// existing entry (EEXIST); otherwise a file there is emptied. A file made here gets mode (less
// the process's umask) from its creation on. nullptr with errno set.
std::FILE *open_write(const char *path, bool create_new, unsigned mode = 0666);
// Opens a regular file for appending, never waiting for a reader and never following a link
// at its last component (one at any component inside the confined tree); with create, a
// missing file is made. nullptr with errno set (EINVAL for what is not a regular file).
std::FILE *open_append(const char *path, bool create);
// Moves a file to a name nothing holds yet; false (with EEXIST) when something is there.
// Exclusive on distributed file systems too: where the rename itself cannot refuse, the
// placer first creates "<to>.claim" exclusively (others placing the same name wait for it).
bool rename_new(const char *from, const char *to);
// For tests: rename_new as on a file system whose rename cannot refuse to replace.
void force_plain_rename(bool on);
// Looks at files and opens them for reading again once when the first try meets ESTALE or
// ENODATA, as a distributed file system's client may for a name another host just replaced.
// For tests: the next count such tries fail with err (only those of files named leaf, when
// given).
void inject_transient(int err, int count, const char *leaf = nullptr);
// Sets a file's last-write (and last-access) time, in Unix seconds.
bool set_mtime(const char *path, int64_t unix_seconds);
// Sets a file's last-write time to the file system's present time, without following a
// link. 0 on success, else the error number (ENOENT when there is no such file).
int touch_now(const char *path);
// Opens a regular file for reading without ever waiting for a writer: nullptr (errno EINVAL)
// for a pipe or anything else that is not a regular file, as for one that does not open.
// With info, also what the file opened is (its size then, its date).
std::FILE *open_read_regular(const char *path, FileInfo *info = nullptr);
// Reads the first bytes of a regular file (as open_read_regular opens it) into buf, at most
// cap of them, stopping at the size the file had when opened. 0 on success; else the error
// number. Four system calls where a stream takes seven: every request reads several files.
// With info, also what the file read is.
int read_regular(const char *path, char *buf, std::size_t cap, std::size_t *out_len,
                 FileInfo *info = nullptr);
// Reads a file whole into a new heap buffer (free() it) of at most max bytes. 0 on success;
// else the error number, EFBIG when the file is larger than max. With info, also what the
// file read is.
int read_whole(const char *path, uint64_t max, char **out, uint64_t *out_len,
               FileInfo *info = nullptr);

// ---- durability: what an acknowledged change needs to survive a power cut ---------------
// The engine says what must be durable; these make it so. Each is false when the system
// reports that it could not (the change may then be lost at a power cut), and a file system
// that cannot flush a directory at all (EINVAL) counts as having nothing to flush.

// Flushes the stream and then the file's contents and size to stable storage.
bool durable_contents(std::FILE *stream);
// Flushes a directory's entries: names created, renamed or removed in it.
bool durable_entries(const char *dir);
// Flushes the entry of path in the directory that holds it (its parent's entries).
bool durable_entry(const char *path);
// Flushes the removal of path (and of any emptied directories above it): the nearest
// directory above it that still exists.
bool durable_removal(const char *path);
// For tests: the next count flushes of a directory named leaf fail as a disk's would (EIO).
void inject_flush_failure(const char *leaf, int count);

// The clock the file system dates files by, at its own (coarse) resolution: a file written
// after this call is never dated before what it returns.
FileTime file_clock_now();

// For a CGI program: the web server stops reading once it holds the whole response, and then
// ends the process with SIGTERM. Either would lose the access-log line written at exit, so a
// late write fails quietly instead of raising SIGPIPE, and SIGTERM waits for a process that is
// finishing anyway.
void outlive_server_hangup();

// This process's id, for names no other process uses.
unsigned long process_id();
// Calls fn in the child of every later fork, before anything else runs there: what a process
// drew for itself (a name, an identity) must be drawn again in a child.
void on_fork_child(void (*fn)());
// "<boot>/<pid namespace>/<pid>/<start time>": this process among all that share the kernel,
// for as long as it lives (a pid alone is reused); empty where the host tells none of these.
std::string process_identity();
enum class Liveness { alive, gone, unknown };
// Whether the process an identity names still runs; unknown when it ran under another kernel
// or pid namespace (another host or container), where it cannot be looked at from here.
Liveness process_liveness(std::string_view identity);

// The working directory; empty when it cannot be had.
std::string current_dir();

// Milliseconds from an arbitrary fixed point; never goes backwards.
uint64_t monotonic_ms();
// Seconds since 1970-01-01 UTC.
int64_t unix_now();
// Fills buf with bytes from the system's random source; false when it cannot.
bool random_bytes(void *buf, std::size_t len);
// UTC calendar fields of a Unix time; false when it cannot be converted.
bool utc_fields(int64_t unix_seconds, std::tm *out);

// ---- ownership ----------------------------------------------------------------------------
// A file's permission bits and owner, to give a replacement the same (its readers must keep
// reading it, and no one else start to).
struct Ownership {
    unsigned mode;
    unsigned uid;
    unsigned gid;
};
bool ownership_of(const char *path, Ownership *out);
// The mode always; the owner where this process may give it (as root). False when the mode
// could not be set.
bool give_ownership(const char *path, const Ownership &ownership);

// ---- terminal -----------------------------------------------------------------------------
// Whether standard input is a terminal.
bool stdin_is_terminal();
// Prints prompt on standard error and reads one line from standard input without the line
// end; on a terminal the typed characters are not echoed. False at end of input or on error.
bool read_line(const char *prompt, std::string *out);

// Makes the stream pass every byte unchanged (nothing to do where no stream translates).
void binary_mode(std::FILE *stream);

}  // namespace qv::os
