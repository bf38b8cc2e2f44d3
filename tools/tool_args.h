// What every tool answers alike: --help prints its usage and description on standard output
// (status 0), --version its version; wrong usage prints the usage on standard error (status 2).
#pragma once

#include <cstdio>
#include <cstring>

namespace qv::tools {

struct Usage {
    const char *name;
    const char *synopsis;     // "usage: ...\n"
    const char *description;  // for --help; may be nullptr
};

// The status to exit with when the arguments ask for help or the version; -1 to read them on.
inline int standard_flags(int argc, char **argv, const Usage &u) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(u.synopsis, stdout);
            if (u.description != nullptr) std::fputs(u.description, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s %s\n", u.name, QV_VERSION);
            return 0;
        }
    }
    return -1;
}

inline int usage_error(const Usage &u) {
    std::fputs(u.synopsis, stderr);
    return 2;
}

}  // namespace qv::tools
