// Repository names as the front end accepts them, and request paths split at a marker.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frontend/oci_common.h"

TEST(RepoName, AcceptedAndRefused) {
    for (const char *name :
         {"team/app", "My.Repo", "a/../b", "a/./b", "a", "a-b_c.d/e9", "x/y/z"}) {
        EXPECT_EQ(oci_valid_repo_name(name), 1) << name;
    }
    const std::string longest(255, 'a'), too_long(256, 'a');
    EXPECT_EQ(oci_valid_repo_name(longest.c_str()), 1);
    for (const char *name :
         {"-abc", "abc_", "_abc", "abc-", ".abc", "abc.", "a//b", "/abc", "abc/", "a b", "a:b",
          "a\\b", "caf\xc3\xa9", "", too_long.c_str(), static_cast<const char *>(nullptr)}) {
        EXPECT_EQ(oci_valid_repo_name(name), 0) << (name ? name : "NULL");
    }
}

TEST(RepoMarker, SplitsAtTheMarker) {
    struct Case {
        const char *path;
        size_t repo_size;
        size_t rest_size;
        int result;
        const char *repo;
        const char *rest;
    };
    const Case cases[] = {
        {"/v2/team/app/manifests/latest/", 256, 128, 1, "team/app", "latest"},
        {"/team/app/manifests/x", 256, 128, 1, "team/app", "x"},
        {"v2/team/app/manifests///x//", 256, 128, 1, "team/app", "x/"},
        {"/v2/app/manifests/", 256, 128, 1, "app", ""},
        {"/v2//manifests/x", 256, 128, 0, "", ""},
        {"/v2", 256, 128, 0, "", ""},
        {"/v2/team/app/tags/list", 256, 128, 0, "", ""},
        {"/v2/team/app/manifests/x", 8, 128, 0, "", ""},
        {"/v2/team/app/manifests/x", 9, 128, 1, "team/app", "x"},
        // An invalid name is left in the buffer, and no rest is taken.
        {"/v2/-bad/manifests/x", 256, 128, 0, "-bad", ""},
        // A rest that would be cut is refused, not cut; one trailing "/" does not count.
        {"/v2/app/manifests/latest-2", 256, 7, 0, "app", ""},
        {"/v2/app/manifests/latest/", 256, 7, 1, "app", "latest"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        char repo[256] = "junk";
        char rest[128] = "junk";
        EXPECT_EQ(
            oci_parse_repo_marker(c.path, "/manifests/", repo, c.repo_size, rest, c.rest_size),
            c.result);
        EXPECT_STREQ(repo, c.repo);
        EXPECT_STREQ(rest, c.rest);
    }

    // No rest buffer is needed; missing arguments write nothing.
    char repo[16] = "junk";
    EXPECT_EQ(
        oci_parse_repo_marker("/v2/a/blobs/uploads/", "/blobs/", repo, sizeof repo, nullptr, 0), 1);
    EXPECT_STREQ(repo, "a");
    std::strcpy(repo, "junk");
    EXPECT_EQ(oci_parse_repo_marker(nullptr, "/m/", repo, sizeof repo, nullptr, 0), 0);
    EXPECT_EQ(oci_parse_repo_marker("/a/m/x", nullptr, repo, sizeof repo, nullptr, 0), 0);
    EXPECT_EQ(oci_parse_repo_marker("/a/m/x", "/m/", repo, 0, nullptr, 0), 0);
    EXPECT_STREQ(repo, "junk");
}
