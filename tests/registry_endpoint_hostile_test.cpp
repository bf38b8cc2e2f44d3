// Hostile stores and hostile names: pipes planted where files belong, and names built to leave
// the storage root. Every call runs in a child under an alarm, so a call that blocks fails
// the test instead of hanging it.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "storage/reg_storage.h"
#include "support/blob_files.h"
#include "support/child.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr unsigned kAlarmSeconds = 20;

// The program as a CGI process under an alarm (it survives the exec).
ChildResult run_guarded(const std::string &program, const ChildSetup &setup) {
    return run_child(setup, [&program] {
        ::alarm(kAlarmSeconds);
        char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
        ::execv(program.c_str(), argv);
        return 127;
    });
}

ChildResult library_guarded(const ChildSetup &setup, const std::function<int()> &fn) {
    return run_child(setup, [&fn] {
        ::alarm(kAlarmSeconds);
        return fn();
    });
}

bool well_formed_json(const char *text) {
    if (text == nullptr) return false;
    yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
    yyjson_doc_free(doc);
    return doc != nullptr;
}

std::string status_of(const std::string &out) {
    return out.compare(0, 8, "Status: ") == 0 ? out.substr(8, 3) : "<" + out.substr(0, 40) + ">";
}

}  // namespace

TEST(NonRegularFiles, PipesInFilesPlacesAnswerPromptly) {
    TempDir t;
    const std::string root = t / "store";
    StoreLayout store(root);
    const std::string good = "{\"schemaVersion\":2}";
    store.put_manifest("team/app", sha256_hex(good), good);
    store.put_tag("team/app", "good", sha256_hex(good), 1700000000);
    store.put_manifest("team/app", test_hex(2), "{}");
    store.put_tag("team/app", "pipebody", test_hex(2), 1700000000);
    ::unlink(store.body_path("team/app", test_hex(2)).c_str());
    ASSERT_EQ(::mkfifo(store.body_path("team/app", test_hex(2)).c_str(), 0644), 0);
    const std::string pipe_link = store.tag_link("team/app", "pipelink");
    make_dirs(pipe_link.substr(0, pipe_link.rfind('/')));
    ASSERT_EQ(::mkfifo(store.tag_link("team/app", "pipelink").c_str(), 0644), 0);

    ChildSetup setup;
    setup.cwd = t.path();
    const ChildResult lib = library_guarded(setup, [&] {
        if (reg_storage_init(root.c_str()) != 0) return 2;
        char type[128], digest[80];
        std::printf("%s|", reg_manifest_get("team/app", "good", type, digest));
        for (const char *ref : {"pipelink", "pipebody"}) {
            const char *body = reg_manifest_get("team/app", ref, type, digest);
            std::printf("%s %s|", body == nullptr ? "null" : body, reg_storage_last_error());
        }
        const std::string by_digest = digest_of(test_hex(2));
        std::printf("%d|",
                    reg_manifest_get("team/app", by_digest.c_str(), type, digest) == nullptr);
        std::printf("%s|", reg_tags_list_json("team/app"));
        int truncated = 0;
        std::printf("%d|", well_formed_json(reg_retention_json(1, 0, 0, 1, &truncated)));
        std::printf("%d|", well_formed_json(reg_storage_get_stats_json()));
        std::printf("%d|", well_formed_json(reg_catalog_json(100, nullptr)));
        // An upload file swapped for a pipe: refused at once, and a cancel clears it.
        char id[40];
        if (reg_blob_start_upload(id) != 0) return 3;
        const std::string upload = root + "/uploads/" + id + ".part";
        if (::unlink(upload.c_str()) != 0 || ::mkfifo(upload.c_str(), 0644) != 0) return 4;
        const int appended = reg_blob_append_chunk(id, "x", 1);
        const int finished = reg_blob_finish_upload(id, digest_of(test_hex(3)).c_str(), digest);
        const int cancelled = reg_blob_cancel_upload(id);
        std::printf("%d %d %d %d|", appended, finished, cancelled, ::access(upload.c_str(), F_OK));
        return 0;
    });
    ASSERT_TRUE(lib.exited) << "blocked or crashed";
    EXPECT_EQ(
        lib.out,
        good +
            "|null tag not found: team/app:pipelink|null manifest body not found: team/app@pipebody"
            "|1|{\"name\":\"team/app\",\"tags\":[\"good\",\"pipebody\"]}|1|1|1|-1 -1 0 -1|");

    // The programs over the same store, and with a pipe for config.json.
    for (const bool pipe_config : {false, true}) {
        SCOPED_TRACE(pipe_config ? "config.json is a pipe" : "no config.json");
        if (pipe_config) {
            ASSERT_EQ(::mkfifo((t / "config.json").c_str(), 0644), 0);
        }
        ChildSetup cgi = setup;
        cgi.env = {{"REGISTRY_STORAGE_ROOT", root},
                   {"REQUEST_METHOD", "POST"},
                   {"QUERY_STRING", "dry_run=1"}};
        ChildResult r = run_guarded(QV_RETENTION_BIN, cgi);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(status_of(r.out), "200");
        EXPECT_TRUE(well_formed_json(r.out.substr(r.out.find("\r\n\r\n") + 4).c_str()));

        struct Get {
            std::string path, status;
        };
        for (const Get &g : {Get{"/", "200"}, Get{"/team/app/manifests/good", "200"},
                             Get{"/team/app/manifests/pipelink", "404"},
                             Get{"/team/app/manifests/pipebody", "404"},
                             Get{"/team/app/tags/list", "200"}, Get{"/_stats", "200"}}) {
            cgi.env = {
                {"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", "GET"}, {"PATH_INFO", g.path}};
            r = run_guarded(QV_REGISTRY_BIN, cgi);
            ASSERT_TRUE(r.exited) << g.path << " blocked or crashed";
            EXPECT_EQ(status_of(r.out), g.status) << g.path;
        }
    }
}

namespace {

std::string percent_encoded(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == ':') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The hostile names; a name holding a NUL reaches the library cut there, as a decoded query
// value would.
std::vector<std::string> hostile_names(const std::string &root) {
    std::vector<std::string> names = {
        "..",
        "../x",
        "a/../../b",
        "../../out/repositories/victim",
        "../../../../../../etc/x",
        "/",
        "/abs",
        "//x",
        "a//b",
        "a/",
        ".",
        "./a",
        "a/./b",
        "\\",
        "..\\..\\x",
        "a\\..\\..\\b",
        "",
        "x\ny",
        std::string("a\0/../../../x", 13),
        std::string(4096, 'a'),
        std::string(4096, '.'),
    };
    // A name that takes a built path past 4095 characters, in components that are each fine.
    std::string deep;
    while (root.size() + deep.size() < 4200)
        deep += (deep.empty() ? "" : "/") + std::string(200, 'd');
    names.push_back(deep);
    names.push_back(deep + "/../../../../../../../../../../../../../../../../../../../../../x");
    return names;
}

}  // namespace

TEST(HostileNames, NothingOutsideTheRootChangesAndEveryCallAnswers) {
    TempDir t;
    const std::string root = t / "store";
    // Bait outside the root: a whole store's worth of files a stray path could reach.
    StoreLayout outside(t / "out");
    outside.put_manifest("victim", test_hex(7), "{\"schemaVersion\":2}");
    outside.put_tag("victim", "t", test_hex(7), 1700000000);
    write_text(t / "x", "bait");
    write_text(t / "b/file", "bait");
    put_blob(t / "out", "an outside blob");
    make_dirs(t / "site");
    const std::string inside_blob = put_blob(root, "an inside blob");
    StoreLayout store(root);
    store.put_manifest("team/app", test_hex(1), "{\"schemaVersion\":2}");
    store.put_tag("team/app", "t", test_hex(1), 1700000000);
    const std::vector<std::string> before = snapshot_outside(t.path(), "store");

    const std::vector<std::string> names = hostile_names(root);
    const std::string body = image_json(inside_blob, {inside_blob});
    ChildSetup setup;
    setup.cwd = t / "site";
    const ChildResult lib = library_guarded(setup, [&] {
        if (reg_storage_init(root.c_str()) != 0) return 2;
        int problems = 0;
        // An answer is clear when it succeeds or fails with a message.
        const auto rc = [&](const std::string &what, const std::string &name, int r) {
            if (r == 0 || r == 1 || (r == -1 && reg_storage_last_error()[0] != '\0')) return;
            std::printf("%s(%s) = %d without a message\n", what.c_str(), name.c_str(), r);
            ++problems;
        };
        const auto text = [&](const std::string &what, const std::string &name, const char *r,
                              bool json) {
            if (r == nullptr ? reg_storage_last_error()[0] != '\0' : !json || well_formed_json(r))
                return;
            std::printf("%s(%s) gave %s\n", what.c_str(), name.c_str(), r ? r : "NULL silently");
            ++problems;
        };
        for (const std::string &name : names) {
            const char *v = name.c_str();
            const std::string as_digest = "sha256:" + name;
            char type[128], digest[80], last[512], uuid[40];
            int more = 0;
            int64_t size = 0;
            for (const std::string &repo : {name, std::string("team/app")}) {
                const std::string ref = repo == name ? "t" : name;
                text("get", name, reg_manifest_get(repo.c_str(), ref.c_str(), type, digest), false);
                rc("put", name,
                   reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(),
                                    "application/vnd.oci.image.manifest.v1+json", digest));
                rc("delete", name, reg_manifest_delete(repo.c_str(), ref.c_str()));
            }
            text("get@", name, reg_manifest_get("team/app", as_digest.c_str(), type, digest),
                 false);
            rc("delete@", name, reg_manifest_delete("team/app", as_digest.c_str()));
            text("tags", name, reg_tags_list_json(v), true);
            text("tags page", name,
                 reg_tags_list_json_page("team/app", 10, v, &more, last, sizeof last), true);
            text("catalog", name, reg_catalog_json_page(10, v, &more, last, sizeof last), true);
            rc("append", name, reg_blob_append_chunk(v, "x", 1));
            rc("size", name, reg_blob_upload_size(v, &size));
            rc("finish", name, reg_blob_finish_upload(v, as_digest.c_str(), digest));
            rc("cancel", name, reg_blob_cancel_upload(v));
            for (const std::string &d : {name, as_digest}) {
                rc("exists", d, reg_blob_exists(d.c_str()));
                rc("filepath", d, reg_blob_get_filepath(d.c_str(), last, sizeof last));
                rc("blob delete", d, reg_blob_delete(d.c_str()));
                if (reg_blob_get_size(d.c_str()) < -1) ++problems;
                if (reg_blob_start_upload(uuid) != 0) return 3;
                rc("finish as", d, reg_blob_finish_upload(uuid, d.c_str(), digest));
                reg_blob_cancel_upload(uuid);
            }
            rc("repo delete", name, reg_repo_delete(v));
        }
        std::printf("%d problems", problems);
        return 0;
    });
    ASSERT_TRUE(lib.exited) << "blocked or crashed";
    EXPECT_EQ(lib.out, "0 problems");
    EXPECT_EQ(snapshot_outside(t.path(), "store"), before);

    // The same names as parts of request paths and as decoded query values.
    for (const std::string &name : names) {
        const std::string cut = name.substr(0, name.find('\0'));  // an environment ends there
        const std::string q = percent_encoded(name);
        struct Ask {
            const char *method;
            std::string path, query;
        };
        const std::vector<Ask> asks = {
            {"GET", "/" + cut + "/manifests/t", ""},
            {"DELETE", "/" + cut + "/manifests/t", ""},
            {"PUT", "/team/app/manifests/" + cut, ""},
            {"DELETE", "/team/app/manifests/" + cut, ""},
            {"GET", "/team/app/blobs/" + cut, ""},
            {"PATCH", "/team/app/blobs/uploads/" + cut, ""},
            {"PUT", "/team/app/blobs/uploads/" + cut, "digest=" + q},
            {"DELETE", "/team/app/blobs/uploads/" + cut, ""},
            {"GET", "/" + cut + "/tags/list", "n=5&last=" + q},
            {"GET", "/_catalog", "n=5&last=" + q},
            {"POST", "/" + cut + "/blobs/uploads/", "mount=" + q + "&from=" + q},
            {"POST", "/team/app/blobs/uploads/", "digest=" + q},
        };
        for (const Ask &a : asks) {
            ChildSetup cgi;
            cgi.cwd = t / "site";
            cgi.env = {{"REGISTRY_STORAGE_ROOT", root},
                       {"REQUEST_METHOD", a.method},
                       {"PATH_INFO", a.path},
                       {"QUERY_STRING", a.query},
                       {"CONTENT_TYPE", "application/vnd.oci.image.manifest.v1+json"},
                       {"CONTENT_LENGTH", std::to_string(body.size())}};
            cgi.stdin_data = body;
            const ChildResult r = run_guarded(QV_REGISTRY_BIN, cgi);
            const std::string where =
                std::string(a.method) + " " + a.path.substr(0, 80) + "?" + a.query.substr(0, 80);
            ASSERT_TRUE(r.exited && r.status == 0) << where;
            const std::string status = status_of(r.out);
            ASSERT_EQ(status.size(), 3u) << where;
            const size_t end = r.out.find("\r\n\r\n");
            ASSERT_NE(end, std::string::npos) << where;
            if (status[0] >= '4' && a.method != std::string("HEAD")) {
                EXPECT_NE(status, "500") << where << "\n" << r.out.substr(end + 4);
                EXPECT_TRUE(well_formed_json(r.out.substr(end + 4).c_str())) << where;
            }
        }
    }
    EXPECT_EQ(snapshot_outside(t.path(), "store"), before);
}
