// The registry program at its process boundary: a prepared CGI environment and body in; the
// status, headers, body and the store afterwards out.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "frontend/access.h"
#include "support/base64.h"
#include "support/blob_files.h"
#include "support/child.h"
#include "support/digest_text.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

struct Response {
    int status = 0;
    std::map<std::string, std::string> headers;
    std::string body;
    std::string header(const std::string &name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

struct Request {
    std::string method = "GET";
    std::string path = "/";
    std::string query;
    std::string body;
    std::map<std::string, std::string> env;
    int uid = -1;  // the user the program runs as (the test's own when unset)
};

// A working directory (for config.json) with a storage root below it.
struct Site {
    TempDir dir;
    std::string root() const { return dir / "store"; }

    Response call(const Request &req, const char *program = QV_REGISTRY_BIN) const {
        ChildSetup setup;
        setup.cwd = dir.path();
        setup.env = req.env;
        setup.env["REQUEST_METHOD"] = req.method;
        setup.env["PATH_INFO"] = req.path;
        // As the web server names the program: /v2 for the registry, its own path for retention.
        setup.env.emplace("SCRIPT_NAME",
                          std::string_view(program) == QV_REGISTRY_BIN ? "/v2" : "/v2/_retention");
        setup.env.emplace("REGISTRY_STORAGE_ROOT", root());  // unless the request names one
        if (!req.query.empty()) setup.env["QUERY_STRING"] = req.query;
        if (!req.body.empty()) setup.env.emplace("CONTENT_LENGTH", std::to_string(req.body.size()));
        setup.stdin_data = req.body;
        setup.uid = req.uid;
        const ChildResult r = run_program(program, setup);
        EXPECT_TRUE(r.exited && r.status == 0) << req.method << " " << req.path;
        Response out;
        const size_t end = r.out.find("\r\n\r\n");
        if (end == std::string::npos) return out;
        out.body = r.out.substr(end + 4);
        size_t at = 0;
        while (at < end) {
            const size_t eol = r.out.find("\r\n", at);
            const std::string line = r.out.substr(at, eol - at);
            const size_t colon = line.find(": ");
            if (colon != std::string::npos)
                out.headers[line.substr(0, colon)] = line.substr(colon + 2);
            at = eol + 2;
        }
        out.status = std::stoi(out.header("Status"));
        return out;
    }
    Response call(const std::string &method, const std::string &path, const std::string &query = "",
                  const std::string &body = "") const {
        return call(Request{method, path, query, body, {}});
    }

    // A blob pushed in one request; returns its digest.
    std::string push_blob(const std::string &bytes) const {
        const std::string digest = "sha256:" + sha256_hex(bytes);
        EXPECT_EQ(call("POST", "/team/app/blobs/uploads/", "digest=" + digest, bytes).status, 201);
        return digest;
    }
    // An image manifest over a stored config and one stored layer, put under the reference.
    std::string push_image(const std::string &repo, const std::string &ref,
                           const std::string &seed) const {
        const std::string body = image_json(push_blob("config " + seed).substr(7),
                                            {push_blob("layer " + seed).substr(7)});
        Request put{"PUT", "/" + repo + "/manifests/" + ref, "", body, {}};
        put.env["CONTENT_TYPE"] = "application/vnd.oci.image.manifest.v1+json";
        EXPECT_EQ(call(put).status, 201);
        return "sha256:" + sha256_hex(body);
    }
};

std::string code_of(const Response &r) {
    const size_t at = r.body.find("\"code\":\"");
    return at == std::string::npos ? "" : r.body.substr(at + 8, r.body.find('"', at + 8) - at - 8);
}

// Dates every blob file long ago, as if nobody had stored or looked at it for a long while.
void age_blobs(const std::string &root) {
    for (const auto &e : std::filesystem::recursive_directory_iterator(root + "/blobs"))
        if (e.is_regular_file()) set_mtime(e.path().string(), kLongAgo);
}

const std::string kNoBlob = "sha256:" + std::string(64, '0');
const std::string kNoUpload = "00000000-0000-0000-0000-000000000000";

}  // namespace

TEST(RegistryEndpoint, EveryRouteAnswersWithItsStatusAndCode) {
    Site site;
    struct Case {
        const char *method;
        std::string path;
        int status;
        const char *code;  // "" for a success
    };
    const std::vector<Case> cases = {
        {"GET", "/", 200, ""},
        {"HEAD", "", 200, ""},
        {"POST", "/", 405, "UNSUPPORTED"},
        {"GET", "/nowhere", 404, "NOT_FOUND"},
        {"GET", "/team/app/tags/other", 404, "NOT_FOUND"},
        {"GET", "/team/app/blobs/", 404, "NOT_FOUND"},
        {"GET", "/-bad/tags/list", 400, "NAME_INVALID"},
        {"GET", "/a//b/manifests/x", 400, "NAME_INVALID"},
        {"GET", "/team/app/tags/list", 404, "NAME_UNKNOWN"},
        {"HEAD", "/team/app/blobs/" + kNoBlob, 404, "BLOB_UNKNOWN"},
        {"GET", "/team/app/blobs/sha256:ABC", 400, "DIGEST_INVALID"},
        {"DELETE", "/team/app/blobs/" + kNoBlob, 405, "UNSUPPORTED"},
        {"PUT", "/team/app/blobs/" + kNoBlob, 405, "UNSUPPORTED"},
        {"GET", "/team/app/blobs/uploads/", 405, "UNSUPPORTED"},
        {"PATCH", "/team/app/blobs/uploads/" + kNoUpload, 404, "BLOB_UPLOAD_UNKNOWN"},
        {"GET", "/team/app/blobs/uploads/not-an-id", 404, "BLOB_UPLOAD_UNKNOWN"},
        {"DELETE", "/team/app/blobs/uploads/" + kNoUpload, 404, "BLOB_UPLOAD_UNKNOWN"},
        {"POST", "/team/app/blobs/uploads/" + kNoUpload, 405, "UNSUPPORTED"},
        {"GET", "/team/app/manifests/latest", 404, "MANIFEST_UNKNOWN"},
        {"DELETE", "/team/app/manifests/latest", 404, "MANIFEST_UNKNOWN"},
        {"GET", "/team/app/manifests/sha256:12", 400, "DIGEST_INVALID"},
        {"PATCH", "/team/app/manifests/latest", 405, "UNSUPPORTED"},
        {"GET", "/_catalog", 200, ""},
        {"DELETE", "/_catalog", 405, "UNSUPPORTED"},
        {"GET", "/_stats", 200, ""},
        {"POST", "/_stats", 405, "UNSUPPORTED"},
        {"GET", "/_gc", 200, ""},
        {"PUT", "/_gc", 405, "UNSUPPORTED"},
        {"DELETE", "/_gc", 202, ""},
        {"POST", "/_fsck", 200, ""},
        {"GET", "/_health", 200, ""},
        {"POST", "/_health", 405, "UNSUPPORTED"},
        {"GET", "/_fsck", 405, "UNSUPPORTED"},
        {"OPTIONS", "/", 405, "UNSUPPORTED"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        const Response r = site.call(c.method, c.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.header("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(code_of(r), c.code) << r.body;
    }
    const Response base = site.call("GET", "/");
    EXPECT_EQ(base.body, "{}\n");
    EXPECT_EQ(site.call("HEAD", "/").body, "");
}

TEST(RegistryEndpoint, ChunkedUploadFollowsRangeAndLocation) {
    Site site;
    const Response started = site.call("POST", "/team/app/blobs/uploads/");
    ASSERT_EQ(started.status, 202);
    const std::string id = started.header("Docker-Upload-UUID");
    const std::string at = "/team/app/blobs/uploads/" + id;
    EXPECT_EQ(started.header("Location"), "/v2" + at);
    EXPECT_EQ(started.header("Range"), "0-0");

    Request patch{"PATCH", at, "", "hello ", {{"HTTP_CONTENT_RANGE", "0-5"}}};
    const Response first = site.call(patch);
    EXPECT_EQ(first.status, 202);
    EXPECT_EQ(first.header("Range"), "0-5");
    EXPECT_EQ(first.header("Location"), "/v2" + at);

    // A chunk that does not start where the upload stands is refused and changes nothing.
    patch.env["HTTP_CONTENT_RANGE"] = "bytes 0-5/*";
    const Response stale = site.call(patch);
    EXPECT_EQ(stale.status, 416);
    EXPECT_EQ(code_of(stale), "BLOB_UPLOAD_INVALID");
    EXPECT_EQ(stale.header("Range"), "0-5");
    const Response status = site.call("GET", at);
    EXPECT_EQ(status.status, 204);
    EXPECT_EQ(status.header("Range"), "0-5");
    EXPECT_EQ(status.header("Docker-Upload-UUID"), id);

    // The final PUT carries the last bytes.
    const std::string digest = "sha256:" + sha256_hex("hello world");
    const Response done = site.call("PUT", at, "digest=" + digest, "world");
    EXPECT_EQ(done.status, 201);
    EXPECT_EQ(done.header("Location"), "/v2/team/app/blobs/" + digest);
    EXPECT_EQ(done.header("Docker-Content-Digest"), digest);
    EXPECT_EQ(site.call("GET", at).status, 404);

    const Response head = site.call("HEAD", "/team/app/blobs/" + digest);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("Content-Length"), "11");
    EXPECT_EQ(head.header("Docker-Content-Digest"), digest);
    EXPECT_EQ(head.body, "");
    // Blobs are one store: any repository reaches them.
    const Response whole = site.call("GET", "/other/repo/blobs/" + digest);
    EXPECT_EQ(whole.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(whole.body, "hello world");

    struct RangeCase {
        const char *range;
        int status;
        const char *content_range;
        const char *bytes;
    };
    for (const RangeCase &c : std::vector<RangeCase>{
             {"bytes=0-4", 206, "bytes 0-4/11", "hello"},
             {"bytes=6-", 206, "bytes 6-10/11", "world"},
             {"bytes=-5", 206, "bytes 6-10/11", "world"},
             {"bytes=3-99", 206, "bytes 3-10/11", "lo world"},
             {"bytes=11-", 416, "bytes */11", nullptr},
             {"bytes=1-2,4-5", 200, "", "hello world"},
             {"items=0-1", 200, "", "hello world"},
         }) {
        SCOPED_TRACE(c.range);
        const Response r = site.call(
            Request{"GET", "/team/app/blobs/" + digest, "", "", {{"HTTP_RANGE", c.range}}});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.header("Content-Range"), c.content_range);
        if (c.bytes != nullptr) {
            EXPECT_EQ(r.body, c.bytes);
            EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
        }
    }
}

TEST(RegistryEndpoint, OneShotMountCancelAndDiscardedUploads) {
    Site site;
    const std::string digest = site.push_blob("one shot");
    const std::string bad = "sha256:" + sha256_hex("something else");
    const auto uploads = [&] {
        return site.call("GET", "/_stats").body.find("\"active_uploads\":0,") == std::string::npos;
    };

    // A body that is not what the digest names is discarded with its upload.
    Response r = site.call("POST", "/team/app/blobs/uploads/", "digest=" + bad, "one shot");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(code_of(r), "DIGEST_INVALID");
    EXPECT_FALSE(uploads());
    r = site.call("POST", "/team/app/blobs/uploads/", "digest=sha256:XY", "one shot");
    EXPECT_EQ(code_of(r), "DIGEST_INVALID");

    // A chunked upload finished against the wrong digest is gone as well.
    std::string id = site.call("POST", "/team/app/blobs/uploads/").header("Docker-Upload-UUID");
    r = site.call("PUT", "/team/app/blobs/uploads/" + id, "digest=" + bad, "one shot");
    EXPECT_EQ(code_of(r), "DIGEST_INVALID");
    EXPECT_EQ(site.call("GET", "/team/app/blobs/uploads/" + id).status, 404);
    EXPECT_FALSE(uploads());

    // A body shorter than announced is not taken for the blob.
    id = site.call("POST", "/team/app/blobs/uploads/").header("Docker-Upload-UUID");
    r = site.call(
        Request{"PATCH", "/team/app/blobs/uploads/" + id, "", "1234", {{"CONTENT_LENGTH", "10"}}});
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(code_of(r), "SIZE_INVALID");
    EXPECT_EQ(site.call("GET", "/team/app/blobs/uploads/" + id).status, 404);

    // Mounting a stored blob needs no upload; an unknown one starts an ordinary upload.
    r = site.call("POST", "/team/web/blobs/uploads/", "mount=" + digest + "&from=team/app");
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.header("Location"), "/v2/team/web/blobs/" + digest);
    EXPECT_EQ(r.header("Docker-Content-Digest"), digest);
    r = site.call("POST", "/team/web/blobs/uploads/", "mount=" + kNoBlob + "&from=team/app");
    EXPECT_EQ(r.status, 202);
    id = r.header("Docker-Upload-UUID");
    EXPECT_TRUE(uploads());
    EXPECT_EQ(site.call("DELETE", "/team/web/blobs/uploads/" + id).status, 204);
    EXPECT_FALSE(uploads());
}

TEST(RegistryEndpoint, ManifestsAndIndexesByTagAndDigest) {
    Site site;
    const std::string image = site.push_image("team/app", "v1", "a");
    Response r = site.call("GET", "/team/app/manifests/v1");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "application/vnd.oci.image.manifest.v1+json");
    EXPECT_EQ(r.header("Docker-Content-Digest"), image);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ("sha256:" + sha256_hex(r.body), image);
    const std::string image_body = r.body;
    r = site.call("HEAD", "/team/app/manifests/" + image);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(image_body.size()));
    EXPECT_EQ(r.body, "");

    // An index over it, put by digest; the digest must be the bytes'.
    const std::string index = index_json({image.substr(7)});
    const std::string index_digest = "sha256:" + sha256_hex(index);
    Request put{"PUT",
                "/team/app/manifests/" + index_digest,
                "",
                index,
                {{"CONTENT_TYPE", "application/vnd.oci.image.index.v1+json"}}};
    r = site.call(put);
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.header("Location"), "/v2/team/app/manifests/" + index_digest);
    EXPECT_EQ(r.header("Docker-Content-Digest"), index_digest);
    EXPECT_EQ(site.call("GET", "/team/app/manifests/" + index_digest).body, index);
    put.path = "/team/app/manifests/" + image;
    EXPECT_EQ(code_of(site.call(put)), "DIGEST_INVALID");

    // The engine's refusals, each as its code.
    struct Case {
        std::string ref, body, code;
    };
    for (const Case &c : std::vector<Case>{
             {"v2", image_json(std::string(64, 'a'), {}), "MANIFEST_BLOB_UNKNOWN"},
             {"v2", index_json({std::string(64, 'b')}), "MANIFEST_BLOB_UNKNOWN"},
             {"v2", "{}", "MANIFEST_INVALID"},
             {"v2", "not json", "MANIFEST_INVALID"},
             {"v2", "", "MANIFEST_INVALID"},
             {"v2", std::string(1 << 20, ' '), "MANIFEST_INVALID"},
             {"-v2", image_body, "TAG_INVALID"},
             {"sha256:12", image_body, "DIGEST_INVALID"},
         }) {
        SCOPED_TRACE(c.code + " " + c.body.substr(0, 40));
        const Response refused = site.call("PUT", "/team/app/manifests/" + c.ref, "", c.body);
        EXPECT_EQ(refused.status, 400);
        EXPECT_EQ(code_of(refused), c.code) << refused.body;
    }
    EXPECT_EQ(site.call("GET", "/team/app/manifests/v2").status, 404);

    // A tag goes alone; a digest takes every tag that names it.
    EXPECT_EQ(site.call("PUT", "/team/app/manifests/v2", "", image_body).status, 201);
    EXPECT_EQ(site.call("PUT", "/team/app/manifests/v3", "", image_body).status, 201);
    EXPECT_EQ(site.call("DELETE", "/team/app/manifests/v3").status, 202);
    EXPECT_EQ(site.call("GET", "/team/app/manifests/v3").status, 404);
    EXPECT_EQ(site.call("GET", "/team/app/manifests/v1").status, 200);
    EXPECT_EQ(site.call("DELETE", "/team/app/manifests/" + index_digest).status, 202);
    EXPECT_EQ(site.call("DELETE", "/team/app/manifests/" + image).status, 202);
    for (const char *tag : {"v1", "v2"})
        EXPECT_EQ(code_of(site.call("GET", std::string("/team/app/manifests/") + tag)),
                  "MANIFEST_UNKNOWN");
}

// A multi-platform image loses nothing to deletions of its children: a child's tag goes and
// its body stays (it used to go, and the next collection took its blobs); deleting the child
// by digest is refused while the index lists it.
TEST(RegistryEndpoint, DeletionsKeepWhatAnIndexLists) {
    Site site;
    const std::string amd64 = site.push_image("app", "amd64", "amd64");
    const std::string arm64 = site.push_image("app", "arm64", "arm64");
    const std::string index = index_json({amd64.substr(7), arm64.substr(7)});
    EXPECT_EQ(site.call("PUT", "/app/manifests/latest", "", index).status, 201);

    EXPECT_EQ(site.call("DELETE", "/app/manifests/amd64").status, 202);
    EXPECT_EQ(site.call("GET", "/app/manifests/amd64").status, 404);
    const Response refused = site.call("DELETE", "/app/manifests/" + arm64);
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(code_of(refused), "DENIED");
    EXPECT_NE(refused.body.find("app@sha256:" + sha256_hex(index)), std::string::npos)
        << refused.body;
    EXPECT_EQ(site.call("GET", "/app/manifests/arm64").status, 200);
    EXPECT_NE(site.call("POST", "/_gc").body.find("\"blobs_deleted\":0,"), std::string::npos);
    for (const std::string &child : {amd64, arm64})
        EXPECT_EQ(site.call("GET", "/app/manifests/" + child).status, 200) << child;
    EXPECT_EQ(site.call("GET", "/app/blobs/sha256:" + sha256_hex("layer amd64")).body,
              "layer amd64");
}

// What a power cut or a disk leaves (files emptied or changed, a torn tag link) is never served
// as the image: the client is told it is unknown, pushes it again, and that push mends it.
// Before, an emptied layer answered 200 with no bytes, and a re-push kept the damaged file.
TEST(RegistryEndpoint, DamageIsNeverServedAndARePushMendsIt) {
    Site site;
    const std::string digest = site.push_image("team/app", "v1", "a");
    const std::string config = "sha256:" + sha256_hex("config a");
    const std::string layer = "sha256:" + sha256_hex("layer a");
    const std::string body = image_json(config.substr(7), {layer.substr(7)});
    const std::string blobs = site.root() + "/blobs/sha256/";
    write_text(blob_path(site.root(), layer.substr(7)), "");
    write_text(blob_path(site.root(), config.substr(7)), "config A");  // same size
    write_text(site.root() + "/repositories/team/app/_manifests/" + digest.substr(7), "");
    EXPECT_EQ(site.call("HEAD", "/team/app/blobs/" + layer).status, 404);
    EXPECT_EQ(site.call("GET", "/team/app/blobs/" + layer).status, 404);
    for (const std::string &ref : {std::string("v1"), digest}) {
        const Response r = site.call("GET", "/team/app/manifests/" + ref);
        EXPECT_EQ(r.status, 404) << ref;
        EXPECT_EQ(code_of(r), "MANIFEST_UNKNOWN");
        EXPECT_NE(r.body.find("manifest body damaged"), std::string::npos) << r.body;
    }
    write_text(site.root() + "/repositories/team/app/_manifests/tags/v1/current/link", "sha256:");

    EXPECT_EQ(site.push_image("team/app", "v1", "a"), digest);
    EXPECT_EQ(site.call("GET", "/team/app/blobs/" + layer).body, "layer a");
    EXPECT_EQ(site.call("GET", "/team/app/blobs/" + config).body, "config a");
    EXPECT_EQ(site.call("GET", "/team/app/manifests/v1").body, body);
}

// A store that cannot be used answers the health route with 503 (every other route with 500).
TEST(RegistryEndpoint, HealthTellsAStoreThatCannotBeWritten) {
    Site site;
    write_text(site.dir / "file", "");
    Request health{"GET", "/_health", "", "", {{"REGISTRY_STORAGE_ROOT", site.dir / "file/store"}}};
    const Response r = site.call(health);
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(code_of(r), "STORAGE_ERROR");
    EXPECT_EQ(site.call("GET", "/_health").body, "{\"status\":\"ok\"}\n");
}

// A Content-Length that is no byte count used to read as "no body" (202, the chunk dropped),
// and a manifest body shorter than announced was stored: both are refused, nothing stored.
TEST(RegistryEndpoint, BodiesNotOfTheirAnnouncedLengthAreRefused) {
    Site site;
    const std::string upload =
        site.call("POST", "/team/app/blobs/uploads/").header("Location").substr(3);
    for (const char *length : {"-5", "abc", "3x"}) {
        Request patch{"PATCH", upload, "", "abc", {{"CONTENT_LENGTH", length}}};
        const Response r = site.call(patch);
        EXPECT_EQ(r.status, 400) << length;
        EXPECT_EQ(code_of(r), "SIZE_INVALID") << length;
    }
    EXPECT_EQ(site.call("GET", upload).header("Range"), "0-0");
    EXPECT_EQ(site.call("PATCH", upload, "", "abc").status, 202);

    const std::string body = image_json(site.push_blob("c").substr(7), {});
    Request put{"PUT",
                "/team/app/manifests/v1",
                "",
                body,
                {{"CONTENT_LENGTH", std::to_string(body.size() + 10)}}};
    const Response r = site.call(put);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(code_of(r), "MANIFEST_INVALID");
    EXPECT_EQ(site.call("GET", "/team/app/manifests/v1").status, 404);
}

TEST(RegistryEndpoint, AContentTypeThatWouldSplitTheResponseIsNotSent) {
    // A manifest declares any string as its mediaType, and that is what gets stored.
    Site site;
    const std::string config = site.push_blob("cfg").substr(7);
    const std::string body =
        "{\"mediaType\":\"x\\r\\nSet-Cookie: a=b\",\"config\":" + descriptor(config) + "}";
    ASSERT_EQ(site.call("PUT", "/team/app/manifests/v1", "", body).status, 201);
    const Response r = site.call("GET", "/team/app/manifests/v1");
    EXPECT_EQ(r.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(r.headers.count("Set-Cookie"), 0u);
    EXPECT_EQ(r.body, body);
}

TEST(RegistryEndpoint, TagsAndCatalogPages) {
    Site site;
    const std::string image = site.push_image("team/app", "c", "1");
    for (const char *tag : {"a", "b"})
        site.call(Request{"PUT",
                          std::string("/team/app/manifests/") + tag,
                          "",
                          site.call("GET", "/team/app/manifests/c").body,
                          {}});
    site.push_image("team/web", "x", "2");
    struct Case {
        std::string path, query, body, link;
    };
    for (const Case &c : std::vector<Case>{
             {"/team/app/tags/list", "", "{\"name\":\"team/app\",\"tags\":[\"a\",\"b\",\"c\"]}",
              ""},
             {"/team/app/tags/list", "n=2", "{\"name\":\"team/app\",\"tags\":[\"a\",\"b\"]}",
              "</v2/team/app/tags/list?n=2&last=b>; rel=\"next\""},
             {"/team/app/tags/list", "n=2&last=b", "{\"name\":\"team/app\",\"tags\":[\"c\"]}", ""},
             {"/team/app/tags/list", "last=zzz", "{\"name\":\"team/app\",\"tags\":[]}", ""},
             {"/team/app/tags/list", "n=0", "{\"name\":\"team/app\",\"tags\":[]}", ""},
             {"/_catalog", "n=1", "{\"repositories\":[\"team/app\"]}",
              "</v2/_catalog?n=1&last=team/app>; rel=\"next\""},
             {"/_catalog", "n=1&last=team%2Fapp", "{\"repositories\":[\"team/web\"]}", ""},
             {"/_catalog", "n=0", "{\"repositories\":[]}", ""},
         }) {
        SCOPED_TRACE(c.path + "?" + c.query);
        const Response r = site.call("GET", c.path, c.query);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, c.body + "\n");
        EXPECT_EQ(r.header("Link"), c.link);
    }
}

// Every tag and every repository, page by page, at counts beyond any directory listing's 512
// entries (they used to stop at 512 tags and 1024 repositories, with no Link to the rest).
TEST(RegistryEndpoint, ListingsReachEveryTagAndRepository) {
    Site site;
    StoreLayout store(site.root());
    std::vector<std::string> tags, repos;
    for (int i = 0; i < 5000; ++i) {
        tags.push_back("t" + std::to_string(i));
        store.put_tag("big", tags.back(), test_hex(1), 1700000000);
    }
    for (int i = 0; i < 3000; ++i) {
        repos.push_back("r" + std::to_string(i / 100) + "/app" + std::to_string(i));
        store.make_repo(repos.back());
    }
    repos.push_back("big");
    std::sort(tags.begin(), tags.end());
    std::sort(repos.begin(), repos.end());

    // Follows Link from the first page; the names of each page, in the order served.
    const auto all_pages = [&](const std::string &path, const char *member) {
        std::vector<std::string> names;
        std::string query = "n=1000";
        for (int page = 0; page < 10 && !query.empty(); ++page) {
            const Response r = site.call("GET", path, query);
            const std::string key = std::string("\"") + member + "\":[";
            std::string list = r.body.substr(r.body.find(key) + key.size());
            for (size_t at = 0; (at = list.find('"', at)) != std::string::npos;) {
                const size_t end = list.find('"', at + 1);
                names.push_back(list.substr(at + 1, end - at - 1));
                at = end + 1;
            }
            const std::string link = r.header("Link");
            query = link.empty()
                        ? ""
                        : link.substr(link.find('?') + 1, link.find('>') - link.find('?') - 1);
        }
        return names;
    };
    EXPECT_EQ(all_pages("/big/tags/list", "tags"), tags);
    EXPECT_EQ(all_pages("/_catalog", "repositories"), repos);
    EXPECT_NE(site.call("GET", "/_stats").body.find("\"repositories\":3001,\"tags\":5000,"),
              std::string::npos);
}

// A push in flight meets a collection: the client found one blob stored by a HEAD and another
// by a mount (so it uploads neither), finished uploading a third, and puts its manifest after
// the collection ran. None of the three may go: they all used to, and the put failed with
// MANIFEST_BLOB_UNKNOWN. Once nobody has stored or looked at them for the window, they go.
TEST(RegistryEndpoint, ACollectionSparesWhatAPushInFlightFound) {
    Site site;
    const std::string looked_at = site.push_blob("config stored long ago");
    const std::string mounted = site.push_blob("layer stored long ago");
    age_blobs(site.root());
    EXPECT_EQ(site.call("HEAD", "/app/blobs/" + looked_at).status, 200);
    EXPECT_EQ(site.call("POST", "/app/blobs/uploads/", "mount=" + mounted + "&from=base").status,
              201);
    const std::string uploaded = site.push_blob("layer uploaded now");
    EXPECT_NE(site.call("POST", "/_gc").body.find("\"blobs_deleted\":0,"), std::string::npos);
    const std::string body =
        image_json(looked_at.substr(7), {mounted.substr(7), uploaded.substr(7)});
    EXPECT_EQ(site.call("PUT", "/app/manifests/v1", "", body).status, 201);

    EXPECT_EQ(site.call("DELETE", "/app/manifests/v1").status, 202);
    age_blobs(site.root());
    EXPECT_NE(site.call("POST", "/_gc").body.find("\"blobs_deleted\":3,"), std::string::npos);
}

TEST(RegistryEndpoint, CollectionStatisticsAndTheirRefusal) {
    Site site;
    site.push_image("team/app", "v1", "1");
    const std::string orphan = site.push_blob("nobody needs me");
    const std::string id =
        site.call("POST", "/team/app/blobs/uploads/").header("Docker-Upload-UUID");
    Response r = site.call("POST", "/_gc");
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.body,
              "{\"errors\":[{\"code\":\"GC_REFUSED\",\"message\":\"uploads in progress\"}]}\n");
    site.call("DELETE", "/team/app/blobs/uploads/" + id);

    age_blobs(site.root());  // past the window in which a collection spares what was used
    r = site.call("POST", "/_gc", "dry_run");  // named without a value: a dry run
    EXPECT_NE(r.body.find(
                  "\"dry_run\":true,\"blobs_total\":3,\"blobs_reachable\":2,\"blobs_deleted\":1,"),
              std::string::npos)
        << r.body;
    EXPECT_EQ(site.call("HEAD", "/team/app/blobs/" + orphan).status, 200);
    age_blobs(site.root());  // the look dated it again
    r = site.call("POST", "/_gc", "dry_run=0");
    EXPECT_NE(r.body.find(
                  "\"dry_run\":false,\"blobs_total\":3,\"blobs_reachable\":2,\"blobs_deleted\":1,"),
              std::string::npos)
        << r.body;
    EXPECT_EQ(site.call("HEAD", "/team/app/blobs/" + orphan).status, 404);
    EXPECT_NE(site.call("GET", "/_gc").body.find("\"running\":false,\"phase\":\"done\""),
              std::string::npos);
    EXPECT_NE(site.call("GET", "/_stats").body.find("\"repositories\":1,\"tags\":1,\"blobs\":2,"),
              std::string::npos);

    // The metrics: the store, then the last real collection (a later dry run leaves it).
    EXPECT_EQ(site.call("POST", "/_gc", "dry_run=1").status, 200);
    r = site.call("GET", "/_metrics");
    EXPECT_EQ(r.header("Content-Type"), "text/plain; version=0.0.4");
    std::string values;  // name and value of each sample, the two times left out
    std::istringstream lines(r.body);
    for (std::string line; std::getline(lines, line);)
        if (line[0] != '#' && line.find("_last_start_") == std::string::npos &&
            line.find("_duration_") == std::string::npos)
            values += line + ";";
    EXPECT_EQ(values,
              "qvreg_repositories 1;qvreg_tags 1;qvreg_blobs 2;qvreg_blob_bytes 15;qvreg_uploads 0;"
              "qvreg_upload_bytes 0;qvreg_gc_running 0;qvreg_gc_last_blobs_deleted 1;"
              "qvreg_gc_last_freed_bytes 15;qvreg_gc_last_cancelled 0;qvreg_gc_last_failed 0;");
    const std::string started = "\nqvreg_gc_last_start_timestamp_seconds ";
    const size_t at = r.body.find(started);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(std::stoll(r.body.substr(at + started.size())), std::time(nullptr), 60);
    // Prometheus's own checker takes it as it is.
    write_text(site.dir / "metrics.txt", r.body);
    EXPECT_EQ(
        std::system(("promtool check metrics < " + (site.dir / "metrics.txt") + " >/dev/null 2>&1")
                        .c_str()),
        0)
        << r.body;
}

TEST(RegistryEndpoint, UploadsStopAtTheQuota) {
    Site site;
    write_text(site.dir / "config.json", "{\"registry_quota_bytes\": 10}");
    const std::string six = site.push_blob("123456");
    (void)six;
    // Four more bytes reach the quota exactly; five pass it, in one shot or in a chunk.
    Response r = site.call("POST", "/team/app/blobs/uploads/",
                           "digest=sha256:" + sha256_hex("12345"), "12345");
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body,
              "{\"errors\":[{\"code\":\"DENIED\",\"message\":\"quota exceeded: 6 B of 10 B "
              "used\"}]}\n");
    const std::string id =
        site.call("POST", "/team/app/blobs/uploads/").header("Docker-Upload-UUID");
    const std::string at = "/team/app/blobs/uploads/" + id;
    EXPECT_EQ(site.call("PATCH", at, "", "12").status, 202);
    EXPECT_EQ(code_of(site.call("PATCH", at, "", "345")), "DENIED");
    EXPECT_EQ(site.call("GET", at).status, 404);  // the refused upload is discarded
    // A body file counts for what it holds, whatever CONTENT_LENGTH says, or without one.
    write_text(site.dir / "body", "12345");
    for (const char *length : {"", "2"}) {
        SCOPED_TRACE(std::string("CONTENT_LENGTH=") + length);
        Request from_file{"POST",
                          "/team/app/blobs/uploads/",
                          "digest=sha256:" + sha256_hex("12345"),
                          "",
                          {{"POST_BODY_FILE", site.dir / "body"}}};
        if (length[0] != '\0') from_file.env["CONTENT_LENGTH"] = length;
        EXPECT_EQ(code_of(site.call(from_file)), "DENIED");
        EXPECT_EQ(site.call("HEAD", "/team/app/blobs/sha256:" + sha256_hex("12345")).status, 404);
    }
    EXPECT_EQ(
        site.call("POST", "/team/app/blobs/uploads/", "digest=sha256:" + sha256_hex("1234"), "1234")
            .status,
        201);
    EXPECT_EQ(site.call("GET", "/_stats").body.find("\"active_uploads\":0,") != std::string::npos,
              true);
}

TEST(RegistryEndpoint, AuthenticationGatesEveryRouteRetentionIncluded) {
    Site site;
    write_text(
        site.dir / "config.json",
        "{\"registry_auth_user\": \"ci\", \"registry_auth_sha256\": \"" + sha256_hex("pw") + "\"}");
    const std::string good = "Basic Y2k6cHc=";  // ci:pw
    for (const char *path :
         {"/", "/team/app/tags/list", "/_catalog", "/_gc", "/_stats", "/team/app/blobs/uploads/",
          "/_usage", "/_repository/team/app", "/_retention_preview", "/_ui/index.html"}) {
        for (const char *method : {"GET", "POST", "DELETE"}) {
            SCOPED_TRACE(std::string(method) + " " + path);
            const Response r = site.call(
                Request{method, path, "", "", {{"HTTP_AUTHORIZATION", "Basic Y2k6bm8="}}});
            EXPECT_EQ(r.status, 401);
            EXPECT_EQ(r.header("WWW-Authenticate").rfind("Basic realm=", 0), 0u);
            EXPECT_EQ(code_of(r), "UNAUTHORIZED");
        }
    }
    EXPECT_EQ(site.call(Request{"GET", "/", "", "", {{"HTTP_AUTHORIZATION", good}}}).status, 200);

    const Request retention{"POST", "", "dry_run=1", "", {}};
    EXPECT_EQ(site.call(retention, QV_RETENTION_BIN).status, 401);
    Request allowed = retention;
    allowed.env["HTTP_AUTHORIZATION"] = good;
    const Response r = site.call(allowed, QV_RETENTION_BIN);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.rfind("{\"dry_run\":true,", 0), 0u);
    EXPECT_EQ(site.call(Request{"HEAD", "/", "", "", {{"HTTP_AUTHORIZATION", good}}}).status, 200);
    // The path as sent and the bytes of the body sent: none for HEAD, the envelope for a 401.
    const std::string log = read_text(site.root() + "/registry_access.log");
    EXPECT_NE(log.find("GET /v2/ 3 200 ci "), std::string::npos) << log;
    EXPECT_NE(log.find("HEAD /v2/ 0 200 ci "), std::string::npos) << log;
    EXPECT_NE(log.find("GET /v2/_catalog 73 401 refused:ci "), std::string::npos) << log;
    EXPECT_NE(log.find("POST /v2/_retention 73 401 anonymous "), std::string::npos) << log;
}

namespace {

// An attachment of subject: an artifact with the empty config and one layer (a signature), or,
// without an artifactType, an image typed by its config (an SBOM).
std::string attachment_json(const Site &site, const std::string &subject,
                            const std::string &artifact_type, const std::string &payload) {
    const std::string empty = site.push_blob("{}").substr(7);
    const std::string layer = site.push_blob(payload).substr(7);
    const std::string config =
        artifact_type.empty()
            ? "{\"mediaType\":\"application/vnd.example.sbom\",\"digest\":\"sha256:" + empty +
                  "\",\"size\":2}"
            : "{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"sha256:" + empty +
                  "\",\"size\":2,\"data\":\"e30=\"}";
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\"," +
           (artifact_type.empty() ? "" : "\"artifactType\":\"" + artifact_type + "\",") +
           "\"config\":" + config + ",\"layers\":[" + descriptor(layer) +
           "],\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
           "\"digest\":\"" +
           subject + "\",\"size\":1},\"annotations\":{\"by\":\"" + payload + "\"},\"x-own\":1}";
}

std::string put_by_digest(const Site &site, const std::string &body, Response *r = nullptr) {
    const std::string digest = "sha256:" + sha256_hex(body);
    Request put{"PUT", "/team/app/manifests/" + digest, "", body, {}};
    put.env["CONTENT_TYPE"] = "application/vnd.oci.image.manifest.v1+json";
    const Response answer = site.call(put);
    EXPECT_EQ(answer.status, 201) << answer.body;
    if (r != nullptr) *r = answer;
    return digest;
}

std::string referrers(const Site &site, const std::string &digest, const std::string &query = "") {
    return site.call("GET", "/team/app/referrers/" + digest, query).body;
}

}  // namespace

// Signatures and SBOMs: listed by the referrers route, kept while their image stays, removed
// with it unless a tag keeps one, and their blobs kept by a collection.
TEST(RegistryEndpoint, AttachmentsAreListedAndFollowTheirImage) {
    Site site;
    const std::string image = site.push_image("team/app", "v1", "1");
    const std::string sig_type = "application/vnd.example.sig+json";
    Response put;
    const std::string sig_body = attachment_json(site, image, sig_type, "sig");
    const std::string sig = put_by_digest(site, sig_body, &put);
    EXPECT_EQ(put.header("OCI-Subject"), image);
    const std::string sbom_body = attachment_json(site, image, "", "sbom");
    const std::string sbom = put_by_digest(site, sbom_body);
    const std::string sig_of_sig =
        put_by_digest(site, attachment_json(site, sig, sig_type, "sig2"));
    // A subject this store could never hold is refused, not stored where no one can list it.
    for (const std::string &bad :
         std::vector<std::string>{"nope", "sha256:abc", "sha256:" + std::string(64, 'A')}) {
        const Response r = site.call("PUT", "/team/app/manifests/bad", "",
                                     attachment_json(site, bad, sig_type, "x"));
        EXPECT_EQ(code_of(r), "MANIFEST_INVALID") << bad;
    }
    // Kept as pushed, unknown members and data included.
    EXPECT_EQ(site.call("GET", "/team/app/manifests/" + sig).body, sig_body);

    const auto entry = [](const std::string &digest, size_t size, const std::string &type,
                          const std::string &by) {
        return "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" +
               digest + "\",\"size\":" + std::to_string(size) + ",\"artifactType\":\"" + type +
               "\",\"annotations\":{\"by\":\"" + by + "\"}}";
    };
    const std::string head =
        "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
        "\"manifests\":[";
    const std::string sig_entry = entry(sig, sig_body.size(), sig_type, "sig");
    const std::string sbom_entry =
        entry(sbom, sbom_body.size(), "application/vnd.example.sbom", "sbom");
    EXPECT_EQ(
        referrers(site, image),
        head + (sig < sbom ? sig_entry + "," + sbom_entry : sbom_entry + "," + sig_entry) + "]}\n");
    const Response filtered = site.call("GET", "/team/app/referrers/" + image,
                                        "artifactType=application/vnd.example.sig+json");
    EXPECT_EQ(filtered.header("OCI-Filters-Applied"), "artifactType");
    EXPECT_EQ(filtered.body, head + sig_entry + "]}\n");
    EXPECT_EQ(referrers(site, kNoBlob), head + "]}\n");
    EXPECT_EQ(site.call("GET", "/team/app/referrers/sha256:nope").status, 400);
    EXPECT_EQ(site.call("GET", "/nowhere/referrers/" + image).body, head + "]}\n");

    // An attachment pushed before its image is kept, and listed once the image arrives.
    const std::string later_body =
        image_json(site.push_blob("config 2").substr(7), {site.push_blob("layer 2").substr(7)});
    const std::string later = "sha256:" + sha256_hex(later_body);
    const std::string early = put_by_digest(site, attachment_json(site, later, sig_type, "early"));
    Request tag{"PUT", "/team/app/manifests/v2", "", later_body, {}};
    EXPECT_EQ(site.call(tag).status, 201);
    EXPECT_NE(referrers(site, later).find(early), std::string::npos);

    // Retention that keeps the image keeps a tag naming its SBOM, however old.
    const std::string tags = site.root() + "/repositories/team/app/_manifests/tags/";
    EXPECT_EQ(site.call("PUT", "/team/app/manifests/sbom", "", sbom_body).status, 201);
    set_mtime(tags + "sbom/current/link", kLongAgo);
    Response r = site.call(Request{"POST", "", "keep_n=2", "", {}}, QV_RETENTION_BIN);
    EXPECT_NE(r.body.find("\"tags_deleted\":0,"), std::string::npos) << r.body;

    // A digest deletion takes the image's attachments along, but not one a tag keeps.
    EXPECT_EQ(site.call("DELETE", "/team/app/manifests/" + image).status, 202);
    for (const std::string &gone : {sig, sig_of_sig})
        EXPECT_EQ(site.call("GET", "/team/app/manifests/" + gone).status, 404);
    EXPECT_EQ(site.call("GET", "/team/app/manifests/" + sbom).status, 200);

    // Retention that removes an image's last tag lists what went with it, dry run or not.
    set_mtime(tags + "v2/current/link", kLongAgo - 1);
    const std::string went = "\"tag\":\"v2\",\"digest\":\"" + later + "\",\"age_days\":" +
                             std::to_string((std::time(nullptr) - kLongAgo + 1) / 86400) +
                             ",\"referrers\":[\"" + early + "\"]}";
    for (const char *query : {"keep_n=1&dry_run=1", "keep_n=1"}) {
        r = site.call(Request{"POST", "", query, "", {}}, QV_RETENTION_BIN);
        EXPECT_NE(r.body.find(went), std::string::npos) << r.body;
    }
    EXPECT_EQ(site.call("GET", "/team/app/manifests/" + early).status, 404);
    EXPECT_EQ(site.call("GET", "/team/app/manifests/sbom").status, 200);

    // A collection keeps what every stored manifest, attachments included, references.
    age_blobs(site.root());
    EXPECT_EQ(site.call("POST", "/_gc").status, 200);
    EXPECT_EQ(site.call("HEAD", "/team/app/blobs/sha256:" + sha256_hex("sbom")).status, 200);
    EXPECT_EQ(site.call("HEAD", "/team/app/blobs/sha256:" + sha256_hex("sig")).status, 404);
}

// Two thousand attachments, written straight into the store: every one is listed, the filter
// keeps its half, and the answer is one well-formed index.
TEST(RegistryEndpoint, ReferrersListAnyNumber) {
    Site site;
    const std::string image = "sha256:" + std::string(64, 'a');
    const std::string manifests = site.root() + "/repositories/team/app/_manifests/";
    for (int i = 0; i < 2000; ++i) {
        const std::string body =
            "{\"schemaVersion\":2,\"artifactType\":\"t" + std::to_string(i % 2) +
            "\",\"config\":{\"mediaType\":\"x\",\"digest\":\"sha256:" + std::string(64, 'c') +
            "\",\"size\":2},\"layers\":[],\"subject\":{\"mediaType\":\"x\",\"digest\":\"" + image +
            "\",\"size\":1},\"annotations\":{\"n\":\"" + std::to_string(i) + "\"}}";
        write_text(manifests + sha256_hex(body), body);
    }
    const auto count = [](const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    const std::string all = referrers(site, image);
    EXPECT_EQ(count(all, "\"digest\":"), 2000u);
    EXPECT_EQ(all.substr(all.size() - 4), "}]}\n");
    EXPECT_EQ(count(referrers(site, image, "artifactType=t1"), "\"artifactType\":\"t1\""), 1000u);
}

// A repository whose manifests cannot be listed gets an error, not an empty index: the status
// goes out only once it is known. Root reads any directory, so the program runs as another user.
TEST(RegistryEndpoint, ReferrersThatCannotBeListedAreAnError) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    constexpr int kNobody = 65534;
    Site site;
    const std::string digest = site.push_image("team/app", "v1", "a");
    ASSERT_EQ(::chmod(site.dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(site.dir.path().c_str(), kNobody, kNobody), 0);
    for (const auto &e : std::filesystem::recursive_directory_iterator(site.dir.path()))
        ASSERT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0);
    ChildSetup as_nobody;
    as_nobody.uid = kNobody;
    if (run_child(as_nobody, [] { return ::access(QV_REGISTRY_BIN, X_OK); }).status != 0)
        GTEST_SKIP() << "the program cannot be run by another user from this build directory";
    ASSERT_EQ(::chmod((site.root() + "/repositories/team/app/_manifests").c_str(), 0300), 0);
    const Response r = site.call({"GET", "/team/app/referrers/" + digest, "", "", {}, kNobody});
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(code_of(r), "STORAGE_ERROR");
}

// A tag pushed five times leaves four images untagged: the untagged rule takes them once they
// are old, and the next collection frees their blobs; an index's children and a signature of
// the image that stays stay. A repository left with nothing leaves the catalog, and a whole
// one can be deleted (not the repositories nested below it).
TEST(RegistryEndpoint, MovingTagsAreFreedAndRepositoriesComeAndGo) {
    Site site;
    std::vector<std::string> pushed;
    for (int i = 0; i < 5; ++i)
        pushed.push_back(site.push_image("team/app", "latest", "push " + std::to_string(i)));
    const std::string amd64 = site.push_image("team/app", "amd64", "amd64");
    const std::string arm64 = site.push_image("team/app", "arm64", "arm64");
    const std::string index =
        "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
        "\"manifests\":[{\"digest\":\"" +
        amd64 + "\",\"size\":1},{\"digest\":\"" + arm64 + "\",\"size\":1}]}";
    EXPECT_EQ(site.call("PUT", "/team/app/manifests/multi", "", index).status, 201);
    for (const char *tag : {"amd64", "arm64"})
        EXPECT_EQ(site.call("DELETE", std::string("/team/app/manifests/") + tag).status, 202);
    const std::string signature = put_by_digest(
        site, attachment_json(site, pushed[4], "application/vnd.example.sig", "signature"));
    site.push_image("team/app/cache", "v1", "nested");
    for (const auto &e :
         std::filesystem::recursive_directory_iterator(site.root() + "/repositories"))
        if (e.is_regular_file()) set_mtime(e.path().string(), std::time(nullptr) - 2 * 86400);

    const Response pass =
        site.call(Request{"POST", "", "untagged_days=1", "", {}}, QV_RETENTION_BIN);
    EXPECT_NE(pass.body.find("\"untagged_days\":1,"), std::string::npos) << pass.body;
    EXPECT_NE(pass.body.find("\"tags_deleted\":0,\"tags_kept\":3,\"latest_protected\":0,"
                             "\"manifests_deleted\":4,"),
              std::string::npos)
        << pass.body;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(site.call("GET", "/team/app/manifests/" + pushed[i]).status, 404) << i;
    for (const std::string &kept : {pushed[4], amd64, arm64, signature})
        EXPECT_EQ(site.call("GET", "/team/app/manifests/" + kept).status, 200) << kept;
    EXPECT_NE(referrers(site, pushed[4]).find(signature), std::string::npos);
    age_blobs(site.root());
    EXPECT_NE(site.call("POST", "/_gc", "dry_run=0").body.find("\"blobs_deleted\":8,"),
              std::string::npos);

    EXPECT_EQ(site.call("DELETE", "/team/app/manifests/v1").status, 404);
    site.push_image("gone", "v1", "gone");
    EXPECT_EQ(site.call("DELETE", "/gone/manifests/v1").status, 202);
    EXPECT_EQ(site.call("DELETE", "/_repository/team/app").status, 202);
    EXPECT_EQ(site.call("GET", "/_catalog").body, "{\"repositories\":[\"team/app/cache\"]}\n");
    EXPECT_EQ(site.call("GET", "/team/app/manifests/latest").status, 404);
    EXPECT_EQ(code_of(site.call("DELETE", "/_repository/team/app")), "NAME_UNKNOWN");
    EXPECT_EQ(site.call("GET", "/team/app/cache/manifests/v1").status, 200);
}

// Configured rules run when a pass names no parameter, and say the same in the dry run, the
// preview and the real pass; immutable tags hold at every route that could take them; rules
// that cannot be used fail, naming rule and key.
TEST(RegistryEndpoint, ConfiguredRulesAndImmutableTags) {
    Site site;
    const std::string config =
        R"({"registry_retention_policies":[)"
        R"({"repositories":"team/**","keep_n":3,"keep_tags":"^v\\d+\\.\\d+\\.\\d+$",)"
        R"("keep_pulled_days":30},)"
        R"({"repositories":"sandbox/*","keep_days":7}],)"
        R"("registry_immutable_tags":[{"repositories":"team/**","tags":"v\\d+\\.\\d+\\.\\d+"}]})";
    write_text(site.dir / "config.json", config);
    const StoreLayout store(site.root());
    const int64_t now = std::time(nullptr);
    const std::map<std::string, int> ages = {{"v1.0.0", 90}, {"main-1", 20}, {"main-2", 10},
                                             {"main-3", 30}, {"main-4", 40}, {"main-5", 50},
                                             {"prod", 60}};
    std::map<std::string, std::string> digest;
    for (const auto &[tag, days] : ages) {
        digest[tag] = site.push_image("team/app", tag, tag);
        set_mtime(store.tag_link("team/app", tag), now - days * 86400);
    }
    site.push_image("sandbox/x", "a", "a");
    set_mtime(store.tag_link("sandbox/x", "a"), now - 10 * 86400);
    EXPECT_EQ(site.call("HEAD", "/team/app/manifests/prod").status, 200);  // no pull
    EXPECT_EQ(site.call("GET", "/_repository/team/app").body.find("\"pulled\":1"),
              std::string::npos);
    EXPECT_EQ(site.call("GET", "/team/app/manifests/prod").status, 200);

    const auto image = [&](const std::string &seed) {  // as push_image writes it
        return image_json(site.push_blob("config " + seed).substr(7),
                          {site.push_blob("layer " + seed).substr(7)});
    };
    const Response denied = site.call("PUT", "/team/app/manifests/v1.0.0", "", image("other"));
    EXPECT_EQ(denied.status, 409);
    EXPECT_NE(denied.body.find("\"code\":\"DENIED\",\"message\":\"tag v1.0.0 is immutable\""),
              std::string::npos)
        << denied.body;
    for (const std::string &path :
         {std::string("/team/app/manifests/v1.0.0"), "/team/app/manifests/" + digest["v1.0.0"],
          std::string("/_repository/team/app")})
        EXPECT_EQ(site.call("DELETE", path).status, 409) << path;
    EXPECT_EQ(site.call("PUT", "/team/app/manifests/v1.0.0", "", image("v1.0.0")).status, 201);
    const std::string repo = site.call("GET", "/_repository/team/app").body;
    EXPECT_NE(repo.find("\"tag\":\"v1.0.0\",\"digest\":\"" + digest["v1.0.0"]), std::string::npos);
    const size_t prod = repo.find("\"pulled\":", repo.find("\"tag\":\"prod\"")) + 9;
    EXPECT_GE(std::atoll(repo.c_str() + prod), now) << repo;
    EXPECT_NE(repo.find("\"pulled\":null,\"immutable\":true"), std::string::npos) << repo;

    // main-2, main-1 and main-3 stay (the newest three), prod (pulled), v1.0.0 (its pattern).
    const std::string deleted =
        "\"deleted\":[{\"repository\":\"sandbox/x\",\"tag\":\"a\",\"digest\":\"";
    const Response dry = site.call(Request{"POST", "", "dry_run=1", "", {}}, QV_RETENTION_BIN);
    EXPECT_NE(dry.body.find("{\"dry_run\":true,\"rules\":[{\"rule\":0,\"repositories\":[\"team/"
                            "**\"],\"repos_scanned\":1,\"tags_total\":7,\"tags_deleted\":2,"),
              std::string::npos)
        << dry.body;
    const std::string tail =
        "\"age_days\":10,\"rule\":1},{\"repository\":\"team/app\",\"tag\":"
        "\"main-4\",\"digest\":\"" +
        digest["main-4"] +
        "\",\"age_days\":40,\"rule\":0},{\"repository\":\"team/app\","
        "\"tag\":\"main-5\",\"digest\":\"" +
        digest["main-5"] + "\",\"age_days\":50,\"rule\":0}]";
    EXPECT_NE(dry.body.find(deleted), std::string::npos) << dry.body;
    EXPECT_NE(dry.body.find(tail), std::string::npos) << dry.body;
    const Response preview = site.call("GET", "/_retention_preview");
    EXPECT_NE(preview.body.find(tail), std::string::npos) << preview.body;
    EXPECT_NE(preview.body.find("\"blobs_freed\":6,"), std::string::npos) << preview.body;
    EXPECT_NE(preview.body.find("\"rules\":[{\"rule\":0,\"blobs_freed\":4,"), std::string::npos)
        << preview.body;
    // The seed's parameters run over the whole store, as ever.
    EXPECT_NE(site.call(Request{"POST", "", "dry_run=1&keep_n=3", "", {}}, QV_RETENTION_BIN)
                  .body.find("{\"dry_run\":true,\"keep_n\":3,"),
              std::string::npos);
    const Response real = site.call(Request{"POST", "", "", "", {}}, QV_RETENTION_BIN);
    EXPECT_NE(real.body.find(tail), std::string::npos) << real.body;
    EXPECT_EQ(site.call("GET", "/team/app/tags/list").body,
              "{\"name\":\"team/app\",\"tags\":[\"main-1\",\"main-2\",\"main-3\",\"prod\","
              "\"v1.0.0\"]}\n");

    const std::vector<std::pair<std::string, std::string>> unusable = {
        {R"({"registry_retention_policies":[{"repositories":"a","keep_last":1}]})",
         "config.json: retention rule 0: unknown key \\\"keep_last\\\""},
        {R"({"registry_retention_policies":[{"repositories":"a","keep_tags":"(v"}]})",
         "config.json: retention rule 0: keep_tags: missing ): (v"},
        {R"({"registry_retention_policies":[{"repositories":"a"}],)", "config.json does not parse"},
    };
    for (const auto &[text, why] : unusable) {
        write_text(site.dir / "config.json", text);
        for (const Response &r :
             {site.call(Request{"POST", "", "dry_run=1", "", {}}, QV_RETENTION_BIN),
              site.call("GET", "/_retention_preview")}) {
            EXPECT_EQ(r.status, 500) << text;
            EXPECT_NE(r.body.find("\"code\":\"CONFIG_INVALID\""), std::string::npos) << r.body;
            EXPECT_NE(r.body.find(why), std::string::npos) << r.body;
        }
    }
    write_text(site.dir / "config.json", R"({"registry_immutable_tags":[{"repositories":"**"}]})");
    const Response closed = site.call("DELETE", "/team/app/manifests/main-2");
    EXPECT_EQ(closed.status, 500);
    EXPECT_NE(closed.body.find("immutable tags 0: tags: required"), std::string::npos)
        << closed.body;
}

// Users of a users file and their rights, table-driven at the program's boundary: what each
// may do on which repository, anonymous requests, wrong and unknown credentials, a hash of a
// kind not accepted, a user taken out of the file, uploads of another repository or user.
TEST(RegistryEndpoint, UsersMayDoWhatTheirRightsSay) {
    Site site;
    site.push_image("team/app", "v1", "app");
    site.push_image("public/lib", "v1", "lib");
    const std::string hidden = site.push_image("private/x", "v1", "x");
    const std::string layer = "sha256:" + sha256_hex("layer x");
    const std::string team_layer = "sha256:" + sha256_hex("layer app");
    const std::string lib_layer = "sha256:" + sha256_hex("layer lib");
    std::string users;
    for (const char *u : {"alice", "bob", "carol", "erin", "dave"})
        users += std::string(u) + ":" + qv::frontend::bcrypt_hash(std::string(u) + "-pw") + "\n";
    users += "mallory:{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=\n";
    users += "anonymous:" + qv::frontend::bcrypt_hash("anonymous-pw") + "\n";
    write_text(site.dir / "users", users);
    write_text(site.dir / "config.json", R"({"registry_users_file": "users",
        "registry_access": [
          {"repositories": "team/**", "users": ["alice", "erin"], "actions": ["pull", "push"]},
          {"repositories": "team/**", "users": "*", "actions": ["pull"]},
          {"repositories": "team/app", "users": ["carol"], "actions": ["delete"]},
          {"repositories": "public/**", "users": "anonymous", "actions": ["pull"]}],
        "registry_admins": ["carol"]})");
    const auto as = [&](const std::string &who, const std::string &method, const std::string &path,
                        const std::string &query = "") {
        Request q{method, path, query, "", {}};
        if (who == "wrong")
            q.env["HTTP_AUTHORIZATION"] = basic("alice", "nope");
        else if (who == "named anonymous")
            q.env["HTTP_AUTHORIZATION"] = basic("anonymous", "anonymous-pw");
        else if (who == "x y")
            q.env["HTTP_AUTHORIZATION"] = basic("x y\x7f", "pw");
        else if (who != "anonymous")
            q.env["HTTP_AUTHORIZATION"] = basic(who, who + "-pw");
        return site.call(q);
    };
    struct Case {
        const char *who;
        const char *method;
        std::string path;
        std::string query;
        int status;
    };
    const std::vector<Case> cases = {
        {"anonymous", "GET", "/public/lib/manifests/v1", "", 200},
        {"anonymous", "GET", "/team/app/manifests/v1", "", 401},
        {"anonymous", "GET", "/", "", 401},
        {"anonymous", "GET", "/_health", "", 200},
        {"anonymous", "POST", "/public/lib/blobs/uploads/", "", 401},
        {"anonymous", "GET", "/public/lib/blobs/" + team_layer, "", 404},
        {"anonymous", "HEAD", "/public/lib/blobs/" + lib_layer, "", 200},
        {"bob", "GET", "/public/lib/manifests/v1", "", 200},
        {"bob", "GET", "/team/other/blobs/" + team_layer, "", 404},
        {"bob", "GET", "/team/app/blobs/" + team_layer, "", 200},
        {"alice", "POST", "/team/new/blobs/uploads/", "mount=" + layer, 202},
        {"named anonymous", "GET", "/", "", 401},
        {"x y", "GET", "/", "", 401},
        {"bob", "GET", "/", "", 200},
        {"bob", "GET", "/team/app/manifests/v1", "", 200},
        {"bob", "GET", "/private/x/manifests/v1", "", 403},
        {"bob", "POST", "/team/app/blobs/uploads/", "", 403},
        {"bob", "DELETE", "/team/app/manifests/v1", "", 403},
        {"bob", "GET", "/_usage", "", 403},
        {"alice", "POST", "/team/app/blobs/uploads/", "", 202},
        {"alice", "POST", "/public/lib/blobs/uploads/", "", 403},
        {"alice", "POST", "/team/app/blobs/uploads/", "mount=" + layer + "&from=private/x", 403},
        {"alice", "DELETE", "/team/app/manifests/v1", "", 403},
        {"alice", "GET", "/_gc", "", 403},
        {"carol", "GET", "/_usage", "", 200},
        {"wrong", "GET", "/team/app/manifests/v1", "", 401},
        {"zed", "GET", "/", "", 401},
        {"mallory", "GET", "/", "", 401},
        {"dave", "GET", "/team/app/tags/list", "", 200},
    };
    for (const Case &c : cases) {
        const Response r = as(c.who, c.method, c.path, c.query);
        EXPECT_EQ(r.status, c.status) << c.who << " " << c.method << " " << c.path << " " << r.body;
        if (c.status == 401) {
            EXPECT_NE(r.header("WWW-Authenticate"), "");
        }
    }
    EXPECT_NE(as("bob", "POST", "/team/app/blobs/uploads/").body.find("bob may not push team/app"),
              std::string::npos);
    const Response page = as("anonymous", "GET", "/_catalog", "n=1");
    EXPECT_EQ(page.body, "{\"repositories\":[\"public/lib\"]}\n");
    EXPECT_EQ(page.header("Link"), "");  // what follows is not the caller's to see
    EXPECT_EQ(as("bob", "GET", "/_catalog").body,
              "{\"repositories\":[\"public/lib\",\"team/app\"]}\n");
    EXPECT_EQ(as("carol", "DELETE", "/private/x/manifests/" + hidden).status, 403);
    const std::string log = read_text(site.root() + "/registry_access.log");
    EXPECT_NE(log.find("GET /v2/team/app/manifests/v1 73 401 refused:alice "), std::string::npos);
    EXPECT_NE(log.find("GET /v2/ 73 401 refused:mallory "), std::string::npos);
    EXPECT_NE(log.find("GET /v2/ 73 401 refused:x%20y%7f "), std::string::npos) << log;

    // An upload goes on only through its own repository and for its own user.
    const std::string id =
        as("alice", "POST", "/team/app/blobs/uploads/").header("Docker-Upload-UUID");
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(as("alice", "GET", "/team/other/blobs/uploads/" + id).status, 404);
    EXPECT_EQ(as("erin", "PATCH", "/team/app/blobs/uploads/" + id).status, 403);
    EXPECT_EQ(as("erin", "DELETE", "/team/app/blobs/uploads/" + id).status, 403);
    EXPECT_EQ(as("alice", "GET", "/team/app/blobs/uploads/" + id).status, 204);
    EXPECT_EQ(as("carol", "DELETE", "/team/app/manifests/v1").status, 202);

    // A user taken out of the file is out at once; a file that cannot be read opens nothing.
    write_text(site.dir / "users", users.substr(0, users.find("dave:")));
    EXPECT_EQ(as("dave", "GET", "/team/app/tags/list").status, 401);
    std::filesystem::remove(site.dir / "users");
    std::filesystem::create_directory(site.dir / "users");
    const Response unreadable = as("alice", "GET", "/team/app/tags/list");
    EXPECT_EQ(unreadable.status, 503);
    EXPECT_EQ(unreadable.body.find("users\""), std::string::npos) << unreadable.body;
    EXPECT_EQ(as("anonymous", "GET", "/public/lib/manifests/v1").status, 200);
}

// Edits of the users file while requests are checked: each reader sees the old file or the
// new one, never a part, and a wrong password never passes.
TEST(RegistryEndpoint, UsersFileEditsNeverOpenTheGate) {
    Site site;
    site.push_image("team/app", "v1", "app");
    const std::string alice = "alice:" + qv::frontend::bcrypt_hash("a-pw") + "\n";
    write_text(site.dir / "users", alice);
    write_text(site.dir / "config.json", R"({"registry_users_file": "users"})");
    std::atomic<bool> stop{false};
    std::thread editor([&] {
        for (int i = 0; !stop; ++i) {
            const std::string next = site.dir / "users.next";
            write_text(next,
                       i % 2 == 0 ? alice + "bob:$2b$10$" + std::string(53, 'x') + "\n" : alice);
            std::filesystem::rename(next, site.dir / "users");
        }
    });
    for (int i = 0; i < 15; ++i) {
        Request right{"GET", "/team/app/tags/list", "", "", {}};
        right.env["HTTP_AUTHORIZATION"] = basic("alice", "a-pw");
        Request wrong = right;
        wrong.env["HTTP_AUTHORIZATION"] = basic("alice", "a-pX");
        EXPECT_EQ(site.call(right).status, 200);
        EXPECT_EQ(site.call(wrong).status, 401);
    }
    stop = true;
    editor.join();
}

// Only an explicit yes repairs: a "no", an empty value or a misspelt one only looks.
TEST(RegistryEndpoint, OnlyAnExplicitYesRepairs) {
    Site site;
    site.push_image("team/app", "v1", "a");
    const std::string blob = blob_path(site.root(), sha256_hex("layer a"));
    for (const char *query : {"", "repair", "repair=", "repair=no", "repair=off", "repair=0",
                              "repair=false", "repair=2", "repair=yess"}) {
        write_text(blob, "");
        EXPECT_NE(site.call("POST", "/_fsck", query).body.find("{\"repair\":false,"),
                  std::string::npos)
            << query;
        EXPECT_TRUE(exists(blob)) << query;
    }
    for (const char *query : {"repair=1", "repair=true", "repair=Yes", "repair=ON"}) {
        write_text(blob, "");
        EXPECT_NE(site.call("POST", "/_fsck", query).body.find("{\"repair\":true,"),
                  std::string::npos)
            << query;
        EXPECT_FALSE(exists(blob)) << query;
    }
}

// Where the server says it sends blob files from that directory, a whole blob is handed over
// by path; a range, a blob outside it, or the operator's setting keep the program streaming.
TEST(RegistryEndpoint, WholeBlobsAreHandedToTheServerToSend) {
    Site site;
    const std::string digest = site.push_blob("0123456789");
    const std::string blobs = site.root() + "/blobs/sha256";
    Request get{"GET", "/team/app/blobs/" + digest, "", "", {{"REGISTRY_SENDFILE_ROOT", blobs}}};
    Response r = site.call(get);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("X-Sendfile"), blob_path(site.root(), digest.substr(7)));
    EXPECT_EQ(r.header("Docker-Content-Digest"), digest);
    EXPECT_EQ(r.body, "");

    const auto streamed = [&](const std::string &range, const std::string &body) {
        if (!range.empty()) get.env["HTTP_RANGE"] = range;
        const Response s = site.call(get);
        get.env.erase("HTTP_RANGE");
        EXPECT_EQ(s.header("X-Sendfile"), "");
        EXPECT_EQ(s.body, body);
    };
    streamed("bytes=2-4", "234");
    get.env["REGISTRY_SENDFILE_ROOT"] = site.root() + "/blobs/sha25";
    streamed("", "0123456789");
    get.env["REGISTRY_SENDFILE_ROOT"] = blobs;
    write_text(site.dir / "config.json", "{\"registry_stream_blobs\": 1}");
    streamed("", "0123456789");
    std::filesystem::remove(site.dir / "config.json");

    // A "%" in the path would reach the server decoded, naming another file: streamed.
    const std::string odd = site.dir / "p%41";
    Request push{"POST", "/team/app/blobs/uploads/", "digest=" + digest, "0123456789", {}};
    push.env["REGISTRY_STORAGE_ROOT"] = odd;
    EXPECT_EQ(site.call(push).status, 201);
    get.env["REGISTRY_STORAGE_ROOT"] = odd;
    get.env["REGISTRY_SENDFILE_ROOT"] = odd + "/blobs/sha256";
    streamed("", "0123456789");
}

// A retention pass that removes an attachment by its own tag and then its subject by another
// reports the attachment once, under its own tag.
TEST(RegistryEndpoint, AnAttachmentGoneWithItsOwnTagIsReportedOnce) {
    Site site;
    const std::string image = site.push_image("team/app", "a", "1");
    const std::string sig_body = attachment_json(site, image, "application/vnd.example.sig", "s");
    EXPECT_EQ(site.call("PUT", "/team/app/manifests/sig", "", sig_body).status, 201);
    site.push_image("team/app", "x", "2");
    const std::string tags = site.root() + "/repositories/team/app/_manifests/tags/";
    set_mtime(tags + "a/current/link", kLongAgo);
    set_mtime(tags + "sig/current/link", kLongAgo + 1);
    set_mtime(tags + "x/current/link", kLongAgo + 2);  // goes first: the pass reads the graph
    const Response r = site.call(Request{"POST", "", "days=1", "", {}}, QV_RETENTION_BIN);
    const std::string sig = "sha256:" + sha256_hex(sig_body);
    EXPECT_EQ(r.body.find(sig), r.body.rfind(sig)) << r.body;
    EXPECT_NE(r.body.find("\"tags_deleted\":3,"), std::string::npos) << r.body;
}

// The operator's page reads these: what each repository holds and alone holds, a repository's
// tags in detail, and a retention preview whose list is the pass's and whose bytes are what the
// collection after the pass frees.
TEST(RegistryEndpoint, OperatorRoutesAgreeWithThePassAndTheCollection) {
    Site site;
    const auto put = [&](const std::string &repo, const std::string &tag, const std::string &config,
                         const std::string &layer, int64_t pushed) {
        const std::string body =
            image_json(site.push_blob(config).substr(7), {site.push_blob(layer).substr(7)});
        EXPECT_EQ(site.call("PUT", "/" + repo + "/manifests/" + tag, "", body).status, 201);
        set_mtime(
            site.root() + "/repositories/" + repo + "/_manifests/tags/" + tag + "/current/link",
            pushed);
        return "sha256:" + sha256_hex(body);
    };
    const std::string v1 = put("team/app", "v1", "config one", "layer one", kLongAgo);
    const std::string v2 = put("team/app", "v2", "config two", "layer two", kLongAgo + 10);
    put("team/app", "latest", "config two", "layer two", kLongAgo + 20);
    put("other", "1.0", "config one", "layer other", kLongAgo);

    const std::string usage = site.call("GET", "/_usage").body;
    EXPECT_NE(usage.find("{\"repositories\":[{\"name\":\"team/app\",\"tags\":3,\"manifests\":2,"
                         "\"bytes\":38,\"exclusive_bytes\":28,\"untagged\":0,\"untagged_bytes\":0},"
                         "{\"name\":\"other\",\"tags\":1,\"manifests\":1,\"bytes\":21,"
                         "\"exclusive_bytes\":11,\"untagged\":0,\"untagged_bytes\":0}],"
                         "\"retention\":"),
              std::string::npos)
        << usage;
    const std::string repo = site.call("GET", "/_repository/team/app").body;
    const size_t latest =
        repo.find("{\"tag\":\"latest\",\"digest\":\"" + v2 + "\",\"pushed\":1000000020,");
    const size_t old =
        repo.find("{\"tag\":\"v1\",\"digest\":\"" + v1 + "\",\"pushed\":1000000000,");
    EXPECT_LT(latest, repo.find("{\"tag\":\"v2\"")) << repo;
    EXPECT_LT(repo.find("{\"tag\":\"v2\""), old) << repo;
    EXPECT_NE(repo.find("\"also_tagged\":[\"v2\"],\"platforms\":[],\"size\":2,"),
              std::string::npos);
    EXPECT_EQ(code_of(site.call("GET", "/_repository/none")), "NAME_UNKNOWN");

    const std::string query = "keep_n=1&include_latest=1";
    const std::string preview = site.call("GET", "/_retention_preview", query).body;
    EXPECT_NE(preview.find("\"truncated\":false,\"blobs_freed\":1,\"bytes_freed\":9}"),
              std::string::npos)
        << preview;
    const Response pass = site.call(Request{"POST", "", query, "", {}}, QV_RETENTION_BIN);
    const auto deleted = [](const std::string &report) {
        return report.substr(report.find("\"deleted\":"),
                             report.find("]}") - report.find("\"deleted\":"));
    };
    EXPECT_EQ(deleted(preview), deleted(pass.body));
    EXPECT_NE(pass.body.find("\"tags_deleted\":2,"), std::string::npos) << pass.body;
    age_blobs(site.root());
    const std::string gc = site.call("POST", "/_gc", "dry_run=0").body;
    EXPECT_NE(gc.find("\"blobs_deleted\":1,\"bytes_freed\":9,"), std::string::npos) << gc;
}

// The page's files come from web/ and nowhere else; a browser's request made on another site's
// behalf cannot change the store with the operator's credentials.
TEST(RegistryEndpoint, ThePageIsServedAndCrossSiteWritesRefused) {
    Site site;
    write_text(site.dir / "web/index.html", "<!doctype html>");
    write_text(site.dir / "web/app.js", "export {};");
    write_text(site.dir / "config.json", "{}");
    const Response page = site.call("GET", "/_ui/index.html");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, "<!doctype html>");
    EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(page.header("Content-Security-Policy"), "default-src 'self'; frame-ancestors 'none'");
    EXPECT_EQ(site.call("GET", "/_ui/app.js").header("Content-Type"),
              "text/javascript; charset=utf-8");
    for (const char *path : {"/_ui/../config.json", "/_ui/..%2fconfig.json", "/_ui/.app.js",
                             "/_ui/app.js.map", "/_ui/web/app.js", "/_ui/none.js", "/_ui/x.json"})
        EXPECT_EQ(site.call("GET", path).status, 404) << path;
    EXPECT_EQ(site.call("POST", "/_ui/index.html").status, 405);

    struct Case {
        const char *method;
        const char *path;
        std::map<std::string, std::string> headers;
        int status;
    };
    const Case cases[] = {
        {"POST", "/_gc", {{"HTTP_ORIGIN", "http://elsewhere.example"}}, 403},
        {"POST", "/_gc", {{"HTTP_ORIGIN", "null"}}, 403},
        {"DELETE", "/app/manifests/v1", {{"HTTP_SEC_FETCH_SITE", "cross-site"}}, 403},
        {"POST", "", {{"HTTP_SEC_FETCH_SITE", "same-site"}}, 403},  // the retention program
        {"POST", "/_gc", {{"HTTP_ORIGIN", "http://reg:5000"}, {"HTTP_HOST", "reg:5000"}}, 200},
        {"GET", "/_gc", {{"HTTP_ORIGIN", "http://elsewhere.example"}}, 200},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        const Response r = site.call(Request{c.method, c.path, "dry_run=1", "", c.headers},
                                     *c.path ? QV_REGISTRY_BIN : QV_RETENTION_BIN);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(code_of(r), c.status == 403 ? "DENIED" : "");
    }
}

// Past the pass report's 500 entries the preview still counts every tag that goes; a
// repository report stays bounded however many tags name one manifest; a damaged body stops
// the figures as it stops the collection. Before, the preview promised half of what went,
// and 3,000 tags on one manifest made a 69 MB report that failed.
TEST(RegistryEndpoint, OperatorReportsHoldPastTheirCaps) {
    Site site;
    ASSERT_EQ(std::system((std::string(QV_STOREGEN_BIN) +
                           " --quiet --distinct --repos 2 --tags 300 --root " + site.root())
                              .c_str()),
              0);
    const auto number = [](const std::string &text, const std::string &key) {
        const size_t at = text.find("\"" + key + "\":");
        long long n = -1;
        if (at != std::string::npos)
            std::from_chars(text.data() + at + key.size() + 3, text.data() + text.size(), n);
        return n;
    };
    const std::string preview = site.call("GET", "/_retention_preview", "keep_n=1").body;
    EXPECT_NE(preview.find("\"truncated\":true,"), std::string::npos) << preview.substr(0, 300);
    EXPECT_EQ(number(site.call(Request{"POST", "", "keep_n=1", "", {}}, QV_RETENTION_BIN).body,
                     "tags_deleted"),
              598);
    age_blobs(site.root());
    const std::string gc = site.call("POST", "/_gc", "dry_run=0").body;
    EXPECT_EQ(number(preview, "blobs_freed"), number(gc, "blobs_deleted")) << gc;
    EXPECT_EQ(number(preview, "bytes_freed"), number(gc, "bytes_freed")) << gc;

    const std::string tags = site.root() + "/repositories/repo0/_manifests/tags/";
    const std::string link = read_text(tags + "v0/current/link");
    for (int i = 0; i < 3000; ++i)
        write_text(tags + "t" + std::to_string(i) + "/current/link", link);
    const Response repo = site.call("GET", "/_repository/repo0");
    EXPECT_EQ(repo.status, 200);
    EXPECT_EQ(number(repo.body, "tags_total"), 3001);
    EXPECT_EQ(number(repo.body, "also_tagged_total"), 3000);
    EXPECT_LT(repo.body.size(), 400000u);

    write_text(site.root() + "/repositories/repo0/_manifests/" + link.substr(7), "damaged");
    for (const char *path : {"/_usage", "/_retention_preview"}) {
        const Response r = site.call("GET", path);
        EXPECT_EQ(r.status, 500) << path;
        EXPECT_NE(r.body.find("damaged manifest body"), std::string::npos) << r.body;
    }
}
