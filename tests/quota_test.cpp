// The upload quota against a real store built through the library.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "frontend/oci_common.h"
#include "storage/reg_storage.h"
#include "support/child.h"
#include "support/digest_text.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr const char kUnknownUpload[] = "01234567-89ab-cdef-0123-456789abcdef";

// Runs fn in a child working in a fresh directory with the given config.json (none when
// nullopt) and a storage root below it; returns what fn printed.
std::string in_store(const std::optional<std::string> &config, const std::function<void()> &fn) {
    TempDir t;
    if (config) write_text(t / "config.json", *config);
    ChildSetup setup;
    setup.cwd = t.path();
    ChildResult r = run_child(setup, [&] {
        fn();
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    return r.out;
}

// A store holding one 600-byte blob and an upload of `pending` bytes in progress.
std::string store_with_upload(size_t pending, char *id) {
    if (reg_storage_init("store") != 0) return "init failed";
    const std::string blob(600, 'b');
    char stored[72];
    if (reg_blob_start_upload(id) != 0 ||
        reg_blob_append_chunk(id, blob.data(), blob.size()) != 0 ||
        reg_blob_finish_upload(id, ("sha256:" + sha256_hex(blob)).c_str(), stored) != 0 ||
        reg_blob_start_upload(id) != 0) {
        return reg_storage_last_error();
    }
    const std::string part(pending, 'p');
    if (reg_blob_append_chunk(id, part.data(), part.size()) != 0) return reg_storage_last_error();
    return "";
}

// "result|message" of a check of the upload in progress.
void print_check(const char *id, size_t msg_size = 128) {
    char msg[128] = "junk";
    const int ok = oci_quota_check(id, msg_size ? msg : nullptr, msg_size);
    std::printf("%d|%s\n", ok, msg_size ? msg : "");
}

}  // namespace

TEST(Quota, ReachedExactlyIsAllowedOneByteOverIsRefused) {
    const std::string cfg = "{\"registry_quota_bytes\": 1000}";
    EXPECT_EQ(in_store(cfg,
                       [] {
                           char id[37];
                           std::fputs(store_with_upload(400, id).c_str(), stdout);
                           std::printf("%lld\n", static_cast<long long>(oci_quota_used_bytes()));
                           print_check(id);
                           reg_blob_append_chunk(id, "p", 1);
                           print_check(id);
                           print_check(id, 10);  // cut to the buffer
                           print_check(id, 0);   // no buffer: still refused
                       }),
              "600\n1|\n0|quota exceeded: 600 B of 1000 B used\n0|quota exc\n0|\n");
}

TEST(Quota, WhatCannotBeLearnedAllows) {
    // No quota: even an upload far over anything passes.
    EXPECT_EQ(in_store(std::nullopt,
                       [] {
                           char id[37];
                           std::fputs(store_with_upload(5000, id).c_str(), stdout);
                           print_check(id);
                       }),
              "1|\n");
    // No upload id, an unknown one, or one of the wrong form.
    EXPECT_EQ(in_store("{\"registry_quota_bytes\": 1}",
                       [] {
                           char id[37];
                           std::fputs(store_with_upload(5, id).c_str(), stdout);
                           print_check(nullptr);
                           print_check(kUnknownUpload);
                           print_check("not-an-id");
                       }),
              "1|\n1|\n1|\n");
    // Before the engine starts: no statistics, no upload.
    EXPECT_EQ(in_store("{\"registry_quota_bytes\": 1}",
                       [] {
                           std::printf("%lld\n", static_cast<long long>(oci_quota_used_bytes()));
                           print_check(kUnknownUpload);
                       }),
              "0\n1|\n");
}
