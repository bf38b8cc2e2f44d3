// Turning a manifest reference (a tag or a digest) into the hex of a stored manifest.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/os.h"

struct yyjson_val;

namespace reg {

// Resolves a tag reference through its tag link, or checks that a digest reference names a
// stored manifest. 0 with the 64 hex digits and a NUL in hex_out (65 bytes); -1 with the
// last-error text set. The caller has already checked its arguments, the ready flag and the
// repository name.
int manifest_resolve(const char *repo, const char *reference, char *hex_out);

// Asked, with the manifest's hex, before a tag deletion removes the last tag's manifest:
// true keeps the manifest's files.
using SpareManifest = std::function<bool(const char *hex)>;

// unsafe: a tag pushed meanwhile could not be put back (it stays aside until the store check
// puts it back), so the pass must not report success.
enum class TagDeletion { deleted, changed, failed, unsafe };

// A tag link as the retention pass read it: the digest it held, and which file it was when.
// A push writes the link anew even with the same digest, so a link that is not this file any
// more was pushed since.
struct CollectedLink {
    const char *digest;
    uint64_t file_id;
    qv::os::FileTime written;
};

// Which manifests of one repository are attachments of which (by their subject), read from its
// bodies on first use and then kept in step with what cascades remove: a pass that removes many
// manifests reads each body once.
class AttachmentGraph {
  public:
    explicit AttachmentGraph(std::string repo) : repo_(std::move(repo)) {}
    const std::string &repo() const { return repo_; }
    // The attachments of the manifest (64 hex digits), in hex order.
    std::vector<std::string> of(const std::string &hex);
    // The manifest was removed: it is no one's attachment any more.
    void forget(const std::string &hex);
    // What a caller's own read of the bodies found instead: subject -> its attachments.
    void assume(std::map<std::string, std::vector<std::string>> by_subject) {
        read_ = true;
        by_subject_ = std::move(by_subject);
    }

  private:
    std::string repo_;
    bool read_ = false;
    std::map<std::string, std::vector<std::string>> by_subject_;
};

class IndexChildren;

// What the deletions of one pass share for the attachments they take along: the graph of the
// repository (when it is the one deleted from), the manifests stored indexes list, and where
// the digests removed go (when not NULL). Any member may be NULL: the deletion then reads
// what it needs itself.
struct Cascade {
    AttachmentGraph *graph = nullptr;
    IndexChildren *listed = nullptr;
    std::vector<std::string> *removed = nullptr;
};

// Deletes a tag as a retention pass selected it: only while its link still holds collected
// (the digest the pass read from it, the very file; else changed, and nothing is touched),
// with the directories it leaves. Its manifest is the caller's (remove_manifests). failed
// leaves the last-error text set; unsafe, too, when a push it had to put back is not safe.
// tags is the repository's tags directory, held.
TagDeletion claim_collected_tag(const char *repo, const qv::os::HeldDir &tags, const char *tag,
                                const CollectedLink &collected);

// A manifest a retention pass removes (no tag it saw names it any more, or the untagged rule
// selected it), and what became of it: deleted, changed (it stays: a tag or an index names it
// by now, or, judged, its body was pushed anew since), unsafe (the message set).
struct ManifestRemoval {
    std::string hex;
    const qv::os::FileInfo *judged = nullptr;  // an untagged one's body as judged
    int parent = -1;  // the removal this one goes along with (an attachment of it), or -1
    TagDeletion result = TagDeletion::failed;
};
// Removes them in one go (every tag of the repository read once, however many go). An
// attachment listed with its parent (which comes before it) stays when its parent does.
void remove_manifests(const char *repo, std::vector<ManifestRemoval> *removals,
                      const Cascade &cascade);
// The attachments that would go with the manifest, were it removed now (a dry run's answer).
void attachments_of(const char *repo, const char *hex, const Cascade &cascade);

// What a repository's manifest bodies say of each other: what its indexes list ("sha256:"
// digest, and the listing index's hex) and, per subject hex, its attachments' hexes (in hex
// order).
struct BodyFacts {
    std::vector<std::pair<std::string, std::string>> children;
    std::map<std::string, std::vector<std::string>> by_subject;
};
using StoredBody = std::function<void(const char *hex, const qv::os::FileInfo &info)>;
// Reads every body of the repository once (stored, when given, sees each one read). 1 when
// every body was read, 0 when one could not be (what indexes list is then unknown), -1 (the
// message set) when the directory is there but cannot be listed.
int read_repository_bodies(const char *repo, BodyFacts *facts, const StoredBody &stored = {});

// The stored manifest's subject (read from its body) as 64 hex digits; false without one.
bool manifest_subject(const char *repo, const char *hex, char subject[65]);
// The manifest's subject as 64 hex digits; false when it has none (or not a sha256 one).
bool subject_hex_of(yyjson_val *root, char hex[65]);
// Visits each sound manifest body of repo whose subject is subject_hex, in hex order, with its
// hex, parsed body and size; a visit returning false stops. 0, or -1 with the last-error text.
using ReferrerVisit = std::function<bool(const char *hex, yyjson_val *root, uint64_t size)>;
int for_each_referrer(const char *repo, const char *subject_hex, const ReferrerVisit &visit);

}  // namespace reg
