// Storage start-up, the engine state, the name checks and the path builders.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

const char kMarkerText[] =
    "{\n  \"schemaVersion\": 2,\n  \"title\": \"quarvine-registry-storage\",\n"
    "  \"version\": \"1.9.0\",\n  \"maxUploadSize\": -1\n}\n";

// A path below base of exactly len characters, made of directory names of at most 200.
std::string path_of_length(const std::string &base, size_t len) {
    std::string p = base;
    while (p.size() < len) {
        const size_t left = len - p.size() - 1;  // after the "/"
        const size_t take = left > 200 ? (left - 200 < 2 ? 150 : 200) : left;
        p += "/" + std::string(take, 'r');
    }
    return p;
}

std::string last_error() {
    return reg_storage_last_error();
}

}  // namespace

TEST(StorageInit, FreshRootGetsExactlyTheTreeAndTheMarker) {
    TempDir t;
    const std::string root = t / "a/b/store";  // parents are missing too
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << last_error();
    EXPECT_EQ(reg::s_ready, 1);
    EXPECT_STREQ(reg::s_root, root.c_str());
    EXPECT_EQ(last_error(), "");
    EXPECT_EQ(tree_listing(root), "blobs/\nblobs/sha256/\nconfig.json\nrepositories/\nuploads/\n");
    const std::string marker = read_text(root + "/config.json");
    EXPECT_EQ(marker.size(), 110u);
    EXPECT_EQ(marker, kMarkerText);
}

TEST(StorageInit, ExistingTreeAndForeignConfigAreLeftAlone) {
    TempDir t;
    const std::string root = t / "store";
    write_text(root + "/config.json", "{\"mine\": true}");
    write_text(root + "/repositories/team/app/_manifests/x", "keep");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << last_error();
    EXPECT_EQ(read_text(root + "/config.json"), "{\"mine\": true}");
    EXPECT_EQ(read_text(root + "/repositories/team/app/_manifests/x"), "keep");
    EXPECT_TRUE(is_directory(root + "/blobs/sha256"));
    EXPECT_FALSE(exists(root + "/_gc"));

    // A second start over the same tree changes nothing.
    const std::string before = tree_listing(root);
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    EXPECT_EQ(tree_listing(root), before);
}

TEST(StorageInit, FailuresNameTheirCauseAndLeaveTheEngineUnready) {
    TempDir t;
    ASSERT_EQ(reg_storage_init((t / "ok").c_str()), 0);

    make_dirs(t / "dirconf/config.json");
    EXPECT_EQ(reg_storage_init((t / "dirconf").c_str()), -1);
    EXPECT_EQ(last_error(), "write config.json failed");
    EXPECT_EQ(reg::s_ready, 0);

    write_text(t / "file", "x");
    const std::string below_file = t / "file/store";
    EXPECT_EQ(reg_storage_init(below_file.c_str()), -1);
    EXPECT_EQ(last_error(), "mkdirs failed: " + below_file);

    // A root that is itself a file passes its own mkdirs; the first subdirectory then fails.
    EXPECT_EQ(reg_storage_init((t / "file").c_str()), -1);
    EXPECT_EQ(last_error(), "mkdirs failed: " + (t / "file") + "/blobs/sha256");
    EXPECT_EQ(read_text(t / "file"), "x");

    ASSERT_EQ(reg_storage_init((t / "ok").c_str()), 0);
    EXPECT_EQ(reg_storage_init(""), -1);
    EXPECT_EQ(last_error(), "storage root dir is empty");
    EXPECT_EQ(reg_storage_init(nullptr), -1);
    EXPECT_EQ(last_error(), "storage root dir is empty");
    EXPECT_EQ(reg::s_ready, 1);  // refused before the engine is touched
}

TEST(StorageInit, RootLengthLimit) {
    TempDir t;
    ASSERT_EQ(reg_storage_init((t / "ok").c_str()), 0);

    const std::string too_long = path_of_length(t.path(), 3500);
    ASSERT_EQ(too_long.size(), 3500u);
    EXPECT_EQ(reg_storage_init(too_long.c_str()), -1);
    EXPECT_EQ(last_error(), "storage root dir too long (max 3499 chars)");
    EXPECT_EQ(reg::s_ready, 0);
    EXPECT_STREQ(reg::s_root, "");
    EXPECT_FALSE(exists(too_long));

    const std::string longest = path_of_length(t.path(), 3499);
    ASSERT_EQ(longest.size(), 3499u);
    ASSERT_EQ(reg_storage_init(longest.c_str()), 0) << last_error();
    EXPECT_EQ(reg::s_ready, 1);
    EXPECT_EQ(read_text(longest + "/config.json"), kMarkerText);
}

TEST(StorageInit, TrailingSeparatorsStayInTheRoot) {
    TempDir t;
    const std::string slash = t / "s/";
    ASSERT_EQ(reg_storage_init(slash.c_str()), 0);
    EXPECT_STREQ(reg::s_root, slash.c_str());
    EXPECT_TRUE(is_directory(t / "s/uploads"));

    // A backslash is an ordinary name character here: it is kept and names its own directory.
    const std::string backslash = t / "b\\";
    ASSERT_EQ(reg_storage_init(backslash.c_str()), 0);
    EXPECT_STREQ(reg::s_root, backslash.c_str());
    EXPECT_TRUE(is_directory(backslash + "/repositories"));
    EXPECT_FALSE(exists(t / "b"));
}

TEST(StorageState, CleanupForgetsTheRootButKeepsTheLastError) {
    TempDir t;
    const std::string root = t / "store";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    EXPECT_EQ(reg::s_ready, 1);
    reg::set_error("last %s", "words");
    const std::string before = tree_listing(root);

    reg_storage_cleanup();
    EXPECT_EQ(reg::s_ready, 0);
    EXPECT_STREQ(reg::s_root, "");
    EXPECT_EQ(last_error(), "last words");
    EXPECT_EQ(tree_listing(root), before);  // nothing on disk changes
    reg_storage_cleanup();                  // harmless twice
    EXPECT_EQ(reg::s_ready, 0);
}

TEST(StorageState, ErrorTextIsCutNotRefused) {
    reg::set_error("%s", std::string(5000, 'e').c_str());
    EXPECT_EQ(last_error(), std::string(1023, 'e'));
    reg::clear_error();
    EXPECT_EQ(last_error(), "");
}

TEST(StorageState, SeedIsTimeXorAddressAndNeverZero) {
    TempDir t;
    const auto a = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&reg::s_seed));
    const auto before = static_cast<uint32_t>(qv::os::unix_now());
    ASSERT_EQ(reg_storage_init((t / "s").c_str()), 0);
    const auto after = static_cast<uint32_t>(qv::os::unix_now());
    EXPECT_TRUE(reg::s_seed == (before ^ a) || reg::s_seed == (after ^ a)) << reg::s_seed;

    EXPECT_EQ(reg::seed_from(0x12345678u, 0x0000ffffu), 0x1234a987u);
    EXPECT_EQ(reg::seed_from(0xdeadbeefu, 0xdeadbeefu), 0x9e3779b9u);
}

TEST(StorageChecks, Digests) {
    const std::string zeros = "sha256:" + std::string(64, '0');
    EXPECT_TRUE(reg::digest_valid(zeros.c_str()));
    EXPECT_TRUE(reg::digest_valid(
        ("sha256:" + std::string(32, 'a') + "0123456789abcdef" + std::string(16, 'f')).c_str()));
    for (const std::string &bad :
         {"sha256:" + std::string(63, '0'), "sha256:" + std::string(65, '0'), zeros + "\n",
          "SHA256:" + std::string(64, '0'), "sha256:" + std::string(63, '0') + "A",
          "sha512:" + std::string(64, '0'), std::string(71, '0'), std::string("sha256:")}) {
        EXPECT_FALSE(reg::digest_valid(bad.c_str())) << bad;
    }
    EXPECT_FALSE(reg::digest_valid(nullptr));

    EXPECT_TRUE(reg::hex64_valid(std::string(64, 'e').c_str()));
    EXPECT_FALSE(reg::hex64_valid(std::string(64, 'g').c_str()));
    EXPECT_FALSE(reg::hex64_valid(std::string(63, 'e').c_str()));
    EXPECT_FALSE(reg::hex64_valid(zeros.c_str()));
    EXPECT_FALSE(reg::hex64_valid(nullptr));
}

TEST(StorageChecks, UploadIds) {
    EXPECT_TRUE(reg::uuid_valid("0123abcd-4567-89ef-0a1b-2c3d4e5f6789"));
    EXPECT_FALSE(reg::uuid_valid("0123abcD-4567-89ef-0a1b-2c3d4e5f6789"));   // uppercase
    EXPECT_FALSE(reg::uuid_valid("0123abc-d4567-89ef-0a1b-2c3d4e5f6789"));   // hyphen moved
    EXPECT_FALSE(reg::uuid_valid("0123abcd-4567-89ef-0a1b-2c3d4e5f678"));    // 35
    EXPECT_FALSE(reg::uuid_valid("0123abcd-4567-89ef-0a1b-2c3d4e5f67890"));  // 37
    EXPECT_FALSE(reg::uuid_valid("0123abcd04567-89ef-0a1b-2c3d4e5f6789"));
    EXPECT_FALSE(reg::uuid_valid(nullptr));
}

TEST(StorageChecks, RepositoryNames) {
    EXPECT_TRUE(reg::repo_name_valid("Team-1/My_app.v2"));
    EXPECT_TRUE(reg::repo_name_valid("team\\app"));
    EXPECT_TRUE(reg::repo_name_valid("/lead//trail/"));  // shape is the callers' business
    EXPECT_TRUE(reg::repo_name_valid(std::string(255, 'a').c_str()));
    EXPECT_FALSE(reg::repo_name_valid(std::string(256, 'a').c_str()));
    EXPECT_FALSE(reg::repo_name_valid("team/../etc"));
    EXPECT_FALSE(reg::repo_name_valid("a..b"));
    EXPECT_FALSE(reg::repo_name_valid("team app"));
    EXPECT_FALSE(reg::repo_name_valid("c:app"));
    EXPECT_FALSE(reg::repo_name_valid("t\xc3\xa9st"));
    EXPECT_FALSE(reg::repo_name_valid(nullptr));
}

TEST(StorageLayout, HexConversion) {
    uint8_t in[32];
    for (int i = 0; i < 32; ++i)
        in[i] = static_cast<uint8_t>(i * 8 + 5);
    in[0] = 0xa5;
    char out[66];
    std::memset(out, 'x', sizeof out);
    reg::bin_to_hex(in, out);
    EXPECT_EQ(std::string(out, 4), "a50d");
    EXPECT_EQ(out[62], 'f');
    EXPECT_EQ(out[63], 'd');
    EXPECT_EQ(out[64], '\0');
    EXPECT_EQ(out[65], 'x');
}

TEST(StorageLayout, BuildersPlaceEveryEntry) {
    TempDir t;
    const std::string root = t / "s";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    const std::string hex = "ab" + std::string(62, '1');
    char out[reg::kPathCap];

    ASSERT_EQ(reg::manifest_tags_dir(out, "team/app"), 0);
    EXPECT_EQ(std::string(out), root + "/repositories/team/app/_manifests/tags");
    ASSERT_EQ(reg::manifest_tag_path(out, "team/app", "v1"), 0);
    EXPECT_EQ(std::string(out), root + "/repositories/team/app/_manifests/tags/v1/current/link");
    ASSERT_EQ(reg::manifest_rev_dir(out, "app", hex.c_str()), 0);
    EXPECT_EQ(std::string(out), root + "/repositories/app/_manifests/revisions/sha256/" + hex);
    ASSERT_EQ(reg::manifest_rev_path(out, "app", hex.c_str()), 0);
    EXPECT_EQ(std::string(out),
              root + "/repositories/app/_manifests/revisions/sha256/" + hex + "/link");
    ASSERT_EQ(reg::manifest_body_path(out, "app", hex.c_str()), 0);
    EXPECT_EQ(std::string(out), root + "/repositories/app/_manifests/" + hex);
    ASSERT_EQ(reg::upload_path_for_uuid(out, "0123abcd-4567-89ef-0a1b-2c3d4e5f6789"), 0);
    EXPECT_EQ(std::string(out), root + "/uploads/0123abcd-4567-89ef-0a1b-2c3d4e5f6789.part");
    ASSERT_EQ(reg::blob_path_for_digest(out, ("sha256:" + hex).c_str()), 0);
    EXPECT_EQ(std::string(out), root + "/blobs/sha256/ab/" + hex);
}

TEST(StorageLayout, BuildersRefuseWhatWouldBeCut) {
    TempDir t;
    const std::string root = path_of_length(t.path(), 3499);
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << last_error();
    char out[reg::kPathCap];
    const std::string hex(64, 'c');

    // "/repositories/" + repo + "/_manifests/" + hex: 26 + 64 characters around the name.
    const std::string fits(4095 - 3499 - 26 - 64, 'r');
    ASSERT_EQ(reg::manifest_body_path(out, fits.c_str(), hex.c_str()), 0);
    EXPECT_EQ(std::strlen(out), 4095u);

    reg::clear_error();
    const std::string one_more = fits + "r";
    EXPECT_EQ(reg::manifest_body_path(out, one_more.c_str(), hex.c_str()), -1);
    EXPECT_EQ(last_error(), reg::kPathTooLong);
    EXPECT_EQ(last_error(), "path too long (max 4095 chars)");
    reg::clear_error();
    EXPECT_EQ(reg::manifest_rev_path(out, fits.c_str(), hex.c_str()), -1);
    EXPECT_EQ(last_error(), reg::kPathTooLong);

    // An upload id whose file name would not fit its 128-byte buffer is refused, not cut.
    reg::clear_error();
    EXPECT_EQ(reg::upload_path_for_uuid(out, std::string(122, 'u').c_str()), 0);
    EXPECT_EQ(reg::upload_path_for_uuid(out, std::string(123, 'u').c_str()), -1);
    EXPECT_EQ(last_error(), reg::kPathTooLong);

    // A digest too short to hold its fan-out digits is refused rather than read past its end.
    EXPECT_EQ(reg::blob_path_for_digest(out, "sha256:a"), -1);
    EXPECT_EQ(last_error(), "invalid digest");
    EXPECT_EQ(reg::blob_path_for_digest(out, "sha256:ab"), 0);
    EXPECT_EQ(reg::manifest_tags_dir(out, nullptr), -1);
    EXPECT_EQ(last_error(), "NULL argument");
}

TEST(StorageLayout, JoinPathReportsACut) {
    char out[reg::kPathCap];
    EXPECT_TRUE(reg::join_path(out, "a", "b"));
    EXPECT_STREQ(out, "a/b");
    const std::string a(4000, 'a');
    EXPECT_TRUE(reg::join_path(out, a.c_str(), std::string(94, 'b').c_str()));
    EXPECT_EQ(std::strlen(out), 4095u);
    EXPECT_FALSE(reg::join_path(out, a.c_str(), std::string(95, 'b').c_str()));
    EXPECT_EQ(std::strlen(out), 4095u);
}
