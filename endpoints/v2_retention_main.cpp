// The retention endpoint's program: the web server starts it once per request.
#include "endpoints/v2_retention.h"
#include "platform/os.h"

int main(int, char **) {
    qv::os::outlive_server_hangup();
    return handle_v2_retention();
}
