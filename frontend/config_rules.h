// The retention rules (registry_retention_policies) and immutable tags
// (registry_immutable_tags) of config.json. Unlike the one-value settings, these are read by
// parsing the whole file: a rule set is used whole or not at all.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "storage/reg_storage.h"

namespace qv::frontend {

class ConfigRules {
  public:
    // Reads config.json from the working directory.
    ConfigRules();
    // For the tests: the rules of this text.
    explicit ConfigRules(const std::string &text);
    ConfigRules(const ConfigRules &) = delete;
    ConfigRules &operator=(const ConfigRules &) = delete;

    // Whether the file sets registry_retention_policies (an empty array sets none).
    bool has_policies() const { return !retention_.empty(); }
    const reg_retention_rule *rules() const { return retention_.data(); }
    size_t rule_count() const { return retention_.size(); }
    const reg_immutable_tags *immutable() const { return immutable_.data(); }
    size_t immutable_count() const { return immutable_.size(); }
    // Why the policies, or the immutable tags, cannot be used ("" when they can), naming the
    // rule and the key: "retention rule 1: unknown key \"keep_last\"".
    const std::string &policies_error() const { return policies_error_; }
    const std::string &immutable_error() const { return immutable_error_; }

  private:
    void parse(const std::string &text);

    struct Strings {  // what a rule's pointers point into
        std::vector<std::string> globs;
        std::vector<const char *> glob_ptrs;
        std::string first, second;
    };
    std::vector<Strings> retention_strings_;
    std::vector<Strings> immutable_strings_;
    std::vector<reg_retention_rule> retention_;
    std::vector<reg_immutable_tags> immutable_;
    std::string policies_error_;
    std::string immutable_error_;
};

// Hands the immutable tags to the engine; false with why when they cannot be used, in which
// case nothing that could overwrite or delete a tag may go on.
bool apply_immutable_tags(const ConfigRules &rules, std::string *why);
// The same with config.json's, read for it.
bool apply_immutable_tags(std::string *why);

}  // namespace qv::frontend
