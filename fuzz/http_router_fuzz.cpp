// The registry program's router and route handlers over one hostile CGI request: path
// splitting, Range, Content-Range, n/last, digest, mount/from, the method and the body, on a
// small real store.
//
// Input: method NUL path NUL query NUL range NUL content-range NUL content-type NUL
// content-length NUL body (the body is the rest, NULs and all). They become REQUEST_METHOD,
// PATH_INFO, QUERY_STRING, HTTP_RANGE, HTTP_CONTENT_RANGE, CONTENT_TYPE and CONTENT_LENGTH;
// an empty field leaves its variable unset. The body comes on standard input. An empty
// content length is the body's size (unset for an empty body), "-" leaves it unset, and one
// that starts with "@" hands the body over as the file POST_BODY_FILE instead, with the rest
// of the field (if any) as CONTENT_LENGTH. In the path and the query, {b}, {c} and {m} stand
// for the digests of the layer blob, the config blob and the image manifest, and {u} for the
// id of the open upload (ids are drawn afresh whenever the store is laid out again).
//
// The store holds the layer blob "hello world", a config blob and an orphan blob nothing
// references; the image manifest tagged v1 and latest in team/app and v1 in other/base; and
// an upload holding "hel", dated an hour back so that a collection may run. config.json sets
// a quota of 100 bytes (63 in use), so uploads meet its checks. A request that changed the
// store has it laid out again; any other must leave it exactly as it was.
//
// Every answer must be a whole CGI response (a status line, header lines no value can split,
// a blank line) with the API version header; an error carries the JSON envelope, and none is
// a 5xx: the store is sound, so whatever is wrong is the client's. A blob is served as the
// stored bytes its Content-Range and Content-Length announce, whatever an answer reports
// stored is there under the digest it names, and the access log gets one line. Nothing beside
// the store may appear, go or change.
//
// An error response ends the process with exit(0). This harness alone is linked with
// --wrap=exit: during a request exit throws, so the handlers' destructors run and the next
// input starts clean; the access-log line the exit handler would write is written here. No
// frame between a handler and exit may be noexcept, or the throw ends the process.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "digest/sha256.h"
#include "endpoints/v2_router.h"
#include "frontend/qv_audit.h"
#include "frontend/qv_audit_internal.h"
#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"

namespace {

// What exit throws while a request runs; nothing but the harness catches it.
struct RequestEnded {
    int status;
};
bool s_in_request = false;

constexpr size_t kFields = 8;
constexpr int64_t kQuota = 100;
constexpr const char *kLogName = "registry_access.log";
constexpr size_t kLogLineMax = 2399;
constexpr size_t kLogRecordMax = 1199;
constexpr std::string_view kBait = "bait: nothing may touch this\n";
constexpr std::string_view kLayer = "hello world";
constexpr std::string_view kConfig = "{\"architecture\":\"amd64\",\"os\":\"linux\"}";
constexpr std::string_view kOrphan = "orphan blob\n";
constexpr std::string_view kUploadStart = "hel";
constexpr const char *kManifestType = "application/vnd.oci.image.manifest.v1+json";
constexpr const char *kJsonType = "application/json; charset=utf-8";

// Variables a request may set; each is cleared at start-up, query names included, since a
// lookup without QUERY_STRING falls back to a variable of the parameter's name.
constexpr const char *kRequestVars[] = {"REQUEST_METHOD",
                                        "PATH_INFO",
                                        "QUERY_STRING",
                                        "HTTP_RANGE",
                                        "HTTP_CONTENT_RANGE",
                                        "CONTENT_TYPE",
                                        "CONTENT_LENGTH",
                                        "POST_BODY_FILE",
                                        "HTTP_AUTHORIZATION",
                                        "digest",
                                        "mount",
                                        "from",
                                        "n",
                                        "last",
                                        "dry_run"};

// What the store holds, cheaply: every entry below it by path, inode, type, size and time
// of change, each hashed and summed so that the order of a listing does not count. The access
// log is left out; every request writes it, and it is checked on its own.
struct StoreState {
    uint64_t sum = 0;
    uint64_t entries = 0;
    bool operator==(const StoreState &) const = default;
};

std::string s_scratch;
std::string s_store;
std::string s_body_path;
int s_response_fd = -1;
int s_real_stdout = -1;

std::string s_manifest_body;
std::map<std::string, std::string_view> s_blobs;            // digest -> bytes
std::vector<std::pair<std::string, std::string>> s_tokens;  // {b} and the others
StoreState s_layout;                                        // the store as laid out
bool s_needs_layout = true;

std::string read_whole(const std::string &path) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
}

uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h ^= h >> 31;
    return h * 0xbf58476d1ce4e5b9ULL;
}

void walk(std::string *path, size_t rel_at, StoreState *state) {
    DIR *d = ::opendir(path->c_str());
    FUZZ_CHECK(d != nullptr);
    const size_t len = path->size();
    while (const dirent *e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        if (len == rel_at && name.starts_with(kLogName)) continue;
        // A manifest's pull record, which a GET writes by design (its directory's date with it).
        if (name == "pulled") continue;
        path->append("/").append(name);
        struct stat st {};
        FUZZ_CHECK(::lstat(path->c_str(), &st) == 0);
        uint64_t h = 14695981039346656037ULL;
        for (size_t i = rel_at; i < path->size(); ++i)
            h = (h ^ static_cast<unsigned char>((*path)[i])) * 1099511628211ULL;
        const bool dir = S_ISDIR(st.st_mode);
        for (const uint64_t v :
             {static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_mode),
              static_cast<uint64_t>(dir ? 0 : st.st_size),
              static_cast<uint64_t>(dir ? 0 : st.st_mtim.tv_sec),
              static_cast<uint64_t>(dir ? 0 : st.st_mtim.tv_nsec)})
            h = mix(h, v);
        state->sum += h;
        ++state->entries;
        if (S_ISDIR(st.st_mode)) walk(path, rel_at, state);
        path->resize(len);
    }
    ::closedir(d);
}

StoreState store_state() {
    StoreState state;
    std::string path = s_store;
    walk(&path, path.size(), &state);
    return state;
}

std::string store_blob(std::string_view bytes) {
    char id[37];
    char digest[72];
    FUZZ_CHECK(reg_blob_start_upload(id) == 0);
    FUZZ_CHECK(reg_blob_append_chunk(id, bytes.data(), bytes.size()) == 0);
    FUZZ_CHECK(reg_blob_finish_upload(id, qvfuzz::digest_of(bytes).c_str(), digest) == 0);
    s_blobs[digest] = bytes;
    return digest;
}

void put_manifest(const char *repo, const char *tag) {
    char digest[72];
    FUZZ_CHECK(reg_manifest_put(repo, tag, s_manifest_body.data(), s_manifest_body.size(),
                                kManifestType, digest) == 0);
}

// The store from nothing, through the engine, which is started on it again (it keeps the
// root open).
void lay_out_store() {
    std::error_code ec;
    std::filesystem::remove_all(s_store, ec);
    FUZZ_CHECK(reg_storage_init(s_store.c_str()) == 0);
    s_blobs.clear();
    const std::string layer = store_blob(kLayer);
    const std::string config = store_blob(kConfig);
    store_blob(kOrphan);
    s_manifest_body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kManifestType) +
                      "\",\"config\":{\"digest\":\"" + config +
                      "\",\"size\":" + std::to_string(kConfig.size()) +
                      "},\"layers\":[{\"digest\":\"" + layer +
                      "\",\"size\":" + std::to_string(kLayer.size()) + "}]}";
    put_manifest("team/app", "v1");
    put_manifest("team/app", "latest");
    put_manifest("other/base", "v1");
    char id[37];
    FUZZ_CHECK(reg_blob_start_upload(id) == 0);
    FUZZ_CHECK(reg_blob_append_chunk(id, kUploadStart.data(), kUploadStart.size()) == 0);
    s_tokens = {{"{b}", layer},
                {"{c}", config},
                {"{m}", qvfuzz::digest_of(s_manifest_body)},
                {"{u}", std::string(id)}};
    // An upload written in the last quarter of an hour would hold off every collection.
    const std::string uploads = s_store + "/uploads";
    for (const auto &e : std::filesystem::directory_iterator(uploads)) {
        const timespec times[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
        FUZZ_CHECK(::utimensat(AT_FDCWD, e.path().c_str(), times, AT_SYMLINK_NOFOLLOW) == 0);
    }
    s_layout = store_state();
    s_needs_layout = false;
}

std::string expand(std::string text) {
    for (const auto &[token, value] : s_tokens) {
        for (size_t at = text.find(token); at != std::string::npos;
             at = text.find(token, at + value.size()))
            text.replace(at, token.size(), value);
    }
    return text;
}

std::optional<std::string> unless_empty(const std::string &s) {
    return s.empty() ? std::nullopt : std::optional<std::string>(s);
}

// Nothing beside the store may appear, go or change: the root's siblings and the bait.
void check_surroundings() {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(s_scratch))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    FUZZ_CHECK(
        (names == std::vector<std::string>{"bait", "body", "config.json", "response", "store"}));
    size_t bait_entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(s_scratch + "/bait")) {
        FUZZ_CHECK(e.path().filename() == "keep");
        ++bait_entries;
    }
    FUZZ_CHECK(bait_entries == 1);
    FUZZ_CHECK(read_whole(s_scratch + "/bait/keep") == kBait);
}

struct Response {
    int status = 0;
    std::map<std::string, std::string> headers;
    std::string body;
    std::string header(const std::string &name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The CGI response: a status line, header lines "Name: value" each ending in CR LF, a blank
// line, the body. A bare CR or LF in the block would let a value start a header of its own.
Response parse_response(const std::string &out) {
    Response r;
    FUZZ_CHECK(out.starts_with("Status: "));
    FUZZ_CHECK(out.size() >= 11 && all_digits(std::string_view(out).substr(8, 3)));
    r.status = std::stoi(out.substr(8, 3));
    FUZZ_CHECK(r.status >= 200 && r.status <= 599);
    FUZZ_CHECK(out[11] == '\r' || out[11] == ' ');
    const size_t end = out.find("\r\n\r\n");
    FUZZ_CHECK(end != std::string::npos);
    r.body = out.substr(end + 4);
    size_t at = out.find("\r\n") + 2;
    while (at < end + 2) {
        const size_t eol = out.find("\r\n", at);
        const std::string line = out.substr(at, eol - at);
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        const size_t colon = line.find(": ");
        FUZZ_CHECK(colon != std::string::npos && colon > 0);
        const std::string name = line.substr(0, colon);
        FUZZ_CHECK(name.find_first_of(" \t:") == std::string::npos);
        FUZZ_CHECK(name != "Status");
        FUZZ_CHECK(r.headers.emplace(name, line.substr(colon + 2)).second);  // said once
        at = eol + 2;
    }
    return r;
}

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

Doc parse_json(std::string_view text) {
    return Doc(yyjson_read(text.data(), text.size(), YYJSON_READ_ALLOW_INVALID_UNICODE));
}

// {"errors":[{"code":"...","message":"..."}]}
void check_envelope(const Response &r) {
    const Doc doc = parse_json(r.body);
    FUZZ_CHECK(doc != nullptr);
    yyjson_val *errors = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "errors");
    FUZZ_CHECK(yyjson_arr_size(errors) == 1);
    yyjson_val *first = yyjson_arr_get_first(errors);
    FUZZ_CHECK(yyjson_is_str(yyjson_obj_get(first, "code")));
    FUZZ_CHECK(yyjson_is_str(yyjson_obj_get(first, "message")));
}

// "bytes a-b/n" into its numbers.
bool parse_content_range(const std::string &text, int64_t *a, int64_t *b, int64_t *n) {
    long long x = 0, y = 0, z = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "bytes %lld-%lld/%lld%n", &x, &y, &z, &used) != 3 ||
        static_cast<size_t>(used) != text.size())
        return false;
    *a = x;
    *b = y;
    *n = z;
    return true;
}

// A blob served whole or in part is exactly the stored bytes the headers announce.
void check_blob_body(const Response &r, bool head) {
    const auto known = s_blobs.find(r.header("Docker-Content-Digest"));
    FUZZ_CHECK(known != s_blobs.end());
    const std::string_view bytes = known->second;
    FUZZ_CHECK(r.header("Content-Type") == "application/octet-stream");
    std::string_view want = bytes;
    if (r.status == 206) {
        int64_t a = 0, b = 0, n = 0;
        FUZZ_CHECK(parse_content_range(r.header("Content-Range"), &a, &b, &n));
        FUZZ_CHECK(n == static_cast<int64_t>(bytes.size()));
        FUZZ_CHECK(0 <= a && a <= b && b < n);
        want = bytes.substr(static_cast<size_t>(a), static_cast<size_t>(b - a + 1));
    } else {
        FUZZ_CHECK(r.headers.count("Content-Range") == 0);
    }
    FUZZ_CHECK(r.header("Content-Length") == std::to_string(want.size()));
    if (!head) FUZZ_CHECK(r.body == want);
}

// A blob reported stored is there, and its bytes are what its digest names.
void check_stored_blob(const std::string &digest) {
    FUZZ_CHECK(reg_blob_exists(digest.c_str()) == 1);
    char path[4096];
    FUZZ_CHECK(reg_blob_get_filepath(digest.c_str(), path, sizeof path) == 0);
    FUZZ_CHECK(qvfuzz::digest_of(read_whole(path)) == digest);
}

int64_t stored_blob_bytes() {
    const char *stats = reg_storage_get_stats_json();
    FUZZ_CHECK(stats != nullptr);
    const Doc doc = parse_json(stats);
    yyjson_val *bytes = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "blob_bytes");
    FUZZ_CHECK(yyjson_is_int(bytes));
    return yyjson_get_sint(bytes);
}

void check_response(const Response &r, const std::string &method, const std::string &path) {
    const bool head = method == "HEAD";
    FUZZ_CHECK(r.header("Docker-Distribution-API-Version") == "registry/2.0");
    // A sound store and a client's request: whatever is wrong is the client's, or missing.
    FUZZ_CHECK(r.status < 500);
    if (head && r.status < 400) FUZZ_CHECK(r.body.empty());
    if (r.status == 204) FUZZ_CHECK(r.body.empty() && r.headers.count("Content-Length") == 0);
    if (!head && r.headers.count("Content-Length") != 0)
        FUZZ_CHECK(r.header("Content-Length") == std::to_string(r.body.size()));
    if (r.status >= 400) {
        FUZZ_CHECK(r.header("Content-Type") == kJsonType);
        // A HEAD answer's body is dropped by the server; when there is one it is still whole.
        if (!head || !r.body.empty()) check_envelope(r);
        return;
    }
    if (!head && r.header("Content-Type") == kJsonType) FUZZ_CHECK(parse_json(r.body) != nullptr);

    // What the answer is, from its own headers: a blob, an upload's state, a stored object.
    if (r.headers.count("Accept-Ranges") != 0) check_blob_body(r, head);
    if (r.headers.count("Docker-Upload-UUID") != 0) {
        // The Range told is what the upload holds, and an upload never holds more than the
        // quota leaves.
        int64_t held = -1;
        FUZZ_CHECK(reg_blob_upload_size(r.header("Docker-Upload-UUID").c_str(), &held) == 0);
        FUZZ_CHECK(r.header("Range") == "0-" + std::to_string(held > 0 ? held - 1 : 0));
        FUZZ_CHECK(stored_blob_bytes() + held <= kQuota);
    }
    if (r.status != 201) {
        FUZZ_CHECK(!(method == "PUT" && path.find("/manifests/") != std::string::npos));
        return;
    }
    // Created: the Location names the new object by the digest the answer reports.
    const std::string location = r.header("Location");
    const std::string digest = r.header("Docker-Content-Digest");
    FUZZ_CHECK(location.starts_with("/v2/") && location.ends_with("/" + digest));
    const std::string_view kind =
        std::string_view(location).substr(0, location.size() - digest.size());
    if (kind.ends_with("/blobs/")) {
        check_stored_blob(digest);
        FUZZ_CHECK(stored_blob_bytes() <= kQuota);
        return;
    }
    FUZZ_CHECK(kind.ends_with("/manifests/") && method == "PUT");
    const std::string repo(kind.substr(4, kind.size() - 4 - 11));
    char type[128];
    char got[72];
    const char *stored = reg_manifest_get(repo.c_str(), digest.c_str(), type, got);
    FUZZ_CHECK(stored != nullptr && qvfuzz::digest_of(stored) == digest);
}

// The access log gets one line for the request, however hostile its method and path.
void check_log_line(int status) {
    const std::string log = read_whole(s_store + "/" + kLogName);
    FUZZ_CHECK(!log.empty() && log.back() == '\n');
    FUZZ_CHECK(log.find_first_of("\r\n") == log.size() - 1);
    // A line is cut at 2399 bytes, and its JSON record, the last field, at 1199: a method
    // that escapes long may leave no record at all. Whatever is whole is JSON.
    if (log.size() >= kLogLineMax) return;
    const size_t json = log.find("{\"ts\":\"");
    FUZZ_CHECK(json != std::string::npos);
    if (log.size() - json - 1 < kLogRecordMax) {
        const Doc doc = parse_json(std::string_view(log).substr(json, log.size() - json - 1));
        FUZZ_CHECK(doc != nullptr);
        yyjson_val *got = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "status");
        FUZZ_CHECK(yyjson_is_int(got) && yyjson_get_int(got) == status);
    }
}

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (!s_in_request) __real_exit(status);
    s_in_request = false;
    throw RequestEnded{status};
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    for (const char *name : kRequestVars)
        ::unsetenv(name);
    s_scratch = qvfuzz::scratch_dir();
    s_store = s_scratch + "/store";
    s_body_path = s_scratch + "/body";
    ::setenv("REGISTRY_STORAGE_ROOT", s_store.c_str(), 1);
    std::filesystem::create_directory(s_scratch + "/bait");
    qvfuzz::write_bytes(s_scratch + "/bait/keep", kBait);
    qvfuzz::write_bytes(s_scratch + "/config.json",
                        "{\"registry_quota_bytes\": " + std::to_string(kQuota) + "}\n");
    qvfuzz::write_bytes(s_body_path, "");
    s_response_fd =
        ::open((s_scratch + "/response").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(s_response_fd >= 0);
    s_real_stdout = ::dup(STDOUT_FILENO);
    FUZZ_CHECK(s_real_stdout >= 0);
    lay_out_store();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> f = qvfuzz::split_fields(data, size, kFields);
    if (s_needs_layout) lay_out_store();
    const std::string &method = f[0];
    const std::string path = expand(f[1]);
    const std::string &body = f[7];
    const bool body_file = f[6].starts_with('@');
    std::optional<std::string> length = unless_empty(body_file ? f[6].substr(1) : f[6]);
    if (f[6].empty() && !body.empty()) length = std::to_string(body.size());
    if (f[6] == "-") length.reset();

    const qvfuzz::InDirectory in(s_scratch);
    qvfuzz::write_bytes(s_body_path, body);
    FUZZ_CHECK(std::freopen(s_body_path.c_str(), "rb", stdin) != nullptr);
    Response r;
    {
        const qvfuzz::EnvVar v_method("REQUEST_METHOD", unless_empty(method));
        const qvfuzz::EnvVar v_path("PATH_INFO", unless_empty(path));
        const qvfuzz::EnvVar v_query("QUERY_STRING", unless_empty(expand(f[2])));
        const qvfuzz::EnvVar v_range("HTTP_RANGE", unless_empty(f[3]));
        const qvfuzz::EnvVar v_content_range("HTTP_CONTENT_RANGE", unless_empty(f[4]));
        const qvfuzz::EnvVar v_type("CONTENT_TYPE", unless_empty(f[5]));
        const qvfuzz::EnvVar v_length("CONTENT_LENGTH", length);
        const qvfuzz::EnvVar v_file(
            "POST_BODY_FILE", body_file ? std::optional<std::string>(s_body_path) : std::nullopt);

        // Standard output goes to the response file at the descriptor, for the engine and
        // the response writers alike; the fuzzer's own output stays on standard error.
        FUZZ_CHECK(::ftruncate(s_response_fd, 0) == 0);
        FUZZ_CHECK(::lseek(s_response_fd, 0, SEEK_SET) == 0);
        std::fflush(stdout);
        FUZZ_CHECK(::dup2(s_response_fd, STDOUT_FILENO) == STDOUT_FILENO);
        int rc = 0;
        s_in_request = true;
        try {
            rc = handle_v2_registry();
        } catch (const RequestEnded &ended) {
            FUZZ_CHECK(ended.status == 0);
        }
        s_in_request = false;
        std::fflush(stdout);
        std::clearerr(stdout);
        FUZZ_CHECK(::dup2(s_real_stdout, STDOUT_FILENO) == STDOUT_FILENO);
        FUZZ_CHECK(rc == 0);

        r = parse_response(read_whole(s_scratch + "/response"));
        // The request's variables are still set: the log line reads them, as at exit.
        qv_audit_flush();
        qv::frontend::audit_reset_for_tests();
    }
    check_log_line(r.status);
    ::unlink((s_store + "/" + kLogName).c_str());
    check_response(r, method, path);
    check_surroundings();

    // Only a request that may write may change the store.
    if (!(store_state() == s_layout)) {
        FUZZ_CHECK(method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE");
        s_needs_layout = true;
    }
    return 0;
}
