// The retention program at its process boundary: environment and working directory in,
// exact bytes and exit status out, files on disk and the access-log line afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "platform/os.h"
#include "support/child.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr char kRegistryHead[] =
    "Docker-Distribution-API-Version: registry/2.0\r\n"
    "Content-Type: application/json; charset=utf-8\r\n\r\n";

// A working directory with a storage root below it.
struct Site {
    TempDir dir;
    std::string root() const { return dir / "store"; }
    StoreLayout layout() const { return StoreLayout(root()); }
};

struct Request {
    std::optional<std::string> method = "POST";
    std::optional<std::string> query;
    std::map<std::string, std::string> env;
    bool with_root = true;
};

ChildResult call(const Site &site, const Request &req) {
    ChildSetup setup;
    setup.cwd = site.dir.path();
    setup.env = req.env;
    if (req.method) setup.env["REQUEST_METHOD"] = *req.method;
    if (req.query) setup.env["QUERY_STRING"] = *req.query;
    if (req.with_root) setup.env["REGISTRY_STORAGE_ROOT"] = site.root();
    return run_program(QV_RETENTION_BIN, setup);
}

std::string body_of(const ChildResult &r) {
    const auto end = r.out.find("\r\n\r\n");
    return end == std::string::npos ? "" : r.out.substr(end + 4);
}

// The report's fields before the list, e.g. "\"keep_n\":5".
bool has(const ChildResult &r, const std::string &field) {
    return body_of(r).find(field) != std::string::npos;
}

const int64_t kNow = qv::os::unix_now();

// One repository, three tags a day apart (and a few hours, so no boundary is near).
void three_tags(const StoreLayout &s) {
    s.put_manifest("team/app", test_hex(1), "{\"n\":1}");
    s.put_manifest("team/app", test_hex(2), "{\"n\":2}");
    s.put_manifest("team/app", test_hex(3), "{\"n\":3}");
    s.put_tag("team/app", "new", test_hex(1), kNow - 1 * 86400 - 3600);
    s.put_tag("team/app", "mid", test_hex(2), kNow - 2 * 86400 - 3600);
    s.put_tag("team/app", "old", test_hex(3), kNow - 3 * 86400 - 3600);
}

}  // namespace

TEST(RetentionEndpoint, RefusesEveryMethodButPostBeforeTouchingStorage) {
    const std::string expected = std::string("Status: 405\r\n") + kRegistryHead +
                                 "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"Method "
                                 "not allowed for retention endpoint\"}]}\n";
    for (std::optional<std::string> method :
         {std::optional<std::string>("GET"), std::optional<std::string>("HEAD"),
          std::optional<std::string>("post"), std::optional<std::string>("POSTX"),
          std::optional<std::string>(""), std::optional<std::string>()}) {
        Site site;
        Request req;
        req.method = method;
        req.with_root = false;  // the default root below the working directory
        const ChildResult r = call(site, req);
        SCOPED_TRACE(method.value_or("(unset)"));
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(tree_listing(site.dir.path()), "");  // no storage tree, no log
    }
}

TEST(RetentionEndpoint, UnusableRootAnswers500) {
    Site site;
    write_text(site.dir / "blocker", "a file where a directory must go");
    Request req;
    req.with_root = false;
    req.env["REGISTRY_STORAGE_ROOT"] = site.dir / "blocker/store";
    const ChildResult r = call(site, req);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("Status: 500\r\n") + kRegistryHead +
                         "{\"errors\":[{\"code\":\"STORAGE_ERROR\",\"message\":\"Failed to "
                         "initialize registry storage\"}]}\n");
}

TEST(RetentionEndpoint, DryRunAnswersTheExactReportAndLogsTheRequest) {
    Site site;
    three_tags(site.layout());
    const std::string before = tree_listing(site.root() + "/repositories");

    Request req;
    req.query = "dry_run=1&keep_n=2";
    const ChildResult r = call(site, req);
    const std::string report =
        "{\"dry_run\":true,\"keep_n\":2,\"days\":0,\"include_latest\":false,\"repos_scanned\":1,"
        "\"tags_total\":3,\"tags_deleted\":1,\"tags_kept\":2,\"latest_protected\":0,\"deleted\":"
        "[{\"repository\":\"team/app\",\"tag\":\"old\",\"digest\":\"" +
        digest_of(test_hex(3)) + "\",\"age_days\":3}]}";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("Status: 200\r\n") + kRegistryHead + report + "\n");

    // Nothing deleted; the access log holds one line for this request.
    const std::string log = read_text(site.root() + "/registry_access.log");
    EXPECT_EQ(tree_listing(site.root() + "/repositories"), before);
    const std::string prefix = "POST / " + std::to_string(report.size() + 1) + " 200 anonymous ";
    EXPECT_EQ(log.compare(0, prefix.size(), prefix), 0) << log;
    EXPECT_NE(log.find("\"method\":\"POST\",\"path\":\"/\",\"status\":200,\"bytes\":" +
                       std::to_string(report.size() + 1) + ",\"actor\":\"anonymous\"}\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}

TEST(RetentionEndpoint, RealRunDeletesWhatThePolicySelects) {
    Site site;
    const StoreLayout s = site.layout();
    three_tags(s);
    Request req;
    req.query = "keep_n=1&days=0";
    const ChildResult r = call(site, req);
    EXPECT_TRUE(has(r,
                    "\"dry_run\":false,\"keep_n\":1,\"days\":0,\"include_latest\":false,"
                    "\"repos_scanned\":1,\"tags_total\":3,\"tags_deleted\":2,\"tags_kept\":1"))
        << r.out;
    EXPECT_TRUE(exists(s.tag_link("team/app", "new")));
    EXPECT_FALSE(exists(s.tag_link("team/app", "mid")));
    EXPECT_FALSE(exists(s.tag_link("team/app", "old")));
    EXPECT_TRUE(exists(s.body_path("team/app", test_hex(1))));
    EXPECT_FALSE(exists(s.body_path("team/app", test_hex(2))));
    EXPECT_FALSE(exists(s.body_path("team/app", test_hex(3))));
}

TEST(RetentionEndpoint, ANamedDryRunWithoutValueDeletesNothing) {
    // An operator who writes ?dry_run with a deleting policy must keep the store.
    for (const char *query : {"dry_run&keep_n=1", "keep_n=1&dry_run="}) {
        Site site;
        three_tags(site.layout());
        const std::string before = tree_listing(site.root() + "/repositories");
        Request req;
        req.query = query;
        const ChildResult r = call(site, req);
        EXPECT_TRUE(has(r, "\"dry_run\":true,\"keep_n\":1,")) << query << r.out;
        EXPECT_TRUE(has(r, "\"tags_deleted\":2,")) << query;
        EXPECT_EQ(tree_listing(site.root() + "/repositories"), before) << query;
    }
}

TEST(RetentionEndpoint, HugeCountsAreCappedNotWrapped) {
    // 4294967297 would wrap to 1 and delete all but one tag; capped it keeps everything.
    Site site;
    const StoreLayout s = site.layout();
    three_tags(s);
    const std::string before = tree_listing(site.root() + "/repositories");
    Request req;
    req.query = "keep_n=4294967297&days=99999999999999999999999999";
    const ChildResult r = call(site, req);
    EXPECT_TRUE(has(r, "\"dry_run\":false,\"keep_n\":2147483647,\"days\":2147483647,"));
    EXPECT_TRUE(has(r, "\"tags_deleted\":0,\"tags_kept\":3,"));
    EXPECT_EQ(tree_listing(site.root() + "/repositories"), before);
}

TEST(RetentionEndpoint, ParameterRules) {
    Site site;
    three_tags(site.layout());
    write_text(site.dir / "config.json",
               "{\"registry_retention_keep_n\": 7, \"registry_retention_days\": 9}");
    auto head_for = [&](std::optional<std::string> query,
                        std::map<std::string, std::string> env = {}) {
        Request req;
        req.query = std::move(query);
        req.env = std::move(env);
        const ChildResult r = call(site, req);
        EXPECT_EQ(r.status, 0);
        const std::string body = body_of(r);
        return body.substr(0, body.find(",\"repos_scanned\""));
    };
    // keep_n 7 keeps all three tags and days 9 selects none, so real passes change nothing.
    EXPECT_EQ(head_for("dry_run=0"),
              "{\"dry_run\":false,\"keep_n\":7,\"days\":9,\"include_latest\":false");
    // Named without a value is a dry run; the first of repeated parameters counts.
    const std::pair<const char *, bool> dry_runs[] = {
        {"dry_run", true},
        {"dry_run=", true},
        {"keep_n=1&dry_run", true},
        {"dry_run&dry_run=0", true},
        {"dry_run=0&dry_run", false},
        {"dry_run=false", false},
        {"dry_run=FALSE", true},
        {"dry_run=no", true},
        {"dry_run=00", true},
        {"dry_run=1", true},
        {"dry_runx&xdry_run=", false},
        {"", false},
        {"&&keep_n=7&", false},
    };
    for (const auto &[query, dry] : dry_runs)
        EXPECT_EQ(head_for(query).substr(0, 16), dry ? "{\"dry_run\":true," : "{\"dry_run\":false")
            << query;

    const std::string q = "dry_run=1&";
    EXPECT_NE(head_for(q + "keep_n=-3").find("\"keep_n\":7,"), std::string::npos);
    EXPECT_NE(head_for(q + "keep_n=5x").find("\"keep_n\":5,"), std::string::npos);
    EXPECT_NE(head_for(q + "keep_n=+5").find("\"keep_n\":7,"), std::string::npos);
    EXPECT_NE(head_for(q + "keep_n=%35").find("\"keep_n\":5,"), std::string::npos);
    EXPECT_NE(head_for(q + "days=0012").find("\"days\":12,"), std::string::npos);
    EXPECT_NE(head_for(q + "days=").find("\"days\":9,"), std::string::npos);
    const std::pair<const char *, bool> latest[] = {
        {"0", false},   {"false", false}, {"FALSE", false}, {"no", false}, {"No", false},
        {"off", false}, {"OFF", false},   {"", false},      {"1", true},   {"yes", true},
        {"true", true}, {"00", true},     {"nope", true},   {"of", true},  {"%4eO", false},
    };
    for (const auto &[value, on] : latest)
        EXPECT_NE(head_for(q + "include_latest=" + value)
                      .find(on ? "\"include_latest\":true" : "\"include_latest\":false"),
                  std::string::npos)
            << value;

    // Without any query string the parameters come from variables of the same name.
    EXPECT_NE(head_for(std::nullopt, {{"dry_run", "1"}}).find("\"dry_run\":true"),
              std::string::npos);
}

TEST(RetentionEndpoint, ConfiguredDefaults) {
    Site site;
    three_tags(site.layout());
    auto head_with_config = [&](const std::string &config) {
        write_text(site.dir / "config.json", config);
        Request req;
        req.query = "dry_run=1";
        const std::string body = body_of(call(site, req));
        return body.substr(0, body.find(",\"repos_scanned\""));
    };
    EXPECT_EQ(head_with_config("{}"),
              "{\"dry_run\":true,\"keep_n\":0,\"days\":0,\"include_latest\":false");
    EXPECT_EQ(head_with_config("{\"registry_retention_protect_latest\": false}"),
              "{\"dry_run\":true,\"keep_n\":0,\"days\":0,\"include_latest\":true");
    // A negative setting switches its rule off instead of losing its sign.
    EXPECT_EQ(
        head_with_config("{\"registry_retention_keep_n\": -4, \"registry_retention_days\": -30}"),
        "{\"dry_run\":true,\"keep_n\":0,\"days\":0,\"include_latest\":false");
    EXPECT_EQ(head_with_config("{\"registry_retention_keep_n\": 99999999999}"),
              "{\"dry_run\":true,\"keep_n\":2147483647,\"days\":0,\"include_latest\":false");
}
