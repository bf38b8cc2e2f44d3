// Eight processes on one store, each doing a seeded random mix of everything the engine
// offers, then a look at what is left. QV_STRESS_SECONDS sets the length (8 by default),
// QV_STRESS_SEED the mix (1 by default), so a failing run can be repeated.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "support/blob_files.h"
#include "support/child.h"
#include "support/digest_text.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr int kWorkers = 8;
constexpr int kRepos = 3;
constexpr int kTags = 10;
// Tags in a repository of each worker's own, which only it writes and nobody deletes (fewer
// than retention keeps): what they name at the end is known exactly.
constexpr int kOwnTags = 5;
const char *const kImageType = "application/vnd.oci.image.manifest.v1+json";
const char *const kIndexType = "application/vnd.oci.image.index.v1+json";

long env_number(const char *name, long fallback) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atol(v) : fallback;
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (const dirent *e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                out.push_back(e->d_name);
        ::closedir(d);
    }
    return out;
}

bool json_ok(const char *text) {
    if (text == nullptr) return reg_storage_last_error()[0] != '\0';
    yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
    yyjson_doc_free(doc);
    return doc != nullptr;
}

// One worker: its own log of what it did, one line per event, for the checks afterwards.
class Worker {
  public:
    Worker(const std::string &t, int index, long seed, std::chrono::steady_clock::time_point until)
        : t_(t),
          rng_(static_cast<unsigned>(seed * 1000 + index)),
          until_(until),
          log_(t + "/log/" + std::to_string(index)),
          index_(index) {}

    int run() {
        if (reg_storage_init((t_ + "/store").c_str()) != 0) return 90;
        while (std::chrono::steady_clock::now() < until_)
            step();
        for (const std::string &id : open_)
            reg_blob_cancel_upload(id.c_str());
        log_.flush();
        return malformed_ == 0 ? 0 : 1;
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::string repo() { return "r" + std::to_string(pick(kRepos)); }
    std::string tag() { return "t" + std::to_string(pick(kTags)); }
    void note(const std::string &line) {
        log_ << line << "\n";
        log_.flush();
    }
    void check(bool ok) { malformed_ += ok ? 0 : 1; }

    void step() {
        switch (pick(15)) {
            case 14:
                put_own();
                break;
            case 0:
            case 1:
                upload();
                break;
            case 2:
                append_to_someone_elses();
                break;
            case 3:
            case 4:
                put_image();
                break;
            case 5:
                put_index();
                break;
            case 6:
                repush();
                break;
            case 7:
                note("deltag " + delete_tag());
                break;
            case 8:
                delete_digest();
                break;
            case 9:
                retention(pick(3) != 0);
                break;
            case 10:
                check(json_ok(reg_tags_list_json(repo().c_str())));
                break;
            case 11:
                check(json_ok(reg_catalog_json(0, nullptr)));
                check(json_ok(reg_storage_get_stats_json()));
                check(json_ok(reg_gc_progress_json()));
                break;
            case 12:
                check(json_ok(reg_gc_json(pick(2))));
                break;
            default:
                start_upload();
                break;
        }
    }

    // An upload others may append to while it is open.
    void start_upload() {
        char id[37];
        if (reg_blob_start_upload(id) != 0) return;
        open_.push_back(id);
        write_text(t_ + "/ids/" + id, "");
    }

    void upload() {
        if (open_.empty() || pick(2) == 0) start_upload();
        if (open_.empty()) return;
        const size_t at = static_cast<size_t>(pick(static_cast<int>(open_.size())));
        const std::string id = open_[at];
        std::string bytes;
        for (int chunk = pick(3) + 1; chunk > 0; --chunk) {
            const std::string piece = std::to_string(index_) + ":" + std::to_string(rng_()) + ";";
            if (reg_blob_append_chunk(id.c_str(), piece.data(), piece.size()) != 0) break;
            bytes += piece;
        }
        int64_t size = -1;
        // Another process's append may have landed: then the digest differs and the finish
        // refuses, discarding the upload. Either way the upload is over.
        if (reg_blob_upload_size(id.c_str(), &size) != 0) size = -1;
        const std::string digest = "sha256:" + sha256_hex(bytes);
        char out[72];
        const int rc = reg_blob_finish_upload(id.c_str(), digest.c_str(), out);
        note("finished " + id);
        std::remove((t_ + "/ids/" + id).c_str());
        open_.erase(open_.begin() + static_cast<long>(at));
        if (rc == 0) blobs_.push_back(digest.substr(7));
    }

    void append_to_someone_elses() {
        const std::vector<std::string> ids = entries(t_ + "/ids");
        if (ids.empty()) return;
        const std::string &id = ids[static_cast<size_t>(pick(static_cast<int>(ids.size())))];
        reg_blob_append_chunk(id.c_str(), "+", 1);
    }

    void put(const std::string &r, const std::string &tg, const std::string &body,
             const char *type) {
        const std::string hex = sha256_hex(body);
        const std::string saved = t_ + "/bodies/" + hex;
        if (!exists(saved)) {
            const std::string tmp = saved + "." + std::to_string(index_);
            write_text(tmp, body);
            std::rename(tmp.c_str(), saved.c_str());
        }
        char digest[72];
        // Logged before the call: a put that fails half-way may still have moved the tag.
        note("put " + r + " " + tg + " " + hex);
        if (reg_manifest_put(r.c_str(), tg.c_str(), body.data(), body.size(), type, digest) == 0)
            puts_.push_back({r, tg, body, type});
    }

    void put_image() {
        if (blobs_.size() < 2) return;
        const std::string &config = blobs_[blobs_.size() - 1 - static_cast<size_t>(pick(2))];
        const std::string &layer =
            blobs_[static_cast<size_t>(pick(static_cast<int>(blobs_.size())))];
        put(repo(), tag(), image_json(config, {layer}), kImageType);
    }

    void put_own() {
        if (blobs_.empty()) return;
        const std::string r = "own" + std::to_string(index_);
        const std::string tg = "o" + std::to_string(pick(kOwnTags));
        const std::string &blob =
            blobs_[static_cast<size_t>(pick(static_cast<int>(blobs_.size())))];
        const std::string body = image_json(blob, {blobs_.back()});
        write_text(t_ + "/bodies/" + sha256_hex(body) + "." + std::to_string(index_), body);
        std::rename((t_ + "/bodies/" + sha256_hex(body) + "." + std::to_string(index_)).c_str(),
                    (t_ + "/bodies/" + sha256_hex(body)).c_str());
        note("own-try " + r + " " + tg);
        char digest[72];
        if (reg_manifest_put(r.c_str(), tg.c_str(), body.data(), body.size(), kImageType, digest) ==
            0)
            note("own " + r + " " + tg + " " + sha256_hex(body));
    }

    void put_index() {
        if (puts_.empty()) return;
        const Put &child = puts_[static_cast<size_t>(pick(static_cast<int>(puts_.size())))];
        put(child.repo, tag(), index_json({sha256_hex(child.body)}), kIndexType);
    }

    void repush() {
        if (puts_.empty()) return;
        const Put p = puts_[static_cast<size_t>(pick(static_cast<int>(puts_.size())))];
        put(p.repo, pick(2) == 0 ? p.tag : tag(), p.body, p.type);
    }

    std::string delete_tag() {
        const std::string r = repo(), tg = tag();
        note("deltag " + r + " " + tg);
        reg_manifest_delete(r.c_str(), tg.c_str());
        return r + " " + tg;
    }

    void delete_digest() {
        if (puts_.empty()) return;
        const Put &p = puts_[static_cast<size_t>(pick(static_cast<int>(puts_.size())))];
        const std::string hex = sha256_hex(p.body);
        note("deldigest " + p.repo + " " + hex);
        reg_manifest_delete(p.repo.c_str(), ("sha256:" + hex).c_str());
    }

    void retention(bool dry) {
        if (!dry) note("retention-begins");
        int truncated = 0;
        const char *report = reg_retention_json(dry ? 1 : 0, 6, 0, 0, &truncated);
        check(json_ok(report));
        if (dry) return;
        if (report == nullptr || truncated) {
            note("retention-unknown");
            return;
        }
        yyjson_doc *doc = yyjson_read(report, std::strlen(report), 0);
        yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc), "deleted");
        for (size_t i = 0; i < yyjson_arr_size(list); ++i) {
            yyjson_val *e = yyjson_arr_get(list, i);
            note(std::string("retained-out ") + yyjson_get_str(yyjson_obj_get(e, "repository")) +
                 " " + yyjson_get_str(yyjson_obj_get(e, "tag")));
        }
        yyjson_doc_free(doc);
        note("retention-ends");
    }

    struct Put {
        std::string repo, tag, body;
        const char *type;
    };

    std::string t_;
    std::mt19937 rng_;
    std::chrono::steady_clock::time_point until_;
    std::ofstream log_;
    int index_;
    int malformed_ = 0;
    std::vector<std::string> open_, blobs_;
    std::vector<Put> puts_;
};

struct Logs {
    std::map<std::string, std::set<std::string>> put_hexes;  // "repo tag" -> digests put
    std::set<std::string> deleted_tags;                      // "repo tag"
    std::set<std::string> deleted_digests;                   // "repo hex"
    std::set<std::string> finished_uploads;
    std::map<std::string, std::string> own_last;  // "repo tag" -> last digest, "" if unsure
    bool retention_unknown = false;
};

Logs read_logs(const std::string &t) {
    Logs logs;
    for (const std::string &name : entries(t + "/log")) {
        std::istringstream in(read_text(t + "/log/" + name));
        std::string line;
        bool in_retention = false;
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string what, a, b, c;
            f >> what >> a >> b >> c;
            if (what == "put") logs.put_hexes[a + " " + b].insert(c);
            if (what == "deltag" && !b.empty()) logs.deleted_tags.insert(a + " " + b);
            if (what == "retained-out") logs.deleted_tags.insert(a + " " + b);
            if (what == "deldigest") logs.deleted_digests.insert(a + " " + b);
            if (what == "finished") logs.finished_uploads.insert(a);
            if (what == "own-try") logs.own_last[a + " " + b] = "";
            if (what == "own") logs.own_last[a + " " + b] = c;
            if (what == "retention-unknown") logs.retention_unknown = true;
            if (what == "retention-begins") in_retention = true;
            if (what == "retention-ends") in_retention = false;
        }
        // A real pass cut short by the end of the run deleted what it did unreported.
        if (in_retention) logs.retention_unknown = true;
    }
    return logs;
}

}  // namespace

TEST(Stress, EightProcessesLeaveAWholeStore) {
    const long seconds = env_number("QV_STRESS_SECONDS", 8);
    const long seed = env_number("QV_STRESS_SEED", 1);
    TempDir t;
    const std::string root = t / "store";
    make_dirs(t / "log");
    make_dirs(t / "ids");
    make_dirs(t / "bodies");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    reg_storage_cleanup();

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<ChildHandle> children;
    for (int i = 0; i < kWorkers; ++i)
        children.push_back(start_child(ChildSetup{}, [&, i] {
            ::alarm(static_cast<unsigned>(seconds + 120));
            return Worker(t.path(), i, seed, until).run();
        }));
    for (const ChildHandle &c : children) {
        const ChildResult r = finish_child(c);
        EXPECT_TRUE(r.exited && r.status == 0) << "a worker saw a malformed answer or died";
    }

    const Logs logs = read_logs(t.path());
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    int tags_seen = 0, tags_checked = 0;
    std::vector<std::string> repos;
    for (int r = 0; r < kRepos; ++r)
        repos.push_back("r" + std::to_string(r));
    for (int i = 0; i < kWorkers; ++i)
        repos.push_back("own" + std::to_string(i));
    for (const std::string &repo : repos) {
        const std::string manifests = root + "/repositories/" + repo + "/_manifests";
        // Every tag link is a whole digest of a manifest the repository stores.
        for (const std::string &tag : entries(manifests + "/tags")) {
            const std::string link = manifests + "/tags/" + tag + "/current/link";
            if (!exists(link)) continue;
            ++tags_seen;
            const std::string digest = read_text(link);
            ASSERT_EQ(digest.size(), 71u) << repo << ":" << tag;
            EXPECT_TRUE(exists(manifests + "/" + digest.substr(7)))
                << repo << ":" << tag << " names a manifest that is gone";
        }
        // Every tag put and never deleted by anyone resolves to one of the bodies put under
        // it, byte for byte.
        for (int i = 0; i < kTags; ++i) {
            const std::string tag = "t" + std::to_string(i);
            const auto puts = logs.put_hexes.find(repo + " " + tag);
            if (puts == logs.put_hexes.end() || logs.retention_unknown ||
                logs.deleted_tags.count(repo + " " + tag) != 0)
                continue;
            bool digest_deleted = false;
            for (const std::string &hex : puts->second)
                digest_deleted |= logs.deleted_digests.count(repo + " " + hex) != 0;
            if (digest_deleted) continue;
            ++tags_checked;
            char type[128], digest[80];
            const char *body = reg_manifest_get(repo.c_str(), tag.c_str(), type, digest);
            ASSERT_NE(body, nullptr) << repo << ":" << tag << ": " << reg_storage_last_error();
            const std::string hex = std::string(digest).substr(7);
            EXPECT_EQ(puts->second.count(hex), 1u) << repo << ":" << tag;
            EXPECT_EQ(body, read_text(t / "bodies/" + hex)) << repo << ":" << tag;
        }
        // Every blob a stored image manifest references is stored.
        for (const std::string &name : entries(manifests)) {
            if (name.size() != 64) continue;
            const std::string body = read_text(manifests + "/" + name);
            yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
            yyjson_val *top = yyjson_doc_get_root(doc);
            std::vector<yyjson_val *> refs = {yyjson_obj_get(top, "config")};
            yyjson_val *layers = yyjson_obj_get(top, "layers");
            for (size_t k = 0; k < yyjson_arr_size(layers); ++k)
                refs.push_back(yyjson_arr_get(layers, k));
            for (yyjson_val *ref : refs) {
                const char *d = yyjson_get_str(yyjson_obj_get(ref, "digest"));
                if (d == nullptr) continue;
                EXPECT_TRUE(exists(blob_path(root, std::string(d).substr(7))))
                    << repo << "@" << name << " lost blob " << d;
            }
            yyjson_doc_free(doc);
        }
    }
    // Every worker's own tags name exactly what it put there last.
    int own_checked = 0;
    for (const auto &[key, hex] : logs.own_last) {
        if (hex.empty()) continue;
        ++own_checked;
        const std::string repo = key.substr(0, key.find(' ')), tag = key.substr(key.find(' ') + 1);
        char type[128], digest[80];
        const char *body = reg_manifest_get(repo.c_str(), tag.c_str(), type, digest);
        ASSERT_NE(body, nullptr) << key << ": " << reg_storage_last_error();
        EXPECT_EQ(std::string(digest), "sha256:" + hex) << key;
        EXPECT_EQ(body, read_text(t / "bodies/" + hex)) << key;
        EXPECT_STREQ(type, kImageType) << key;
    }
    // Every blob file is named by the hash of its bytes.
    int blobs = 0;
    for (const std::string &fan : entries(root + "/blobs/sha256"))
        for (const std::string &name : entries(root + "/blobs/sha256/" + fan)) {
            if (name.size() != 64) continue;
            ++blobs;
            EXPECT_EQ(sha256_hex(read_text(root + "/blobs/sha256/" + fan + "/" + name)), name);
        }
    // Every upload is over (finished, or cancelled at the end): nothing of one is left.
    for (const std::string &name : entries(root + "/uploads"))
        ADD_FAILURE() << "left in uploads: " << name
                      << (logs.finished_uploads.count(name.substr(0, 36)) ? " (finished)" : "");
    std::printf(
        "seed %ld, %ld s: %d shared tags, %d checked, %d own tags checked, %d blobs, %zu uploads "
        "finished\n",
        seed, seconds, tags_seen, tags_checked, own_checked, blobs, logs.finished_uploads.size());
}
