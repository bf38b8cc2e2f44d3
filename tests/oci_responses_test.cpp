// Registry responses: exact header block and envelope, exit status, and the size that the
// access log line reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/oci_common.h"
#include "support/child.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr const char *kHeaders =
    "Docker-Distribution-API-Version: registry/2.0\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "\r\n";

std::string head(int status) {
    return "Status: " + std::to_string(status) + "\r\n" + kHeaders;
}

struct Response {
    std::string out;
    int exit_status = -1;
    std::vector<std::string> log_fields;  // method path bytes status actor ts json
};

// Runs fn in a child whose access log goes to a fresh storage root.
Response respond(const std::function<void()> &fn) {
    TempDir t;
    make_dirs(t / "store");
    ChildSetup setup;
    setup.cwd = t.path();
    setup.env = {{"REGISTRY_STORAGE_ROOT", t / "store"}, {"REQUEST_METHOD", "GET"}};
    ChildResult r = run_child(setup, [&] {
        fn();
        std::fputs("<returned>", stdout);
        return 0;
    });
    Response res;
    res.out = r.out;
    res.exit_status = r.exited ? r.status : -1;
    if (exists(t / "store/registry_access.log")) {
        std::istringstream line(read_text(t / "store/registry_access.log"));
        std::string field;
        while (line >> field)
            res.log_fields.push_back(field);
    }
    return res;
}

std::string logged_bytes(const Response &r) {
    return r.log_fields.size() > 2 ? r.log_fields[2] : "?";
}
std::string logged_status(const Response &r) {
    return r.log_fields.size() > 3 ? r.log_fields[3] : "?";
}

}  // namespace

TEST(OciSendError, EnvelopeHeadersAndRecordedSize) {
    Response r = respond(
        [] { oci_send_error(405, "UNSUPPORTED", "Method not allowed for retention endpoint"); });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, head(405) +
                         "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"Method not allowed "
                         "for retention endpoint\"}]}\n");
    EXPECT_EQ(logged_bytes(r), "90");
    EXPECT_EQ(logged_status(r), "405");

    r = respond([] { oci_send_error(500, nullptr, nullptr); });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out,
              head(500) + "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"Unknown error\"}]}\n");
    EXPECT_EQ(logged_bytes(r), "58");
}

TEST(OciSendError, MessageEscapedAndCountedAsSent) {
    Response r = respond([] { oci_send_error(400, "BAD", "say \"hi\"\nnow\\"); });
    EXPECT_EQ(
        r.out,
        head(400) + "{\"errors\":[{\"code\":\"BAD\",\"message\":\"say \\\"hi\\\"\\nnow\\\\\"}]}\n");
    EXPECT_EQ(logged_bytes(r), std::to_string(r.out.size() - head(400).size()));

    // Empty texts are written as they are.
    r = respond([] { oci_send_error(404, "", ""); });
    EXPECT_EQ(r.out, head(404) + "{\"errors\":[{\"code\":\"\",\"message\":\"\"}]}\n");
    EXPECT_EQ(logged_bytes(r), "38");
}

TEST(OciSendJson, BodyHeadersSizeAndReturn) {
    Response r = respond([] { oci_send_json(200, "{\"a\":1}"); });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, head(200) + "{\"a\":1}\n<returned>");
    EXPECT_EQ(logged_bytes(r), "8");
    EXPECT_EQ(logged_status(r), "200");

    for (const char *empty : {static_cast<const char *>(nullptr), ""}) {
        r = respond([empty] { oci_send_json(202, empty); });
        EXPECT_EQ(r.out, head(202) + "{}\n<returned>");
        EXPECT_EQ(logged_bytes(r), "3");
    }
}

TEST(OciSendJson, TwoResponsesTwoBlocksLastRecordWins) {
    Response r = respond([] {
        oci_send_json(200, "[1,2]");
        oci_send_json(201, nullptr);
    });
    EXPECT_EQ(r.out, head(200) + "[1,2]\n" + head(201) + "{}\n<returned>");
    EXPECT_EQ(logged_status(r), "201");
    EXPECT_EQ(logged_bytes(r), "3");
}
