// SHA-256 against FIPS 180-4 results and coreutils, on both compression back ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "digest/sha256_backend.h"
#include "support/temp_tree.h"

using namespace qvtest;
using qv::sha256::Backend;

namespace {

std::string hex(const uint8_t d[32]) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 32; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string digest_of(const void *data, size_t len) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    uint8_t out[32];
    sha256_final(&ctx, out);
    return hex(out);
}

std::string digest_of(const std::string &s) {
    return digest_of(s.data(), s.size());
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

std::string coreutils_digest(const std::string &path) {
    std::FILE *p = ::popen(("sha256sum '" + path + "'").c_str(), "r");
    if (p == nullptr) return "popen failed";
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    ::pclose(p);
    return got ? std::string(line, 64) : "no output";
}

class Sha256 : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        if (!qv::sha256::select_backend(GetParam())) GTEST_SKIP() << "no SHA extensions here";
        ASSERT_EQ(qv::sha256::active_backend(), GetParam());
    }
    void TearDown() override { qv::sha256::select_backend(Backend::automatic); }
};

}  // namespace

TEST_P(Sha256, FipsVectors) {
    EXPECT_EQ(digest_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
                        "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(digest_of(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    // The million "a" fed one byte at a time goes through the pending block every time.
    sha256_ctx ctx;
    sha256_init(&ctx);
    for (int i = 0; i < 1000000; ++i)
        sha256_update(&ctx, "a", 1);
    uint8_t out[32];
    sha256_final(&ctx, out);
    EXPECT_EQ(hex(out), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_P(Sha256, LengthsAroundTheLengthFieldAndBlockEdges) {
    const struct {
        size_t len;
        const char *digest;
    } cases[] = {
        {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
        {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
        {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
        {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
        {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
        {127, "a8d23e75d936f303d248888d9b165ee543f4cbafcad3c9dd2a79bd84faa11d07"},
        {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6"},
        {129, "307f8fc2c1622b92762e818d39a185d4d667ad49a4b07ceae1f4afa008a93ec4"},
    };
    for (const auto &c : cases) {
        std::string msg(c.len, '\0');
        for (size_t i = 0; i < c.len; ++i)
            msg[i] = static_cast<char>((i * 7 + 3) & 0xff);
        EXPECT_EQ(digest_of(msg), c.digest) << c.len << " bytes";
    }
}

TEST_P(Sha256, AnySplitEqualsOneShotAndKeepsTheContextInvariant) {
    const std::string msg = random_bytes(5000, 7);
    const std::string whole = digest_of(msg);
    std::mt19937 gen(11);
    for (int round = 0; round < 200; ++round) {
        sha256_ctx ctx;
        sha256_init(&ctx);
        size_t at = 0;
        while (at < msg.size()) {
            // Mostly short pieces, sometimes several blocks, sometimes nothing at all.
            size_t piece = gen() % 4 == 0 ? gen() % 300 : gen() % 70;
            piece = std::min(piece, msg.size() - at);
            const char untouched = 0;
            sha256_update(&ctx, piece == 0 ? &untouched : msg.data() + at, piece);
            at += piece;
            ASSERT_LT(ctx.block_len, 64u);
            ASSERT_EQ(ctx.bit_count, at * 8);
            ASSERT_EQ(ctx.block_len, at % 64);
            ASSERT_EQ(0, std::memcmp(ctx.block, msg.data() + at - at % 64, at % 64));
        }
        uint8_t out[32];
        sha256_final(&ctx, out);
        ASSERT_EQ(hex(out), whole) << "round " << round;
    }
    // A zero-length update never reads its pointer.
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, nullptr, 0);
    uint8_t out[32];
    sha256_final(&ctx, out);
    EXPECT_EQ(hex(out), digest_of(""));
}

TEST_P(Sha256, FileMatchesCoreutils) {
    TempDir t;
    // Empty, inside one read, exactly one read, one read and a byte, several reads with a
    // partial last one.
    for (size_t size :
         {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{300000}}) {
        const std::string path = t / ("f" + std::to_string(size));
        const std::string bytes = random_bytes(size, static_cast<unsigned>(size) + 1);
        write_text(path, bytes);
        uint8_t out[32];
        ASSERT_EQ(sha256_file(path.c_str(), out), 0) << size;
        EXPECT_EQ(hex(out), coreutils_digest(path)) << size << " bytes";
        EXPECT_EQ(hex(out), digest_of(bytes)) << size << " bytes";
    }
}

TEST_P(Sha256, FileThatCannotBeReadLeavesTheOutputAlone) {
    TempDir t;
    make_dirs(t / "dir");
    uint8_t out[32];
    std::memset(out, 0xAA, sizeof out);
    const std::vector<uint8_t> before(out, out + 32);

    EXPECT_EQ(sha256_file((t / "missing").c_str(), out), -1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 32), before);
    // Opens, but every read fails.
    EXPECT_EQ(sha256_file((t / "dir").c_str(), out), -1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 32), before);
}

INSTANTIATE_TEST_SUITE_P(Backends, Sha256, ::testing::Values(Backend::portable, Backend::shani),
                         [](const auto &info) {
                             return info.param == Backend::portable ? "portable" : "shani";
                         });

TEST(Sha256Backends, AgreeOnEveryLengthAndOffset) {
    if (!qv::sha256::shani_supported()) GTEST_SKIP() << "no SHA extensions here";
    const std::string data = random_bytes(2100, 3);
    for (size_t len = 0; len <= 1030; ++len) {
        const size_t offset = len % 17;  // unaligned starts reach the compressor directly
        qv::sha256::select_backend(Backend::portable);
        const std::string portable = digest_of(data.data() + offset, len);
        qv::sha256::select_backend(Backend::shani);
        ASSERT_EQ(digest_of(data.data() + offset, len), portable) << len;
    }
    qv::sha256::select_backend(Backend::automatic);
    EXPECT_EQ(qv::sha256::active_backend(), Backend::shani);
}
