// The retention pass on real storage trees: ranking, both rules, "latest", deletions through
// tag references, the report's exact bytes and its bounds.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "support/blob_files.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr int64_t kDay = 86400;
constexpr size_t kResultCap = 1048576;

int64_t now_unix() {
    return static_cast<int64_t>(std::time(nullptr));
}

// A strictly parsed report.
class Report {
  public:
    explicit Report(const std::string &text)
        : doc_(yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr,
                                nullptr)) {}
    ~Report() { yyjson_doc_free(doc_); }
    Report(const Report &) = delete;
    Report &operator=(const Report &) = delete;

    bool valid() const { return doc_ != nullptr; }
    int64_t num(const char *key) const {
        return yyjson_get_sint(yyjson_obj_get(yyjson_doc_get_root(doc_), key));
    }
    // "repository:tag" of every listed entry, in order.
    std::vector<std::string> entries() const { return field_list(nullptr); }
    std::vector<std::string> field_list(const char *key) const {
        std::vector<std::string> out;
        yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc_), "deleted");
        for (size_t i = 0; i < yyjson_arr_size(list); ++i) {
            yyjson_val *e = yyjson_arr_get(list, i);
            if (key == nullptr) {
                out.push_back(std::string(yyjson_get_str(yyjson_obj_get(e, "repository"))) + ":" +
                              yyjson_get_str(yyjson_obj_get(e, "tag")));
            } else if (yyjson_is_str(yyjson_obj_get(e, key))) {
                yyjson_val *v = yyjson_obj_get(e, key);
                out.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
            } else {
                out.push_back(std::to_string(yyjson_get_sint(yyjson_obj_get(e, key))));
            }
        }
        return out;
    }

  private:
    yyjson_doc *doc_;
};

using Names = std::vector<std::string>;

class Retention : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(store.root().c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    std::string run(int dry_run, int keep_n, int days, int include_latest) {
        truncated = -1;
        const char *report = reg_retention_json(dry_run, keep_n, days, include_latest, &truncated);
        return report != nullptr ? report : "ERROR: " + std::string(reg_storage_last_error());
    }
    // With the untagged rule.
    std::string run(int dry_run, const reg_retention_policy &policy) {
        truncated = -1;
        const char *report = reg_retention_policy_json(dry_run, &policy, &truncated);
        return report != nullptr ? report : "ERROR: " + std::string(reg_storage_last_error());
    }
    // A body named by its own hash, written when given; returns the hex.
    std::string body(const std::string &repo, const std::string &text, int64_t written) {
        const std::string hex = sha256_hex(text);
        store.put_manifest(repo, hex, text);
        set_mtime(store.body_path(repo, hex), written);
        return hex;
    }
    // A manifest of its own for the tag, pushed at the given time.
    void push(const std::string &repo, const std::string &tag, int64_t when, unsigned n) {
        store.put_manifest(repo, test_hex(n), "manifest " + std::to_string(n));
        store.put_tag(repo, tag, test_hex(n), when);
    }
    // The tag leads to a stored body. These bodies are not real manifests, so the one answer
    // that a read-back checks their bytes against their names also counts.
    bool resolves(const std::string &repo, const std::string &tag) {
        char type[127], digest[72];
        return reg_manifest_get(repo.c_str(), tag.c_str(), type, digest) != nullptr ||
               std::string(reg_storage_last_error()).starts_with("manifest body damaged");
    }

    TempDir t;
    StoreLayout store{t / "store"};
    int truncated = -1;
    const int64_t now = now_unix();
};

TEST_F(Retention, ExactReportOfARealRun) {
    push("app", "old", now - 3 * kDay - 100, 1);
    push("app", "mid", now - 2 * kDay - 100, 2);
    push("app", "new", now - 1 * kDay - 100, 3);
    ASSERT_FALSE(resolves("app", "none"));  // leaves a message that the pass must empty

    EXPECT_EQ(run(0, 2, 0, 0),
              "{\"dry_run\":false,\"keep_n\":2,\"days\":0,\"include_latest\":false,"
              "\"repos_scanned\":1,\"tags_total\":3,\"tags_deleted\":1,\"tags_kept\":2,"
              "\"latest_protected\":0,\"deleted\":[{\"repository\":\"app\",\"tag\":\"old\","
              "\"digest\":\"" +
                  digest_of(test_hex(1)) + "\",\"age_days\":3}]}");
    EXPECT_EQ(truncated, 0);
    EXPECT_STREQ(reg_storage_last_error(), "");
    EXPECT_FALSE(exists(store.tag_link("app", "old")));
    EXPECT_FALSE(exists(store.body_path("app", test_hex(1))));
    EXPECT_TRUE(resolves("app", "mid"));
    EXPECT_TRUE(resolves("app", "new"));
}

TEST_F(Retention, RanksNewestFirstWithTiesByNameAndReposByBytes) {
    push("b", "n1", now - 10, 1);
    push("b", "n3", now - 30, 2);
    push("b", "n2", now - 20, 3);
    push("a", "y", now - 50, 4);
    push("a", "x", now - 50, 5);
    push("B", "one", now - 5, 6);
    push("B", "two", now - 6, 7);
    const std::string before = tree_listing(t.path());

    Report r(run(1, 1, 0, 0));
    ASSERT_TRUE(r.valid());
    EXPECT_EQ(r.entries(), (Names{"B:two", "a:y", "b:n2", "b:n3"}));
    EXPECT_EQ(r.num("tags_total"), 7);
    EXPECT_EQ(r.num("tags_deleted"), 4);
    EXPECT_EQ(r.num("tags_kept"), 3);
    EXPECT_EQ(r.num("repos_scanned"), 3);
    EXPECT_EQ(tree_listing(t.path()), before);  // a dry run deletes nothing
}

TEST_F(Retention, AgeRuleSelectsFromExactlyDaysOld) {
    // Retried until the clock does not tick during the pass, so the one-second margin holds.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int64_t t0 = now_unix();
        push("app", "exact", t0 - 30 * kDay, 1);
        push("app", "younger", t0 - 30 * kDay + 1, 2);
        const std::string text = run(1, 0, 30, 0);
        if (now_unix() != t0) continue;
        Report r(text);
        EXPECT_EQ(r.entries(), (Names{"app:exact"}));
        EXPECT_EQ(r.field_list("age_days"), (Names{"30"}));
        return;
    }
    FAIL() << "clock kept ticking";
}

TEST_F(Retention, BothRulesAndTheLatestTag) {
    push("app", "latest", now - 2 * kDay, 1);
    push("app", "v2", now - 2 * kDay - 10, 2);
    push("app", "v1", now - 2 * kDay - 20, 3);
    push("web", "new", now, 4);
    push("web", "Latest", now - 10, 5);  // young, but beyond the newest one; not protected

    Report spared(run(1, 1, 1, 0));
    EXPECT_EQ(spared.entries(), (Names{"app:v2", "app:v1", "web:Latest"}));
    EXPECT_EQ(spared.num("latest_protected"), 1);
    EXPECT_EQ(spared.num("tags_deleted"), 3);
    EXPECT_EQ(spared.num("tags_kept"), 2);

    // "latest" keeps rank 1 even when spared, and is old enough to go when included.
    Report included(run(1, 1, 1, 1));
    EXPECT_EQ(included.entries(), (Names{"app:latest", "app:v2", "app:v1", "web:Latest"}));
    EXPECT_EQ(included.num("latest_protected"), 0);
}

TEST_F(Retention, SharedManifestStaysWithAKeptTagAndGoesWithItsLast) {
    const std::string shared = test_hex(1);
    store.put_manifest("app", shared, "shared");
    store.put_tag("app", "b", shared, now - 1 * kDay - 100);
    store.put_tag("app", "a", shared, now - 5 * kDay);
    push("app", "c", now - 3 * kDay, 2);

    Report first(run(0, 1, 0, 0));
    EXPECT_EQ(first.entries(), (Names{"app:c", "app:a"}));
    EXPECT_EQ(first.num("tags_deleted"), 2);
    EXPECT_TRUE(exists(store.body_path("app", shared)));
    EXPECT_TRUE(exists(store.rev_link("app", shared)));
    EXPECT_TRUE(resolves("app", "b"));
    EXPECT_FALSE(exists(store.body_path("app", test_hex(2))));

    Report second(run(0, 0, 1, 0));
    EXPECT_EQ(second.entries(), (Names{"app:b"}));
    EXPECT_FALSE(exists(store.body_path("app", shared)));
    EXPECT_FALSE(exists(store.ct_path("app", shared)));
    EXPECT_FALSE(exists(store.rev_link("app", shared)));
}

// Per-architecture tags under a multi-architecture one: the pass may drop the tags, never a
// manifest that a stored index of the repository lists. (An index resolves its children in its
// own repository: one elsewhere listing the same digest keeps nothing here.)
TEST_F(Retention, ManifestsListedByAnIndexStay) {
    const std::string amd64 = test_hex(1), arm64 = test_hex(2), plain = test_hex(3);
    const auto index_of = [](const std::vector<std::string> &hexes) {
        std::string body = "{\"schemaVersion\":2,\"manifests\":[";
        for (const std::string &hex : hexes)
            body += (hex == hexes.front() ? "" : ",") + ("{\"digest\":\"" + digest_of(hex) + "\"}");
        return body + "]}";
    };
    push("app", "amd64", now - 3 * kDay, 1);
    push("app", "arm64", now - 2 * kDay, 2);
    push("app", "plain", now - 4 * kDay, 3);
    store.put_manifest("app", test_hex(10), index_of({amd64, arm64}));
    store.put_tag("app", "multi", test_hex(10), now);
    store.put_manifest("other", test_hex(11), index_of({plain}));
    store.put_tag("other", "multi", test_hex(11), now);

    Report report(run(0, 1, 0, 0));
    EXPECT_EQ(report.entries(), (Names{"app:arm64", "app:amd64", "app:plain"}));
    EXPECT_EQ(report.num("tags_deleted"), 3);
    EXPECT_FALSE(exists(store.tag_link("app", "amd64")));
    for (const std::string &hex : {amd64, arm64}) {
        EXPECT_EQ(read_text(store.body_path("app", hex)),
                  "manifest " + std::to_string(hex == amd64 ? 1 : 2));
        EXPECT_TRUE(exists(store.rev_link("app", hex)));
    }
    EXPECT_FALSE(exists(store.body_path("app", plain)));
}

// A client pushes a selected tag again after the pass collected it, to another manifest or
// to the same one, early (after the selection) or at the last moment (after the link was
// compared): the fresh push stays, and the tag counts as kept. A push of the same manifest
// used to be deleted, since only the digest was compared.
TEST_F(Retention, ATagPushedAgainDuringThePassIsKept) {
    static StoreLayout *layout;
    static unsigned pushed;
    layout = &store;
    const auto repush = [] { layout->put_tag("app", "old", test_hex(pushed), now_unix()); };
    for (const bool last_moment : {false, true}) {
        for (const unsigned manifest : {3u, 2u}) {
            SCOPED_TRACE(std::to_string(last_moment) + " " + std::to_string(manifest));
            std::filesystem::remove_all(store.root() + "/repositories/app");
            push("app", "new", now - 1 * kDay, 1);
            push("app", "old", now - 2 * kDay, 2);
            store.put_manifest("app", test_hex(3), "fresh push");
            pushed = manifest;
            (last_moment ? reg::retention_compared_hook : reg::retention_selected_hook) = repush;
            Report report(run(0, 1, 0, 0));
            reg::retention_compared_hook = reg::retention_selected_hook = nullptr;

            EXPECT_EQ(report.num("tags_deleted"), 0);
            EXPECT_EQ(report.num("tags_kept"), 2);
            EXPECT_EQ(report.entries(), Names{});
            EXPECT_EQ(read_text(store.tag_link("app", "old")), digest_of(test_hex(manifest)));
            EXPECT_TRUE(exists(store.body_path("app", test_hex(manifest))));
            EXPECT_TRUE(exists(store.body_path("app", test_hex(2))));
        }
    }
}

TEST_F(Retention, CorruptMissingAndOddLinks) {
    const std::string lf = digest_of(test_hex(1)) + "\n";
    const std::string quoted = "sha256:\"\\" + std::string(62, 'a');
    store.put_tag_raw("app", "lf", lf, now - 10 * kDay);
    store.put_tag_raw("app", "quoted", quoted, now - 11 * kDay);
    push("app", "prehistoric", -2 * kDay, 3);  // before 1970: dated 0
    store.put_tag_raw("app", "garbage", "hello", now - 10 * kDay);
    make_dirs(store.tag_dir("app", "nolink") + "/current");
    make_dirs(store.tag_link("app", "linkdir"));
    write_text(store.tags_dir("app") + "/file.txt", digest_of(test_hex(1)));

    Report r(run(0, 0, 1, 0));
    ASSERT_TRUE(r.valid());  // the quote in the corrupt link is escaped
    EXPECT_EQ(r.num("tags_total"), 3);
    EXPECT_EQ(r.entries(), (Names{"app:lf", "app:quoted", "app:prehistoric"}));
    EXPECT_EQ(r.field_list("digest"), (Names{lf.substr(0, 71), quoted, digest_of(test_hex(3))}));
    EXPECT_NEAR(std::stoll(r.field_list("age_days")[2]), now / kDay, 1);
    // Corrupt links cannot be resolved for deletion: listed, but counted as kept.
    EXPECT_EQ(r.num("tags_deleted"), 1);
    EXPECT_EQ(r.num("tags_kept"), 2);
    EXPECT_TRUE(exists(store.tag_link("app", "lf")));
    EXPECT_FALSE(exists(store.tag_link("app", "prehistoric")));
    EXPECT_STREQ(reg_storage_last_error(), "");
}

TEST_F(Retention, ListStopsAt500Entries) {
    for (int i = 0; i < 502; ++i)
        store.put_tag("app", "t" + std::to_string(i), test_hex(1), now - i);
    Report r(run(1, 1, 0, 0));
    EXPECT_EQ(r.entries().size(), 500u);
    EXPECT_EQ(r.num("tags_deleted"), 501);
    EXPECT_EQ(r.num("tags_kept"), 1);
    EXPECT_EQ(truncated, 1);
    EXPECT_NE(reg_retention_json(1, 1, 0, 0, nullptr), nullptr);  // the flag is optional
}

TEST_F(Retention, EmptyStoresAndSwitchedOffRules) {
    EXPECT_EQ(run(1, -5, -3, 1),
              "{\"dry_run\":true,\"keep_n\":0,\"days\":0,\"include_latest\":true,"
              "\"repos_scanned\":0,\"tags_total\":0,\"tags_deleted\":0,\"tags_kept\":0,"
              "\"latest_protected\":0,\"deleted\":[]}");
    EXPECT_EQ(truncated, 0);

    store.make_repo("a");
    make_dirs(store.tags_dir("b"));
    store.make_repo("b/c");
    Report untagged(run(0, 1, 1, 0));
    EXPECT_EQ(untagged.num("repos_scanned"), 3);
    EXPECT_EQ(untagged.num("tags_total"), 0);

    push("a", "old", 0, 1);
    push("a", "older", 1, 2);
    Report off(run(0, -5, 0, 0));
    EXPECT_EQ(off.num("keep_n"), 0);
    EXPECT_EQ(off.num("tags_deleted"), 0);
    EXPECT_EQ(off.num("tags_kept"), 2);
    EXPECT_TRUE(resolves("a", "older"));
}

TEST_F(Retention, NotReady) {
    reg_storage_cleanup();
    EXPECT_EQ(run(1, 1, 1, 0), "ERROR: not initialized - call reg_storage_init first");
    EXPECT_EQ(truncated, 0);
}

// The pass sees every tag of every repository, however many and however deep: 1,100
// repositories (some eleven levels deep, past the nine a walk used to reach), 5,000 tags, 700
// of them in one repository (past the 512 a listing kept). Its deletions leave no directories
// behind, so one pass reaches one tag a repository and a second one finds nothing to do.
TEST_F(Retention, EveryTagOfEveryRepositoryIsSeen) {
    std::vector<std::string> repos{"big"};
    for (int r = 1; r < 1100; ++r) {
        std::string name = "r" + std::to_string(r);
        for (int level = 0; r % 100 == 0 && level < 10; ++level)
            name += "/l" + std::to_string(level);
        repos.push_back(name);
    }
    int tags = 0;
    for (size_t r = 0; r < repos.size(); ++r)
        for (int i = 0; i < (r == 0 ? 700 : r <= 1067 ? 4 : 1); ++i, ++tags)
            store.put_tag(repos[r], "t" + std::to_string(i), test_hex(1), now - i);
    ASSERT_EQ(tags, 5000);

    Report first(run(0, 1, 0, 0));
    EXPECT_EQ(first.num("repos_scanned"), 1100);
    EXPECT_EQ(first.num("tags_total"), 5000);
    EXPECT_EQ(first.num("tags_deleted"), 5000 - 1100);
    EXPECT_EQ(truncated, 1);  // 3,900 deletions, 500 listed
    EXPECT_EQ(tree_listing(store.tags_dir("big")), "t0/\nt0/current/\nt0/current/link\n");
    EXPECT_TRUE(exists(store.tag_link(repos.back(), "t0")));

    Report second(run(0, 1, 0, 0));
    EXPECT_EQ(second.num("tags_total"), 1100);
    EXPECT_EQ(second.num("tags_deleted"), 0);
}

// A walked name is never cut: a cut name can be another repository, whose tags would then be
// deleted in its place. (One this long is no name the engine accepts: its tag stays.)
TEST_F(Retention, LongRepositoryNamesAreWhole) {
    const std::string long_name = std::string(200, 'a') + "/" + std::string(100, 'b');
    const std::string cut_name = long_name.substr(0, 255);
    push(long_name, "new", now - 1 * kDay, 1);
    push(long_name, "old", now - 2 * kDay, 2);
    push(cut_name, "old", now - 3 * kDay, 3);

    Report r(run(0, 1, 0, 0));
    EXPECT_EQ(r.num("repos_scanned"), 2);
    EXPECT_EQ(r.num("tags_total"), 3);
    EXPECT_EQ(r.entries(), Names{long_name + ":old"});
    EXPECT_EQ(r.num("tags_deleted"), 0);
    EXPECT_TRUE(resolves(cut_name, "old"));
    EXPECT_TRUE(exists(store.tag_link(long_name, "old")));
}

// Names of control bytes escape six-fold; 500 such entries need more than the 1 MiB result
// buffer. The list must end early, stay valid JSON and say it was cut.
TEST_F(Retention, ReportNeverRunsPastTheResultBuffer) {
    std::string six_fold;  // bytes that escape as \u00XX
    for (char c = 1; c < 0x20; ++c)
        if (c != '\b' && c != '\t' && c != '\n' && c != '\f' && c != '\r') six_fold += c;
    const int64_t stamp = now - 2 * kDay;
    size_t full_size = 0;
    for (int r = 0; r < 2; ++r) {
        const std::string repo = std::string(254, '\x01') + six_fold[r + 1];
        for (int i = 0; i < 250; ++i) {
            const std::string tag = std::string(253, '\x01') + six_fold[i % 26] + six_fold[i / 26];
            store.put_tag(repo, tag, test_hex(1), stamp);
            full_size += 1 + 15 + 6 * 255 + 9 + 6 * 255 + 12 + 71 + 13 + 1 + 1;  // "age_days":2}
        }
    }
    ASSERT_GT(full_size, kResultCap);  // the test really overflows

    const std::string text = run(1, 0, 1, 0);
    ASSERT_LT(text.size(), kResultCap);
    Report r(text);
    ASSERT_TRUE(r.valid());
    const Names entries = r.entries();
    EXPECT_GT(entries.size(), 300u);
    EXPECT_LT(entries.size(), 500u);
    EXPECT_EQ(r.num("tags_deleted"), 500);
    EXPECT_EQ(truncated, 1);
    // Cut only where the next entry would not have fit beside the report's head.
    EXPECT_GT(text.size() + full_size / 500 + 512, kResultCap - 1);
    EXPECT_NE(text.find("],\"truncated\":true}"), std::string::npos);
}

// What a moving tag leaves behind goes with the untagged rule once it has lain long enough:
// not an index's children, not an attachment of an image that stays, not what was pushed
// within the window. A signature of a kept image is kept by its (old, selected) tag too, though
// the image's tag lies beyond where a 512-entry listing stopped. The dry run, the preview and
// the real pass agree on every tag and every manifest.
TEST_F(Retention, UntaggedManifestsGoAndTheDryRunThePreviewAndThePassAgree) {
    const int64_t old = now - 3 * kDay;
    for (int i = 0; i < 1000; ++i)
        store.put_tag("app", "t" + std::to_string(i),
                      body("app", "manifest " + std::to_string(i), old), old - i);
    const std::string kept = body("app", "image that stays", old);
    store.put_tag("app", "zz-new", kept, now);  // beyond the first 512 of the listing
    const auto attachment = [&](const std::string &subject, const std::string &name) {
        return body("app",
                    "{\"schemaVersion\":2,\"artifactType\":\"sig\",\"subject\":{\"digest\":\"" +
                        digest_of(subject) + "\"},\"n\":\"" + name + "\"}",
                    old);
    };
    store.put_tag("app", "sig", attachment(kept, "tagged"), old);
    const std::string untagged_sig = attachment(kept, "untagged");
    std::vector<std::string> moved;  // what four pushes of "latest" left behind
    for (int i = 0; i < 4; ++i)
        moved.push_back(body("app", "latest as pushed " + std::to_string(i), old));
    store.put_tag("app", "latest", body("app", "latest now", now), now);
    const std::string orphan_sig = attachment(moved[0], "goes with its subject");
    const std::string child = body("app", "platform image", old);
    store.put_tag("app", "multi", body("app", index_json({child}), old), now);
    const std::string young = body("app", "pushed by digest a minute ago", now - 60);

    const reg_retention_policy policy{0, 1, 0, 2};
    const std::string dry = run(1, policy);
    const char *preview = reg_retention_policy_preview_json(&policy);
    ASSERT_NE(preview, nullptr) << reg_storage_last_error();
    const std::string previewed = preview;
    const std::string real = run(0, policy);

    Report r(real);
    EXPECT_EQ(r.num("tags_deleted"), 1000);  // t*, not sig
    EXPECT_EQ(r.num("manifests_deleted"), 4);
    const auto lists = [](const std::string &report) {
        return report.substr(report.find("\"deleted\":"));
    };
    EXPECT_EQ(lists(dry), lists(real));
    EXPECT_NE(previewed.find(lists(real).substr(0, lists(real).size() - 1)), std::string::npos);
    EXPECT_NE(real.find("{\"repository\":\"app\",\"digest\":\"" + digest_of(moved[0]) +
                        "\",\"age_days\":3,\"referrers\":[\"" + digest_of(orphan_sig) + "\"]}"),
              std::string::npos)
        << real.substr(real.find("\"untagged\""));
    for (const std::string &hex : moved)
        EXPECT_FALSE(exists(store.body_path("app", hex)));
    EXPECT_FALSE(exists(store.body_path("app", orphan_sig)));
    for (const std::string &hex : {kept, untagged_sig, child, young})
        EXPECT_TRUE(exists(store.body_path("app", hex))) << hex;
    EXPECT_TRUE(resolves("app", "sig"));
}

// JSON may spell a key with escapes: an index listing a child under "manifest\u0073" keeps it,
// a signature whose "\u0073ubject" is an image that stays is kept, and one whose subject goes
// goes along with it.
TEST_F(Retention, KeysWrittenWithEscapesAreRead) {
    const int64_t old = now - 3 * kDay;
    const std::string child = body("app", "platform image", old);
    store.put_tag(
        "app", "multi",
        body("app", "{\"schemaVersion\":2,\"manifest\\u0073\":[" + descriptor(child) + "]}", old),
        now);
    const std::string kept = body("app", "image that stays", old);
    store.put_tag("app", "v1", kept, now);
    const std::string gone = body("app", "image that goes", old);
    const auto signature = [&](const std::string &subject) {
        return body(
            "app",
            "{\"schemaVersion\":2,\"\\u0073ubject\":{\"digest\":\"" + digest_of(subject) + "\"}}",
            old);
    };
    const std::string kept_sig = signature(kept), gone_sig = signature(gone);
    Report r(run(0, {0, 0, 0, 1}));
    EXPECT_EQ(r.num("manifests_deleted"), 1);
    for (const std::string &hex : {child, kept_sig})
        EXPECT_TRUE(exists(store.body_path("app", hex))) << hex;
    for (const std::string &hex : {gone, gone_sig})
        EXPECT_FALSE(exists(store.body_path("app", hex))) << hex;
}

// A manifest the untagged rule selected, then claimed while the pass runs (a tag pushed, an
// index pushed that lists it, the manifest pushed again by digest), stays whole and is not
// reported: claimed before the deletion starts, or after its files were moved aside.
TEST_F(Retention, AnUntaggedManifestClaimedDuringThePassStays) {
    static std::string hex, root;
    root = store.root();
    struct Case {
        const char *what;
        void (**hook)();
        void (*claim)();
    };
    const auto put = [](const std::string &ref, const std::string &text) {
        char out[80];
        EXPECT_EQ(reg_manifest_put("app", ref.c_str(), text.data(), text.size(), nullptr, out), 0)
            << reg_storage_last_error();
    };
    static void (*push)(const std::string &, const std::string &) = put;
    static std::string image;
    void (**selected)() = &reg::retention_selected_hook;
    void (**aside)() = &reg::manifest_set_aside_hook;
    const std::vector<Case> cases = {
        {"tagged", selected, [] { push("new", image); }},
        {"listed by an index", selected, [] { push("multi", index_json({hex})); }},
        {"pushed again by digest", selected, [] { push("sha256:" + hex, image); }},
        {"tagged once set aside", aside, [] { push("new", image); }},
        {"pushed by digest once set aside", aside, [] { push("sha256:" + hex, image); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(store.root() + "/repositories");
        image = image_json(put_blob(root, "config"), {put_blob(root, c.what)});
        hex = sha256_hex(image);
        put("sha256:" + hex, image);
        set_mtime(store.body_path("app", hex), now - 2 * kDay);
        char pushed_type[128] = "", digest0[80];
        ASSERT_NE(reg_manifest_get("app", ("sha256:" + hex).c_str(), pushed_type, digest0),
                  nullptr);
        *c.hook = c.claim;
        Report r(run(0, {0, 0, 0, 1}));
        *c.hook = nullptr;
        EXPECT_EQ(r.num("manifests_deleted"), 0);
        char type[128] = "", digest[80];
        EXPECT_NE(reg_manifest_get("app", ("sha256:" + hex).c_str(), type, digest), nullptr)
            << reg_storage_last_error();
        EXPECT_STREQ(type, pushed_type);
    }
}

// Older versions left a deleted tag's directories behind: a real pass removes them once they
// have lain empty past the upload window, and a repository with nothing else in it.
TEST_F(Retention, ARealPassRemovesWhatOlderDeletionsLeftBehind) {
    push("app", "kept", now, 1);
    for (const std::string &repo : {std::string("app"), std::string("empty")}) {
        make_dirs(store.tag_dir(repo, "old") + "/current");
        set_mtime(store.tag_dir(repo, "old") + "/current", now - kDay);
        set_mtime(store.tag_dir(repo, "old"), now - kDay);
    }
    make_dirs(store.tag_dir("app", "young") + "/current");  // a push may be making it now
    run(1, 0, 0, 0);
    EXPECT_TRUE(exists(store.tag_dir("app", "old")));  // a dry run changes nothing
    Report r(run(0, 0, 0, 0));
    EXPECT_EQ(r.num("repos_scanned"), 2);
    EXPECT_FALSE(exists(store.tag_dir("app", "old")));
    EXPECT_TRUE(exists(store.tag_dir("app", "young")));
    EXPECT_FALSE(exists(store.repo_dir("empty")));
    EXPECT_TRUE(resolves("app", "kept"));
}

}  // namespace
