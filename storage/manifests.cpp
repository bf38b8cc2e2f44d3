// Manifest references: resolving, reading back, deleting tags and manifests, and deleting
// whole repositories.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "storage/gc_internal.h"
#include "storage/manifest_resolve.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "storage/storage_internal.h"
#include "storage/tag_rules.h"

namespace reg {

void (*tag_delete_scanned_hook)() = nullptr;
void (*digest_delete_tags_removed_hook)() = nullptr;
void (*manifest_set_aside_hook)() = nullptr;

namespace {

constexpr size_t kHexLen = 64;
constexpr size_t kDigestLen = 71;  // "sha256:" + 64 hex digits
constexpr size_t kLinkCap = 128;   // a link is looked at up to 127 bytes
constexpr size_t kContentTypeCap = 127;
constexpr size_t kDigestOutCap = 72;
constexpr int kPruneRounds = 16;
constexpr size_t kAttachmentMax = 1000000;
constexpr const char kDigestPrefix[] = "sha256:";
constexpr const char kDefaultContentType[] = "application/vnd.docker.distribution.manifest.v2+json";
// Stands in for a real hex when only the lengths of a manifest's paths matter.
constexpr const char kZeroHex[] =
    "0000000000000000000000000000000000000000000000000000000000000000";

bool has_digest_prefix(const char *text) {
    return std::strncmp(text, kDigestPrefix, sizeof kDigestPrefix - 1) == 0;
}

bool repo_acceptable(const char *repo) {
    return *repo != '\0' && repo_name_valid(repo);
}

// A tag is exactly one directory below tags/. Anything that could name another level, or
// climb out of the repository, never reaches the file system.
bool tag_is_single_component(std::string_view tag) {
    if (tag.empty() || tag == "." || tag == "..") return false;
    return tag.find_first_of("/\\") == std::string_view::npos;
}

// The manifest's own files. All are built before anything is touched, so that a path too
// long for the buffers fails the whole operation instead of naming some other file.
struct ManifestFiles {
    char body[kPathCap];
    char content_type[kPathCap];
    char rev_link[kPathCap];
    char rev_dir[kPathCap];
};

int build_manifest_files(const char *repo, const char *hex, ManifestFiles *out) {
    if (manifest_body_path(out->body, repo, hex) != 0) return -1;
    const int ct = std::snprintf(out->content_type, kPathCap, "%s.ct", out->body);
    if (ct < 0 || static_cast<size_t>(ct) >= kPathCap) {
        set_error("%s", kPathTooLong);
        return -1;
    }
    if (manifest_rev_path(out->rev_link, repo, hex) != 0) return -1;
    return manifest_rev_dir(out->rev_dir, repo, hex);
}

// Every path an operation on this repository may need, checked up front.
int check_repo_paths(const char *repo, ManifestFiles *files, char *tags_dir) {
    if (build_manifest_files(repo, kZeroHex, files) != 0) return -1;
    return manifest_tags_dir(tags_dir, repo);
}

// Whether a listed tag still names the manifest. Only "sha256:" and the 64 characters after
// it are compared, so a link with a stray line end still counts as naming it. A tag whose
// link path cannot be built is no tag, and must not disturb the last-error text.
bool tag_names_manifest(const char *repo, const char *tag, const char *hex) {
    char path[kPathCap];
    char saved_error[kErrorCap];
    std::memcpy(saved_error, s_error, kErrorCap);
    if (manifest_tag_path(path, repo, tag) != 0) {
        std::memcpy(s_error, saved_error, kErrorCap);
        return false;
    }
    char link[kLinkCap];
    if (read_file(path, link, sizeof link, nullptr) != 0) return false;
    return has_digest_prefix(link) &&
           std::strncmp(link + sizeof kDigestPrefix - 1, hex, kHexLen) == 0;
}

// Whether another tag still names the manifest. Every entry counts, however many the
// directory holds (deleted tags leave theirs behind). A tags directory that is there but
// cannot be read through may hold such a tag, so it keeps the manifest.
bool another_tag_names(const char *repo, const char *tags_dir, const char *hex) {
    qv::os::DirReader reader(tags_dir);
    if (!reader.ok()) return qv::os::is_dir(tags_dir);
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        if (is_dir && tag_names_manifest(repo, name, hex)) return true;
    }
    return reader.failed();
}

int resolve_digest(const char *repo, const char *reference, char *hex_out) {
    if (!digest_valid(reference)) {
        set_error("invalid digest reference");
        return -1;
    }
    const char *hex = reference + sizeof kDigestPrefix - 1;
    std::memcpy(hex_out, hex, kHexLen + 1);
    char rev_link[kPathCap];
    char body[kPathCap];
    if (manifest_rev_path(rev_link, repo, hex) != 0) return -1;
    if (manifest_body_path(body, repo, hex) != 0) return -1;
    if (qv::os::is_file(rev_link) || qv::os::is_file(body)) return 0;
    set_error("manifest not found: %s@%s", repo, reference);
    return -1;
}

int resolve_tag(const char *repo, const char *reference, char *hex_out) {
    if (!tag_is_single_component(reference)) {
        set_error("tag not found: %s:%s", repo, reference);
        return -1;
    }
    char path[kPathCap];
    if (manifest_tag_path(path, repo, reference) != 0) return -1;
    char link[kLinkCap];
    uint64_t len = 0;
    // Read again once: on a distributed file system a link being replaced by another host is
    // missing for an instant, and a tag that is there must not be answered 404.
    if (read_file(path, link, sizeof link, &len) != 0 &&
        read_file(path, link, sizeof link, &len) != 0) {
        set_error("tag not found: %s:%s", repo, reference);
        return -1;
    }
    // The length test also catches a NUL hidden after a well-formed digest.
    if (len != kDigestLen || !digest_valid(link)) {
        set_error("corrupt tag link: %s:%s", repo, reference);
        return -1;
    }
    std::memcpy(hex_out, link + sizeof kDigestPrefix - 1, kHexLen + 1);
    return 0;
}

// Removes a removed manifest's revision directory (its pull record, and what a crashed
// rewrite left in it, too, when that keeps it); the path whose removal is to be flushed: the
// directory, or its link.
const char *remove_revision_dir(const ManifestFiles &files) {
    if (qv::os::remove_dir(files.rev_dir)) return files.rev_dir;
    remove_stale_temporaries(files.rev_dir);
    char record[kPathCap];  // the manifest's pull record goes with it
    if (join_path(record, files.rev_dir, kPulledRecord)) qv::os::remove_file(record);
    return qv::os::remove_dir(files.rev_dir) ? files.rev_dir : files.rev_link;
}

// What a deletion changed (removed, or put back), on stable storage before the deletion is
// reported done (or, in a retention pass, before the pass is).
int changes_durable(std::initializer_list<const char *> changed) {
    for (const char *path : changed) {
        if (!change_durable(path)) return -1;
    }
    return 0;
}

// What the indexes of the repository list, read now (the epoch first: an index put since
// looks again). An index resolves its children in its own repository: only its own count.
void repository_indexes(const char *repo, IndexChildren *out) {
    std::string epoch = index_epoch();
    BodyFacts facts;
    const int read = read_repository_bodies(repo, &facts);
    clear_error();
    std::vector<std::string> children;
    for (auto &c : facts.children)
        children.push_back(std::move(c.first));
    out->assume(children, read == 1, std::move(epoch));
}

// Whether a stored index of the repository lists the manifest: its body must stay while one
// does. When some body cannot be read the answer is not known, and the manifest stays too.
bool listed_by_an_index(const char *repo, const char *hex) {
    try {
        IndexChildren listed;
        repository_indexes(repo, &listed);
        return listed.lists(hex);
    } catch (const std::bad_alloc &) {
        return true;
    }
}

enum class Kept { no, yes, failed };

// One manifest of a removal and what became of it; its files' paths are built from the
// repository and the hex when needed (a pass may remove tens of thousands at once).
struct SetAside {
    const char *hex = nullptr;
    const qv::os::FileInfo *judged = nullptr;  // the body as an untagged rule judged it
    int parent = -1;    // the batch's manifest this one goes along with (an attachment of it)
    bool held[3] = {};  // body, content type, revision link
    bool named = false;
    bool by_index = false;
    Kept kept = Kept::no;
};

// Marks the manifests of the batch that a tag of the repository names, every link read once.
// A tags directory that is there but cannot be read through may name any of them.
void mark_named(const char *repo, const char *tags_dir, std::vector<SetAside> *batch) try {
    std::map<std::string_view, SetAside *> wanted;
    for (SetAside &m : *batch)
        if (!m.named) wanted.emplace(m.hex, &m);
    if (wanted.empty()) return;
    qv::os::DirReader reader(tags_dir);
    bool unknown = !reader.ok() && qv::os::is_dir(tags_dir);
    const char *name = nullptr;
    bool is_dir = false;
    while (!unknown && reader.next(&name, &is_dir)) {
        char path[kPathCap];
        char link[kLinkCap];
        if (!is_dir || manifest_tag_path(path, repo, name) != 0 ||
            read_file(path, link, sizeof link, nullptr) != 0 || !has_digest_prefix(link))
            continue;
        const auto found =
            wanted.find(std::string_view(link + sizeof kDigestPrefix - 1).substr(0, kHexLen));
        if (found != wanted.end()) found->second->named = true;
    }
    if (unknown || reader.failed())
        for (SetAside &m : *batch)
            m.named = true;
    clear_error();  // a tag whose path cannot be built is no tag
} catch (const std::bad_alloc &) {
    for (SetAside &m : *batch)
        m.named = true;  // not known: everything set aside goes back
}

// Removes the manifests' own files once no tag names them. They are first moved aside and the
// tags looked at again (all of them once, however many manifests go): a push of a manifest
// under another tag between the caller's look and the removal then finds its files gone and
// writes them anew, or is seen here and gets them back, flushed as its own writes were.
// A manifest stays (kept yes) when a tag names it again, or (with epoch0, the index epoch read
// before the caller looked for listing indexes) when an index put since lists it (by_index is
// then set): such a put found the files still there and was answered; or, judged, when its
// body was written anew since (a push by digest). failed (the message set) when a file could
// not be put back durably, or one set aside could not be removed.
void remove_unless_named(const char *repo, const char *tags_dir, std::vector<SetAside> *batch,
                         const std::string *epoch0) {
    char manifests_dir[kPathCap];
    char revisions_dir[kPathCap];
    if (manifest_body_path(manifests_dir, repo, ".") != 0 ||
        manifest_rev_dir(revisions_dir, repo, ".") != 0) {
        for (SetAside &m : *batch)
            m.kept = Kept::yes;  // nothing moved: it stays
        return;
    }
    // Every file is reached through its directory, held once: a pass that removes thousands
    // of manifests resolves each path once, not once a step.
    const qv::os::HeldDir manifests(manifests_dir);
    const qv::os::HeldDir revisions(revisions_dir);
    const int64_t when = qv::os::unix_now();
    struct Names {
        char own[3][kListNameCap];  // body, content type, revision link
        char aside[3][kListNameCap];
    };
    const auto names_of = [when](const char *hex, Names *n) {
        std::snprintf(n->own[0], kListNameCap, "%s", hex);
        std::snprintf(n->own[1], kListNameCap, "%s.ct", hex);
        std::snprintf(n->own[2], kListNameCap, "link");
        for (int i = 0; i < 3; ++i)
            set_aside_name(n->aside[i], n->own[i], when);
    };
    Names n;
    for (SetAside &m : *batch) {
        names_of(m.hex, &n);
        const qv::os::HeldDir rev(revisions, m.hex);
        const qv::os::HeldDir *dirs[] = {&manifests, &manifests, &rev};
        for (int i = 0; i < 3; ++i)
            m.held[i] = dirs[i]->rename(n.own[i], n.aside[i]);
    }
    if (manifest_set_aside_hook != nullptr) manifest_set_aside_hook();
    for (SetAside &m : *batch) {
        qv::os::FileInfo body{};
        names_of(m.hex, &n);
        // A push of the manifest wrote its body anew since it was set aside (its content
        // type and revision link, set aside after it, may be that push's own): it stays.
        m.named = manifests.entry_info(n.own[0], &body) ||
                  (m.judged != nullptr && (!m.held[0] || !manifests.entry_info(n.aside[0], &body) ||
                                           !qv::os::same_file(body, *m.judged)));
    }
    mark_named(repo, tags_dir, batch);
    if (epoch0 != nullptr && index_epoch() != *epoch0) {
        IndexChildren now;  // an index pushed since may list any of them
        repository_indexes(repo, &now);
        for (SetAside &m : *batch)
            if (!m.named && now.lists(m.hex)) m.named = m.by_index = true;
    }
    // An attachment stays with a manifest that stays (parents come first in the batch).
    for (SetAside &m : *batch)
        if (m.parent >= 0 && (*batch)[static_cast<size_t>(m.parent)].named) m.named = true;
    for (SetAside &m : *batch) {
        names_of(m.hex, &n);
        const qv::os::HeldDir rev(revisions, m.hex);
        const qv::os::HeldDir *dirs[] = {&manifests, &manifests, &rev};
        ManifestFiles files;
        build_manifest_files(repo, m.hex, &files);
        const char *paths[] = {files.body, files.content_type, files.rev_link};
        bool ok = true;
        for (int i = 0; i < 3; ++i) {
            if (!m.held[i]) continue;
            if (!m.named) {
                if (dirs[i]->remove_file(n.aside[i])) continue;
                if (errno != EISDIR) {
                    // Left aside, it would be put back as a manifest the deletion reported gone.
                    set_error("delete manifest failed: %s", paths[i]);
                    ok = false;
                    continue;
                }
                // A directory where a file should be: back where it was, the store check's.
            }
            if (dirs[i]->rename_new(n.aside[i], n.own[i])) {
                ok = change_durable(paths[i]) && ok;
            } else if (errno == EEXIST) {
                // A push wrote the file anew meanwhile: the same bytes.
                if (m.named) dirs[i]->remove_file(n.aside[i]);
            } else {
                set_error("manifest file could not be put back: %s", paths[i]);
                ok = false;  // left aside, where the store check puts it back
            }
        }
        m.kept = !ok ? Kept::failed : m.named ? Kept::yes : Kept::no;
    }
}

// The same for one manifest.
Kept remove_unless_named(const char *repo, const char *tags_dir, const char *hex,
                         const std::string *epoch0 = nullptr, bool *by_index = nullptr) {
    std::vector<SetAside> one(1);
    one[0].hex = hex;
    remove_unless_named(repo, tags_dir, &one, epoch0);
    if (by_index != nullptr) *by_index = one[0].by_index;
    return one[0].kept;
}

// A removed manifest's attachments (the manifests whose subject it was) go with it, and
// theirs after them, unless something else keeps one: a tag naming it, or a stored index
// listing it. What went (or, with dry_run, would go) is appended to cascade.removed. Best
// effort: an attachment that cannot be removed stays, as it would had it been pushed after
// its subject went. False (the message set) only when what it changed could not be flushed.
bool remove_attachments(const char *repo, const char *hex, bool dry_run, const Cascade &cascade) {
    char tags_dir[kPathCap];
    if (manifest_tags_dir(tags_dir, repo) != 0) return true;
    bool ok = true;
    try {
        AttachmentGraph own(repo);
        AttachmentGraph &graph =
            cascade.graph != nullptr && cascade.graph->repo() == repo ? *cascade.graph : own;
        IndexChildren own_listed;
        IndexChildren &listed = cascade.listed != nullptr ? *cascade.listed : own_listed;
        if (graph.of(hex).empty()) return true;  // nothing attached: nothing more to read
        if (cascade.listed == nullptr) repository_indexes(repo, &own_listed);
        // Breadth first; digests make cycles impossible, the bound guards a hostile store.
        std::vector<std::string> todo{hex};
        for (size_t i = 0; i < todo.size() && i < kAttachmentMax; ++i) {
            for (const std::string &r : graph.of(todo[i])) {
                char body[kPathCap];
                if (manifest_body_path(body, repo, r.c_str()) != 0 || !qv::os::is_file(body) ||
                    another_tag_names(repo, tags_dir, r.c_str()) || listed.lists(r.c_str()))
                    continue;
                if (!dry_run) {
                    ManifestFiles files;
                    if (build_manifest_files(repo, r.c_str(), &files) != 0) continue;
                    const Kept kept =
                        remove_unless_named(repo, tags_dir, r.c_str(), &listed.epoch());
                    ok = kept != Kept::failed && ok;
                    if (kept != Kept::no) continue;
                    ok = changes_durable({files.body, remove_revision_dir(files)}) == 0 && ok;
                    graph.forget(r);
                }
                if (cascade.removed != nullptr) cascade.removed->push_back("sha256:" + r);
                todo.push_back(r);
            }
        }
    } catch (const std::bad_alloc &) {
        // What went so far went; the rest stays.
    }
    return ok;
}

// The manifest goes, and with it every tag that names it, wherever it lies in the tags
// directory. Tags the scan could not see may name it too: then the manifest stays.
int delete_by_digest(const char *repo, const char *reference, const char *hex, const char *tags_dir,
                     const ManifestFiles &files) {
    // An index of the repository that lists the manifest would lose a child it is pulled
    // through.
    const std::string epoch0 = index_epoch();
    BodyFacts facts;
    int read = -1;
    try {
        read = read_repository_bodies(repo, &facts);
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
    }
    if (read < 0) return -1;
    for (const auto &[child, index] : facts.children) {
        if (child != reference) continue;
        set_error("DENIED: manifest %s is listed by the index %s@sha256:%s: delete that first",
                  reference, repo, index.c_str());
        return -1;
    }
    if (read == 0) {
        set_error("cannot read every manifest body of %s: an index among them may list %s", repo,
                  reference);
        return -1;
    }
    std::vector<std::string> naming;
    bool failed = false;
    {
        qv::os::DirReader reader(tags_dir);
        if (!reader.ok()) {
            failed = qv::os::is_dir(tags_dir);  // missing is no tags; unreadable is unknown
        } else {
            const char *name = nullptr;
            bool is_dir = false;
            try {
                while (reader.next(&name, &is_dir)) {
                    if (is_dir && tag_names_manifest(repo, name, hex)) naming.emplace_back(name);
                }
            } catch (const std::bad_alloc &) {
                set_error("out of memory");  // nothing removed yet: the manifest stays
                return -1;
            }
            failed = reader.failed();
        }
    }
    for (const std::string &tag : naming) {
        if (!tag_immutable(repo, tag)) continue;
        set_error("DENIED: tag %s is immutable", tag.c_str());
        return -1;
    }
    for (const std::string &tag : naming) {
        char tag_dir[kPathCap];
        if (!join_path(tag_dir, tags_dir, tag.c_str()) || delete_tree(tag_dir) != 0) failed = true;
    }
    qv::os::remove_dir(tags_dir);  // only succeeds once no tag is left
    if (failed) {
        set_error("delete manifest tags failed: %s@%s", repo, reference);
        return -1;
    }
    if (digest_delete_tags_removed_hook != nullptr) digest_delete_tags_removed_hook();
    // A push of the same manifest under a new tag since the scan keeps it, as for a tag
    // deletion: the tag it was answered 201 for must resolve.
    bool by_index = false;
    const Kept kept = remove_unless_named(repo, tags_dir, hex, &epoch0, &by_index);
    if (kept == Kept::failed) return -1;
    const bool removed = kept == Kept::no;
    char a_tag[kPathCap];
    if (!join_path(a_tag, tags_dir, "-")) return -1;  // checked up front: always fits
    if (by_index) {
        changes_durable({a_tag});  // the tags are gone all the same
        set_error("DENIED: manifest %s is listed by an index pushed meanwhile: delete that first",
                  reference);
        return -1;
    }
    const char *revision = removed ? remove_revision_dir(files) : files.rev_link;
    if (changes_durable({a_tag, files.body, revision}) != 0) return -1;
    if (removed) {
        DeferredFlushes batch;  // one flush per directory, however many attachments go
        const bool cascaded = remove_attachments(repo, hex, false, {});
        if (!batch.flush() || !cascaded) return -1;
    }
    return 0;
}

// The tag goes; its manifest only when no other tag names it any longer, and spare (when
// given) does not claim it.
int delete_by_tag(const char *repo, const char *tag, const char *hex, const char *tags_dir,
                  const ManifestFiles &files, const SpareManifest &spare, bool link_gone = false,
                  const Cascade &cascade = {}) {
    char link[kPathCap];
    char tag_dir[kPathCap];
    if (manifest_tag_path(link, repo, tag) != 0 || !join_path(tag_dir, tags_dir, tag)) return -1;
    if (!link_gone && qv::os::is_non_directory(link) && !qv::os::remove_file(link)) {
        set_error("delete tag failed");
        return -1;
    }
    // Its directories go with it: left behind, they would fill the tags directory of a
    // repository whose tags come and go.
    if (remove_tag_husk(tag_dir)) qv::os::remove_dir(tags_dir);
    bool removed = false;
    // The epoch before the look for listing indexes: a pass's shared look was made earlier.
    std::string epoch0 = index_epoch();
    if (!another_tag_names(repo, tags_dir, hex) && !(spare && spare(hex))) {
        if (cascade.listed != nullptr) epoch0 = cascade.listed->epoch();
        if (tag_delete_scanned_hook != nullptr) tag_delete_scanned_hook();
        const Kept kept = remove_unless_named(repo, tags_dir, hex, &epoch0);
        if (kept == Kept::failed) return -1;
        removed = kept == Kept::no;
    }
    const char *revision = removed ? remove_revision_dir(files) : files.rev_link;
    if (changes_durable({link, files.body, revision}) != 0) return -1;
    if (removed && cascade.graph != nullptr && cascade.graph->repo() == repo)
        cascade.graph->forget(hex);  // gone with its own tag: no later cascade takes it again
    if (removed && !remove_attachments(repo, hex, false, cascade)) return -1;
    return 0;
}

// The checks and paths both deletions start from: 0 with the manifest's hex and files.
int prepare_delete(const char *repo, const char *reference, ManifestFiles *files, char *tags_dir,
                   char *hex) {
    if (repo == nullptr || reference == nullptr) {
        set_error("NULL argument");
        return -1;
    }
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    if (!repo_acceptable(repo)) {
        set_error("invalid repository name");
        return -1;
    }
    if (check_repo_paths(repo, files, tags_dir) != 0) return -1;
    if (manifest_resolve(repo, reference, hex) != 0) return -1;
    return build_manifest_files(repo, hex, files);
}

// The name with empty and "." components dropped, so that no spelling of a name can stand
// for the repositories directory itself or make pruning climb into it. False when nothing
// is left.
bool canonical_repo_name(const char *repo, char *out, size_t cap) {
    size_t len = 0;
    std::string_view rest(repo);
    while (!rest.empty()) {
        const size_t cut = rest.find('/');
        const std::string_view part = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (part.empty() || part == "." || len + part.size() + 2 > cap) continue;
        if (len > 0) out[len++] = '/';
        std::memcpy(out + len, part.data(), part.size());
        len += part.size();
    }
    out[len] = '\0';
    return len > 0;
}

// Whether any directory between the repositories directory and the target is a link: deleting
// through it would empty a directory that may lie outside the storage root.
bool links_below(const char *target, size_t base_len) {
    char path[kPathCap];
    std::memcpy(path, target, std::strlen(target) + 1);
    for (size_t i = std::strlen(path); i > base_len; --i) {
        if (path[i] != '\0' && !qv::os::is_sep(path[i])) continue;
        const char saved = path[i];
        path[i] = '\0';
        const bool link = qv::os::is_symlink(path);
        path[i] = saved;
        if (link) return true;
    }
    return false;
}

// Removes the parents that the deletion left empty, never the repositories directory.
void prune_empty_parents(char *path, size_t base_len) {
    for (int round = 0; round < kPruneRounds; ++round) {
        char *cut = nullptr;
        for (char *p = path; *p != '\0'; ++p)
            if (qv::os::is_sep(*p)) cut = p;
        if (cut == nullptr || cut == path) return;
        *cut = '\0';
        if (std::strlen(path) <= base_len) return;
        if (qv::os::is_dir(path) && !qv::os::remove_dir(path)) return;
    }
}

}  // namespace

void attachments_of(const char *repo, const char *hex, const Cascade &cascade) {
    remove_attachments(repo, hex, true, cascade);
}

void remove_manifests(const char *repo, std::vector<ManifestRemoval> *removals,
                      const Cascade &cascade) {
    char tags_dir[kPathCap];
    if (manifest_tags_dir(tags_dir, repo) != 0) {
        for (ManifestRemoval &r : *removals)
            r.result = TagDeletion::failed;
        return;
    }
    std::vector<SetAside> batch(removals->size());
    for (size_t i = 0; i < batch.size(); ++i) {
        batch[i].hex = (*removals)[i].hex.c_str();
        batch[i].judged = (*removals)[i].judged;
        batch[i].parent = (*removals)[i].parent;
    }
    // The epoch before the pass looked for listing indexes: an index put since looks again.
    const std::string epoch0 = cascade.listed != nullptr ? cascade.listed->epoch() : "";
    remove_unless_named(repo, tags_dir, &batch, &epoch0);
    for (size_t i = 0; i < batch.size(); ++i) {
        ManifestRemoval &r = (*removals)[i];
        r.result = batch[i].kept == Kept::failed ? TagDeletion::unsafe
                   : batch[i].kept == Kept::yes  ? TagDeletion::changed
                                                 : TagDeletion::deleted;
        ManifestFiles files;
        if (r.result != TagDeletion::deleted ||
            build_manifest_files(repo, r.hex.c_str(), &files) != 0)
            continue;
        if (changes_durable({files.body, remove_revision_dir(files)}) != 0)
            r.result = TagDeletion::unsafe;
    }
}

int manifest_resolve(const char *repo, const char *reference, char *hex_out) {
    return has_digest_prefix(reference) ? resolve_digest(repo, reference, hex_out)
                                        : resolve_tag(repo, reference, hex_out);
}

TagDeletion claim_collected_tag(const char *repo, const qv::os::HeldDir &tags, const char *tag,
                                const CollectedLink &collected) {
    // A tag directory named like a digest is no reference to that digest.
    char link[kPathCap];
    char tags_dir[kPathCap];
    if (has_digest_prefix(tag) || manifest_tag_path(link, repo, tag) != 0 ||
        manifest_tags_dir(tags_dir, repo) != 0) {
        set_error("tag not found: %s:%s", repo, tag);
        return TagDeletion::failed;
    }
    // Its directories, held: a pass that deletes thousands of tags resolves each path once.
    const qv::os::HeldDir dir(tags, tag);
    const qv::os::HeldDir current(dir, "current");
    if (retention_compared_hook != nullptr) retention_compared_hook();
    // The link moves aside to a name of this process's own, and only that file is removed:
    // a push that re-points the tag meanwhile writes a new link, which stays (or, moved aside
    // with the old one, is put back, as durably as the push wrote it).
    char aside[kListNameCap];
    if (!set_aside_name(aside, "link", qv::os::unix_now())) return TagDeletion::failed;
    if (!current.rename("link", aside)) {
        if (errno == ENOENT) return TagDeletion::deleted;  // another deletion came first
        set_error("delete tag failed: %s", link);
        return TagDeletion::failed;
    }
    // The very file the pass read: a push since, even of the same digest, wrote another.
    qv::os::FileInfo info{};
    if (!current.entry_info(aside, &info) || info.file_id != collected.file_id ||
        !(qv::os::mtime_of(info) == collected.written)) {
        if (current.rename_new(aside, "link"))
            return change_durable(link) ? TagDeletion::changed : TagDeletion::unsafe;
        // A newer link written since the move wins; this one is then no longer wanted. Any
        // other failure leaves it aside, where the store check puts it back.
        if (errno != EEXIST) {
            set_error("tag link could not be put back: %s", link);
            return TagDeletion::unsafe;
        }
        current.remove_file(aside);
        return TagDeletion::changed;
    }
    // Left aside, it would be put back as a tag the pass reported deleted.
    if (!current.remove_file(aside)) {
        set_error("delete tag failed: %s", link);
        return TagDeletion::failed;
    }
    // Its directories go with it; what changed is flushed where the change is.
    std::string changed(link);
    if (dir.remove_dir("current")) {
        changed.resize(changed.find_last_of(qv::os::kSep));  // <tag>/current
        if (tags.remove_dir(tag)) changed.resize(changed.find_last_of(qv::os::kSep));
    }
    return change_durable(changed.c_str()) ? TagDeletion::deleted : TagDeletion::unsafe;
}

}  // namespace reg

using namespace reg;

const char *reg_manifest_get(const char *repo, const char *reference, char *content_type,
                             char *digest_out) {
    if (repo == nullptr || reference == nullptr || content_type == nullptr ||
        digest_out == nullptr) {
        set_error("NULL argument");
        return nullptr;
    }
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    if (!repo_acceptable(repo)) {
        set_error("invalid repository name");
        return nullptr;
    }
    ManifestFiles files;
    char tags_dir[kPathCap];
    if (check_repo_paths(repo, &files, tags_dir) != 0) return nullptr;
    char hex[kHexLen + 1];
    if (manifest_resolve(repo, reference, hex) != 0) return nullptr;
    build_manifest_files(repo, hex, &files);

    uint64_t body_len = 0;
    if (read_file(files.body, s_result, kResultCap, &body_len) != 0) {
        set_error("manifest body not found: %s@%s", repo, reference);
        return nullptr;
    }
    // Bytes that are not the manifest's own (emptied by a crash, changed on disk) are never
    // served: the client is told it is unknown, and pushing it again writes it anew.
    if (!bytes_have_hex(s_result, body_len, hex)) {
        s_result[0] = '\0';
        set_error("manifest body damaged: %s@%s (push it again, or run the store check)", repo,
                  reference);
        return nullptr;
    }
    uint64_t type_len = 0;
    if (read_file(files.content_type, content_type, kContentTypeCap, &type_len) != 0 ||
        type_len == 0)
        std::memcpy(content_type, kDefaultContentType, sizeof kDefaultContentType);
    std::snprintf(digest_out, kDigestOutCap, "sha256:%s", hex);
    return s_result;
}

int reg_manifest_delete(const char *repo, const char *reference) {
    ManifestFiles files;
    char tags_dir[kPathCap];
    char hex[kHexLen + 1];
    if (prepare_delete(repo, reference, &files, tags_dir, hex) != 0) return -1;
    if (!has_digest_prefix(reference) && tag_immutable(repo, reference)) {
        set_error("DENIED: tag %s is immutable", reference);
        return -1;
    }
    // The tag goes; a manifest an index lists stays with it, as in a retention pass.
    const int rc =
        has_digest_prefix(reference)
            ? delete_by_digest(repo, reference, hex, tags_dir, files)
            : delete_by_tag(repo, reference, hex, tags_dir, files,
                            [repo](const char *h) { return listed_by_an_index(repo, h); });
    if (rc != 0) return rc;
    // A repository left with nothing goes too (its removal flushed like the deletion's).
    DeferredFlushes flushes;
    remove_repository_if_empty(repo);
    return flushes.flush() ? 0 : -1;
}

int reg_repo_delete(const char *repo) {
    if (repo == nullptr || *repo == '\0') {
        set_error("NULL argument");
        return -1;
    }
    if (!s_ready) {
        set_error("%s", kNotReady);
        return -1;
    }
    if (!repo_name_valid(repo) || repo_name_enters_manifests(repo)) {
        set_error("invalid repository name");
        return -1;
    }
    char base[kPathCap];
    if (!join_path(base, s_root, "repositories")) {
        set_error("%s", kPathTooLong);
        return -1;
    }
    char name[kPathCap];
    if (!canonical_repo_name(repo, name, sizeof name)) {
        set_error("invalid repository name");
        return -1;
    }
    char target[kPathCap];
    if (!join_path(target, base, name)) {
        set_error("%s", kPathTooLong);
        return -1;
    }
    if (!qv::os::is_dir(target) || links_below(target, std::strlen(base))) {
        set_error("repository not found: %s", repo);
        return -1;
    }
    if (delete_tree(target) != 0) {
        set_error("delete repository failed: %s", repo);
        return -1;
    }
    prune_empty_parents(target, std::strlen(base));
    return changes_durable({target});
}
