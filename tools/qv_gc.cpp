// Runs one garbage collection over a storage tree from the command line and prints its report:
// the collector as a whole process, for operators and for the benchmarks.
//
//   qv_gc --root DIR [--dry-run] [--clock-margin SECONDS]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/reg_storage.h"
#include "tools/tool_args.h"

namespace {

const qv::tools::Usage kUsage{
    "qv_gc", "usage: qv_gc --root DIR [--dry-run] [--clock-margin SECONDS]\n",
    "Removes the blob files no stored manifest references and uploads idle for 15 minutes,\n"
    "and prints the report. --dry-run only reports.\n"
    "Exit status: 0 done, 1 the collection failed or was refused, 2 usage.\n"};

}  // namespace

int main(int argc, char **argv) {
    if (const int status = qv::tools::standard_flags(argc, argv, kUsage); status >= 0)
        return status;
    const char *root = nullptr;
    int dry_run = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (std::strcmp(argv[i], "--dry-run") == 0) {
            dry_run = 1;
        } else if (std::strcmp(argv[i], "--clock-margin") == 0 && i + 1 < argc) {
            reg_set_clock_margin(std::atoll(argv[++i]));
        } else {
            return qv::tools::usage_error(kUsage);
        }
    }
    if (root == nullptr) return qv::tools::usage_error(kUsage);
    if (reg_storage_init(root) != 0) {
        std::fprintf(stderr, "qv_gc: %s\n", reg_storage_last_error());
        return 1;
    }
    const char *report = reg_gc_json(dry_run);
    if (report == nullptr) {
        std::fprintf(stderr, "qv_gc: %s\n", reg_storage_last_error());
        return 1;
    }
    std::printf("%s\n", report);
    return 0;
}
