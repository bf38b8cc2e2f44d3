// Collections among other processes: a cancel request and progress reads from other
// processes, and pushes running throughout collections, after which every blob that a stored
// manifest references must be there and hash to its name.
#include <gtest/gtest.h>
#include <unistd.h>
#include <yyjson.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "storage/gc_internal.h"
#include "storage/reg_storage.h"
#include "support/blob_files.h"
#include "support/child.h"
#include "support/manifest_refs.h"
#include "support/temp_tree.h"

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

int g_ready[2];
int g_go[2];

// Holds the collection at its second sweep check point until the test lets it go.
void pause_at_512(const reg::GcRecord &record) {
    if (std::string(record.phase) != "deleting" || record.blobs_scanned != 512) return;
    char byte = 'r';
    if (::write(g_ready[1], &byte, 1) != 1 || ::read(g_go[0], &byte, 1) != 1) std::abort();
}

int with_store(const std::string &root, const std::function<int()> &fn) {
    if (reg_storage_init(root.c_str()) != 0) return 99;
    return fn();
}

TEST(CollectionProcesses, CancelledFromAnotherProcessWhileAThirdWatches) {
    TempDir t;
    const std::string root = t / "store";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    long long bytes = 0;
    for (int i = 0; i < 1500; ++i) {
        const std::string content = "unreferenced " + std::to_string(i);
        put_blob(root, content);
        bytes += static_cast<long long>(content.size());
    }
    reg_storage_cleanup();
    ASSERT_EQ(::pipe(g_ready), 0);
    ASSERT_EQ(::pipe(g_go), 0);

    const ChildSetup setup;
    const ChildHandle collector = start_child(setup, [&] {
        return with_store(root, [] {
            reg::gc_checkpoint_hook = pause_at_512;
            const char *report = reg_gc_json(0);
            std::fputs(report != nullptr ? report : reg_storage_last_error(), stdout);
            return 0;
        });
    });
    char byte = 0;
    ASSERT_EQ(::read(g_ready[0], &byte, 1), 1);
    const ChildResult watcher = run_child(setup, [&] {
        return with_store(root, [] { return std::fputs(reg_gc_progress_json(), stdout) < 0; });
    });
    // A second collection, from another process (as from another host), is refused.
    const ChildResult second = run_child(setup, [&] {
        return with_store(root, [] {
            return reg_gc_json(1) == nullptr ? std::fputs(reg_storage_last_error(), stdout) < 0 : 1;
        });
    });
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, "another collection is running; try again once it is done");
    const ChildResult canceller = run_child(
        setup, [&] { return with_store(root, [] { return reg_gc_cancel() == 0 ? 0 : 1; }); });
    ASSERT_EQ(::write(g_go[1], &byte, 1), 1);
    const ChildResult collected = finish_child(collector);

    EXPECT_EQ(canceller.status, 0);
    const std::string seen = watcher.out;
    const std::string expected_start =
        R"({"running":true,"phase":"deleting","blobs_scanned":512,"blobs_total":1500,)"
        R"("blobs_deleted":512,)";
    EXPECT_EQ(seen.substr(0, expected_start.size()), expected_start);
    // The deletions made before the request stand; the rest are there; the marker is gone.
    int left = 0;
    for (const auto &e : fs::recursive_directory_iterator(root + "/blobs")) {
        if (!e.is_regular_file()) continue;
        ++left;
        bytes -= static_cast<long long>(e.file_size());
    }
    EXPECT_EQ(left, 988);
    const std::string report = collected.out;
    EXPECT_EQ(report.substr(0, report.find(",\"elapsed_ms\"")),
              R"({"dry_run":false,"blobs_total":1500,"blobs_reachable":0,"blobs_deleted":512,)"
              R"("bytes_freed":)" +
                  std::to_string(bytes) +
                  R"(,"blobs_kept":988,"stale_uploads":0,"stale_upload_bytes":0,"cancelled":true)");
    EXPECT_FALSE(exists(root + "/_gc/cancel"));
}

struct Counts {
    long long runs = 0, refused_for_uploads = 0;
    long long pushed = 0, reused = 0, reuse_refused = 0, inside_a_run = 0;
    long long mounts = 0, mounts_found = 0, mounts_inside_a_run = 0, indexes = 0;
    long long tag_deletions = 0, digest_deletions = 0, denied = 0, finished_again = 0, checks = 0;
};

// A finish that fails keeps the upload for the client to finish again, as it does here.
std::string upload(const std::string &bytes, long long *finished_again) {
    char id[37], digest[72];
    const std::string expected = "sha256:" + sha256_hex(bytes);
    if (reg_blob_start_upload(id) != 0 ||
        reg_blob_append_chunk(id, bytes.data(), bytes.size()) != 0)
        return "";
    if (reg_blob_finish_upload(id, expected.c_str(), digest) != 0) {
        ++*finished_again;
        if (reg_blob_finish_upload(id, expected.c_str(), digest) != 0) return "";
    }
    return expected.substr(7);
}

bool put(const std::string &repo, const std::string &tag, const std::string &body) {
    char digest[72];
    return reg_manifest_put(repo.c_str(), tag.c_str(), body.data(), body.size(), nullptr, digest) ==
           0;
}

// started_unix of the run in progress, or 0.
long long run_in_progress() {
    const std::string p = reg_gc_progress_json();
    if (p.find("\"running\":true") == std::string::npos) return 0;
    return std::stoll(p.substr(p.find("\"started_unix\":") + 15));
}

// Every blob a stored manifest references is there, and so is every index's child in its
// repository; every blob file hashes to its name.
void expect_store_whole(const std::string &root) {
    int bodies = 0, missing = 0, misnamed = 0;
    for (const auto &e : fs::recursive_directory_iterator(root + "/repositories")) {
        const std::string name = e.path().filename();
        if (!e.is_regular_file() || name.size() != 64) continue;
        ++bodies;
        const std::string body = read_text(e.path());
        for (const std::string &hex : refs_of(body).blobs)
            missing += exists(blob_path(root, hex)) ? 0 : 1;
        for (const std::string &hex : refs_of(body).children)
            missing += exists(e.path().parent_path() / hex) ? 0 : 1;
    }
    for (const auto &e : fs::recursive_directory_iterator(root + "/blobs")) {
        if (e.is_regular_file() && sha256_hex(read_text(e.path())) != e.path().filename())
            ++misnamed;
    }
    EXPECT_GT(bodies, 0);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(misnamed, 0);
}

// The pusher's repositories, which only it writes and deletes, as it knows them: what each tag
// names, which manifests are stored, and the blobs it found or uploaded.
class Pusher {
  public:
    Pusher(const std::string &root, Counts *c) : root_(root), c_(c) {}

    // Its blobs uploaded or found in this run, an index's children tagged in its repository:
    // such a push must succeed, whatever a collection does meanwhile.
    bool push(const std::string &repo, const std::string &tag, const std::string &body) {
        if (!put(repo, tag, body)) {
            faults_ += "put " + repo + ":" + tag + " failed: " + reg_storage_last_error() + "\n";
            return false;
        }
        tags_[repo + ":" + tag] = sha256_hex(body);
        stored_[repo + "@" + sha256_hex(body)] = body;
        return true;
    }

    // A client's HEAD or GET. A blob found is dated, so that it outlasts the run.
    bool look(const std::string &hex, bool by_size) {
        const std::string digest = "sha256:" + hex;
        const bool found =
            by_size ? reg_blob_get_size(digest.c_str()) >= 0 : reg_blob_exists(digest.c_str()) == 1;
        if (found) met_.insert(hex);
        return found;
    }
    void uploaded(const std::string &hex) { met_.insert(hex); }

    // The manifest goes with its tag unless a stored index lists it.
    void delete_tag(std::mt19937 &rng) {
        if (tags_.empty()) return;
        const auto it = std::next(tags_.begin(), static_cast<long>(rng() % tags_.size()));
        const std::string key = it->first, hex = it->second, repo = key.substr(0, key.find(':'));
        ++c_->tag_deletions;
        if (reg_manifest_delete(repo.c_str(), key.substr(key.find(':') + 1).c_str()) != 0) {
            faults_ += "deleting " + key + " failed: " + reg_storage_last_error() + "\n";
            return;
        }
        tags_.erase(it);
        gone_.insert(key);
        if (listed(repo).count(hex) == 0) stored_.erase(repo + "@" + hex);
    }

    // Refused while a stored index lists the manifest, and only then.
    void delete_digest(std::mt19937 &rng) {
        if (stored_.empty()) return;
        const auto it = std::next(stored_.begin(), static_cast<long>(rng() % stored_.size()));
        const std::string key = it->first, repo = key.substr(0, key.find('@'));
        const std::string hex = key.substr(key.find('@') + 1);
        const bool is_listed = listed(repo).count(hex) != 0;
        ++c_->digest_deletions;
        const int rc = reg_manifest_delete(repo.c_str(), ("sha256:" + hex).c_str());
        const std::string error = rc == 0 ? "" : reg_storage_last_error();
        const bool denied = error.rfind("DENIED: ", 0) == 0;
        c_->denied += denied ? 1 : 0;
        if (is_listed != denied)
            faults_ += "deleting " + key + (is_listed ? ", listed by an index, " : " ") +
                       (rc == 0 ? "succeeded" : "failed: " + error) + "\n";
        if (rc != 0) return;
        stored_.erase(it);
        for (auto tag = tags_.begin(); tag != tags_.end();) {
            if (tag->second != hex || tag->first.rfind(repo + ":", 0) != 0) {
                ++tag;
                continue;
            }
            gone_.insert(tag->first);
            tag = tags_.erase(tag);
        }
    }

    // A tag or digest resolves to what was pushed there, whole; a deleted one ("") is gone.
    void check(const std::string &repo, const std::string &reference, const std::string &hex) {
        ++c_->checks;
        char type[128], digest[80];
        const char *got = reg_manifest_get(repo.c_str(), reference.c_str(), type, digest);
        const std::string where = repo + ":" + reference;
        if (hex.empty()) {
            if (got != nullptr) faults_ += where + " was deleted, yet resolves\n";
            return;
        }
        if (got == nullptr || std::string(digest) != "sha256:" + hex) {
            faults_ +=
                where + " does not resolve to " + hex + ": " + reg_storage_last_error() + "\n";
            return;
        }
        const std::string body = got;
        for (const std::string &blob : refs_of(body).blobs)
            if (!whole(blob)) faults_ += where + " lost blob " + blob + "\n";
        for (const std::string &child : refs_of(body).children)
            check(repo, "sha256:" + child, child);
    }

    void check_some_tag(std::mt19937 &rng) {
        if (tags_.empty()) return;
        const auto it = std::next(tags_.begin(), static_cast<long>(rng() % tags_.size()));
        check(it->first.substr(0, it->first.find(':')), it->first.substr(it->first.find(':') + 1),
              it->second);
    }

    // Everything it knows; returns what was wrong, one line each.
    std::string check_all() {
        for (const auto &[key, hex] : tags_)
            check(key.substr(0, key.find(':')), key.substr(key.find(':') + 1), hex);
        for (const std::string &key : gone_)
            check(key.substr(0, key.find(':')), key.substr(key.find(':') + 1), "");
        for (const auto &entry : stored_) {
            const std::string hex = entry.first.substr(entry.first.find('@') + 1);
            check(entry.first.substr(0, entry.first.find('@')), "sha256:" + hex, hex);
        }
        // Found or uploaded in a run shorter than a collection's window: still there.
        for (const std::string &hex : met_)
            if (!whole(hex)) faults_ += "blob " + hex + ", found or uploaded, is gone\n";
        return faults_;
    }

  private:
    // Read from its file: a lookup would put it back, or date it.
    bool whole(const std::string &hex) const {
        return exists(blob_path(root_, hex)) && sha256_hex(read_text(blob_path(root_, hex))) == hex;
    }

    std::set<std::string> listed(const std::string &repo) const {
        std::set<std::string> out;
        for (const auto &[key, body] : stored_)
            if (key.rfind(repo + "@", 0) == 0)
                for (const std::string &child : refs_of(body).children)
                    out.insert(child);
        return out;
    }

    std::string root_;
    Counts *c_;
    std::map<std::string, std::string> tags_;    // "repo:tag" -> hex it names
    std::map<std::string, std::string> stored_;  // "repo@hex" -> body
    std::set<std::string> gone_, met_;           // deleted "repo:tag"; blobs found or uploaded
    std::string faults_;
};

TEST(CollectionProcesses, PushesThroughoutCollectionsNeverLoseABlob) {
    TempDir t;
    const std::string root = t / "store";
    // A few thousand blobs that stay referenced, so that every run has a sweep to make.
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    for (int i = 0; i < 1000; ++i) {
        std::vector<std::string> layers;
        for (int j = 0; j < 3; ++j)
            layers.push_back(put_blob(root, std::to_string(i * 3 + j)));
        const std::string body = image_json(layers[0], layers);
        write_text(root + "/repositories/base/_manifests/" + sha256_hex(body), body);
    }
    reg_storage_cleanup();
    // Five seconds by default; longer by hand (QV_GC_STRESS_SECONDS) to hit narrower windows.
    const char *seconds = std::getenv("QV_GC_STRESS_SECONDS");
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 5);
    auto running = [&] { return std::chrono::steady_clock::now() < until; };

    const ChildSetup setup;
    const ChildHandle collector = start_child(setup, [&] {
        return with_store(root, [&] {
            Counts c;
            while (running()) {
                if (reg_gc_json(0) != nullptr)
                    ++c.runs;
                else
                    ++c.refused_for_uploads;
            }
            std::printf("%lld %lld %lld %lld", c.runs, c.refused_for_uploads,
                        reg::gc_spared.at_first_look, reg::gc_spared.put_back);
            return 0;
        });
    });
    const ChildResult pusher = run_child(setup, [&] {
        return with_store(root, [&] {
            Counts c;
            Pusher model(root, &c);
            std::mt19937 rng(1);
            std::vector<std::string> orphans, aged, fresh_tags;
            for (size_t n = 0; running(); ++n) {
                const std::string i = std::to_string(n);
                const std::string fresh = upload("fresh " + i, &c.finished_again);
                if (!fresh.empty()) model.uploaded(fresh);
                if (!fresh.empty() && model.push("fresh", "t" + i, image_json(fresh, {fresh}))) {
                    ++c.pushed;
                    fresh_tags.push_back("t" + i);
                }
                // A blob stored long ago that nothing references: fair game for a collection
                // until a put names it, a few rounds later.
                orphans.push_back(upload("orphan " + i, &c.finished_again));
                if (!orphans.back().empty()) set_mtime(blob_path(root, orphans.back()), kLongAgo);
                if (n >= 3 && !orphans[n - 3].empty()) {
                    const long long before = run_in_progress();
                    if (put("reuse", "t" + i, image_json(orphans[n - 3], {})))
                        ++c.reused;
                    else
                        ++c.reuse_refused;
                    if (before != 0 && before == run_in_progress()) ++c.inside_a_run;
                }
                // The same, mounted as a client does the round after: looked up first, uploaded
                // again when the store lacks it.
                aged.push_back(upload("aged " + i, &c.finished_again));
                if (!aged.back().empty()) set_mtime(blob_path(root, aged.back()), kLongAgo);
                if (n >= 1 && !aged[n - 1].empty() && !fresh.empty()) {
                    ++c.mounts;
                    const long long before = run_in_progress();
                    if (model.look(aged[n - 1], n % 2 == 0)) {
                        ++c.mounts_found;
                    } else if (upload("aged " + std::to_string(n - 1), &c.finished_again) ==
                               aged[n - 1]) {
                        model.uploaded(aged[n - 1]);
                    }
                    model.push("mounted", "t" + i, image_json(aged[n - 1], {aged[n - 1], fresh}));
                    if (before != 0 && before == run_in_progress()) ++c.mounts_inside_a_run;
                }
                // An index over the last two images pushed to its repository, while both stand.
                if (n % 4 == 3 && fresh_tags.size() >= 2) {
                    char type[128], first[80], second[80];
                    const std::string &a = fresh_tags[fresh_tags.size() - 2],
                                      &b = fresh_tags.back();
                    if (reg_manifest_get("fresh", a.c_str(), type, first) != nullptr &&
                        reg_manifest_get("fresh", b.c_str(), type, second) != nullptr &&
                        model.push("fresh", "i" + i,
                                   index_json({std::string(first + 7), std::string(second + 7)})))
                        ++c.indexes;
                }
                if (n % 2 == 0) model.delete_tag(rng);
                if (n % 4 == 1) model.delete_digest(rng);
                model.check_some_tag(rng);
            }
            const std::string faults = model.check_all();
            std::printf(
                "%lld %lld %lld %lld; %lld %lld %lld; %lld; %lld %lld %lld; %lld finishes "
                "failed, then succeeded; %lld checks\n%s",
                c.pushed, c.reused, c.reuse_refused, c.inside_a_run, c.mounts, c.mounts_found,
                c.mounts_inside_a_run, c.indexes, c.tag_deletions, c.digest_deletions, c.denied,
                c.finished_again, c.checks, faults.c_str());
            return 0;
        });
    });
    const ChildResult collected = finish_child(collector);
    ASSERT_EQ(pusher.status, 0);
    ASSERT_EQ(collected.status, 0);
    std::printf(
        "collections completed, refused for uploads, blobs spared at first look, "
        "put back: %s\n",
        collected.out.c_str());
    const std::string counts = pusher.out.substr(0, pusher.out.find('\n'));
    std::printf(
        "pushed, reused, reuse refused, reuse inside a run; mounts, found by lookup, inside a "
        "run; indexes pushed; tag deletions, digest deletions, denied: %s\n",
        counts.c_str());
    // What the pusher found wrong, one line each.
    std::istringstream faults(pusher.out.substr(counts.size()));
    for (std::string line; std::getline(faults, line);)
        if (!line.empty()) ADD_FAILURE() << line;
    expect_store_whole(root);
}

}  // namespace
