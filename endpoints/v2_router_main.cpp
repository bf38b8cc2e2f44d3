// The registry's program: the web server starts it once per request below /v2.
#include <signal.h>

#include <csignal>

#include "endpoints/v2_router.h"

int main(int, char **) {
    // The web server stops reading once it holds the whole response (the headers of a HEAD,
    // or Content-Length bytes), and then ends the process with SIGTERM. Either would lose the
    // access-log line written at exit: a late write now fails quietly instead of raising
    // SIGPIPE, and SIGTERM waits for a process that is finishing anyway.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    return handle_v2_registry();
}
