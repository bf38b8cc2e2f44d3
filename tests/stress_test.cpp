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
#include <deque>
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
#include "support/manifest_refs.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 8;
constexpr int kRepos = 3;
constexpr int kTags = 10;
constexpr int kRetentionKeep = 6;
// Tags in a repository of each worker's own, which only it writes and deletes: images, and
// indexes over them, no more than retention keeps, so that what each names is known exactly.
constexpr int kOwnImages = 4;
constexpr int kOwnIndexes = 2;
static_assert(kOwnImages + kOwnIndexes <= kRetentionKeep);
// Blobs stored long ago that nothing references, for collections to remove while workers
// mount them; the workers age more as they go.
constexpr int kAgedAtStart = 300;
// Every blob stored or found in a run shorter than a collection's window outlasts the run.
constexpr long kWindowSeconds = 900;
// Collections refuse while an upload is being written, as eight processes nearly always are:
// in the last part of every period nobody uploads, so that collections do run among the
// lookups, mounts, pushes and deletions.
constexpr long kPeriodMs = 2000;
constexpr long kQuietFromMs = 1400;
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

// Written whole under a private name first: other processes read these files at any time.
void publish(const std::string &path, const std::string &bytes, int index) {
    const std::string tmp = path + "." + std::to_string(index);
    write_text(tmp, bytes);
    std::rename(tmp.c_str(), path.c_str());
}

// Read straight from the file, not through a lookup, which would put back or date it.
std::string blob_problem(const std::string &root, const std::string &hex) {
    try {
        if (sha256_hex(read_text(blob_path(root, hex))) == hex) return "";
        return "blob " + hex + " does not hash to its digest";
    } catch (const std::exception &) {
        return "blob " + hex + " is gone";
    }
}

// "" when every blob the body references is whole, and so is every child of an index,
// which resolves in the index's repository.
std::string image_problem(const std::string &root, const std::string &repo,
                          const std::string &body) {
    const Refs refs = refs_of(body);
    for (const std::string &hex : refs.blobs)
        if (std::string p = blob_problem(root, hex); !p.empty()) return p;
    for (const std::string &hex : refs.children) {
        char type[128], digest[80];
        const char *child = reg_manifest_get(repo.c_str(), ("sha256:" + hex).c_str(), type, digest);
        if (child == nullptr)
            return "index child " + hex + " does not resolve: " + reg_storage_last_error();
        if (std::string p = image_problem(root, repo, child); !p.empty())
            return "index child " + hex + ": " + p;
    }
    return "";
}

// What is wrong with a tag that should name the manifest of hex, whole ("-": be gone), or "".
std::string tag_problem(const std::string &root, const std::string &bodies, const std::string &repo,
                        const std::string &tag, const std::string &hex) {
    char type[128], digest[80];
    const char *got = reg_manifest_get(repo.c_str(), tag.c_str(), type, digest);
    const std::string where = repo + ":" + tag + " ";
    if (hex == "-") return got == nullptr ? "" : where + "was deleted, yet names " + digest;
    if (got == nullptr) return where + "does not resolve: " + reg_storage_last_error();
    const std::string body = got;
    if (std::string(digest) != "sha256:" + hex) return where + "names " + digest + ", not " + hex;
    if (body != read_text(bodies + "/" + hex)) return where + "resolves to other bytes";
    const std::string p = image_problem(root, repo, body);
    return p.empty() ? "" : where + "(" + hex + "): " + p;
}

// One worker: its own log of what it did, one line per event, for the checks afterwards.
class Worker {
  public:
    Worker(const std::string &t, int index, long seed, Clock::time_point start,
           Clock::time_point until)
        : t_(t),
          root_(t + "/store"),
          rng_(static_cast<unsigned>(seed * 1000 + index)),
          start_(start),
          until_(until),
          log_(t + "/log/" + std::to_string(index)),
          index_(index) {
        for (int i = 0; i < kOwnImages; ++i)
            own_["o" + std::to_string(i)] = "-";
        for (int i = 0; i < kOwnIndexes; ++i)
            own_["x" + std::to_string(i)] = "-";
    }

    int run() {
        if (reg_storage_init(root_.c_str()) != 0) return 90;
        for (; Clock::now() < until_; ++counts_["operations"])
            step();
        cancel_open();
        check_own();
        for (const auto &[tag, state] : own_)
            note("final " + own_repo() + " " + tag + " " + state);
        for (const auto &entry : stored_)
            note("final " + own_repo() + " sha256:" + entry.first + " " + entry.first);
        for (const std::string &hex : gone_)
            note("final " + own_repo() + " sha256:" + hex + " -");
        for (const auto &[what, n] : counts_)
            note("count " + what + " " + std::to_string(n));
        return malformed_ == 0 && faults_ == 0 ? 0 : 1;
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    template <typename T>
    const T &any(const std::vector<T> &v) {
        return v[static_cast<size_t>(pick(static_cast<int>(v.size())))];
    }
    std::string repo() { return "r" + std::to_string(pick(kRepos)); }
    std::string tag() { return "t" + std::to_string(pick(kTags)); }
    std::string own_repo() const { return "own" + std::to_string(index_); }
    void note(const std::string &line) {
        log_ << line << "\n";
        log_.flush();
    }
    void check(bool ok) { malformed_ += ok ? 0 : 1; }
    void fault(const std::string &what) {
        ++faults_;
        note("fault " + what);
    }
    bool quiet() const {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
        return ms % kPeriodMs >= kQuietFromMs;
    }

    void step() {
        const bool quiet_now = quiet();
        if (quiet_now) cancel_open();
        switch (pick(22)) {
            case 0:
            case 1:
                quiet_now ? lookup() : upload();
                break;
            case 2:
                quiet_now ? mount() : append_to_someone_elses();
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
                collect();
                break;
            case 13:
                quiet_now ? lookup() : start_upload();
                break;
            case 14:
                put_own();
                break;
            case 15:
                lookup();
                break;
            case 16:
                mount();
                break;
            case 17:
                quiet_now ? mount() : age();
                break;
            case 18:
                put_own_index();
                break;
            case 19:
                store_check();
                break;
            case 20:
                put_untagged_long_ago();
                break;
            default:
                pick(2) == 0 ? delete_own_tag() : delete_own_digest();
                break;
        }
    }

    void collect() {
        const bool dry = pick(4) == 0;
        const char *report = reg_gc_json(dry ? 1 : 0);
        check(json_ok(report));
        if (report == nullptr) ++counts_["collections-refused"];
        if (report != nullptr && !dry) ++counts_["collections"];
    }

    // The store check, mostly with repair, as one more actor among pushes, deletions and
    // collections: in a store nothing damaged, a repair finds nothing to act on, and whatever
    // an operation in flight set aside is its own.
    void store_check() {
        const bool repair = pick(4) != 0;
        const char *report = reg_fsck_json(repair ? 1 : 0, nullptr, nullptr, nullptr);
        check(json_ok(report));
        if (report == nullptr) {
            ++counts_["repairs-refused"];  // a collection ran
            return;
        }
        ++counts_[repair ? "repairs" : "checks"];
        yyjson_doc *doc = yyjson_read(report, std::strlen(report), 0);
        yyjson_val *root = yyjson_doc_get_root(doc);
        if (yyjson_get_int(yyjson_obj_getn(yyjson_obj_get(root, "damaged"), "count", 5)) != 0)
            fault(std::string("the check found damage: ") + report);
        yyjson_val *leftovers = yyjson_obj_getn(yyjson_obj_get(root, "leftovers"), "first", 5);
        for (size_t i = 0; i < yyjson_arr_size(leftovers); ++i)
            if (std::strcmp(yyjson_get_str(yyjson_obj_get(yyjson_arr_get(leftovers, i), "action")),
                            "none") != 0)
                fault(std::string("the repair acted on a leftover: ") + report);
        yyjson_doc_free(doc);
    }

    // An upload others may append to while it is open.
    void start_upload() {
        char id[37];
        if (reg_blob_start_upload(id) != 0) return;
        open_.push_back(id);
        write_text(t_ + "/ids/" + id, "");
    }

    void cancel_open() {
        for (const std::string &id : open_) {
            reg_blob_cancel_upload(id.c_str());
            std::remove((t_ + "/ids/" + id).c_str());
        }
        open_.clear();
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
        const int rc = finish(id.c_str(), digest);
        note("finished " + id);
        std::remove((t_ + "/ids/" + id).c_str());
        open_.erase(open_.begin() + static_cast<long>(at));
        if (rc != 0) return;
        blobs_.push_back(digest.substr(7));
        sizes_[blobs_.back()] = static_cast<int64_t>(bytes.size());
        note("up " + blobs_.back());
    }

    // Only another process's append may spoil an upload (ids recur across processes, so
    // even one never offered); any other failure is a fault (a collection emptying the
    // fan-out directory meanwhile used to fail it).
    int finish(const char *id, const std::string &digest) {
        char out[72];
        if (reg_blob_finish_upload(id, digest.c_str(), out) == 0) return 0;
        const std::string error = reg_storage_last_error();
        if (error.rfind("digest mismatch", 0) == 0) return -1;
        fault("finishing upload " + std::string(id) + " failed: " + error);
        return -1;
    }

    // One upload of the bytes from start to finish; the hex, or "" when it did not go in.
    std::string store(const std::string &bytes) {
        char id[37];
        const std::string digest = "sha256:" + sha256_hex(bytes);
        if (reg_blob_start_upload(id) != 0) return "";
        if (reg_blob_append_chunk(id, bytes.data(), bytes.size()) != 0 || finish(id, digest) != 0) {
            reg_blob_cancel_upload(id);
            return "";
        }
        return digest.substr(7);
    }

    void append_to_someone_elses() {
        const std::vector<std::string> ids = entries(t_ + "/ids");
        if (ids.empty()) return;
        reg_blob_append_chunk(any(ids).c_str(), "+", 1);
    }

    // A blob stored long ago that nothing references (dated back as if it were), offered to
    // every worker to mount; nobody has met it before it is offered.
    void age() {
        const std::string bytes = "aged " + std::to_string(index_) + ":" + std::to_string(rng_());
        const std::string hex = store(bytes);
        if (hex.empty()) return;
        set_mtime(blob_path(root_, hex), kLongAgo);
        publish(t_ + "/aged/" + hex, bytes, index_);
        note("aged " + hex);
    }

    // A client's HEAD or GET: 1 when the blob is there (which dates it: noted, as it must then
    // outlast the run), 0 when not.
    int look(const std::string &hex, int64_t size) {
        ++counts_["lookups"];
        const std::string digest = "sha256:" + hex;
        int found = 0;
        if (pick(2) == 0) {
            found = reg_blob_exists(digest.c_str());
            if (found < 0) fault("lookup of " + hex + " failed: " + reg_storage_last_error());
        } else {
            const int64_t got = reg_blob_get_size(digest.c_str());
            if (got >= 0 && got != size)
                fault("blob " + hex + " has size " + std::to_string(got) + ", not " +
                      std::to_string(size));
            found = got >= 0 ? 1 : 0;
        }
        if (found == 1) note("found " + hex);
        return found == 1 ? 1 : 0;
    }

    void lookup() {
        if (!blobs_.empty() && pick(2) == 0) {
            const std::string &hex = any(blobs_);
            note("look " + hex);
            if (look(hex, sizes_[hex]) != 1) fault("blob " + hex + " uploaded in this run is gone");
            return;
        }
        const std::vector<std::string> aged = entries(t_ + "/aged");
        if (aged.empty()) return;
        const std::string &hex = any(aged);
        if (hex.size() != 64) return;
        note("look " + hex);
        look(hex, static_cast<int64_t>(read_text(t_ + "/aged/" + hex).size()));
    }

    // A push that uploads only what its lookups did not find: a blob stored long ago, by
    // anyone, and one of this worker's own.
    void mount() {
        const std::vector<std::string> aged = entries(t_ + "/aged");
        if (aged.empty() || blobs_.empty()) return;
        const std::string &hex = any(aged);
        if (hex.size() != 64) return;
        ++counts_["mounts"];
        note("mount " + hex);
        const std::string bytes = read_text(t_ + "/aged/" + hex);
        if (look(hex, static_cast<int64_t>(bytes.size())) == 1) {
            ++counts_["mounts-found"];
        } else if (store(bytes) == hex) {
            note("up " + hex);
        } else {
            return;
        }
        const std::string &mine = any(blobs_);
        if (look(mine, sizes_[mine]) != 1) {
            fault("blob " + mine + " uploaded in this run is gone");
            return;
        }
        put_own_image(image_json(hex, {mine, hex}));
    }

    std::string save_body(const std::string &body) {
        const std::string hex = sha256_hex(body);
        if (!exists(t_ + "/bodies/" + hex)) publish(t_ + "/bodies/" + hex, body, index_);
        return hex;
    }

    void put(const std::string &r, const std::string &tg, const std::string &body,
             const char *type) {
        const std::string hex = save_body(body);
        char digest[72];
        // Logged before the call: a put that fails half-way may still have moved the tag.
        note("put " + r + " " + tg + " " + hex);
        if (reg_manifest_put(r.c_str(), tg.c_str(), body.data(), body.size(), type, digest) == 0) {
            puts_.push_back({r, tg, body, type});
            return;
        }
        // An image's blobs were all uploaded in this run: no collection may have taken one.
        const std::string error = reg_storage_last_error();
        if (type == kImageType && error.rfind("BLOB_UNKNOWN", 0) == 0)
            fault("put " + r + ":" + tg + " of blobs uploaded in this run: " + error);
    }

    void put_image() {
        if (blobs_.size() < 2) return;
        const std::string &config = blobs_[blobs_.size() - 1 - static_cast<size_t>(pick(2))];
        put(repo(), tag(), image_json(config, {any(blobs_)}), kImageType);
    }

    // An index over two image manifests of one repository (which others may be deleting).
    void put_index() {
        if (puts_.empty()) return;
        const Put &first = any(puts_);
        const Put &second = any(puts_);
        if (first.type != kImageType || second.type != kImageType || first.repo != second.repo ||
            first.body == second.body)
            return;
        ++counts_["index-pushes"];
        put(first.repo, tag(), index_json({sha256_hex(first.body), sha256_hex(second.body)}),
            kIndexType);
    }

    // An image pushed by digest alone and dated as if long ago, so that the untagged rule of a
    // pass selects it while others may tag it, list it in an index or push it again.
    void put_untagged_long_ago() {
        if (blobs_.size() < 2) return;
        const std::string r = repo(), body = image_json(blobs_.back(), {any(blobs_)});
        const std::string digest = "sha256:" + sha256_hex(body);
        put(r, digest, body, kImageType);
        set_mtime(root_ + "/repositories/" + r + "/_manifests/" + digest.substr(7), kLongAgo);
    }

    void repush() {
        if (puts_.empty()) return;
        const Put p = any(puts_);
        put(p.repo, pick(2) == 0 ? p.tag : tag(), p.body, p.type);
    }

    std::string delete_tag() {
        const std::string r = repo(), tg = tag();
        note("deltag " + r + " " + tg);
        ++counts_["tag-deletions"];
        reg_manifest_delete(r.c_str(), tg.c_str());
        return r + " " + tg;
    }

    void delete_digest() {
        if (puts_.empty()) return;
        const Put &p = any(puts_);
        const std::string hex = sha256_hex(p.body);
        note("deldigest " + p.repo + " " + hex);
        ++counts_["digest-deletions"];
        if (reg_manifest_delete(p.repo.c_str(), ("sha256:" + hex).c_str()) != 0 &&
            std::strncmp(reg_storage_last_error(), "DENIED: ", 8) == 0)
            ++counts_["denied"];
    }

    void retention(bool dry) {
        if (!dry) note("retention-begins");
        int truncated = 0;
        const reg_retention_policy policy{kRetentionKeep, 0, 0, pick(2)};  // untagged rule or not
        const char *report = reg_retention_policy_json(dry ? 1 : 0, &policy, &truncated);
        check(json_ok(report));
        if (dry) return;
        if (report == nullptr || truncated) {
            note("retention-unknown");
            return;
        }
        yyjson_doc *doc = yyjson_read(report, std::strlen(report), 0);
        yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc), "deleted");
        counts_["untagged-deleted"] +=
            yyjson_get_int(yyjson_obj_get(yyjson_doc_get_root(doc), "manifests_deleted"));
        for (size_t i = 0; i < yyjson_arr_size(list); ++i) {
            yyjson_val *e = yyjson_arr_get(list, i);
            note(std::string("retained-out ") + yyjson_get_str(yyjson_obj_get(e, "repository")) +
                 " " + yyjson_get_str(yyjson_obj_get(e, "tag")));
        }
        yyjson_doc_free(doc);
        note("retention-ends");
    }

    // The worker's own repository. Every put there follows a client's protocol (blobs
    // uploaded or found in this run, an index's children tagged there), so none may fail.
    void put_own_image(const std::string &body) {
        put_own_manifest("o" + std::to_string(pick(kOwnImages)), body, kImageType);
    }

    void put_own_manifest(const std::string &tg, const std::string &body, const char *type) {
        const std::string hex = save_body(body);
        note("own-put " + tg + " " + hex);
        own_[tg] = "?";  // a put that fails may have moved the tag or not
        char digest[72];
        if (reg_manifest_put(own_repo().c_str(), tg.c_str(), body.data(), body.size(), type,
                             digest) == 0) {
            own_[tg] = hex;
            stored_[hex] = refs_of(body).children;
            gone_.erase(hex);
        } else {
            fault("put " + own_repo() + ":" + tg + " " + hex + ": " + reg_storage_last_error());
        }
        check_own();
    }

    void forget(const std::string &hex) {
        stored_.erase(hex);
        gone_.insert(hex);
    }

    // What the stored indexes list: those manifests stay while one does.
    std::set<std::string> listed() const {
        std::set<std::string> out;
        for (const auto &entry : stored_)
            out.insert(entry.second.begin(), entry.second.end());
        return out;
    }

    // Own images have two layers, shared ones one: no index elsewhere lists an own image.
    void put_own() {
        if (blobs_.empty()) return;
        put_own_image(image_json(any(blobs_), {blobs_.back(), any(blobs_)}));
    }

    void put_own_index() {
        std::vector<std::string> images;
        for (int i = 0; i < kOwnImages; ++i)
            if (const std::string &s = own_["o" + std::to_string(i)]; s.size() == 64)
                images.push_back(s);
        if (images.size() < 2) return;
        const std::string first = any(images), second = any(images);
        if (first == second) return;
        ++counts_["index-pushes"];
        put_own_manifest("x" + std::to_string(pick(kOwnIndexes)), index_json({first, second}),
                         kIndexType);
    }

    // The manifest goes with its last tag, unless a stored index lists it.
    void delete_own_tag() {
        std::vector<std::string> tags;
        for (const auto &entry : own_)
            tags.push_back(entry.first);
        const std::string tg = any(tags), was = own_[tg];
        note("own-deltag " + tg);
        ++counts_["tag-deletions"];
        const int rc = reg_manifest_delete(own_repo().c_str(), tg.c_str());
        if (rc == 0 && was == "-")
            fault("deleting " + own_repo() + ":" + tg + ", not there, succeeded");
        if (rc != 0 && was.size() == 64)
            fault("deleting " + own_repo() + ":" + tg + " failed: " + reg_storage_last_error());
        own_[tg] = rc == 0 ? "-" : was == "-" ? "-" : "?";
        bool named = false;
        for (const auto &entry : own_)
            named |= entry.second == was;
        if (rc == 0 && was.size() == 64 && !named && listed().count(was) == 0) forget(was);
        check_own();
    }

    // Refused while a stored index lists the manifest, and only then; tagged or not.
    void delete_own_digest() {
        if (stored_.empty()) return;
        std::vector<std::string> candidates;
        for (const auto &entry : stored_)
            candidates.push_back(entry.first);
        bool unsure = false;
        for (const auto &entry : own_)
            unsure |= entry.second == "?";
        const std::string hex = any(candidates);
        const bool is_listed = listed().count(hex) != 0;
        note("own-deldigest " + hex);
        ++counts_["digest-deletions"];
        const int rc = reg_manifest_delete(own_repo().c_str(), ("sha256:" + hex).c_str());
        const std::string error = rc == 0 ? "" : reg_storage_last_error();
        const bool denied = error.rfind("DENIED: ", 0) == 0;
        counts_["denied"] += denied ? 1 : 0;
        const std::string what = "deleting " + own_repo() + "@" + hex;
        if (is_listed && !denied)
            fault(what + ", which an index lists, " + (rc == 0 ? "succeeded" : "failed: " + error));
        if (!is_listed && rc != 0 && !unsure) fault(what + " failed: " + error);
        if (rc != 0) return check_own();
        forget(hex);
        for (auto &entry : own_)
            if (entry.second == hex) entry.second = "-";
        check_own();
    }

    // Each own tag resolves to what was put there last, whole, and each deleted one is gone.
    void check_own() {
        for (const auto &[tg, state] : own_) {
            if (state == "?") continue;
            ++counts_["own-tags-checked"];
            const std::string p = tag_problem(root_, t_ + "/bodies", own_repo(), tg, state);
            if (!p.empty()) fault(p);
            if (p.empty() && state != "-") ++counts_["own-images-whole"];
        }
    }

    struct Put {
        std::string repo, tag, body;
        const char *type;
    };

    std::string t_, root_;
    std::mt19937 rng_;
    Clock::time_point start_, until_;
    std::ofstream log_;
    int index_;
    int malformed_ = 0, faults_ = 0;
    std::map<std::string, long> counts_;
    std::vector<std::string> open_, blobs_;
    std::map<std::string, int64_t> sizes_;
    std::vector<Put> puts_;
    std::map<std::string, std::string> own_;  // tag -> hex it names, "-" none, "?" unknown
    std::map<std::string, std::vector<std::string>> stored_;  // own bodies -> children listed
    std::set<std::string> gone_;                              // own bodies deleted
};

struct Fault {
    std::string worker, what, before;
};

struct Logs {
    std::map<std::string, std::set<std::string>> put_hexes;  // "repo tag" -> digests put
    std::set<std::string> deleted_tags;                      // "repo tag"
    std::set<std::string> deleted_digests;                   // "repo hex"
    std::set<std::string> finished_uploads;
    std::set<std::string> met_blobs;               // uploaded or found by a lookup
    std::map<std::string, std::string> own_final;  // "repo tag" -> what it names, as own_
    std::vector<Fault> faults;
    std::map<std::string, long> counts;
    bool retention_unknown = false;
};

Logs read_logs(const std::string &t) {
    Logs logs;
    for (const std::string &name : entries(t + "/log")) {
        std::istringstream in(read_text(t + "/log/" + name));
        std::string line;
        std::deque<std::string> recent;
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
            if (what == "up" || what == "found") logs.met_blobs.insert(a);
            if (what == "final") logs.own_final[a + " " + b] = c;
            if (what == "retention-unknown") logs.retention_unknown = true;
            if (what == "retention-begins") in_retention = true;
            if (what == "retention-ends") in_retention = false;
            if (what == "count") logs.counts[a] += std::atol(b.c_str());
            if (what == "fault") {
                std::string before;
                for (const std::string &r : recent)
                    before += "\n    " + r;
                logs.faults.push_back({name, line.substr(6), before});
            }
            recent.push_back(line);
            if (recent.size() > 12) recent.pop_front();
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
    make_dirs(t / "aged");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    for (int i = 0; i < kAgedAtStart; ++i) {
        const std::string bytes = "aged at start " + std::to_string(i);
        write_text(t / "aged/" + put_blob(root, bytes), bytes);
    }
    reg_storage_cleanup();

    const auto start = Clock::now();
    const auto until = start + std::chrono::seconds(seconds);
    std::vector<ChildHandle> children;
    for (int i = 0; i < kWorkers; ++i)
        children.push_back(start_child(ChildSetup{}, [&, i] {
            ::alarm(static_cast<unsigned>(seconds + 120));
            return Worker(t.path(), i, seed, start, until).run();
        }));
    for (const ChildHandle &c : children) {
        const ChildResult r = finish_child(c);
        EXPECT_TRUE(r.exited && r.status == 0)
            << "a worker saw a malformed answer or a fault (below), or died";
    }

    const Logs logs = read_logs(t.path());
    for (const Fault &f : logs.faults)
        ADD_FAILURE() << "seed " << seed << ", worker " << f.worker << ": " << f.what
                      << "\n  after:" << f.before;
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
        // Every blob a stored manifest references is stored, and every child of a stored
        // index is stored in the index's repository.
        for (const std::string &name : entries(manifests)) {
            if (name.size() != 64) continue;
            const Refs refs = refs_of(read_text(manifests + "/" + name));
            for (const std::string &hex : refs.blobs)
                EXPECT_TRUE(exists(blob_path(root, hex)))
                    << repo << "@" << name << " lost blob " << hex;
            for (const std::string &hex : refs.children)
                EXPECT_TRUE(exists(manifests + "/" + hex))
                    << repo << "@" << name << " lost its child " << hex;
        }
    }
    // Every worker's own tags are as it left them: what it put last, whole, or gone; and so
    // are the manifests it stored there, by digest.
    int own_checked = 0;
    for (const auto &[key, state] : logs.own_final) {
        if (state == "?") continue;
        ++own_checked;
        const std::string repo = key.substr(0, key.find(' ')), tag = key.substr(key.find(' ') + 1);
        EXPECT_EQ(tag_problem(root, t / "bodies", repo, tag, state), "") << key;
    }
    // Every blob uploaded or found by a lookup in the run is there, for the window after.
    if (seconds < kWindowSeconds) {
        for (const std::string &hex : logs.met_blobs)
            EXPECT_EQ(blob_problem(root, hex), "") << "uploaded or found in this run";
    }
    // Every blob file is named by the hash of its bytes.
    int blobs = 0;
    for (const std::string &fan : entries(root + "/blobs/sha256"))
        for (const std::string &name : entries(root + "/blobs/sha256/" + fan)) {
            if (name.size() != 64) continue;
            ++blobs;
            EXPECT_EQ(sha256_hex(read_text(root + "/blobs/sha256/" + fan + "/" + name)), name);
        }
    // No repair moved anything to quarantine: nothing was damaged.
    EXPECT_FALSE(exists(root + "/quarantine")) << tree_listing(root + "/quarantine");
    // Every upload is over (finished, or cancelled at the end): nothing of one is left.
    for (const std::string &name : entries(root + "/uploads"))
        ADD_FAILURE() << "left in uploads: " << name
                      << (logs.finished_uploads.count(name.substr(0, 36)) ? " (finished)" : "");
    std::printf(
        "seed %ld, %ld s: %d shared tags, %d checked, %d own tags and manifests checked at the "
        "end, %d blobs, "
        "%zu uploads finished, %zu blobs uploaded or found checked\n",
        seed, seconds, tags_seen, tags_checked, own_checked, blobs, logs.finished_uploads.size(),
        logs.met_blobs.size());
    for (const auto &[what, n] : logs.counts)
        std::printf("%s %ld; ", what.c_str(), n);
    std::printf("\n");
}
