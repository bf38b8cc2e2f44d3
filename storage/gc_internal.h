// Shared by the collector, its mark and its progress files: the progress record, the state
// files under _gc, and the reachable set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "storage/storage_internal.h"

namespace reg {

inline constexpr size_t kSnapshotCap = 512;
inline constexpr size_t kPhaseCap = 16;  // at most 15 characters

struct GcRecord {
    int running = 0;
    char phase[kPhaseCap] = "idle";
    int blobs_scanned = 0;
    int blobs_total = 0;
    int blobs_deleted = 0;
    int64_t bytes_freed = 0;
    int dry_run = 0;
    int64_t started_unix = 0;
    int64_t elapsed_ms = 0;
    int cancelled = 0;
};

void gc_set_phase(GcRecord *record, const char *phase);
// The record's text form: the snapshot's whole content, and the progress answer.
void gc_snapshot_json(const GcRecord &record, char out[kSnapshotCap]);
// Rewrites _gc/progress.json (creating _gc when missing); failures are ignored.
void gc_write_snapshot(const GcRecord &record);
// Rewrites _gc/last.json, what a real run looked like as it ended; failures are ignored.
void gc_write_last(const GcRecord &record);
// The index epoch (_gc/index-epoch): rewritten by every index put once its body is written;
// read by deletions around their look for listing indexes (see index_epoch.cpp).
// False when it could not be: the index put then fails, since deletions would not see it.
bool bump_index_epoch();
std::string index_epoch();
// Whether _gc/cancel exists as a file (a directory there is no request).
bool gc_cancel_requested();
void gc_remove_cancel_marker();
// <root>/_gc, or <root>/_gc/<name>.
bool gc_state_path(char *out, const char *name);

// The right to run a collection or a store repair, held by one run at a time across all
// hosts (_gc/lease): the two exclude each other.
inline constexpr const char kCollectionLease[] = "collection";
inline constexpr const char kRepairLease[] = "repair";
class GcLease {
  public:
    GcLease() = default;
    ~GcLease();
    GcLease(const GcLease &) = delete;
    GcLease &operator=(const GcLease &) = delete;
    // False with the last-error text set when another run holds it (saying what runs).
    bool acquire(const char *kind);
    // Dates the lease now: a run that refreshes it is not taken for a crashed one.
    void refresh() const;
    void release();

  private:
    std::string path_;
    std::string owner_;
};

// What the sweep spared because the blob was written or refreshed since its run began: at
// the first look, or after renaming it aside (put back). Counted over the process's runs.
struct GcSpared {
    long long at_first_look = 0;
    long long put_back = 0;
};
extern GcSpared gc_spared;

// Test seam: called at every check point, after its snapshot and before its cancel check.
using GcCheckpointHook = void (*)(const GcRecord &record);
extern GcCheckpointHook gc_checkpoint_hook;

// The digests that stored manifests reference: 32-byte entries, grown by doubling from 256,
// sorted once (repeats dropped), searched by bisection.
class ReachableSet {
  public:
    ReachableSet() = default;
    ~ReachableSet();
    ReachableSet(const ReachableSet &) = delete;
    ReachableSet &operator=(const ReachableSet &) = delete;

    // A digest's 32 bytes from the 64 lowercase hex digits hex starts with; false when they
    // are not.
    static bool decode(const char *hex, uint8_t out[32]);

    // Ignores anything that is not "sha256:" and 64 lowercase hex digits. False only when the
    // set cannot grow: the mark is then incomplete.
    bool add(const char *text, size_t len);
    // Sorts, and drops the repeats (a layer many manifests share).
    void sort();
    bool contains(const char *hex) const;
    int count() const { return count_; }
    // The i-th digest added (until sort), as 32 bytes.
    const uint8_t *at(int i) const { return entries_[i]; }

  private:
    // Bytes rather than hex text: half the memory, which a store of a million blobs needs.
    uint8_t (*entries_)[32] = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

// Reads every manifest body below <root>/repositories, with no cap on entries, repositories or
// depth, adding what each references. after_body runs after each body read and stops the mark
// by returning true. 0 when every body was read, 1 when stopped, -1 with the last-error text
// naming what could not be read (the mark is then incomplete and nothing may be swept).
// With tidy (a real run), stale temporaries of crashed rewrites in each _manifests go too.
using AfterBody = bool (*)(void *ctx, int bodies_read, const std::string &path);
int gc_mark(ReachableSet *set, AfterBody after_body, void *ctx, bool tidy);
// The same walk, adding only what manifest indexes list (their manifests[].digest): the
// manifests that must stay while an index names them. Results as gc_mark's.
int gc_mark_index_children(ReachableSet *set);
// The first stored manifest index, in any repository, whose manifests[] lists the manifest of
// this hex: 1 with the index body's path, 0 when none does, -1 (the last-error text set) when
// some body could not be read, so that the answer is not known.
int gc_find_listing_index(const char *hex, std::string *index_path);

// The manifests that stored indexes list, in every repository: a tag may go, but a manifest
// an index lists must stay, or the index can no longer be pulled. Read once per pass, on the
// first deletion that would remove a manifest. The walk has no caps; when it cannot read
// every body, an index it missed could list anything, so every manifest is spared.
class IndexChildren {
  public:
    bool lists(const char *hex) {
        if (!read_) {
            read_ = true;
            epoch_ = index_epoch();
            try {
                complete_ = gc_mark_index_children(&set_) == 0;
            } catch (const std::bad_alloc &) {
                complete_ = false;
            }
            set_.sort();
        }
        return !complete_ || set_.contains(hex);
    }

    // The index epoch as it was before the walk (once lists has walked).
    const std::string &epoch() const { return epoch_; }

    // What a caller's own walk found instead ("sha256:" digests): the children the indexes it
    // read list, whether it read every body, and the epoch read before it began.
    void assume(const std::vector<std::string> &children, bool complete, std::string epoch) {
        read_ = true;
        complete_ = complete;
        epoch_ = std::move(epoch);
        for (const std::string &c : children)
            if (!set_.add(c.data(), c.size())) complete_ = false;
        set_.sort();
    }

  private:
    ReachableSet set_;
    std::string epoch_;
    bool read_ = false;
    bool complete_ = false;
};

}  // namespace reg
