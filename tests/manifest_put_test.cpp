// Manifest upload: validation, reference checks and the files written, on real storage trees.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "support/child.h"
#include "support/store_layout.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

constexpr const char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
constexpr const char kOciIndex[] = "application/vnd.oci.image.index.v1+json";

std::string sha_hex(const std::string &bytes) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    uint8_t out[32];
    sha256_final(&ctx, out);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : out) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

std::string image(const std::string &config, const std::vector<std::string> &layers,
                  const std::string &media_type = kOciManifest) {
    std::string body = "{\"schemaVersion\":2,\"mediaType\":\"" + media_type +
                       "\",\"config\":{\"mediaType\":\"c\",\"digest\":\"" + config +
                       "\",\"size\":1},\"layers\":[";
    for (size_t i = 0; i < layers.size(); ++i) {
        body += (i ? "," : "") + std::string("{\"digest\":\"") + layers[i] + "\",\"size\":1}";
    }
    return body + "]}";
}

std::string index_of(const std::vector<std::string> &children) {
    std::string body =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciIndex) + "\",\"manifests\":[";
    for (size_t i = 0; i < children.size(); ++i) {
        body += (i ? "," : "") + std::string("{\"digest\":\"") + children[i] + "\"}";
    }
    return body + "]}";
}

// A tree_listing text from its lines, with "<hex>" standing for the manifest's hex.
std::string listing(std::vector<std::string> lines, const std::string &hex) {
    std::string out;
    for (std::string &line : lines) {
        const size_t at = line.find("<hex>");
        if (at != std::string::npos) line.replace(at, 5, hex);
        out += line + "\n";
    }
    return out;
}

class ManifestPut : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
        config = blob("config");
        layer0 = blob("layer 0");
        layer1 = blob("layer 1");
    }
    void TearDown() override { reg_storage_cleanup(); }

    // Writes a blob file straight into the store; its digest.
    std::string blob(const std::string &content) {
        const std::string hex = sha_hex(content);
        write_text(root + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex, content);
        return "sha256:" + hex;
    }
    // "ok <digest>" or "ERROR: <message>"; a failure must leave the output buffer alone.
    std::string put(const std::string &repo, const std::string &ref, const std::string &body,
                    const char *content_type = nullptr) {
        char out[72] = "untouched";
        const int rc = reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(),
                                        content_type, out);
        if (rc == 0) return std::string("ok ") + out;
        return "ERROR: " + std::string(reg_storage_last_error()) +
               (std::string(out) == "untouched" ? "" : " (output written)");
    }
    // A refused put, checked to have written nothing anywhere.
    std::string refused(const std::string &repo, const std::string &ref, const std::string &body) {
        const std::string before = tree_listing(t.path());
        const std::string result = put(repo, ref, body);
        EXPECT_EQ(tree_listing(t.path()), before) << repo << " " << ref;
        return result;
    }

    TempDir t;
    std::string root = t / "store";
    StoreLayout store{root};
    std::string config, layer0, layer1;
};

TEST_F(ManifestPut, ValidationMessagesInOrder) {
    const std::string good = image(config, {layer0});
    const std::string missing = "sha256:" + sha_hex("not stored");
    const std::string upper = "sha256:" + std::string(64, 'A');
    char out[72];
    const char *body = good.c_str();

    EXPECT_EQ(reg_manifest_put(nullptr, "v1", body, good.size(), nullptr, out), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    EXPECT_EQ(reg_manifest_put("app", nullptr, body, good.size(), nullptr, out), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    EXPECT_EQ(reg_manifest_put("app", "v1", nullptr, 0, nullptr, out), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    EXPECT_EQ(reg_manifest_put("app", "v1", body, good.size(), nullptr, nullptr), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    reg_storage_cleanup();
    EXPECT_EQ(refused("bad..name", "", ""), "ERROR: not initialized - call reg_storage_init first");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);

    const struct {
        std::string repo, ref, body, expected;
    } cases[] = {
        {"", "v1", good, "invalid repository name: "},
        {"a..b", "", "", "invalid repository name: a..b"},
        {"a b", "v1", good, "invalid repository name: a b"},
        {"app", "", "", "empty reference"},
        {"app", "bad/tag", "", "TAG_INVALID: bad/tag"},
        {"app", "v1", "", "manifest JSON parse failed"},
        {"app", "v1", "{\"config\":", "manifest JSON parse failed"},
        {"app", "v1", "{} x", "manifest JSON parse failed"},
        {"app", "v1", "[1]", "manifest must be a JSON object"},
        {"app", "v1", "\"text\"", "manifest must be a JSON object"},
        {"app", "v1", "{}", "manifest missing valid config.digest"},
        // Index: first the array, then each entry's digest, then each child.
        {"app", "v1", "{\"manifests\":{}}", "manifest \"manifests\" must be an array"},
        {"app", "v1", "{\"manifests\":[]}", "manifest index must reference at least 1 manifest"},
        {"app", "v1", "{\"manifests\":[{\"digest\":\"" + missing + "\"},{\"size\":1}]}",
         "BLOB_UNKNOWN: " + missing},
        {"app", "v1", "{\"manifests\":[{\"digest\":\"" + config + "\"},{\"size\":1}]}",
         "BLOB_UNKNOWN: " + config},  // a blob is no manifest
        {"app", "v1", "{\"manifests\":[1]}", "manifest index entry 0 missing valid digest"},
        {"app", "v1", "{\"manifests\":[{\"digest\":\"" + upper + "\"}]}",
         "manifest index entry 0 missing valid digest"},
        // Image: config, its blob, then the layers one by one.
        {"app", "v1", "{\"layers\":[]}", "manifest missing valid config.digest"},
        {"app", "v1", "{\"config\":{}}", "manifest missing valid config.digest"},
        {"app", "v1", "{\"config\":\"" + config + "\"}", "manifest missing valid config.digest"},
        {"app", "v1", "{\"config\":{\"digest\":7}}", "manifest missing valid config.digest"},
        {"app", "v1", image("sha256:" + sha_hex("config").substr(0, 63) + "X", {}),
         "manifest missing valid config.digest"},
        {"app", "v1", image(upper, {}), "manifest missing valid config.digest"},
        // A NUL inside the string does not make the text before it a digest.
        {"app", "v1", "{\"config\":{\"digest\":\"" + config + "\\u0000\"}}",
         "manifest missing valid config.digest"},
        {"app", "v1", image(missing, {layer0}), "BLOB_UNKNOWN: " + missing},
        {"app", "v1", "{\"config\":{\"digest\":\"" + config + "\"},\"layers\":{}}",
         "manifest layers must be an array"},
        {"app", "v1",
         "{\"config\":{\"digest\":\"" + config + "\"},\"layers\":[{\"digest\":\"" + layer0 +
             "\"},{\"digest\":\"" + layer0 + "\\n\"}]}",
         "manifest layer 1 missing valid digest"},
        {"app", "v1", image(config, {layer0, layer1, missing}), "BLOB_UNKNOWN: " + missing},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(refused(c.repo, c.ref, c.body), "ERROR: " + c.expected) << c.body;
    }
}

TEST_F(ManifestPut, ImageManifestWritesExactlyItsFiles) {
    const std::string body = image(config, {layer0, layer1});
    const std::string hex = sha_hex(body);
    ASSERT_EQ(put("team/app", "latest", body), "ok sha256:" + hex);

    EXPECT_EQ(read_text(store.body_path("team/app", hex)), body);
    EXPECT_EQ(read_text(store.ct_path("team/app", hex)), kOciManifest);
    EXPECT_EQ(read_text(store.rev_link("team/app", hex)), "sha256:" + hex);
    EXPECT_EQ(read_text(store.tag_link("team/app", "latest")), "sha256:" + hex);
    EXPECT_EQ(
        tree_listing(root + "/repositories"),
        listing(
            {"team/", "team/app/", "team/app/_manifests/", "team/app/_manifests/<hex>",
             "team/app/_manifests/<hex>.ct", "team/app/_manifests/revisions/",
             "team/app/_manifests/revisions/sha256/", "team/app/_manifests/revisions/sha256/<hex>/",
             "team/app/_manifests/revisions/sha256/<hex>/link", "team/app/_manifests/tags/",
             "team/app/_manifests/tags/latest/", "team/app/_manifests/tags/latest/current/",
             "team/app/_manifests/tags/latest/current/link"},
            hex));

    // Read back through the resolver, by tag and by digest.
    char type[127] = "";
    char digest[72] = "";
    const char *got = reg_manifest_get("team/app", "latest", type, digest);
    ASSERT_NE(got, nullptr) << reg_storage_last_error();
    EXPECT_EQ(got, body);
    EXPECT_STREQ(type, kOciManifest);
    EXPECT_EQ(digest, "sha256:" + hex);
    got = reg_manifest_get("team/app", ("sha256:" + hex).c_str(), type, digest);
    ASSERT_NE(got, nullptr) << reg_storage_last_error();
    EXPECT_EQ(got, body);

    // No layers member at all is fine.
    const std::string bare = "{\"config\":{\"digest\":\"" + config + "\"}}";
    EXPECT_EQ(put("team/app", "bare", bare), "ok sha256:" + sha_hex(bare));
}

// Children are pulled through the index's own repository: one stored only in another could
// never be pulled, so such an index is refused (it used to be accepted).
// A deletion of a child between the index's check and its body's write saw no index listing
// it: the put must not then report an index whose child is gone (it used to).
TEST_F(ManifestPut, AChildDeletedWhileItsIndexIsPutFailsThePut) {
    const std::string child = image(config, {layer0});
    ASSERT_EQ(put("app", "a", child), "ok sha256:" + sha_hex(child));
    static std::string doomed;
    doomed = "sha256:" + sha_hex(child);
    reg::put_checked_hook = [] { reg_manifest_delete("app", doomed.c_str()); };
    const std::string index = index_of({doomed});
    const std::string result = put("app", "multi", index);
    reg::put_checked_hook = nullptr;
    EXPECT_EQ(result, "ERROR: BLOB_UNKNOWN: " + doomed);
    EXPECT_FALSE(exists(store.body_path("app", sha_hex(index))));
}

// A push answered 201 is there afterwards, whatever a deletion took while it wrote: the whole
// repository deleted under it (the push's files went with it) is made anew around the push.
TEST_F(ManifestPut, APushOutlastsARepositoryDeletedWhileItWrites) {
    const std::string body = image(config, {layer0});
    reg::put_written_hook = [] { EXPECT_EQ(reg_repository_delete("app"), 0); };
    const std::string result = put("app", "v1", body);
    reg::put_written_hook = nullptr;
    EXPECT_EQ(result, "ok sha256:" + sha_hex(body));
    char type[128], digest[80];
    EXPECT_NE(reg_manifest_get("app", "v1", type, digest), nullptr) << reg_storage_last_error();
    EXPECT_STREQ(type, kOciManifest);
}

TEST_F(ManifestPut, IndexChildrenAreManifestsOfTheSameRepository) {
    const std::string child = image(config, {layer0});
    ASSERT_EQ(put("other/base", "v1", child), "ok sha256:" + sha_hex(child));
    const std::string child_digest = "sha256:" + sha_hex(child);
    const std::string local = image(config, {layer1});
    ASSERT_EQ(put("team/app", "local", local), "ok sha256:" + sha_hex(local));
    const std::string local_digest = "sha256:" + sha_hex(local);

    const std::string index = index_of({local_digest});
    EXPECT_EQ(put("team/app", "multi", index), "ok sha256:" + sha_hex(index));
    EXPECT_EQ(read_text(store.ct_path("team/app", sha_hex(index))), kOciIndex);
    EXPECT_EQ(put("team/app", "mixed", index_of({local_digest, child_digest})),
              "ERROR: BLOB_UNKNOWN: " + child_digest);
    EXPECT_EQ(put("new/repo", "v1", index_of({child_digest})),
              "ERROR: BLOB_UNKNOWN: " + child_digest);

    // With "manifests" present the config is never looked at, stored or not.
    const std::string both = "{\"config\":{\"digest\":\"sha256:" + sha_hex("none") +
                             "\"},\"manifests\":[{\"digest\":\"" + local_digest + "\"}]}";
    EXPECT_EQ(put("team/app", "both", both), "ok sha256:" + sha_hex(both));
}

TEST_F(ManifestPut, ContentTypeFollowsTheTable) {
    const std::string dflt = kDefaultManifestType;
    const std::string declared = image(config, {}, kOciManifest);
    const std::string undeclared = "{\"config\":{\"digest\":\"" + config + "\"}}";
    const std::string other = "application/vnd.custom+json";

    const struct {
        std::string body;
        const char *argument;
        std::string stored;
    } rows[] = {
        {undeclared, nullptr, dflt},
        {undeclared, "", dflt},
        {declared, nullptr, kOciManifest},
        {declared, "", kOciManifest},
        {declared, kDefaultManifestType, kOciManifest},  // the generic default is overridden
        {undeclared, kDefaultManifestType, dflt},
        {declared, "application/vnd.custom+json", other},
        {undeclared, "application/vnd.custom+json", other},
        {"{\"mediaType\":7,\"config\":{\"digest\":\"" + config + "\"}}", nullptr, dflt},
        {image(config, {}, std::string(255, 'm')), nullptr, std::string(255, 'm')},
        {image(config, {}, std::string(256, 'm')), nullptr, dflt},
    };
    for (const auto &row : rows) {
        ASSERT_EQ(put("app", "v1", row.body, row.argument), "ok sha256:" + sha_hex(row.body));
        EXPECT_EQ(read_text(store.ct_path("app", sha_hex(row.body))), row.stored)
            << row.body << " / " << (row.argument ? row.argument : "(null)");
    }
}

TEST_F(ManifestPut, DigestReferencesStoreByTheBytesAndTagNothing) {
    const std::string body = image(config, {layer0});
    const std::string hex = sha_hex(body);
    const std::string elsewhere = "sha256:" + sha_hex("some other manifest");
    EXPECT_EQ(put("app", elsewhere, body), "ok sha256:" + hex);
    EXPECT_EQ(read_text(store.body_path("app", hex)), body);
    EXPECT_EQ(read_text(store.rev_link("app", hex)), "sha256:" + hex);
    EXPECT_FALSE(exists(store.tags_dir("app")));
    // Whatever follows the prefix is never used as a name.
    EXPECT_EQ(put("app", "sha256:../../../escape", body), "ok sha256:" + hex);
    EXPECT_FALSE(exists(store.tags_dir("app")));

    // Other whitespace is another manifest.
    std::string spaced = body;
    spaced.insert(1, " ");
    const std::string spaced_hex = sha_hex(spaced);
    ASSERT_NE(spaced_hex, hex);
    EXPECT_EQ(put("app", "sha256:" + hex, spaced), "ok sha256:" + spaced_hex);
    EXPECT_EQ(read_text(store.body_path("app", spaced_hex)), spaced);
    EXPECT_EQ(read_text(store.body_path("app", hex)), body);
}

TEST_F(ManifestPut, PuttingAgainMovesTheTagAndRewritesTheContentType) {
    const std::string first = image(config, {layer0});
    const std::string second = image(config, {layer1});
    ASSERT_EQ(put("app", "v1", first), "ok sha256:" + sha_hex(first));
    ASSERT_EQ(put("app", "v1", second), "ok sha256:" + sha_hex(second));
    EXPECT_EQ(read_text(store.tag_link("app", "v1")), "sha256:" + sha_hex(second));
    EXPECT_EQ(read_text(store.body_path("app", sha_hex(first))), first);

    ASSERT_EQ(put("app", "v2", first, "application/x-custom"), "ok sha256:" + sha_hex(first));
    EXPECT_EQ(read_text(store.ct_path("app", sha_hex(first))), "application/x-custom");
}

TEST_F(ManifestPut, WriteFailuresStopAtTheirStepAndKeepWhatWasWritten) {
    const std::string body = image(config, {layer0});
    const std::string hex = sha_hex(body);
    // In writing order; every earlier file stays (no rollback), no later one appears.
    const std::string files[] = {store.body_path("app", hex), store.ct_path("app", hex),
                                 store.rev_link("app", hex), store.tag_link("app", "v1")};
    const struct {
        std::string blocker;  // made a directory when it ends in "/", else a file
        std::string expected;
        size_t files_written;
    } steps[] = {
        {store.repo_dir("app"), "mkdirs manifests dir failed", 0},
        {store.body_path("app", hex) + "/", "write manifest body failed", 0},
        {store.ct_path("app", hex) + "/", "write manifest ct failed", 1},
        {store.manifests_dir("app") + "/revisions", "mkdirs revision dir failed", 2},
        {store.rev_link("app", hex) + "/", "write revision link failed", 2},
        {store.tags_dir("app"), "mkdirs tag dir failed", 3},
        {store.tag_link("app", "v1") + "/", "write tag link failed", 3},
    };
    for (const auto &step : steps) {
        if (step.blocker.back() == '/') {
            make_dirs(step.blocker);
        } else {
            write_text(step.blocker, "in the way");
        }
        EXPECT_EQ(put("app", "v1", body), "ERROR: " + step.expected);
        for (size_t f = 0; f < std::size(files); ++f) {
            const bool written = exists(files[f]) && !is_directory(files[f]);
            EXPECT_EQ(written, f < step.files_written) << step.expected << ": " << files[f];
        }
        std::filesystem::remove_all(store.repo_dir("app"));
    }
}

// A rewrite replaces each file whole or not at all: a write that fails part way (here at the
// file-size limit) leaves the stored manifest as it was, and a reader racing a stream of
// re-pushes only ever sees one whole manifest or the other.
TEST_F(ManifestPut, RewritesReplaceFilesWholeOrNotAtAll) {
    const std::string padding(256 * 1024, ' ');  // wide write windows
    const std::string first = image(config, {layer0}) + padding;
    const std::string second = image(config, {layer1}) + padding;
    ASSERT_EQ(put("app", "v1", first), "ok sha256:" + sha_hex(first));
    ASSERT_EQ(put("app", "v1", second), "ok sha256:" + sha_hex(second));
    const std::string before = tree_listing(t.path());

    const ChildResult cut = run_child({}, [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        return put("app", "v1", second) == "ERROR: write manifest body failed" ? 1 : 0;
    });
    EXPECT_EQ(cut.status, 1);
    char type[127], digest[72];
    const char *got = reg_manifest_get("app", "v1", type, digest);
    ASSERT_NE(got, nullptr) << reg_storage_last_error();
    EXPECT_EQ(std::string(got).size(), second.size());
    EXPECT_TRUE(got == second);
    EXPECT_EQ(tree_listing(t.path()), before);

    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (int i = 0; i < 150; ++i)
            put("app", "v1", i % 2 == 0 ? first : second);
        ::_exit(0);
    }
    int reads = 0, torn = 0, status = 0;
    while (::waitpid(writer, &status, WNOHANG) == 0) {
        got = reg_manifest_get("app", "v1", type, digest);
        ++reads;
        if (got == nullptr || (got != first && got != second)) ++torn;
    }
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(tree_listing(t.path()), before);
}

// A rewrite that crashed leaves its temporary behind. Nothing takes it for a body, link or
// tag, and the next writer of that directory (or a real collection, for _manifests) removes
// it once it is stale; a fresh one may be another writer's, and stays.
TEST_F(ManifestPut, CrashLeftoversAreHarmlessAndClearedWhereMet) {
    const std::string body = image(config, {layer0});
    const std::string hex = sha_hex(body);
    ASSERT_EQ(put("app", "v1", body), "ok sha256:" + hex);
    const std::string dirs[] = {store.tag_dir("app", "v1") + "/current", store.rev_dir("app", hex),
                                store.manifests_dir("app")};
    for (const std::string &dir : dirs) {
        write_text(dir + "/.link.1-00000000.tmp", "sha256:" + sha_hex("stale"));
        set_mtime(dir + "/.link.1-00000000.tmp", std::time(nullptr) - 900);
        write_text(dir + "/.link.2-00000000.tmp", "fresh");
    }
    char type[127], digest[72];
    EXPECT_STREQ(reg_manifest_get("app", "v1", type, digest), body.c_str());
    EXPECT_EQ(std::string(reg_tags_list_json("app")), "{\"name\":\"app\",\"tags\":[\"v1\"]}");

    ASSERT_EQ(put("app", "v1", body), "ok sha256:" + hex);
    ASSERT_NE(reg_gc_json(1), nullptr) << reg_storage_last_error();
    for (const std::string &dir : dirs) {
        EXPECT_EQ(exists(dir + "/.link.1-00000000.tmp"), dir == dirs[2]) << dir;
        EXPECT_TRUE(exists(dir + "/.link.2-00000000.tmp")) << dir;
    }
    ASSERT_NE(reg_gc_json(0), nullptr) << reg_storage_last_error();
    EXPECT_FALSE(exists(dirs[2] + "/.link.1-00000000.tmp"));
    EXPECT_TRUE(exists(dirs[2] + "/.link.2-00000000.tmp"));
    EXPECT_EQ(reg_blob_exists(config.c_str()), 1);
}

TEST_F(ManifestPut, HostileNamesWriteNothing) {
    const std::string body = image(config, {});
    for (const std::string &tag :
         std::vector<std::string>{"..", ".", "a/b", "a\\b", "../x", "-lead", ".lead", "a b", "a:b",
                                  "tag\n", std::string(129, 't')}) {
        EXPECT_EQ(refused("app", tag, body), "ERROR: TAG_INVALID: " + tag);
    }
    EXPECT_EQ(refused("app", "", body), "ERROR: empty reference");
    // Names that would put manifests where no walk finds them.
    for (const std::string &repo :
         std::vector<std::string>{".", "./.", "/", "a/_manifests", "_manifests"}) {
        EXPECT_EQ(refused(repo, "v1", body), "ERROR: invalid repository name: " + repo);
    }

    // A NUL that a query decode leaves in a tag ends the text there: only the part before it
    // reaches the engine, and only that tag is written.
    const std::string decoded("v1\0/../../escape", 16);
    const std::string hex = sha_hex(body);
    ASSERT_EQ(put("app", decoded.c_str(), body), "ok sha256:" + hex);
    EXPECT_EQ(read_text(store.tag_link("app", "v1")), "sha256:" + hex);
    EXPECT_EQ(tree_listing(root + "/repositories"),
              listing({"app/", "app/_manifests/", "app/_manifests/<hex>", "app/_manifests/<hex>.ct",
                       "app/_manifests/revisions/", "app/_manifests/revisions/sha256/",
                       "app/_manifests/revisions/sha256/<hex>/",
                       "app/_manifests/revisions/sha256/<hex>/link", "app/_manifests/tags/",
                       "app/_manifests/tags/v1/", "app/_manifests/tags/v1/current/",
                       "app/_manifests/tags/v1/current/link"},
                      hex));

    // The longest and the most varied tags that are allowed.
    for (const std::string &tag :
         {std::string(128, 't'), std::string("_x"), std::string("V1.2-rc_3")}) {
        EXPECT_EQ(put("app", tag, body), "ok sha256:" + sha_hex(body)) << tag;
        EXPECT_EQ(read_text(store.tag_link("app", tag)), "sha256:" + sha_hex(body));
    }
}

}  // namespace
