// The CGI layer at its real boundary: environment, standard input and output, exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/qv_cgi.h"
#include "support/child.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

// Runs fn in a child with exactly env (and stdin); returns what fn's text was.
std::string in_child(const std::map<std::string, std::string> &env,
                     const std::function<std::string()> &fn, const std::string &stdin_data = "") {
    ChildSetup setup;
    setup.env = env;
    setup.stdin_data = stdin_data;
    ChildResult r = run_child(setup, [&] {
        const std::string text = fn();
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    return r.out;
}

std::string query_in_child(const std::string &query, const char *name) {
    return in_child({{"QUERY_STRING", query}}, [&] { return std::string(cgi_query(name)); });
}

struct Pieces {
    std::vector<size_t> sizes;
    std::string bytes;
    int fail_at = -1;  // answer non-zero on this piece (0-based)
};

int record_sink(void *ctx, const unsigned char *data, size_t len) {
    auto *p = static_cast<Pieces *>(ctx);
    if (static_cast<int>(p->sizes.size()) == p->fail_at) return 1;
    p->sizes.push_back(len);
    p->bytes.append(reinterpret_cast<const char *>(data), len);
    return 0;
}

// Streams the body in a child; reports "result total piece-sizes... | bytes-length".
std::string stream_in_child(const std::map<std::string, std::string> &env,
                            const std::string &stdin_data, int fail_at = -1,
                            bool stdin_is_directory = false) {
    return in_child(
        env,
        [&] {
            if (stdin_is_directory && std::freopen("/", "rb", stdin) == nullptr)
                return std::string("?");
            Pieces p;
            p.fail_at = fail_at;
            uint64_t total = 12345;
            const int rc = cgi_stream_post(record_sink, &p, &total);
            std::string s = std::to_string(rc) + " " + std::to_string(total);
            for (size_t n : p.sizes)
                s += " " + std::to_string(n);
            return s + " | " + std::to_string(p.bytes.size());
        },
        stdin_data);
}

std::string read_post_in_child(const std::map<std::string, std::string> &env,
                               const std::string &stdin_data) {
    return in_child(
        env,
        [] {
            size_t len = 12345;
            char *body = cgi_read_post(&len);
            if (body == nullptr) return "NULL " + std::to_string(len);
            std::string s = std::to_string(len) + ":" + std::string(body, len);
            const bool terminated = body[len] == '\0';
            std::free(body);
            return s + (terminated ? "" : " (unterminated)");
        },
        stdin_data);
}

std::string escaped(const char *text) {
    std::FILE *f = std::tmpfile();
    json_escape_f(f, text);
    std::rewind(f);
    std::string out;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

}  // namespace

TEST(CgiQuery, FirstExactRawKeyWins) {
    EXPECT_EQ(query_in_child("a=1&a=2", "a"), "1");
    EXPECT_EQ(query_in_child("b=1&a", "a"), "");
    EXPECT_EQ(query_in_child("A=1", "a"), "");
    EXPECT_EQ(query_in_child("ab=1&a=2", "a"), "2");
    EXPECT_EQ(query_in_child("&&a=5&", "a"), "5");
    EXPECT_EQ(query_in_child("a=b=c", "a"), "b=c");
    EXPECT_EQ(query_in_child("%61=1", "a"), "");  // keys are not decoded
    EXPECT_EQ(query_in_child("x=1&=2", ""), "");
}

TEST(CgiQuery, Decoding) {
    EXPECT_EQ(query_in_child("v=%41%2b%zz+%4", "v"), "A+%zz %4");
    EXPECT_EQ(query_in_child("v=%4&w=1", "v"), "%4");  // the digits must be inside the value
    EXPECT_EQ(query_in_child("v=%e2%82%AC", "v"), "\xe2\x82\xac");
    EXPECT_EQ(query_in_child("v=x%00y", "v"), "x");  // %00 ends the text
    EXPECT_EQ(query_in_child("v=%", "v"), "%");

    const std::string decoded = query_in_child("v=" + std::string(600, 'q') + "&w=1", "v");
    EXPECT_EQ(decoded, std::string(511, 'q'));
    // The cap counts decoded bytes: 600 escapes stored as 511 bytes.
    std::string escapes;
    for (int i = 0; i < 600; ++i)
        escapes += "%41";
    EXPECT_EQ(query_in_child("v=" + escapes, "v"), std::string(511, 'A'));
}

TEST(CgiQuery, EightRotatingSlots) {
    const std::string out = in_child({{"QUERY_STRING", "a=1&b=2&c=3"}}, [] {
        const char *first = cgi_query("a");
        const char *kept[7];
        for (int i = 0; i < 7; ++i)
            kept[i] = cgi_query("b");
        // Empty names use no slot.
        cgi_query("");
        cgi_query(nullptr);
        std::string s = std::string(first) + kept[0] + kept[6];
        const char *ninth = cgi_query("c");
        s += std::string(" ") + first + (ninth == first ? " same" : " other");
        return s;
    });
    EXPECT_EQ(out, "122 3 same");
}

TEST(CgiQuery, EnvironmentFallbackWithoutQueryString) {
    auto lookup = [](const std::map<std::string, std::string> &env) {
        return in_child(env, [] { return std::string(cgi_query("dry_run")); });
    };
    EXPECT_EQ(lookup({{"dry_run", "1"}}), "1");
    EXPECT_EQ(lookup({{"dry_run", "%41+b"}}), "%41+b");  // not decoded
    EXPECT_EQ(lookup({{"dry_run", "a;b:c"}}), "");
    EXPECT_EQ(lookup({{"dry_run", "a;b"}}), "a;b");
    EXPECT_EQ(lookup({{"dry_run", "a:b"}}), "a:b");
    EXPECT_EQ(lookup({{"dry_run", ""}}), "");
    EXPECT_EQ(lookup({{"QUERY_STRING", ""}, {"dry_run", "7"}}), "7");  // empty counts as unset
    EXPECT_EQ(lookup({{"QUERY_STRING", "x=1"}, {"dry_run", "7"}}), "");
}

TEST(CgiRequest, MethodPathAndEnvironment) {
    auto report = [](const std::map<std::string, std::string> &env) {
        return in_child(env, [] {
            return std::string(cgi_method()) + " " + std::to_string(cgi_is_post()) +
                   std::to_string(cgi_is_head()) + " " + cgi_path_info();
        });
    };
    EXPECT_EQ(report({}), "GET 00 /");
    EXPECT_EQ(report({{"REQUEST_METHOD", ""}, {"PATH_INFO", ""}}), "GET 00 /");
    EXPECT_EQ(report({{"REQUEST_METHOD", "PUT"}, {"PATH_INFO", "/v2/x"}}), "PUT 00 /v2/x");
    EXPECT_EQ(report({{"REQUEST_METHOD", "PO"}}), "PO 10 /");
    EXPECT_EQ(report({{"REQUEST_METHOD", "POSTX"}}), "POSTX 10 /");
    EXPECT_EQ(report({{"REQUEST_METHOD", "post"}}), "post 00 /");
    EXPECT_EQ(report({{"REQUEST_METHOD", "HEADER"}}), "HEADER 01 /");
    EXPECT_EQ(report({{"REQUEST_METHOD", "HEA"}}), "HEA 00 /");

    EXPECT_EQ(in_child({{"X", "v"}, {"E", ""}},
                       [] {
                           return std::string(cgi_env("X", "f")) + cgi_env("E", "f") +
                                  cgi_env("MISSING", "f") + "[" + cgi_env("MISSING", nullptr) + "]";
                       }),
              "vff[]");
}

TEST(CgiReadPost, FromStandardInput) {
    EXPECT_EQ(read_post_in_child({{"CONTENT_LENGTH", "5"}}, "hello world"), "5:hello");
    // Shorter than announced: what arrived.
    EXPECT_EQ(read_post_in_child({{"CONTENT_LENGTH", "100"}}, std::string(60, 'x')),
              "60:" + std::string(60, 'x'));
    EXPECT_EQ(read_post_in_child({{"CONTENT_LENGTH", "3"}}, std::string("a\0b", 3)),
              std::string("3:a\0b", 5));
    EXPECT_EQ(read_post_in_child({{"CONTENT_LENGTH", "abc"}}, "hello"), "NULL 0");
    EXPECT_EQ(read_post_in_child({{"CONTENT_LENGTH", "0"}}, "hello"), "NULL 0");
    EXPECT_EQ(read_post_in_child({{"CONTENT_LENGTH", "-4"}}, "hello"), "NULL 0");
    EXPECT_EQ(read_post_in_child({{"CONTENT_LENGTH", ""}}, "hello"), "NULL 0");
    EXPECT_EQ(read_post_in_child({}, "hello"), "NULL 0");
}

TEST(CgiReadPost, FromBodyFile) {
    TempDir t;
    write_text(t / "body", std::string("{\"a\":\0}", 7));
    write_text(t / "empty", "");
    make_dirs(t / "dir");

    // The file wins over standard input and CONTENT_LENGTH.
    EXPECT_EQ(read_post_in_child({{"POST_BODY_FILE", t / "body"}, {"CONTENT_LENGTH", "2"}}, "zz"),
              std::string("7:{\"a\":\0}", 9));
    EXPECT_EQ(read_post_in_child({{"POST_BODY_FILE", t / "empty"}}, ""), "0:");
    // A file that does not open, or is a directory: standard input.
    EXPECT_EQ(read_post_in_child({{"POST_BODY_FILE", t / "none"}, {"CONTENT_LENGTH", "2"}}, "zz"),
              "2:zz");
    EXPECT_EQ(read_post_in_child({{"POST_BODY_FILE", t / "dir"}, {"CONTENT_LENGTH", "2"}}, "zz"),
              "2:zz");
    EXPECT_EQ(read_post_in_child({{"POST_BODY_FILE", ""}, {"CONTENT_LENGTH", "2"}}, "zz"), "2:zz");
}

TEST(CgiStreamPost, StandardInput) {
    EXPECT_EQ(in_child({{"CONTENT_LENGTH", "5"}},
                       [] {
                           uint64_t total = 9;
                           const int rc = cgi_stream_post(nullptr, nullptr, &total);
                           return std::to_string(rc) + " " + std::to_string(total);
                       }),
              "-1 0");
    EXPECT_EQ(stream_in_child({{"CONTENT_LENGTH", "100"}}, std::string(60, 'x')), "0 60 60 | 60");
    EXPECT_EQ(stream_in_child({{"CONTENT_LENGTH", "100000"}}, std::string(100010, 'x')),
              "0 100000 65536 34464 | 100000");
    EXPECT_EQ(stream_in_child({}, "abc"), "0 0 | 0");
    EXPECT_EQ(stream_in_child({{"CONTENT_LENGTH", "x"}}, "abc"), "0 0 | 0");
    EXPECT_EQ(stream_in_child({{"CONTENT_LENGTH", "-1"}}, "abc"), "0 0 | 0");
    // The sink refuses the second piece: failure, only the first piece counted.
    EXPECT_EQ(stream_in_child({{"CONTENT_LENGTH", "100000"}}, std::string(100000, 'x'), 1),
              "-1 65536 65536 | 65536");
    // A read error on standard input is a failure, not an early end.
    EXPECT_EQ(stream_in_child({{"CONTENT_LENGTH", "10"}}, "", -1, true), "-1 0 | 0");
}

TEST(CgiStreamPost, BodiesPastTwoGibibytesArriveWhole) {
    // A sparse file as standard input: 2^31 + 5 bytes, of which only the count is looked at.
    TempDir t;
    const std::string path = t / "sparse";
    const int64_t size = (int64_t{1} << 31) + 5;
    write_text(path, "");
    ASSERT_EQ(::truncate(path.c_str(), size), 0);
    const std::string result = in_child({{"CONTENT_LENGTH", std::to_string(size)}}, [&] {
        if (std::freopen(path.c_str(), "rb", stdin) == nullptr) return std::string("?");
        uint64_t total = 0;
        const int rc = cgi_stream_post([](void *, const unsigned char *, size_t) { return 0; },
                                       nullptr, &total);
        return std::to_string(rc) + " " + std::to_string(total);
    });
    EXPECT_EQ(result, "0 " + std::to_string(size));
}

TEST(CgiStreamPost, BodyFile) {
    TempDir t;
    write_text(t / "big", std::string(65536 * 2, 'y'));
    write_text(t / "small", "hello");
    write_text(t / "empty", "");

    // A file is read to its end, whatever CONTENT_LENGTH says.
    EXPECT_EQ(stream_in_child({{"POST_BODY_FILE", t / "big"}, {"CONTENT_LENGTH", "3"}}, ""),
              "0 131072 65536 65536 | 131072");
    EXPECT_EQ(stream_in_child({{"POST_BODY_FILE", t / "small"}}, ""), "0 5 5 | 5");
    EXPECT_EQ(stream_in_child({{"POST_BODY_FILE", t / "empty"}, {"CONTENT_LENGTH", "3"}}, "abc"),
              "0 0 | 0");
    EXPECT_EQ(stream_in_child({{"POST_BODY_FILE", t / "big"}}, "", 1), "-1 65536 65536 | 65536");
    EXPECT_EQ(stream_in_child({{"POST_BODY_FILE", t / "none"}, {"CONTENT_LENGTH", "3"}}, "abcd"),
              "0 3 3 | 3");
}

// Writing a status starts the access log; a scratch working directory keeps it off the
// checkout (its default root is relative to the working directory).
ChildSetup scratch_setup(const TempDir &t) {
    ChildSetup setup;
    setup.cwd = t.path();
    return setup;
}

TEST(CgiResponse, HeaderWritersExactBytes) {
    TempDir t;
    ChildResult r = run_child(scratch_setup(t), [] {
        cgi_header_status(201, "Created");
        cgi_header_status(204, "");
        cgi_header_status(404, nullptr);
        cgi_header_html();
        cgi_header_json();
        cgi_header_text();
        cgi_header_ct("application/vnd.oci.image.manifest.v1+json");
        cgi_header_extra("Location: /v2/x");
        cgi_headers_end();
        std::fputs("a\nb", stdout);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Status: 201 Created\r\n"
              "Status: 204\r\n"
              "Status: 404\r\n"
              "Content-Type: text/html; charset=utf-8\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n"
              "Content-Type: application/vnd.oci.image.manifest.v1+json\r\n"
              "Location: /v2/x\r\n"
              "\r\n"
              "a\nb");
}

TEST(CgiResponse, FatalResponsesFlushAndExitZero) {
    TempDir t;
    auto die = [&t](const std::function<void()> &fn) {
        ChildResult r = run_child(scratch_setup(t), [&] {
            fn();
            return 3;  // never reached
        });
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        return r.out;
    };
    EXPECT_EQ(die([] { cgi_die_text(404, "not found"); }),
              "Status: 404\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nnot found\n");
    EXPECT_EQ(die([] { cgi_die_text(500, nullptr); }),
              "Status: 500\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n\n");
    EXPECT_EQ(die([] { cgi_die_json(400, nullptr); }),
              "Status: 400\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
              "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"error\"}]}\n");
    EXPECT_EQ(die([] { cgi_die_json(409, "bad \"tag\"\n\x01"); }),
              "Status: 409\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
              "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"bad \\\"tag\\\"\\n\\u0001\"}]}\n");
    // Output written before the fatal response is flushed with it.
    EXPECT_EQ(die([] {
                  std::fputs("early ", stdout);
                  cgi_die_text(503, "x");
              }),
              "early Status: 503\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nx\n");
}

TEST(JsonEscape, EveryClassOfByte) {
    EXPECT_EQ(escaped("\"\\"), "\\\"\\\\");
    EXPECT_EQ(escaped("\b\t\n\f\r"), "\\b\\t\\n\\f\\r");
    EXPECT_EQ(escaped("\x01\x1f\x0b"), "\\u0001\\u001f\\u000b");
    EXPECT_EQ(escaped("\x7f \xc3\xa9/<"), "\x7f \xc3\xa9/<");
    EXPECT_EQ(escaped(""), "");
    EXPECT_EQ(escaped(nullptr), "");
}
