// registry_users_file, registry_access and registry_admins; the users file's hashes verified
// with the system's crypt_r (libxcrypt), only of the kinds made slow on purpose.
#include "frontend/access.h"

#include <crypt.h>
#include <yyjson.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frontend/config_json.h"
#include "platform/os.h"
#include "storage/reg_storage.h"
#include "storage/tag_rules.h"

namespace qv::frontend {

namespace {

constexpr uint64_t kFileMax = 1 << 20;
// A bcrypt hash at the cost qv_passwd uses: verified against for names that are no users, its
// answer never looked at.
constexpr const char kDecoyHash[] = "$2b$10$et091f2dLz5vI0s3J./rouYJaCcso7LpV7YPooBZOc2VNL9z6fthC";

// Text of a file read whole; false when it cannot be read (a missing file included).
bool read_text(const std::string &path, std::string *out) {
    char *buf = nullptr;
    uint64_t len = 0;
    const int err = qv::os::read_whole(path.c_str(), kFileMax, &buf, &len);
    const std::unique_ptr<char, decltype(&std::free)> owned(buf, &std::free);
    if (err != 0) return false;
    out->assign(buf, len);
    return true;
}

// Equal texts, compared over their whole length whatever the first difference.
bool same_text(std::string_view a, std::string_view b) {
    unsigned diff = a.size() == b.size() ? 0 : 1;
    const std::string_view longer = a.size() >= b.size() ? a : b;
    for (size_t i = 0; i < longer.size(); ++i)
        diff |= static_cast<unsigned>(static_cast<unsigned char>(i < a.size() ? a[i] : 0) ^
                                      static_cast<unsigned char>(i < b.size() ? b[i] : 0));
    return diff == 0;
}

bool accepted_kind(std::string_view hash) {
    return hash.starts_with("$2y$") || hash.starts_with("$2b$") || hash.starts_with("$y$");
}

}  // namespace

AccessConfig::AccessConfig() {
    std::string text;
    const WholeConfig got = read_whole_config(&text);
    if (got == WholeConfig::unreadable) error_ = "config.json cannot be read";
    if (got == WholeConfig::text) parse(text);
}

AccessConfig::AccessConfig(const std::string &text) {
    parse(text);
}

void AccessConfig::parse(const std::string &text) {
    static constexpr const char *kKeys[] = {"\"registry_users_file\"", "\"registry_access\"",
                                            "\"registry_admins\""};
    bool any = false;
    for (const char *k : kKeys)
        any = any || text.find(k) != std::string::npos;
    if (!any) return;
    yyjson_read_err err{};
    const std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, &err));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        error_ = doc ? "config.json is not a JSON object"
                     : "config.json does not parse: " + std::string(err.msg) + " at byte " +
                           std::to_string(err.pos);
        return;
    }
    if (yyjson_val *f = yyjson_obj_get(root, "registry_users_file")) {
        if (!yyjson_is_str(f) || *yyjson_get_str(f) == '\0') {
            error_ = "registry_users_file: must be a file's path";
            return;
        }
        users_file_ = yyjson_get_str(f);
    }
    if (yyjson_val *a = yyjson_obj_get(root, "registry_admins")) {
        if (!yyjson_is_arr(a) || (yyjson_arr_size(a) > 0 && !read_strings(a, &admins_))) {
            error_ = "registry_admins: must be an array of user names";
            return;
        }
    }
    yyjson_val *list = yyjson_obj_get(root, "registry_access");
    if (list == nullptr) return;
    access_set_ = true;
    if (!yyjson_is_arr(list)) {
        error_ = "registry_access: must be an array of entries";
        return;
    }
    size_t i, n;
    yyjson_val *e;
    yyjson_arr_foreach(list, i, n, e) {
        const std::string at = "registry_access " + std::to_string(i) + ": ";
        if (!yyjson_is_obj(e)) {
            error_ = at + "must be an object";
            return;
        }
        Entry entry;
        bool has_users = false;
        size_t k, m;
        yyjson_val *key, *v;
        yyjson_obj_foreach(e, k, m, key, v) {
            const std::string_view name = yyjson_get_str(key);
            if (name == "repositories") {
                if (!read_strings(v, &entry.repositories)) {
                    error_ = at + "repositories: must be a glob or an array of globs, none empty";
                    return;
                }
            } else if (name == "users") {
                if (!(has_users = read_strings(v, &entry.users))) {
                    error_ = at + "users: must be names, \"*\" or \"anonymous\"";
                    return;
                }
            } else if (name == "actions") {
                std::vector<std::string> actions;
                if (!read_strings(v, &actions)) {
                    error_ = at + "actions: must be some of \"pull\", \"push\", \"delete\"";
                    return;
                }
                for (const std::string &a : actions) {
                    const unsigned r = a == "pull"     ? kPull
                                       : a == "push"   ? kPush
                                       : a == "delete" ? kDelete
                                                       : 0;
                    if (r == 0) {
                        error_ = at + "actions: unknown action \"" + a + "\"";
                        return;
                    }
                    entry.rights |= r;
                }
            } else {
                error_ = at + "unknown key \"" + std::string(name) + "\"";
                return;
            }
        }
        if (entry.repositories.empty() || !has_users || entry.rights == 0) {
            error_ = at +
                     (entry.repositories.empty() ? "repositories"
                      : !has_users               ? "users"
                                                 : "actions") +
                     ": required";
            return;
        }
        entries_.push_back(std::move(entry));
    }
}

unsigned AccessConfig::rights(std::string_view user, bool signed_in, std::string_view repo) const {
    if (!access_set_) return signed_in ? kAllRights : 0;
    reg::Globs globs;
    unsigned out = 0;
    for (const Entry &e : entries_) {
        bool who = false;
        // What anonymous requests may do, a signed-in user may do too.
        for (const std::string &u : e.users)
            who = who || u == "anonymous" || (signed_in && (u == "*" || u == user));
        if (!who || (out & e.rights) == e.rights) continue;
        globs.patterns = e.repositories;
        if (globs.match(repo)) out |= e.rights;
    }
    return out;
}

bool AccessConfig::anonymous_may_act() const {
    for (const Entry &e : entries_)
        for (const std::string &u : e.users)
            if (u == "anonymous") return true;
    return false;
}

bool AccessConfig::admin(std::string_view user) const {
    for (const std::string &a : admins_)
        if (a == user) return true;
    return false;
}

UserCheck check_user(const std::string &file, std::string_view user, std::string_view password,
                     std::string *why) {
    std::string text;
    if (!read_text(file, &text)) {
        *why = "the users file " + file + " cannot be read";
        return UserCheck::unreadable;
    }
    std::string_view rest(text);
    std::string_view line;
    bool found = false;
    while (!rest.empty() && !found) {
        const size_t eol = rest.find('\n');
        line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t colon = line.find(':');
        found = colon != std::string_view::npos && line.substr(0, colon) == user;
    }
    // A password holding a NUL would be cut short by crypt_r: it matches nothing. Names the
    // rights give a meaning of their own are no users. Refused after a verification's worth
    // of work all the same: the time of an answer does not tell which names exist.
    if (!found || password.find('\0') != std::string_view::npos || user == "anonymous" ||
        user == "*") {
        auto data = std::make_unique<crypt_data>();
        crypt_r("", kDecoyHash, data.get());
        return found ? UserCheck::wrong : UserCheck::unknown_user;
    }
    const std::string hash(line.substr(line.find(':') + 1));
    if (!accepted_kind(hash)) {
        *why = "the users file " + file + " holds a hash of a kind not accepted for " +
               std::string(user) + " (only bcrypt, $2y$ or $2b$, and yescrypt, $y$)";
        return UserCheck::bad_kind;
    }
    std::string material(user);
    material.push_back('\0');
    material.append(password);
    material.push_back('\0');
    material.append(line);
    const struct Wipe {
        std::string &s;
        ~Wipe() {
            volatile char *p = s.data();
            for (size_t i = 0; i < s.size(); ++i)
                p[i] = 0;
        }
    } wipe{material};
    if (reg_auth_proof(material.data(), material.size(), 0) == 1) return UserCheck::ok;
    auto data = std::make_unique<crypt_data>();
    const std::string pass(password);
    const char *out = crypt_r(pass.c_str(), hash.c_str(), data.get());
    if (out == nullptr || out[0] == '*' || !same_text(out, hash)) return UserCheck::wrong;
    reg_auth_proof(material.data(), material.size(), 1);
    return UserCheck::ok;
}

std::string bcrypt_hash(const std::string &password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", 10, nullptr, 0, salt, sizeof salt) == nullptr) return "";
    auto data = std::make_unique<crypt_data>();
    const char *out = crypt_r(password.c_str(), salt, data.get());
    return out != nullptr && out[0] != '*' ? out : "";
}

}  // namespace qv::frontend
