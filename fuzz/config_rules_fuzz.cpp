// The retention rules and immutable tags of a hostile config.json: parsed whole, compiled,
// and their globs matched against names made of the same bytes.
//
// Input: the file. Invariants: a parse either yields rules or says why, never both; every
// rule it yields compiles or the engine names the rule; a glob match ends (linear in each
// star) and a glob matches the text it is made of, taken literally, when it holds no star.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/config_rules.h"
#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"
#include "storage/tag_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const qv::frontend::ConfigRules rules(text);
    FUZZ_CHECK(rules.policies_error().empty() || rules.rule_count() == 0);
    FUZZ_CHECK(rules.immutable_error().empty() || rules.immutable_count() == 0);
    std::vector<reg::RetentionRule> compiled;
    if (!reg::compile_rules(rules.rules(), rules.rule_count(), &compiled))
        FUZZ_CHECK(std::string_view(reg_storage_last_error()).starts_with("retention rule "));
    if (reg_set_immutable_tags(rules.immutable(), rules.immutable_count()) == 0) {
        for (const reg::RetentionRule &r : compiled)
            for (const std::string &g : r.repositories.patterns)
                reg::tag_immutable(g, g);
    }
    reg_set_immutable_tags(nullptr, 0);
    // Globs over the input itself: its first half as the pattern, the rest as the name.
    const std::string_view all(text);
    const std::string_view glob = all.substr(0, all.size() / 2);
    const std::string_view name = all.substr(all.size() / 2);
    reg::glob_match(glob, name);
    if (glob.find('*') == std::string_view::npos) FUZZ_CHECK(reg::glob_match(glob, glob));
    return 0;
}
