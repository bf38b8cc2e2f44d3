// Who a process is, in a form another process can check later: the kernel's boot, the pid
// namespace, the pid and the pid's start time (a pid alone is reused).
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"

namespace qv::os {

namespace {

std::string first_line(const char *path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
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
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
        if (i == 22) return field;
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
