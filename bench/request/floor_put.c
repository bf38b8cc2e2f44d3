/* The floor of a manifest put: read the body, then the file and directory flushes a durable
   put makes (four files each written to a temporary, flushed, renamed, and its directory
   flushed; three more directory flushes), on the same file system. FLOOR_DIR is compiled in. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void flush_dir(const char *dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

int main(void) {
    static char body[1 << 20];
    const char *cl = getenv("CONTENT_LENGTH");
    size_t want = cl ? (size_t)atol(cl) : 0, got = 0;
    while (got < want && got < sizeof body) {
        ssize_t n = read(0, body + got, sizeof body - got);
        if (n <= 0) break;
        got += (size_t)n;
    }
    for (int i = 0; i < 4; ++i) {
        char tmp[512], name[512];
        snprintf(tmp, sizeof tmp, "%s/.f%d.tmp", FLOOR_DIR, i);
        snprintf(name, sizeof name, "%s/f%d", FLOOR_DIR, i);
        int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return 1;
        if (write(fd, body, got) < 0) return 1;
        fdatasync(fd);
        close(fd);
        rename(tmp, name);
        flush_dir(FLOOR_DIR);
    }
    for (int i = 0; i < 3; ++i) flush_dir(FLOOR_DIR);
    fputs("Status: 201\r\nContent-Length: 0\r\n\r\n", stdout);
    return 0;
}
