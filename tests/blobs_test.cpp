// Blob uploads and the blob store, on real storage trees.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <string>

#include "digest/sha256.h"
#include "platform/os.h"
#include "storage/reg_storage.h"
#include "storage/seams.h"
#include "storage/storage_internal.h"
#include "support/child.h"
#include "support/temp_tree.h"

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

constexpr const char kNotReady[] = "not initialized - call reg_storage_init first";
constexpr const char kEmptyDigest[] =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char kNeverStarted[] = "0123abcd-0000-1111-2222-333344445555";

std::string sha256_digest(const std::string &bytes) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    uint8_t out[32];
    sha256_final(&ctx, out);
    char hex[65];
    reg::bin_to_hex(out, hex);
    return std::string("sha256:") + hex;
}

std::string error_text() {
    return reg_storage_last_error();
}

// "ok" or "ERROR: <last-error text>"
std::string outcome(int rc) {
    return rc == 0 ? "ok" : "ERROR: " + error_text();
}

// The call's outcome in a child that may write no file past `bytes`: writes beyond fail as on
// a full disk, which no file in the store can stand in for (links are never followed).
std::string with_file_size_limit(rlim_t bytes, const std::function<int()> &call) {
    const ChildResult r = run_child({}, [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        if (::getrlimit(RLIMIT_FSIZE, &before) != 0) return 2;
        const rlimit limit{bytes, before.rlim_max};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        const int rc = call();
        if (::setrlimit(RLIMIT_FSIZE, &before) != 0) return 2;  // the report is a file too
        std::printf("%s", outcome(rc).c_str());
        return 0;
    });
    return r.exited && r.status == 0 ? r.out : "child failed: " + r.out;
}

class Blobs : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(reg_storage_init(root.c_str()), 0) << error_text(); }
    void TearDown() override { reg_storage_cleanup(); }

    std::string start() {
        char id[37] = "";
        EXPECT_EQ(reg_blob_start_upload(id), 0) << error_text();
        return id;
    }
    std::string append(const std::string &id, const std::string &bytes) {
        return outcome(reg_blob_append_chunk(id.c_str(), bytes.data(), bytes.size()));
    }
    // "ok <digest handed back>" or "ERROR: <message>"
    std::string finish(const std::string &id, const std::string &digest) {
        char out[72] = "untouched";
        const int rc = reg_blob_finish_upload(id.c_str(), digest.c_str(), out);
        return rc == 0
                   ? std::string("ok ") + out
                   : "ERROR: " + error_text() + (std::string(out) == "untouched" ? "" : " !out");
    }
    // One upload of the bytes, finished against their digest.
    std::string store(const std::string &bytes) {
        const std::string id = start();
        EXPECT_EQ(append(id, bytes), "ok");
        return finish(id, sha256_digest(bytes));
    }
    std::string upload_file(const std::string &id) const {
        return root + "/uploads/" + id + ".part";
    }
    std::string fan_out(const std::string &digest) const {
        return root + "/blobs/sha256/" + digest.substr(7, 2);
    }
    std::string blob_file(const std::string &digest) const {
        return fan_out(digest) + "/" + digest.substr(7);
    }

    TempDir t;
    std::string root = t / "store";
};

TEST_F(Blobs, ChunkedUploadIsVerifiedAndMovedIntoTheStore) {
    std::string bytes;
    for (int i = 0; i < 200000; ++i)
        bytes += static_cast<char>((i * 131 + 7) & 0xff);
    const std::string digest = sha256_digest(bytes);

    const std::string id = start();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                                "[0-9a-f]{12}")))
        << id;
    EXPECT_EQ(read_text(upload_file(id)), "");
    size_t at = 0;
    for (size_t chunk : {size_t{1}, size_t{0}, size_t{63}, size_t{70000}, size_t{65536}}) {
        ASSERT_EQ(append(id, bytes.substr(at, chunk)), "ok");
        at += chunk;
        int64_t size = -1;
        ASSERT_EQ(reg_blob_upload_size(id.c_str(), &size), 0);
        EXPECT_EQ(size, static_cast<int64_t>(at));
    }
    ASSERT_EQ(append(id, bytes.substr(at)), "ok");

    EXPECT_EQ(reg_blob_exists(digest.c_str()), 0);
    EXPECT_EQ(finish(id, digest), "ok " + digest);
    EXPECT_FALSE(exists(upload_file(id)));
    EXPECT_EQ(read_text(blob_file(digest)), bytes);
    EXPECT_EQ(tree_listing(root + "/uploads"), "");

    EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), static_cast<int64_t>(bytes.size()));
    char path[4096];
    ASSERT_EQ(reg_blob_get_filepath(digest.c_str(), path, sizeof path), 0);
    EXPECT_EQ(path, blob_file(digest));

    // Finished means gone: the id is no upload any more.
    EXPECT_EQ(append(id, "x"), "ERROR: upload not found: " + id);
    EXPECT_EQ(finish(id, digest), "ERROR: upload not found: " + id);
}

TEST_F(Blobs, EmptyUploadStoresTheEmptyBlob) {
    const std::string id = start();
    EXPECT_EQ(finish(id, kEmptyDigest), std::string("ok ") + kEmptyDigest);
    EXPECT_TRUE(exists(blob_file(kEmptyDigest)));
    EXPECT_EQ(read_text(blob_file(kEmptyDigest)), "");
    EXPECT_EQ(reg_blob_get_size(kEmptyDigest), 0);
}

TEST_F(Blobs, MismatchDiscardsTheUpload) {
    const std::string id = start();
    ASSERT_EQ(append(id, "actual bytes"), "ok");
    const std::string claimed = sha256_digest("other bytes");
    const std::string before = tree_listing(root + "/blobs");

    EXPECT_EQ(finish(id, claimed), "ERROR: digest mismatch: expected " + claimed + ", got " +
                                       sha256_digest("actual bytes"));
    EXPECT_FALSE(exists(upload_file(id)));
    EXPECT_EQ(tree_listing(root + "/blobs"), before);
}

TEST_F(Blobs, SecondUploadOfStoredContentLeavesTheStoredBlobAlone) {
    const std::string digest = sha256_digest("layer");
    ASSERT_EQ(store("layer"), "ok " + digest);
    set_mtime(blob_file(digest), 1000000000);
    struct stat before {};
    ASSERT_EQ(::stat(blob_file(digest).c_str(), &before), 0);

    const std::string id = start();
    ASSERT_EQ(append(id, "layer"), "ok");
    EXPECT_EQ(finish(id, digest), "ok " + digest);
    EXPECT_FALSE(exists(upload_file(id)));
    EXPECT_EQ(read_text(blob_file(digest)), "layer");
    // The same file, not replaced; but dated now, since the client now counts on it.
    struct stat after {};
    ASSERT_EQ(::stat(blob_file(digest).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_GT(after.st_mtime, 1000000000);
}

// A lookup dates the blob it finds, so that a collection spares what a client just found, but
// writes at most once a minute per blob: a date less than a minute old is left as it is.
TEST_F(Blobs, ALookDatesABlobAtMostOnceAMinute) {
    const std::string digest = sha256_digest("layer");
    ASSERT_EQ(store("layer"), "ok " + digest);
    for (const int64_t age : {30, 90}) {
        const int64_t dated = std::time(nullptr) - age;
        set_mtime(blob_file(digest), dated);
        EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
        struct stat after {};
        ASSERT_EQ(::stat(blob_file(digest).c_str(), &after), 0);
        if (age < 60) {
            EXPECT_EQ(after.st_mtime, dated);
        } else {
            EXPECT_GE(after.st_mtime, dated + age - 5);
        }
    }
}

// While a finish sits between hashing and storing, another process appends to the upload,
// or runs a collection. The stored blob must hold exactly the bytes that were hashed, and the
// upload must still count as one in progress, even when its last append was long ago.
TEST_F(Blobs, AFinishStoresExactlyTheBytesItHashed) {
    static std::string id;
    static int child_outcome;
    enum Meddler { appends, collects };
    for (const Meddler meddler : {appends, collects}) {
        SCOPED_TRACE(meddler == appends ? "append" : "collection");
        const std::string bytes = "layer bytes " + std::to_string(meddler);
        id = start();
        ASSERT_EQ(append(id, bytes), "ok");
        if (meddler == collects) set_mtime(upload_file(id), std::time(nullptr) - 1000);
        reg::finish_hashed_hook = meddler == appends ? +[](const char *) {
            child_outcome = run_child({}, [] {
                return reg_blob_append_chunk(id.c_str(), "EXTRA", 5) == 0 ? 1 : 0;
            }).status;
        } : +[](const char *) {
            child_outcome = run_child({}, [] {
                return reg_gc_json(0) == nullptr &&
                       std::string(reg_storage_last_error()) == "uploads in progress";
            }).status;
        };
        const std::string digest = sha256_digest(bytes);
        EXPECT_EQ(finish(id, digest), "ok " + digest);
        reg::finish_hashed_hook = nullptr;

        EXPECT_EQ(child_outcome, meddler == appends ? 0 : 1);
        EXPECT_EQ(read_text(blob_file(digest)), bytes);
        EXPECT_TRUE(fs::is_empty(root + "/uploads"));
    }
}

// An upload finished or cancelled between the append's look and its open is reported gone,
// as it would be a moment later, not as a storage failure.
TEST_F(Blobs, AnUploadGoneBeforeTheAppendOpensItIsNotFound) {
    static std::string id;
    id = start();
    reg::append_found_hook = [] { reg_blob_cancel_upload(id.c_str()); };
    EXPECT_EQ(append(id, "late"), "ERROR: upload not found: " + id);
    reg::append_found_hook = nullptr;
    EXPECT_FALSE(exists(upload_file(id)));
}

// An append that opened the upload before the finish moved it aside writes into that file,
// never into the stored blob: what is stored is a copy only the finish ever opened.
TEST_F(Blobs, AnAppendOpenedBeforeTheFinishNeverReachesTheBlob) {
    const std::string id = start();
    ASSERT_EQ(append(id, "layer"), "ok");
    std::FILE *late = std::fopen(upload_file(id).c_str(), "ab");
    ASSERT_NE(late, nullptr);
    const std::string digest = sha256_digest("layer");
    EXPECT_EQ(finish(id, digest), "ok " + digest);
    EXPECT_EQ(std::fwrite("EXTRA", 1, 5, late), 5u);
    EXPECT_EQ(std::fclose(late), 0);
    EXPECT_EQ(read_text(blob_file(digest)), "layer");
    EXPECT_TRUE(fs::is_empty(root + "/uploads"));
}

TEST_F(Blobs, CancelRemovesOnlyAnUploadFile) {
    const std::string id = start();
    ASSERT_EQ(append(id, "partial"), "ok");
    EXPECT_EQ(outcome(reg_blob_cancel_upload(id.c_str())), "ok");
    EXPECT_FALSE(exists(upload_file(id)));
    EXPECT_EQ(outcome(reg_blob_cancel_upload(id.c_str())), "ok");  // again: nothing to do
    EXPECT_EQ(outcome(reg_blob_cancel_upload(kNeverStarted)), "ok");

    make_dirs(upload_file(kNeverStarted) + "/inside");
    EXPECT_EQ(outcome(reg_blob_cancel_upload(kNeverStarted)), "ok");
    EXPECT_TRUE(is_directory(upload_file(kNeverStarted) + "/inside"));
}

// Upload ids come from the system's random source: processes started alike (the same second,
// the same load address) drew the same ids, so an id once finished was drawn again for
// another client's upload.
TEST_F(Blobs, UploadIdsNeverRepeatAcrossProcessesStartedAlike) {
    std::set<std::string> ids;
    for (int child = 0; child < 2; ++child) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            reg::s_seed = 1;
            char id[37] = "";
            const bool started = reg_blob_start_upload(id) == 0;
            if (started) reg_blob_cancel_upload(id);
            const ssize_t n = write(fds[1], id, started ? 36 : 0);
            _exit(n == 36 ? 0 : 1);
        }
        close(fds[1]);
        char id[37] = "";
        ASSERT_EQ(read(fds[0], id, 36), 36);
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(reg::uuid_valid(id)) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 2u);
}

TEST_F(Blobs, UploadOperationsCheckInOrder) {
    const char *bad_ids[] = {"0123ABCD-0000-1111-2222-333344445555",   // uppercase digit
                             "0123abcd-0000-1111-2222-3333444455556",  // 37 characters
                             "0123abcd0-000-1111-2222-333344445555"};  // hyphen shifted
    const std::string good = sha256_digest("x");
    char out[72] = "";
    int64_t size = 77;

    // Missing pointers come before the ready flag, the ready flag before the form of ids.
    reg_storage_cleanup();
    EXPECT_EQ(outcome(reg_blob_start_upload(nullptr)), "ERROR: out_upload_uuid is NULL");
    EXPECT_EQ(outcome(reg_blob_start_upload(out)), std::string("ERROR: ") + kNotReady);
    EXPECT_EQ(outcome(reg_blob_append_chunk(nullptr, "x", 1)), "ERROR: upload_uuid/data is NULL");
    EXPECT_EQ(outcome(reg_blob_append_chunk(bad_ids[0], nullptr, 0)),
              "ERROR: upload_uuid/data is NULL");
    EXPECT_EQ(outcome(reg_blob_append_chunk(bad_ids[0], "x", 1)),
              std::string("ERROR: ") + kNotReady);
    for (int missing = 0; missing < 3; ++missing) {
        EXPECT_EQ(outcome(reg_blob_finish_upload(missing == 0 ? nullptr : bad_ids[0],
                                                 missing == 1 ? nullptr : "bad",
                                                 missing == 2 ? nullptr : out)),
                  "ERROR: NULL argument");
    }
    EXPECT_EQ(outcome(reg_blob_finish_upload(bad_ids[0], "bad", out)),
              std::string("ERROR: ") + kNotReady);
    EXPECT_EQ(outcome(reg_blob_cancel_upload(nullptr)), "ERROR: upload_uuid is NULL");
    EXPECT_EQ(outcome(reg_blob_cancel_upload(bad_ids[0])), std::string("ERROR: ") + kNotReady);
    EXPECT_EQ(outcome(reg_blob_upload_size(nullptr, &size)),
              "ERROR: upload_uuid/out_bytes is NULL");
    EXPECT_EQ(outcome(reg_blob_upload_size(kNeverStarted, nullptr)),
              "ERROR: upload_uuid/out_bytes is NULL");
    EXPECT_EQ(outcome(reg_blob_upload_size(bad_ids[0], &size)), std::string("ERROR: ") + kNotReady);
    EXPECT_EQ(tree_listing(root + "/uploads"), "");

    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    for (const char *bad : bad_ids) {
        EXPECT_EQ(outcome(reg_blob_append_chunk(bad, "x", 1)), "ERROR: invalid upload uuid") << bad;
        EXPECT_EQ(outcome(reg_blob_finish_upload(bad, "bad", out)), "ERROR: invalid upload uuid");
        EXPECT_EQ(outcome(reg_blob_cancel_upload(bad)), "ERROR: invalid upload uuid");
        EXPECT_EQ(outcome(reg_blob_upload_size(bad, &size)), "ERROR: invalid upload uuid");
    }

    // The expected digest is checked before the upload is looked for, and refusing it keeps
    // the upload.
    const std::string id = start();
    ASSERT_EQ(append(id, "x"), "ok");
    const std::string upper = "sha256:E" + std::string(kEmptyDigest + 8);
    EXPECT_EQ(finish(kNeverStarted, "bad"), "ERROR: invalid expected digest");
    EXPECT_EQ(finish(id, upper), "ERROR: invalid expected digest");
    EXPECT_EQ(finish(id, good + "\n"), "ERROR: invalid expected digest");
    EXPECT_EQ(read_text(upload_file(id)), "x");

    // No upload file, or a directory in its place.
    const std::string not_found = std::string("ERROR: upload not found: ") + kNeverStarted;
    EXPECT_EQ(append(kNeverStarted, "x"), not_found);
    EXPECT_EQ(finish(kNeverStarted, good), not_found);
    EXPECT_EQ(outcome(reg_blob_upload_size(kNeverStarted, &size)), not_found);
    make_dirs(upload_file(kNeverStarted));
    EXPECT_EQ(append(kNeverStarted, "x"), not_found);
    EXPECT_EQ(finish(kNeverStarted, good), not_found);
    EXPECT_EQ(outcome(reg_blob_upload_size(kNeverStarted, &size)), not_found);
    EXPECT_EQ(size, 77);  // failures leave the out-value alone
    EXPECT_STREQ(out, "");

    // The upload file cannot be created.
    fs::remove_all(root + "/uploads");
    char new_id[37] = "";
    EXPECT_EQ(reg_blob_start_upload(new_id), -1);
    EXPECT_EQ(error_text(), "cannot create upload file: " + upload_file(new_id));
}

TEST_F(Blobs, FinishFailuresKeepTheUpload) {
    const std::string bytes = "layer bytes";
    const std::string digest = sha256_digest(bytes);
    const std::string id = start();
    ASSERT_EQ(append(id, bytes), "ok");

    // A directory where the blob file belongs: the move cannot replace it.
    make_dirs(blob_file(digest));
    EXPECT_EQ(finish(id, digest), "ERROR: rename to CAS failed: " + blob_file(digest));
    EXPECT_EQ(read_text(upload_file(id)), bytes);
    fs::remove_all(fan_out(digest));

    // A link or a pipe where the blob file belongs is never used, and the upload replaces
    // it; what a link pointed to is left alone.
    write_text(t / "elsewhere", "other bytes");
    make_dirs(fan_out(digest));
    for (const bool link : {true, false}) {
        const std::string again = start();
        ASSERT_EQ(append(again, bytes), "ok");
        ASSERT_EQ(link ? ::symlink((t / "elsewhere").c_str(), blob_file(digest).c_str())
                       : ::mkfifo(blob_file(digest).c_str(), 0644),
                  0);
        EXPECT_EQ(reg_blob_exists(digest.c_str()), 0);
        EXPECT_EQ(finish(again, digest), "ok " + digest);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(blob_file(digest))));
        EXPECT_EQ(read_text(blob_file(digest)), bytes);
        fs::remove(blob_file(digest));
    }
    EXPECT_EQ(read_text(t / "elsewhere"), "other bytes");

    // A file where the store's directory belongs: no fan-out directory can be made.
    fs::remove_all(root + "/blobs/sha256");
    write_text(root + "/blobs/sha256", "not a directory");
    EXPECT_EQ(finish(id, digest), "ERROR: mkdirs blob dir failed");
    EXPECT_EQ(read_text(upload_file(id)), bytes);
    fs::remove(root + "/blobs/sha256");
    make_dirs(root + "/blobs/sha256");

    // The retry after the failures succeeds.
    EXPECT_EQ(finish(id, digest), "ok " + digest);
    EXPECT_EQ(read_text(blob_file(digest)), bytes);

    // A copy that cannot be written whole (of a blob not stored yet: a stored one is only
    // compared, and nothing is written).
    fs::remove(blob_file(digest));
    const std::string unstored = start();
    ASSERT_EQ(append(unstored, bytes), "ok");
    char out[80];
    EXPECT_EQ(with_file_size_limit(
                  4, [&] { return reg_blob_finish_upload(unstored.c_str(), digest.c_str(), out); }),
              "ERROR: hashing upload failed");
    EXPECT_EQ(read_text(upload_file(unstored)), bytes);
}

TEST_F(Blobs, AppendFailuresAreReported) {
    // Buffered bytes that cannot be written at close are a failure, not a success.
    const std::string full = start();
    const auto append_under_limit = [&](const std::string &bytes) {
        return with_file_size_limit(
            4, [&] { return reg_blob_append_chunk(full.c_str(), bytes.data(), bytes.size()); });
    };
    EXPECT_EQ(append_under_limit("small chunk"), "ERROR: write error appending chunk");
    EXPECT_EQ(append_under_limit(""), "ok");

    // An upload file that exists but cannot be opened for appending (a socket in its place).
    const std::string sock = start();
    fs::remove(upload_file(sock));
    const std::string make_socket =
        "python3 -c \"import socket; socket.socket(socket.AF_UNIX)"
        ".bind('" +
        upload_file(sock) + "')\" 2>/dev/null";
    if (std::system(make_socket.c_str()) != 0 || !fs::is_socket(upload_file(sock))) {
        GTEST_SKIP() << "cannot make a socket file here";
    }
    EXPECT_EQ(append(sock, "x"), "ERROR: cannot open upload file: " + sock);
}

TEST_F(Blobs, StoreOperationsCheckInOrder) {
    const std::string absent = sha256_digest("never stored");
    const char *bad_digests[] = {
        "sha256:ABC", "SHA256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
        "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b85", "", "sha256:"};
    char path[4096] = "untouched";

    reg_storage_cleanup();
    EXPECT_EQ(reg_blob_exists(nullptr), -1);
    EXPECT_EQ(error_text(), "digest is NULL");
    EXPECT_EQ(reg_blob_get_size(nullptr), -1);
    EXPECT_EQ(error_text(), "digest is NULL");
    EXPECT_EQ(outcome(reg_blob_delete(nullptr)), "ERROR: digest is NULL");
    EXPECT_EQ(outcome(reg_blob_get_filepath(nullptr, path, sizeof path)), "ERROR: NULL argument");
    EXPECT_EQ(outcome(reg_blob_get_filepath(absent.c_str(), nullptr, 10)), "ERROR: NULL argument");
    EXPECT_EQ(outcome(reg_blob_get_filepath(absent.c_str(), path, 0)), "ERROR: NULL argument");
    EXPECT_EQ(reg_blob_exists("bad"), -1);
    EXPECT_EQ(error_text(), kNotReady);
    reg::set_error("earlier");
    EXPECT_EQ(reg_blob_get_size("bad"), -1);
    EXPECT_EQ(error_text(), kNotReady);
    EXPECT_EQ(outcome(reg_blob_get_filepath("bad", path, sizeof path)),
              std::string("ERROR: ") + kNotReady);
    EXPECT_EQ(outcome(reg_blob_delete("bad")), std::string("ERROR: ") + kNotReady);

    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    for (const char *bad : bad_digests) {
        reg::set_error("earlier");
        EXPECT_EQ(reg_blob_exists(bad), -1);
        EXPECT_EQ(error_text(), "invalid digest") << bad;
        reg::set_error("earlier");
        EXPECT_EQ(reg_blob_get_size(bad), -1);
        EXPECT_EQ(error_text(), "invalid digest");
        EXPECT_EQ(outcome(reg_blob_get_filepath(bad, path, sizeof path)), "ERROR: invalid digest");
        EXPECT_EQ(outcome(reg_blob_delete(bad)), "ERROR: invalid digest");
    }

    // A blob that is not stored, then a directory where its file belongs: no blob either
    // way, no message from the existence test and the size, and the directory is left alone.
    for (const bool directory_in_place : {false, true}) {
        if (directory_in_place) make_dirs(blob_file(absent));
        reg::set_error("earlier");
        EXPECT_EQ(reg_blob_exists(absent.c_str()), 0);
        EXPECT_EQ(reg_blob_get_size(absent.c_str()), -1);
        EXPECT_EQ(error_text(), "earlier");
        EXPECT_EQ(outcome(reg_blob_get_filepath(absent.c_str(), path, sizeof path)),
                  "ERROR: blob not found: " + absent);
        EXPECT_EQ(outcome(reg_blob_delete(absent.c_str())), "ERROR: blob not found: " + absent);
    }
    EXPECT_TRUE(is_directory(blob_file(absent)));
    EXPECT_STREQ(path, "untouched");
}

TEST_F(Blobs, FilepathNeedsRoomForThePathAndItsNul) {
    const std::string digest = sha256_digest("blob");
    ASSERT_EQ(store("blob"), "ok " + digest);
    const std::string expected = blob_file(digest);

    std::string out(expected.size() + 1, '#');
    EXPECT_EQ(outcome(reg_blob_get_filepath(digest.c_str(), out.data(), expected.size())),
              "ERROR: path buffer too small");
    EXPECT_EQ(out, std::string(expected.size() + 1, '#'));
    EXPECT_EQ(outcome(reg_blob_get_filepath(digest.c_str(), out.data(), expected.size() + 1)),
              "ok");
    EXPECT_EQ(out, expected + '\0');
}

TEST_F(Blobs, DeleteRemovesTheFanOutDirectoryOnlyWhenEmpty) {
    // Two contents whose digests share their first two digits, and a third elsewhere.
    std::string first, second, other;
    for (int n = 0; second.empty() || other.empty(); ++n) {
        const std::string content = "blob " + std::to_string(n);
        if (first.empty()) {
            first = content;
        } else if (sha256_digest(content).substr(7, 2) == sha256_digest(first).substr(7, 2)) {
            if (second.empty()) second = content;
        } else if (other.empty()) {
            other = content;
        }
    }
    for (const auto &c : {first, second, other})
        ASSERT_EQ(store(c), "ok " + sha256_digest(c));
    const std::string d1 = sha256_digest(first), d2 = sha256_digest(second);
    const std::string d3 = sha256_digest(other);

    EXPECT_EQ(outcome(reg_blob_delete(d1.c_str())), "ok");
    EXPECT_FALSE(exists(blob_file(d1)));
    EXPECT_EQ(read_text(blob_file(d2)), second);
    EXPECT_TRUE(is_directory(fan_out(d2)));

    EXPECT_EQ(outcome(reg_blob_delete(d2.c_str())), "ok");
    EXPECT_FALSE(exists(fan_out(d2)));
    EXPECT_EQ(read_text(blob_file(d3)), other);
    EXPECT_TRUE(is_directory(root + "/blobs/sha256"));
    EXPECT_EQ(reg_blob_exists(d2.c_str()), 0);
}

}  // namespace
