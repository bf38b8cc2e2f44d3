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
#include <string>
#include <vector>

#include "storage/gc_internal.h"
#include "storage/reg_storage.h"
#include "support/blob_files.h"
#include "support/child.h"
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
};

std::string upload(const std::string &bytes) {
    char id[37], digest[72];
    const std::string expected = "sha256:" + sha256_hex(bytes);
    if (reg_blob_start_upload(id) != 0 ||
        reg_blob_append_chunk(id, bytes.data(), bytes.size()) != 0 ||
        reg_blob_finish_upload(id, expected.c_str(), digest) != 0)
        return "";
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

// Every blob a stored manifest references is there, and every blob file hashes to its name.
void expect_store_whole(const std::string &root) {
    int bodies = 0, missing = 0, misnamed = 0;
    for (const auto &e : fs::recursive_directory_iterator(root + "/repositories")) {
        const std::string name = e.path().filename();
        if (!e.is_regular_file() || name.size() != 64) continue;
        ++bodies;
        const std::string body = read_text(e.path());
        yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
        yyjson_val *root_val = yyjson_doc_get_root(doc);
        std::vector<std::string> refs{
            yyjson_get_str(yyjson_obj_get(yyjson_obj_get(root_val, "config"), "digest"))};
        yyjson_val *layers = yyjson_obj_get(root_val, "layers");
        for (size_t i = 0; i < yyjson_arr_size(layers); ++i)
            refs.push_back(yyjson_get_str(yyjson_obj_get(yyjson_arr_get(layers, i), "digest")));
        yyjson_doc_free(doc);
        for (const auto &ref : refs)
            missing += exists(blob_path(root, ref.substr(7))) ? 0 : 1;
    }
    for (const auto &e : fs::recursive_directory_iterator(root + "/blobs")) {
        if (e.is_regular_file() && sha256_hex(read_text(e.path())) != e.path().filename())
            ++misnamed;
    }
    EXPECT_GT(bodies, 0);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(misnamed, 0);
}

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
            std::vector<std::string> orphans;
            for (size_t n = 0; running(); ++n) {
                const std::string fresh = upload("fresh " + std::to_string(n));
                if (!fresh.empty() &&
                    put("fresh", "t" + std::to_string(n), image_json(fresh, {fresh})))
                    ++c.pushed;
                // A blob stored long ago that nothing references: fair game for a collection
                // until a put names it, a few rounds later.
                orphans.push_back(upload("orphan " + std::to_string(n)));
                if (!orphans.back().empty()) set_mtime(blob_path(root, orphans.back()), kLongAgo);
                if (n < 3 || orphans[n - 3].empty()) continue;
                const long long before = run_in_progress();
                if (put("reuse", "t" + std::to_string(n), image_json(orphans[n - 3], {})))
                    ++c.reused;
                else
                    ++c.reuse_refused;
                if (before != 0 && before == run_in_progress()) ++c.inside_a_run;
            }
            std::printf("%lld %lld %lld %lld", c.pushed, c.reused, c.reuse_refused, c.inside_a_run);
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
    std::printf("pushed, reused, reuse refused, reuse inside a run: %s\n", pusher.out.c_str());
    expect_store_whole(root);
}

}  // namespace
