// GET /v2/_catalog?n=&last=: the repositories, a page at a time.
#include <string>

#include "endpoints/v2_internal.h"
#include "frontend/qv_cgi.h"
#include "storage/reg_storage.h"

namespace v2 {

void handle_catalog(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const int n = page_size();
    if (n < 0) {
        send_json(200, "{\"repositories\":[]}");
        return;
    }
    int more = 0;
    char last[512];
    const char *body = reg_catalog_json_page(n, cgi_query("last"), &more, last, sizeof last);
    if (body == nullptr) storage_error("catalog listing failed");
    send_page(body, more, n, last, "/v2/_catalog");
}

}  // namespace v2
