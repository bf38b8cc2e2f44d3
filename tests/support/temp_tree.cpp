#include "support/temp_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace qvtest {

TempDir::TempDir() {
    char tmpl[] = "/tmp/qvtest-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void write_text(const std::string &path, const std::string &data) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string read_text(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void set_mtime(const std::string &path, int64_t unix_seconds) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unix_seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("cannot set time of " + path);
}

void make_dirs(const std::string &path) {
    fs::create_directories(path);
}

std::string tree_listing(const std::string &root) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = fs::relative(it->path(), root).string();
        if (it->is_directory() && !it->is_symlink()) rel += "/";
        names.push_back(rel);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const auto &n : names)
        out += n + "\n";
    return out;
}

namespace {

void snapshot_into(const std::string &dir, const std::string &rel, const std::string &skip,
                   std::vector<std::string> *out) {
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || (rel.empty() && name == skip)) continue;
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        out->push_back(rel + name + " " + std::to_string(st.st_mode) + " " +
                       std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                       std::to_string(st.st_mtim.tv_nsec));
        if (S_ISDIR(st.st_mode)) snapshot_into(path, rel + name + "/", skip, out);
    }
    ::closedir(d);
}

}  // namespace

std::vector<std::string> snapshot_outside(const std::string &parent, const std::string &root) {
    std::vector<std::string> out;
    snapshot_into(parent, "", root, &out);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace qvtest
