// Manifest validation and upload on a small real store: a hostile body, content type and
// reference pushed to the repository team/app.
//
// Input: reference NUL content-type NUL body (the body is the rest, NULs and all). An empty
// content type is passed as absent.
//
// The store holds, from start-up on, one config blob and two layer blobs, the image manifest
// team/app:base and other/base:v1 (so index entries can name a child in the same or in
// another repository). What a put adds is removed again after it, so every input meets the
// same store.
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "digest/sha256.h"
#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"

namespace {

constexpr const char *kRepo = "team/app";
// A body must fit the engine's result buffer, with its NUL, to be read back whole.
constexpr size_t kReadBackMax = 1048575;

// The seeds under fuzz/corpus/manifest_put_fuzz name these by their digests.
constexpr std::string_view kConfigBlob = "{\"architecture\":\"amd64\",\"os\":\"linux\"}";
constexpr std::string_view kLayerOne = "layer one\n";
constexpr std::string_view kLayerTwo = "layer two\n";

std::string s_store;
std::string s_config_digest;
std::string s_layer_one_digest;
std::string s_layer_two_digest;

std::string store_blob(std::string_view bytes) {
    char id[37];
    char digest[72];
    const std::string expected = qvfuzz::digest_of(bytes);
    FUZZ_CHECK(reg_blob_start_upload(id) == 0);
    FUZZ_CHECK(reg_blob_append_chunk(id, bytes.data(), bytes.size()) == 0);
    FUZZ_CHECK(reg_blob_finish_upload(id, expected.c_str(), digest) == 0);
    return digest;
}

std::string image_manifest(const std::vector<std::string> &layers) {
    std::string m =
        "{\"schemaVersion\":2,\"mediaType\":"
        "\"application/vnd.oci.image.manifest.v1+json\",\"config\":{\"digest\":\"" +
        s_config_digest + "\",\"size\":" + std::to_string(kConfigBlob.size()) + "},\"layers\":[";
    for (size_t i = 0; i < layers.size(); ++i)
        m += (i ? ",{\"digest\":\"" : "{\"digest\":\"") + layers[i] + "\",\"size\":10}";
    return m + "]}";
}

void put_fixture(const char *repo, const char *tag, const std::string &body) {
    char digest[72];
    FUZZ_CHECK(reg_manifest_put(repo, tag, body.data(), body.size(), nullptr, digest) == 0);
}

// team/app back to its start: only the fixture manifest.
void reset_repo() {
    std::error_code ec;
    std::filesystem::remove_all(s_store + "/repositories/team/app", ec);
    put_fixture(kRepo, "base", image_manifest({s_layer_one_digest}));
}

// A failure before anything was written leaves the store as it was; these come after.
bool wrote_something(int rc) {
    if (rc == 0) return true;
    const std::string_view e = reg_storage_last_error();
    return e.starts_with("mkdirs") || e.starts_with("write");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    s_store = qvfuzz::scratch_dir() + "/store";
    FUZZ_CHECK(reg_storage_init(s_store.c_str()) == 0);
    s_config_digest = store_blob(kConfigBlob);
    s_layer_one_digest = store_blob(kLayerOne);
    s_layer_two_digest = store_blob(kLayerTwo);
    put_fixture("other/base", "v1", image_manifest({s_layer_one_digest, s_layer_two_digest}));
    reset_repo();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> f = qvfuzz::split_fields(data, size, 3);
    const std::string &reference = f[0];
    const char *content_type = f[1].empty() ? nullptr : f[1].c_str();
    const std::string &body = f[2];
    // An empty body is still a body: a pointer that is not NULL, and no byte to read.
    static const char kNoBytes = '\0';
    const char *bytes = body.empty() ? &kNoBytes : body.data();

    char digest[72] = "untouched";
    const int rc =
        reg_manifest_put(kRepo, reference.c_str(), bytes, body.size(), content_type, digest);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(std::strcmp(digest, "untouched") == 0);
        FUZZ_CHECK(reg_storage_last_error()[0] != '\0');
    } else if (body.size() < kReadBackMax) {
        // What was stored reads back byte for byte, by digest and (for a tag) by the tag.
        char type[128];
        char got_digest[72];
        const char *got = reg_manifest_get(kRepo, digest, type, got_digest);
        FUZZ_CHECK(got != nullptr);
        FUZZ_CHECK(std::string_view(got) == body);
        FUZZ_CHECK(std::strcmp(got_digest, digest) == 0);
        FUZZ_CHECK(type[0] != '\0');
        if (!reference.starts_with("sha256:")) {
            FUZZ_CHECK(reg_manifest_get(kRepo, reference.c_str(), type, got_digest) != nullptr);
            FUZZ_CHECK(std::strcmp(got_digest, digest) == 0);
        }
    }
    if (wrote_something(rc)) reset_repo();
    return 0;
}
