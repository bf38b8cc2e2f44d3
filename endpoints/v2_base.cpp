// GET /v2/: the client's first call, which tells it this is a registry of this API version
// (and, through the gate in front of every route, whether it must authenticate).
#include "endpoints/v2_internal.h"

namespace v2 {

void handle_base(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    send_json(200, "{}");
}

}  // namespace v2
