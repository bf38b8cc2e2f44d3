// The registry's program: the web server starts it once per request below /v2.
#include "endpoints/v2_router.h"

int main(int, char **) {
    return handle_v2_registry();
}
