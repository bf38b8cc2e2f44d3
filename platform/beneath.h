// Resolution of paths inside the confined tree (see confine_beneath in os.h). Outside it a
// path is used as given; inside it every component is resolved from the tree's own directory
// descriptor and no symbolic link is followed, so that a link planted in the tree can never
// lead a read, a write or a removal out of it.
#pragma once

#include <sys/types.h>

#include <string>

namespace qv::os::beneath {

// Where the last component of a path lives: a directory descriptor and the name within it,
// for the *at calls. Outside the tree that is the working directory and the path itself.
class Entry {
  public:
    explicit Entry(const char *path);
    ~Entry();
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;

    // 0 when the entry's directory was reached; else the error number.
    int error() const { return error_; }
    bool ok() const { return error_ == 0; }
    // Inside the tree: the caller must not follow a link at the last component either.
    bool confined() const { return confined_; }
    int dir() const { return dir_; }
    const char *name() const { return name_; }

  private:
    int dir_;
    bool owned_ = false;
    bool confined_ = false;
    int error_ = 0;
    const char *name_;
    std::string leaf_;
};

// open(2) of a path; inside the tree no link is followed at any component, the last included.
// -1 with errno set on failure.
int open_path(const char *path, int flags, mode_t mode = 0);

// For tests: resolve component by component, as on a kernel without beneath-resolution.
void force_component_walk(bool on);

}  // namespace qv::os::beneath
