/* The CGI floor: the least a CGI program can cost, a fixed answer from a static program.
   Built dynamically with -DWITH_YYJSON it is the least a program linked against the system's
   shared C library and yyjson can cost: the floor these dependencies allow. */
#include <stdio.h>
#ifdef WITH_YYJSON
#include <yyjson.h>
#endif

int main(void) {
#ifdef WITH_YYJSON
    if (yyjson_version() == 0) return 1;
#endif
    fputs("Status: 200\r\nContent-Type: application/json\r\nContent-Length: 3\r\n\r\n{}\n", stdout);
    return 0;
}
