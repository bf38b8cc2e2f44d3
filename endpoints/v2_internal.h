// Shared by the registry's route handlers: the parsed request, the response writers and the
// helpers every family needs. Handlers finish the response themselves; the failure writers end
// the process, like oci_send_error.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace v2 {

enum class Method { Get, Head, Post, Put, Patch, Delete, Other };

// One route's share of the request path: the repository (checked) and what follows the
// route's marker (a digest, a reference or an upload id; empty when nothing follows).
struct Route {
    Method method = Method::Other;
    std::string repo;
    std::string rest;
};

Method request_method();
bool is_read(Method m);  // GET or HEAD

// ---- responses ----------------------------------------------------------------------------
// Status line and the registry's version header; header() adds one line; end_headers()
// closes the block.
void begin(int status);
void header(const std::string &line);
void end_headers();
// A complete response without a body (Content-Length: 0).
void send_empty(int status, std::initializer_list<std::string> headers = {});
// A JSON body behind the registry headers and any extra lines; HEAD gets the headers only.
void send_json(int status, const char *body, std::initializer_list<std::string> headers = {});
// The registry error envelope, with extra header lines; ends the process.
[[noreturn]] void fail(int status, const char *code, const std::string &message,
                       std::initializer_list<std::string> headers = {});
[[noreturn]] void method_not_allowed();
// 500 STORAGE_ERROR with the engine's message (or the fallback when it has none).
[[noreturn]] void storage_error(const char *fallback);
// Starts the storage engine or answers with the status (500 but for the health route's 503).
void need_storage(int status = 500);

// ---- request pieces -----------------------------------------------------------------------
std::string engine_message();
bool message_starts(const char *prefix);
bool valid_digest(std::string_view text);
bool valid_upload_id(std::string_view text);
// CONTENT_LENGTH as a 64-bit count, absent reading as 0; anything but digits is refused with
// 400 and the code given.
int64_t content_length(const char *code);
// Whether the web server hands the body over as a file (taken whole, whatever its length).
bool body_from_file();
// A flag such as dry_run: absent is the fallback; named with no value, or any value but
// exactly "0" or "false", is on.
int flag_param(const char *name, int fallback);
// Percent-encodes everything but unreserved characters and "/".
std::string url_encode(std::string_view text);

// Hands config.json's immutable tags to the engine before anything may overwrite or delete a
// tag; 500 CONFIG_INVALID when they cannot be used.
void protect_immutable_tags();

// Answers a listing page, with the Link to the next page when more remain.
void send_page(const char *body, int more, int n, const char *last, const std::string &base);
// n for a listing: absent or not a number is 0 (no limit), larger than an int is capped, and
// an explicit 0 is -1: the client asked for no entries.
int page_size();

// ---- route families -----------------------------------------------------------------------
void handle_base(const Route &r);
void handle_blob(const Route &r);
void handle_upload(const Route &r);
void handle_manifest(const Route &r);
void handle_referrers(const Route &r);
void handle_tags(const Route &r);
void handle_catalog(const Route &r);
void handle_gc(const Route &r);
void handle_fsck(const Route &r);
void handle_stats(const Route &r);
void handle_health(const Route &r);
void handle_metrics(const Route &r);
void handle_page(const Route &r);  // rest: the file's name
void handle_usage(const Route &r);
void handle_repository(const Route &r);
void handle_retention_preview(const Route &r);
void handle_me(const Route &r);  // who is signed in, and what the page may offer

}  // namespace v2
