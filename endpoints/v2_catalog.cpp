// GET /v2/_catalog?n=&last=: the repositories, a page at a time.
#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "endpoints/v2_internal.h"
#include "frontend/access.h"
#include "frontend/qv_cgi.h"
#include "frontend/v2_auth.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {
constexpr int kChunk = 1000;  // names asked of the engine at a time
}  // namespace

void handle_catalog(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const int n = page_size();
    if (n < 0) {
        send_json(200, "{\"repositories\":[]}");
        return;
    }
    int more = 0;
    char last[512];
    if (registry_auth_allows_everything()) {
        const char *body = reg_catalog_json_page(n, cgi_query("last"), &more, last, sizeof last);
        if (body == nullptr) storage_error("catalog listing failed");
        send_page(body, more, n, last, "/v2/_catalog");
        return;
    }
    // Only what the caller may pull, gathered from the engine's pages until n are found.
    const size_t limit = n > 0 ? static_cast<size_t>(n) : SIZE_MAX;
    std::vector<std::string> names;
    std::string cursor = cgi_query("last");
    bool engine_more = true;
    bool cut = false;
    while (engine_more && !cut) {
        const char *body = reg_catalog_json_page(kChunk, cursor.c_str(), &more, last, sizeof last);
        if (body == nullptr) storage_error("catalog listing failed");
        engine_more = more != 0;
        cursor = last;
        const std::unique_ptr<yyjson_doc, void (*)(yyjson_doc *)> doc(
            yyjson_read(body, std::strlen(body), 0), yyjson_doc_free);
        size_t i, count;
        yyjson_val *name;
        yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "repositories"), i, count,
                           name) {
            if (!registry_auth_allows(qv::frontend::kPull, yyjson_get_str(name))) continue;
            if (names.size() == limit) {
                cut = true;  // one more the caller may see is there: the page says so
                break;
            }
            names.emplace_back(yyjson_get_str(name));
        }
    }
    std::string body = "{\"repositories\":[";
    for (size_t i = 0; i < names.size(); ++i)
        body += (i > 0 ? ",\"" : "\"") + names[i] + "\"";
    body += "]}";
    send_page(body.c_str(), cut ? 1 : 0, n, names.empty() ? "" : names.back().c_str(),
              "/v2/_catalog");
}

}  // namespace v2
