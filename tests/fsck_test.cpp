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
#include "storage/seams.h"
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
        other_body = image_json(push_blob("config two"), {push_blob("layer two")});
        other = put("v2", other_body);
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
    // Moves the file aside as a deletion does, long ago; returns its new name.
    std::string set_aside(const std::string &path, const std::string &dot_name) {
        const std::string name = dot_name + ".77-0badf00d@" + std::to_string(kOld) + ".tmp";
        const std::string aside = path.substr(0, path.rfind('/') + 1) + name;
        std::rename(path.c_str(), aside.c_str());
        set_mtime(aside, kOld);
        return name;
    }
    Report check(bool repair) {
        Report r;
        const char *text = reg_fsck_json(repair ? 1 : 0, nullptr, nullptr, &r.damage);
        r.text = text != nullptr ? text : std::string("ERROR: ") + reg_storage_last_error();
        return r;
    }

    // The body and content type a reference is served with, or "ERROR".
    std::string get(const std::string &ref) {
        char type[128], digest[80];
        const char *body = reg_manifest_get("team/app", ref.c_str(), type, digest);
        return body == nullptr ? "ERROR" : std::string(type) + " " + body;
    }
    void reset() {
        TearDown();
        std::filesystem::remove_all(root);
        SetUp();
    }

    TempDir t;
    const std::string root = t / "store";
    StoreLayout store{root};
    std::string config, layer, image, index, other, other_body;
};

// Runs fn once at the next call of a hook that takes a path.
std::function<void()> s_once;
void run_once(const char *) {
    const std::function<void()> fn = std::move(s_once);
    s_once = nullptr;
    if (fn) fn();
}

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
             return s.set_aside(s.store.body_path("team/app", s.other), "." + s.other);
         },
         "leftovers", "put back", false,
         [&](StoreCheck &s) { return exists(s.store.body_path("team/app", s.other)); }},
        {"its content type moved aside too",
         [&](StoreCheck &s) {
             return s.set_aside(s.store.ct_path("team/app", s.other), "." + s.other + ".ct");
         },
         "leftovers", "put back", false,
         [&](StoreCheck &s) { return exists(s.store.ct_path("team/app", s.other)); }},
        {"tag link moved aside by a killed retention pass (a re-push it was putting back)",
         [&](StoreCheck &s) { return s.set_aside(s.store.tag_link("team/app", "v2"), ".link"); },
         "leftovers", "put back", false,
         [&](StoreCheck &s) {
             return read_text(s.store.tag_link("team/app", "v2")) == digest_of(s.other);
         }},
        {"revision link set aside beside a body that is gone",
         [&](StoreCheck &s) {
             std::remove(s.store.body_path("team/app", s.other).c_str());
             return s.set_aside(s.store.rev_link("team/app", s.other), ".link");
         },
         "leftovers", "removed", true, nullptr},
        {"directory a deleted tag left behind (older versions kept them)",
         [&](StoreCheck &s) {
             const std::string dir = s.store.tag_dir("team/app", "gone");
             make_dirs(dir + "/current");
             set_mtime(dir + "/current", kOld);
             set_mtime(dir, kOld);
             return std::string("tags/gone");
         },
         "leftovers", "removed", false,
         [&](StoreCheck &s) { return !exists(s.store.tag_dir("team/app", "gone")); }},
        {"manifests a killed repository deletion moved out of the tree",
         [&](StoreCheck &s) {
             const std::string dir = s.root + "/_gc/trash/._manifests.7-0badf00d@1000000000.tmp";
             write_text(dir + "/tags/x/current/link", "sha256:");
             set_mtime(dir, kOld);
             return std::string("._manifests.7-0badf00d@1000000000.tmp");
         },
         "leftovers", "removed", false,
         [&](StoreCheck &s) {
             return !exists(s.root + "/_gc/trash/._manifests.7-0badf00d@1000000000.tmp");
         }},
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
        reset();
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

// A repair acts on the very file it judged: what a client pushes again while the check hashes
// stays where the client put it, and the report says the file changed.
TEST_F(StoreCheck, ARepairLeavesWhatAPushWroteSinceItsJudgement) {
    struct Case {
        const char *what;
        std::function<std::string(StoreCheck &)> damage;  // returns the path's suffix
        std::function<void(StoreCheck &)> push_again;
    };
    const std::vector<Case> cases = {
        {"blob",
         [](StoreCheck &s) {
             write_text(blob_path(s.root, s.layer), "");
             return s.layer;
         },
         [](StoreCheck &s) { s.push_blob("layer one"); }},
        {"manifest body",
         [](StoreCheck &s) {
             write_text(s.store.body_path("team/app", s.other), "{}");
             return s.other;
         },
         [](StoreCheck &s) { s.put("v2", s.other_body); }},
        {"tag link",
         [](StoreCheck &s) {
             s.store.put_tag_raw("team/app", "v2", "sha256:0123", kOld);
             return std::string("tags/v2/current/link");
         },
         [](StoreCheck &s) { s.put("v2", s.other_body); }},
    };
    reg::fsck_judged_hook = run_once;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        const std::string served = get("v2");
        const std::string suffix = c.damage(*this);
        s_once = [&] { c.push_again(*this); };
        const Report r = check(true);
        EXPECT_EQ(r.action("damaged", suffix), "none (changed during the check)") << r.text;
        EXPECT_EQ(read_text(blob_path(root, layer)), "layer one");
        EXPECT_EQ(get("v2"), served);
        EXPECT_EQ(r.damage, 0) << r.text;  // what stands there now was judged afresh
    }
    reg::fsck_judged_hook = nullptr;
}

// A deletion moves a manifest's files aside while it looks again whether a tag names it. A
// repair and a collection meanwhile leave them there, however old the files are: they put
// back nothing the deletion removes, and remove nothing it puts back for a tag pushed since.
TEST_F(StoreCheck, WhatADeletionSetAsideIsItsOwnUntilTheWindowEnds) {
    static StoreCheck *self = nullptr;
    self = this;
    for (const bool pushed_again : {false, true}) {
        SCOPED_TRACE(pushed_again ? "tag pushed again" : "deleted");
        reset();
        const std::string served = get("v2");
        for (const std::string &f :
             {store.body_path("team/app", other), store.ct_path("team/app", other),
              store.rev_link("team/app", other)})
            set_mtime(f, kOld);
        reg::tag_delete_scanned_hook = pushed_again ? [] { self->put("v3", self->other_body); }
                                                    : static_cast<void (*)()>(nullptr);
        reg::manifest_set_aside_hook = [] {
            const ChildResult run = run_child({}, [] {
                return reg_fsck_json(1, nullptr, nullptr, nullptr) != nullptr &&
                               reg_gc_json(0) != nullptr
                           ? 0
                           : 1;
            });
            EXPECT_EQ(run.status, 0) << reg_storage_last_error();
        };
        EXPECT_EQ(reg_manifest_delete("team/app", "v2"), 0) << reg_storage_last_error();
        reg::tag_delete_scanned_hook = nullptr;
        reg::manifest_set_aside_hook = nullptr;
        EXPECT_EQ(get("sha256:" + other), pushed_again ? served : "ERROR");
        EXPECT_EQ(get("v3"), pushed_again ? served : "ERROR");
        const Report after = check(false);
        EXPECT_EQ(after.damage, 0) << after.text;
        EXPECT_NE(after.text.find("\"leftovers\":{\"count\":0,"), std::string::npos) << after.text;
    }
}

// What the check could not look into is damage it could not check; a file an operation removed
// between the listing and the look is no damage at all.
TEST_F(StoreCheck, UnreadableDirectoriesAreDamageAndVanishedFilesAreNot) {
    write_text(blob_path(root, layer) + ".gc-pending", "layer one");
    s_once = [&] { std::remove((blob_path(root, layer) + ".gc-pending").c_str()); };
    static std::string fan_out;
    fan_out = "/" + layer.substr(0, 2);
    reg::fsck_listed_hook = [](const char *dir) {
        if (std::string(dir).ends_with(fan_out)) run_once(dir);
    };
    Report r = check(false);
    reg::fsck_listed_hook = nullptr;
    EXPECT_EQ(r.damage, 0) << r.text;

    for (const std::string &dir :
         {store.tags_dir("team/app"), store.manifests_dir("team/app") + "/revisions/sha256"}) {
        std::filesystem::remove_all(dir);
        write_text(dir, "");  // stands in for a directory this process cannot read
    }
    r = check(false);
    EXPECT_EQ(r.damage, 1);
    for (const char *dir : {"_manifests/tags", "_manifests/revisions/sha256"})
        EXPECT_EQ(r.action("damaged", dir), "none") << r.text;
}

// A repair and a collection exclude each other, on any host: each refuses while the other runs.
TEST_F(StoreCheck, ARepairAndACollectionNeverRunAtOnce) {
    write_text(blob_path(root, layer), "");
    std::string refused;
    s_once = [&] {
        const ChildResult gc = run_child({}, [] {
            return reg_gc_json(0) == nullptr && std::printf("%s", reg_storage_last_error()) > 0 ? 0
                                                                                                : 1;
        });
        refused = gc.out;
    };
    reg::fsck_judged_hook = run_once;
    EXPECT_EQ(check(true).damage, 1);
    reg::fsck_judged_hook = nullptr;
    EXPECT_EQ(refused, "a store repair is running; try again once it is done");

    write_text(root + "/_gc/lease", "another-host/4026531836/77/1234");  // a collection's
    EXPECT_EQ(check(true).text, "ERROR: a collection is running; repair once it is done");
}

}  // namespace
