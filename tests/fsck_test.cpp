// The store check on real stores: each kind of damage a crash, a disk or a killed operation
// leaves is found by a check that changes nothing, and a repair mends it (or moves it to
// quarantine) so that a second check finds only what a client's push must bring back.
#include <gtest/gtest.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "support/blob_files.h"
#include "support/child.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr int64_t kOld = 1000000000;  // well past the 15-minute window

struct Report {
    std::string text;
    int damage = -1;

    // The action taken for the first entry of the list whose path ends with the suffix, or
    // "absent".
    std::string action(const char *list, const std::string &suffix) const {
        yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
        std::string out = doc == nullptr ? "unparsable" : "absent";
        yyjson_val *entries =
            yyjson_obj_getn(yyjson_obj_get(yyjson_doc_get_root(doc), list), "first", 5);
        size_t i = 0, max = 0;
        yyjson_val *e = nullptr;
        yyjson_arr_foreach(entries, i, max, e) {
            const std::string path = yyjson_get_str(yyjson_obj_get(e, "path"));
            if (out == "absent" && path.ends_with(suffix))
                out = yyjson_get_str(yyjson_obj_get(e, "action"));
        }
        yyjson_doc_free(doc);
        return out;
    }
};

// A store pushed through the engine: an image tagged v1 in team/app, an index over it tagged
// multi, and a second image tagged v2.
class StoreCheck : public ::testing::Test {
  public:  // the cases below damage the store through a reference to it
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
        config = push_blob("config one");
        layer = push_blob("layer one");
        image = put("v1", image_json(config, {layer}));
        index = put("multi", index_json({image}));
        other = put("v2", image_json(push_blob("config two"), {push_blob("layer two")}));
    }
    void TearDown() override { reg_storage_cleanup(); }

    std::string push_blob(const std::string &bytes) {
        char id[40], out[80];
        const std::string digest = "sha256:" + sha256_hex(bytes);
        EXPECT_EQ(reg_blob_start_upload(id), 0);
        EXPECT_EQ(reg_blob_append_chunk(id, bytes.data(), bytes.size()), 0);
        EXPECT_EQ(reg_blob_finish_upload(id, digest.c_str(), out), 0);
        return sha256_hex(bytes);
    }
    std::string put(const std::string &tag, const std::string &body) {
        char out[80];
        EXPECT_EQ(reg_manifest_put("team/app", tag.c_str(), body.data(), body.size(), nullptr, out),
                  0)
            << reg_storage_last_error();
        return sha256_hex(body);
    }
    Report check(bool repair) {
        Report r;
        const char *text = reg_fsck_json(repair ? 1 : 0, nullptr, nullptr, &r.damage);
        r.text = text != nullptr ? text : std::string("ERROR: ") + reg_storage_last_error();
        return r;
    }

    TempDir t;
    const std::string root = t / "store";
    StoreLayout store{root};
    std::string config, layer, image, index, other;
};

TEST_F(StoreCheck, ASoundStoreHasNothingToReport) {
    const Report r = check(true);
    EXPECT_EQ(r.damage, 0) << r.text;
    EXPECT_NE(r.text.find("\"blobs_checked\":4,"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("\"manifests_checked\":3,"), std::string::npos) << r.text;
    EXPECT_FALSE(exists(root + "/quarantine"));
}

// Each kind of damage: what the check lists it under, the repair's action, whether damage
// remains after the repair (what only a push can bring back), and how the store looks then.
TEST_F(StoreCheck, FindsEveryKindOfDamageAndRepairsWhatItCan) {
    struct Case {
        const char *what;
        std::function<std::string(StoreCheck &)> damage;  // returns the path's suffix
        const char *list;
        const char *repair_action;  // prefix
        bool remains;
        std::function<bool(StoreCheck &)> mended;
    };
    const auto blob = [](StoreCheck &s, const std::string &hex) { return blob_path(s.root, hex); };
    const std::vector<Case> cases = {
        {"emptied blob",
         [&](StoreCheck &s) {
             write_text(blob(s, s.layer), "");
             return s.layer;
         },
         "damaged", "moved to quarantine/", true,
         [&](StoreCheck &s) { return !exists(blob(s, s.layer)); }},
        {"blob with other bytes",
         [&](StoreCheck &s) {
             write_text(blob(s, s.config), "config onE");
             return s.config;
         },
         "damaged", "moved to quarantine/", true, nullptr},
        {"emptied manifest body",
         [&](StoreCheck &s) {
             write_text(s.store.body_path("team/app", s.other), "");
             return s.other;
         },
         "damaged", "moved to quarantine/", true, nullptr},
        {"torn tag link",
         [&](StoreCheck &s) {
             s.store.put_tag_raw("team/app", "v2", "sha256:0123", kOld);
             return std::string("tags/v2/current/link");
         },
         "damaged", "moved to quarantine/", false,
         [&](StoreCheck &s) { return !exists(s.store.tag_link("team/app", "v2")); }},
        {"torn revision link",
         [&](StoreCheck &s) {
             write_text(s.store.rev_link("team/app", s.image), "");
             return s.image + "/link";
         },
         "damaged", "rewritten", false,
         [&](StoreCheck &s) {
             return read_text(s.store.rev_link("team/app", s.image)) == digest_of(s.image);
         }},
        {"missing blob",
         [&](StoreCheck &s) {
             std::remove(blob(s, s.layer).c_str());
             return s.image;
         },
         "missing", "none", true, nullptr},
        {"index child missing",
         [&](StoreCheck &s) {
             std::remove(s.store.body_path("team/app", s.image).c_str());
             return s.index;
         },
         "missing", "none", true, nullptr},
        {"blob set aside by a killed collection",
         [&](StoreCheck &s) {
             std::rename(blob(s, s.layer).c_str(), (blob(s, s.layer) + ".gc-pending.4242").c_str());
             return s.layer + ".gc-pending.4242";
         },
         "leftovers", "put back", false,
         [&](StoreCheck &s) { return read_text(blob(s, s.layer)) == "layer one"; }},
        {"second copy set aside",
         [&](StoreCheck &s) {
             write_text(blob(s, s.layer) + ".gc-pending", "layer one");
             return s.layer + ".gc-pending";
         },
         "leftovers", "removed", false,
         [&](StoreCheck &s) { return !exists(blob(s, s.layer) + ".gc-pending"); }},
        {"body moved aside by a killed deletion",
         [&](StoreCheck &s) {
             const std::string body = s.store.body_path("team/app", s.other);
             const std::string aside =
                 s.store.manifests_dir("team/app") + "/." + s.other + ".77-0badf00d.tmp";
             std::rename(body.c_str(), aside.c_str());
             return s.other + ".77-0badf00d.tmp";
         },
         "leftovers", "put back", false,
         [&](StoreCheck &s) { return exists(s.store.body_path("team/app", s.other)); }},
        {"old temporary of a link write",
         [&](StoreCheck &s) {
             const std::string tmp = s.store.tag_dir("team/app", "v1") + "/current/.link.9-1.tmp";
             write_text(tmp, "sha256:");
             set_mtime(tmp, kOld);
             return std::string(".link.9-1.tmp");
         },
         "leftovers", "removed", false, nullptr},
        {"old private upload of a killed finish",
         [&](StoreCheck &s) {
             const std::string name =
                 "0123abcd-0000-0000-0000-000000000000.finishing-9-00000001.part";
             write_text(s.root + "/uploads/" + name, "half");
             set_mtime(s.root + "/uploads/" + name, kOld);
             return name;
         },
         "leftovers", "removed", false, nullptr},
        {"old clock probe of a killed collection",
         [&](StoreCheck &s) {
             write_text(s.root + "/_gc/clock.9", "");
             set_mtime(s.root + "/_gc/clock.9", kOld);
             return std::string("_gc/clock.9");
         },
         "leftovers", "removed", false, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        std::filesystem::remove_all(root);
        SetUp();
        const std::string suffix = c.damage(*this);
        const std::string before = tree_listing(root);
        const Report found = check(false);
        EXPECT_EQ(found.action(c.list, suffix), "none") << found.text;
        EXPECT_EQ(tree_listing(root), before);  // a check alone changes nothing

        const Report repaired = check(true);
        EXPECT_TRUE(repaired.action(c.list, suffix).starts_with(c.repair_action)) << repaired.text;
        EXPECT_TRUE(!c.mended || c.mended(*this));
        const Report after = check(false);
        EXPECT_EQ(after.damage, c.remains ? 1 : 0) << after.text;
        // Damage moved away is gone from the lists; a missing reference stays until a push.
        EXPECT_EQ(after.action(c.list, suffix),
                  c.list == std::string("missing") ? "none" : "absent")
            << after.text;
    }
}

// The program's exit status tells a script whether damage remains; a path that holds no store
// is refused, never laid out and reported clean.
TEST_F(StoreCheck, TheProgramsStatusSaysWhetherDamageRemains) {
    const auto status = [](const std::string &root_dir) {
        return run_child({},
                         [&] {
                             ::execl(QV_FSCK_BIN, QV_FSCK_BIN, "--root", root_dir.c_str(), nullptr);
                             return 127;
                         })
            .status;
    };
    EXPECT_EQ(status(root), 0);
    write_text(blob_path(root, layer), "");
    EXPECT_EQ(status(root), 1);
    EXPECT_EQ(status(t / "nowhere"), 2);
    EXPECT_FALSE(exists(t / "nowhere"));
}

// A young leftover may belong to an operation still running: neither listed nor touched.
TEST_F(StoreCheck, LeftoversWithinTheUploadWindowAreLeftAlone) {
    const std::string tmp = store.tag_dir("team/app", "v1") + "/current/.link.9-1.tmp";
    write_text(tmp, "sha256:");
    const Report r = check(true);
    EXPECT_EQ(r.action("leftovers", ".link.9-1.tmp"), "absent") << r.text;
    EXPECT_TRUE(exists(tmp));
}

}  // namespace
