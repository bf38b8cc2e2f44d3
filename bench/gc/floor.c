/* The bare system calls of a collection, the least any collector of this store must make:
   list every fan-out directory, look at each blob's date once, read every manifest body;
   for a real run also rename each unreferenced blob aside twice (aside, then claimed) and
   remove it, flushing each fan-out directory it removed from.
     floor ROOT BODIES [UNREFERENCED]
   BODIES and UNREFERENCED hold paths relative to ROOT, one per line, the latter grouped by
   fan-out directory. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char buf[1 << 16];

static int each_line(const char *list, int (*fn)(int root, char *path), int root) {
    FILE *f = fopen(list, "r");
    char line[4096];
    if (f == NULL) return 1;
    while (fgets(line, sizeof line, f) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] != '\0' && fn(root, line) != 0) return 1;
    }
    return fclose(f);
}

static int read_body(int root, char *path) {
    int fd = openat(root, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    while (read(fd, buf, sizeof buf) > 0) {
    }
    return close(fd);
}

static char last_dir[4096];

static void flush_last(int root) {
    if (last_dir[0] == '\0') return;
    int fd = openat(root, last_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

static int remove_blob(int root, char *path) {
    char aside[4200], claimed[4200];
    char *slash = strrchr(path, '/');
    if (slash == NULL) return 1;
    *slash = '\0';
    if (strcmp(last_dir, path) != 0) {
        flush_last(root);
        snprintf(last_dir, sizeof last_dir, "%s", path);
    }
    *slash = '/';
    snprintf(aside, sizeof aside, "%s.aside", path);
    snprintf(claimed, sizeof claimed, "%s.claimed", path);
    return renameat(root, path, root, aside) || renameat(root, aside, root, claimed) ||
           unlinkat(root, claimed, 0);
}

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int blobs = openat(root, "blobs/sha256", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *top = fdopendir(blobs);
    if (root < 0 || top == NULL) return 1;
    struct dirent *d;
    while ((d = readdir(top)) != NULL) {
        if (d->d_name[0] == '.') continue;
        int fan = openat(blobs, d->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR *dir = fan < 0 ? NULL : fdopendir(fan);
        struct dirent *e;
        struct stat st;
        if (dir == NULL) continue;
        while ((e = readdir(dir)) != NULL)
            if (e->d_name[0] != '.') fstatat(fan, e->d_name, &st, AT_SYMLINK_NOFOLLOW);
        closedir(dir);
    }
    closedir(top);
    if (each_line(argv[2], read_body, root) != 0) return 1;
    if (argc > 3) {
        if (each_line(argv[3], remove_blob, root) != 0) return 1;
        flush_last(root);
    }
    return 0;
}
