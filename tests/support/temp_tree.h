// A temporary directory that removes itself, and small file helpers for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + rel
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

  private:
    std::string path_;
};

// Creates parent directories as needed and writes the bytes.
void write_text(const std::string &path, const std::string &data);
// The whole file; throws when it cannot be read.
std::string read_text(const std::string &path);
bool exists(const std::string &path);
bool is_directory(const std::string &path);
// Sets both access and modification time, in Unix seconds.
void set_mtime(const std::string &path, int64_t unix_seconds);
void make_dirs(const std::string &path);
// Every path below root (relative, sorted), directories with a trailing "/": a snapshot to
// compare before and after an operation.
std::string tree_listing(const std::string &root);
// Every entry below parent but the one named root (the storage root beside them): relative
// name, mode, size and modification time to the nanosecond, links not followed, sorted.
std::vector<std::string> snapshot_outside(const std::string &parent, const std::string &root);

}  // namespace qvtest
