/* The CGI floor: the least a CGI program can cost, a fixed answer from a static program. */
#include <stdio.h>

int main(void) {
    fputs("Status: 200\r\nContent-Type: application/json\r\nContent-Length: 3\r\n\r\n{}\n", stdout);
    return 0;
}
