// Hashes one file with sha256_file and prints the throughput and the digest.
// Usage: sha256_bench FILE [auto|portable|shani]
#include <chrono>
#include <cstdio>
#include <cstring>

#include "digest/sha256.h"
#include "digest/sha256_backend.h"
#include "platform/os.h"

using qv::sha256::Backend;

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s FILE [auto|portable|shani]\n", argv[0]);
        return 2;
    }
    const char *choice = argc == 3 ? argv[2] : "auto";
    Backend backend;
    if (std::strcmp(choice, "auto") == 0) {
        backend = Backend::automatic;
    } else if (std::strcmp(choice, "portable") == 0) {
        backend = Backend::portable;
    } else if (std::strcmp(choice, "shani") == 0) {
        backend = Backend::shani;
    } else {
        std::fprintf(stderr, "unknown back end: %s\n", choice);
        return 2;
    }
    if (!qv::sha256::select_backend(backend)) {
        std::fprintf(stderr, "back end not available on this CPU: %s\n", choice);
        return 2;
    }
    qv::os::FileInfo info{};
    if (!qv::os::file_info(argv[1], &info)) {
        std::fprintf(stderr, "cannot inspect %s\n", argv[1]);
        return 1;
    }

    uint8_t digest[32];
    const auto start = std::chrono::steady_clock::now();
    if (sha256_file(argv[1], digest) != 0) {
        std::fprintf(stderr, "cannot hash %s\n", argv[1]);
        return 1;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    char hex[65];
    for (int i = 0; i < 32; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    const double mb_per_s =
        took.count() > 0 ? static_cast<double>(info.size) / 1e6 / took.count() : 0;
    std::printf("%s %s %.1f MB/s %s\n", hex,
                qv::sha256::active_backend() == Backend::shani ? "shani" : "portable", mb_per_s,
                argv[1]);
    return 0;
}
