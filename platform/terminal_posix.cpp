// Reading a secret from a terminal on POSIX (echo is off while the line is typed), and the
// ownership a rewritten settings file keeps.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/os.h"

namespace qv::os {

bool stdin_is_terminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

bool read_line(const char *prompt, std::string *out) {
    out->clear();
    termios saved{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;  // the Enter still moves to the next line
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    bool got_line = false;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        got_line = true;
        if (c == '\n') break;
        out->push_back(static_cast<char>(c));
    }
    if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    // A line typed on Windows or pasted from one.
    if (!out->empty() && out->back() == '\r') out->pop_back();
    return got_line && !std::ferror(stdin);
}

bool ownership_of(const char *path, Ownership *out) {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    *out = {static_cast<unsigned>(st.st_mode & 07777), st.st_uid, st.st_gid};
    return true;
}

bool give_ownership(const char *path, const Ownership &ownership) {
    // Not being root, the owner is this process's already or cannot be given: the mode still is.
    (void)!::chown(path, ownership.uid, ownership.gid);
    return ::chmod(path, ownership.mode) == 0;
}

}  // namespace qv::os
