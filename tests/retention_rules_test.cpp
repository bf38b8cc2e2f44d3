// Retention rules over one store: a repository is governed by its first matching rule, and a
// considered tag is deleted only when no keep clause keeps it; a manifest goes only when no
// kept tag names it. Immutable tags are never pushed over, deleted or selected.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "frontend/config_rules.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "storage/tag_rules.h"
#include "support/blob_files.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr int64_t kDay = 86400;
using Names = std::vector<std::string>;

// "repository:tag" of each deleted entry (with "#rule" when asked), sorted.
Names deleted_of(const std::string &report, bool with_rule = false) {
    Names out;
    yyjson_doc *doc = yyjson_read(report.data(), report.size(), 0);
    yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc), "deleted");
    size_t i, n;
    yyjson_val *e;
    yyjson_arr_foreach(list, i, n, e) {
        std::string one = std::string(yyjson_get_str(yyjson_obj_get(e, "repository"))) + ":" +
                          yyjson_get_str(yyjson_obj_get(e, "tag"));
        if (with_rule) one += "#" + std::to_string(yyjson_get_sint(yyjson_obj_get(e, "rule")));
        out.push_back(one);
    }
    yyjson_doc_free(doc);
    std::sort(out.begin(), out.end());
    return out;
}

int64_t mtime_of(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

class RetentionRules : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(store.root().c_str()), 0) << reg_storage_last_error();
        // team/app: release tags, CI tags, a PR tag sharing its manifest with an old alias,
        // "latest", and an old tag whose manifest production pulled yesterday.
        push("team/app", "v1.0.0", 40, 1);
        push("team/app", "v1.1.0", 30, 2);
        push("team/app", "main-a", 20, 3);
        push("team/app", "main-b", 10, 4);
        push("team/app", "pr-1", 5, 5);
        push("team/app", "pr-2", 2, 6);
        push("team/app", "alias", 50, 6);
        push("team/app", "latest", 60, 7);
        push("team/app", "pulled", 45, 8);
        reg_manifest_pulled("team/app", digest_of(test_hex(8)).c_str());
        push("team/sub/deep", "x", 100, 9);
        push("sandbox/x", "a", 10, 10);
        push("sandbox/x", "b", 3, 11);
        push("other", "t", 100, 12);
    }
    void TearDown() override {
        reg_set_immutable_tags(nullptr, 0);
        reg_storage_cleanup();
    }

    void push(const std::string &repo, const std::string &tag, int64_t days_ago, unsigned n) {
        store.put_manifest(repo, test_hex(n), "manifest " + std::to_string(n));
        store.put_tag(repo, tag, test_hex(n), now - days_ago * kDay - 100);
    }

    // The pass with the rules of a config.json text.
    std::string run(int dry_run, const std::string &config) {
        const qv::frontend::ConfigRules rules(config);
        EXPECT_EQ(rules.policies_error(), "");
        const char *report =
            reg_retention_rules_json(dry_run, rules.rules(), rules.rule_count(), nullptr);
        return report != nullptr ? report : "ERROR: " + std::string(reg_storage_last_error());
    }

    TempDir t;
    StoreLayout store{t / "store"};
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
};

TEST_F(RetentionRules, ATagGoesOnlyWhenNoKeepClauseKeepsIt) {
    const Names team_all = {"team/app:alias",  "team/app:main-a", "team/app:main-b",
                            "team/app:pr-1",   "team/app:pr-2",   "team/app:pulled",
                            "team/app:v1.0.0", "team/app:v1.1.0"};
    const auto team_but = [&](const Names &kept) {
        Names out;
        for (const std::string &n : team_all)
            if (std::find(kept.begin(), kept.end(), n.substr(9)) == kept.end()) out.push_back(n);
        return out;
    };
    struct Case {
        const char *what;
        std::string rules;
        Names deleted;
    };
    const std::vector<Case> cases = {
        {"no keep clause: every considered tag but latest", R"({"repositories":"team/app"})",
         team_all},
        {"keep_n", R"({"repositories":"team/app","keep_n":2})", team_but({"pr-2", "pr-1"})},
        {"keep_days", R"({"repositories":"team/app","keep_days":15})",
         team_but({"pr-2", "pr-1", "main-b"})},
        {"keep_tags, whole tag", R"({"repositories":"team/app","keep_tags":"v\\d+\\.\\d+\\.\\d+"})",
         team_but({"v1.0.0", "v1.1.0"})},
        {"keep_tags does not match part of a tag",
         R"({"repositories":"team/app","keep_tags":"v1"})", team_all},
        {"keep_pulled_days", R"({"repositories":"team/app","keep_pulled_days":7})",
         team_but({"pulled"})},
        {"their union, latest unprotected",
         R"({"repositories":"team/app","keep_n":1,"keep_tags":"v.*","keep_pulled_days":7,)"
         R"("protect_latest":false})",
         Names{"team/app:alias", "team/app:latest", "team/app:main-a", "team/app:main-b",
               "team/app:pr-1"}},
        {"match_tags limits what is considered, and what keep_n counts",
         R"({"repositories":"team/app","match_tags":"main-.*","keep_n":1})",
         Names{"team/app:main-a"}},
        {"'*' stays within a component, '**' crosses them",
         R"({"repositories":"team/*"},{"repositories":"**","keep_n":1})",
         team_but({"latest"}) /* and sandbox/x:a, below */},
        {"the first matching rule governs; unmatched repositories are left alone",
         R"({"repositories":["sandbox/*"],"keep_days":7},)"
         R"({"repositories":["team/**","sandbox/**"],"keep_n":100})",
         Names{"sandbox/x:a"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Names expected = c.deleted;
        if (c.rules.find("\"**\"") != std::string::npos) expected.push_back("sandbox/x:a");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(deleted_of(run(1, R"({"registry_retention_policies":[)" + c.rules + "]}")),
                  expected);
    }
}

TEST_F(RetentionRules, TheRealPassDeletesWhatTheDryRunSaidAndKeptTagsKeepManifests) {
    const std::string config =
        R"({"registry_retention_policies":[{"repositories":"team/**","keep_n":1},)"
        R"({"repositories":"sandbox/*","keep_days":7}]})";
    const std::string dry = run(1, config);
    const Names expected = deleted_of(dry, true);
    EXPECT_EQ(std::count_if(expected.begin(), expected.end(),
                            [](const std::string &n) { return n.ends_with("#1"); }),
              1);  // sandbox/x:a, under the second rule
    const std::string real = run(0, config);
    EXPECT_EQ(deleted_of(real, true), expected);
    EXPECT_NE(real.find(R"("rules":[{"rule":0,"repositories":["team/**"],"repos_scanned":2,)"
                        R"("tags_total":10,"tags_deleted":7,"manifests_deleted":0},)"),
              std::string::npos)
        << real;
    // alias went, but pr-2, kept, names the same manifest: it stays for both.
    EXPECT_FALSE(exists(store.tag_link("team/app", "alias")));
    EXPECT_TRUE(exists(store.body_path("team/app", test_hex(6))));
    EXPECT_FALSE(exists(store.body_path("team/app", test_hex(1))));
    EXPECT_TRUE(exists(store.tag_link("other", "t")));  // no rule governs it
}

TEST_F(RetentionRules, ImmutableTagsAreNeverPushedOverDeletedOrSelected) {
    const qv::frontend::ConfigRules config(
        R"({"registry_immutable_tags":[{"repositories":"team/*","tags":"v\\d+\\.\\d+\\.\\d+"}]})");
    ASSERT_EQ(config.immutable_error(), "");
    ASSERT_EQ(reg_set_immutable_tags(config.immutable(), config.immutable_count()), 0);
    EXPECT_EQ(deleted_of(run(1, R"({"registry_retention_policies":[{"repositories":"**"}]})")),
              (Names{"other:t", "sandbox/x:a", "sandbox/x:b", "team/app:alias", "team/app:main-a",
                     "team/app:main-b", "team/app:pr-1", "team/app:pr-2", "team/app:pulled",
                     "team/sub/deep:x"}));
    const std::string image =
        image_json(put_blob(store.root(), "config"), {put_blob(store.root(), "layer")});
    char digest[72];
    const std::string same = digest_of(test_hex(1));
    struct Refusal {
        const char *what;
        int rc;
    };
    const std::vector<Refusal> refused = {
        {"a push of another manifest",
         reg_manifest_put("team/app", "v1.0.0", image.data(), image.size(), nullptr, digest)},
        {"the same under another spelling of the name",
         reg_manifest_put("team/./app", "v1.0.0", image.data(), image.size(), nullptr, digest)},
        {"a tag deletion", reg_manifest_delete("team/app", "v1.1.0")},
        {"a tag deletion by another spelling", reg_manifest_delete("team//app", "v1.1.0")},
        {"a deletion of the manifest it names", reg_manifest_delete("team/app", same.c_str())},
        {"the repository's deletion", reg_repository_delete("team/app")},
        {"the repository's deletion by another spelling", reg_repository_delete("team/./app")},
    };
    for (const Refusal &r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.rc, -1);
    }
    EXPECT_TRUE(exists(store.tag_link("team/app", "v1.0.0")));
    EXPECT_EQ(read_text(store.tag_link("team/app", "v1.0.0")), same);
    // A first push of a protected tag, and the same manifest again, are answered as ever.
    EXPECT_EQ(reg_manifest_put("team/app", "v2.0.0", image.data(), image.size(), nullptr, digest),
              0)
        << reg_storage_last_error();
    EXPECT_EQ(reg_manifest_put("team/app", "v2.0.0", image.data(), image.size(), nullptr, digest),
              0)
        << reg_storage_last_error();
    EXPECT_EQ(
        reg_manifest_put("team/app", "v2.0.0-rc", image.data(), image.size(), nullptr, digest), 0);
    EXPECT_EQ(reg_manifest_delete("team/app", "v2.0.0-rc"), 0);  // not matched whole

    // Of two first pushes of a tag at once, the one that places it first wins.
    static std::string other;
    other = image_json(put_blob(store.root(), "config"), {put_blob(store.root(), "other")});
    reg::put_checked_hook = [] {
        reg::put_checked_hook = nullptr;
        char d[72];
        EXPECT_EQ(reg_manifest_put("team/app", "v3.0.0", other.data(), other.size(), nullptr, d),
                  0);
    };
    EXPECT_EQ(reg_manifest_put("team/app", "v3.0.0", image.data(), image.size(), nullptr, digest),
              -1);
    EXPECT_STREQ(reg_storage_last_error(), "DENIED: tag v3.0.0 is immutable");
    EXPECT_EQ(read_text(store.tag_link("team/app", "v3.0.0")), "sha256:" + sha256_hex(other));
}

// Globs: '*' within a component, '**' across them, matched in time linear in each however
// many stars a pattern has; the report names each rule's globs.
TEST_F(RetentionRules, GlobsMatchComponentsAndStayFast) {
    struct Case {
        const char *glob;
        std::string name;
        bool match;
    };
    const std::vector<Case> cases = {
        {"team/*", "team/app", true},
        {"team/*", "team/app/cache", false},
        {"team/**", "team/app/cache", true},
        {"team/**", "team", false},
        {"a/**/b", "a/b", true},
        {"a/**/b", "a/x/y/b", true},
        {"*", "app", true},
        {"*", "team/app", false},
        {"*a*a*a*a*a*a*a*a*b", std::string(250, 'a'), false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(reg::glob_match(c.glob, c.name), c.match) << c.glob << " " << c.name;
    EXPECT_NE(run(1, R"({"registry_retention_policies":[{"repositories":"*"}]})")
                  .find(R"("rules":[{"rule":0,"repositories":["*"],"repos_scanned":1,)"),
              std::string::npos);
}

// A pull is recorded at most once an hour, however many processes pull at once; the record
// goes with its manifest, and a manifest that is gone gets none.
TEST_F(RetentionRules, PullsAreRecordedAtMostOnceAnHour) {
    const std::string digest = digest_of(test_hex(1));
    const std::string record = store.rev_dir("team/app", test_hex(1)) + "/pulled";
    const auto pull_at_once = [&] {
        std::vector<pid_t> children;
        for (int c = 0; c < 4; ++c) {
            const pid_t pid = fork();
            if (pid == 0) {
                for (int i = 0; i < 200; ++i)
                    reg_manifest_pulled("team/app", digest.c_str());
                _exit(0);
            }
            children.push_back(pid);
        }
        for (const pid_t pid : children)
            waitpid(pid, nullptr, 0);
    };
    pull_at_once();
    EXPECT_GE(mtime_of(record), now);
    set_mtime(record, now - 3000);
    pull_at_once();
    EXPECT_EQ(mtime_of(record), now - 3000);  // younger than an hour: not written again
    set_mtime(record, now - 3700);
    pull_at_once();
    EXPECT_GE(mtime_of(record), now);
    ASSERT_EQ(reg_manifest_delete("team/app", "v1.0.0"), 0) << reg_storage_last_error();
    EXPECT_FALSE(exists(store.rev_dir("team/app", test_hex(1))));
    reg_manifest_pulled("team/app", digest.c_str());
    EXPECT_FALSE(exists(store.rev_dir("team/app", test_hex(1))));
}

// Every way a config can be unusable names the rule and key; none runs part of a policy.
TEST(ConfigRules, UnusableRulesSayWhy) {
    struct Case {
        std::string config;
        const char *why;
    };
    const std::vector<Case> cases = {
        {R"({"registry_retention_policies":[{"repositories":"a/*",)", "config.json does not parse"},
        {R"({"registry_retention_policies":{}})", "registry_retention_policies: must be an array"},
        {R"({"registry_retention_policies":[{"repositories":"a"},{"repositories":"b","keep_last":3}]})",
         "retention rule 1: unknown key \"keep_last\""},
        {R"({"registry_retention_policies":[{"keep_n":3}]})",
         "retention rule 0: repositories: required"},
        {R"({"registry_retention_policies":[{"repositories":[],"keep_n":3}]})",
         "retention rule 0: repositories: must be a glob or an array of globs, none empty"},
        {R"({"registry_retention_policies":[{"repositories":"a","keep_n":-1}]})",
         "retention rule 0: keep_n: must be a whole number of 0 or more"},
        {R"({"registry_retention_policies":[{"repositories":"a","keep_days":"7"}]})",
         "retention rule 0: keep_days: must be a whole number of 0 or more"},
        {R"({"registry_retention_policies":[{"repositories":"a","protect_latest":1}]})",
         "retention rule 0: protect_latest: must be true or false"},
        {R"({"registry_retention_policies":[{"repositories":"a","keep_tags":7}]})",
         "retention rule 0: keep_tags: must be a string"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.config);
        const qv::frontend::ConfigRules rules(c.config);
        EXPECT_TRUE(rules.policies_error().starts_with(c.why)) << rules.policies_error();
        EXPECT_EQ(rules.rule_count(), 0u);
    }
    // A pattern that does not compile is found by the engine, before anything is looked at.
    const qv::frontend::ConfigRules bad(
        R"({"registry_retention_policies":[{"repositories":"a"},{"repositories":"b","match_tags":"(v"}]})");
    ASSERT_EQ(bad.policies_error(), "");
    EXPECT_EQ(reg_retention_rules_json(1, bad.rules(), bad.rule_count(), nullptr), nullptr);
    EXPECT_TRUE(std::string(reg_storage_last_error()).starts_with("retention rule 1: match_tags: "))
        << reg_storage_last_error();
    // Globs the report could not hold are refused before anything is looked at.
    const std::string many = std::string(R"({"registry_retention_policies":[{"repositories":[")") +
                             std::string(70000, 'a') + R"("]}]})";
    const qv::frontend::ConfigRules huge(many);
    EXPECT_EQ(reg_retention_rules_json(0, huge.rules(), huge.rule_count(), nullptr), nullptr);
    EXPECT_TRUE(
        std::string(reg_storage_last_error()).starts_with("retention rule 0: repositories: "));
    const qv::frontend::ConfigRules immutable(
        R"({"registry_immutable_tags":[{"repositories":"a","tag":"v.*"}]})");
    EXPECT_EQ(immutable.immutable_error(), "immutable tags 0: unknown key \"tag\"");
}

}  // namespace
