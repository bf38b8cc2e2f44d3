// The operator's page: its files from web/ in the working directory (the site), behind the
// same gate as every route below /v2, and the JSON it reads beyond the other routes.
#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "endpoints/retention_policy.h"
#include "endpoints/v2_internal.h"
#include "frontend/qv_audit.h"
#include "frontend/v2_auth.h"
#include "platform/os.h"
#include "storage/reg_storage.h"

namespace v2 {

namespace {

constexpr size_t kPageFileMax = 1 << 20;

struct Kind {
    std::string_view suffix;
    const char *type;
};
constexpr Kind kKinds[] = {{".html", "text/html; charset=utf-8"},
                           {".js", "text/javascript; charset=utf-8"},
                           {".css", "text/css; charset=utf-8"},
                           {".svg", "image/svg+xml"}};

// A plain name of one of the page's kinds: nothing that could leave web/.
const char *type_of(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.front() == '-') return nullptr;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.'))
            return nullptr;
    for (const Kind &k : kKinds)
        if (name.size() > k.suffix.size() && name.ends_with(k.suffix) &&
            name.find('.') == name.size() - k.suffix.size())
            return k.type;
    return nullptr;
}

}  // namespace

void handle_page(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const char *type = type_of(r.rest);
    if (type == nullptr) fail(404, "NOT_FOUND", "no such page file");
    const std::string path = "web/" + r.rest;
    char *raw = nullptr;
    uint64_t len = 0;
    const int err = qv::os::read_whole(path.c_str(), kPageFileMax, &raw, &len);
    const std::unique_ptr<char, decltype(&std::free)> body(raw, &std::free);
    if (err == ENOENT || err == ENOTDIR) fail(404, "NOT_FOUND", "no such page file");
    if (err != 0) fail(500, "STORAGE_ERROR", "page file unreadable: " + r.rest);
    begin(200);
    header(std::string("Content-Type: ") + type);
    header("Content-Length: " + std::to_string(len));
    // Nothing but the page's own files runs or loads, and no other site frames its buttons.
    header("Content-Security-Policy: default-src 'self'; frame-ancestors 'none'");
    header("X-Content-Type-Options: nosniff");
    header("Referrer-Policy: no-referrer");
    header("Cache-Control: no-cache");
    end_headers();
    if (r.method != Method::Head) {
        std::fwrite(body.get(), 1, len, stdout);
        qv_audit_note_bytes(static_cast<int64_t>(len));
    }
    std::fflush(stdout);
}

void handle_usage(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const char *usage = reg_usage_json();
    if (usage == nullptr) storage_error("usage report failed");
    // The form's starting values come with it: the settings' retention policy.
    const qv::endpoints::RetentionPolicy p = qv::endpoints::configured_retention();
    std::string body(usage);
    body.pop_back();
    body += ",\"retention\":{\"keep_n\":" + std::to_string(p.keep_n) +
            ",\"days\":" + std::to_string(p.days) +
            ",\"include_latest\":" + (p.include_latest ? "true" : "false") +
            ",\"untagged_days\":" + std::to_string(p.untagged_days) +
            ",\"policies\":" + std::to_string(qv::frontend::ConfigRules().rule_count()) + "}}";
    send_json(200, body.c_str());
}

void handle_repository(const Route &r) {
    protect_immutable_tags();  // a deletion spares none, and the page marks them
    if (r.method == Method::Delete) {
        // Its tags and manifests go; its blobs at the next collection.
        if (reg_repository_delete(r.repo.c_str()) == 0) {
            send_json(202, "{}");
            return;
        }
        if (message_starts("repository not found")) fail(404, "NAME_UNKNOWN", engine_message());
        if (message_starts("DENIED: ")) fail(409, "DENIED", engine_message().substr(8));
        storage_error("repository deletion failed");
    }
    if (!is_read(r.method)) method_not_allowed();
    const char *report = reg_repository_json(r.repo.c_str());
    if (report != nullptr) {
        send_json(200, report);
        return;
    }
    if (message_starts("repository not found")) fail(404, "NAME_UNKNOWN", engine_message());
    storage_error("repository report failed");
}

void handle_me(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const std::unique_ptr<yyjson_mut_doc, void (*)(yyjson_mut_doc *)> doc(
        yyjson_mut_doc_new(nullptr), yyjson_mut_doc_free);
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *root = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, root);
    const char *user = registry_auth_user();
    yyjson_mut_obj_add_bool(d, root, "sign_in", registry_auth_enabled() != 0);
    if (user[0] != '\0')
        yyjson_mut_obj_add_strcpy(d, root, "user", user);
    else
        yyjson_mut_obj_add_null(d, root, "user");
    yyjson_mut_obj_add_bool(d, root, "admin", registry_auth_is_admin() != 0);
    const std::unique_ptr<char, decltype(&std::free)> body(yyjson_mut_write(d, 0, nullptr),
                                                           &std::free);
    if (!body) storage_error("out of memory");
    send_json(200, body.get());
}

void handle_retention_preview(const Route &r) {
    if (!is_read(r.method)) method_not_allowed();
    const qv::endpoints::RetentionAnswer answer =
        qv::endpoints::run_requested_retention(true, 1, nullptr);
    if (answer.json == nullptr) fail(answer.status, answer.code, answer.message);
    send_json(200, answer.json);
}

}  // namespace v2
