// The access log as the file on disk: one line per request, written at process exit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>

#include <yyjson.h>

#include "frontend/oci_common.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_cgi.h"
#include "support/child.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

std::string utc_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// A request in a child: working directory t, exactly env, fn does the request's work.
ChildResult request(const TempDir &t, const std::map<std::string, std::string> &env,
                    const std::function<void()> &fn) {
    ChildSetup setup;
    setup.cwd = t.path();
    setup.env = env;
    ChildResult r = run_child(setup, [&] {
        fn();
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    return r;
}

// Runs the request with its log in t/store and returns the log's content.
std::string logged(const std::map<std::string, std::string> &extra_env,
                   const std::function<void()> &fn) {
    TempDir t;
    make_dirs(t / "store");
    auto env = extra_env;
    env["REGISTRY_STORAGE_ROOT"] = t / "store";
    request(t, env, fn);
    return exists(t / "store/registry_access.log") ? read_text(t / "store/registry_access.log")
                                                   : "<no log>";
}

// The line expected for these fields, with the time stamp taken from the actual line.
std::string expected_line(const std::string &actual, const std::string &method,
                          const std::string &path_esc, long long bytes, int status,
                          const std::string &actor, const std::string &actor_esc) {
    std::smatch m;
    static const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
    if (!std::regex_search(actual, m, stamp)) return "<no time stamp>";
    const std::string ts = m.str();
    const std::string json = "{\"ts\":\"" + ts + "\",\"method\":\"" + method + "\",\"path\":\"" +
                             path_esc + "\",\"status\":" + std::to_string(status) +
                             ",\"bytes\":" + std::to_string(bytes) + ",\"actor\":\"" + actor_esc +
                             "\"}";
    return method + " " + path_esc + " " + std::to_string(bytes) + " " + std::to_string(status) +
           " " + actor + " " + ts + " " + json + "\n";
}

}  // namespace

TEST(AccessLog, DefaultsAndTheLineWrittenAtExit) {
    TempDir t;
    make_dirs(t / "registry_storage");
    const std::string before = utc_stamp();
    ChildResult r = request(t, {}, [] {
        std::printf("%d %lld %s|", qv_audit_enabled(), static_cast<long long>(qv_audit_cap_bytes()),
                    qv_audit_log_path());
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for retention endpoint");
    });
    const std::string after = utc_stamp();
    EXPECT_EQ(r.out.substr(0, r.out.find('|')), "1 5242880 ./registry_storage/registry_access.log");

    const std::string line = read_text(t / "registry_storage/registry_access.log");
    EXPECT_EQ(line, expected_line(line, "GET", "/", 90, 405, "anonymous", "anonymous"));
    const std::string ts = line.substr(line.find("anonymous ") + 10, 20);
    EXPECT_LE(before, ts);
    EXPECT_LE(ts, after);
}

TEST(AccessLog, FieldsAndEscaping) {
    const std::string path = "/v2/a\"b\\c\nd\te\x08\x0c\r";
    const std::string path_esc = "/v2/a\\\"b\\\\c\\nd\\te\\u0008\\u000c\\r";
    std::string line = logged({{"REQUEST_METHOD", "DELETE"}, {"PATH_INFO", path}}, [] {
        qv_audit_note_actor("jo \"x\"");
        qv_audit_note_actor(nullptr);  // keeps the previous actor
        qv_audit_note_actor("");
        qv_audit_note_bytes(0);  // ignored
        qv_audit_note_bytes(17);
        qv_audit_note_bytes(-4);  // ignored
        qv_audit_note_status(0);  // ignored
        qv_audit_note_status(202);
        qv_audit_note_status(-1);  // ignored
    });
    // The actor goes raw into its field (so a space splits it) and escaped into the JSON.
    EXPECT_EQ(line, expected_line(line, "DELETE", path_esc, 17, 202, "jo \"x\"", "jo \\\"x\\\""));

    line = logged({}, [] {
        qv_audit_note_actor(std::string(200, 'u').c_str());
        qv_audit_note_status(200);
    });
    EXPECT_EQ(line, expected_line(line, "GET", "/", 0, 200, std::string(159, 'u'),
                                  std::string(159, 'u')));
}

TEST(AccessLog, EscapingStopsShortOfTheBufferEnd) {
    // 900 bytes for the escaped path: escaping stops once fewer than 8 are free, so 447
    // quotes (894 bytes) and never half an escape.
    std::string path_esc;
    for (int i = 0; i < 447; ++i)
        path_esc += "\\\"";
    std::string line = logged({{"PATH_INFO", std::string(1000, '"')}}, [] {
        qv_audit_note_actor(std::string(159, '\\').c_str());
        qv_audit_note_status(200);
    });
    EXPECT_EQ(line.substr(0, 4 + path_esc.size() + 1), "GET " + path_esc + " ");
    // The JSON object is cut at 1199 bytes; the line still ends the record.
    EXPECT_EQ(line.back(), '\n');
    const size_t json_at = line.find(" {\"ts\"");
    ASSERT_NE(json_at, std::string::npos);
    EXPECT_EQ(line.size() - json_at - 2, 1199u);

    // 320 bytes for the actor: 157 of its 159 quotes.
    std::string actor_esc;
    for (int i = 0; i < 157; ++i)
        actor_esc += "\\\"";
    line = logged({}, [] {
        qv_audit_note_actor(std::string(159, '"').c_str());
        qv_audit_note_status(200);
    });
    EXPECT_EQ(line, expected_line(line, "GET", "/", 0, 200, std::string(159, '"'), actor_esc));
}

TEST(AccessLog, CutLineStillEndsWithLineFeed) {
    TempDir t;
    make_dirs(t / "store");
    const std::map<std::string, std::string> env = {{"REGISTRY_STORAGE_ROOT", t / "store"},
                                                    {"REQUEST_METHOD", std::string(1500, 'X')}};
    request(t, env, [] { qv_audit_note_status(200); });
    request(t, {{"REGISTRY_STORAGE_ROOT", t / "store"}}, [] { qv_audit_note_status(204); });
    const std::string log = read_text(t / "store/registry_access.log");
    const size_t first_end = log.find('\n');
    EXPECT_EQ(first_end, 2398u);  // 2399 bytes, LF included
    EXPECT_EQ(log.compare(first_end + 1, 11, "GET / 0 204"), 0);
}

TEST(AccessLog, OneLineOnlyWhenAStatusWasRecorded) {
    EXPECT_EQ(logged({}, [] { qv_audit_note_bytes(10); }), "<no log>");
    EXPECT_EQ(logged({}, [] { qv_audit_flush(); }), "<no log>");

    const std::string twice = logged({}, [] {
        qv_audit_note_status(201);
        qv_audit_flush();
        qv_audit_note_status(500);  // after the line: not written again
        qv_audit_flush();
    });
    EXPECT_EQ(twice, expected_line(twice, "GET", "/", 0, 201, "anonymous", "anonymous"));

    // A fatal response flushes first; the line follows at exit.
    TempDir t;
    make_dirs(t / "store");
    ChildResult r =
        request(t, {{"REGISTRY_STORAGE_ROOT", t / "store"}}, [] { cgi_die_json(400, "nope"); });
    EXPECT_EQ(r.out.substr(0, 13), "Status: 400\r\n");
    const std::string line = read_text(t / "store/registry_access.log");
    EXPECT_EQ(line, expected_line(line, "GET", "/", 47, 400, "anonymous", "anonymous"));
}

// The line tells what the client asked for and got: the program's path before PATH_INFO, and
// the bytes of the body that went out (escapes counted; none for HEAD).
TEST(AccessLog, PathAsAskedAndBytesAsSent) {
    struct Case {
        std::map<std::string, std::string> env;
        std::function<void()> respond;
        std::string path;
        bool head;
    };
    const std::vector<Case> cases = {
        {{{"SCRIPT_NAME", "/v2/_retention"}, {"REQUEST_METHOD", "POST"}},
         [] { oci_send_error(405, "UNSUPPORTED", "say \"no\"\n"); },
         "/v2/_retention",
         false},
        {{{"SCRIPT_NAME", "/v2"}, {"PATH_INFO", "/"}},
         [] { oci_send_json(200, "{}"); },
         "/v2/",
         false},
        {{{"SCRIPT_NAME", "/v2"}, {"PATH_INFO", "/a/manifests/x"}, {"REQUEST_METHOD", "HEAD"}},
         [] { oci_send_error(404, "MANIFEST_UNKNOWN", "no"); },
         "/v2/a/manifests/x",
         true},
        {{}, [] { cgi_die_json(500, "a\tb\x01"); }, "/", false},
        {{}, [] { cgi_die_text(500, "plain"); }, "/", false},
    };
    for (const Case &c : cases) {
        TempDir t;
        make_dirs(t / "store");
        auto env = c.env;
        env["REGISTRY_STORAGE_ROOT"] = t / "store";
        const ChildResult r = request(t, env, c.respond);
        const std::string body = r.out.substr(r.out.find("\r\n\r\n") + 4);
        const std::string line = read_text(t / "store/registry_access.log");
        const std::string method =
            c.env.count("REQUEST_METHOD") ? c.env.at("REQUEST_METHOD") : "GET";
        const std::string bytes = c.head ? "0" : std::to_string(body.size());
        EXPECT_EQ(line.rfind(method + " " + c.path + " " + bytes + " ", 0), 0u) << line;
    }
}

TEST(AccessLog, SwitchAndCapSettings) {
    auto probe = [](const std::string &config) {
        TempDir t;
        make_dirs(t / "registry_storage");
        write_text(t / "config.json", config);
        ChildResult r = request(t, {}, [] {
            std::printf("%d %lld [%s] %lld", qv_audit_enabled(),
                        static_cast<long long>(qv_audit_cap_bytes()), qv_audit_log_path(),
                        static_cast<long long>(qv_audit_log_bytes()));
            qv_audit_note_status(200);
        });
        return r.out + (exists(t / "registry_storage/registry_access.log") ? " written" : " none");
    };
    const std::string on = " [./registry_storage/registry_access.log] -1 written";
    EXPECT_EQ(probe("{\"registry_access_log\": 0}"), "0 5242880 [] -1 none");
    EXPECT_EQ(probe("{\"registry_access_log\": \"0\"}"), "0 5242880 [] -1 none");
    EXPECT_EQ(probe("{\"registry_access_log\": false}"), "1 5242880" + on);
    EXPECT_EQ(probe("{\"registry_access_log\": 1}"), "1 5242880" + on);
    EXPECT_EQ(probe("{\"registry_access_log_max_bytes\": \"1024\"}"), "1 1024" + on);
    EXPECT_EQ(probe("{\"registry_access_log_max_bytes\":\n -5}"), "1 0" + on);
    EXPECT_EQ(probe("{\"registry_access_log_max_bytes\": true}"), "1 5242880" + on);
    EXPECT_EQ(probe("{\"registry_access_log_max_bytes\": -x}"), "1 0" + on);
    EXPECT_EQ(probe("{}"), "1 5242880" + on);
    // Beyond the first 8191 bytes nothing is seen.
    const std::string entry = "\"registry_access_log\":0";
    EXPECT_EQ(probe(std::string(8191 - entry.size(), ' ') + entry), "0 5242880 [] -1 none");
    EXPECT_EQ(probe(std::string(8192 - entry.size(), ' ') + entry), "1 5242880" + on);
}

TEST(AccessLog, RootSources) {
    auto path_with = [](const std::string &config, const std::map<std::string, std::string> &env) {
        TempDir t;
        if (!config.empty()) write_text(t / "config.json", config);
        return request(t, env, [] { std::printf("%s", qv_audit_log_path()); }).out;
    };
    // Preferred the other way round from the storage start-up.
    EXPECT_EQ(path_with("{\"storage_root\": \"s\", \"registry_storage_root\": \"r\"}", {}),
              "r/registry_access.log");
    EXPECT_EQ(path_with("{\"storage_root\": \"s\"}", {}), "s/registry_access.log");
    EXPECT_EQ(path_with("{\"storage_root\": \"s\"}", {{"REGISTRY_STORAGE_ROOT", "/e"}}),
              "/e/registry_access.log");
    EXPECT_EQ(path_with("{\"registry_storage_root\": \"" + std::string(1400, 'x') +
                            "\", \"storage_root\": \"s\"}",
                        {}),
              "s/registry_access.log");
    EXPECT_EQ(path_with("{\"registry_storage_root\": 5, \"b\": 1}", {}), "b/registry_access.log");

    // The path needs 1400 bytes or more: the log is off.
    const std::string fits(1379, 'r'), too_long(1380, 'r');
    EXPECT_EQ(path_with("", {{"REGISTRY_STORAGE_ROOT", fits}}), fits + "/registry_access.log");
    EXPECT_EQ(path_with("", {{"REGISTRY_STORAGE_ROOT", too_long}}), "");
    EXPECT_EQ(path_with("{\"storage_root\": \"" + too_long + "\"}", {}), "");
}

TEST(AccessLog, RotationAtTheCap) {
    // The length of one line for this request; it does not change between runs.
    const std::map<std::string, std::string> env = {{"PATH_INFO", "/v2/_catalog"}};
    const auto run = [&env](const TempDir &t) {
        request(t, env, [] {
            qv_audit_note_bytes(123);
            qv_audit_note_status(200);
        });
    };
    size_t line_len;
    {
        TempDir t;
        make_dirs(t / "registry_storage");
        run(t);
        line_len = read_text(t / "registry_storage/registry_access.log").size();
    }
    const int cap = 1000;
    const std::string config = "{\"registry_access_log_max_bytes\": " + std::to_string(cap) + "}";
    {  // Exactly at the cap: appended.
        TempDir t;
        write_text(t / "config.json", config);
        const std::string old(cap - line_len, 'o');
        write_text(t / "registry_storage/registry_access.log", old);
        write_text(t / "registry_storage/registry_access.log.1", "older");
        run(t);
        EXPECT_EQ(read_text(t / "registry_storage/registry_access.log").size(), size_t(cap));
        EXPECT_EQ(read_text(t / "registry_storage/registry_access.log.1"), "older");
    }
    {  // One byte past it: the old file becomes the rotated one, the line starts a new file.
        TempDir t;
        write_text(t / "config.json", config);
        const std::string old(cap - line_len + 1, 'o');
        write_text(t / "registry_storage/registry_access.log", old);
        write_text(t / "registry_storage/registry_access.log.1", "older");
        run(t);
        EXPECT_EQ(read_text(t / "registry_storage/registry_access.log").size(), line_len);
        EXPECT_EQ(read_text(t / "registry_storage/registry_access.log.1"), old);
    }
    {  // A cap of 0 never rotates.
        TempDir t;
        write_text(t / "config.json", "{\"registry_access_log_max_bytes\": -5}");
        write_text(t / "registry_storage/registry_access.log", std::string(5000, 'o'));
        run(t);
        EXPECT_EQ(read_text(t / "registry_storage/registry_access.log").size(), 5000 + line_len);
        EXPECT_FALSE(exists(t / "registry_storage/registry_access.log.1"));
    }
    {  // The size reader sees the file.
        TempDir t;
        write_text(t / "registry_storage/registry_access.log", std::string(77, 'o'));
        EXPECT_EQ(request(t, {},
                          [] { std::printf("%lld", static_cast<long long>(qv_audit_log_bytes())); })
                      .out,
                  "77");
    }
}

TEST(AccessLog, RotatedNameIsWholeForTheLongestPath) {
    // A log path of 1399 bytes: the rotated name needs two bytes more and must keep ".1".
    TempDir t;
    std::string root = t.path();
    while (root.size() < 1379 - 201)
        root += "/" + std::string(200, 'd');
    root += "/" + std::string(1379 - root.size() - 1, 'd');
    ASSERT_EQ(root.size(), 1379u);
    write_text(t / "config.json", "{\"registry_access_log_max_bytes\": 10}");
    write_text(root + "/registry_access.log", "old content");
    request(t, {{"REGISTRY_STORAGE_ROOT", root}}, [] { qv_audit_note_status(200); });
    EXPECT_EQ(read_text(root + "/registry_access.log.1"), "old content");
    EXPECT_EQ(read_text(root + "/registry_access.log").compare(0, 12, "GET / 0 200 "), 0);
}

TEST(AccessLog, MissingRootLosesTheLineQuietly) {
    TempDir t;
    ChildResult r =
        request(t, {{"REGISTRY_STORAGE_ROOT", t / "absent"}}, [] { oci_send_json(200, "{}"); });
    EXPECT_EQ(r.out.substr(0, 13), "Status: 200\r\n");
    EXPECT_FALSE(exists(t / "absent"));
}

// The log lives in the storage root: what is planted in its place is neither followed out of
// the root nor waited on, and the response still goes out.
TEST(AccessLog, ALinkOrAPipeInTheLogsPlaceIsLeftAlone) {
    for (const bool pipe : {false, true}) {
        TempDir t;
        const std::string log = t / "store/registry_access.log";
        make_dirs(t / "store");
        write_text(t / "outside.log", "outside");
        ASSERT_EQ(pipe ? ::mkfifo(log.c_str(), 0644)
                       : ::symlink((t / "outside.log").c_str(), log.c_str()),
                  0);
        ChildSetup setup;
        setup.cwd = t.path();
        setup.env = {{"REGISTRY_STORAGE_ROOT", t / "store"}};
        const ChildResult r = run_child(setup, [] {
            ::alarm(20);
            oci_send_json(200, "{}");
            return 0;
        });
        EXPECT_TRUE(r.exited && r.status == 0) << (pipe ? "pipe" : "link");
        EXPECT_EQ(r.out.substr(0, 13), "Status: 200\r\n");
        EXPECT_EQ(read_text(t / "outside.log"), "outside");
    }
}

TEST(AccessLog, HostileRequestTextsKeepOneLineAndOneJsonObject) {
    std::string controls;
    for (int c = 1; c < 0x20; ++c)
        controls += static_cast<char>(c);
    struct Case {
        std::string method, path, actor;
    };
    const Case cases[] = {
        {"GET\n/forged 0 200 anonymous", "/", ""},
        {"GET\",\"status\":999,\"x\":\"", "/v2/", ""},
        {"PO\\ST", "/v2/a\\b", ""},
        {"GET\r\nX", "/v2/" + controls, ""},
        {controls, "/", "jo\nforged line"},
        {"PUT", "/v2/x", "a\"b\\c\rd" + controls},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        const std::string actor = c.actor;
        const std::string line =
            logged({{"REQUEST_METHOD", c.method}, {"PATH_INFO", c.path}}, [&actor] {
                if (!actor.empty()) qv_audit_note_actor(actor.c_str());
                qv_audit_note_status(200);
            });
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        for (const char ch : line.substr(0, line.size() - 1))
            EXPECT_GE(static_cast<unsigned char>(ch), 0x20u);

        const size_t json_at = line.find(" {\"ts\"");
        ASSERT_NE(json_at, std::string::npos);
        const std::string json = line.substr(json_at + 1, line.size() - json_at - 2);
        yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
        ASSERT_NE(doc, nullptr) << json;
        yyjson_val *root = yyjson_doc_get_root(doc);
        EXPECT_EQ(yyjson_obj_size(root), 6u);
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(root, "method")), c.method.c_str());
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(root, "path")), c.path.c_str());
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(root, "actor")),
                     actor.empty() ? "anonymous" : actor.c_str());
        EXPECT_EQ(yyjson_get_int(yyjson_obj_get(root, "status")), 200);
        yyjson_doc_free(doc);
    }

    // The exact line: the method escaped in both places, the actor field keeps its quote
    // and backslash raw and escapes only its control byte.
    const std::string line = logged({{"REQUEST_METHOD", "G\"E\nT"}, {"PATH_INFO", "/p"}}, [] {
        qv_audit_note_actor("a\"b\\c\nd");
        qv_audit_note_status(200);
    });
    EXPECT_EQ(line,
              expected_line(line, "G\\\"E\\nT", "/p", 0, 200, "a\"b\\c\\nd", "a\\\"b\\\\c\\nd"));
}
