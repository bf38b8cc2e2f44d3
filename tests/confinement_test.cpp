// Symbolic links planted inside the store, pointing out of it: no operation may read, write,
// create or remove anything through one. Each case moves one part of a working store out of
// the root and leaves a link in its place, so that a call that followed the link would find
// everything it looks for there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/beneath.h"
#include "platform/os.h"
#include "storage/reg_storage.h"
#include "support/blob_files.h"
#include "support/child.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

// A working store: one image tagged "t" in team/app, its two blobs, and one upload in flight.
class LinkedStore {
  public:
    // Fills the store through the library, as a client would have.
    void build() {
        config_ = put_blob(root_, "config bytes");
        layer_ = put_blob(root_, "layer bytes");
        body_ = image_json(config_, {layer_});
        hex_ = sha256_hex(body_);
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
        char digest[80];
        ASSERT_EQ(reg_manifest_put("team/app", "t", body_.data(), body_.size(),
                                   "application/vnd.oci.image.manifest.v1+json", digest),
                  0);
        ASSERT_EQ(reg_blob_start_upload(upload_), 0);
        ASSERT_EQ(reg_blob_append_chunk(upload_, "partial", 7), 0);
        reg_storage_cleanup();
    }

    std::string manifests() const { return "repositories/team/app/_manifests"; }
    std::string fan_out() const { return "blobs/sha256/" + layer_.substr(0, 2); }
    std::string body() const { return manifests() + "/" + hex_; }
    std::string blob() const { return fan_out() + "/" + layer_; }
    std::string upload() const { return "uploads/" + std::string(upload_) + ".part"; }
    const std::string &root() const { return root_; }
    const std::string &parent() const { return t_.path(); }

    // Moves the entry out of the root and links its old name to where it went.
    void plant(const std::string &rel) {
        const std::string inside = root_ + "/" + rel;
        const std::string outside = t_ / "outside";
        make_dirs(outside);
        ASSERT_EQ(::rename(inside.c_str(), (outside + "/moved").c_str()), 0) << rel;
        ASSERT_EQ(::symlink((outside + "/moved").c_str(), inside.c_str()), 0) << rel;
    }

    // The reads, then every operation that writes or removes, in a child process. Prints the
    // reads' results, then "problems=<calls that answered without a message>".
    ChildResult run_everything(bool component_walk) {
        return run_child({}, [&, component_walk] {
            ::alarm(20);
            qv::os::beneath::force_component_walk(component_walk);
            if (reg_storage_init(root_.c_str()) != 0) {
                std::printf("init: %s", reg_storage_last_error());
                return 0;
            }
            char type[128], digest[80], path[512];
            int64_t size = -1;
            const std::string by_digest = "sha256:" + hex_, layer = "sha256:" + layer_;
            // One call at a time: the texts share the engine's result buffer.
            std::string line = "get=";
            line += reg_manifest_get("team/app", "t", type, digest) != nullptr ? "1" : "0";
            line += " get@=";
            line += reg_manifest_get("team/app", by_digest.c_str(), type, digest) ? "1" : "0";
            line += " exists=" + std::to_string(reg_blob_exists(layer.c_str()));
            line += " size=" + std::to_string(reg_blob_get_size(layer.c_str()));
            line += " upload=";
            line += reg_blob_upload_size(upload_, &size) == 0 ? std::to_string(size) : "-1";
            const char *tags = reg_tags_list_json("team/app");
            line += " tags=" + std::string(tags != nullptr ? tags : "null");
            std::printf("%s\n", line.c_str());
            int problems = 0;
            const auto rc = [&](int r) {
                if (r != 0 && r != 1 && reg_storage_last_error()[0] == '\0') ++problems;
            };
            const auto text = [&](const char *r) {
                if (r == nullptr && reg_storage_last_error()[0] == '\0') ++problems;
            };
            const std::string other = image_json(layer_, {config_});
            for (const char *tag : {"t", "t2"}) {
                rc(reg_manifest_put("team/app", tag, other.data(), other.size(),
                                    "application/vnd.oci.image.manifest.v1+json", digest));
                rc(reg_manifest_put("team/app", tag, body_.data(), body_.size(),
                                    "application/vnd.oci.image.manifest.v1+json", digest));
            }
            rc(reg_blob_append_chunk(upload_, " and more", 9));
            rc(reg_blob_finish_upload(upload_, layer.c_str(), digest));
            rc(reg_blob_cancel_upload(upload_));
            rc(reg_blob_get_filepath(layer.c_str(), path, sizeof path));
            text(reg_catalog_json(100, nullptr));
            text(reg_storage_get_stats_json());
            int truncated = 0;
            text(reg_retention_json(1, 0, 0, 1, &truncated));
            text(reg_retention_json(0, 0, 0, 1, &truncated));
            rc(reg_manifest_delete("team/app", "t"));
            rc(reg_manifest_delete("team/app", by_digest.c_str()));
            rc(reg_blob_delete(layer.c_str()));
            text(reg_gc_json(1));
            text(reg_gc_json(0));
            rc(reg_repo_delete("team/app"));
            std::printf("problems=%d", problems);
            return 0;
        });
    }

  private:
    TempDir t_;
    std::string root_ = t_ / "store";
    std::string config_, layer_, body_, hex_;
    char upload_[40] = "";
};

struct Plant {
    const char *what;
    std::function<std::string(const LinkedStore &)> rel;  // the entry that becomes a link
    std::string reads;  // what the reads print with the link in place; "init <dir>" when the
                        // initialisation fails to make that directory
};

std::string reads(const char *get, const char *blob, const char *upload, const char *tags) {
    return std::string(get) + " " + blob + " upload=" + upload + " tags=" + tags + "\n";
}

TEST(PlantedLinks, NothingIsReadWrittenOrRemovedThroughThem) {
    const char *both = "get=1 get@=1", *neither = "get=0 get@=0", *blob = "exists=1 size=11",
               *one = "{\"name\":\"team/app\",\"tags\":[\"t\"]}",
               *none = "{\"name\":\"team/app\",\"tags\":[]}";
    const std::vector<Plant> plants = {
        {"repository directory", [](auto &) { return "repositories/team/app"; },
         reads(neither, blob, "7", none)},
        {"parent of a repository", [](auto &) { return "repositories/team"; },
         reads(neither, blob, "7", none)},
        {"_manifests", [](auto &s) { return s.manifests(); }, reads(neither, blob, "7", none)},
        {"tags", [](auto &s) { return s.manifests() + "/tags"; },
         reads("get=0 get@=1", blob, "7", none)},
        {"a tag's directory", [](auto &s) { return s.manifests() + "/tags/t"; },
         reads("get=0 get@=1", blob, "7", none)},
        {"tag link", [](auto &s) { return s.manifests() + "/tags/t/current/link"; },
         reads("get=0 get@=1", blob, "7", none)},
        {"revisions", [](auto &s) { return s.manifests() + "/revisions"; },
         reads(both, blob, "7", one)},
        {"manifest body", [](auto &s) { return s.body(); }, reads(neither, blob, "7", one)},
        {"fan-out directory", [](auto &s) { return s.fan_out(); },
         reads(both, "exists=0 size=-1", "7", one)},
        {"blob file", [](auto &s) { return s.blob(); }, reads(both, "exists=0 size=-1", "7", one)},
        {"upload file", [](auto &s) { return s.upload(); }, reads(both, blob, "-1", one)},
        {"uploads", [](auto &) { return "uploads"; }, reads(both, blob, "-1", one)},
        {"repositories", [](auto &) { return "repositories"; }, reads(neither, blob, "7", none)},
        {"blobs", [](auto &) { return "blobs"; }, "init blobs/sha256"},
    };
    for (const Plant &p : plants) {
        SCOPED_TRACE(p.what);
        for (const bool walk : {false, true}) {
            SCOPED_TRACE(walk ? "component walk" : "openat2");
            LinkedStore store;
            ASSERT_NO_FATAL_FAILURE(store.build());
            ASSERT_NO_FATAL_FAILURE(store.plant(p.rel(store)));
            const std::vector<std::string> before = snapshot_outside(store.parent(), "store");
            const ChildResult r = store.run_everything(walk);
            ASSERT_TRUE(r.exited) << "blocked or crashed";
            if (p.reads.starts_with("init ")) {
                EXPECT_EQ(r.out, "init: mkdirs failed: " + store.root() + "/" + p.reads.substr(5));
            } else {
                EXPECT_EQ(r.out, p.reads + "problems=0");
            }
            EXPECT_EQ(snapshot_outside(store.parent(), "store"), before);
        }
    }
}

}  // namespace
