// The progress reader over a hostile _gc/progress.json: whatever the file holds, the answer
// is one JSON object of the progress record's shape.
//
// Input: the file's bytes, written fresh (so never too old to be read).
#include <yyjson.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"

namespace {

constexpr size_t kPhaseMax = 15;

std::string s_snapshot;

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string store = qvfuzz::scratch_dir() + "/store";
    FUZZ_CHECK(reg_storage_init(store.c_str()) == 0);
    std::filesystem::create_directories(store + "/_gc");
    s_snapshot = store + "/_gc/progress.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    qvfuzz::write_bytes(s_snapshot, std::string_view(reinterpret_cast<const char *>(data), size));
    const char *answer = reg_gc_progress_json();
    FUZZ_CHECK(answer != nullptr);

    const std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read(answer, std::strlen(answer), YYJSON_READ_NOFLAG));
    FUZZ_CHECK(doc != nullptr);
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    FUZZ_CHECK(yyjson_is_obj(root));
    for (const char *flag : {"running", "dry_run", "cancelled"})
        FUZZ_CHECK(yyjson_is_bool(yyjson_obj_get(root, flag)));
    for (const char *number : {"blobs_scanned", "blobs_total", "blobs_deleted", "bytes_freed",
                               "started_unix", "elapsed_ms"})
        FUZZ_CHECK(yyjson_is_int(yyjson_obj_get(root, number)));
    yyjson_val *phase = yyjson_obj_get(root, "phase");
    FUZZ_CHECK(yyjson_is_str(phase) && yyjson_get_len(phase) <= kPhaseMax);
    FUZZ_CHECK(yyjson_obj_size(root) == 10);

    // A snapshot that is not a JSON object (cut short, say, while being rewritten) is no
    // snapshot: the answer is the idle record.
    const std::unique_ptr<yyjson_doc, DocFree> input(
        yyjson_read(reinterpret_cast<const char *>(data), size, YYJSON_READ_NOFLAG));
    if (!yyjson_is_obj(yyjson_doc_get_root(input.get()))) {
        FUZZ_CHECK(std::string_view(yyjson_get_str(phase)) == "idle");
        FUZZ_CHECK(yyjson_is_false(yyjson_obj_get(root, "running")));
        for (const char *number : {"blobs_scanned", "blobs_total", "blobs_deleted", "bytes_freed",
                                   "started_unix", "elapsed_ms"})
            FUZZ_CHECK(yyjson_get_sint(yyjson_obj_get(root, number)) == 0);
    }
    return 0;
}
