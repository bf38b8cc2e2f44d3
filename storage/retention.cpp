// The retention pass: collect every tag with the time it was last pushed, rank each
// repository's tags newest first, select by count and by age, spare "latest", delete the
// selected tags by name and report.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "storage/gc_internal.h"
#include "storage/manifest_resolve.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "storage/storage_internal.h"

namespace reg {

std::vector<RetentionSelected> *retention_selection_out = nullptr;

void (*retention_selected_hook)() = nullptr;
void (*retention_compared_hook)() = nullptr;

namespace {

constexpr int kItemMax = 4096;
constexpr int kReportEntryMax = 500;
constexpr size_t kNameCap = 256;  // repository and tag: at most 255 characters
constexpr size_t kDigestCap = 72;
constexpr size_t kLinkCap = 128;
constexpr int64_t kDaySeconds = 86400;
constexpr const char kDigestPrefix[] = "sha256:";
// Escaping a name can make every byte six; the reserve keeps the escaper from cutting.
constexpr size_t kEscapedNameCap = kNameCap * 6 + 9;
constexpr size_t kEscapedDigestCap = kDigestCap * 6 + 9;

struct RetentionItem {
    char repository[kNameCap];
    char tag[kNameCap];
    char digest[kDigestCap];
    int64_t age_stamp;
    uint64_t link_id;  // the link file as collected, to tell a push since
    qv::os::FileTime link_time;
    int marked;
};

struct Policy {
    bool dry_run;
    int keep_n;  // 0: count rule off
    int days;    // 0: age rule off
    bool include_latest;
};

struct Tally {
    int repos_scanned = 0;
    int tags_total = 0;
    int marked = 0;
    int tags_deleted = 0;
    int latest_protected = 0;
};

// Repository ascending, then newest first, then tag ascending: a total order, so the ranks
// never depend on how the sort treats equal elements.
int retention_tag_cmp(const RetentionItem &a, const RetentionItem &b) {
    if (const int by_repo = std::strcmp(a.repository, b.repository); by_repo != 0) return by_repo;
    if (a.age_stamp != b.age_stamp) return a.age_stamp > b.age_stamp ? -1 : 1;
    return std::strcmp(a.tag, b.tag);
}

// Last-write time of a tag link. A link whose time cannot be had still counts, dated 0, as
// long as it is a file; no file means no tag.
bool link_age_stamp(const char *link_path, int64_t *out, qv::os::FileInfo *info) {
    if (qv::os::file_info(link_path, info) && info->mtime_unix >= 0) {
        *out = info->mtime_unix;
        return true;
    }
    if (!qv::os::is_file(link_path)) return false;
    *out = 0;
    return true;
}

class Collector {
  public:
    explicit Collector(RetentionItem *items) : items_(items) {}

    int count() const { return count_; }
    bool full() const { return count_ >= kItemMax; }

    void collect_repository(const char *repo) {
        // A longer name would have to be cut, and a cut name can name another repository,
        // whose tags the deletions would then hit.
        if (std::strlen(repo) >= kNameCap) return;
        char tags_dir[kPathCap];
        if (manifest_tags_dir(tags_dir, repo) != 0) return;
        DirListing listing;
        if (list_dir(tags_dir, &listing) != 0) return;
        for (int i = 0; i < listing.count; ++i) {
            const ListEntry &entry = listing.entries[i];
            if (!entry.is_dir) continue;
            if (full()) return;
            collect_tag(repo, entry.name);
        }
    }

  private:
    void collect_tag(const char *repo, const char *tag) {
        if (std::strlen(tag) >= kNameCap) return;
        char link_path[kPathCap];
        if (manifest_tag_path(link_path, repo, tag) != 0) return;
        int64_t age_stamp = 0;
        qv::os::FileInfo info{};
        if (!link_age_stamp(link_path, &age_stamp, &info)) return;
        char link[kLinkCap];
        if (read_file(link_path, link, sizeof link, nullptr) != 0) return;
        if (std::strncmp(link, kDigestPrefix, sizeof kDigestPrefix - 1) != 0) return;

        RetentionItem &item = items_[count_++];
        std::snprintf(item.repository, sizeof item.repository, "%s", repo);
        std::snprintf(item.tag, sizeof item.tag, "%s", tag);
        std::snprintf(item.digest, sizeof item.digest, "%.71s", link);
        item.age_stamp = age_stamp;
        item.link_id = info.file_id;
        item.link_time = qv::os::mtime_of(info);
        item.marked = 0;
    }

    RetentionItem *items_;
    int count_ = 0;
};

// Ranks each repository's items (already sorted) and marks the selected ones.
void select_items(RetentionItem *items, int count, const Policy &policy, int64_t now,
                  Tally *tally) {
    const char *group = nullptr;
    int rank = 0;
    const int64_t max_age = static_cast<int64_t>(policy.days) * kDaySeconds;
    for (int i = 0; i < count; ++i) {
        RetentionItem &item = items[i];
        if (group == nullptr || std::strcmp(item.repository, group) != 0) {
            group = item.repository;
            rank = 1;
        } else {
            ++rank;
        }
        const bool beyond_count = policy.keep_n > 0 && rank > policy.keep_n;
        const bool too_old = policy.days > 0 && now - item.age_stamp >= max_age;
        if (!beyond_count && !too_old) continue;
        if (!policy.include_latest && std::strcmp(item.tag, "latest") == 0) {
            ++tally->latest_protected;
            continue;
        }
        item.marked = 1;
        ++tally->marked;
    }
}

using ManifestKey = std::pair<std::string, std::string>;  // repository, hex

ManifestKey key_of(const RetentionItem &item) {
    const std::string_view digest(item.digest);
    return {item.repository,
            std::string(digest.substr(std::min(digest.size(), sizeof kDigestPrefix - 1)))};
}

// Per manifest named by a collected tag: how many tags name it, and how many of those go.
using TagCounts = std::map<ManifestKey, std::pair<int, int>>;

TagCounts count_tags(const RetentionItem *items, int count) {
    TagCounts counts;
    for (int i = 0; i < count; ++i) {
        auto &c = counts[key_of(items[i])];
        ++c.first;
        if (items[i].marked) ++c.second;
    }
    return counts;
}

// Whether the pass leaves the manifest stored: it is, and it keeps a tag (or never had one
// to lose, or an index lists it).
bool manifest_stays(const ManifestKey &m, const TagCounts &counts, IndexChildren *listed) {
    char body[kPathCap];
    if (!hex64_valid(m.second.c_str()) ||
        manifest_body_path(body, m.first.c_str(), m.second.c_str()) != 0 || !qv::os::is_file(body))
        return false;
    const auto it = counts.find(m);
    return it == counts.end() || it->second.second < it->second.first ||
           listed->lists(m.second.c_str());
}

// A tag naming an attachment (a signature, an SBOM) of a manifest that stays, stays with it.
// Repeated until nothing changes: a kept attachment keeps the attachments of it.
void keep_attachments(RetentionItem *items, int count, Tally *tally, IndexChildren *listed) {
    TagCounts counts = count_tags(items, count);
    std::map<ManifestKey, std::string> subjects;
    for (bool changed = true; changed;) {
        changed = false;
        for (int i = 0; i < count; ++i) {
            RetentionItem &item = items[i];
            if (!item.marked) continue;
            const ManifestKey m = key_of(item);
            auto found = subjects.find(m);
            if (found == subjects.end()) {
                char subject[65] = "";
                if (!hex64_valid(m.second.c_str()) ||
                    !manifest_subject(m.first.c_str(), m.second.c_str(), subject))
                    subject[0] = '\0';
                found = subjects.emplace(m, subject).first;
            }
            if (found->second.empty() || !manifest_stays({m.first, found->second}, counts, listed))
                continue;
            item.marked = 0;
            --tally->marked;
            --counts[m].second;
            changed = true;
        }
    }
}

// A dry run's view of what each marked tag's manifest would take with it: for the manifests
// that lose their last tag, their attachments, listed under the first such tag.
void list_attachments(const RetentionItem *items, int count, IndexChildren *listed,
                      std::vector<std::vector<std::string>> *attached) {
    const TagCounts counts = count_tags(items, count);
    std::set<ManifestKey> done;
    std::unique_ptr<AttachmentGraph> graph;  // of the repository at hand (items are by repository)
    for (int i = 0; i < count; ++i) {
        if (!items[i].marked) continue;
        const ManifestKey m = key_of(items[i]);
        if (manifest_stays(m, counts, listed) || !done.insert(m).second) continue;
        if (!graph || graph->repo() != m.first) graph = std::make_unique<AttachmentGraph>(m.first);
        attachments_of(m.first.c_str(), m.second.c_str(), {graph.get(), listed, &(*attached)[i]});
    }
}

// False when what was deleted could not be made durable (the last-error text says where).
bool delete_marked(RetentionItem *items, int count, const Policy &policy, Tally *tally,
                   IndexChildren *listed, std::vector<std::vector<std::string>> *attached) {
    if (policy.dry_run) {
        tally->tags_deleted = tally->marked;
        list_attachments(items, count, listed, attached);
        return true;
    }
    // Every directory a deletion changed is flushed once, before the report goes out.
    DeferredFlushes removals;
    const SpareManifest spare = [listed](const char *hex) { return listed->lists(hex); };
    std::unique_ptr<AttachmentGraph> graph;  // of the repository at hand (items are by repository)
    for (int i = 0; i < count; ++i) {
        RetentionItem &item = items[i];
        if (!item.marked) continue;
        const CollectedLink collected{item.digest, item.link_id, item.link_time};
        if (!graph || graph->repo() != item.repository)
            graph = std::make_unique<AttachmentGraph>(item.repository);
        const Cascade cascade{graph.get(), listed, &(*attached)[i]};
        switch (delete_collected_tag(item.repository, item.tag, collected, spare, cascade)) {
            case TagDeletion::deleted:
                ++tally->tags_deleted;
                break;
            case TagDeletion::changed:
                // Re-pointed since it was collected: a fresh push, which stays and is reported
                // as kept, not among the deletions.
                item.marked = 0;
                --tally->marked;
                break;
            case TagDeletion::failed:
                break;
            case TagDeletion::unsafe:
                // A tag pushed meanwhile is aside: no report may say the pass went well.
                removals.flush();
                return false;
        }
    }
    return removals.flush();
}

// Writes the report into the result buffer. Every entry is formed in full before it is
// copied, and only when it still leaves room for the closing "]}" and the NUL: names that
// escape six-fold could otherwise run past the buffer. Returns the entries written.
int write_report(const RetentionItem *items, int count, const Policy &policy, const Tally &tally,
                 int64_t now, const std::vector<std::vector<std::string>> &attached) {
    static constexpr std::string_view kEntryStart = "{\"repository\":\"";
    static constexpr std::string_view kMiddle = "\",\"tag\":\"";
    static constexpr std::string_view kTail = "]}";

    int pos = std::snprintf(
        s_result, kResultCap,
        "{\"dry_run\":%s,\"keep_n\":%d,\"days\":%d,\"include_latest\":%s,"
        "\"repos_scanned\":%d,\"tags_total\":%d,\"tags_deleted\":%d,\"tags_kept\":%d,"
        "\"latest_protected\":%d,\"deleted\":[",
        policy.dry_run ? "true" : "false", policy.keep_n, policy.days,
        policy.include_latest ? "true" : "false", tally.repos_scanned, tally.tags_total,
        tally.tags_deleted, tally.tags_total - tally.tags_deleted, tally.latest_protected);
    size_t used = static_cast<size_t>(pos);

    int written = 0;
    for (int i = 0; i < count && written < kReportEntryMax; ++i) {
        const RetentionItem &item = items[i];
        if (!item.marked) continue;
        char repo[kEscapedNameCap] = "";
        char tag[kEscapedNameCap] = "";
        char digest[kEscapedDigestCap] = "";
        json_escape_append(repo, sizeof repo, item.repository);
        json_escape_append(tag, sizeof tag, item.tag);
        // A well-formed digest needs no escaping; a corrupt link must not break the JSON.
        json_escape_append(digest, sizeof digest, item.digest);
        char age[kEscapedDigestCap + 64];
        std::snprintf(age, sizeof age, "\",\"digest\":\"%s\",\"age_days\":%lld", digest,
                      static_cast<long long>((now - item.age_stamp) / kDaySeconds));
        // The attachments the tag's manifest took with it (digests: nothing to escape).
        std::string end = age;
        if (!attached[i].empty()) {
            end += ",\"referrers\":[";
            for (size_t a = 0; a < attached[i].size(); ++a)
                end += (a > 0 ? ",\"" : "\"") + attached[i][a] + "\"";
            end += "]";
        }
        end += "}";

        const std::string_view pieces[] = {
            written > 0 ? "," : "", kEntryStart, repo, kMiddle, tag, end};
        size_t need = kTail.size() + 1;
        for (const std::string_view piece : pieces)
            need += piece.size();
        if (used + need > kResultCap) break;
        for (const std::string_view piece : pieces) {
            std::memcpy(s_result + used, piece.data(), piece.size());
            used += piece.size();
        }
        ++written;
    }
    std::memcpy(s_result + used, kTail.data(), kTail.size());
    s_result[used + kTail.size()] = '\0';
    return written;
}

}  // namespace
}  // namespace reg

using namespace reg;

const char *reg_retention_json(int dry_run, int keep_n, int days, int include_latest,
                               int *truncated) {
    if (truncated != nullptr) *truncated = 0;
    if (!s_ready) {
        set_error("%s", kNotReady);
        return nullptr;
    }
    std::unique_ptr<RepoList> repos = RepoList::collect();
    if (!repos) {
        set_error("out of memory");
        return nullptr;
    }
    std::unique_ptr<RetentionItem[]> items(new (std::nothrow) RetentionItem[kItemMax]());
    if (!items) {
        set_error("out of memory");
        return nullptr;
    }
    const Policy policy{dry_run != 0, std::max(keep_n, 0), std::max(days, 0), include_latest != 0};
    const int64_t now = qv::os::unix_now();

    Tally tally;
    tally.repos_scanned = repos->count();
    Collector collector(items.get());
    for (int r = 0; r < repos->count() && !collector.full(); ++r)
        collector.collect_repository((*repos)[r]);
    repos.reset();
    tally.tags_total = collector.count();

    RetentionItem *const first = items.get();
    std::sort(first, first + tally.tags_total, [](const RetentionItem &a, const RetentionItem &b) {
        return retention_tag_cmp(a, b) < 0;
    });
    select_items(first, tally.tags_total, policy, now, &tally);
    IndexChildren listed;
    std::vector<std::vector<std::string>> attached;
    try {
        keep_attachments(first, tally.tags_total, &tally, &listed);
        attached.resize(static_cast<size_t>(tally.tags_total));
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return nullptr;
    }
    if (retention_selected_hook != nullptr) retention_selected_hook();
    if (!delete_marked(first, tally.tags_total, policy, &tally, &listed, &attached)) return nullptr;

    if (policy.dry_run && retention_selection_out != nullptr) {
        for (int i = 0; i < tally.tags_total; ++i)
            if (first[i].marked)
                retention_selection_out->push_back(
                    {first[i].repository, first[i].tag, first[i].digest, attached[i]});
    }
    const int written = write_report(first, tally.tags_total, policy, tally, now, attached);
    if (truncated != nullptr) *truncated = written < tally.marked ? 1 : 0;
    clear_error();
    return s_result;
}
