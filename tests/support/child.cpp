#include "support/child.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <vector>

namespace qvtest {
namespace {

std::string temp_file_with(const std::string &data) {
    char name[] = "/tmp/qvchild-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = ::write(fd, data.data() + off, data.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    ::close(fd);
    return name;
}

std::string slurp_and_remove(const std::string &path) {
    std::string out;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        std::fclose(f);
    }
    std::remove(path.c_str());
    return out;
}

// In the child: environment, directory and the two redirected streams.
void prepare_child(const ChildSetup &setup, const std::string &in_path,
                   const std::string &out_path) {
    // The sanitizer build's settings (errors fatal) hold in the child and the programs it runs.
    std::map<std::string, std::string> keep;
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = std::getenv(name)) keep[name] = v;
    ::clearenv();
    for (const auto &[k, v] : keep)
        ::setenv(k.c_str(), v.c_str(), 1);
    for (const auto &[k, v] : setup.env)
        ::setenv(k.c_str(), v.c_str(), 1);
    if (!setup.cwd.empty() && ::chdir(setup.cwd.c_str()) != 0) ::_exit(126);
    int in = ::open(in_path.c_str(), O_RDONLY);
    int out = ::open(out_path.c_str(), O_WRONLY | O_TRUNC);
    if (in < 0 || out < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::close(in);
    ::close(out);
    // Fresh stdio state for the redirected descriptors.
    std::clearerr(stdin);
    std::clearerr(stdout);
    if (setup.uid >= 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(setup.uid) != 0 || ::setuid(setup.uid) != 0))
        ::_exit(126);
}

ChildHandle start(const ChildSetup &setup, const std::function<void()> &child_body) {
    ChildHandle child;
    child.in_path = temp_file_with(setup.stdin_data);
    child.out_path = temp_file_with("");
    std::fflush(nullptr);
    child.pid = ::fork();
    if (child.pid < 0) throw std::runtime_error("fork failed");
    if (child.pid == 0) {
        prepare_child(setup, child.in_path, child.out_path);
        child_body();
        ::_exit(127);
    }
    return child;
}

ChildResult run(const ChildSetup &setup, const std::function<void()> &child_body) {
    return finish_child(start(setup, child_body));
}

}  // namespace

ChildHandle start_child(const ChildSetup &setup, const std::function<int()> &fn) {
    return start(setup, [&] { std::exit(fn()); });
}

ChildResult finish_child(const ChildHandle &child) {
    int wstatus = 0;
    while (::waitpid(child.pid, &wstatus, 0) < 0) {
    }
    ChildResult r;
    r.out = slurp_and_remove(child.out_path);
    std::remove(child.in_path.c_str());
    r.exited = WIFEXITED(wstatus);
    r.status = r.exited ? WEXITSTATUS(wstatus) : -1;
    return r;
}

ChildResult run_child(const ChildSetup &setup, const std::function<int()> &fn) {
    return run(setup, [&] { std::exit(fn()); });
}

ChildResult run_program(const std::string &path, const ChildSetup &setup) {
    return run(setup, [&] {
        char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
        ::execv(path.c_str(), argv);
        ::_exit(127);
    });
}

}  // namespace qvtest
