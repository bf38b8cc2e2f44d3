// Who a process is, in a form another process can check later: the kernel's boot, the pid
// namespace, the pid and the pid's start time (a pid alone is reused).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"

namespace qv::os {

namespace {

// Stdio rather than streams: the CGI programs link this, and streams would bring the whole
// locale machinery into every process the web server starts.
std::string first_line(const char *path) {
    std::FILE *f = std::fopen(path, "re");
    if (f == nullptr) return {};
    char buf[4096];
    const bool got = std::fgets(buf, sizeof buf, f) != nullptr;
    std::fclose(f);
    if (!got) return {};
    return std::string(buf, std::strcspn(buf, "\n"));
}

std::string pid_namespace() {
    char target[128];
    const ssize_t n = ::readlink("/proc/self/ns/pid", target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Field 22 of /proc/<pid>/stat, the start time in ticks since boot; empty when there is no
// such process. The name in field 2 may hold spaces and parentheses: fields are counted
// after its last ')'.
std::string start_time(const std::string &pid) {
    const std::string stat = first_line(("/proc/" + pid + "/stat").c_str());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return {};
    std::string_view rest = std::string_view(stat).substr(close + 1);
    for (int i = 3; i <= 22; ++i) {
        const size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return {};
        rest.remove_prefix(start);
        const std::string_view field = rest.substr(0, rest.find(' '));
        if (i == 22) return std::string(field);
        rest.remove_prefix(field.size());
    }
    return {};
}

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (size_t cut; (cut = text.find('/', at)) != std::string_view::npos; at = cut + 1)
        parts.emplace_back(text.substr(at, cut - at));
    parts.emplace_back(text.substr(at));
    return parts;
}

}  // namespace

std::string process_identity() {
    const std::string boot = first_line("/proc/sys/kernel/random/boot_id");
    const std::string ns = pid_namespace();
    const std::string pid = std::to_string(process_id());
    const std::string start = start_time(pid);
    if (boot.empty() || ns.empty() || start.empty()) return {};
    return boot + "/" + ns + "/" + pid + "/" + start;
}

Liveness process_liveness(std::string_view identity) {
    const std::vector<std::string> parts = split(identity);
    if (parts.size() != 4 || parts[2].empty() ||
        parts[2].find_first_not_of("0123456789") != std::string::npos)
        return Liveness::unknown;
    if (parts[0] != first_line("/proc/sys/kernel/random/boot_id") || parts[1] != pid_namespace())
        return Liveness::unknown;  // another host or container: nothing here to look at
    return start_time(parts[2]) == parts[3] ? Liveness::alive : Liveness::gone;
}

std::string current_dir() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

}  // namespace qv::os
