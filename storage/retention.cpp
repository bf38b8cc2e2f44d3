// The retention pass: every repository, one at a time, every tag of each with the time it was
// last pushed; rank each repository's tags newest first, select by count and by age, spare
// "latest"; with the untagged rule, select the manifests no tag names once their bodies have
// lain unchanged for days; delete what is selected and report. One repository's tags are held
// at a time, so the pass sees the whole store in bounded memory.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/gc_internal.h"
#include "storage/manifest_resolve.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "storage/storage_internal.h"

namespace reg {

RetentionRemoved *retention_removed_out = nullptr;

void (*retention_selected_hook)() = nullptr;
void (*retention_compared_hook)() = nullptr;

namespace {

constexpr int kReportEntryMax = 500;  // entries of each of the report's lists
// What the report's head and tail take at most: the lists end where an entry would not leave
// that much of the result buffer (names that escape six-fold could fill it).
constexpr size_t kReportFrame = 512;
constexpr size_t kDigestCap = 72;
constexpr size_t kLinkCap = 128;
constexpr int64_t kDaySeconds = 86400;
constexpr int64_t kUploadWindowSeconds = 900;
constexpr const char kDigestPrefix[] = "sha256:";
constexpr size_t kPrefixLen = sizeof kDigestPrefix - 1;

struct Policy {
    bool dry_run;
    int keep_n;  // 0: count rule off
    int days;    // 0: age rule off
    bool include_latest;
    int untagged_days;  // 0: untagged rule off
};

// One collected tag.
struct TagItem {
    std::string tag;
    char digest[kDigestCap];  // the link's first 71 characters, as collected
    int64_t age_stamp;
    uint64_t link_id;  // the link file as collected, to tell a push since
    qv::os::FileTime link_time;
    bool marked = false;
    std::vector<std::string> attached;  // what its manifest took along (or would)
};

// A manifest no collected tag names, old enough for the untagged rule.
struct UntaggedItem {
    std::string hex;
    qv::os::FileInfo body;  // the body as judged, to tell a push since
    bool selected = true;
    std::vector<std::string> attached;
};

struct Tally {
    long long repos_scanned = 0;
    long long tags_total = 0;
    long long marked = 0;
    long long tags_deleted = 0;
    long long latest_protected = 0;
    long long manifests_deleted = 0;
};

// Newest first, then tag ascending: a total order, so the ranks never depend on how the sort
// treats equal elements.
bool newer(const TagItem &a, const TagItem &b) {
    if (a.age_stamp != b.age_stamp) return a.age_stamp > b.age_stamp;
    return a.tag < b.tag;
}

// The hex a collected link names: what follows "sha256:" (a corrupt link's text as it is).
std::string hex_of(const TagItem &item) {
    const std::string_view digest(item.digest);
    return std::string(digest.substr(std::min(digest.size(), kPrefixLen)));
}

// Appends one report entry, with the attachments that went along, to out.
void add_entry(std::string *out, const std::string &repo, const char *key, const char *name,
               const char *digest, int64_t age_days, const std::vector<std::string> &attached) {
    std::vector<char> buf(std::strlen(name) * 6 + repo.size() * 6 + 16);
    *out += "{\"repository\":\"";
    json_escape_append(buf.data(), buf.size(), repo.c_str());
    *out += buf.data();
    *out += "\",\"";
    *out += key;
    *out += "\":\"";
    json_escape_append(buf.data(), buf.size(), name);
    *out += buf.data();
    if (digest != nullptr) {
        // A well-formed digest needs no escaping; a corrupt link must not break the JSON.
        char escaped[kDigestCap * 6 + 9];
        json_escape_append(escaped, sizeof escaped, digest);
        *out += "\",\"digest\":\"";
        *out += escaped;
    }
    *out += "\",\"age_days\":" + std::to_string(age_days);
    if (!attached.empty()) {
        *out += ",\"referrers\":[";
        for (size_t a = 0; a < attached.size(); ++a)
            *out += (a > 0 ? ",\"" : "\"") + attached[a] + "\"";
        *out += "]";
    }
    *out += "}";
}

class Pass {
  public:
    Pass(const Policy &policy, int64_t now) : policy_(policy), now_(now) {}

    // False (the message set) when the pass could not go on: a tags or manifests directory
    // that is there but cannot be read, or a deletion that could not be kept safe.
    bool repository(const std::string &repo) {
        char tags_dir[kPathCap];
        char manifests[kPathCap];
        if (manifest_tags_dir(tags_dir, repo.c_str()) != 0 ||
            manifest_body_path(manifests, repo.c_str(), ".") != 0) {
            clear_error();  // a name too long for a path has nothing stored under it
            return true;
        }
        std::vector<DirEntry> entries;
        if (!list_entries(tags_dir, &entries) && !qv::os::is_missing(tags_dir)) {
            set_error("retention pass stopped: cannot list the tags of %s", repo.c_str());
            return false;
        }
        repo_ = repo;
        tags_.clear();
        husks_.clear();
        for (const DirEntry &e : entries)
            if (e.is_dir) collect_tag(tags_dir, e.name);
        std::vector<DirEntry>().swap(entries);
        tally_.tags_total += static_cast<long long>(tags_.size());
        std::sort(tags_.begin(), tags_.end(), newer);
        select_tags();
        untagged_.clear();
        if (policy_.untagged_days > 0 && !collect_untagged(manifests)) return false;
        keep_attachments();
        if (retention_selected_hook != nullptr) retention_selected_hook();
        const bool done = policy_.dry_run ? look_ahead() : delete_selected();
        report_repository();
        if (!policy_.dry_run) tidy();
        return done;
    }

    const Tally &tally() const { return tally_; }
    void count_repositories(size_t n) { tally_.repos_scanned = static_cast<long long>(n); }

    // Writes the report into the result buffer; false (the message set) when it would not fit.
    bool write_report(int *truncated) const {
        // The untagged rule's fields appear only when it is on: other reports keep their bytes.
        char untagged_days[32] = "";
        if (untagged_on())
            std::snprintf(untagged_days, sizeof untagged_days, "\"untagged_days\":%d,",
                          policy_.untagged_days);
        char head[512];
        const int n =
            std::snprintf(head, sizeof head,
                          "{\"dry_run\":%s,\"keep_n\":%d,\"days\":%d,\"include_latest\":%s,%s"
                          "\"repos_scanned\":%lld,\"tags_total\":%lld,\"tags_deleted\":%lld,"
                          "\"tags_kept\":%lld,\"latest_protected\":%lld,",
                          policy_.dry_run ? "true" : "false", policy_.keep_n, policy_.days,
                          policy_.include_latest ? "true" : "false", untagged_days,
                          tally_.repos_scanned, tally_.tags_total, tally_.tags_deleted,
                          tally_.tags_total - tally_.tags_deleted, tally_.latest_protected);
        std::string report(head, static_cast<size_t>(n));
        if (untagged_on())
            report += "\"manifests_deleted\":" + std::to_string(tally_.manifests_deleted) + ",";
        report += "\"deleted\":[" + deleted_ + "]";
        if (untagged_on()) report += ",\"untagged\":[" + untagged_list_ + "]";
        if (cut_) report += ",\"truncated\":true";
        report += "}";
        if (report.size() >= kResultCap) {
            set_error("retention report too large for the result buffer");
            return false;
        }
        std::memcpy(s_result, report.c_str(), report.size() + 1);
        if (truncated != nullptr) *truncated = cut_ ? 1 : 0;
        return true;
    }

    // Every directory a deletion changed, flushed once before the report goes out.
    bool flush() { return flushes_.flush(); }

  private:
    bool untagged_on() const { return policy_.untagged_days > 0; }

    // ---- collecting ------------------------------------------------------------------------
    // A tag whose link is missing is no tag: its directory is a husk a deletion left.
    void collect_tag(const char *tags_dir, const std::string &tag) {
        char link_path[kPathCap];
        if (manifest_tag_path(link_path, repo_.c_str(), tag.c_str()) != 0) {
            clear_error();
            return;
        }
        qv::os::FileInfo info{};
        int64_t age_stamp = 0;
        if (qv::os::file_info(link_path, &info) && info.mtime_unix >= 0) {
            age_stamp = info.mtime_unix;
        } else if (!qv::os::is_file(link_path)) {
            char dir[kPathCap];
            if (join_path(dir, tags_dir, tag.c_str())) husks_.emplace_back(dir);
            return;
        }
        char link[kLinkCap];
        if (read_file(link_path, link, sizeof link, nullptr) != 0 ||
            std::strncmp(link, kDigestPrefix, kPrefixLen) != 0)
            return;
        TagItem &item = tags_.emplace_back();
        item.tag = tag;
        std::snprintf(item.digest, sizeof item.digest, "%.71s", link);
        item.age_stamp = age_stamp;
        item.link_id = info.file_id;
        item.link_time = qv::os::mtime_of(info);
    }

    void select_tags() {
        const int64_t max_age = static_cast<int64_t>(policy_.days) * kDaySeconds;
        counts_.clear();
        for (size_t i = 0; i < tags_.size(); ++i) {
            TagItem &item = tags_[i];
            const bool beyond_count =
                policy_.keep_n > 0 && i >= static_cast<size_t>(policy_.keep_n);
            const bool too_old = policy_.days > 0 && now_ - item.age_stamp >= max_age;
            if ((beyond_count || too_old) && !policy_.include_latest && item.tag == "latest") {
                ++tally_.latest_protected;
            } else if (beyond_count || too_old) {
                item.marked = true;
                ++tally_.marked;
            }
            auto &c = counts_[hex_of(item)];
            ++c.first;
            if (item.marked) ++c.second;
        }
    }

    // The manifests no collected tag names whose bodies have lain unchanged long enough: never
    // one written within the upload window, whatever the rule says.
    bool collect_untagged(const char *manifests) {
        std::vector<DirEntry> entries;
        if (!list_entries(manifests, &entries) && !qv::os::is_missing(manifests)) {
            set_error("retention pass stopped: cannot list the manifests of %s", repo_.c_str());
            return false;
        }
        const int64_t window = std::max<int64_t>(
            static_cast<int64_t>(policy_.untagged_days) * kDaySeconds, kUploadWindowSeconds);
        for (const DirEntry &e : entries) {
            char path[kPathCap];
            qv::os::FileInfo body{};
            if (e.is_dir || !hex64_valid(e.name.c_str()) || counts_.count(e.name) != 0 ||
                manifest_body_path(path, repo_.c_str(), e.name.c_str()) != 0 ||
                !qv::os::entry_info(path, &body) || !body.regular ||
                now_ - body.mtime_unix < window + clock_margin())
                continue;
            untagged_.push_back({e.name, body, true, {}});
        }
        return true;
    }

    // ---- what goes and what stays ------------------------------------------------------------
    bool body_stored(const std::string &hex) const {
        char path[kPathCap];
        return hex64_valid(hex.c_str()) &&
               manifest_body_path(path, repo_.c_str(), hex.c_str()) == 0 && qv::os::is_file(path);
    }

    bool untagged_selected(const std::string &hex) const {
        for (const UntaggedItem &u : untagged_)
            if (u.selected && u.hex == hex) return true;
        return false;
    }

    // Whether the pass removes the manifest: every tag naming it goes (or, untagged, the rule
    // selects it), it is stored, and no stored index lists it.
    bool going(const std::string &hex) {
        const auto c = counts_.find(hex);
        if (c != counts_.end() ? c->second.second < c->second.first : !untagged_selected(hex))
            return false;
        return body_stored(hex) && !listed_.lists(hex.c_str());
    }

    bool stays(const std::string &hex) { return body_stored(hex) && !going(hex); }

    const std::string &subject_of(const std::string &hex) {
        auto found = subjects_.find(hex);
        if (found == subjects_.end()) {
            char subject[65] = "";
            if (!hex64_valid(hex.c_str()) || !manifest_subject(repo_.c_str(), hex.c_str(), subject))
                subject[0] = '\0';
            found = subjects_.emplace(hex, subject).first;
        }
        return found->second;
    }

    // An attachment (a signature, an SBOM) of a manifest that stays stays with it: its tags
    // are kept, or the untagged rule passes it by. Repeated until nothing changes: a kept
    // attachment keeps the attachments of it.
    void keep_attachments() {
        subjects_.clear();
        for (bool changed = true; changed;) {
            changed = false;
            for (TagItem &item : tags_) {
                if (!item.marked) continue;
                const std::string hex = hex_of(item);
                if (!going(hex)) continue;
                const std::string &subject = subject_of(hex);
                if (subject.empty() || !stays(subject)) continue;
                for (TagItem &same : tags_) {
                    if (!same.marked || hex_of(same) != hex) continue;
                    same.marked = false;
                    --tally_.marked;
                }
                counts_[hex].second = 0;
                changed = true;
            }
            for (UntaggedItem &u : untagged_) {
                if (!u.selected || !going(u.hex)) continue;
                const std::string &subject = subject_of(u.hex);
                if (subject.empty() || !stays(subject)) continue;
                u.selected = false;
                changed = true;
            }
        }
        for (UntaggedItem &u : untagged_) {
            if (!u.selected) continue;
            // Listed by an index; or an attachment of a manifest that goes, which takes it
            // along (and lists it under its own entry).
            const std::string &subject = subject_of(u.hex);
            if (!going(u.hex) || (!subject.empty() && going(subject))) u.selected = false;
        }
    }

    // ---- deleting ---------------------------------------------------------------------------
    // A dry run's view of what the removed manifests take along, and, for the preview, of
    // every manifest the pass removes.
    bool look_ahead() {
        std::vector<std::array<uint8_t, 32>> *removed = nullptr;
        if (retention_removed_out != nullptr) removed = &(*retention_removed_out)[repo_];
        AttachmentGraph graph(repo_);
        std::set<std::string> done;
        const auto note = [&](const std::string &hex, std::vector<std::string> *attached) {
            attachments_of(repo_.c_str(), hex.c_str(), {&graph, &listed_, attached});
            if (removed == nullptr) return;
            add_removed(removed, "sha256:" + hex);
            for (const std::string &d : *attached)
                add_removed(removed, d);
        };
        for (TagItem &item : tags_) {
            if (!item.marked) continue;
            ++tally_.tags_deleted;
            const std::string hex = hex_of(item);
            if (going(hex) && done.insert(hex).second) note(hex, &item.attached);
        }
        for (UntaggedItem &u : untagged_) {
            if (!u.selected) continue;
            ++tally_.manifests_deleted;
            note(u.hex, &u.attached);
        }
        return true;
    }

    static void add_removed(std::vector<std::array<uint8_t, 32>> *removed,
                            const std::string &digest) {
        std::array<uint8_t, 32> d{};
        if (digest.size() == kPrefixLen + 64 &&
            ReachableSet::decode(digest.c_str() + kPrefixLen, d.data()))
            removed->push_back(d);
    }

    bool delete_selected() {
        for (TagItem &item : tags_) {
            if (!item.marked) continue;
            const CollectedLink collected{item.digest, item.link_id, item.link_time};
            switch (claim_collected_tag(repo_.c_str(), item.tag.c_str(), collected)) {
                case TagDeletion::deleted:
                    ++tally_.tags_deleted;
                    break;
                case TagDeletion::changed:
                    // Re-pointed since it was collected: a fresh push, which stays and is
                    // reported as kept, not among the deletions.
                    item.marked = false;
                    --tally_.marked;
                    break;
                case TagDeletion::failed:
                    break;
                case TagDeletion::unsafe:
                    return false;  // a tag pushed meanwhile is aside: no report may say all went
                                   // well
            }
        }
        // The manifests the pass removes, in one go: what the first of their tags (or their own
        // untagged entry) lists as taken along.
        std::vector<ManifestRemoval> removals;
        std::vector<UntaggedItem *> untagged;
        std::set<std::string> done;
        for (TagItem &item : tags_) {
            const std::string hex = hex_of(item);
            if (item.marked && going(hex) && done.insert(hex).second)
                removals.push_back({hex, nullptr, &item.attached});
        }
        for (UntaggedItem &u : untagged_) {
            if (!u.selected) continue;
            removals.push_back({u.hex, &u.body, &u.attached});
            untagged.push_back(&u);
        }
        AttachmentGraph graph(repo_);
        remove_manifests(repo_.c_str(), &removals, {&graph, &listed_, nullptr});
        size_t next_untagged = 0;
        for (const ManifestRemoval &r : removals) {
            if (r.result == TagDeletion::unsafe) return false;
            if (r.judged == nullptr) continue;
            UntaggedItem &u = *untagged[next_untagged++];
            if (r.result == TagDeletion::deleted) {
                ++tally_.manifests_deleted;
            } else {
                // Tagged, listed or pushed again since it was judged: it stays, and the report
                // does not list it.
                u.selected = false;
            }
        }
        return true;
    }

    // The directories deleted tags of older versions left, once they have lain empty past the
    // upload window (a push of that tag may be making them this instant), and the repository
    // itself once it holds nothing.
    void tidy() {
        for (const std::string &dir : husks_) {
            qv::os::FileInfo info{};
            if (qv::os::file_info(dir.c_str(), &info) &&
                now_ - info.mtime_unix >= kUploadWindowSeconds + clock_margin())
                remove_tag_husk(dir.c_str());
        }
        remove_repository_if_empty(repo_.c_str());
    }

    // ---- reporting --------------------------------------------------------------------------
    void report_repository() {
        for (const TagItem &item : tags_) {
            if (item.marked && room(&deleted_count_))
                listed(&deleted_, entry("tag", item.tag.c_str(), item.digest,
                                        (now_ - item.age_stamp) / kDaySeconds, item.attached));
        }
        for (const UntaggedItem &u : untagged_) {
            if (u.selected && room(&untagged_count_))
                listed(&untagged_list_,
                       entry("digest", ("sha256:" + u.hex).c_str(), nullptr,
                             (now_ - u.body.mtime_unix) / kDaySeconds, u.attached));
        }
    }

    // Whether one more entry may go in a list that holds *count (500 at most).
    bool room(long long *count) {
        if (++*count <= kReportEntryMax) return true;
        cut_ = true;
        return false;
    }

    std::string entry(const char *key, const char *name, const char *digest, int64_t age_days,
                      const std::vector<std::string> &attached) const {
        std::string out;
        add_entry(&out, repo_, key, name, digest, age_days, attached);
        return out;
    }

    void listed(std::string *list, const std::string &one) {
        if (full_ ||
            deleted_.size() + untagged_list_.size() + one.size() + 1 + kReportFrame > kResultCap) {
            full_ = cut_ = true;
            return;
        }
        if (!list->empty()) list->push_back(',');
        *list += one;
    }

    const Policy policy_;
    const int64_t now_;
    Tally tally_;
    DeferredFlushes flushes_;
    IndexChildren listed_;  // across the store, read once on the first need
    std::string repo_;
    std::vector<TagItem> tags_;
    std::vector<UntaggedItem> untagged_;
    std::vector<std::string> husks_;
    std::map<std::string, std::pair<int, int>> counts_;  // hex: tags naming it, and of those marked
    std::map<std::string, std::string> subjects_;
    std::string deleted_;
    std::string untagged_list_;
    long long deleted_count_ = 0;
    long long untagged_count_ = 0;
    bool cut_ = false;   // a list holds fewer entries than it might
    bool full_ = false;  // the result buffer takes no more
};

const char *run_pass(const Policy &policy, int *truncated) {
    if (truncated != nullptr) *truncated = 0;
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    std::vector<std::string> repos;
    if (!collect_all_repos(&repos)) {
        set_error("retention pass stopped: cannot read every repository");
        return nullptr;
    }
    std::sort(repos.begin(), repos.end());
    std::unique_ptr<Pass> pass(new Pass(policy, qv::os::unix_now()));
    pass->count_repositories(repos.size());
    bool done = true;
    for (const std::string &repo : repos)
        if (!(done = pass->repository(repo))) break;
    const bool flushed = pass->flush();
    if (!done || !flushed) return nullptr;
    if (!pass->write_report(truncated)) return nullptr;
    clear_error();
    return s_result;
}

const char *guarded_pass(const Policy &policy, int *truncated) {
    try {
        return run_pass(policy, truncated);
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return nullptr;
    }
}

}  // namespace
}  // namespace reg

using namespace reg;

const char *reg_retention_json(int dry_run, int keep_n, int days, int include_latest,
                               int *truncated) {
    return guarded_pass(
        {dry_run != 0, std::max(keep_n, 0), std::max(days, 0), include_latest != 0, 0}, truncated);
}

const char *reg_retention_policy_json(int dry_run, const struct reg_retention_policy *policy,
                                      int *truncated) {
    if (truncated != nullptr) *truncated = 0;
    if (policy == nullptr) {
        set_error("NULL argument");
        return nullptr;
    }
    return guarded_pass({dry_run != 0, std::max(policy->keep_n, 0), std::max(policy->days, 0),
                         policy->include_latest != 0, std::max(policy->untagged_days, 0)},
                        truncated);
}
