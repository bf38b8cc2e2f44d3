// The registry's program: the web server starts it once per request below /v2.
#include "endpoints/v2_router.h"
#include "platform/os.h"

int main(int, char **) {
    qv::os::outlive_server_hangup();
    return handle_v2_registry();
}
