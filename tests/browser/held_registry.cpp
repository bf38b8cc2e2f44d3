// The registry program for the browser test: while a file named gc-hold is in its working
// directory, a collection waits at each of its check points, so that the page's progress bar
// can be seen between 0 and 100 % and its Cancel meet a running collection.
#include <unistd.h>

#include <cstdio>

#include "endpoints/v2_router.h"
#include "platform/os.h"
#include "storage/gc_internal.h"

int main(int, char **) {
    qv::os::outlive_server_hangup();
    reg::gc_checkpoint_hook = [](const reg::GcRecord &) {
        for (int i = 0; i < 3000 && access("gc-hold", F_OK) == 0; ++i)
            usleep(20000);  // at most a minute: a test that forgot the file still ends
    };
    return handle_v2_registry();
}
