// Garbage collection on real storage trees: what is marked, what is swept, uploads, the
// report, snapshots and cancel requests, and the mark that must be complete before anything
// is deleted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "storage/gc_internal.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "support/blob_files.h"
#include "support/child.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr const char kNotReady[] = "not initialized - call reg_storage_init first";

int64_t now_unix() {
    return static_cast<int64_t>(std::time(nullptr));
}

// The report with its one varying member made fixed.
std::string steady(const char *report) {
    if (report == nullptr) return "ERROR: " + std::string(reg_storage_last_error());
    return std::regex_replace(report, std::regex("\"elapsed_ms\":[0-9]+"), "\"elapsed_ms\":N");
}

std::string report(bool dry, int total, int reachable, int deleted, long long freed, int stale,
                   long long stale_bytes, bool cancelled) {
    return std::string("{\"dry_run\":") + (dry ? "true" : "false") +
           ",\"blobs_total\":" + std::to_string(total) +
           ",\"blobs_reachable\":" + std::to_string(reachable) +
           ",\"blobs_deleted\":" + std::to_string(deleted) +
           ",\"bytes_freed\":" + std::to_string(freed) +
           ",\"blobs_kept\":" + std::to_string(total - deleted) +
           ",\"stale_uploads\":" + std::to_string(stale) +
           ",\"stale_upload_bytes\":" + std::to_string(stale_bytes) +
           ",\"cancelled\":" + (cancelled ? "true" : "false") + ",\"elapsed_ms\":N}";
}

class Collection : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override {
        reg::gc_checkpoint_hook = nullptr;
        reg_storage_cleanup();
    }

    std::string blob(const std::string &bytes, int64_t mtime = kLongAgo) {
        return put_blob(root, bytes, mtime);
    }
    bool stored(const std::string &hex) { return exists(blob_path(root, hex)); }
    // The body alone: it is all the mark reads.
    void manifest(const std::string &repo, const std::string &body) {
        write_text(store.body_path(repo, sha256_hex(body)), body);
    }
    // n blob files, each referenced by a manifest of its own in repo (when given).
    std::vector<std::string> blobs(int n, const std::string &tag, const char *repo = nullptr) {
        std::vector<std::string> out;
        for (int i = 0; i < n; ++i) {
            out.push_back(blob(tag + std::to_string(i)));
            if (repo != nullptr) manifest(repo, image_json(out.back(), {}));
        }
        return out;
    }

    TempDir t;
    const std::string root = t / "store";
    StoreLayout store{root};
};

TEST_F(Collection, MarksConfigLayersAndIndexEntriesAndSweepsTheRest) {
    const std::string config = blob("config"), layer = blob("layer"), child = blob("child");
    const std::string loose = blob("loose!"), upper = blob("upper"), other = blob("other");
    const std::string untagged = blob("untagged"), bad_json = blob("bad json");
    manifest("app", image_json(config, {layer}));
    manifest("app", index_json({child}));
    // A digest in capitals, another algorithm, a body that is no JSON or no object, and
    // members of the wrong kind protect nothing.
    std::string shouted = upper;
    for (char &c : shouted)
        c = static_cast<char>(std::toupper(c));
    manifest("app", "{\"config\":{\"digest\":\"sha256:" + shouted + "\"}}");
    manifest("app", "{\"config\":{\"digest\":\"sha512:" + other + "\"}}");
    manifest("app", "[{\"config\":{\"digest\":\"sha256:" + bad_json + "\"}}]");
    manifest("app", "{\"config\":{\"digest\":\"sha256:" + bad_json + "\"");
    manifest("app", "{\"layers\":{\"digest\":\"sha256:" + other + "\"},\"config\":\"x\"}");
    // A body no tag or revision link names still protects its blobs.
    write_text(store.body_path("web", sha256_hex(image_json(untagged, {}))),
               image_json(untagged, {}));
    // Neither counted nor touched: odd names, a file beside the fan-out directories, a
    // subdirectory of one.
    write_text(root + "/blobs/sha256/ab/not-a-blob", "x");
    write_text(root + "/blobs/sha256/" + std::string(64, 'a'), "x");
    write_text(root + "/blobs/sha256/cd/sub/" + std::string(64, 'b'), "x");

    const std::string before = tree_listing(root + "/blobs");
    const std::string dry = steady(reg_gc_json(1));
    EXPECT_EQ(tree_listing(root + "/blobs"), before);
    const std::string real = steady(reg_gc_json(0));
    const long long freed = 6 + 5 + 5 + 8;  // loose!, upper, other, bad json
    EXPECT_EQ(dry, report(true, 8, 4, 4, freed, 0, 0, false));
    EXPECT_EQ(real, report(false, 8, 4, 4, freed, 0, 0, false));
    for (const auto &hex : {config, layer, child, untagged})
        EXPECT_TRUE(stored(hex));
    for (const auto &hex : {loose, upper, other, bad_json})
        EXPECT_FALSE(stored(hex));
    EXPECT_TRUE(exists(root + "/blobs/sha256/ab/not-a-blob"));
    EXPECT_TRUE(exists(root + "/blobs/sha256/cd/sub/" + std::string(64, 'b')));
    EXPECT_STREQ(reg_storage_last_error(), "");
}

// A fan-out directory holds about 800 blobs at 200,000: beyond a listing's 512 entries. Every
// blob in it is counted and judged (the rest used to be left, and counted nowhere).
TEST_F(Collection, EveryBlobOfAFullFanOutDirectoryIsSeen) {
    std::vector<std::string> referenced, loose;
    for (int i = 0; i < 1200; ++i) {
        char hex[65];
        std::snprintf(hex, sizeof hex, "00%062x", i);
        write_text(blob_path(root, hex), "x");
        set_mtime(blob_path(root, hex), kLongAgo);
        (i % 2 == 0 ? referenced : loose).push_back(hex);
    }
    manifest("app", image_json(referenced[0], referenced));
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 1200, 600, 600, 600, 0, 0, false));
    int left = 0;
    for (const auto &hex : loose)
        left += stored(hex) ? 1 : 0;
    EXPECT_EQ(left, 0);
    for (const auto &hex : referenced)
        EXPECT_TRUE(stored(hex)) << hex;
}

TEST_F(Collection, EmptiedFanOutDirectoriesGo) {
    const auto kept = blobs(1, "kept", "app");
    const auto gone = blobs(40, "gone");  // 10 of 5 bytes, 30 of 6
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 41, 1, 40, 10 * 5 + 30 * 6, 0, 0, false));
    std::set<std::string> left;
    for (const auto &hex : gone)
        left.insert(hex.substr(0, 2));
    left.erase(kept[0].substr(0, 2));
    for (const auto &fan_out : left)
        EXPECT_FALSE(exists(root + "/blobs/sha256/" + fan_out));
    EXPECT_TRUE(stored(kept[0]));
}

TEST_F(Collection, NoRepositoriesMeansNothingIsReachable) {
    blobs(3, "b");
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 3, 0, 3, 6, 0, 0, false));
}

TEST_F(Collection, StaleAndActiveUploads) {
    const int64_t now = now_unix();
    const std::string uploads = root + "/uploads/";
    write_text(uploads + "stale.part", "12345");
    set_mtime(uploads + "stale.part", now - 900);
    write_text(uploads + ".part", "x");       // only the suffix: no upload
    make_dirs(uploads + "dir.part");          // a directory: no upload
    write_text(uploads + "fresh.PART", "x");  // the suffix is compared exactly
    EXPECT_EQ(steady(reg_gc_json(1)), report(true, 0, 0, 0, 0, 1, 5, false));
    EXPECT_TRUE(exists(uploads + "stale.part"));  // a dry run removes nothing
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 0, 0, 0, 0, 1, 5, false));
    EXPECT_FALSE(exists(uploads + "stale.part"));

    // Busy within 899 seconds, dated ahead, or within 899 and the margin between hosts' clocks.
    for (const auto &[age, margin] : {std::pair{899, 0}, {-60, 0}, {1019, 120}}) {
        reg_set_clock_margin(margin);
        // Within one clock second, so that 899 seconds stays 899.
        const char *result = nullptr;
        for (int64_t second = 0; second != now_unix();) {
            second = now_unix();
            write_text(uploads + "old.part", "1");
            set_mtime(uploads + "old.part", second - 2000);
            write_text(uploads + "busy.part", "2");
            set_mtime(uploads + "busy.part", second - age);
            result = reg_gc_json(0);
        }
        EXPECT_EQ(result, nullptr);
        EXPECT_STREQ(reg_storage_last_error(), "uploads in progress");
        EXPECT_FALSE(exists(uploads + "old.part"));  // the stale ones still went
        std::remove((uploads + "busy.part").c_str());
    }
    reg_set_clock_margin(0);
}

// Hosts sharing the store run one collection at a time: a lease held by another run refuses
// this one, until it is left unrefreshed for ten minutes (and the clock margin).
TEST_F(Collection, OneRunAtATimeThroughTheLease) {
    const std::string lease = root + "/_gc/lease";
    for (const auto &[age, margin, refused] :
         {std::tuple{0, 0, true}, {590, 0, true}, {700, 200, true}, {700, 0, false}}) {
        make_dirs(root + "/_gc");
        write_text(lease, "another-host/4026531836/77/1234");
        set_mtime(lease, now_unix() - age);
        reg_set_clock_margin(margin);
        const char *result = reg_gc_json(1);
        EXPECT_EQ(result == nullptr, refused) << age << " " << margin;
        if (refused) {
            EXPECT_STREQ(reg_storage_last_error(),
                         "another collection is running; try again once it is done");
        }
        EXPECT_EQ(exists(lease), refused);  // a run leaves no lease behind
    }
    reg_set_clock_margin(0);
}

TEST_F(Collection, CancelMarkers) {
    blobs(2, "b");
    ASSERT_EQ(reg_gc_cancel(), 0);
    ASSERT_EQ(reg_gc_cancel(), 0);
    EXPECT_EQ(read_text(root + "/_gc/cancel"), "");
    // A request left from before the run does not cancel it, and is gone afterwards.
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 2, 0, 2, 4, 0, 0, false));
    EXPECT_FALSE(exists(root + "/_gc/cancel"));
    // A directory in the marker's place is no request and stays.
    make_dirs(root + "/_gc/cancel");
    blobs(1, "c");
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 1, 0, 1, 2, 0, 0, false));
    EXPECT_TRUE(is_directory(root + "/_gc/cancel"));

    reg_storage_cleanup();
    EXPECT_EQ(reg_gc_cancel(), -1);
    EXPECT_STREQ(reg_storage_last_error(), kNotReady);
    EXPECT_EQ(reg_gc_json(0), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

std::vector<reg::GcRecord> g_seen;
void cancel_in_the_sweep(const reg::GcRecord &record) {
    g_seen.push_back(record);
    if (std::string(record.phase) == "deleting") reg_gc_cancel();
}
void record_only(const reg::GcRecord &record) {
    g_seen.push_back(record);
}

TEST_F(Collection, CancelSeenDuringTheSweepOrTheMark) {
    // 300 blob files, all reachable: the sweep's first check point is its 256th.
    blobs(300, "r", "app");
    g_seen.clear();
    reg::gc_checkpoint_hook = cancel_in_the_sweep;
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 300, 256, 0, 0, 0, 0, true));
    ASSERT_EQ(g_seen.size(), 2u);  // the mark's 256th body, then the sweep's 256th blob
    EXPECT_EQ(g_seen[1].blobs_scanned, 256);
    EXPECT_STREQ(g_seen[1].phase, "deleting");

    // The same request made at the mark's check point stops before anything is swept.
    g_seen.clear();
    reg::gc_checkpoint_hook = [](const reg::GcRecord &record) {
        g_seen.push_back(record);
        reg_gc_cancel();
    };
    blobs(10, "u");
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 310, 0, 0, 0, 0, 0, true));
    EXPECT_STREQ(g_seen[0].phase, "walking");
    EXPECT_EQ(g_seen[0].blobs_total, 310);
    EXPECT_FALSE(exists(root + "/_gc/cancel"));
    EXPECT_EQ(std::string(reg_gc_progress_json()).substr(0, 34),
              R"({"running":false,"phase":"done","b)");
}

TEST_F(Collection, SnapshotsOfARun) {
    blobs(600, "s");
    g_seen.clear();
    reg::gc_checkpoint_hook = record_only;
    const std::string real = steady(reg_gc_json(0));
    EXPECT_EQ(real, report(false, 600, 0, 600, 10 * 2 + 90 * 3 + 500 * 4, 0, 0, false));
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].blobs_scanned, 256);
    EXPECT_EQ(g_seen[0].blobs_deleted, 256);
    EXPECT_TRUE(g_seen[0].running);
    const std::string progress = std::regex_replace(
        reg_gc_progress_json(), std::regex("\"(started_unix|elapsed_ms)\":[0-9]+"), "\"$1\":N");
    EXPECT_EQ(progress,
              R"({"running":false,"phase":"done","blobs_scanned":600,"blobs_total":600,)"
              R"("blobs_deleted":600,"bytes_freed":2290,"dry_run":false,"started_unix":N,)"
              R"("elapsed_ms":N,"cancelled":false})");
}

// A blob stored or refreshed since the run began is spared; one the collector left renamed
// aside is put back before anything is judged, and by every lookup.
TEST_F(Collection, FreshAndPendingBlobs) {
    const std::string fresh = blob("fresh", now_unix() + 5);
    const std::string old = blob("old");
    const std::string referenced = blob("referenced");
    manifest("app", image_json(referenced, {}));
    const std::string path = blob_path(root, referenced);
    ASSERT_EQ(std::rename(path.c_str(), (path + ".gc-pending").c_str()), 0);
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 3, 1, 1, 3, 0, 0, false));
    EXPECT_TRUE(stored(fresh));
    EXPECT_FALSE(stored(old));
    EXPECT_TRUE(stored(referenced));
    EXPECT_FALSE(exists(path + ".gc-pending"));

    // Lookups put back both names a collection gives a blob (the claimed one used to stay
    // missing until the next run).
    for (const char *aside : {".gc-pending", ".gc-pending.4242", ".gc-pending.4242-0badc0de"}) {
        ASSERT_EQ(std::rename(path.c_str(), (path + aside).c_str()), 0);
        EXPECT_EQ(reg_blob_exists(("sha256:" + referenced).c_str()), 1) << aside;
        EXPECT_TRUE(stored(referenced)) << aside;
    }

    // A run killed after claiming the file under its own name: the next run puts it back;
    // a copy aside of a blob stored again meanwhile holds the same bytes and goes.
    ASSERT_EQ(std::rename(path.c_str(), (path + ".gc-pending.4242").c_str()), 0);
    write_text(path + ".gc-pending.77", "referenced");
    write_text(path + ".gc-pending.x", "odd names stay");
    EXPECT_EQ(steady(reg_gc_json(0)), report(false, 2, 1, 0, 0, 0, 0, false));
    EXPECT_TRUE(stored(referenced));
    EXPECT_FALSE(exists(path + ".gc-pending.77"));
    EXPECT_TRUE(exists(path + ".gc-pending.x"));
}

// A put whose blob check came before a whole collection ran (it stalled in between) finds
// the blob swept when it goes on: it fails, and leaves no manifest naming a blob that is gone.
TEST_F(Collection, APutStalledAcrossARunLeavesNoManifestWithoutItsBlob) {
    static std::string s_config_path;
    const std::string config = blob("stalled config");
    s_config_path = blob_path(root, config);
    reg::put_checked_hook = [] {
        set_mtime(s_config_path, kLongAgo);  // its refresh was before the run began
        reg_gc_json(0);
    };
    const std::string body = image_json(config, {});
    char digest[72];
    const int rc = reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest);
    reg::put_checked_hook = nullptr;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(std::string(reg_storage_last_error()), "BLOB_UNKNOWN: sha256:" + config);
    EXPECT_FALSE(stored(config));
    EXPECT_FALSE(exists(store.body_path("app", sha256_hex(body))));
    EXPECT_FALSE(exists(store.tag_link("app", "v1")));
}

class IncompleteMark : public Collection {
  protected:
    void expect_nothing_swept(const std::string &message) {
        const std::string before = tree_listing(root + "/blobs");
        EXPECT_EQ(reg_gc_json(0), nullptr);
        EXPECT_EQ(std::string(reg_storage_last_error()), message);
        EXPECT_EQ(tree_listing(root + "/blobs"), before);
        EXPECT_EQ(std::string(reg_gc_progress_json()).substr(0, 34),
                  R"({"running":false,"phase":"failed",)");
    }
};

TEST_F(IncompleteMark, AnUnreadableBodyStopsTheRun) {
    blobs(3, "x", "app");
    blobs(3, "loose");
    const std::string body = store.body_path("app", std::string(64, 'e'));
    ASSERT_EQ(::mkfifo(body.c_str(), 0644), 0);
    expect_nothing_swept("gc mark incomplete: cannot read manifest body: " + body);
}

TEST_F(IncompleteMark, ABodyOver64MiBStopsTheRun) {
    blobs(2, "loose");
    const std::string body = store.body_path("app", std::string(64, 'f'));
    write_text(body, "");
    ASSERT_EQ(::truncate(body.c_str(), 64 * 1024 * 1024 + 1), 0);
    expect_nothing_swept("gc mark incomplete: manifest body over 64 MiB: " + body);
}

// A body that is not its own bytes (emptied by a power cut, changed on disk) says nothing true
// of what its manifest references: before, an emptied one counted as referencing nothing and
// its image's blobs were swept.
TEST_F(IncompleteMark, ADamagedBodyStopsTheRun) {
    for (const std::string damage : {"", "{\"schemaVersion\":2}"}) {
        const std::vector<std::string> referenced = blobs(2, "x" + damage, "app");
        blobs(1, "loose" + damage);
        const std::string body = store.body_path("app", sha256_hex(image_json(referenced[0], {})));
        write_text(body, damage);
        expect_nothing_swept(
            "gc mark incomplete: damaged manifest body (run the store check: qv_fsck, or POST "
            "/v2/_fsck): " +
            body);
        ASSERT_EQ(::unlink(body.c_str()), 0);
    }
}

// No operation follows a link in the store, but the mark cannot vouch for what lies behind it.
TEST_F(IncompleteMark, ALinkedRepositoryDirectoryStopsTheRun) {
    blobs(2, "x", "elsewhere/app");
    make_dirs(t / "outside");
    ASSERT_EQ(::rename((root + "/repositories/elsewhere").c_str(), (t / "outside/team").c_str()),
              0);
    ASSERT_EQ(::symlink((t / "outside/team").c_str(), (root + "/repositories/team").c_str()), 0);
    expect_nothing_swept("gc mark incomplete: symbolic link: " + root + "/repositories/team");
}

// A directory that can be listed but not entered is not a deleted one. Root ignores modes, so
// the collection runs as another user.
TEST_F(IncompleteMark, ADirectoryThatCannotBeEnteredStopsTheRun) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the collection as another user";
    blobs(2, "x", "team/app");
    blobs(2, "loose");
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    for (const auto &e : std::filesystem::recursive_directory_iterator(root))
        ASSERT_EQ(::lchown(e.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(root.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod((root + "/repositories/team").c_str(), 0600), 0);
    const std::string before = tree_listing(root + "/blobs");
    const ChildResult run = run_child({}, [&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 90;
        if (reg_storage_init(root.c_str()) != 0) return 91;
        if (reg_gc_json(0) != nullptr) return 92;
        return std::fputs(reg_storage_last_error(), stdout) < 0 ? 93 : 0;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "gc mark incomplete: cannot list: " + root + "/repositories/team/app");
    EXPECT_EQ(tree_listing(root + "/blobs"), before);
}

TEST_F(IncompleteMark, AMissingRepositoriesDirectoryStopsTheRun) {
    blobs(2, "loose");
    ASSERT_EQ(::rmdir((root + "/repositories").c_str()), 0);
    expect_nothing_swept("gc mark incomplete: cannot list: " + root + "/repositories");
}

// Beyond every cap of the listings: 600 manifests in one repository, 1,100 repositories, one
// ten levels deep, indexes and shared configs. Every referenced blob stays, every other goes,
// and the dry run reports exactly what the real run deletes.
TEST_F(Collection, TheMarkSeesEveryBodyOfEveryRepository) {
    const std::string shared = blob("shared config");
    std::vector<std::string> referenced{shared};
    auto own = [&](const std::string &repo, int i) {
        const std::string layer = blob(repo + "#" + std::to_string(i));
        referenced.push_back(layer);
        manifest(repo, image_json(shared, {layer}));
    };
    for (int i = 0; i < 600; ++i)
        own("big", i);
    for (int r = 0; r < 1100; ++r)
        own("team" + std::to_string(r % 3) + "/r" + std::to_string(r), 0);
    own("l1/l2/l3/l4/l5/l6/l7/l8/l9/l10", 0);
    const std::string child = blob("index child");
    referenced.push_back(child);
    manifest("big", index_json({child}));
    const auto loose = blobs(500, "unreferenced");

    const std::string dry = steady(reg_gc_json(1));
    const std::string real = steady(reg_gc_json(0));
    const int total = static_cast<int>(referenced.size() + loose.size());
    EXPECT_EQ(std::regex_replace(dry, std::regex("true"), "false"), real);
    EXPECT_NE(real.find("\"blobs_deleted\":500,"), std::string::npos) << real;
    EXPECT_NE(real.find("\"blobs_total\":" + std::to_string(total) + ","), std::string::npos);
    int missing = 0, survivors = 0;
    for (const auto &hex : referenced)
        missing += stored(hex) ? 0 : 1;
    for (const auto &hex : loose)
        survivors += stored(hex) ? 1 : 0;
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(survivors, 0);
}

// A run killed mid-way never writes its last snapshot. While its process lives it reads as
// running; once it is gone, as failed (it used to read as running for ten minutes).
TEST_F(Collection, AKilledRunReadsAsFailed) {
    blobs(300, "loose");
    const ChildResult run = run_child({}, [&] {
        reg::gc_checkpoint_hook = [](const reg::GcRecord &) {
            std::fputs(reg_gc_progress_json(), stdout);
            std::fflush(stdout);
            ::raise(SIGKILL);
        };
        reg_gc_json(0);
        return 0;
    });
    EXPECT_FALSE(run.exited);
    EXPECT_TRUE(run.out.starts_with(R"({"running":true,"phase":"deleting",)")) << run.out;
    const std::string after = reg_gc_progress_json();
    EXPECT_TRUE(after.starts_with(R"({"running":false,"phase":"failed",)")) << after;
}

TEST(CollectionProgress, ReadsBackFreshSnapshotsOnly) {
    TempDir t;
    const std::string root = t / "store";
    // Before start-up: the idle record, and nothing created.
    const std::string idle =
        R"({"running":false,"phase":"idle","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,)"
        R"("bytes_freed":0,"dry_run":false,"started_unix":0,"elapsed_ms":0,"cancelled":false})";
    EXPECT_EQ(std::string(reg_gc_progress_json()), idle);
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    EXPECT_EQ(std::string(reg_gc_progress_json()), idle);

    const int64_t now = now_unix();
    const std::string file = root + "/_gc/progress.json";
    const std::string full =
        R"({"running":true,"phase":"deleting","blobs_scanned":512,"blobs_total":900,)"
        R"("blobs_deleted":3,"bytes_freed":77,"dry_run":true,"started_unix":12,)"
        R"("elapsed_ms":4500,"cancelled":false})";
    const struct {
        std::string text;
        int64_t age;
        std::string expected;
    } cases[] = {
        {full, 0, full},
        {full, 600, full},
        {full, 601, idle},
        {full.substr(0, 60), 0, idle},
        {"[" + full + "]", 0, idle},
        {R"({"running":false,"phase":""})", 0,
         R"({"running":false,"phase":"done","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,)"
         R"("bytes_freed":0,"dry_run":false,"started_unix":0,"elapsed_ms":0,"cancelled":false})"},
        {R"({"running":1,"phase":7,"blobs_total":2.0,"bytes_freed":"9","cancelled":true})", 0,
         R"({"running":false,"phase":"idle","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,)"
         R"("bytes_freed":0,"dry_run":false,"started_unix":0,"elapsed_ms":0,"cancelled":true})"},
        {R"({"running":true,"phase":"walking\",\"x\":\"","started_unix":5})", 0, idle},
        {R"({"running":true,"phase":"walkingwalkingwalking","blobs_total":1,"blobs_total":2})", 0,
         R"({"running":true,"phase":"walkingwalkingw","blobs_scanned":0,"blobs_total":1,)"
         R"("blobs_deleted":0,"bytes_freed":0,"dry_run":false,"started_unix":0,"elapsed_ms":0,)"
         R"("cancelled":false})"},
        {R"({"started_unix":9223372036854775807})", 0,
         R"({"running":false,"phase":"idle","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,)"
         R"("bytes_freed":0,"dry_run":false,"started_unix":9223372036854775807,"elapsed_ms":0,)"
         R"("cancelled":false})"},
    };
    // Read within one second of the clock, so that ages at the limit are exact.
    int64_t second = 0;
    auto read_back = [&](const std::string &text, int64_t age) {
        for (;;) {
            second = now_unix();
            write_text(file, text);
            set_mtime(file, second - age);
            const std::string answer = reg_gc_progress_json();
            if (now_unix() == second) return answer;
        }
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(read_back(c.text, c.age), c.expected);
    }
    // With no elapsed time recorded, it is counted from the start.
    const std::string computed = read_back(
        R"({"running":true,"phase":"walking","started_unix":)" + std::to_string(now - 7) + "}", 0);
    const int64_t elapsed = std::stoll(computed.substr(computed.find("\"elapsed_ms\":") + 13));
    EXPECT_EQ(elapsed, (second - (now - 7)) * 1000) << computed;
    reg_storage_cleanup();
}

}  // namespace
