// Bounded copy, format and path join: never past the buffer, always terminated.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frontend/qv_cgi.h"

namespace {

// A buffer with guard bytes after the usable size, to catch writes past the end.
struct Guarded {
    explicit Guarded(size_t size) : size(size) { std::memset(bytes, '#', sizeof bytes); }
    char *data() { return bytes; }
    bool guard_intact() const {
        for (size_t i = size; i < sizeof bytes; ++i)
            if (bytes[i] != '#') return false;
        return true;
    }
    size_t size;
    char bytes[64];
};

std::string join(size_t size, const char *a, const char *b) {
    Guarded g(size);
    qv_path_join(g.data(), size, a, b);
    EXPECT_TRUE(g.guard_intact());
    return g.data();
}

}  // namespace

TEST(Strlcpy, BoundsAndNulls) {
    Guarded g(1);
    qv_strlcpy(g.data(), "abc", 1);
    EXPECT_STREQ(g.data(), "");
    EXPECT_TRUE(g.guard_intact());

    Guarded exact(4);
    qv_strlcpy(exact.data(), "abc", 4);  // size - 1 characters: all of them
    EXPECT_STREQ(exact.data(), "abc");
    qv_strlcpy(exact.data(), "abcdef", 4);
    EXPECT_STREQ(exact.data(), "abc");
    EXPECT_TRUE(exact.guard_intact());

    qv_strlcpy(exact.data(), nullptr, 4);
    EXPECT_STREQ(exact.data(), "");

    char untouched[4] = "xyz";
    qv_strlcpy(untouched, "abc", 0);
    EXPECT_STREQ(untouched, "xyz");
    qv_strlcpy(nullptr, "abc", 4);  // must not crash
}

TEST(Snprintf, ReturnsWhatIsStored) {
    Guarded g(8);
    EXPECT_EQ(qv_snprintf(g.data(), 8, "%s", "0123456789abcdefghij"), 7);
    EXPECT_STREQ(g.data(), "0123456");
    EXPECT_TRUE(g.guard_intact());

    EXPECT_EQ(qv_snprintf(g.data(), 8, "%d", 123), 3);
    EXPECT_STREQ(g.data(), "123");
    EXPECT_EQ(qv_snprintf(g.data(), 8, "%s", "1234567"), 7);  // exactly fits
    EXPECT_STREQ(g.data(), "1234567");

    char one[1] = {'x'};
    EXPECT_EQ(qv_snprintf(one, 1, "%s", "abc"), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(qv_snprintf(nullptr, 8, "%s", "abc"), 0);
    char keep[2] = {'k', '\0'};
    EXPECT_EQ(qv_snprintf(keep, 0, "%s", "abc"), 0);
    EXPECT_EQ(keep[0], 'k');

    // Adding results to a position never passes the end of a larger buffer.
    char big[10];
    int pos = 0;
    for (int i = 0; i < 5; ++i)
        pos += qv_snprintf(big + pos, sizeof big - static_cast<size_t>(pos), "abcd");
    EXPECT_EQ(pos, 9);
    EXPECT_STREQ(big, "abcdabcda");
}

TEST(PathJoin, SeparatorsOnBothSides) {
    EXPECT_EQ(join(64, "root", "a/b"), "root/a/b");
    EXPECT_EQ(join(64, "root/", "/a"), "root/a");
    EXPECT_EQ(join(64, "root\\", "a"), "root\\a");  // a backslash counts as a separator
    EXPECT_EQ(join(64, "root", "\\/a\\b/"), "root/a\\b/");
    EXPECT_EQ(join(64, "root", "//a"), "root/a");
    EXPECT_EQ(join(64, "", "/a"), "/a");
    EXPECT_EQ(join(64, nullptr, "/a"), "/a");
    EXPECT_EQ(join(64, nullptr, nullptr), "");
    EXPECT_EQ(join(64, "root", ""), "root");
    EXPECT_EQ(join(64, "root", nullptr), "root");
    EXPECT_EQ(join(64, "root", "///"), "root/");
}

TEST(PathJoin, CutsToTheBuffer) {
    // One byte more than the first piece: the piece alone, no separator.
    EXPECT_EQ(join(5, "root", "abc"), "root");
    EXPECT_EQ(join(6, "root", "abc"), "root/");
    EXPECT_EQ(join(8, "root", "abcdef"), "root/ab");
    EXPECT_EQ(join(3, "root", "abc"), "ro");
    EXPECT_EQ(join(3, "", "abcdef"), "ab");

    char keep[4] = "xyz";
    qv_path_join(keep, 0, "a", "b");
    EXPECT_STREQ(keep, "xyz");
    qv_path_join(nullptr, 4, "a", "b");  // must not crash
}
