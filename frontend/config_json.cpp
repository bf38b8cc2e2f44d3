#include "frontend/config_json.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "frontend/config_text.h"
#include "platform/os.h"

namespace qv::frontend {

namespace {
constexpr uint64_t kConfigMax = 1 << 20;
}  // namespace

WholeConfig read_whole_config(std::string *text) {
    char *buf = nullptr;
    uint64_t len = 0;
    const int err = qv::os::read_whole(kConfigFile, kConfigMax, &buf, &len);
    const std::unique_ptr<char, decltype(&std::free)> owned(buf, &std::free);
    if (err == EACCES || err == EPERM || err == EIO || err == EFBIG) return WholeConfig::unreadable;
    if (err != 0) return WholeConfig::none;
    text->assign(buf, len);
    return WholeConfig::text;
}

bool read_strings(yyjson_val *v, std::vector<std::string> *out) {
    if (yyjson_is_str(v)) {
        out->emplace_back(yyjson_get_str(v));
    } else if (yyjson_is_arr(v)) {
        size_t i, n;
        yyjson_val *s;
        yyjson_arr_foreach(v, i, n, s) {
            if (!yyjson_is_str(s)) return false;
            out->emplace_back(yyjson_get_str(s));
        }
    } else {
        return false;
    }
    for (const std::string &s : *out)
        if (s.empty()) return false;
    return !out->empty();
}

}  // namespace qv::frontend
