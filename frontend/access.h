// Who may do what: the users file (registry_users_file), the rights of users on repositories
// (registry_access) and the administrators (registry_admins) of config.json, parsed whole on
// every request, and the users file's lines verified with the system's crypt_r.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv::frontend {

inline constexpr unsigned kPull = 1, kPush = 2, kDelete = 4, kAllRights = 7;

class AccessConfig {
  public:
    // Reads config.json from the working directory.
    AccessConfig();
    // For the tests: the settings of this text.
    explicit AccessConfig(const std::string &text);

    // Why the settings cannot be used ("" when they can), naming the entry and key.
    const std::string &error() const { return error_; }
    const std::string &users_file() const { return users_file_; }
    // The rights of a signed-in user (anonymous: user empty) on a repository: the union of
    // every matching entry; without registry_access, a signed-in user may pull, push and
    // delete everywhere and anonymous nothing.
    unsigned rights(std::string_view user, bool signed_in, std::string_view repo) const;
    // Whether anonymous requests may do anything anywhere.
    bool anonymous_may_act() const;
    bool admin(std::string_view user) const;
    bool access_set() const { return access_set_; }

  private:
    struct Entry {
        std::vector<std::string> repositories;
        std::vector<std::string> users;  // names; "*" any signed-in user; "anonymous"
        unsigned rights = 0;
    };
    void parse(const std::string &text);

    std::string error_;
    std::string users_file_;
    bool access_set_ = false;
    std::vector<Entry> entries_;
    std::vector<std::string> admins_;
};

// A user's line of the users file ("user:hash").
enum class UserCheck { ok, wrong, unknown_user, bad_kind, unreadable };
// Verifies the password against the user's line in the file; a recent verification of the
// same user, password and line stands for a new one (reg_auth_proof). why tells the operator
// of a file that cannot be read or a hash of a kind not accepted.
UserCheck check_user(const std::string &file, std::string_view user, std::string_view password,
                     std::string *why);

// A bcrypt hash of the password for a users file line; empty when it cannot be made.
std::string bcrypt_hash(const std::string &password);

}  // namespace qv::frontend
