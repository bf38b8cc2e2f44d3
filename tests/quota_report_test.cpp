// How the quota reads the statistics report, with the report handed in by this program
// in place of the storage engine's, and the byte-size texts of its message.
#include <gtest/gtest.h>

#include <string>

#include "frontend/oci_common.h"
#include "storage/reg_storage.h"
#include "support/child.h"
#include "support/temp_tree.h"

namespace {
const char *s_report = nullptr;
}  // namespace

extern "C" const char *reg_storage_get_stats_json(void) {
    return s_report;
}

TEST(QuotaReport, FirstBlobBytesMemberOfIntegerKindOnly) {
    const struct {
        const char *report;
        int64_t used;
    } cases[] = {
        {nullptr, 0},
        {"{\"version\":\"1.9.0\",\"blobs\":2,\"blob_bytes\":600,\"upload_bytes\":9}", 600},
        {"{\"blob_bytes\":5,\"blob_bytes\":7}", 5},
        {"{\"blob_bytes\":1.0,\"blob_bytes\":7}", 0},
        {"{\"blob_bytes\":600.0}", 0},
        {"{\"blob_bytes\":\"600\"}", 0},
        {"{\"blob_bytes\":null}", 0},
        {"{\"blob_bytes\":-3}", -3},
        {"{\"blob_bytes\":18446744073709551615}", -1},
        {"{\"Blob_bytes\":600}", 0},
        {"{\"x\":{\"blob_bytes\":600}}", 0},
        {"[600]", 0},
        {"{\"blob_bytes\":600", 0},
        {"", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.report ? c.report : "NULL");
        s_report = c.report;
        EXPECT_EQ(oci_quota_used_bytes(), c.used);
    }
    s_report = nullptr;
}

TEST(QuotaReport, ByteSizeTexts) {
    const struct {
        int64_t n;
        const char *text;
    } cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"},
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {int64_t{5} << 30, "5.0 GB"},
        {-5, "-5 B"},
        {INT64_MIN, "-9223372036854775808 B"},
        {INT64_MAX, "8589934592.0 GB"},
    };
    for (const auto &c : cases) {
        char out[32];
        EXPECT_EQ(oci_fmt_bytes(c.n, out), static_cast<int>(std::string(c.text).size()));
        EXPECT_STREQ(out, c.text) << c.n;
    }
}

TEST(QuotaReport, SumPastTheLargestSizeIsRefusedNotWrapped) {
    qvtest::TempDir t;
    qvtest::write_text(t / "config.json", "{\"registry_quota_bytes\": 9223372036854775807}");
    qvtest::ChildSetup setup;
    setup.cwd = t.path();
    const qvtest::ChildResult r = qvtest::run_child(setup, [] {
        char id[37];
        if (reg_storage_init("store") != 0 || reg_blob_start_upload(id) != 0 ||
            reg_blob_append_chunk(id, "p", 1) != 0) {
            return 2;
        }
        char msg[128];
        s_report = "{\"blob_bytes\":9223372036854775807}";
        const int full = oci_quota_check(id, msg, sizeof msg);
        s_report = "{\"blob_bytes\":9223372036854775806}";
        const int room = oci_quota_check(id, msg, sizeof msg);
        std::printf("%d %d", full, room);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0 1");
}
