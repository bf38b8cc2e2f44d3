// Repository globs and tag patterns of retention rules and immutable tags.
#include "storage/tag_rules.h"

#include <re2/re2.h>

#include <algorithm>
#include <utility>

#include "storage/storage_internal.h"

namespace reg {

namespace {

constexpr size_t kRuleGlobBytesMax = 65536;

// Whether p[i..] matches s[j..], each pair decided once: a pattern with many stars stays
// linear in each of them, never exponential.
class GlobMatcher {
  public:
    GlobMatcher(std::string_view p, std::string_view s)
        : p_(p), s_(s), memo_((p.size() + 1) * (s.size() + 1), -1) {}
    bool match(size_t i, size_t j) {
        signed char &m = memo_[i * (s_.size() + 1) + j];
        if (m < 0) m = decide(i, j) ? 1 : 0;
        return m == 1;
    }

  private:
    bool decide(size_t i, size_t j) {
        if (i == p_.size()) return j == s_.size();
        if (p_.substr(i).starts_with("**")) {
            const size_t k = i + 2;
            // "**/" may stand for no component at all: "a/**/b" matches "a/b".
            if (k < p_.size() && p_[k] == '/' && match(k + 1, j)) return true;
            for (size_t t = j; t <= s_.size(); ++t)
                if (match(k, t)) return true;
            return false;
        }
        if (p_[i] == '*') {
            for (size_t t = j; t <= s_.size(); ++t) {
                if (match(i + 1, t)) return true;
                if (t < s_.size() && s_[t] == '/') break;
            }
            return false;
        }
        return j < s_.size() && p_[i] == s_[j] && match(i + 1, j + 1);
    }

    std::string_view p_, s_;
    std::vector<signed char> memo_;
};

// The name as the store places it: a repository written "team/./app" is "team/app".
std::string canonical(std::string_view repo) {
    std::string out;
    while (!repo.empty()) {
        const size_t cut = repo.find('/');
        const std::string_view part = repo.substr(0, cut);
        repo = cut == std::string_view::npos ? std::string_view() : repo.substr(cut + 1);
        if (part.empty() || part == ".") continue;
        if (!out.empty()) out += '/';
        out += part;
    }
    return out;
}

}  // namespace

bool glob_match(std::string_view p, std::string_view s) {
    return GlobMatcher(p, s).match(0, 0);
}

TagPattern::TagPattern() = default;
TagPattern::~TagPattern() = default;
TagPattern::TagPattern(TagPattern &&) noexcept = default;
TagPattern &TagPattern::operator=(TagPattern &&) noexcept = default;

bool TagPattern::compile(const char *pattern, std::string *why) {
    re_.reset();
    if (pattern == nullptr || pattern[0] == '\0') return true;
    RE2::Options options;
    options.set_log_errors(false);
    auto re = std::make_unique<RE2>(pattern, options);
    if (!re->ok()) {
        *why = re->error();
        return false;
    }
    re_ = std::move(re);
    return true;
}

bool TagPattern::matches(std::string_view tag) const {
    return re_ != nullptr && RE2::FullMatch(re2::StringPiece(tag.data(), tag.size()), *re_);
}

bool Globs::match(std::string_view repo) const {
    const std::string name = canonical(repo);
    for (const std::string &g : patterns)
        if (glob_match(g, name)) return true;
    return false;
}

namespace {

bool compile_globs(const char *const *globs, size_t count, Globs *out) {
    for (size_t i = 0; i < count; ++i)
        if (globs[i] != nullptr && globs[i][0] != '\0') out->patterns.emplace_back(globs[i]);
    return !out->patterns.empty();
}

struct Immutable {
    Globs repositories;
    TagPattern tags;
};

std::vector<Immutable> s_immutable;

}  // namespace

bool compile_rules(const reg_retention_rule *rules, size_t count, std::vector<RetentionRule> *out) {
    out->clear();
    size_t glob_bytes = 0;
    for (size_t i = 0; i < count; ++i) {
        const reg_retention_rule &in = rules[i];
        RetentionRule &r = out->emplace_back();
        if (!compile_globs(in.repositories, in.repository_count, &r.repositories)) {
            set_error("retention rule %zu: repositories: no glob", i);
            return false;
        }
        for (const std::string &g : r.repositories.patterns)
            glob_bytes += g.size() + 8;
        // The report names every glob: their total stays well within it.
        if (glob_bytes > kRuleGlobBytesMax) {
            set_error("retention rule %zu: repositories: more than %zu bytes of globs in all", i,
                      kRuleGlobBytesMax);
            return false;
        }
        std::string why;
        if (!r.keep_tags.compile(in.keep_tags, &why)) {
            set_error("retention rule %zu: keep_tags: %s", i, why.c_str());
            return false;
        }
        if (!r.match_tags.compile(in.match_tags, &why)) {
            set_error("retention rule %zu: match_tags: %s", i, why.c_str());
            return false;
        }
        r.keep_n = std::max(in.keep_n, 0);
        r.keep_days = std::max(in.keep_days, 0);
        r.keep_pulled_days = std::max(in.keep_pulled_days, 0);
        r.protect_latest = in.protect_latest != 0;
        r.untagged_days = std::max(in.untagged_days, 0);
    }
    return true;
}

int governing_rule(const std::vector<RetentionRule> &rules, std::string_view repo) {
    for (size_t i = 0; i < rules.size(); ++i)
        if (rules[i].repositories.match(repo)) return static_cast<int>(i);
    return -1;
}

bool tag_immutable(std::string_view repo, std::string_view tag) {
    for (const Immutable &m : s_immutable)
        if (m.repositories.match(repo) && m.tags.matches(tag)) return true;
    return false;
}

bool immutable_tags_set() {
    return !s_immutable.empty();
}

}  // namespace reg

using namespace reg;

extern "C" int reg_set_immutable_tags(const struct reg_immutable_tags *rules, size_t count) {
    std::vector<Immutable> set;
    for (size_t i = 0; i < count; ++i) {
        Immutable &m = set.emplace_back();
        std::string why;
        if (!compile_globs(rules[i].repositories, rules[i].repository_count, &m.repositories)) {
            set_error("immutable tags %zu: repositories: no glob", i);
            return -1;
        }
        if (rules[i].tags == nullptr || rules[i].tags[0] == '\0') {
            set_error("immutable tags %zu: tags: no pattern", i);
            return -1;
        }
        if (!m.tags.compile(rules[i].tags, &why)) {
            set_error("immutable tags %zu: tags: %s", i, why.c_str());
            return -1;
        }
    }
    s_immutable = std::move(set);
    return 0;
}
