// Registry settings read from config.json in the working directory, and the storage root
// chosen by the once-per-process storage start-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "frontend/config_text.h"
#include "frontend/oci_common.h"
#include "support/child.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

// Runs fn in a child working in dir, with exactly env; returns its text.
std::string in_dir(const TempDir &dir, const std::function<std::string()> &fn,
                   const std::map<std::string, std::string> &env = {}) {
    ChildSetup setup;
    setup.cwd = dir.path();
    setup.env = env;
    ChildResult r = run_child(setup, [&] {
        const std::string text = fn();
        std::fputs(text.c_str(), stdout);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    return r.out;
}

// keep_n days protect quota, as read with the given config.json (none when nullopt).
std::string settings(const std::optional<std::string> &config) {
    TempDir t;
    if (config) write_text(t / "config.json", *config);
    return in_dir(t, [] {
        return std::to_string(oci_retention_keep_n()) + " " + std::to_string(oci_retention_days()) +
               " " + std::to_string(oci_retention_protect_latest()) + " " +
               std::to_string(oci_quota_bytes());
    });
}

std::string protect(const std::string &value) {
    return settings("{\"registry_retention_protect_latest\": " + value + "}").substr(4, 1);
}

// Whether root holds a storage tree.
bool has_tree(const std::string &root) {
    return is_directory(root + "/blobs/sha256") && is_directory(root + "/repositories") &&
           is_directory(root + "/uploads");
}

// oci_init_storage in a child working in t.
int init_in(const TempDir &t, const std::map<std::string, std::string> &env = {}) {
    return std::stoi(in_dir(
        t, [] { return std::to_string(oci_init_storage()); }, env));
}

}  // namespace

TEST(OciSettings, DefaultsWithoutConfig) {
    EXPECT_EQ(settings(std::nullopt), "0 0 1 0");
    EXPECT_EQ(settings(""), "0 0 1 0");
    EXPECT_EQ(settings("{\"other\": 5}"), "0 0 1 0");
}

TEST(OciSettings, IntegerValues) {
    EXPECT_EQ(settings("{\"registry_retention_keep_n\": 5, \"registry_retention_days\":30,"
                       "\"registry_quota_bytes\": 1048576}"),
              "5 30 1 1048576");
    EXPECT_EQ(settings("{\"registry_retention_keep_n\": \"5\"}"), "0 0 1 0");  // quoted: unusable
    EXPECT_EQ(settings("{\"registry_retention_keep_n\": 12abc}"), "12 0 1 0");
    EXPECT_EQ(settings("{\"registry_retention_keep_n\":\r\n\t  7}"), "7 0 1 0");
    EXPECT_EQ(settings("{\"registry_retention_keep_n\" 7}"), "0 0 1 0");  // no colon
    EXPECT_EQ(settings("{\"registry_retention_keep_n\": null}"), "0 0 1 0");
    // The first occurrence wins, wherever it stands; the colon may come much later.
    EXPECT_EQ(settings("{\"registry_retention_days\": 3, \"registry_retention_days\": 9}"),
              "0 3 1 0");
    EXPECT_EQ(settings("[\"registry_retention_days\", {\"x\": 4}]"), "0 4 1 0");
    // Saturates rather than wraps.
    EXPECT_EQ(settings("{\"registry_quota_bytes\": 99999999999999999999999}"),
              "0 0 1 9223372036854775807");
}

TEST(OciSettings, NegativeNumbersTurnTheRuleOff) {
    EXPECT_EQ(settings("{\"registry_retention_keep_n\": -5, \"registry_retention_days\": -30}"),
              "0 0 1 0");
    EXPECT_EQ(settings("{\"registry_retention_keep_n\": -0, \"registry_retention_days\": -}"),
              "0 0 1 0");
    EXPECT_EQ(settings("{\"registry_retention_keep_n\": --5}"), "0 0 1 0");
    EXPECT_EQ(settings("{\"registry_quota_bytes\": -1}"), "0 0 1 0");
    TempDir t;
    write_text(t / "config.json", "{\"k\": -12, \"j\": 12}");
    EXPECT_EQ(in_dir(t,
                     [] {
                         return std::to_string(oci_config_int("\"k\"")) + " " +
                                std::to_string(oci_config_int("\"j\"")) + " " +
                                std::to_string(oci_config_int(nullptr));
                     }),
              "0 12 0");
}

TEST(OciSettings, ProtectLatestSwitch) {
    EXPECT_EQ(protect("true"), "1");
    EXPECT_EQ(protect("false"), "0");
    EXPECT_EQ(protect("0"), "0");
    EXPECT_EQ(protect("000"), "0");
    EXPECT_EQ(protect("2"), "1");
    EXPECT_EQ(protect("\"false\""), "1");
    EXPECT_EQ(protect("null"), "1");
    EXPECT_EQ(protect("-0"), "1");
    EXPECT_EQ(protect("trueish"), "1");
    EXPECT_EQ(protect("falsehood"), "0");
    EXPECT_EQ(protect("\n False"), "1");
}

TEST(OciSettings, OnlyTheFirst4095BytesAreSeen) {
    const std::string entry = "\"registry_retention_days\":7";
    // The digit is the file's 4095th byte: seen.
    EXPECT_EQ(settings(std::string(4095 - entry.size(), ' ') + entry), "0 7 1 0");
    // One byte later: the value is cut off.
    EXPECT_EQ(settings(std::string(4096 - entry.size(), ' ') + entry), "0 0 1 0");
    // A NUL byte ends the text.
    EXPECT_EQ(settings(std::string("{\0", 2) + entry), "0 0 1 0");
}

TEST(OciInitStorage, RootSourcesAndPrecedence) {
    {  // Nothing configured: ./registry_storage.
        TempDir t;
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "registry_storage"));
    }
    {  // The environment wins over the file.
        TempDir t;
        write_text(t / "config.json", "{\"storage_root\": \"from_file\"}");
        EXPECT_EQ(init_in(t, {{"REGISTRY_STORAGE_ROOT", t / "from_env"}}), 0);
        EXPECT_TRUE(has_tree(t / "from_env"));
        EXPECT_FALSE(exists(t / "from_file"));
    }
    {  // An empty variable counts as unset.
        TempDir t;
        write_text(t / "config.json", "{\"storage_root\": \"from_file\"}");
        EXPECT_EQ(init_in(t, {{"REGISTRY_STORAGE_ROOT", ""}}), 0);
        EXPECT_TRUE(has_tree(t / "from_file"));
    }
    {  // "storage_root" before "registry_storage_root", wherever they stand.
        TempDir t;
        write_text(t / "config.json",
                   "{\"registry_storage_root\": \"second\", \"storage_root\": \"first\"}");
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "first"));
        EXPECT_FALSE(exists(t / "second"));
    }
    {  // A space before the colon hides "storage_root".
        TempDir t;
        write_text(t / "config.json",
                   "{\"storage_root\" : \"first\", \"registry_storage_root\": \"second\"}");
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "second"));
        EXPECT_FALSE(exists(t / "first"));
    }
}

TEST(OciInitStorage, RootValueForms) {
    {  // Too long a value is not cut: the default, even with the other key present.
        TempDir t;
        write_text(t / "config.json", "{\"storage_root\": \"" + std::string(1024, 'r') +
                                          "\", \"registry_storage_root\": \"second\"}");
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "registry_storage"));
        EXPECT_FALSE(exists(t / "second"));
    }
    {  // 1023 bytes fit (as four directory levels).
        TempDir t;
        const std::string root = std::string(255, 'a') + "/" + std::string(255, 'b') + "/" +
                                 std::string(255, 'c') + "/" + std::string(255, 'd');
        ASSERT_EQ(root.size(), 1023u);
        write_text(t / "config.json", "{\"storage_root\": \"" + root + "\"}");
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / root));
    }
    {  // Not a string: the next double-quoted text after the colon.
        TempDir t;
        write_text(t / "config.json", "{\"storage_root\": null, \"next_key\": 1}");
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "next_key"));
    }
    {  // JSON escapes are not undone.
        TempDir t;
        write_text(t / "config.json", "{\"storage_root\": \"a\\\\b\"}");
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "a\\\\b"));
    }
    {  // No closing quote: the default.
        TempDir t;
        write_text(t / "config.json", "{\"storage_root\": \"open");
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "registry_storage"));
    }
}

TEST(OciInitStorage, OnlyTheFirst2047BytesAreSearched) {
    const std::string entry = "\"storage_root\":\"seen\"";
    {
        TempDir t;
        write_text(t / "config.json", std::string(2047 - entry.size(), ' ') + entry);
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "seen"));
    }
    {
        TempDir t;
        write_text(t / "config.json", std::string(2048 - entry.size(), ' ') + entry);
        EXPECT_EQ(init_in(t), 0);
        EXPECT_TRUE(has_tree(t / "registry_storage"));
        EXPECT_FALSE(exists(t / "seen"));
    }
}

// Under a request's single read of config.json each reader still sees only its own window:
// the root's 2047 bytes miss a root the settings' 4095 bytes would reach.
TEST(OciInitStorage, OneReadPerRequestKeepsEachReadersWindow) {
    for (const bool snapshot : {false, true}) {
        TempDir t;
        write_text(t / "config.json",
                   "{" + std::string(2040, ' ') +
                       "\"storage_root\":\"late\", \"registry_retention_keep_n\": 7}");
        EXPECT_EQ(in_dir(t,
                         [snapshot] {
                             std::optional<qv::frontend::ConfigSnapshot> config;
                             if (snapshot) config.emplace();
                             return std::to_string(oci_retention_keep_n()) + " " +
                                    std::to_string(oci_init_storage());
                         }),
                  "7 0")
            << snapshot;
        EXPECT_TRUE(has_tree(t / "registry_storage"));
        EXPECT_FALSE(exists(t / "late"));
    }
}

// A root longer than 1023 bytes is refused, not cut: the cut text names another directory.
TEST(OciInitStorage, EnvironmentRootOver1023BytesIsRefused) {
    TempDir t;
    std::string root = t.path();
    while (root.size() < 1100)
        root += "/" + std::string(200, 'e');
    EXPECT_EQ(init_in(t, {{"REGISTRY_STORAGE_ROOT", root}}), -1);
    EXPECT_FALSE(exists(root.substr(0, 1023)));
    EXPECT_FALSE(exists(root));
    const std::string fits = root.substr(0, 1023);
    EXPECT_EQ(init_in(t, {{"REGISTRY_STORAGE_ROOT", fits}}), 0);
    EXPECT_TRUE(has_tree(fits));
}

TEST(OciInitStorage, OnceAfterSuccessRetriedAfterFailure) {
    TempDir t;
    write_text(t / "blocker", "a file where a directory should go");
    const std::string out =
        in_dir(t,
               [&t] {
                   std::string s;
                   s += std::to_string(oci_init_storage() != 0);  // cannot create the root
                   std::remove((t / "blocker").c_str());
                   s += std::to_string(oci_init_storage());  // tried again
                   setenv("REGISTRY_STORAGE_ROOT", (t / "other").c_str(), 1);
                   s += std::to_string(oci_init_storage());  // already started: nothing read
                   return s;
               },
               {{"REGISTRY_STORAGE_ROOT", t / "blocker/root"}});
    EXPECT_EQ(out, "100");
    EXPECT_TRUE(has_tree(t / "blocker/root"));
    EXPECT_FALSE(exists(t / "other"));
}
