// Garbage collection: drop abandoned uploads, mark every digest that a stored manifest
// references, and sweep the blob files nobody references, publishing progress as it goes
// and stopping when another process asks.
//
// Nothing stops a push while a collection runs, so the sweep never trusts its mark alone.
// A blob file dated within the push window before the run began, or since (stored, mounted,
// looked up or referenced by a manifest put, each of which dates it), is spared: a client
// that found a blob stored a moment ago pushes the manifest naming it next. A blob it does remove
// is first renamed aside (where every lookup finds it and puts it back), then claimed under a name
// of this run's own, its time looked at again, and only then removed or put back, so that a put
// refreshing it meanwhile is never lost; a run killed in between leaves the file aside, which the
// next run puts back.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "storage/gc_internal.h"
#include "storage/reg_storage.h"

namespace reg {

GcSpared gc_spared;

namespace {

constexpr int64_t kStaleSeconds = 900;
constexpr int kCheckEvery = 256;
constexpr uint64_t kSnapshotGapMs = 199;
constexpr std::string_view kUploadSuffix = ".part";

bool is_upload_name(std::string_view name) {
    return name.size() > kUploadSuffix.size() && name.ends_with(kUploadSuffix);
}

bool claimed_path(char *out, const char *pending) {
    const int n = std::snprintf(out, kPathCap, "%s.%s", pending, process_tag());
    return n > 0 && static_cast<size_t>(n) < kPathCap;
}

bool store_path(char *out, const char *sub) {
    return join_path(out, s_root, sub);
}

// The instant the run begins, on the file system's own clock: a probe file's date, unless
// the clock reads earlier still. Every file written after this is dated at or after it. When
// no probe can be written, the whole second before the clock's: a file system that keeps
// coarser dates, or dates by another host's clock, must not date a later file before it.
qv::os::FileTime run_start_time() {
    const qv::os::FileTime clock = qv::os::file_clock_now();
    char dir[kPathCap];
    char probe_name[64];
    char probe[kPathCap];
    std::snprintf(probe_name, sizeof probe_name, "clock.%s", process_tag());
    if (!gc_state_path(dir, nullptr) || !gc_state_path(probe, probe_name)) {
        return {clock.sec - 1, 0};
    }
    if (!qv::os::is_dir(dir)) mkdirs(dir);
    qv::os::FileInfo info{};
    const bool probed = write_file(probe, "", 0) == 0 && qv::os::entry_info(probe, &info);
    qv::os::remove_file(probe);
    if (!probed) return {clock.sec - 1, 0};
    return qv::os::mtime_of(info) < clock ? qv::os::mtime_of(info) : clock;
}

struct Uploads {
    int stale = 0;
    int64_t stale_bytes = 0;
    bool removed = false;
};

// Upload files idle for 900 seconds (and the clock margin) or more are abandoned: counted,
// and removed unless this is a dry run.
Uploads drop_stale_uploads(bool dry_run) {
    Uploads out;
    char dir[kPathCap];
    std::vector<DirEntry> entries;
    if (!store_path(dir, "uploads")) return out;
    list_entries(dir, &entries);
    const int64_t now = qv::os::unix_now();
    for (const DirEntry &entry : entries) {
        char path[kPathCap];
        qv::os::FileInfo info{};
        if (entry.is_dir || !is_upload_name(entry.name) ||
            !join_path(path, dir, entry.name.c_str()) || !qv::os::file_info(path, &info) ||
            info.mtime_unix < 0 || now - info.mtime_unix < kStaleSeconds + clock_margin())
            continue;
        ++out.stale;
        qv::os::FileInfo again{};
        if (qv::os::file_info(path, &again) && again.size > 0) out.stale_bytes += again.size;
        if (!dry_run && qv::os::is_file(path) && qv::os::remove_file(path)) out.removed = true;
    }
    return out;
}

// Owner records (uploads/owners/<id>) whose upload is gone: what a finish or cancel killed
// between its two removals left, once past the window.
void drop_orphan_owners(bool dry_run) {
    char dir[kPathCap];
    std::vector<DirEntry> entries;
    if (dry_run || !store_path(dir, "uploads/owners")) return;
    list_entries(dir, &entries);
    const int64_t now = qv::os::unix_now();
    for (const DirEntry &entry : entries) {
        char path[kPathCap];
        char part[kPathCap];
        qv::os::FileInfo info{};
        if (entry.is_dir || upload_path_for_uuid(part, entry.name.c_str()) != 0 ||
            !qv::os::is_missing(part) || !join_path(path, dir, entry.name.c_str()) ||
            !qv::os::file_info(path, &info) ||
            now - info.mtime_unix < kStaleSeconds + clock_margin())
            continue;
        qv::os::remove_file(path);
    }
}

// Whether any upload file was written within the last 899 seconds and the clock margin (or
// is dated ahead). Every
// entry is looked at, not only a listing's worth: one missed here could finish into the
// store unseen.
bool uploads_in_progress() {
    char dir[kPathCap];
    if (!store_path(dir, "uploads")) return false;
    qv::os::DirReader reader(dir);
    const int64_t now = qv::os::unix_now();
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        char path[kPathCap];
        qv::os::FileInfo info{};
        if (is_dir || !is_upload_name(name) || !join_path(path, dir, name) ||
            !qv::os::file_info(path, &info) || info.mtime_unix < 0)
            continue;
        if (now - info.mtime_unix < kStaleSeconds + clock_margin()) return true;
    }
    return false;
}

// Puts back every blob file a collection left renamed aside in this fan-out directory (a run
// killed between renaming and removing), among the entries listed. Where the blob is stored
// again meanwhile, the copy aside holds the same bytes and goes. True when anything was
// renamed or removed.
bool restore_pending(const char *fan_out, const std::vector<DirEntry> &entries) {
    bool changed = false;
    for (const DirEntry &e : entries) {
        const std::string_view stem = pending_stem(e.name);
        char aside[kPathCap];
        char blob[kPathCap];
        if (e.is_dir || stem.empty() || !join_path(aside, fan_out, e.name.c_str())) continue;
        const int n = std::snprintf(blob, sizeof blob, "%s%s%.*s", fan_out, qv::os::kSepStr,
                                    static_cast<int>(stem.size()), stem.data());
        if (n <= 0 || static_cast<size_t>(n) >= sizeof blob) continue;
        if (blob_file_sound(blob)) {
            changed = qv::os::remove_file(aside) || changed;
        } else {
            changed = qv::os::rename_path(aside, blob) || changed;
        }
    }
    return changed;
}

class Collection {
  public:
    explicit Collection(bool dry_run) : dry_run_(dry_run) {}

    const char *run() {
        if (!lease_.acquire(kCollectionLease)) return nullptr;
        since_ = run_start_time();
        since_.sec -= kBlobUseWindowSeconds + clock_margin();
        uploads_ = drop_stale_uploads(dry_run_);
        drop_orphan_owners(dry_run_);
        if (uploads_.removed) {
            char uploads[kPathCap];
            flushed(store_path(uploads, "uploads") && qv::os::durable_entries(uploads));
        }
        if (uploads_in_progress()) {
            set_error("uploads in progress");
            return nullptr;
        }
        gc_remove_cancel_marker();  // a request from before this run does not cancel it

        rec_.running = 1;
        gc_set_phase(&rec_, "walking");
        rec_.dry_run = dry_run_ ? 1 : 0;
        rec_.started_unix = qv::os::unix_now();
        start_ms_ = qv::os::monotonic_ms();
        snapshot();
        store_path(store_, "blobs/sha256");  // a root of at most 3499 characters: it fits
        rec_.blobs_total = count_blobs();
        snapshot();

        int marked = -1;
        try {
            marked = gc_mark(&reachable_, &Collection::after_body, this, !dry_run_);
        } catch (const std::bad_alloc &) {
            set_error("out of memory");
        }
        if (marked < 0) return fail();
        reachable_.sort();
        gc_set_phase(&rec_, "deleting");
        if (marked == 1 || gc_cancel_requested()) {
            rec_.cancelled = 1;
        } else {
            sweep();
        }
        return finish();
    }

  private:
    void tick() { rec_.elapsed_ms = static_cast<int64_t>(qv::os::monotonic_ms() - start_ms_); }

    void snapshot() {
        tick();
        lease_.refresh();
        gc_write_snapshot(rec_);
        last_snapshot_ms_ = qv::os::monotonic_ms();
        last_snapshot_scanned_ = rec_.blobs_scanned;
    }

    // A check point: a snapshot when one is due, then whether a cancel request is there.
    bool check_point() {
        tick();
        if (qv::os::monotonic_ms() - last_snapshot_ms_ > kSnapshotGapMs ||
            rec_.blobs_scanned - last_snapshot_scanned_ >= kCheckEvery)
            snapshot();
        if (gc_checkpoint_hook != nullptr) gc_checkpoint_hook(rec_);
        return gc_cancel_requested();
    }

    static bool after_body(void *self, int bodies_read, const std::string &) {
        return bodies_read % kCheckEvery == 0 && static_cast<Collection *>(self)->check_point();
    }

    // The store's fan-out directories and the blob files in one, every entry however many.
    std::vector<DirEntry> fan_outs() const {
        std::vector<DirEntry> entries;
        list_entries(store_, &entries);
        return entries;
    }
    static bool is_blob(const DirEntry &e) { return !e.is_dir && hex64_valid(e.name.c_str()); }
    static std::vector<std::string> blob_names(const char *fan_out) {
        std::vector<DirEntry> entries;
        std::vector<std::string> names;
        list_entries(fan_out, &entries);
        for (DirEntry &e : entries)
            if (is_blob(e)) names.push_back(std::move(e.name));
        return names;
    }

    // One listing of each fan-out directory serves both the count and the restoring; a
    // directory is listed again only when something was put back.
    int count_blobs() {
        int total = 0;
        std::vector<DirEntry> entries;
        for (const DirEntry &d : fan_outs()) {
            char fan_out[kPathCap];
            if (!d.is_dir || !join_path(fan_out, store_, d.name.c_str())) continue;
            entries.clear();
            list_entries(fan_out, &entries);
            if (restore_pending(fan_out, entries)) {
                if (!dry_run_) flushed(qv::os::durable_entries(fan_out));
                entries.clear();
                list_entries(fan_out, &entries);
            }
            total += static_cast<int>(std::count_if(entries.begin(), entries.end(), is_blob));
        }
        return total;
    }

    void sweep() {
        for (const DirEntry &d : fan_outs()) {
            if (rec_.cancelled) break;
            char fan_out[kPathCap];
            if (!d.is_dir || !join_path(fan_out, store_, d.name.c_str())) continue;
            const std::vector<std::string> names = blob_names(fan_out);
            const qv::os::HeldDir held(fan_out);
            const int deleted_before = rec_.blobs_deleted;
            for (size_t j = 0; j < names.size() && !rec_.cancelled; ++j) {
                ++rec_.blobs_scanned;
                if (reachable_.contains(names[j].c_str())) {
                    ++reachable_count_;
                } else {
                    judge(held, names[j].c_str());
                }
                if (rec_.blobs_scanned % kCheckEvery == 0 && check_point()) rec_.cancelled = 1;
            }
            if (dry_run_) continue;
            // What the report counts as deleted is durably deleted before it goes out.
            if (rec_.blobs_deleted != deleted_before) flushed(held.durable());
            if (qv::os::remove_dir(fan_out)) swept_dirs_ = true;  // only once it is empty
        }
        if (swept_dirs_) flushed(qv::os::durable_entries(store_));
    }

    // Notes a flush that failed: the run then fails rather than report what may not last.
    void flushed(bool ok) {
        if (!ok) flush_failed_ = true;
    }

    // An unreferenced blob file goes unless it was written or refreshed since the run began.
    // Every step acts on names in its fan-out directory, held open for the whole of it.
    void judge(const qv::os::HeldDir &dir, const char *name) {
        const char *blob = name;
        qv::os::FileInfo info{};
        if (!dir.entry_info(blob, &info)) return;
        if (!(qv::os::mtime_of(info) < since_)) {
            ++gc_spared.at_first_look;
            return;
        }
        if (dry_run_) {
            count_deleted(info.size);
            return;
        }
        char pending[kPathCap];
        char claimed[kPathCap];
        if (!pending_path(pending, blob) || !claimed_path(claimed, pending)) return;
        // Renamed aside, nothing can refresh it unseen: a put that meets it missing puts it
        // back (or refuses), and one that refreshed it first shows in its time now. It is then
        // claimed under a name of this run's own, since another collection may use the shared
        // one at any moment: the date looked at is that of the file removed.
        if (!dir.rename(blob, pending)) return;
        if (!dir.rename(pending, claimed)) return;  // already put back by a lookup
        qv::os::FileInfo again{};
        if (!dir.entry_info(claimed, &again)) return;
        if (!(qv::os::mtime_of(again) < since_)) {
            ++gc_spared.put_back;
            dir.rename(claimed, blob);
            return;
        }
        if (dir.remove_file(claimed)) count_deleted(again.size);
    }

    void count_deleted(int64_t size) {
        ++rec_.blobs_deleted;
        rec_.bytes_freed += size > 0 ? size : 0;
    }

    // The mark could not be completed: nothing was swept, and the snapshot says the run ended.
    const char *fail() {
        rec_.running = 0;
        gc_set_phase(&rec_, "failed");
        snapshot();
        if (!dry_run_) gc_write_last(rec_);
        gc_remove_cancel_marker();
        return nullptr;
    }

    const char *finish() {
        if (flush_failed_) {
            set_error("collection's deletions could not be flushed to disk");
            return fail();
        }
        rec_.running = 0;
        gc_set_phase(&rec_, "done");
        snapshot();
        if (!dry_run_) gc_write_last(rec_);
        gc_remove_cancel_marker();
        std::snprintf(s_result, kResultCap,
                      "{\"dry_run\":%s,\"blobs_total\":%d,\"blobs_reachable\":%d,"
                      "\"blobs_deleted\":%d,\"bytes_freed\":%lld,\"blobs_kept\":%d,"
                      "\"stale_uploads\":%d,\"stale_upload_bytes\":%lld,\"cancelled\":%s,"
                      "\"elapsed_ms\":%lld}",
                      dry_run_ ? "true" : "false", rec_.blobs_total, reachable_count_,
                      rec_.blobs_deleted, static_cast<long long>(rec_.bytes_freed),
                      rec_.blobs_total - rec_.blobs_deleted, uploads_.stale,
                      static_cast<long long>(uploads_.stale_bytes),
                      rec_.cancelled ? "true" : "false", static_cast<long long>(rec_.elapsed_ms));
        clear_error();
        return s_result;
    }

    const bool dry_run_;
    GcRecord rec_;
    Uploads uploads_;
    qv::os::FileTime since_{};
    uint64_t start_ms_ = 0;
    uint64_t last_snapshot_ms_ = 0;
    int last_snapshot_scanned_ = 0;
    int reachable_count_ = 0;
    bool swept_dirs_ = false;
    bool flush_failed_ = false;
    ReachableSet reachable_;
    GcLease lease_;
    char store_[kPathCap] = "";
};

}  // namespace
}  // namespace reg

using namespace reg;

const char *reg_gc_json(int dry_run) {
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    std::unique_ptr<Collection> run(new (std::nothrow) Collection(dry_run != 0));
    if (!run) {
        set_error("out of memory");
        return nullptr;
    }
    return run->run();
}
