// The file-system primitives every engine operation goes through. They keep no state and
// never touch the last-error text: the calling operation decides what to report.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <map>
#include <random>
#include <string>
#include <string_view>

#include "storage/storage_internal.h"

namespace reg {

namespace {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// fclose flushes what is still buffered; its failure is a failed write.
bool close_ok(File file) {
    return std::fclose(file.release()) == 0;
}

bool is_dot_entry(const char *name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Creates one directory, counting an existing entry as done (see mkdirs). A directory made
// here is made durable in its parent at once: what is later stored in it must not vanish with
// it at a power cut.
bool make_one_dir(const char *path) {
    const int err = qv::os::make_dir(path);
    if (err == 0) return qv::os::durable_entry(path);
    return err == EEXIST || qv::os::is_dir(path);
}

// The data written whole into the file; with durable, on stable storage before this returns.
int write_whole(const char *path, const void *data, size_t len, bool durable) {
    if (path == nullptr || (data == nullptr && len != 0)) return -1;
    File file(qv::os::open_write(path, false));
    if (!file) return -1;
    const size_t put = len != 0 ? std::fwrite(data, 1, len, file.get()) : 0;
    const bool failed =
        std::ferror(file.get()) != 0 || (durable && !qv::os::durable_contents(file.get()));
    const bool closed = close_ok(std::move(file));
    return (failed || !closed || put != len) ? -1 : 0;
}

constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr int64_t kStaleTemporarySeconds = 900;

}  // namespace

// The temporary beside path; false when it would not fit.
bool temporary_path(char *out, const char *path) {
    const char *name = path;
    for (const char *p = path; *p != '\0'; ++p)
        if (qv::os::is_sep(*p)) name = p + 1;
    const int n = std::snprintf(out, kPathCap, "%.*s.%s.%s%s", static_cast<int>(name - path), path,
                                name, process_tag(), kTemporarySuffix.data());
    return n > 0 && static_cast<size_t>(n) < kPathCap;
}

bool set_aside_path(char *out, const char *path) {
    return set_aside_path(out, path, qv::os::unix_now());
}

bool set_aside_path(char *out, const char *path, int64_t when) {
    const char *name = path;
    for (const char *p = path; *p != '\0'; ++p)
        if (qv::os::is_sep(*p)) name = p + 1;
    const int n =
        std::snprintf(out, kPathCap, "%.*s.%s.%s@%lld%s", static_cast<int>(name - path), path, name,
                      process_tag(), static_cast<long long>(when), kTemporarySuffix.data());
    return n > 0 && static_cast<size_t>(n) < kPathCap;
}

bool set_aside_name(char *out, const char *name, int64_t when) {
    const int n = std::snprintf(out, kListNameCap, ".%s.%s@%lld%s", name, process_tag(),
                                static_cast<long long>(when), kTemporarySuffix.data());
    return n > 0 && static_cast<size_t>(n) < kListNameCap;
}

int64_t leftover_date(std::string_view name, const qv::os::FileInfo &info) {
    int64_t date = info.mtime_unix;
    if (!is_temporary_name(name)) return date;
    name.remove_suffix(kTemporarySuffix.size());
    const size_t at = name.rfind('@');
    if (at == std::string_view::npos || name.find('.', at) != std::string_view::npos) return date;
    int64_t aside = 0;
    const char *end = name.data() + name.size();
    const auto [stop, ec] = std::from_chars(name.data() + at + 1, end, aside);
    // Whichever is later: a file is never older than the moment it was moved aside.
    return ec == std::errc() && stop == end && aside > date ? aside : date;
}

// "<pid>-<8 hex digits>", drawn once per process: the pid alone could repeat across
// containers sharing one store.
const char *process_tag() {
    static char tag[32] = "";
    if (tag[0] == '\0') {
        // Drawn again in a forked child: names must not repeat across processes.
        qv::os::on_fork_child([] { tag[0] = '\0'; });
        unsigned int noise = 0;
        try {
            noise = std::random_device{}();
        } catch (...) {
            noise = static_cast<unsigned int>(qv::os::monotonic_ms());
        }
        std::snprintf(tag, sizeof tag, "%lu-%08x", qv::os::process_id(), noise);
    }
    return tag;
}

bool is_temporary_name(std::string_view name) {
    return name.size() > 1 + kTemporarySuffix.size() && name.front() == '.' &&
           name.ends_with(kTemporarySuffix);
}

void remove_stale_temporaries(const char *dir) {
    qv::os::DirReader reader(dir);
    const int64_t now = qv::os::unix_now();
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        char path[kPathCap];
        qv::os::FileInfo info{};
        if (is_dir || !is_temporary_name(name) || !join_path(path, dir, name) ||
            !qv::os::file_info(path, &info) ||
            now - leftover_date(name, info) < kStaleTemporarySeconds + clock_margin())
            continue;
        qv::os::remove_file(path);
    }
}

int replace_file(const char *path, const void *data, size_t len) {
    char temporary[kPathCap];
    if (path == nullptr || !temporary_path(temporary, path)) return -1;
    // Contents first, then the name: a power cut never publishes a name without its bytes.
    if (write_whole(temporary, data, len, true) == 0 && qv::os::rename_path(temporary, path))
        return qv::os::durable_entry(path) ? 0 : -1;
    qv::os::remove_file(temporary);
    return -1;
}

int write_file_durable(const char *path, const void *data, size_t len) {
    if (write_whole(path, data, len, true) != 0) return -1;
    return qv::os::durable_entry(path) ? 0 : -1;
}

int read_file(const char *path, char *buf, size_t cap, uint64_t *out_len) {
    if (path == nullptr || buf == nullptr || cap == 0) return -1;  // no room even for the NUL
    size_t got = 0;
    if (qv::os::read_regular(path, buf, cap - 1, &got) != 0) return -1;
    buf[got] = '\0';
    if (out_len != nullptr) *out_len = got;
    return 0;
}

int write_file(const char *path, const void *data, size_t len) {
    return write_whole(path, data, len, false);
}

char *read_file_alloc(const char *path, uint64_t *out_len) {
    if (path == nullptr) return nullptr;
    qv::os::FileInfo info{};
    if (!qv::os::file_info(path, &info) || info.size < 0) return nullptr;
    const auto size = static_cast<uint64_t>(info.size);
    if (size > kReadAllMax) return nullptr;
    auto *buf = static_cast<char *>(std::malloc(size + 1));
    if (buf == nullptr) return nullptr;
    uint64_t got = 0;
    if (read_file(path, buf, size + 1, &got) != 0) {
        std::free(buf);
        return nullptr;
    }
    if (out_len != nullptr) *out_len = got;
    return buf;
}

int list_dir(const char *path, DirListing *out) {
    if (out == nullptr) return -1;
    out->count = 0;
    out->truncated = 0;
    if (path == nullptr || !qv::os::is_dir(path)) return -1;
    qv::os::DirReader reader(path);
    if (!reader.ok()) return -1;
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        if (is_dot_entry(name)) continue;
        if (out->count == kListMax) {
            out->truncated = 1;
            break;
        }
        ListEntry &e = out->entries[out->count++];
        std::snprintf(e.name, sizeof e.name, "%s", name);
        e.is_dir = is_dir ? 1 : 0;
    }
    return 0;
}

int mkdirs(const char *path) {
    if (path == nullptr) return -1;
    const size_t len = std::strlen(path);
    if (len == 0 || len >= kPathCap) return -1;
    // The common case, every request's start-up among them: one look, no walk of mkdirs.
    if (qv::os::is_dir(path)) return 0;
    char copy[kPathCap];
    std::memcpy(copy, path, len + 1);
    // A deletion removes the directories it empties: one made here may be gone before its
    // child is made in it. The walk then starts again, a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        bool made = true;
        // Start after the first character: a leading separator never yields an empty prefix.
        for (size_t i = 1; made && i < len; ++i) {
            if (!qv::os::is_sep(copy[i])) continue;
            copy[i] = '\0';
            // EEXIST counts as done even for a file; the next step then fails on it.
            made = make_one_dir(copy);
            copy[i] = qv::os::kSep;
        }
        if (made && make_one_dir(copy)) return 0;
    }
    return -1;
}

int delete_tree(const char *path) {
    if (path == nullptr) return -1;
    // Handed a link, remove the link: what it points to may lie outside the tree.
    if (qv::os::is_symlink(path)) return qv::os::remove_file(path) ? 0 : -1;
    int result = 0;
    {
        qv::os::DirReader reader(path);
        const char *name = nullptr;
        bool is_dir = false;
        while (reader.next(&name, &is_dir)) {
            if (is_dot_entry(name)) continue;
            char child[kPathCap];
            if (!join_path(child, path, name)) {
                result = -1;  // a cut path would name another entry
                continue;
            }
            // Links are reported as non-directories: the link goes, never what it points to.
            const bool removed = is_dir ? delete_tree(child) == 0 : qv::os::remove_file(child);
            if (!removed) result = -1;
        }
    }
    if (!qv::os::remove_dir(path)) result = -1;
    return result;
}

void sort_str(char **items, int count) {
    for (int i = 1; i < count; ++i) {
        char *item = items[i];
        int j = i;
        for (; j > 0 && std::strcmp(items[j - 1], item) > 0; --j)
            items[j] = items[j - 1];
        items[j] = item;
    }
}

int json_escape_append(char *dst, size_t cap, const char *src) {
    size_t n = 0;
    auto put = [&](char c) { dst[n++] = c; };
    if (src != nullptr) {
        for (const char *p = src; *p != '\0'; ++p) {
            // Keep room for the longest escape (6) and the NUL once a byte is started.
            if (n + 8 >= cap) break;
            const auto c = static_cast<unsigned char>(*p);
            switch (c) {
                case '"':
                    put('\\'), put('"');
                    break;
                case '\\':
                    put('\\'), put('\\');
                    break;
                case '\b':
                    put('\\'), put('b');
                    break;
                case '\t':
                    put('\\'), put('t');
                    break;
                case '\n':
                    put('\\'), put('n');
                    break;
                case '\f':
                    put('\\'), put('f');
                    break;
                case '\r':
                    put('\\'), put('r');
                    break;
                default:
                    if (c < 0x20) {
                        put('\\'), put('u'), put('0'), put('0');
                        put(hx[c >> 4]), put(hx[c & 0x0f]);
                    } else {
                        put(static_cast<char>(c));
                    }
            }
        }
    }
    if (n < cap) dst[n] = '\0';
    return static_cast<int>(n);
}

namespace {

// Noted changes while a DeferredFlushes scope is open: one path per directory holding one.
// Scopes may nest; the outermost one owns the notes.
std::map<std::string, std::string> *s_noted = nullptr;
int s_scopes = 0;
// A flush made at once inside the scope (the note could not be taken) that failed.
bool s_failed_at_once = false;

std::string holder_of(const char *path) {
    const std::string p(path);
    const size_t cut = p.find_last_of(qv::os::kSep);
    return cut == std::string::npos ? std::string(".") : p.substr(0, cut);
}

bool flush_change(const char *path) {
    if (qv::os::durable_removal(path)) return true;
    set_error("deletion could not be flushed to disk: %s", path);
    return false;
}

}  // namespace

bool change_durable(const char *path) {
    if (s_noted == nullptr) return flush_change(path);
    try {
        s_noted->emplace(holder_of(path), path);
        return true;
    } catch (const std::bad_alloc &) {
        const bool ok = flush_change(path);
        s_failed_at_once = s_failed_at_once || !ok;
        return ok;
    }
}

DeferredFlushes::DeferredFlushes() {
    if (s_scopes++ > 0) return;
    s_noted = new (std::nothrow) std::map<std::string, std::string>();
    s_failed_at_once = false;
}

DeferredFlushes::~DeferredFlushes() {
    if (--s_scopes > 0) return;
    flush();
    delete s_noted;
    s_noted = nullptr;
}

bool DeferredFlushes::flush() {
    if (s_noted == nullptr) return true;
    bool ok = !s_failed_at_once;
    for (const auto &[holder, path] : *s_noted)
        ok = flush_change(path.c_str()) && ok;
    s_noted->clear();
    return ok;
}

}  // namespace reg
