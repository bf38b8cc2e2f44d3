// The storage engine's file-system primitives on real temporary directories.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/os.h"
#include "storage/storage_internal.h"
#include "support/child.h"
#include "support/temp_tree.h"

using namespace qvtest;

namespace {

// Runs one walk of dir the way the engine's callers do, and frees what it returned.
std::vector<std::string> walk(const std::string &dir) {
    std::vector<char *> list(reg::kRepoMax, nullptr);
    int count = 0;
    reg::collect_repos_recursive(dir.c_str(), "", list.data(), &count, 0);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        EXPECT_NE(list[i], nullptr);
        if (list[i] != nullptr) names.emplace_back(list[i]);
        std::free(list[i]);
    }
    return names;
}

void make_repo(const std::string &repos, const std::string &name) {
    make_dirs(repos + "/" + name + "/_manifests");
}

// Directory entries in the order the platform enumerates them.
std::vector<std::string> enumeration(const std::string &dir) {
    std::vector<std::string> names;
    qv::os::DirReader r(dir.c_str());
    const char *name;
    bool is_dir;
    while (r.next(&name, &is_dir))
        names.emplace_back(name);
    return names;
}

}  // namespace

TEST(ReadWrite, WholeFilesAndTheirLimits) {
    TempDir t;
    const std::string f = t / "f";
    ASSERT_EQ(reg::write_file(f.c_str(), std::string(200, 'x').data(), 200), 0);

    char buf[128];
    uint64_t len = 999;
    ASSERT_EQ(reg::read_file(f.c_str(), buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 127u);
    EXPECT_EQ(std::string(buf), std::string(127, 'x'));
    EXPECT_EQ(reg::read_file(f.c_str(), buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(reg::read_file((t / "missing").c_str(), buf, sizeof buf, &len), -1);
    EXPECT_EQ(reg::read_file(t.path().c_str(), buf, sizeof buf, &len), -1);  // a directory
    EXPECT_EQ(reg::read_file(f.c_str(), buf, 0, &len), -1);                  // no room for the NUL

    // Length 0 empties an existing file and creates a missing one.
    ASSERT_EQ(reg::write_file(f.c_str(), "", 0), 0);
    ASSERT_EQ(reg::write_file((t / "new").c_str(), nullptr, 0), 0);
    EXPECT_EQ(read_text(f), "");
    EXPECT_EQ(read_text(t / "new"), "");
    len = 999;
    ASSERT_EQ(reg::read_file(f.c_str(), buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_STREQ(buf, "");

    const std::string bytes("a\0b\r\n\xff", 6);
    ASSERT_EQ(reg::write_file(f.c_str(), bytes.data(), bytes.size()), 0);
    EXPECT_EQ(read_text(f), bytes);

    EXPECT_EQ(reg::write_file((t / "no/such/dir").c_str(), "x", 1), -1);
    EXPECT_EQ(reg::write_file(t.path().c_str(), "x", 1), -1);
}

TEST(ReadWrite, AWriteLostAtCloseIsAFailure) {
    // The device accepts the open and the buffered write; the data is refused when flushed.
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(reg::write_file("/dev/full", "abc", 3), -1);
}

TEST(ReadWrite, ReadAllStopsAt64MiB) {
    TempDir t;
    const std::string f = t / "big";
    write_text(f, "");
    ASSERT_EQ(truncate(f.c_str(), 67108864), 0);
    uint64_t len = 0;
    char *all = reg::read_file_alloc(f.c_str(), &len);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(len, 67108864u);
    EXPECT_EQ(all[67108864], '\0');
    std::free(all);

    ASSERT_EQ(truncate(f.c_str(), 67108865), 0);
    EXPECT_EQ(reg::read_file_alloc(f.c_str(), &len), nullptr);

    write_text(f, std::string("x\0y", 3));
    all = reg::read_file_alloc(f.c_str(), &len);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(std::string(all, len), std::string("x\0y", 3));
    std::free(all);
    EXPECT_EQ(reg::read_file_alloc((t / "missing").c_str(), &len), nullptr);
    EXPECT_EQ(reg::read_file_alloc(t.path().c_str(), &len), nullptr);
}

TEST(ListDir, KeepsTheFirst512AndSaysSo) {
    TempDir t;
    const std::string d = t / "d";
    make_dirs(d + "/sub");
    const std::string long_name(255, 'n');  // the longest this host allows
    write_text(d + "/" + long_name, "");
    auto *listing = new reg::DirListing;
    ASSERT_EQ(reg::list_dir(d.c_str(), listing), 0);
    EXPECT_EQ(listing->count, 2);
    EXPECT_EQ(listing->truncated, 0);
    std::set<std::pair<std::string, int>> seen;
    for (int i = 0; i < listing->count; ++i)
        seen.emplace(listing->entries[i].name, listing->entries[i].is_dir);
    EXPECT_EQ(seen, (std::set<std::pair<std::string, int>>{{"sub", 1}, {long_name, 0}}));

    for (int i = 0; i < 511; ++i)
        write_text(d + "/f" + std::to_string(i), "");
    ASSERT_EQ(reg::list_dir(d.c_str(), listing), 0);
    EXPECT_EQ(listing->count, 512);
    EXPECT_EQ(listing->truncated, 1);
    // The kept entries are the first 512 the platform gives.
    const std::vector<std::string> order = enumeration(d);
    ASSERT_EQ(order.size(), 513u);
    for (int i = 0; i < 512; ++i)
        ASSERT_EQ(listing->entries[i].name, order[i]) << i;

    write_text(t / "file", "");
    EXPECT_EQ(reg::list_dir((t / "file").c_str(), listing), -1);
    EXPECT_EQ(listing->count, 0);
    EXPECT_EQ(listing->truncated, 0);
    listing->count = 7;
    EXPECT_EQ(reg::list_dir((t / "missing").c_str(), listing), -1);
    EXPECT_EQ(listing->count, 0);
    delete listing;
}

TEST(Mkdirs, CreatesParentsAndAcceptsWhatExists) {
    TempDir t;
    const std::string deep = t / "a/b/c";
    EXPECT_EQ(reg::mkdirs(deep.c_str()), 0);
    EXPECT_TRUE(is_directory(deep));
    EXPECT_EQ(reg::mkdirs(deep.c_str()), 0);
    EXPECT_EQ(reg::mkdirs((t / "a//b/d/").c_str()), 0);  // doubled and trailing separators
    EXPECT_TRUE(is_directory(t / "a/b/d"));
    EXPECT_EQ(reg::mkdirs("/"), 0);

    // An existing file as the last step counts as done; as a middle step the next one fails.
    write_text(t / "f", "x");
    EXPECT_EQ(reg::mkdirs((t / "f").c_str()), 0);
    EXPECT_EQ(reg::mkdirs((t / "f/sub").c_str()), -1);
    EXPECT_EQ(read_text(t / "f"), "x");

    EXPECT_EQ(reg::mkdirs(""), -1);
    EXPECT_EQ(reg::mkdirs((t.path() + "/" + std::string(4096, 'x')).c_str()), -1);

    // A relative path and a drive-like name are plain names on this host.
    ChildSetup in_t;
    in_t.cwd = t.path();
    const auto r = run_child(in_t, [] { return reg::mkdirs("C:/x") == 0 ? 0 : 1; });
    EXPECT_TRUE(r.exited && r.status == 0);
    EXPECT_TRUE(is_directory(t / "C:/x"));
}

TEST(DeleteTree, RemovesEverythingBelowButNeverFollowsALink) {
    TempDir t;
    const std::string d = t / "d";
    write_text(d + "/a/b/c/file", "1");
    write_text(d + "/a/top", "2");
    make_dirs(d + "/empty");
    write_text(t / "outside/keep", "precious");
    ASSERT_EQ(symlink((t / "outside").c_str(), (d + "/a/link").c_str()), 0);
    ASSERT_EQ(symlink((t / "outside/keep").c_str(), (d + "/filelink").c_str()), 0);

    EXPECT_EQ(reg::delete_tree(d.c_str()), 0);
    EXPECT_FALSE(exists(d));
    EXPECT_EQ(read_text(t / "outside/keep"), "precious");
    EXPECT_EQ(tree_listing(t.path()), "outside/\noutside/keep\n");

    EXPECT_EQ(reg::delete_tree((t / "missing").c_str()), -1);
    EXPECT_EQ(reg::delete_tree((t / "outside/keep").c_str()), -1);  // not a directory
    EXPECT_EQ(read_text(t / "outside/keep"), "precious");

    // Handed a link itself, only the link goes.
    ASSERT_EQ(symlink((t / "outside").c_str(), (t / "direct").c_str()), 0);
    EXPECT_EQ(reg::delete_tree((t / "direct").c_str()), 0);
    EXPECT_FALSE(exists(t / "direct"));
    EXPECT_EQ(read_text(t / "outside/keep"), "precious");
}

TEST(DeleteTree, ReportsWhatItCannotReachAndRemovesTheRest) {
    // An entry whose full path exceeds 4095 characters cannot be named without cutting it,
    // so it is left in place and reported; everything else goes.
    TempDir t;
    const std::string d = t / "d";
    write_text(d + "/free/file", "y");
    std::string deep = d;
    while (deep.size() < 4040)
        deep += "/" + std::string(std::min<size_t>(200, 4040 - deep.size() - 1), 'q');
    make_dirs(deep);
    write_text(deep + "/near", "z");
    ChildSetup in_deep;
    in_deep.cwd = deep;
    const std::string far(80, 'f');
    auto made = run_child(in_deep, [&] { return reg::write_file(far.c_str(), "x", 1); });
    ASSERT_TRUE(made.exited && made.status == 0);

    EXPECT_EQ(reg::delete_tree(d.c_str()), -1);
    EXPECT_FALSE(exists(d + "/free"));
    EXPECT_FALSE(exists(deep + "/near"));
    EXPECT_EQ(enumeration(deep), std::vector<std::string>{far});  // only what it could not name

    auto gone = run_child(in_deep, [&] { return qv::os::remove_file(far.c_str()) ? 0 : 1; });
    EXPECT_TRUE(gone.exited && gone.status == 0);
    EXPECT_EQ(reg::delete_tree(d.c_str()), 0);
    EXPECT_FALSE(exists(d));
}

TEST(RepoWalk, PreOrderWithNestedRepositories) {
    TempDir t;
    const std::string repos = t / "repositories";
    make_repo(repos, "a");
    make_repo(repos, "a/b");
    make_repo(repos, "c");
    make_dirs(repos + "/plain/dir");          // no _manifests: not a repository
    make_repo(repos, "a/_manifests/tags/x");  // inside _manifests: never walked
    write_text(repos + "/file", "");          // a file is never a repository
    make_dirs(repos + "/nomark");
    write_text(repos + "/nomark/_manifests", "");  // a file named _manifests
    ASSERT_EQ(symlink((repos + "/c").c_str(), (repos + "/z").c_str()), 0);

    const auto names = walk(repos);
    const std::vector<std::string> a_first{"a", "a/b", "c"}, c_first{"c", "a", "a/b"};
    EXPECT_TRUE(names == a_first || names == c_first) << ::testing::PrintToString(names);

    EXPECT_TRUE(walk(t / "missing").empty());
}

TEST(RepoWalk, NineComponentsDeepAtMost) {
    TempDir t;
    const std::string repos = t / "repositories";
    std::string nine = "l1";
    for (int i = 2; i <= 9; ++i)
        nine += "/l" + std::to_string(i);
    make_repo(repos, nine);
    make_repo(repos, nine + "/l10");
    EXPECT_EQ(walk(repos), std::vector<std::string>{nine});

    // A name that would not fit its 1023 characters is left out, with what lies below it.
    const std::string p = "/" + std::string(250, 'p');
    const std::string four = "long" + p + p + p + p;  // 1008 characters
    make_repo(repos, four);
    make_repo(repos, four + p);  // 1259
    make_repo(repos, four + p + "/x");
    const auto names = walk(repos);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{nine, four}));
}

TEST(RepoWalk, StopsAt1024InWalkOrder) {
    // Four groups: a listing keeps 512 entries, so 1024 repositories need more than one level.
    TempDir t;
    const std::string repos = t / "repositories";
    auto fill = [&](int from, int to) {
        for (int g = 0; g < 4; ++g)
            for (int i = from; i < to; ++i)
                make_repo(repos, "g" + std::to_string(g) + "/r" + std::to_string(i));
    };
    fill(0, 256);
    auto names = walk(repos);
    EXPECT_EQ(names.size(), 1024u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 1024u);

    fill(256, 275);
    std::vector<std::string> expected;
    for (const auto &group : enumeration(repos))
        for (const auto &repo : enumeration(repos + "/" + group))
            expected.push_back(group + "/" + repo);
    ASSERT_EQ(expected.size(), 1100u);
    expected.resize(1024);
    EXPECT_EQ(walk(repos), expected);
}

TEST(RepoWalk, ANameThatCannotBeCopiedIsSkippedWithoutAHole) {
    TempDir t;
    const std::string repos = t / "repositories";
    make_repo(repos, "a");
    make_repo(repos, "bb");
    make_repo(repos, "ccc");
    std::vector<char *> list(reg::kRepoMax, nullptr);
    int count = 0;
    // Only the copy of "bb" and its NUL fails.
    reg::repo_name_alloc = [](size_t n) { return n == 3 ? nullptr : std::malloc(n); };
    reg::collect_repos_recursive(repos.c_str(), "", list.data(), &count, 0);
    reg::repo_name_alloc = std::malloc;
    ASSERT_EQ(count, 2);
    EXPECT_EQ(std::set<std::string>({list[0], list[1]}), (std::set<std::string>{"a", "ccc"}));
    EXPECT_EQ(list[2], nullptr);
    for (int i = 0; i < count; ++i)
        std::free(list[i]);
}

TEST(RepoWalk, RepoListWalksTheRootsRepositories) {
    TempDir t;
    const std::string root = t / "store";
    make_repo(root + "/repositories", "team/app");
    make_repo(root + "/repositories", "solo");
    std::snprintf(reg::s_root, sizeof reg::s_root, "%s", root.c_str());
    auto repos = reg::RepoList::collect();
    ASSERT_NE(repos, nullptr);
    ASSERT_EQ(repos->count(), 2);
    EXPECT_EQ(std::set<std::string>({(*repos)[0], (*repos)[1]}),
              (std::set<std::string>{"team/app", "solo"}));
    reg::s_root[0] = '\0';
}

TEST(SortStr, ByteOrderInsertionSort) {
    std::string a = "beta", b = "Zulu", c = "alpha", d = "\xc3\xa9t\xc3\xa9", e = "alpha";
    std::vector<char *> items{a.data(), b.data(), d.data(), c.data(), e.data()};
    reg::sort_str(items.data(), static_cast<int>(items.size()));
    EXPECT_EQ(items[0], b.data());  // uppercase before lowercase
    EXPECT_EQ(items[1], c.data());  // equal names keep their order
    EXPECT_EQ(items[2], e.data());
    EXPECT_EQ(items[3], a.data());
    EXPECT_EQ(items[4], d.data());  // bytes above 0x7f compare as unsigned
}

TEST(JsonEscape, EscapesAndReserve) {
    char out[64];
    const int n = reg::json_escape_append(out, sizeof out, "a\"b\\c\td\x01/\x7f\xc3\xa9");
    EXPECT_EQ(std::string(out), "a\\\"b\\\\c\\td\\u0001/\x7f\xc3\xa9");
    EXPECT_EQ(n, static_cast<int>(std::strlen(out)));
    reg::json_escape_append(out, sizeof out, "\b\f\n\r\x1f");
    EXPECT_STREQ(out, "\\b\\f\\n\\r\\u001f");

    // Capacity 9: one character's escape, then the reserve stops it.
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(reg::json_escape_append(out, 9, "\x01\x02"), 6);
    EXPECT_EQ(std::string(out), "\\u0001");
    EXPECT_EQ(reg::json_escape_append(out, 9, "abc"), 1);
    EXPECT_STREQ(out, "a");
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(reg::json_escape_append(out, 8, "abc"), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(reg::json_escape_append(out, 20, "0123456789abcdef"), 12);

    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(reg::json_escape_append(out, sizeof out, nullptr), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
    EXPECT_EQ(reg::json_escape_append(out, 0, "abc"), 0);  // nothing, not even the NUL
}

// Names of a process's own (temporaries, set-asides, a collection's owner) are drawn again in
// a forked child, as the stress tests' workers are: two processes must never share one.
TEST(ProcessTag, AForkedChildDrawsItsOwn) {
    const std::string parent = reg::process_tag();
    const ChildResult child = run_child({}, [] { return std::fputs(reg::process_tag(), stdout); });
    EXPECT_NE(child.out, parent);
    EXPECT_EQ(reg::process_tag(), parent);
}
