// Tag lists, the catalog and the statistics report on real storage trees: order, pages, the
// page outputs on every path, escaping, and documents that would not fit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr const char kNotReady[] = "not initialized - call reg_storage_init first";

class Listings : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(store.root().c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    void tags(const std::string &repo, const std::vector<std::string> &names) {
        unsigned n = 0;
        for (const auto &tag : names)
            store.put_tag(repo, tag, test_hex(++n), 1000);
    }
    // The document, or "ERROR: <message>"; the outputs are primed so a reset shows.
    std::string tag_page(const char *repo, int n, const char *last, size_t last_size = 64) {
        more = 7;
        last_out = "primed";
        last_out.resize(64, '\0');
        const char *doc = reg_tags_list_json_page(repo, n, last, &more, last_out.data(), last_size);
        last_out = last_out.c_str();
        return doc != nullptr ? doc : "ERROR: " + std::string(reg_storage_last_error());
    }
    std::string catalog_page(int n, const char *last) {
        more = 7;
        last_out = "primed";
        last_out.resize(64, '\0');
        const char *doc = reg_catalog_json_page(n, last, &more, last_out.data(), 64);
        last_out = last_out.c_str();
        return doc != nullptr ? doc : "ERROR: " + std::string(reg_storage_last_error());
    }

    TempDir t;
    StoreLayout store{t / "store"};
    int more = 7;
    std::string last_out;
};

TEST_F(Listings, TagsSortByBytes) {
    tags("app", {"1.9", "latest", "1.0", "Zeta", "1.10"});
    EXPECT_EQ(std::string(reg_tags_list_json("app")),
              R"({"name":"app","tags":["1.0","1.10","1.9","Zeta","latest"]})");
}

TEST_F(Listings, TagPages) {
    tags("app", {"gamma", "alpha", "beta"});
    struct Case {
        int n;
        const char *last;
        size_t last_size;
        const char *doc_tags;
        int more;
        const char *last_out;
    } cases[] = {
        {2, nullptr, 64, R"("alpha","beta")", 1, "beta"},
        {2, "beta", 64, R"("gamma")", 0, "gamma"},
        {2, "", 64, R"("alpha","beta")", 1, "beta"},
        {1, "delta", 64, R"("gamma")", 0, "gamma"},
        {5, "zzz", 64, "", 0, ""},
        {0, nullptr, 64, R"("alpha","beta","gamma")", 0, "gamma"},
        {-3, "alpha", 64, R"("beta","gamma")", 0, "gamma"},
        {3, nullptr, 1, R"("alpha","beta","gamma")", 0, ""},
        {3, nullptr, 3, R"("alpha","beta","gamma")", 0, "ga"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " after " + (c.last ? c.last : "(null)"));
        EXPECT_EQ(tag_page("app", c.n, c.last, c.last_size),
                  std::string(R"({"name":"app","tags":[)") + c.doc_tags + "]}");
        EXPECT_EQ(more, c.more);
        EXPECT_EQ(last_out, c.last_out);
    }
}

TEST_F(Listings, WhatCountsAsATagAndHowNamesAreWritten) {
    tags("app", {"ok", "quote\"and\\slash"});
    store.put_tag_raw("app", "garbage", "not a digest", 1000);
    make_dirs(store.tag_dir("app", "nolink") + "/current");
    write_text(store.tags_dir("app") + "/plainfile", "x");
    EXPECT_EQ(std::string(reg_tags_list_json("app")),
              R"({"name":"app","tags":["garbage","ok","quote\"and\\slash"]})");

    tags("team\\app", {"v1"});
    EXPECT_EQ(std::string(reg_tags_list_json("team\\app")),
              R"({"name":"team\\app","tags":["v1"]})");
    // A repository that does not exist lists no tags; it is not an error.
    EXPECT_EQ(std::string(reg_tags_list_json("no/such")), R"({"name":"no/such","tags":[]})");
}

TEST_F(Listings, FailuresResetTheOutputs) {
    EXPECT_EQ(tag_page(nullptr, 1, nullptr), "ERROR: repo_name is NULL");
    EXPECT_EQ(more, 0);
    EXPECT_EQ(last_out, "");
    EXPECT_EQ(tag_page("", 1, nullptr), "ERROR: invalid repository name");
    EXPECT_EQ(tag_page("a/../b", 1, nullptr), "ERROR: invalid repository name");
    EXPECT_EQ(tag_page("a b", 1, nullptr), "ERROR: invalid repository name");
    EXPECT_EQ(more, 0);
    EXPECT_EQ(last_out, "");

    reg_storage_cleanup();
    EXPECT_EQ(tag_page("app", 1, nullptr), std::string("ERROR: ") + kNotReady);
    EXPECT_EQ(catalog_page(1, nullptr), std::string("ERROR: ") + kNotReady);
    EXPECT_EQ(more, 0);
    EXPECT_EQ(last_out, "");
    EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
    EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

TEST_F(Listings, CatalogSortsAndPages) {
    EXPECT_EQ(std::string(reg_catalog_json(0, nullptr)), R"({"repositories":[]})");
    for (const char *repo : {"web", "team/app", "team", "Alpha", "team/app/sub"})
        store.make_repo(repo);
    make_dirs(store.root() + "/repositories/not_a_repo/deeper");
    EXPECT_EQ(std::string(reg_catalog_json(0, nullptr)),
              R"({"repositories":["Alpha","team","team/app","team/app/sub","web"]})");
    EXPECT_EQ(catalog_page(2, "team"), R"({"repositories":["team/app","team/app/sub"]})");
    EXPECT_EQ(more, 1);
    EXPECT_EQ(last_out, "team/app/sub");
    EXPECT_EQ(catalog_page(2, "team/app/sub"), R"({"repositories":["web"]})");
    EXPECT_EQ(more, 0);
    EXPECT_EQ(catalog_page(2, "zzz"), R"({"repositories":[]})");
    EXPECT_EQ(last_out, "");
}

// Names that escape six-fold can outgrow the result buffer: the catalog then fails whole
// rather than handing back a cut or invalid document.
TEST_F(Listings, ACatalogThatDoesNotFitFails) {
    const std::string component(250, '\x01');
    for (int i = 0; i < 260; ++i) {
        const std::string name = std::to_string(i) + component + "/" + component + "/" + component;
        store.make_repo(name);
    }
    const std::string whole = catalog_page(0, nullptr);
    EXPECT_EQ(whole.substr(0, 80), "ERROR: listing too large for the result buffer (1 MiB)");
    EXPECT_EQ(more, 0);
    EXPECT_EQ(last_out, "");
    // A page of them fits.
    const std::string page = catalog_page(10, nullptr);
    EXPECT_EQ(page.rfind(R"({"repositories":["0\u0001)", 0), 0u) << page.substr(0, 40);
    EXPECT_EQ(page.substr(page.size() - 3), "\"]}");
}

TEST_F(Listings, Statistics) {
    EXPECT_EQ(std::string(reg_storage_get_stats_json()),
              R"({"version":"1.9.0","repositories":0,"tags":0,"blobs":0,"blob_bytes":0,)"
              R"("active_uploads":0,"upload_bytes":0})");
    tags("app", {"a", "b"});
    tags("team/web", {"c"});
    store.put_tag_raw("team/web", "garbage", "??", 1000);
    make_dirs(store.tag_dir("team/web", "nolink"));
    write_text(store.root() + "/blobs/sha256/ab/" + std::string(64, 'a'), "12345");
    write_text(store.root() + "/blobs/sha256/ab/stray", "1");  // names are not examined
    write_text(store.root() + "/blobs/sha256/loose", "not in a fan-out directory");
    write_text(store.root() + "/uploads/x.part", "123");
    write_text(store.root() + "/uploads/stray.txt", "1234567");
    make_dirs(store.root() + "/uploads/dir.part");
    EXPECT_EQ(std::string(reg_storage_get_stats_json()),
              R"({"version":"1.9.0","repositories":2,"tags":4,"blobs":2,"blob_bytes":6,)"
              R"("active_uploads":2,"upload_bytes":10})");
}

}  // namespace
