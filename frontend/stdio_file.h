// Owning handle for a C stdio stream, so every early return closes the file.
#pragma once

#include <cstdio>
#include <memory>

namespace qv::frontend {

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

inline FilePtr open_file(const char *path, const char *mode) {
    return FilePtr(std::fopen(path, mode));
}

}  // namespace qv::frontend
