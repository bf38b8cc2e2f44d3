// The retention endpoint's program: the web server starts it once per request.
#include "endpoints/v2_retention.h"

int main(int, char **) {
    return handle_v2_retention();
}
