// The index epoch: a file every index put rewrites, with text of its own, after its body is
// written and before it checks its children once more. A deletion reads it before it looks
// for indexes listing a manifest and again once the manifest's files are moved aside: a
// change means an index may have appeared in between, whose put saw the child still there,
// so the deletion looks again. One of the two always sees the other.
#include <atomic>
#include <cstdio>
#include <string>

#include "storage/gc_internal.h"

namespace reg {

namespace {

bool epoch_path(char *out) {
    return gc_state_path(out, "index-epoch");
}

}  // namespace

bool bump_index_epoch() {
    char dir[kPathCap];
    char path[kPathCap];
    char temporary[kPathCap];
    if (!gc_state_path(dir, nullptr) || !epoch_path(path) || !temporary_path(temporary, path))
        return false;
    if (!qv::os::is_dir(dir)) mkdirs(dir);
    static unsigned long count = 0;
    char text[96];
    const int n = std::snprintf(text, sizeof text, "%s %lu %lld", process_tag(), ++count,
                                static_cast<long long>(qv::os::unix_now()));
    // Seen whole or not at all; nothing needs it after a power cut.
    if (n > 0 && write_file(temporary, text, static_cast<size_t>(n)) == 0 &&
        qv::os::rename_path(temporary, path))
        return true;
    qv::os::remove_file(temporary);
    return false;
}

std::string index_epoch() {
    char path[kPathCap];
    char text[128];
    if (!epoch_path(path) || read_file(path, text, sizeof text, nullptr) != 0) return "";
    return text;
}

}  // namespace reg
