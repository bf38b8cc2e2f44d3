// The retention pass: every repository, one at a time, every tag of each with the time it was
// last pushed; rank each repository's tags newest first, select by count and by age, spare
// "latest"; with the untagged rule, select the manifests no tag names once their bodies have
// lain unchanged for days; delete what is selected and report. One repository's tags are held
// at a time, so the pass sees the whole store in bounded memory.
#include <yyjson.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
#include "storage/tag_rules.h"

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
constexpr size_t kAttachmentMax = 1000000;  // a hostile store's chain of attachments
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
    // With rules, each repository is governed by its first matching rule instead.
    const std::vector<RetentionRule> *rules = nullptr;
};

// A manifest's digest as 32 bytes: a repository of 50,000 manifests is held in bounded memory.
using Digest = std::array<uint8_t, 32>;

std::string hex_text(const Digest &d) {
    char hex[65];
    bin_to_hex(d.data(), hex);
    return hex;
}

// One collected tag.
struct TagItem {
    std::string tag;
    char digest[kDigestCap];  // the link's first 71 characters, as collected
    Digest manifest{};        // what they name, when they are a well-formed digest
    bool names = false;
    bool marked = false;
    int64_t age_stamp = 0;
    uint64_t link_id = 0;  // the link file as collected, to tell a push since
    qv::os::FileTime link_time{};
    std::vector<std::string> attached;  // what its manifest took along (or would)
};

// Per manifest some collected tag names: how many tags name it, and of those how many go.
struct Count {
    Digest manifest;
    int tags;
    int marked;
};

// A stored manifest body, as the scan of its repository read it.
struct Stored {
    Digest manifest;
    qv::os::FileInfo info;
};

// A manifest no collected tag names, old enough for the untagged rule.
struct UntaggedItem {
    Digest manifest;
    std::string hex;
    qv::os::FileInfo body;  // the body as judged, to tell a push since
    bool selected = true;
    std::vector<std::string> attached;
};

template <typename T>
T *find_digest(std::vector<T> &sorted, const Digest &d) {
    const auto at = std::lower_bound(sorted.begin(), sorted.end(), d,
                                     [](const T &x, const Digest &y) { return x.manifest < y; });
    return at != sorted.end() && at->manifest == d ? &*at : nullptr;
}

struct Tally {
    long long repos_scanned = 0;
    long long tags_total = 0;
    long long marked = 0;
    long long tags_deleted = 0;
    long long latest_protected = 0;
    long long manifests_deleted = 0;
};

// What one rule governed and what it deleted.
struct RuleTally {
    long long repos = 0;
    long long tags_total = 0;
    long long tags_deleted = 0;
    long long manifests_deleted = 0;
};

// Newest first, then tag ascending: a total order, so the ranks never depend on how the sort
// treats equal elements.
bool newer(const TagItem &a, const TagItem &b) {
    if (a.age_stamp != b.age_stamp) return a.age_stamp > b.age_stamp;
    return a.tag < b.tag;
}

// Appends one report entry, with the attachments that went along, to out.
void add_entry(std::string *out, const std::string &repo, const char *key, const char *name,
               const char *digest, int64_t age_days, int rule,
               const std::vector<std::string> &attached) {
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
    if (rule >= 0) *out += ",\"rule\":" + std::to_string(rule);
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
    Pass(const Policy &policy, int64_t now) : policy_(policy), now_(now) {
        if (rules_mode()) {
            rule_tally_.resize(policy_.rules->size());
            // The rules' part of the head, its counts at their widest: the lists leave room
            // for it, so that a pass that has deleted always has its report.
            frame_ += rules_report().size() + rule_tally_.size() * 4 * 20;
        }
    }

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
        manifests_ = manifests;
        rule_ = rules_mode() ? governing_rule(*policy_.rules, repo) : -1;
        untagged_days_ = !rules_mode() ? policy_.untagged_days
                         : rule_ >= 0  ? (*policy_.rules)[static_cast<size_t>(rule_)].untagged_days
                                       : 0;
        pulled_.clear();
        tags_.clear();
        husks_.clear();
        scanned_ = false;
        std::vector<Stored>().swap(stored_);
        subjects_.clear();
        attachments_.clear();
        listed_.reset(new IndexChildren());
        for (const DirEntry &e : entries)
            if (e.is_dir) collect_tag(tags_dir, e.name);
        std::vector<DirEntry>().swap(entries);
        tally_.tags_total += static_cast<long long>(tags_.size());
        if (rule_ >= 0) {
            ++rule_tally().repos;
            rule_tally().tags_total += static_cast<long long>(tags_.size());
        }
        untagged_.clear();
        if (rules_mode() && rule_ < 0) return true;  // no rule governs it: left alone
        std::sort(tags_.begin(), tags_.end(), newer);
        select_tags();
        if (untagged_days_ > 0 && !collect_untagged()) return false;
        if (!keep_attachments()) return false;
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
        const int n = std::snprintf(
            head, sizeof head, "{\"dry_run\":%s,\"keep_n\":%d,\"days\":%d,\"include_latest\":%s,%s",
            policy_.dry_run ? "true" : "false", policy_.keep_n, policy_.days,
            policy_.include_latest ? "true" : "false", untagged_days);
        std::string report(head, static_cast<size_t>(n));
        if (rules_mode())
            report = std::string("{\"dry_run\":") + (policy_.dry_run ? "true," : "false,") +
                     rules_report() + ",";
        const int m =
            std::snprintf(head, sizeof head,
                          "\"repos_scanned\":%lld,\"tags_total\":%lld,\"tags_deleted\":%lld,"
                          "\"tags_kept\":%lld,\"latest_protected\":%lld,",
                          tally_.repos_scanned, tally_.tags_total, tally_.tags_deleted,
                          tally_.tags_total - tally_.tags_deleted, tally_.latest_protected);
        report.append(head, static_cast<size_t>(m));
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
    // The untagged rule's report fields: with it on, and always under rules.
    bool untagged_on() const { return rules_mode() || policy_.untagged_days > 0; }
    bool rules_mode() const { return policy_.rules != nullptr; }
    const RetentionRule &rule() const { return (*policy_.rules)[static_cast<size_t>(rule_)]; }
    RuleTally &rule_tally() { return rule_tally_[static_cast<size_t>(rule_)]; }

    // Each rule, the globs it was given and what it governed: "rules":[...].
    std::string rules_report() const {
        std::string out = "\"rules\":[";
        for (size_t i = 0; i < rule_tally_.size(); ++i) {
            const RuleTally &t = rule_tally_[i];
            out += i > 0 ? ",{\"rule\":" : "{\"rule\":";
            out += std::to_string(i) + ",\"repositories\":[";
            const std::vector<std::string> &globs = (*policy_.rules)[i].repositories.patterns;
            for (size_t g = 0; g < globs.size(); ++g) {
                std::vector<char> buf(globs[g].size() * 6 + 16);
                json_escape_append(buf.data(), buf.size(), globs[g].c_str());
                out += (g > 0 ? ",\"" : "\"") + std::string(buf.data()) + "\"";
            }
            out += "],\"repos_scanned\":" + std::to_string(t.repos) +
                   ",\"tags_total\":" + std::to_string(t.tags_total) +
                   ",\"tags_deleted\":" + std::to_string(t.tags_deleted) +
                   ",\"manifests_deleted\":" + std::to_string(t.manifests_deleted) + "}";
        }
        return out + "]";
    }

    void tag_deleted() {
        ++tally_.tags_deleted;
        if (rule_ >= 0) ++rule_tally().tags_deleted;
    }
    void manifest_deleted() {
        ++tally_.manifests_deleted;
        if (rule_ >= 0) ++rule_tally().manifests_deleted;
    }

    // ---- collecting ------------------------------------------------------------------------
    // A tag whose link is missing is no tag: its directory is a husk a deletion left. One open
    // of the link gives both its date and what it names.
    void collect_tag(const char *tags_dir, const std::string &tag) {
        char link_path[kPathCap];
        if (manifest_tag_path(link_path, repo_.c_str(), tag.c_str()) != 0) {
            clear_error();
            return;
        }
        char link[kLinkCap];
        size_t len = 0;
        qv::os::FileInfo info{};
        const int err = qv::os::read_regular(link_path, link, sizeof link - 1, &len, &info);
        if (err == ENOENT || err == ENOTDIR) {
            char dir[kPathCap];
            if (join_path(dir, tags_dir, tag.c_str())) husks_.emplace_back(dir);
            return;
        }
        link[len] = '\0';
        if (err != 0 || std::strncmp(link, kDigestPrefix, kPrefixLen) != 0) return;
        TagItem &item = tags_.emplace_back();
        item.tag = tag;
        std::snprintf(item.digest, sizeof item.digest, "%.71s", link);
        // Only exactly a digest names a manifest (a link with more is corrupt: it names none).
        item.names = len == kDigestCap - 1 && digest_valid(link) &&
                     ReachableSet::decode(link + kPrefixLen, item.manifest.data());
        item.age_stamp = info.mtime_unix >= 0 ? info.mtime_unix : 0;
        item.link_id = info.file_id;
        item.link_time = qv::os::mtime_of(info);
    }

    // Under a rule: a considered tag goes only when no keep clause keeps it (protect_latest
    // aside, which the caller weighs). rank counts the newer considered tags.
    bool kept_by_rule(const TagItem &item, size_t rank) {
        const RetentionRule &r = rule();
        if (r.keep_n > 0 && rank < static_cast<size_t>(r.keep_n)) return true;
        if (r.keep_days > 0 &&
            now_ - item.age_stamp < static_cast<int64_t>(r.keep_days) * kDaySeconds)
            return true;
        if (r.keep_tags.matches(item.tag)) return true;
        return r.keep_pulled_days > 0 && item.names &&
               pulled_within(item.manifest, static_cast<int64_t>(r.keep_pulled_days));
    }

    // Whether the manifest was pulled within days (a clock margin more, toward keeping).
    bool pulled_within(const Digest &d, int64_t days) {
        auto found = pulled_.find(d);
        if (found == pulled_.end())
            found = pulled_.emplace(d, pulled_unix(repo_.c_str(), hex_text(d).c_str())).first;
        return found->second >= 0 && now_ - found->second < days * kDaySeconds + clock_margin();
    }

    void select_tags() {
        const int64_t max_age = static_cast<int64_t>(policy_.days) * kDaySeconds;
        std::vector<Count>().swap(counts_);
        size_t rank = 0;  // under a rule: of the considered tags
        for (size_t i = 0; i < tags_.size(); ++i) {
            TagItem &item = tags_[i];
            bool select = false;
            bool spare_latest = false;
            if (rules_mode()) {
                if (!rule().match_tags.on() || rule().match_tags.matches(item.tag)) {
                    select = !kept_by_rule(item, rank++);
                    spare_latest = rule().protect_latest;
                }
            } else {
                const bool beyond_count =
                    policy_.keep_n > 0 && i >= static_cast<size_t>(policy_.keep_n);
                const bool too_old = policy_.days > 0 && now_ - item.age_stamp >= max_age;
                select = beyond_count || too_old;
                spare_latest = !policy_.include_latest;
            }
            if (select && spare_latest && item.tag == "latest") {
                ++tally_.latest_protected;
            } else if (select && !tag_immutable(repo_, item.tag)) {
                item.marked = true;
                ++tally_.marked;
            }
            if (item.names) counts_.push_back({item.manifest, 1, item.marked ? 1 : 0});
        }
        // One entry a manifest, in digest order.
        std::sort(counts_.begin(), counts_.end(),
                  [](const Count &a, const Count &b) { return a.manifest < b.manifest; });
        size_t out = 0;
        for (size_t i = 0; i < counts_.size(); ++i) {
            if (out > 0 && counts_[out - 1].manifest == counts_[i].manifest) {
                counts_[out - 1].tags += counts_[i].tags;
                counts_[out - 1].marked += counts_[i].marked;
            } else {
                counts_[out++] = counts_[i];
            }
        }
        counts_.resize(out);
    }

    // The manifests no collected tag names whose bodies have lain unchanged long enough: never
    // one written within the upload window, whatever the rule says. In hex order.
    bool collect_untagged() {
        if (repo_name_valid(repo_.c_str()) == 0) return true;  // the engine deletes nothing here
        if (!scan()) return false;
        const int64_t window = std::max<int64_t>(static_cast<int64_t>(untagged_days_) * kDaySeconds,
                                                 kUploadWindowSeconds);
        for (const Stored &b : stored_) {
            if (find_digest(counts_, b.manifest) == nullptr &&
                now_ - b.info.mtime_unix >= window + clock_margin())
                untagged_.push_back({b.manifest, hex_text(b.manifest), b.info, true, {}});
        }
        return true;
    }

    // ---- what the bodies say ------------------------------------------------------------------
    // Every body of the repository read once, when first needed: which are stored, which an
    // index of it lists (an index's children resolve in its own repository), and what each
    // attachment's subject is. A body that cannot be read leaves what indexes list unknown:
    // every manifest then stays.
    bool scan() {
        if (scanned_) return true;
        scanned_ = true;
        std::string epoch = index_epoch();  // before the bodies: an index put since looks again
        BodyFacts facts;
        const int read = read_repository_bodies(
            repo_.c_str(), &facts, [this](const char *hex, const qv::os::FileInfo &info) {
                Digest d{};
                if (ReachableSet::decode(hex, d.data())) stored_.push_back({d, info});
            });
        if (read < 0) {
            set_error("retention pass stopped: cannot list the manifests of %s", repo_.c_str());
            return false;
        }
        std::sort(stored_.begin(), stored_.end(),
                  [](const Stored &a, const Stored &b) { return a.manifest < b.manifest; });
        std::vector<std::string> children;
        for (auto &c : facts.children)
            children.push_back(std::move(c.first));
        listed_->assume(children, read == 1, std::move(epoch));
        for (const auto &[subject, attached] : facts.by_subject) {
            Digest s{};
            if (!ReachableSet::decode(subject.c_str(), s.data())) continue;
            for (const std::string &hex : attached) {
                Digest a{};
                if (!ReachableSet::decode(hex.c_str(), a.data())) continue;
                subjects_[a] = s;
                attachments_[s].push_back(a);
            }
        }
        return true;
    }

    // ---- what goes and what stays ------------------------------------------------------------
    bool body_stored(const Digest &d) { return find_digest(stored_, d) != nullptr; }

    // Whether the pass removes the manifest: every tag naming it goes (or, untagged, the rule
    // selects it), it is stored, and no stored index lists it.
    bool going(const Digest &d) {
        if (const Count *c = find_digest(counts_, d)) {
            if (c->marked < c->tags) return false;
        } else {
            const UntaggedItem *u = find_digest(untagged_, d);
            if (u == nullptr || !u->selected) return false;
        }
        return body_stored(d) && !listed_->lists(hex_text(d).c_str());
    }

    bool stays(const Digest &d) { return body_stored(d) && !going(d); }

    // The manifest's subject, when it is an attachment.
    const Digest *subject_of(const Digest &d) const {
        const auto found = subjects_.find(d);
        return found == subjects_.end() ? nullptr : &found->second;
    }

    // What goes along with a manifest the pass removes: its attachments no tag names and no
    // index lists, and theirs in turn, breadth first (one with a tag goes, if it does, with
    // its own tags).
    std::vector<Digest> along(const Digest &d) {
        std::vector<Digest> out;
        std::vector<Digest> todo{d};
        for (size_t i = 0; i < todo.size() && i < kAttachmentMax; ++i) {
            const auto found = attachments_.find(todo[i]);
            if (found == attachments_.end()) continue;
            for (const Digest &a : found->second) {
                if (find_digest(counts_, a) != nullptr || !body_stored(a) ||
                    listed_->lists(hex_text(a).c_str()))
                    continue;
                out.push_back(a);
                todo.push_back(a);
            }
        }
        return out;
    }

    // An attachment (a signature, an SBOM) of a manifest that stays stays with it: its tags
    // are kept, or the untagged rule passes it by. Repeated until nothing changes: a kept
    // attachment keeps the attachments of it.
    bool keep_attachments() {
        bool marked = !untagged_.empty();
        for (const TagItem &item : tags_)
            marked = marked || item.marked;
        if (!marked) return true;  // nothing would go: no body need be read
        if (!scan()) return false;
        std::map<Digest, std::vector<TagItem *>> marked_of;  // a manifest's marked tags
        for (TagItem &item : tags_)
            if (item.marked && item.names) marked_of[item.manifest].push_back(&item);
        for (bool changed = true; changed;) {
            changed = false;
            for (auto &[manifest, items] : marked_of) {
                if (items.empty() || !going(manifest)) continue;
                const Digest *subject = subject_of(manifest);
                if (subject == nullptr || !stays(*subject)) continue;
                for (TagItem *item : items) {
                    item->marked = false;
                    --tally_.marked;
                }
                items.clear();
                find_digest(counts_, manifest)->marked = 0;
                changed = true;
            }
            for (UntaggedItem &u : untagged_) {
                if (!u.selected || !going(u.manifest)) continue;
                const Digest *subject = subject_of(u.manifest);
                if (subject == nullptr || !stays(*subject)) continue;
                u.selected = false;
                changed = true;
            }
        }
        for (UntaggedItem &u : untagged_) {
            if (!u.selected) continue;
            // Listed by an index; or an attachment of a manifest that goes, which takes it
            // along (and lists it under its own entry).
            const Digest *subject = subject_of(u.manifest);
            if (!going(u.manifest) || (subject != nullptr && going(*subject))) u.selected = false;
        }
        return true;
    }

    // ---- deleting ---------------------------------------------------------------------------
    // The manifests the pass removes, each under the entry that reports it (the first of its
    // tags, or its untagged entry), with what goes along; for a dry run, what would.
    struct Going {
        Digest manifest;
        std::vector<std::string> *attached;
        const qv::os::FileInfo *judged;
    };
    std::vector<Going> removed_manifests() {
        std::vector<Going> out;
        std::set<Digest> done;
        for (TagItem &item : tags_) {
            if (item.marked && item.names && going(item.manifest) &&
                done.insert(item.manifest).second)
                out.push_back({item.manifest, &item.attached, nullptr});
        }
        for (UntaggedItem &u : untagged_)
            if (u.selected) out.push_back({u.manifest, &u.attached, &u.body});
        return out;
    }

    bool look_ahead() {
        for (const TagItem &item : tags_)
            if (item.marked) tag_deleted();
        std::vector<std::array<uint8_t, 32>> *removed = nullptr;
        if (retention_removed_out != nullptr) removed = &(*retention_removed_out)[repo_];
        for (const Going &g : removed_manifests()) {
            if (g.judged != nullptr) manifest_deleted();
            if (removed != nullptr) removed->push_back(g.manifest);
            for (const Digest &a : along(g.manifest)) {
                g.attached->push_back("sha256:" + hex_text(a));
                if (removed != nullptr) removed->push_back(a);
            }
        }
        return true;
    }

    bool delete_selected() {
        char tags_dir[kPathCap];
        if (manifest_tags_dir(tags_dir, repo_.c_str()) != 0) return true;
        const qv::os::HeldDir tags(tags_dir);
        // A name the engine refuses is no repository it deletes from, and a link that is not
        // exactly a digest no tag it deletes (as a deletion by name would refuse it): such
        // selected tags stay, listed but not counted.
        if (repo_name_valid(repo_.c_str()) == 0) return true;
        for (TagItem &item : tags_) {
            if (!item.marked || !item.names) continue;
            const CollectedLink collected{item.digest, item.link_id, item.link_time};
            switch (claim_collected_tag(repo_.c_str(), tags, item.tag.c_str(), collected)) {
                case TagDeletion::deleted:
                    tag_deleted();
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
                    return false;  // a tag pushed meanwhile is aside: no report may say so
            }
        }
        // The manifests in one go, each followed by what goes along with it.
        const std::vector<Going> going = removed_manifests();
        std::vector<ManifestRemoval> removals;
        std::vector<const Going *> owner;  // the entry each removal is reported under
        for (const Going &g : going) {
            const int parent = static_cast<int>(removals.size());
            removals.push_back({hex_text(g.manifest), g.judged, -1, TagDeletion::failed});
            owner.push_back(&g);
            for (const Digest &a : along(g.manifest)) {
                removals.push_back({hex_text(a), nullptr, parent, TagDeletion::failed});
                owner.push_back(&g);
            }
        }
        remove_manifests(repo_.c_str(), &removals, {nullptr, listed_.get(), nullptr});
        for (size_t i = 0; i < removals.size(); ++i) {
            const ManifestRemoval &r = removals[i];
            if (r.result == TagDeletion::unsafe) return false;
            if (r.parent >= 0) {
                if (r.result == TagDeletion::deleted)
                    owner[i]->attached->push_back("sha256:" + r.hex);
            } else if (owner[i]->judged != nullptr) {
                UntaggedItem *u = find_digest(untagged_, owner[i]->manifest);
                if (r.result == TagDeletion::deleted) {
                    manifest_deleted();
                } else {
                    // Tagged, listed or pushed again since it was judged: it stays, and the
                    // report does not list it.
                    u->selected = false;
                }
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
        add_entry(&out, repo_, key, name, digest, age_days, rule_, attached);
        return out;
    }

    void listed(std::string *list, const std::string &one) {
        if (full_ ||
            deleted_.size() + untagged_list_.size() + one.size() + 1 + frame_ > kResultCap) {
            full_ = cut_ = true;
            return;
        }
        if (!list->empty()) list->push_back(',');
        *list += one;
    }

    const Policy policy_;
    const int64_t now_;
    Tally tally_;
    std::vector<RuleTally> rule_tally_;
    size_t frame_ = kReportFrame;  // what the report's head and tail may take
    int rule_ = -1;                // the rule governing the repository at hand
    int untagged_days_ = 0;
    std::map<Digest, int64_t> pulled_;  // when its manifests were last pulled
    DeferredFlushes flushes_;
    // The repository at hand.
    std::string repo_;
    std::string manifests_;
    bool scanned_ = false;
    std::vector<Stored> stored_;  // its bodies, in hex order
    std::unique_ptr<IndexChildren> listed_;
    std::vector<TagItem> tags_;
    std::vector<UntaggedItem> untagged_;
    std::vector<std::string> husks_;
    std::vector<Count> counts_;          // the manifests its tags name, in digest order
    std::map<Digest, Digest> subjects_;  // attachment: its subject
    std::map<Digest, std::vector<Digest>> attachments_;  // subject: its attachments
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

const char *reg_retention_rules_json(int dry_run, const struct reg_retention_rule *rules,
                                     size_t count, int *truncated) {
    if (truncated != nullptr) *truncated = 0;
    if (rules == nullptr && count > 0) {
        set_error("NULL argument");
        return nullptr;
    }
    try {
        std::vector<RetentionRule> compiled;
        if (!compile_rules(rules, count, &compiled)) return nullptr;
        Policy policy{dry_run != 0, 0, 0, false, 0, &compiled};
        return guarded_pass(policy, truncated);
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return nullptr;
    }
}
