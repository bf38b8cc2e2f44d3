// The collector's published progress and the cancel requests of other processes: both are
// files under _gc, since every request is a process of its own.
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "storage/gc_internal.h"
#include "storage/reg_storage.h"

namespace reg {

GcCheckpointHook gc_checkpoint_hook = nullptr;

namespace {

constexpr int64_t kFreshSeconds = 600;

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

const char *bool_text(int value) {
    return value ? "true" : "false";
}

// The first member whose key has exactly these bytes.
yyjson_val *member(yyjson_val *obj, std::string_view name) {
    return yyjson_obj_getn(obj, name.data(), name.size());
}

int gc_json_bool(yyjson_val *obj, std::string_view name) {
    return yyjson_is_obj(obj) && yyjson_is_true(member(obj, name)) ? 1 : 0;
}

int64_t gc_json_int(yyjson_val *obj, std::string_view name) {
    yyjson_val *v = yyjson_is_obj(obj) ? member(obj, name) : nullptr;
    if (yyjson_is_sint(v)) return yyjson_get_sint(v);
    if (yyjson_is_uint(v)) return static_cast<int64_t>(yyjson_get_uint(v));
    return 0;
}

// Phases are plain lowercase words. Anything else would go into the answer unescaped, so a
// snapshot carrying it is not believed.
bool phase_acceptable(yyjson_val *phase) {
    const char *text = yyjson_get_str(phase);
    const size_t len = yyjson_get_len(phase);
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < 'a' || text[i] > 'z') return false;
    }
    return true;
}

// Fills the record from a fresh snapshot's text; false when it is not to be believed.
bool read_snapshot(const char *text, size_t len, int64_t now, GcRecord *record) {
    const std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, nullptr));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return false;
    yyjson_val *phase = member(root, "phase");
    if (yyjson_is_str(phase) && !phase_acceptable(phase)) return false;

    GcRecord r;
    r.running = gc_json_bool(root, "running");
    r.dry_run = gc_json_bool(root, "dry_run");
    r.cancelled = gc_json_bool(root, "cancelled");
    r.blobs_scanned = static_cast<int>(gc_json_int(root, "blobs_scanned"));
    r.blobs_total = static_cast<int>(gc_json_int(root, "blobs_total"));
    r.blobs_deleted = static_cast<int>(gc_json_int(root, "blobs_deleted"));
    r.bytes_freed = gc_json_int(root, "bytes_freed");
    r.started_unix = gc_json_int(root, "started_unix");
    if (yyjson_is_str(phase)) gc_set_phase(&r, yyjson_get_str(phase));
    r.elapsed_ms = gc_json_int(root, "elapsed_ms");
    if (r.elapsed_ms <= 0) {
        int64_t ms = 0;
        // A hostile start time must not overflow the product.
        if (r.started_unix > 0 && __builtin_mul_overflow(now - r.started_unix, 1000, &ms)) ms = 0;
        r.elapsed_ms = r.started_unix > 0 ? ms : 0;
    }
    if (!r.running && r.phase[0] == '\0') gc_set_phase(&r, "done");
    // A run whose process is gone (killed, or its host rebooted) never writes its last
    // snapshot: it failed, however recent its last one is.
    yyjson_val *owner = member(root, "owner");
    if (r.running && yyjson_is_str(owner) &&
        qv::os::process_liveness(std::string_view(yyjson_get_str(owner), yyjson_get_len(owner))) ==
            qv::os::Liveness::gone) {
        r.running = 0;
        gc_set_phase(&r, "failed");
    }
    *record = r;
    return true;
}

}  // namespace

void gc_set_phase(GcRecord *record, const char *phase) {
    std::snprintf(record->phase, sizeof record->phase, "%s", phase);
}

void gc_snapshot_json(const GcRecord &r, char out[kSnapshotCap]) {
    std::snprintf(out, kSnapshotCap,
                  "{\"running\":%s,\"phase\":\"%s\",\"blobs_scanned\":%d,\"blobs_total\":%d,"
                  "\"blobs_deleted\":%d,\"bytes_freed\":%lld,\"dry_run\":%s,"
                  "\"started_unix\":%lld,\"elapsed_ms\":%lld,\"cancelled\":%s}",
                  bool_text(r.running), r.phase, r.blobs_scanned, r.blobs_total, r.blobs_deleted,
                  static_cast<long long>(r.bytes_freed), bool_text(r.dry_run),
                  static_cast<long long>(r.started_unix), static_cast<long long>(r.elapsed_ms),
                  bool_text(r.cancelled));
}

bool gc_state_path(char *out, const char *name) {
    char dir[kPathCap];
    if (!join_path(dir, s_root, "_gc")) return false;
    if (name == nullptr) {
        std::memcpy(out, dir, std::strlen(dir) + 1);
        return true;
    }
    return join_path(out, dir, name);
}

void gc_write_snapshot(const GcRecord &record) {
    char dir[kPathCap];
    char path[kPathCap];
    if (!gc_state_path(dir, nullptr) || !gc_state_path(path, "progress.json")) return;
    if (!qv::os::is_dir(dir)) mkdirs(dir);
    char text[kSnapshotCap];
    gc_snapshot_json(record, text);
    // The file also names the process while the run goes on, so that a reader can tell a run
    // that was killed from one still running; the answer read back carries only the record.
    std::string file(text);
    // Looked up once per process (a forked child, as in the tests, is another process).
    static std::string owner;
    static bool known = false;
    if (!known) {
        owner = qv::os::process_identity();
        known = true;
        qv::os::on_fork_child([] { known = false; });
    }
    if (record.running && !owner.empty() && file.ends_with('}'))
        file.insert(file.size() - 1, ",\"owner\":\"" + owner + "\"");
    write_file(path, file.data(), file.size());
}

void gc_write_last(const GcRecord &record) {
    char path[kPathCap];
    if (!gc_state_path(path, "last.json")) return;
    char text[kSnapshotCap];
    gc_snapshot_json(record, text);
    replace_file(path, text, std::strlen(text));  // whole, never half of two runs
}

bool gc_cancel_requested() {
    char path[kPathCap];
    return gc_state_path(path, "cancel") && qv::os::is_file(path);
}

void gc_remove_cancel_marker() {
    char path[kPathCap];
    if (gc_state_path(path, "cancel") && qv::os::is_file(path)) qv::os::remove_file(path);
}

}  // namespace reg

using namespace reg;

const char *reg_gc_progress_json(void) {
    GcRecord record;
    char path[kPathCap];
    // Before start-up there is no root to look in: the answer is idle, and nothing is read.
    if (s_ready && gc_state_path(path, "progress.json")) {
        const int64_t now = qv::os::unix_now();
        qv::os::FileInfo info{};
        uint64_t len = 0;
        char *raw = nullptr;
        qv::os::read_whole(path, kReadAllMax, &raw, &len);
        const std::unique_ptr<char, FreeDeleter> text(raw);
        const bool fresh = qv::os::file_info(path, &info) && info.mtime_unix >= 0 &&
                           now - info.mtime_unix <= kFreshSeconds;
        if (text && fresh) read_snapshot(text.get(), len, now, &record);
    }
    gc_snapshot_json(record, s_result);
    return s_result;
}

const char *reg_gc_last_json(void) {
    GcRecord record;
    char path[kPathCap];
    if (s_ready && gc_state_path(path, "last.json")) {
        uint64_t len = 0;
        char *raw = nullptr;
        qv::os::read_whole(path, kReadAllMax, &raw, &len);
        const std::unique_ptr<char, FreeDeleter> text(raw);
        if (text) read_snapshot(text.get(), len, qv::os::unix_now(), &record);
    }
    gc_snapshot_json(record, s_result);
    return s_result;
}

int reg_gc_cancel(void) {
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    char dir[kPathCap];
    char path[kPathCap];
    if (!gc_state_path(dir, nullptr) || !gc_state_path(path, "cancel")) {
        set_error("%s", kPathTooLong);
        return -1;
    }
    if (!qv::os::is_dir(dir) && mkdirs(dir) != 0) {
        set_error("cannot create gc state directory");
        return -1;
    }
    std::FILE *marker = qv::os::open_write(path, false);
    if (marker == nullptr) {
        set_error("cannot write gc cancel marker");
        return -1;
    }
    const bool failed = std::ferror(marker) != 0;
    if (std::fclose(marker) != 0 || failed) {
        set_error("cannot write gc cancel marker");
        return -1;
    }
    return 0;
}
