// registry_retention_policies and registry_immutable_tags, parsed from the whole of
// config.json with yyjson. A key the file does not know, a value of the wrong kind or a file
// that does not parse leaves the rules unusable and says why: a pass never runs with part of
// a policy, and a tag is never left unprotected by a typo.
#include "frontend/config_rules.h"

#include <yyjson.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "frontend/config_json.h"
#include "platform/os.h"

namespace qv::frontend {

namespace {

constexpr const char kPoliciesKey[] = "registry_retention_policies";
constexpr const char kImmutableKey[] = "registry_immutable_tags";

bool read_count(yyjson_val *v, int *out) {
    if (!yyjson_is_uint(v) && !(yyjson_is_sint(v) && yyjson_get_sint(v) >= 0)) return false;
    const uint64_t n = yyjson_get_uint(v);
    *out = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    return true;
}

}  // namespace

ConfigRules::ConfigRules() {
    std::string text;
    const WholeConfig got = read_whole_config(&text);
    // Rules the file may hold cannot be known: neither may be taken as absent.
    if (got == WholeConfig::unreadable)
        policies_error_ = immutable_error_ = "config.json cannot be read";
    if (got == WholeConfig::text) parse(text);
}

ConfigRules::ConfigRules(const std::string &text) {
    parse(text);
}

void ConfigRules::parse(const std::string &text) {
    const bool policies = text.find(std::string("\"") + kPoliciesKey + "\"") != std::string::npos;
    const bool immutable = text.find(std::string("\"") + kImmutableKey + "\"") != std::string::npos;
    if (!policies && !immutable) return;  // the common case: nothing to parse
    yyjson_read_err err{};
    const std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, &err));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        const std::string why = doc ? "config.json is not a JSON object"
                                    : "config.json does not parse: " + std::string(err.msg) +
                                          " at byte " + std::to_string(err.pos);
        if (policies) policies_error_ = why;
        if (immutable) immutable_error_ = why;
        return;
    }
    if (yyjson_val *list = yyjson_obj_get(root, kPoliciesKey)) {
        if (!yyjson_is_arr(list)) {
            policies_error_ = std::string(kPoliciesKey) + ": must be an array of rules";
        } else {
            retention_strings_.resize(yyjson_arr_size(list));
            size_t i, n;
            yyjson_val *rule;
            yyjson_arr_foreach(list, i, n, rule) {
                const std::string at = "retention rule " + std::to_string(i) + ": ";
                if (!yyjson_is_obj(rule)) {
                    policies_error_ = at + "must be an object";
                    break;
                }
                Strings &strings = retention_strings_[i];
                reg_retention_rule r{nullptr, 0, 0, 0, 0, nullptr, nullptr, 1, 0};
                bool has_globs = false;
                size_t k, m;
                yyjson_val *key, *v;
                yyjson_obj_foreach(rule, k, m, key, v) {
                    const std::string_view name = yyjson_get_str(key);
                    bool ok = true;
                    if (name == "repositories") {
                        ok = has_globs = read_strings(v, &strings.globs);
                    } else if (name == "keep_n") {
                        ok = read_count(v, &r.keep_n);
                    } else if (name == "keep_days") {
                        ok = read_count(v, &r.keep_days);
                    } else if (name == "keep_pulled_days") {
                        ok = read_count(v, &r.keep_pulled_days);
                    } else if (name == "untagged_days") {
                        ok = read_count(v, &r.untagged_days);
                    } else if (name == "keep_tags" || name == "match_tags") {
                        ok = yyjson_is_str(v);
                        if (ok)
                            (name == "keep_tags" ? strings.first : strings.second) =
                                yyjson_get_str(v);
                    } else if (name == "protect_latest") {
                        ok = yyjson_is_bool(v);
                        r.protect_latest = yyjson_is_true(v) ? 1 : 0;
                    } else {
                        policies_error_ = at + "unknown key \"" + std::string(name) + "\"";
                        break;
                    }
                    if (!ok) {
                        policies_error_ =
                            at + std::string(name) +
                            (name == "repositories"
                                 ? ": must be a glob or an array of globs, none empty"
                             : name == "protect_latest" ? ": must be true or false"
                             : name.ends_with("_tags")  ? ": must be a string"
                                                        : ": must be a whole number of 0 or more");
                        break;
                    }
                }
                if (!policies_error_.empty()) break;
                if (!has_globs) {
                    policies_error_ = at + "repositories: required";
                    break;
                }
                retention_.push_back(r);
            }
        }
        if (!policies_error_.empty()) retention_.clear();
        // The pointers last: the strings no longer move.
        for (size_t i = 0; i < retention_.size(); ++i) {
            Strings &s = retention_strings_[i];
            for (const std::string &g : s.globs)
                s.glob_ptrs.push_back(g.c_str());
            retention_[i].repositories = s.glob_ptrs.data();
            retention_[i].repository_count = s.glob_ptrs.size();
            retention_[i].keep_tags = s.first.c_str();
            retention_[i].match_tags = s.second.c_str();
        }
    }
    if (yyjson_val *list = yyjson_obj_get(root, kImmutableKey)) {
        if (!yyjson_is_arr(list)) {
            immutable_error_ = std::string(kImmutableKey) + ": must be an array";
            return;
        }
        immutable_strings_.resize(yyjson_arr_size(list));
        size_t i, n;
        yyjson_val *entry;
        yyjson_arr_foreach(list, i, n, entry) {
            const std::string at = "immutable tags " + std::to_string(i) + ": ";
            Strings &s = immutable_strings_[i];
            size_t k, m;
            yyjson_val *key, *v;
            if (!yyjson_is_obj(entry)) {
                immutable_error_ = at + "must be an object";
                break;
            }
            yyjson_obj_foreach(entry, k, m, key, v) {
                const std::string_view name = yyjson_get_str(key);
                if (name == "repositories") {
                    if (!read_strings(v, &s.globs))
                        immutable_error_ =
                            at + "repositories: must be a glob or an array of globs, none empty";
                } else if (name == "tags") {
                    if (!yyjson_is_str(v) || *yyjson_get_str(v) == '\0')
                        immutable_error_ = at + "tags: must be a pattern";
                    else
                        s.first = yyjson_get_str(v);
                } else {
                    immutable_error_ = at + "unknown key \"" + std::string(name) + "\"";
                }
                if (!immutable_error_.empty()) break;
            }
            if (immutable_error_.empty() && (s.globs.empty() || s.first.empty()))
                immutable_error_ = at + (s.globs.empty() ? "repositories" : "tags") + ": required";
            if (!immutable_error_.empty()) break;
        }
        if (!immutable_error_.empty()) return;
        for (Strings &s : immutable_strings_) {
            for (const std::string &g : s.globs)
                s.glob_ptrs.push_back(g.c_str());
            immutable_.push_back({s.glob_ptrs.data(), s.glob_ptrs.size(), s.first.c_str()});
        }
    }
}

bool apply_immutable_tags(std::string *why) {
    const ConfigRules rules;
    return apply_immutable_tags(rules, why);
}

bool apply_immutable_tags(const ConfigRules &rules, std::string *why) {
    if (!rules.immutable_error().empty()) {
        *why = "config.json: " + rules.immutable_error();
        return false;
    }
    if (reg_set_immutable_tags(rules.immutable(), rules.immutable_count()) != 0) {
        *why = std::string("config.json: ") + reg_storage_last_error();
        return false;
    }
    return true;
}

}  // namespace qv::frontend
