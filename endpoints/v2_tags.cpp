// GET /v2/<name>/tags/list?n=&last=: a repository's tags, a page at a time.
#include <yyjson.h>

#include <cstring>
#include <memory>
#include <string>

#include "endpoints/v2_internal.h"
#include "frontend/qv_cgi.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};

// The engine lists a missing repository as one without tags; the catalog tells them apart.
bool repository_exists(const std::string &repo) {
    const char *catalog = reg_catalog_json(0, nullptr);
    if (catalog == nullptr) storage_error("catalog listing failed");
    const std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read(catalog, std::strlen(catalog), YYJSON_READ_NOFLAG));
    yyjson_val *names = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "repositories");
    for (size_t i = 0; i < yyjson_arr_size(names); ++i)
        if (repo == yyjson_get_str(yyjson_arr_get(names, i))) return true;
    return false;
}

}  // namespace

void handle_tags(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const int n = page_size();
    const char *last_seen = cgi_query("last");
    int more = 0;
    char last[512];
    const char *body =
        reg_tags_list_json_page(r.repo.c_str(), n < 0 ? 0 : n, last_seen, &more, last, sizeof last);
    if (body == nullptr) storage_error("tag listing failed");
    if (n < 0 || std::strstr(body, "\"tags\":[]") != nullptr) {
        // The catalog reuses the engine's result buffer, so the page is built again after it.
        if (!repository_exists(r.repo))
            fail(404, "NAME_UNKNOWN", "repository name not known to registry: " + r.repo);
        if (n < 0) {
            const std::string empty = "{\"name\":\"" + r.repo + "\",\"tags\":[]}";
            send_json(200, empty.c_str());
            return;
        }
        body = reg_tags_list_json_page(r.repo.c_str(), n, last_seen, &more, last, sizeof last);
        if (body == nullptr) storage_error("tag listing failed");
    }
    send_page(body, more, n, last, "/v2/" + r.repo + "/tags/list");
}

}  // namespace v2
