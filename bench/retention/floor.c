/* The bare system calls of a retention pass, the least any pass over this store must make:
   every directory below repositories listed and every link's date looked at once; for a
   real pass also, for each tag it deletes, the tag's link claimed by a rename and removed
   with the directories it leaves, the manifest only that tag named removed (revision link
   and its directory, body, content type), and each directory changed flushed once.
     floor REPOSITORIES [DELETIONS]
   DELETIONS holds "REPOSITORY TAG HEX" lines, grouped by repository. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void walk(int dir_fd) {
    DIR *dir = fdopendir(dir_fd);
    struct dirent *e;
    struct stat st;
    if (dir == NULL) return;
    while ((e = readdir(dir)) != NULL) {
        if (e->d_name[0] == '.') continue;
        if (e->d_type == DT_DIR) {
            int child = openat(dir_fd, e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (child >= 0) walk(child);
        } else if (strcmp(e->d_name, "link") == 0) {
            fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW);
        }
    }
    closedir(dir);
}

static void flush(int root, const char *path) {
    int fd = openat(root, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

/* The directories a repository's deletions changed, once each. */
static void flush_repository(int root, const char *repo) {
    char a[8192];
    snprintf(a, sizeof a, "%s/_manifests/tags", repo);
    flush(root, a);
    snprintf(a, sizeof a, "%s/_manifests/revisions/sha256", repo);
    flush(root, a);
    snprintf(a, sizeof a, "%s/_manifests", repo);
    flush(root, a);
}

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return 1;
    walk(dup(root));
    if (argc < 3) return 0;
    FILE *list = fopen(argv[2], "r");
    char repo[4096], tag[256], hex[65], last[4096] = "";
    char a[8192], b[8300];
    if (list == NULL) return 1;
    while (fscanf(list, "%4095s %255s %64s", repo, tag, hex) == 3) {
        if (strcmp(repo, last) != 0) {
            if (last[0] != '\0') flush_repository(root, last);
            snprintf(last, sizeof last, "%s", repo);
        }
        snprintf(a, sizeof a, "%s/_manifests/tags/%s/current/link", repo, tag);
        snprintf(b, sizeof b, "%s.claimed", a);
        renameat(root, a, root, b);
        unlinkat(root, b, 0);
        snprintf(a, sizeof a, "%s/_manifests/tags/%s/current", repo, tag);
        unlinkat(root, a, AT_REMOVEDIR);
        snprintf(a, sizeof a, "%s/_manifests/tags/%s", repo, tag);
        unlinkat(root, a, AT_REMOVEDIR);
        snprintf(a, sizeof a, "%s/_manifests/revisions/sha256/%s/link", repo, hex);
        unlinkat(root, a, 0);
        snprintf(a, sizeof a, "%s/_manifests/revisions/sha256/%s", repo, hex);
        unlinkat(root, a, AT_REMOVEDIR);
        snprintf(a, sizeof a, "%s/_manifests/%s", repo, hex);
        unlinkat(root, a, 0);
        snprintf(a, sizeof a, "%s/_manifests/%s.ct", repo, hex);
        unlinkat(root, a, 0);
    }
    if (last[0] != '\0') flush_repository(root, last);
    return fclose(list);
}
