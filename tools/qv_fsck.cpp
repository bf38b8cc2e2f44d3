// Checks a storage tree from the command line and prints the report; with --repair, mends
// what it can (damaged files go to quarantine/ below the root, never deleted). On a terminal
// it shows how much of the blob bytes it has hashed, since a large store takes minutes. The
// registry keeps serving meanwhile: see the help text for what the check does about that.
//
//   qv_fsck --root DIR [--repair] [--clock-margin SECONDS]
// Exit status: 0 no damage remains, 1 damage remains, 2 the check could not run.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os.h"
#include "storage/reg_storage.h"
#include "tools/tool_args.h"

namespace {

constexpr int kBarWidth = 30;
constexpr uint64_t kRedrawMs = 100;

struct Bar {
    uint64_t last_ms = 0;
    bool drawn = false;
};

double gib(int64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0);
}

void draw(int64_t done, int64_t total, void *ctx) {
    auto *bar = static_cast<Bar *>(ctx);
    const uint64_t now = qv::os::monotonic_ms();
    if (bar->drawn && now - bar->last_ms < kRedrawMs && done < total) return;
    bar->last_ms = now;
    bar->drawn = true;
    const double share = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    char cells[kBarWidth + 1];
    const int filled = static_cast<int>(share * kBarWidth);
    for (int i = 0; i < kBarWidth; ++i)
        cells[i] = i < filled ? '#' : '-';
    cells[kBarWidth] = '\0';
    std::fprintf(stderr, "\rhashing blobs [%s] %3d%%  %.2f of %.2f GiB", cells,
                 static_cast<int>(share * 100.0), gib(done), gib(total));
    std::fflush(stderr);
}

const qv::tools::Usage kUsage{
    "qv_fsck", "usage: qv_fsck --root DIR [--repair] [--clock-margin SECONDS]\n",
    "Checks that every blob and manifest body hashes to its name, that every link names a\n"
    "stored manifest and every reference is stored, and lists what killed operations left.\n"
    "With --repair, damaged files move to quarantine/ below the root and leftovers go back\n"
    "or away. The registry may keep serving meanwhile:\n"
    "  - a repair holds the collection's lease: collections are refused while it runs, and\n"
    "    it is refused while one runs;\n"
    "  - it moves a file only while the name still holds the very file it judged; one a\n"
    "    client pushed again meanwhile stays (\"none (changed during the check)\");\n"
    "  - what an operation set aside less than 15 minutes ago (and the clock margin) is\n"
    "    left alone, dated from when it was set aside;\n"
    "  - a file gone meanwhile is no damage; a directory it cannot list is.\n"
    "Exit status: 0 no damage remains, 1 damage remains, 2 the check could not run.\n"};

int usage() {
    return qv::tools::usage_error(kUsage);
}

}  // namespace

int main(int argc, char **argv) {
    const char *root = nullptr;
    int repair = 0;
    if (const int status = qv::tools::standard_flags(argc, argv, kUsage); status >= 0)
        return status;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (std::strcmp(argv[i], "--repair") == 0) {
            repair = 1;
        } else if (std::strcmp(argv[i], "--clock-margin") == 0 && i + 1 < argc) {
            reg_set_clock_margin(std::atoll(argv[++i]));
        } else {
            return usage();
        }
    }
    if (root == nullptr) return usage();
    // A check never lays out a store: a mistyped path, or a disk that came back empty, must not
    // be reported clean.
    const std::string top(root);
    if (!qv::os::is_dir((top + "/blobs/sha256").c_str()) ||
        !qv::os::is_dir((top + "/repositories").c_str())) {
        std::fprintf(stderr,
                     "qv_fsck: %s is not a storage root (no blobs/sha256 or repositories)\n", root);
        return 2;
    }
    if (reg_storage_init(root) != 0) {
        std::fprintf(stderr, "qv_fsck: %s\n", reg_storage_last_error());
        return 2;
    }
    Bar bar;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    int damage = 0;
    const char *report = reg_fsck_json(repair, terminal ? draw : nullptr, &bar, &damage);
    if (bar.drawn) std::fputc('\n', stderr);
    if (report == nullptr) {
        std::fprintf(stderr, "qv_fsck: %s\n", reg_storage_last_error());
        return 2;
    }
    std::printf("%s\n", report);
    return damage != 0 ? 1 : 0;
}
