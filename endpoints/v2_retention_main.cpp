// The retention endpoint's program: the web server starts it once per request.
#include "endpoints/v2_retention.h"
#include "platform/os.h"

#include <cstdio>

int main(int, char **) {
    qv::os::outlive_server_hangup();
    // A buffer of its own spares stdio the look at what standard output is (two system calls).
    static char out[1 << 16];
    std::setvbuf(stdout, out, _IOFBF, sizeof out);
    return handle_v2_retention();
}
