// Request bodies: read whole into the heap, or streamed through a fixed buffer to a sink.
// The body comes from the file named by POST_BODY_FILE when that opens, else from standard
// input bounded by CONTENT_LENGTH.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "frontend/qv_cgi.h"
#include "frontend/stdio_file.h"
#include "platform/os.h"

using qv::frontend::FilePtr;

namespace {

constexpr std::size_t kStreamChunk = 65536;

FilePtr open_body_file() {
    const char *path = cgi_env("POST_BODY_FILE", nullptr);
    if (path[0] == '\0') return nullptr;
    // A directory is not a body file; some hosts would still open it for reading.
    if (qv::os::is_dir(path)) return nullptr;
    return qv::frontend::open_file(path, "rb");
}

// CONTENT_LENGTH, saturating like strtoll on overflow; absent, empty or not a number reads
// as 0.
int64_t announced_length64() {
    const char *text = cgi_env("CONTENT_LENGTH", nullptr);
    if (text[0] == '\0') return 0;
    return std::strtoll(text, nullptr, 10);
}

// The same as a 32-bit signed number, saturating like strtol: the bound of a body read whole.
int32_t announced_length() {
    return static_cast<int32_t>(std::clamp<int64_t>(announced_length64(), INT32_MIN, INT32_MAX));
}

// Up to size bytes of the stream into a new buffer with a NUL after what arrived. A body
// shorter than announced is not an error: the buffer holds what arrived.
char *read_up_to(std::FILE *f, size_t size, size_t *out_len) {
    auto *buf = static_cast<char *>(std::malloc(size + 1));
    if (buf == nullptr) return nullptr;
    const size_t n = std::fread(buf, 1, size, f);
    buf[n] = '\0';
    if (out_len != nullptr) *out_len = n;
    return buf;
}

char *read_whole_file(std::FILE *f, size_t *out_len) {
    if (std::fseek(f, 0, SEEK_END) != 0) return nullptr;
    const long end = std::ftell(f);
    if (end < 0) return nullptr;
    std::rewind(f);
    return read_up_to(f, static_cast<size_t>(end), out_len);
}

char *read_stdin(int32_t length, size_t *out_len) {
    qv::os::binary_mode(stdin);
    return read_up_to(stdin, static_cast<size_t>(length), out_len);
}

// Feeds the sink until the source ends. remaining < 0 means "read the file to its end".
int pump(std::FILE *in, int64_t remaining, cgi_sink_fn sink, void *ctx, uint64_t *total) {
    const std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kStreamChunk]);
    if (!buf) return -1;
    const bool from_file = remaining < 0;
    for (;;) {
        if (!from_file && remaining == 0) return 0;
        const size_t want = from_file
                                ? kStreamChunk
                                : std::min<size_t>(static_cast<size_t>(remaining), kStreamChunk);
        const size_t n = std::fread(buf.get(), 1, want, in);
        if (n == 0) return std::ferror(in) ? -1 : 0;
        if (sink(ctx, buf.get(), n) != 0) return -1;
        *total += n;
        if (from_file) {
            if (n < want) return 0;
        } else {
            remaining -= static_cast<int64_t>(n);
        }
    }
}

}  // namespace

extern "C" char *cgi_read_post(size_t *out_len) {
    if (out_len != nullptr) *out_len = 0;
    if (FilePtr f = open_body_file()) return read_whole_file(f.get(), out_len);
    const int32_t length = announced_length();
    if (length <= 0) return nullptr;
    return read_stdin(length, out_len);
}

extern "C" int cgi_stream_post(cgi_sink_fn sink, void *ctx, uint64_t *out_total) {
    if (out_total != nullptr) *out_total = 0;
    if (sink == nullptr) return -1;
    uint64_t total = 0;
    int result;
    if (FilePtr f = open_body_file()) {
        result = pump(f.get(), -1, sink, ctx, &total);
    } else {
        // Streamed bodies are not bounded by memory: a layer past 2 GiB must arrive whole
        // rather than be cut at 2^31 - 1 bytes.
        const int64_t length = announced_length64();
        if (length <= 0) return 0;
        qv::os::binary_mode(stdin);
        result = pump(stdin, length, sink, ctx, &total);
    }
    if (out_total != nullptr) *out_total = total;
    return result;
}
