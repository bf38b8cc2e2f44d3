// What a repository's manifest bodies say of each other: the manifests its indexes list and
// each attachment's subject, read body by body through the directory held open. An index
// resolves its children in its own repository, so only its own indexes keep a manifest.
#include <yyjson.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "storage/manifest_resolve.h"
#include "storage/storage_internal.h"

namespace reg {

namespace {

constexpr std::string_view kIndexKey = "\"manifests\"";
constexpr std::string_view kSubjectKey = "\"subject\"";

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

bool holds(const char *body, size_t len, std::string_view what) {
    return memmem(body, len, what.data(), what.size()) != nullptr;
}

}  // namespace

int read_repository_bodies(const char *repo, BodyFacts *facts, const StoredBody &stored) {
    char dir[kPathCap];
    if (manifest_body_path(dir, repo, ".") != 0) return -1;
    const qv::os::HeldDir held(dir);
    qv::os::DirReader reader(dir);
    if (!held.ok() || !reader.ok()) {
        if (qv::os::is_missing(dir)) return 1;  // no manifests: nothing to say
        set_error("cannot list the manifests of %s", repo);
        return -1;
    }
    bool complete = true;
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        if (is_dir || !hex64_valid(name)) continue;
        char *raw = nullptr;
        uint64_t len = 0;
        qv::os::FileInfo info{};
        const int err = held.read_whole(name, kReadAllMax, &raw, &len, &info);
        const std::unique_ptr<char, FreeDeleter> body(raw);
        if (err == ENOENT) continue;  // deleted since it was listed
        if (err != 0) {
            complete = false;
            continue;
        }
        if (stored) stored(name, info);
        // A key may be written with escapes: a body holding one is parsed too.
        const bool escaped = std::memchr(body.get(), '\\', len) != nullptr;
        const bool index = escaped || holds(body.get(), len, kIndexKey);
        const bool attached = escaped || holds(body.get(), len, kSubjectKey);
        if (!index && !attached) continue;
        const std::unique_ptr<yyjson_doc, DocFree> doc(yyjson_read(body.get(), len, 0));
        yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
        if (!yyjson_is_obj(root)) continue;
        size_t i = 0, max = 0;
        yyjson_val *child = nullptr;
        yyjson_arr_foreach(yyjson_obj_get(root, "manifests"), i, max, child) {
            if (const char *d = yyjson_get_str(yyjson_obj_get(child, "digest")))
                facts->children.emplace_back(d, name);
        }
        // A damaged body says nothing about its subject.
        char subject[65];
        if (subject_hex_of(root, subject) && bytes_have_hex(body.get(), len, name))
            facts->by_subject[subject].emplace_back(name);
    }
    if (reader.failed()) complete = false;
    for (auto &entry : facts->by_subject)
        std::sort(entry.second.begin(), entry.second.end());
    return complete ? 1 : 0;
}

}  // namespace reg
