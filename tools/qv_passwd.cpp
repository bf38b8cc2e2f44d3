// Sets a user's password: the registry's one user in a config.json (registry_auth_user and
// the SHA-256 of the password, registry_auth_sha256, its other keys kept), or a user of a
// users file ("user:hash" lines, bcrypt), added, changed or deleted.
//
//   qv_passwd CONFIG_JSON USER
//   qv_passwd --users FILE USER
//   qv_passwd --users FILE --delete USER
// On a terminal it asks for the password twice without echo; otherwise it reads one line from
// standard input (the line end is not part of the password).
// Exit status: 0 written, 1 not written (the reason on standard error), 2 usage.
#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "frontend/access.h"
#include "platform/os.h"
#include "storage/storage_internal.h"
#include "tools/tool_args.h"

namespace {

constexpr uint64_t kConfigMax = 1 << 20;
constexpr std::size_t kUserMax = 127;

const qv::tools::Usage kUsage{
    "qv_passwd",
    "usage: qv_passwd CONFIG_JSON USER\n"
    "       qv_passwd --users FILE USER\n"
    "       qv_passwd --users FILE --delete USER\n",
    "Sets USER's password: the one user of a config.json (its SHA-256), or a user of a users\n"
    "file (bcrypt; added or changed), or deletes a user of a users file. The password is asked\n"
    "twice on a terminal, else read as one line from standard input. The file is replaced whole:\n"
    "a reader sees the old one or the new one, never a mix.\n"
    "Exit status: 0 written, 1 not written (the reason on standard error), 2 usage.\n"};

int usage() {
    return qv::tools::usage_error(kUsage);
}

int fail(const char *config, const char *why) {
    std::fprintf(stderr, "qv_passwd: %s: %s\n", config, why);
    return 1;
}

// The gate reads the name as plain text between quotes and splits the credentials at the
// first colon, so a name with a colon, a quote, a backslash or a control byte could never sign in.
const char *user_problem(std::string_view user) {
    if (user.empty() || user.size() > kUserMax) return "the user name must be 1 to 127 bytes";
    for (const char c : user) {
        if (c == ':' || c == '"' || c == '\\' || c == ' ' || static_cast<unsigned char>(c) < 0x20 ||
            c == 0x7f)
            return "the user name may not hold ':', '\"', '\\', spaces or control characters";
    }
    // Names the rights give a meaning of their own.
    if (user == "anonymous" || user == "*") return "anonymous and * are no user names";
    return nullptr;
}

// The file replaced whole and durably. It holds a password's hash, so the replacement is
// created 0600 and only then given the old file's mode and owner, just before it takes its
// place: never readable by more than the file it replaces, and the programs reading it never
// meet it unreadable. A new file is 0600 and belongs to its directory's owner (the site's
// user, who runs the programs: a file they cannot read would leave the gate open).
bool replace_privately(const char *path, const std::string &body) {
    char temporary[reg::kPathCap];
    if (!reg::temporary_path(temporary, path)) return false;
    qv::os::Ownership owner{};
    if (!qv::os::ownership_of(path, &owner)) {
        const std::string_view p(path);
        const size_t cut = p.find_last_of('/');
        const std::string dir =
            cut == std::string_view::npos ? "." : std::string(p.substr(0, cut + 1));
        if (!qv::os::ownership_of(dir.c_str(), &owner)) return false;
        owner.mode = 0600;
    }
    std::FILE *file = qv::os::open_write(temporary, true, 0600);
    if (file == nullptr) return false;
    const bool written = std::fwrite(body.data(), 1, body.size(), file) == body.size() &&
                         qv::os::durable_contents(file);
    if (std::fclose(file) != 0 || !written || !qv::os::give_ownership(temporary, owner) ||
        !qv::os::rename_path(temporary, path)) {
        qv::os::remove_file(temporary);
        return false;
    }
    return qv::os::durable_entry(path);
}

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};

}  // namespace

// The password, asked twice on a terminal or read as one line; empty when none was given (the
// reason said).
std::string ask_password(const char *file) {
    std::string password;
    if (qv::os::stdin_is_terminal()) {
        std::string again;
        if (!qv::os::read_line("Password: ", &password) || !qv::os::read_line("Again: ", &again)) {
            fail(file, "no password given");
            return "";
        }
        if (password != again) {
            fail(file, "the two passwords differ; nothing written");
            return "";
        }
    } else if (!qv::os::read_line("", &password)) {
        fail(file, "no password on standard input");
        return "";
    }
    if (password.empty()) fail(file, "the password is empty; nothing written");
    return password;
}

// A users file's line for the user replaced (or, with remove, taken out), the rest kept.
int set_user(const char *file, std::string_view user, bool remove) {
    std::string text;
    char *buf = nullptr;
    uint64_t len = 0;
    const int rc = qv::os::read_whole(file, kConfigMax, &buf, &len);
    if (rc == 0) {
        text.assign(buf, len);
        std::free(buf);
    } else if (rc != ENOENT || remove) {
        return fail(file, rc == ENOENT ? "no such file" : std::strerror(rc));
    }
    std::string line;
    if (!remove) {
        const std::string password = ask_password(file);
        if (password.empty()) return 1;
        line = std::string(user) + ":" + qv::frontend::bcrypt_hash(password);
        if (line.size() == user.size() + 1) return fail(file, "no bcrypt hash could be made");
    }
    std::string body;
    bool found = false;
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t eol = rest.find('\n');
        const std::string_view one = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        if (one.substr(0, one.find(':')) == user && one.find(':') != std::string_view::npos) {
            if (!found && !remove) body += line + "\n";
            found = true;
            continue;
        }
        if (!one.empty()) body += std::string(one) + "\n";
    }
    if (remove && !found) return fail(file, "no such user; nothing written");
    if (!found && !remove) body += line + "\n";
    if (!replace_privately(file, body))
        return fail(file, "could not be written (is its directory writable?)");
    std::printf("qv_passwd: %s: %s %.*s\n", file,
                remove  ? "deleted"
                : found ? "password changed for"
                        : "added",
                static_cast<int>(user.size()), user.data());
    return 0;
}

int main(int argc, char **argv) {
    if (const int status = qv::tools::standard_flags(argc, argv, kUsage); status >= 0)
        return status;
    if (argc >= 4 && std::strcmp(argv[1], "--users") == 0) {
        const bool remove = argc == 5 && std::strcmp(argv[3], "--delete") == 0;
        if (argc != (remove ? 5 : 4) || (!remove && argv[3][0] == '-')) return usage();
        const std::string_view user = argv[remove ? 4 : 3];
        if (const char *why = user_problem(user)) return fail(argv[2], why);
        return set_user(argv[2], user, remove);
    }
    if (argc != 3 || argv[1][0] == '-') return usage();
    const char *config = argv[1];
    const std::string_view user = argv[2];
    if (const char *why = user_problem(user)) return fail(config, why);

    // The existing settings, read before asking, so a broken file is said at once.
    std::unique_ptr<yyjson_mut_doc, DocFree> out(yyjson_mut_doc_new(nullptr));
    char *text = nullptr;
    uint64_t len = 0;
    const int rc = qv::os::read_whole(config, kConfigMax, &text, &len);
    if (rc == 0) {
        yyjson_read_err err{};
        std::unique_ptr<yyjson_doc, DocFree> in(yyjson_read_opts(text, len, 0, nullptr, &err));
        std::free(text);
        if (!in) return fail(config, "not valid JSON; mend it or move it aside first");
        if (!yyjson_is_obj(yyjson_doc_get_root(in.get())))
            return fail(config, "not a JSON object; mend it or move it aside first");
        yyjson_mut_doc_set_root(out.get(),
                                yyjson_val_mut_copy(out.get(), yyjson_doc_get_root(in.get())));
    } else if (rc == ENOENT) {
        yyjson_mut_doc_set_root(out.get(), yyjson_mut_obj(out.get()));
    } else {
        return fail(config, std::strerror(rc));
    }

    const std::string password = ask_password(config);
    if (password.empty()) return 1;

    // First in the file: the gate looks only at the start of config.json.
    yyjson_mut_doc *doc = out.get();
    yyjson_mut_val *root = yyjson_mut_doc_get_root(doc);
    yyjson_mut_obj_remove_key(root, "registry_auth_user");
    yyjson_mut_obj_remove_key(root, "registry_auth_sha256");
    char hash[65];
    reg::hex_of_bytes(password.data(), password.size(), hash);
    yyjson_mut_obj_insert(root, yyjson_mut_str(doc, "registry_auth_user"),
                          yyjson_mut_strncpy(doc, user.data(), user.size()), 0);
    yyjson_mut_obj_insert(root, yyjson_mut_str(doc, "registry_auth_sha256"),
                          yyjson_mut_strncpy(doc, hash, 64), 1);
    std::size_t out_len = 0;
    yyjson_write_err err{};
    char *written =
        yyjson_mut_write_opts(doc, YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr, &out_len, &err);
    if (written == nullptr)
        return fail(config, err.code == YYJSON_WRITE_ERROR_INVALID_STRING
                                ? "the user name is not valid UTF-8"
                                : "out of memory");
    std::string body(written, out_len);
    std::free(written);
    body.push_back('\n');
    if (!replace_privately(config, body))
        return fail(config, "could not be written (is its directory writable?)");
    std::printf("qv_passwd: %s: password set for %.*s\n", config, static_cast<int>(user.size()),
                user.data());
    return 0;
}
