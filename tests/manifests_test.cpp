// Manifest resolution, reading, tag and manifest deletion and repository deletion, on real
// storage trees.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/os.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "support/blob_files.h"
#include "support/digest_text.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

// Bodies are read back only when they hash to their names.
const std::string kHexA = sha256_hex("a");
const std::string kHexB = sha256_hex("b");
constexpr int64_t kTime = 1700000000;

class Manifests : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(store.root().c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    // Body of a successful get, or "ERROR: <message>".
    std::string get(const std::string &repo, const std::string &ref) {
        const char *body = reg_manifest_get(repo.c_str(), ref.c_str(), type, digest);
        return body != nullptr ? std::string(body)
                               : "ERROR: " + std::string(reg_storage_last_error());
    }
    std::string del(const std::string &repo, const std::string &ref) {
        return reg_manifest_delete(repo.c_str(), ref.c_str()) == 0
                   ? "ok"
                   : "ERROR: " + std::string(reg_storage_last_error());
    }
    std::string repo_del(const std::string &repo) {
        return reg_repo_delete(repo.c_str()) == 0
                   ? "ok"
                   : "ERROR: " + std::string(reg_storage_last_error());
    }

    TempDir t;
    StoreLayout store{t / "store"};
    char type[127] = "";
    char digest[72] = "";
};

TEST_F(Manifests, GetByTagAndDigestWithContentTypes) {
    store.put_manifest("team/app", kHexA, "a", "application/vnd.oci.image.manifest.v1+json");
    store.put_tag("team/app", "v1", kHexA, kTime);

    EXPECT_EQ(get("team/app", "v1"), "a");
    EXPECT_STREQ(type, "application/vnd.oci.image.manifest.v1+json");
    // A tag link missing for an instant (another host replacing it) is read again, not a 404.
    qv::os::inject_transient(ENOENT, 1, "link");
    EXPECT_EQ(get("team/app", "v1"), "a");
    qv::os::inject_transient(ENOENT, 2, "link");
    EXPECT_EQ(get("team/app", "v1"), "ERROR: tag not found: team/app:v1");
    qv::os::inject_transient(0, 0);
    EXPECT_EQ(digest, digest_of(kHexA));
    EXPECT_EQ(get("team/app", digest_of(kHexA)), "a");

    // No content-type file, an empty one, and one longer than the buffer.
    store.put_manifest("team/app", kHexB, "b", std::nullopt);
    EXPECT_EQ(get("team/app", digest_of(kHexB)), "b");
    EXPECT_STREQ(type, kDefaultManifestType);
    write_text(store.ct_path("team/app", kHexB), "");
    EXPECT_EQ(get("team/app", digest_of(kHexB)), "b");
    EXPECT_STREQ(type, kDefaultManifestType);
    const std::string long_type(200, 't');
    write_text(store.ct_path("team/app", kHexB), long_type);
    EXPECT_EQ(get("team/app", digest_of(kHexB)), "b");
    EXPECT_EQ(std::string(type), long_type.substr(0, 126));

    // Only the revision link left: the manifest resolves, its body does not read.
    const std::string hex_c = test_hex(0xc);
    write_text(store.rev_link("team/app", hex_c), digest_of(hex_c));
    EXPECT_EQ(get("team/app", digest_of(hex_c)),
              "ERROR: manifest body not found: team/app@" + digest_of(hex_c));
    // Only the body left: still present.
    const std::string hex_d = sha256_hex("d");
    write_text(store.body_path("team/app", hex_d), "d");
    EXPECT_EQ(get("team/app", digest_of(hex_d)), "d");
}

TEST_F(Manifests, ResolutionFailures) {
    store.put_manifest("app", kHexA, "a");
    std::string upper = digest_of(kHexA);
    upper[10] = 'A';
    EXPECT_EQ(get("app", upper), "ERROR: invalid digest reference");
    EXPECT_EQ(get("app", "sha256:abc"), "ERROR: invalid digest reference");
    EXPECT_EQ(get("app", digest_of(kHexB)), "ERROR: manifest not found: app@" + digest_of(kHexB));
    EXPECT_EQ(get("app", "nope"), "ERROR: tag not found: app:nope");

    // A digest with a line end, or with anything hidden behind a NUL, is not a tag link.
    store.put_tag_raw("app", "lf", digest_of(kHexA) + "\n", kTime);
    EXPECT_EQ(get("app", "lf"), "ERROR: corrupt tag link: app:lf");
    store.put_tag_raw("app", "nul", digest_of(kHexA) + std::string(1, '\0') + "x", kTime);
    EXPECT_EQ(get("app", "nul"), "ERROR: corrupt tag link: app:nul");
    store.put_tag_raw("app", "short", "sha256:", kTime);
    EXPECT_EQ(get("app", "short"), "ERROR: corrupt tag link: app:short");

    EXPECT_EQ(get("", "v1"), "ERROR: invalid repository name");
    EXPECT_EQ(get("a/../b", "v1"), "ERROR: invalid repository name");
    EXPECT_EQ(reg_manifest_get("app", "v1", nullptr, digest), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    EXPECT_EQ(del("app", "lf"), "ERROR: corrupt tag link: app:lf");
    EXPECT_EQ(reg_manifest_delete(nullptr, "v1"), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");

    reg_storage_cleanup();
    const std::string not_ready = "ERROR: not initialized - call reg_storage_init first";
    EXPECT_EQ(get("app", "v1"), not_ready);
    EXPECT_EQ(del("app", "v1"), not_ready);
    EXPECT_EQ(repo_del("app"), not_ready);
    // Pointers are checked before the ready flag.
    EXPECT_EQ(reg_manifest_delete("app", nullptr), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
}

TEST_F(Manifests, SharedManifestGoesWithItsLastTag) {
    store.put_manifest("app", kHexA, "a");
    store.put_tag("app", "a", kHexA, kTime);
    store.put_tag("app", "b", kHexA, kTime);

    EXPECT_EQ(del("app", "a"), "ok");
    EXPECT_FALSE(exists(store.tag_dir("app", "a")));  // no directory of it left behind
    EXPECT_EQ(get("app", "a"), "ERROR: tag not found: app:a");
    EXPECT_EQ(get("app", "b"), "a");
    EXPECT_TRUE(exists(store.ct_path("app", kHexA)));

    EXPECT_EQ(del("app", "b"), "ok");
    EXPECT_FALSE(exists(store.body_path("app", kHexA)));
    EXPECT_FALSE(exists(store.ct_path("app", kHexA)));
    EXPECT_FALSE(exists(store.rev_link("app", kHexA)));
    EXPECT_FALSE(exists(store.repo_dir("app")));  // nothing left in it: the repository goes

    // A missing tag fails and changes nothing.
    const std::string before = tree_listing(t.path());
    EXPECT_EQ(del("app", "gone"), "ERROR: tag not found: app:gone");
    EXPECT_EQ(tree_listing(t.path()), before);
}

TEST_F(Manifests, DigestDeletionTakesEveryTagNamingIt) {
    store.put_manifest("app", kHexA, "a");
    store.put_manifest("app", kHexB, "b");
    store.put_tag("app", "a1", kHexA, kTime);
    store.put_tag("app", "a2", kHexA, kTime);
    store.put_tag_raw("app", "a-lf", digest_of(kHexA) + "\n", kTime);  // only 71 bytes compared
    store.put_tag("app", "b1", kHexB, kTime);

    EXPECT_EQ(del("app", digest_of(kHexA)), "ok");
    EXPECT_FALSE(exists(store.tag_dir("app", "a1")));
    EXPECT_FALSE(exists(store.tag_dir("app", "a2")));
    EXPECT_FALSE(exists(store.tag_dir("app", "a-lf")));
    EXPECT_FALSE(exists(store.body_path("app", kHexA)));
    EXPECT_FALSE(exists(store.ct_path("app", kHexA)));
    EXPECT_FALSE(exists(store.rev_dir("app", kHexA)));
    EXPECT_EQ(get("app", "b1"), "b");  // tags of other manifests stay, and so does tags/

    EXPECT_EQ(del("app", digest_of(kHexB)), "ok");
    EXPECT_FALSE(exists(store.tags_dir("app")));
    EXPECT_FALSE(exists(store.body_path("app", kHexB)));

    // An untagged manifest with an empty tags directory: the directory goes too.
    store.put_manifest("app", kHexA, "a");
    make_dirs(store.tags_dir("app"));
    EXPECT_EQ(del("app", digest_of(kHexA)), "ok");
    EXPECT_FALSE(exists(store.tags_dir("app")));
    EXPECT_EQ(get("app", digest_of(kHexA)), "ERROR: manifest not found: app@" + digest_of(kHexA));
}

// Tag deletions leave their directories behind, so a tags directory can hold far more
// entries than one listing keeps. The checks that decide what a deletion removes must see
// them all. The tags the checks need are picked from the far end of the directory's own order.
// The same manifest pushed under another tag just as the last tag naming it is deleted: the
// new tag keeps it.
TEST_F(Manifests, APushUnderAnotherTagDuringATagDeletionKeepsTheManifest) {
    store.put_manifest("app", kHexA, "a");
    store.put_tag("app", "old", kHexA, kTime);
    static StoreLayout *layout;
    layout = &store;
    reg::tag_delete_scanned_hook = [] { layout->put_tag("app", "v2", kHexA, kTime); };
    const std::string deleted = del("app", "old");
    reg::tag_delete_scanned_hook = nullptr;
    EXPECT_EQ(deleted, "ok");
    EXPECT_EQ(get("app", "v2"), "a");
    EXPECT_EQ(get("app", "old"), "ERROR: tag not found: app:old");
    EXPECT_TRUE(exists(store.ct_path("app", kHexA)));
    EXPECT_TRUE(exists(store.rev_link("app", kHexA)));
}

// A push of the same manifest under a new tag while a digest deletion runs (after it removed
// the tags it saw, before the files go) is answered 201: its tag must resolve afterwards. It
// used to be left naming a manifest that was gone.
TEST_F(Manifests, APushDuringADigestDeletionKeepsItsTag) {
    const std::string config = put_blob(store.root(), "config");
    static std::string body;
    body = image_json(config, {});
    char out[80];
    ASSERT_EQ(reg_manifest_put("app", "old", body.data(), body.size(), nullptr, out), 0);
    reg::digest_delete_tags_removed_hook = [] {
        char pushed[80];
        reg_manifest_put("app", "new", body.data(), body.size(), nullptr, pushed);
    };
    const std::string deleted = del("app", out);
    reg::digest_delete_tags_removed_hook = nullptr;
    EXPECT_EQ(deleted, "ok");
    EXPECT_EQ(get("app", "old"), "ERROR: tag not found: app:old");
    EXPECT_EQ(get("app", "new"), body);
}

// What a deletion puts back (for a tag pushed meanwhile) or removes is on disk before it
// answers: a flush that fails fails the answer, and what was put back stays served.
TEST_F(Manifests, AFlushThatFailsFailsTheDeletion) {
    static StoreLayout *layout;
    static int set_asides;
    layout = &store;
    static const std::string attachment = "{\"subject\":{\"digest\":\"sha256:" + kHexA + "\"}}";
    struct Case {
        const char *what;
        void (*scanned)();    // tag_delete_scanned_hook
        void (*set_aside)();  // manifest_set_aside_hook
        void (*compared)();   // retention_compared_hook
        std::function<int()> run;
        const char *served;  // a tag that must still resolve afterwards
    };
    const std::vector<Case> cases = {
        {"an attachment put back for a tag pushed as its subject is deleted", nullptr,
         [] {
             if (++set_asides != 2) return;
             layout->put_tag("app", "sig", sha256_hex(attachment), kTime);
             qv::os::inject_flush_failure("_manifests", 1);
         },
         nullptr, [] { return reg_manifest_delete("app", ("sha256:" + kHexA).c_str()); }, "sig"},
        {"a tag link put back for a push during a retention pass", nullptr, nullptr,
         [] {
             layout->put_tag("app", "v1", kHexA, kTime + 1);
             qv::os::inject_flush_failure("current", 1);
         },
         [] { return reg_retention_json(0, 0, 1, 0, nullptr) != nullptr ? 0 : -1; }, "v1"},
        {"an attachment removed with its subject", nullptr,
         [] {
             if (++set_asides == 2) qv::os::inject_flush_failure("_manifests", 1);
         },
         nullptr, [] { return reg_manifest_delete("app", ("sha256:" + kHexA).c_str()); }, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(store.root() + "/repositories");
        store.put_manifest("app", kHexA, "a");
        store.put_tag("app", "v1", kHexA, kTime);
        store.put_manifest("app", sha256_hex(attachment), attachment);
        set_asides = 0;
        reg::tag_delete_scanned_hook = c.scanned;
        reg::manifest_set_aside_hook = c.set_aside;
        reg::retention_compared_hook = c.compared;
        const int rc = c.run();
        reg::tag_delete_scanned_hook = reg::manifest_set_aside_hook = nullptr;
        reg::retention_compared_hook = nullptr;
        qv::os::inject_flush_failure(nullptr, 0);
        EXPECT_NE(rc, 0);
        EXPECT_TRUE(
            std::string(reg_storage_last_error()).starts_with("deletion could not be flushed"))
            << reg_storage_last_error();
        if (c.served != nullptr) {
            EXPECT_EQ(get("app", c.served), c.served == std::string("sig") ? attachment : "a");
        }
    }
}

// An index pushed while a deletion removes its child (after the deletion looked for listing
// indexes, before the child's files go) was answered 201: the child must stay, or the index
// can no longer be pulled. It used to be removed.
TEST_F(Manifests, AnIndexPushedDuringADeletionKeepsItsChild) {
    static std::string index;
    const auto push_index = [] {
        char pushed[80];
        EXPECT_EQ(reg_manifest_put("app", "idx", index.data(), index.size(), nullptr, pushed), 0);
    };
    for (const bool by_digest : {false, true}) {
        SCOPED_TRACE(by_digest);
        const std::string child = image_json(put_blob(store.root(), "config"), {});
        char digest[80];
        ASSERT_EQ(reg_manifest_put("app", "old", child.data(), child.size(), nullptr, digest), 0);
        index = index_json({std::string(digest).substr(7)});
        (by_digest ? reg::digest_delete_tags_removed_hook : reg::tag_delete_scanned_hook) =
            push_index;
        const std::string deleted = del("app", by_digest ? digest : "old");
        reg::digest_delete_tags_removed_hook = reg::tag_delete_scanned_hook = nullptr;
        EXPECT_EQ(deleted, by_digest
                               ? "ERROR: DENIED: manifest " + std::string(digest) +
                                     " is listed by an index pushed meanwhile: delete that first"
                               : "ok");
        EXPECT_EQ(get("app", digest), child);
        EXPECT_EQ(del("app", "idx"), "ok");
    }
}

TEST_F(Manifests, DeletionsSeeEveryTagDirectory) {
    for (const int dirs : {600, 3000}) {
        SCOPED_TRACE(dirs);
        const std::string repo = "app" + std::to_string(dirs);
        store.put_manifest(repo, kHexA, "a");
        for (int i = 0; i < dirs; ++i)
            make_dirs(store.tag_dir(repo, "dead" + std::to_string(i)) + "/current");
        std::vector<std::string> order;
        for (const auto &entry : std::filesystem::directory_iterator(store.tags_dir(repo)))
            order.push_back(entry.path().filename().string());
        store.put_tag(repo, order.front(), kHexA, kTime);
        store.put_tag(repo, order.back(), kHexA, kTime);

        EXPECT_EQ(del(repo, order.front()), "ok");
        EXPECT_EQ(get(repo, order.back()), "a");

        // Every tag naming the manifest goes with it, wherever it lies.
        for (const std::string &tag : order)
            store.put_tag(repo, tag, kHexA, kTime);
        EXPECT_EQ(del(repo, digest_of(kHexA)), "ok");
        EXPECT_FALSE(exists(store.tags_dir(repo)));
    }
}

// Tag references that are not one plain directory name must never reach the file system.
// Valid links and bodies are planted wherever such a reference would lead, so a read would
// show as a success and a removal as a changed tree.
TEST_F(Manifests, HostileTagReferencesStayInsideTheTagsDirectory) {
    const std::string link = digest_of(kHexA);
    store.put_manifest("app", kHexA, "a");
    write_text(store.repo_dir("app") + "/x/current/link", link);      // tags/../../x
    write_text(store.manifests_dir("app") + "/current/link", link);   // tags/..
    write_text(store.tags_dir("app") + "/current/link", link);        // tags/. and tags/
    write_text(store.tag_link("app", "a/b"), link);                   // tags/a/b
    write_text(store.tag_link("app", "a\\b"), link);                  // one level here
    write_text(store.root() + "/repositories/x/current/link", link);  // ../../../x
    write_text(t / "x/current/link", link);                           // above the root
    write_text(t / "outside/current/link", link);

    const std::string before = tree_listing(t.path());
    for (const std::string ref : {"../../../x", "../../x", "..", ".", "", "a/b", "a\\b",
                                  "../../../../../x", "../../../../../outside", "/x", "x/"}) {
        SCOPED_TRACE("reference '" + ref + "'");
        EXPECT_EQ(get("app", ref), "ERROR: tag not found: app:" + ref);
        EXPECT_EQ(del("app", ref), "ERROR: tag not found: app:" + ref);
    }
    EXPECT_EQ(tree_listing(t.path()), before);
    EXPECT_EQ(read_text(t / "outside/current/link"), link);
}

TEST_F(Manifests, PathsTooLongAreRefusedNotCut) {
    store.put_manifest("app", kHexA, "a");
    store.put_tag("app", "v1", kHexA, kTime);
    const std::string before = tree_listing(t.path());
    const std::string huge(4100, 'v');
    EXPECT_EQ(get("app", huge), "ERROR: path too long (max 4095 chars)");
    EXPECT_EQ(del("app", huge), "ERROR: path too long (max 4095 chars)");
    EXPECT_EQ(tree_listing(t.path()), before);
}

TEST_F(Manifests, RepositoryDeletionPrunesEmptiedParents) {
    store.put_manifest("team/app", kHexA, "a");
    store.put_tag("team/app", "v1", kHexA, kTime);
    store.make_repo("team/web");

    EXPECT_EQ(repo_del("team/app"), "ok");
    EXPECT_FALSE(exists(store.repo_dir("team/app")));
    EXPECT_TRUE(is_directory(store.repo_dir("team/web")));  // a sibling keeps team

    EXPECT_EQ(repo_del("team/web"), "ok");
    EXPECT_FALSE(exists(store.repo_dir("team")));
    EXPECT_TRUE(is_directory(store.root() + "/repositories"));

    EXPECT_EQ(repo_del("team/web"), "ERROR: repository not found: team/web");
    EXPECT_EQ(repo_del(""), "ERROR: NULL argument");
    EXPECT_EQ(repo_del("a/../b"), "ERROR: invalid repository name");
    EXPECT_EQ(reg_repo_delete(nullptr), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
}

// Names that pass the character check but spell the repositories directory itself must
// not empty it; doubled or trailing separators must not let pruning remove it.
TEST_F(Manifests, RepositoryDeletionNeverTouchesTheRepositoriesDirectory) {
    store.make_repo("keep");
    const std::string before = tree_listing(t.path());
    for (const std::string name : {".", "/", "//", "./.", "/./"}) {
        EXPECT_EQ(repo_del(name), "ERROR: invalid repository name") << name;
    }
    EXPECT_EQ(tree_listing(t.path()), before);

    EXPECT_EQ(repo_del("keep/."), "ok");  // names keep itself
    store.make_repo("solo/app");
    EXPECT_EQ(repo_del("/solo//app/"), "ok");
    EXPECT_FALSE(exists(store.repo_dir("solo")));
    EXPECT_TRUE(is_directory(store.root() + "/repositories"));
}

// A path inside a repository is no repository: deleting it would strip the repository's
// tags or manifests while the repository stays.
TEST_F(Manifests, RepositoryDeletionRefusesPathsInsideARepository) {
    store.put_manifest("app", kHexA, "a");
    store.put_tag("app", "v1", kHexA, kTime);
    make_dirs(store.root() + "/repositories/_manifests/tags");
    const std::string before = tree_listing(t.path());
    for (const std::string name : {"app/_manifests/tags", "app/_manifests", "app/_manifests/",
                                   "app/_manifests/revisions", "_manifests"}) {
        EXPECT_EQ(repo_del(name), "ERROR: invalid repository name") << name;
    }
    EXPECT_EQ(tree_listing(t.path()), before);
}

TEST_F(Manifests, RepositoryDeletionNeverFollowsALinkOutOfTheTree) {
    // Directories outside the storage root that links inside it point at.
    write_text(t / "outside/app/_manifests/keep", "precious");
    write_text(t / "elsewhere/_manifests/keep", "precious");
    make_dirs(store.root() + "/repositories/team");
    ASSERT_EQ(::symlink((t / "outside").c_str(), (store.root() + "/repositories/via").c_str()), 0);
    ASSERT_EQ(
        ::symlink((t / "elsewhere").c_str(), (store.root() + "/repositories/team/app").c_str()), 0);
    const std::string before = tree_listing(t.path());

    EXPECT_EQ(repo_del("via/app"), "ERROR: repository not found: via/app");
    EXPECT_EQ(repo_del("team/app"), "ERROR: repository not found: team/app");
    EXPECT_EQ(tree_listing(t.path()), before);
    EXPECT_EQ(read_text(t / "outside/app/_manifests/keep"), "precious");
}

}  // namespace
