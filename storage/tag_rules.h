// Which repositories and tags a rule speaks of: repository globs and whole-tag RE2 patterns,
// compiled once per call. Used by the retention pass's rules and by immutable tags.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/reg_storage.h"

namespace re2 {
class RE2;
}

namespace reg {

// '*' matches within one name component, '**' across components ("a/**/b" also matches "a/b");
// every other character stands for itself.
bool glob_match(std::string_view pattern, std::string_view name);

// A pattern matched against the whole tag; an empty pattern is off.
class TagPattern {
  public:
    TagPattern();
    ~TagPattern();
    TagPattern(TagPattern &&) noexcept;
    TagPattern &operator=(TagPattern &&) noexcept;
    // False, with why, when the pattern does not compile.
    bool compile(const char *pattern, std::string *why);
    bool on() const { return re_ != nullptr; }
    bool matches(std::string_view tag) const;

  private:
    std::unique_ptr<re2::RE2> re_;
};

struct Globs {
    std::vector<std::string> patterns;
    bool match(std::string_view repo) const;
};

struct RetentionRule {
    Globs repositories;
    int keep_n = 0;
    int keep_days = 0;
    int keep_pulled_days = 0;
    TagPattern keep_tags;
    TagPattern match_tags;
    bool protect_latest = true;
    int untagged_days = 0;
};

// The rules as the caller gave them; false (the message set, naming the rule and its key)
// when one cannot be used.
bool compile_rules(const reg_retention_rule *rules, size_t count, std::vector<RetentionRule> *out);

// The first rule whose globs match the repository, or -1.
int governing_rule(const std::vector<RetentionRule> &rules, std::string_view repo);

// Whether the immutable tags set for this process (reg_set_immutable_tags) hold the tag.
bool tag_immutable(std::string_view repo, std::string_view tag);
bool immutable_tags_set();

}  // namespace reg
