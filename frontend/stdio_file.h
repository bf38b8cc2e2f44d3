// Owning handle for a C stdio stream, so every early return closes the file.
#pragma once

#include <cstdio>
#include <memory>

namespace qv::frontend {

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace qv::frontend
