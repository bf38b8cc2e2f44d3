// The store check: whether every blob hashes to its name, every manifest body to its digest,
// every tag and revision link holds one whole digest of a stored body, and every blob or child
// manifest a stored manifest references is there; and what killed operations left behind.
// With repair it mends what it can, and never deletes what may be someone's data: damaged
// files move to quarantine/ below the storage root, blobs and files set aside go back, and
// only leftovers older than the upload window go. The store keeps changing under it: a repair
// holds the collection's lease, acts only on the very file it judged (a client may have
// written it anew since), and leaves alone what an operation still running set aside.
#include <yyjson.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "digest/sha256.h"
#include "storage/gc_internal.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "storage/storage_internal.h"

namespace reg {

void (*fsck_listed_hook)(const char *dir) = nullptr;
void (*fsck_judged_hook)(const char *path) = nullptr;

namespace {

constexpr int64_t kLeftoverSeconds = 900;  // the upload window: older leftovers are no one's
constexpr size_t kListedMax = 100;         // entries of each list the report shows
constexpr size_t kHashChunk = 1 << 20;
constexpr size_t kLinkLen = 71;
constexpr uint64_t kLeaseRefreshMs = 5000;
constexpr std::string_view kDigestPrefix = "sha256:";
constexpr const char kChanged[] = "none (changed during the check)";

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

std::string join(const std::string &dir, std::string_view name) {
    std::string out = dir;
    out += qv::os::kSep;
    out += name;
    return out;
}

bool is_hex64(std::string_view name) {
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The file a temporary ".<name>.<pid>-<random>.tmp" stood in for.
std::string_view temporary_target(std::string_view name) {
    if (!is_temporary_name(name)) return {};
    name.remove_prefix(1);
    name.remove_suffix(4);
    const size_t cut = name.rfind('.');
    return cut == std::string_view::npos ? std::string_view() : name.substr(0, cut);
}

// A finish's private names: "<id>.finishing-<tag>.part" and "<id>.storing-<tag>.part".
bool is_private_upload_name(std::string_view name) {
    return name.ends_with(".part") && (name.find(".finishing-") != std::string_view::npos ||
                                       name.find(".storing-") != std::string_view::npos);
}

// What became of a file a repair meant to act on.
enum class Act { done, changed, failed };

// The entry's own look, as FileInfo; false with errno set.
bool look(const std::string &path, qv::os::FileInfo *info) {
    return qv::os::entry_info(path.c_str(), info);
}

// Whether path still holds the very file judged, with the bytes it had then.
Act still_judged(const std::string &path, const qv::os::FileInfo &judged) {
    qv::os::FileInfo now{};
    if (!look(path, &now)) return errno == ENOENT ? Act::changed : Act::failed;
    return qv::os::same_file(now, judged) ? Act::done : Act::changed;
}

// Moves the file judged at path to dest (a name nothing holds), only while path holds that
// very file: whatever a client wrote there since stays. A file that took its place between
// the look and the move is moved back at once.
Act move_judged(const std::string &path, const qv::os::FileInfo &judged, const std::string &dest) {
    if (const Act a = still_judged(path, judged); a != Act::done) return a;
    if (fsck_judged_hook != nullptr) fsck_judged_hook(path.c_str());
    if (!qv::os::rename_new(path.c_str(), dest.c_str())) return Act::failed;
    if (still_judged(dest, judged) == Act::done) return Act::done;
    if (!qv::os::rename_new(dest.c_str(), path.c_str())) return Act::changed;  // newer still there
    return qv::os::durable_entry(path.c_str()) ? Act::changed : Act::failed;
}

// Removes the file judged at path, under the same rule.
Act remove_judged(const std::string &path, const qv::os::FileInfo &judged) {
    char aside[kPathCap];
    if (!temporary_path(aside, path.c_str())) return Act::failed;
    const Act a = move_judged(path, judged, aside);
    if (a != Act::done) return a;
    return qv::os::remove_file(aside) && qv::os::durable_removal(aside) ? Act::done : Act::failed;
}

// Puts the file judged at path back under the name target, unless something holds it now.
Act put_back_judged(const std::string &path, const qv::os::FileInfo &judged,
                    const std::string &target) {
    if (const Act a = still_judged(path, judged); a != Act::done) return a;
    if (fsck_judged_hook != nullptr) fsck_judged_hook(path.c_str());
    if (!qv::os::rename_new(path.c_str(), target.c_str()))
        return errno == EEXIST ? Act::changed : Act::failed;
    return qv::os::durable_entry(target.c_str()) && qv::os::durable_removal(path.c_str())
               ? Act::done
               : Act::failed;
}

// Writes a torn link anew with text, only while the name still holds the torn file judged: a
// link a push wrote meanwhile stays.
Act rewrite_judged(const std::string &path, const qv::os::FileInfo &judged,
                   const std::string &text) {
    char aside[kPathCap];
    char fresh[kPathCap];
    if (!set_aside_path(aside, path.c_str()) || !temporary_path(fresh, path.c_str()))
        return Act::failed;
    if (const Act a = move_judged(path, judged, aside); a != Act::done) return a;
    Act out = Act::failed;
    if (write_file_durable(fresh, text.data(), text.size()) == 0) {
        if (qv::os::rename_new(fresh, path.c_str()))
            out = qv::os::durable_entry(path.c_str()) ? Act::done : Act::failed;
        else if (errno == EEXIST)
            out = Act::changed;
    }
    qv::os::remove_file(fresh);  // nothing there once it took the link's place
    // The torn one goes once a whole link stands; otherwise it goes back.
    if (out == Act::failed && qv::os::rename_new(aside, path.c_str())) return out;
    qv::os::remove_file(aside);
    qv::os::durable_removal(aside);
    return out;
}

const char *said(Act a, const char *done) {
    return a == Act::done ? done : a == Act::changed ? kChanged : "none";
}

void append_json_text(std::string *out, std::string_view text) {
    out->push_back('"');
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(ch);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out->append(esc);
        } else {
            out->push_back(ch);
        }
    }
    out->push_back('"');
}

struct Finding {
    std::string path;  // relative to the storage root
    std::string problem;
    std::string action;
};

struct List {
    long long count = 0;
    std::vector<Finding> first;
};

// A manifest body that reads whole and is its own bytes, with what it references.
struct SoundBody {
    std::string path;
    std::vector<std::string> blobs;     // config and layer digests
    std::vector<std::string> children;  // an index's manifests
};

class Check {
  public:
    Check(bool repair, reg_fsck_progress_fn progress, void *ctx)
        : repair_(repair), progress_(progress), ctx_(ctx) {}

    const char *run(int *damage_remains) {
        const uint64_t start = qv::os::monotonic_ms();
        now_ = qv::os::unix_now();
        // A collection renames blobs aside and removes them: a repair must not race one.
        if (repair_ && !lease_.acquire(kRepairLease)) return nullptr;
        lease_ms_ = start;
        buffer_.reset(static_cast<unsigned char *>(std::malloc(kHashChunk)));
        if (!buffer_) return out_of_memory();
        blobs_dir_ = join(s_root, "blobs/sha256");
        count_blob_bytes();
        check_blobs();
        check_repositories(join(s_root, "repositories"));
        check_leftovers_in(join(s_root, "uploads"), is_private_upload_name,
                           "upload file of a finish that did not end");
        check_leftovers_in(
            join(s_root, "_gc"),
            [](std::string_view name) {
                return name.starts_with("clock.") || is_temporary_name(name);
            },
            "file of a collection that did not end");
        check_trash(join(s_root, "_gc/trash"));
        if (!log_.empty() && write_action_log() != 0) return nullptr;
        const long long remaining = damage_left_ + missing_.count;
        if (damage_remains != nullptr) *damage_remains = remaining > 0 ? 1 : 0;
        return report(remaining, static_cast<long long>(qv::os::monotonic_ms() - start));
    }

  private:
    // A directory listed whole, or reported as one the check could not look into. One gone
    // meanwhile is no finding, and one made anew between two looks (a tag deleted and pushed
    // again) is listed again before it is called unreadable.
    bool listed(const std::string &dir, std::vector<DirEntry> *entries) {
        for (int attempt = 0; !list_entries(dir.c_str(), entries); ++attempt) {
            entries->clear();
            if (qv::os::is_missing(dir.c_str())) return false;
            if (attempt == 1) {
                damaged(dir, "directory cannot be listed: nothing in it was checked", "none");
                return false;
            }
        }
        keep_lease();
        if (fsck_listed_hook != nullptr) fsck_listed_hook(dir.c_str());
        return true;
    }

    // A repair that hashes for long still holds its lease: refreshed every few seconds.
    void keep_lease() {
        if (!repair_) return;
        const uint64_t now = qv::os::monotonic_ms();
        if (now - lease_ms_ < kLeaseRefreshMs) return;
        lease_ms_ = now;
        lease_.refresh();
    }

    // ---- blobs ------------------------------------------------------------------------------
    void count_blob_bytes() {
        std::vector<DirEntry> fan_outs;
        list_entries(blobs_dir_.c_str(), &fan_outs);
        for (const DirEntry &d : fan_outs) {
            std::vector<DirEntry> files;
            if (!d.is_dir || !list_entries((join(blobs_dir_, d.name)).c_str(), &files)) continue;
            const qv::os::HeldDir held(join(blobs_dir_, d.name).c_str());
            for (const DirEntry &f : files) {
                qv::os::FileInfo info{};
                if (!f.is_dir && (is_hex64(f.name) || !pending_stem(f.name).empty()) &&
                    held.entry_info(f.name.c_str(), &info))
                    bytes_total_ += info.size;
                keep_lease();
            }
        }
    }

    void check_blobs() {
        std::vector<DirEntry> fan_outs;
        if (!listed(blobs_dir_, &fan_outs)) return;
        for (const DirEntry &d : fan_outs) {
            if (!d.is_dir) continue;
            const std::string dir = join(blobs_dir_, d.name);
            std::vector<DirEntry> files;
            if (!listed(dir, &files)) continue;
            const qv::os::HeldDir held(dir.c_str());
            for (const DirEntry &f : files) {
                if (!f.is_dir && is_hex64(f.name)) check_blob(held, dir, f);
            }
            // Set aside after the blobs, so that one can stand in for a damaged blob.
            for (const DirEntry &f : files) {
                const std::string_view stem = pending_stem(f.name);
                if (!f.is_dir && !stem.empty())
                    check_set_aside(held, dir, f.name, std::string(stem));
            }
        }
    }

    // again: the file a client pushed while the first judgement was being acted on.
    void check_blob(const qv::os::HeldDir &held, const std::string &dir, const DirEntry &f,
                    bool again = false) {
        const std::string path = join(dir, f.name);
        if (!again) ++blobs_;
        keep_lease();
        std::string problem;
        char hex[65];
        qv::os::FileInfo judged{};
        if (!hash_file(held, f.name, hex, &judged)) {
            if (errno == ENOENT) return;  // collected meanwhile
            problem = errno == EINVAL || errno == ELOOP ? "not a regular file" : "cannot be read";
        } else if (f.name != hex) {
            problem = hex == kEmptyHex
                          ? "empty (what a crash leaves of a file never flushed)"
                          : "holds other bytes than its name's (sha256:" + std::string(hex) + ")";
        }
        if (problem.empty()) return;
        // What cannot be opened is judged by its look alone.
        if (judged.file_id == 0 && !held.entry_info(f.name.c_str(), &judged)) return;
        const std::string action = quarantine(path, judged);
        if (action == kChanged && !again) {
            note(&damaged_, path, problem, action);  // what stands there now is judged afresh
            return check_blob(held, dir, f, true);
        }
        damaged_blobs_.insert(f.name);
        damaged(path, problem, action);
    }

    // A blob a collection renamed aside and never removed: what every lookup would put back.
    // None is in use: a repair holds the lease no collection runs without.
    void check_set_aside(const qv::os::HeldDir &held, const std::string &dir,
                         const std::string &name, const std::string &hex) {
        const std::string path = join(dir, name);
        const std::string blob = join(dir, hex);
        char computed[65];
        qv::os::FileInfo judged{};
        if (!hash_file(held, name, computed, &judged)) {
            if (errno == ENOENT) return;  // put back or removed meanwhile
            damaged(path, "set aside by a collection, and cannot be read", "none");
            return;
        }
        if (hex != computed) {
            damaged(path, "set aside by a collection, and holds other bytes than its name's",
                    quarantine(path, judged));
            return;
        }
        const bool blob_whole = damaged_blobs_.count(hex) == 0 && blob_file_sound(blob.c_str());
        if (blob_whole) {
            leftover(path, "second copy of a stored blob, set aside by a collection",
                     repair_ ? said(remove_judged(path, judged), "removed") : "none");
            return;
        }
        set_aside_.insert(hex);
        if (!repair_) {
            leftover(path, "blob set aside by a collection (a lookup puts it back)", "none");
            return;
        }
        // The damaged blob in its place, if any, is in quarantine by now.
        const Act back = put_back_judged(path, judged, blob);
        if (back == Act::done) damaged_blobs_.erase(hex);
        leftover(path, "blob set aside by a collection", said(back, "put back"));
    }

    // Whether a blob is stored, or only set aside where a lookup puts it back.
    bool blob_stored(const std::string &hex) {
        if (damaged_blobs_.count(hex) != 0) return set_aside_.count(hex) != 0;
        char path[kPathCap];
        const std::string digest = std::string(kDigestPrefix) + hex;
        return blob_path_for_digest(path, digest.c_str()) == 0 &&
               (blob_file_sound(path) || set_aside_.count(hex) != 0);
    }

    // ---- repositories -----------------------------------------------------------------------
    // Every directory below repositories, depth first, no link entered; each _manifests found.
    void check_repositories(const std::string &top) {
        std::vector<std::string> pending{top};
        while (!pending.empty()) {
            const std::string dir = std::move(pending.back());
            pending.pop_back();
            std::vector<DirEntry> entries;
            if (!listed(dir, &entries)) continue;
            for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
                const std::string child = join(dir, it->name);
                if (it->is_link) {
                    damaged(child, "symbolic link in the store (never followed)", "none");
                } else if (it->is_dir && it->name == "_manifests") {
                    check_manifests(child);
                } else if (it->is_dir) {
                    pending.push_back(child);
                }
            }
        }
    }

    void check_manifests(const std::string &dir) {
        std::vector<DirEntry> entries;
        if (!listed(dir, &entries)) return;
        std::vector<SoundBody> sound;
        std::set<std::string> bodies;
        for (const DirEntry &e : entries) {
            if (e.is_dir || !is_hex64(e.name)) continue;
            ++manifests_;
            if (SoundBody body; check_body(join(dir, e.name), e.name, &body)) {
                bodies.insert(e.name);
                sound.push_back(std::move(body));
            }
        }
        // Bodies first: a content type set aside goes back only beside its body.
        for (const bool body_pass : {true, false}) {
            for (const DirEntry &e : entries) {
                if (!e.is_dir && is_temporary_name(e.name) &&
                    is_hex64(temporary_target(e.name)) == body_pass)
                    check_temporary(dir, e.name, &bodies);
            }
        }
        for (const SoundBody &body : sound) {
            for (const std::string &blob : body.blobs) {
                if (!blob_stored(blob.substr(kDigestPrefix.size())))
                    missing(body.path, "references blob " + blob + ", which is not stored");
            }
            for (const std::string &child : body.children) {
                if (bodies.count(child.substr(kDigestPrefix.size())) == 0)
                    missing(body.path,
                            "lists manifest " + child + ", which is not stored in this repository");
            }
        }
        check_revisions(join(dir, "revisions/sha256"), dir, bodies);
        check_tags(join(dir, "tags"), bodies);
    }

    bool check_body(const std::string &path, const std::string &hex, SoundBody *out,
                    bool again = false) {
        keep_lease();
        char *raw = nullptr;
        uint64_t len = 0;
        qv::os::FileInfo judged{};
        const int err = qv::os::read_whole(path.c_str(), kReadAllMax, &raw, &len, &judged);
        const std::unique_ptr<char, FreeDeleter> body(raw);
        if (err == ENOENT) return false;  // deleted meanwhile
        if (err == EFBIG) {
            damaged(path, "manifest body over 64 MiB, not checked", "none");
            return false;
        }
        std::string problem;
        if (err != 0) {
            problem = "manifest body cannot be read";
        } else if (len == 0) {
            problem = "manifest body is empty";
        } else if (!bytes_have_hex(body.get(), len, hex.c_str())) {
            problem = "manifest body holds other bytes than its digest's";
        }
        const std::unique_ptr<yyjson_doc, DocFree> doc(
            problem.empty() ? yyjson_read_opts(body.get(), len, 0, nullptr, nullptr) : nullptr);
        yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
        if (problem.empty() && !yyjson_is_obj(root)) problem = "manifest body is not a JSON object";
        if (!problem.empty()) {
            if (err != 0 && !look(path, &judged)) return false;
            const std::string action = quarantine(path, judged);
            if (action == kChanged && !again) {
                note(&damaged_, path, problem, action);  // pushed again: judged afresh
                return check_body(path, hex, out, true);
            }
            damaged(path, problem, action);
            return false;
        }
        out->path = path;
        add_digest(yyjson_obj_get(root, "config"), &out->blobs);
        add_digests(yyjson_obj_get(root, "layers"), &out->blobs);
        add_digests(yyjson_obj_get(root, "manifests"), &out->children);
        return true;
    }

    static void add_digest(yyjson_val *descriptor, std::vector<std::string> *out) {
        yyjson_val *digest =
            yyjson_is_obj(descriptor) ? yyjson_obj_get(descriptor, "digest") : nullptr;
        const char *text = yyjson_get_str(digest);
        if (text != nullptr && yyjson_get_len(digest) == kLinkLen && digest_valid(text))
            out->emplace_back(text);
    }

    static void add_digests(yyjson_val *list, std::vector<std::string> *out) {
        size_t i = 0, max = 0;
        yyjson_val *item = nullptr;
        if (yyjson_is_arr(list)) yyjson_arr_foreach(list, i, max, item) add_digest(item, out);
    }

    // A temporary in _manifests: a body (or its content type) a deletion moved aside and a
    // crash kept there goes back when it is whole and nothing took its place; anything else
    // is a leftover. Either way only once it is older than the window: until then the
    // deletion that moved it may still be deciding.
    void check_temporary(const std::string &dir, const std::string &name,
                         std::set<std::string> *bodies) {
        const std::string path = join(dir, name);
        const std::string target(temporary_target(name));
        const bool body = is_hex64(target);
        const bool type = target.ends_with(".ct") && is_hex64(target.substr(0, 64)) &&
                          bodies->count(target.substr(0, 64)) != 0;
        if ((body && bodies->count(target) == 0) || type) {
            char *raw = nullptr;
            uint64_t len = 0;
            qv::os::FileInfo judged{};
            const int err = qv::os::read_whole(path.c_str(), kReadAllMax, &raw, &len, &judged);
            const std::unique_ptr<char, FreeDeleter> bytes(raw);
            if (err == ENOENT) return;  // put back or removed by its deletion meanwhile
            const std::string back = join(dir, target);
            if (err == 0 &&
                (type || (len > 0 && bytes_have_hex(bytes.get(), len, target.c_str()))) &&
                qv::os::is_missing(back.c_str())) {
                if (!stale(name, judged)) return;
                const Act put = repair_ ? put_back_judged(path, judged, back) : Act::failed;
                if (put == Act::done && body) bodies->insert(target);
                leftover(path,
                         body ? "manifest body moved aside by a deletion that did not end"
                              : "content type moved aside by a deletion that did not end",
                         repair_ ? said(put, "put back") : "none");
                return;
            }
        }
        old_leftover(path, name, "temporary file of a write that did not end");
    }

    void check_revisions(const std::string &revisions, const std::string &manifests,
                         const std::set<std::string> &bodies) {
        std::vector<DirEntry> entries;
        if (!listed(revisions, &entries)) return;
        for (const DirEntry &e : entries) {
            if (!e.is_dir || !is_hex64(e.name)) continue;
            const std::string dir = join(revisions, e.name);
            const std::string link = join(dir, "link");
            const std::string expected = std::string(kDigestPrefix) + e.name;
            check_link_dir_leftovers(dir, expected, bodies);
            std::string text;
            qv::os::FileInfo judged{};
            if (read_link(link, &text, &judged) == ENOENT) continue;
            ++links_;
            const bool body_sound = bodies.count(e.name) != 0;
            if (text != expected) {
                damaged(link, "torn revision link",
                        repair_ && body_sound
                            ? said(rewrite_judged(link, judged, expected), "rewritten")
                            : quarantine(link, judged));
            } else if (!body_sound && qv::os::is_missing(join(manifests, e.name).c_str())) {
                missing(link, "names manifest " + expected + ", whose body is not stored");
            }
        }
    }

    void check_tags(const std::string &tags, const std::set<std::string> &bodies) {
        std::vector<DirEntry> entries;
        if (!listed(tags, &entries)) return;
        for (const DirEntry &e : entries) {
            if (!e.is_dir) continue;
            const std::string current = join(join(tags, e.name), "current");
            check_link_dir_leftovers(current, {}, bodies);
            if (!check_tag_link(join(current, "link"), bodies)) check_husk(join(tags, e.name));
        }
    }

    // A tag directory without a link: what a deletion of an older version left behind (they
    // kept the directories), once it has lain empty past the window (a push of that tag may
    // be making it this instant).
    void check_husk(const std::string &dir) {
        const std::string current = join(dir, "current");
        std::vector<DirEntry> entries;
        std::vector<DirEntry> inside;
        qv::os::FileInfo a{}, b{};
        if (!look(dir, &a) || !stale("", a) || !list_entries(dir.c_str(), &entries)) return;
        for (const DirEntry &e : entries)
            if (!e.is_dir || e.name != "current") return;
        if (!entries.empty() && (!look(current, &b) || !stale("", b) ||
                                 !list_entries(current.c_str(), &inside) || !inside.empty()))
            return;
        leftover(dir, "directory of a deleted tag",
                 repair_ && remove_tag_husk(dir.c_str()) && qv::os::durable_removal(dir.c_str())
                     ? "removed"
                     : "none");
    }

    // False when there is no link.
    bool check_tag_link(const std::string &link, const std::set<std::string> &bodies,
                        bool again = false) {
        std::string text;
        qv::os::FileInfo judged{};
        if (read_link(link, &text, &judged) == ENOENT) return false;  // none, or deleted meanwhile
        if (!again) ++links_;
        if (text.size() != kLinkLen || !digest_valid(text.c_str())) {
            const std::string action = quarantine(link, judged);
            if (action == kChanged && !again) {
                note(&damaged_, link, "torn tag link", action);  // pushed again: judged afresh
                return check_tag_link(link, bodies, true);
            }
            damaged(link, "torn tag link", action);
        } else if (bodies.count(text.substr(kDigestPrefix.size())) == 0) {
            missing(link,
                    "names manifest " + text + ", whose body is not stored (push the image again)");
        }
        return true;
    }

    // Temporaries beside a link. One a deletion moved aside and a crash kept there (a tag
    // re-pushed while a retention pass claimed it, among them) goes back when it holds a
    // whole digest (expected, for a revision link) of a sound body, no link took its place
    // and it is older than the window; the rest are leftovers.
    void check_link_dir_leftovers(const std::string &dir, const std::string &expected,
                                  const std::set<std::string> &bodies) {
        std::vector<DirEntry> entries;
        if (!listed(dir, &entries)) return;
        const std::string link = join(dir, "link");
        for (const DirEntry &e : entries) {
            if (e.is_dir || !is_temporary_name(e.name)) continue;
            const std::string path = join(dir, e.name);
            std::string text;
            qv::os::FileInfo judged{};
            if (temporary_target(e.name) == "link" && read_link(path, &text, &judged) == 0 &&
                text.size() == kLinkLen && digest_valid(text.c_str()) &&
                (expected.empty() || text == expected) &&
                bodies.count(text.substr(kDigestPrefix.size())) != 0 &&
                qv::os::is_missing(link.c_str())) {
                if (!stale(e.name, judged)) continue;
                leftover(path, "link moved aside by a deletion that did not end",
                         repair_ ? said(put_back_judged(path, judged, link), "put back") : "none");
                continue;
            }
            old_leftover(path, e.name, "temporary file of a write that did not end");
        }
    }

    // The link's text (or what stands for unreadable: never a whole digest) and its file;
    // ENOENT when there is none, 0 otherwise.
    static int read_link(const std::string &path, std::string *text, qv::os::FileInfo *info) {
        char buf[128];
        size_t len = 0;
        const int err = qv::os::read_regular(path.c_str(), buf, sizeof buf - 1, &len, info);
        if (err == ENOENT) return ENOENT;
        if (err != 0) {
            if (!look(path, info)) return errno == ENOENT ? ENOENT : 0;
            *text = "<unreadable>";
            return 0;
        }
        *text = std::string(buf, len);
        return 0;
    }

    // ---- leftovers --------------------------------------------------------------------------
    template <typename Pred>
    void check_leftovers_in(const std::string &dir, Pred is_leftover, const char *problem) {
        std::vector<DirEntry> entries;
        if (!listed(dir, &entries)) return;
        for (const DirEntry &e : entries) {
            if (!e.is_dir && is_leftover(e.name)) old_leftover(join(dir, e.name), e.name, problem);
        }
    }

    // What a repository's deletion moved out of the tree and could not remove (a crash).
    void check_trash(const std::string &dir) {
        std::vector<DirEntry> entries;
        if (!listed(dir, &entries)) return;
        for (const DirEntry &e : entries) {
            const std::string path = join(dir, e.name);
            qv::os::FileInfo info{};
            if (!look(path, &info) || !stale(e.name, info)) continue;
            leftover(
                path, "manifests of a repository deletion that did not end",
                repair_ && delete_tree(path.c_str()) == 0 && qv::os::durable_removal(path.c_str())
                    ? "removed"
                    : "none");
        }
    }

    // Whether a leftover has lain there longer than the upload window: one younger may belong
    // to an operation still running, and is neither listed nor touched.
    bool stale(std::string_view name, const qv::os::FileInfo &info) const {
        return now_ - leftover_date(name, info) >= kLeftoverSeconds + clock_margin();
    }

    void old_leftover(const std::string &path, std::string_view name, const char *problem) {
        qv::os::FileInfo judged{};
        if (!look(path, &judged) || !stale(name, judged)) return;
        leftover(path, problem, repair_ ? said(remove_judged(path, judged), "removed") : "none");
    }

    // ---- hashing ----------------------------------------------------------------------------
    // The hash of a file in the held directory, and the file hashed; false with errno set
    // when it cannot be read.
    bool hash_file(const qv::os::HeldDir &dir, const std::string &name, char hex[65],
                   qv::os::FileInfo *info) {
        std::unique_ptr<std::FILE, FileCloser> file(dir.open_read(name.c_str(), info));
        if (!file) return false;
        std::setvbuf(file.get(), nullptr, _IONBF, 0);  // whole chunks go straight to read(2)
        sha256_ctx ctx;
        sha256_init(&ctx);
        size_t got = 0;
        while ((got = std::fread(buffer_.get(), 1, kHashChunk, file.get())) > 0) {
            sha256_update(&ctx, buffer_.get(), got);
            bytes_hashed_ += static_cast<int64_t>(got);
            if (progress_ != nullptr)
                progress_(bytes_hashed_, std::max(bytes_total_, bytes_hashed_), ctx_);
            keep_lease();
        }
        if (std::ferror(file.get()) != 0) {
            errno = EIO;
            return false;
        }
        uint8_t hash[32];
        sha256_final(&ctx, hash);
        bin_to_hex(hash, hex);
        return true;
    }

    // ---- findings ---------------------------------------------------------------------------
    // Moves a damaged file into this run's quarantine directory, keeping its place below the
    // root, if it is still the file judged; the action text says where, or "none" in a check
    // that only looks.
    std::string quarantine(const std::string &path, const qv::os::FileInfo &judged) {
        if (!repair_) return "none";
        const std::string rel = relative(path);
        const std::string dest_rel = run_dir() + "/" + rel;
        const std::string dest = join(s_root, dest_rel);
        const std::string dest_dir = dest.substr(0, dest.find_last_of(qv::os::kSep));
        Act moved = still_judged(path, judged);  // no directory made for what stays
        if (moved == Act::done)
            moved = mkdirs(dest_dir.c_str()) == 0 ? move_judged(path, judged, dest) : Act::failed;
        if (moved == Act::changed) return kChanged;
        if (moved == Act::failed) return "none (could not be moved to quarantine)";
        if (!qv::os::durable_entry(dest.c_str()) || !qv::os::durable_removal(path.c_str()))
            return "moved to " + dest_rel + " (the move could not be flushed to disk)";
        return "moved to " + dest_rel;
    }

    // This run's own directory below quarantine/: "<UTC time>-<process id>".
    const std::string &run_dir() {
        if (quarantine_dir_.empty()) {
            std::tm tm{};
            char stamp[32] = "0";
            if (qv::os::utc_fields(now_, &tm))
                std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
            quarantine_dir_ = "quarantine/" + std::string(stamp) + "-" + process_tag();
        }
        return quarantine_dir_;
    }

    std::string relative(const std::string &path) const {
        std::string_view rest(path);
        const std::string_view root(s_root);
        if (rest.starts_with(root)) rest.remove_prefix(root.size());
        while (!rest.empty() && qv::os::is_sep(rest.front()))
            rest.remove_prefix(1);
        return std::string(rest);
    }

    void note(List *list, const std::string &path, std::string problem, std::string action) {
        ++list->count;
        Finding f{relative(path), std::move(problem), std::move(action)};
        if (repair_ && f.action != "none") log_.push_back(f);
        if (list->first.size() < kListedMax) list->first.push_back(std::move(f));
    }

    void damaged(const std::string &path, std::string problem, std::string action) {
        // Moved out of the way or rewritten: what remains is at most a missing reference,
        // which the check finds on its own.
        if (!action.starts_with("moved") && action != "rewritten") ++damage_left_;
        note(&damaged_, path, std::move(problem), std::move(action));
    }
    void missing(const std::string &path, std::string problem) {
        note(&missing_, path, std::move(problem), "none");
    }
    void leftover(const std::string &path, std::string problem, std::string action) {
        note(&leftovers_, path, std::move(problem), std::move(action));
    }

    // Every action of a repair, beside what it quarantined: the report shows only the first
    // of each list.
    int write_action_log() {
        std::string text;
        for (const Finding &f : log_)
            text += f.action + "\t" + f.path + "\t" + f.problem + "\n";
        const std::string dir = join(s_root, run_dir());
        if (mkdirs(dir.c_str()) != 0 ||
            write_file_durable(join(dir, "actions.log").c_str(), text.data(), text.size()) != 0) {
            set_error("cannot write the repair's action log in %s", dir.c_str());
            return -1;
        }
        return 0;
    }

    // ---- the report -------------------------------------------------------------------------
    static void append_list(std::string *out, const char *name, const List &list) {
        *out += ",\"";
        *out += name;
        *out += "\":{\"count\":" + std::to_string(list.count) + ",\"first\":[";
        for (size_t i = 0; i < list.first.size(); ++i) {
            const Finding &f = list.first[i];
            *out += i == 0 ? "{\"path\":" : ",{\"path\":";
            append_json_text(out, f.path);
            *out += ",\"problem\":";
            append_json_text(out, f.problem);
            *out += ",\"action\":";
            append_json_text(out, f.action);
            *out += "}";
        }
        *out += "]}";
    }

    const char *report(long long remaining, long long elapsed_ms) {
        std::string out = "{\"repair\":";
        out += repair_ ? "true" : "false";
        out += ",\"blobs_checked\":" + std::to_string(blobs_) +
               ",\"bytes_hashed\":" + std::to_string(bytes_hashed_) +
               ",\"manifests_checked\":" + std::to_string(manifests_) +
               ",\"links_checked\":" + std::to_string(links_);
        append_list(&out, "damaged", damaged_);
        append_list(&out, "missing", missing_);
        append_list(&out, "leftovers", leftovers_);
        out += ",\"quarantine\":";
        append_json_text(&out, quarantine_dir_);
        out += ",\"damage_remaining\":" + std::to_string(remaining) +
               ",\"elapsed_ms\":" + std::to_string(elapsed_ms) + "}";
        if (out.size() >= kResultCap) {
            set_error("store check report too large for the result buffer");
            return nullptr;
        }
        std::memcpy(s_result, out.c_str(), out.size() + 1);
        clear_error();
        return s_result;
    }

    const char *out_of_memory() {
        set_error("out of memory");
        return nullptr;
    }

    const bool repair_;
    const reg_fsck_progress_fn progress_;
    void *const ctx_;
    int64_t now_ = 0;
    GcLease lease_;
    uint64_t lease_ms_ = 0;
    std::unique_ptr<unsigned char, FreeDeleter> buffer_;
    std::string blobs_dir_;
    std::string quarantine_dir_;
    int64_t bytes_total_ = 0;
    int64_t bytes_hashed_ = 0;
    long long blobs_ = 0;
    long long manifests_ = 0;
    long long links_ = 0;
    long long damage_left_ = 0;
    std::set<std::string> damaged_blobs_;
    std::set<std::string> set_aside_;
    List damaged_, missing_, leftovers_;
    std::vector<Finding> log_;
};

}  // namespace
}  // namespace reg

using namespace reg;

const char *reg_fsck_json(int repair, reg_fsck_progress_fn progress, void *ctx,
                          int *damage_remains) {
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    try {
        std::unique_ptr<Check> check(new Check(repair != 0, progress, ctx));
        return check->run(damage_remains);
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return nullptr;
    }
}
