// The retention endpoint's program: the web server starts it once per request.
#include <signal.h>

#include <csignal>

#include "endpoints/v2_retention.h"

int main(int, char **) {
    // As in the registry's program: a late write to a server that stopped reading, or its
    // SIGTERM once the response is whole, must not cost the request its access-log line.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    return handle_v2_retention();
}
