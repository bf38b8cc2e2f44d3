// One collection or store repair at a time across every host that shares the store: a run
// holds _gc/lease, created exclusively (a create with one winner on distributed file systems
// too). The lease names its holder and what it is doing ("<identity>/<kind>"; a lease of the
// identity alone is a collection's, and older programs, finding a part more than an identity
// has, take the holder for one they cannot look at), and is refreshed as the run goes; one left
// unrefreshed for ten minutes and the clock margin, or whose holder on this host is gone, is a
// crashed run's and is taken over.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "storage/gc_internal.h"

namespace reg {

namespace {

constexpr int64_t kLeaseStaleSeconds = 600;

std::string holder() {
    const std::string identity = qv::os::process_identity();
    return identity.empty() ? std::string(process_tag()) : identity;
}

// The holder's identity in a lease's text, and whether a repair holds it.
std::string_view identity_in(std::string_view text, bool *repair) {
    *repair = false;
    for (const std::string_view kind : {kRepairLease, kCollectionLease}) {
        if (text.size() > kind.size() && text.ends_with(kind) &&
            text[text.size() - kind.size() - 1] == '/') {
            *repair = kind == kRepairLease;
            return text.substr(0, text.size() - kind.size() - 1);
        }
    }
    return text;
}

// Why a run of kind is refused while a repair holds the lease, or a collection.
void refuse(const char *kind, bool held_by_repair) {
    const bool repair = std::strcmp(kind, kRepairLease) == 0;
    if (held_by_repair) {
        set_error("%s store repair is running; try again once it is done",
                  repair ? "another" : "a");
    } else {
        set_error(repair ? "a collection is running; repair once it is done"
                         : "another collection is running; try again once it is done");
    }
}

}  // namespace

GcLease::~GcLease() {
    release();
}

bool GcLease::acquire(const char *kind) {
    char dir[kPathCap];
    char path[kPathCap];
    if (!gc_state_path(dir, nullptr) || !gc_state_path(path, "lease")) {
        set_error("%s", kPathTooLong);
        return false;
    }
    if (!qv::os::is_dir(dir)) mkdirs(dir);
    const std::string me = holder() + "/" + kind;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (std::FILE *f = qv::os::open_write(path, true)) {
            const bool written = std::fwrite(me.data(), 1, me.size(), f) == me.size();
            if (std::fclose(f) == 0 && written) {
                path_ = path;
                owner_ = me;
                return true;
            }
            qv::os::remove_file(path);
            break;
        }
        if (errno != EEXIST) break;
        char text[512];
        uint64_t len = 0;
        qv::os::FileInfo info{};
        const bool read = read_file(path, text, sizeof text, &len) == 0;
        const bool dated = qv::os::entry_info(path, &info);
        bool held_by_repair = false;
        const std::string_view held =
            identity_in(std::string_view(text, read ? len : 0), &held_by_repair);
        const bool stale =
            (dated && qv::os::unix_now() - info.mtime_unix > kLeaseStaleSeconds + clock_margin()) ||
            (read && qv::os::process_liveness(held) == qv::os::Liveness::gone);
        if (!stale) {
            refuse(kind, held_by_repair);
            return false;
        }
        // Renamed to a name of this run's own first, so that of two takers only one removes it.
        const std::string aside = std::string(path) + "." + process_tag();
        if (qv::os::rename_path(path, aside.c_str())) qv::os::remove_file(aside.c_str());
    }
    set_error("collection lease cannot be written: %s", path);
    return false;
}

void GcLease::refresh() const {
    if (!path_.empty()) qv::os::touch_now(path_.c_str());
}

void GcLease::release() {
    if (path_.empty()) return;
    char text[512];
    uint64_t len = 0;
    // Only a lease still this run's: one taken over meanwhile is another run's now.
    if (read_file(path_.c_str(), text, sizeof text, &len) == 0 && owner_ == text)
        qv::os::remove_file(path_.c_str());
    path_.clear();
}

}  // namespace reg
