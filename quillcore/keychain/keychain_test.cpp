#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/in_memory_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"

using namespace quill;
using quill::testing::readFile;
using quill::testing::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr auto kNotFound = KeychainStatus::itemNotFound;

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> accounts(const KeychainResult<std::vector<KeychainItem>>& all) {
    std::vector<std::string> out;
    for (const auto& item : all.value.value_or(std::vector<KeychainItem>{})) out.push_back(item.account);
    return out;
}

// Rows of {status given, status expected}, evaluated in order; a failure names its row.
void expectStatuses(std::initializer_list<std::pair<std::int32_t, std::int32_t>> rows) {
    int row = 0;
    for (auto [got, expected] : rows) EXPECT_EQ(got, expected) << "row " << row++;
}

}  // namespace

// Both stores must answer alike, since tests elsewhere stand the memory one in for the file one.
class KeychainContract : public ::testing::TestWithParam<bool> {
protected:
    quill::testing::TempFolder folder_;
    std::shared_ptr<Keychain> keychain_ =
        GetParam() ? std::shared_ptr<Keychain>(new FileKeychain(folder_.path())) : std::make_shared<InMemoryKeychain>();
};

TEST_P(KeychainContract, StatusesOfAddUpdateCopyRemoveAndListingOrder) {
    Keychain& k = *keychain_;
    const auto x = toBytes("x");
    // Services and accounts are separate namespaces; the empty text is a name like any other.
    expectStatuses({{k.copy("svc", "a").status, kNotFound}, {k.copyAll("svc", 9).status, kNotFound},
                    {k.update("svc", "a", x), kNotFound}, {k.remove("svc", "a"), kNotFound},
                    {k.remove("svc", std::nullopt), kNotFound}, {k.add("svc", "a", {}), 0},
                    {k.add("svc", "a", x), KeychainStatus::duplicateItem}, {k.update("svc", "a", x), 0},
                    {k.copy("other", "a").status, kNotFound}, {k.add("", "a", toBytes("e")), 0}});
    EXPECT_EQ(k.copy("svc", "a").value, x);
    expectStatuses({{k.remove("svc", "a"), 0}, {k.copy("svc", "a").status, kNotFound},
                    {k.remove("svc", std::nullopt), kNotFound}});
    EXPECT_EQ(k.copy("", "a").value, toBytes("e"));
    // Listed in byte order of the names (hex; "_", the empty one, sorts between digits and letters).
    for (std::string account : {"\xff", "b", "", "a", "ab"})
        ASSERT_EQ(k.add("svc", account, toBytes("d" + account)), 0);
    auto all = k.copyAll("svc", 1000);
    EXPECT_EQ(accounts(all), (std::vector<std::string>{"a", "ab", "b", "", "\xff"}));
    EXPECT_EQ(all.value->back(), (KeychainItem{"\xff", toBytes("d\xff")}));
    EXPECT_EQ(accounts(k.copyAll("svc", 2)), (std::vector<std::string>{"a", "ab"}));
    EXPECT_EQ(k.remove("svc", std::nullopt), 0);
    EXPECT_EQ(k.copyAll("svc", 9).status, kNotFound);
}

INSTANTIATE_TEST_SUITE_P(Stores, KeychainContract, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

class FileKeychainTest : public ::testing::Test {
protected:
    quill::testing::TempFolder folder;
    const fs::path root = folder.path() / "data" / "root";
    const fs::path dir = root / "737663";  // "svc"
    FileKeychain k{root};
    fs::path temp(const std::string& account) const { return dir / ("." + keychainItemName(account) + ".tmp"); }
};

TEST_F(FileKeychainTest, KeepsPrivateFilesAtTheirHexPathsInPrivateFoldersAndNeverLeavesTheRoot) {
    EXPECT_EQ(keychainTextForName(keychainItemName("a/..")), "a/..");
    EXPECT_EQ(keychainTextForName("_"), "");
    for (auto bad : {"", "A1", "abc", "zz", "._", ".61.tmp"}) EXPECT_FALSE(keychainTextForName(bad)) << bad;
    mode_t old = ::umask(0);  // the modes must not depend on the caller's umask
    ASSERT_EQ(k.add("svc", "00ab", toBytes("{\"x\":1}")), 0);
    ::umask(old);
    EXPECT_EQ(readFile(dir / "30306162"), "{\"x\":1}");
    for (const auto& folder : {dir, root, root.parent_path()}) EXPECT_EQ(modeOf(folder), 0700u) << folder;
    // An update replaces the file and keeps the mode, leaving no temp file behind.
    ASSERT_EQ(k.update("svc", "00ab", toBytes("new")), 0);
    EXPECT_EQ(readFile(dir / "30306162"), "new");
    EXPECT_EQ(modeOf(dir / "30306162"), 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);
    // Folders that already exist are made private by a write, not by a read.
    fs::permissions(root, fs::perms(0755));
    fs::permissions(dir, fs::perms(0777));
    EXPECT_EQ(k.copy("svc", "a").status, kNotFound);
    EXPECT_EQ(modeOf(dir), 0777u);
    ASSERT_EQ(k.add("svc", "a", toBytes("x")), 0);
    EXPECT_EQ(modeOf(root) | modeOf(dir), 0700u);

    const std::vector<std::string> hostile = {"/", "..", "../..", "../escape", "/etc/passwd", "a/../../b", ".", ""};
    for (const auto& service : hostile)
        for (const auto& account : hostile) {
            ASSERT_EQ(k.add(service, account, toBytes(service + "|" + account)), 0) << service << " " << account;
            EXPECT_EQ(k.copy(service, account).value, toBytes(service + "|" + account));
        }
    // Everything lives exactly two levels below the root and nowhere else.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        auto rel = fs::relative(entry.path(), root);
        EXPECT_EQ(std::distance(rel.begin(), rel.end()), entry.is_directory() ? 1 : 2) << rel;
    }
}

TEST_F(FileKeychainTest, OnlyPlainFilesAreItemsAndFailuresAreNegativeErrno) {
    ASSERT_EQ(k.add("svc", "acct", toBytes("previous")), 0);
    ASSERT_EQ(k.add("svc", "max", Bytes(FileKeychain::maxItemSize, 'x')), 0);
    // What a crash after writing the temp file but before the rename leaves behind.
    writeFile(temp("acct"), "torn wri");
    writeFile(temp("gone"), "never renamed");
    // And what else may sit in a folder, none of which is followed or blocks a read.
    writeFile(folder.path() / "outside", "secret outside the root");
    fs::create_symlink(folder.path() / "outside", dir / keychainItemName("link"));
    ASSERT_EQ(::mkfifo((dir / keychainItemName("fifo")).c_str(), 0600), 0);
    fs::create_directory(dir / keychainItemName("dir"));
    writeFile(dir / "README", "not an item name");
    writeFile(folder.path() / "file", "");
    FileKeychain underFile(folder.path() / "file" / "root");
    const std::string tooLong(200, 'a');  // refused, not truncated; looking one up finds nothing

    EXPECT_EQ(k.copy("svc", "acct").value, toBytes("previous"));
    EXPECT_EQ(k.copy("svc", "max").value.value_or(Bytes{}).size(), FileKeychain::maxItemSize);
    EXPECT_EQ(accounts(k.copyAll("svc", 9)), (std::vector<std::string>{"acct", "max"}));
    EXPECT_FALSE(fs::exists(temp("gone"))) << "the listing clears stale temp files";
    expectStatuses({{k.copy("svc", "gone").status, kNotFound}, {k.copy("svc", "link").status, -ELOOP},
                    {k.copy("svc", "fifo").status, -EINVAL}, {k.copy("svc", "dir").status, -EISDIR},
                    {underFile.add("svc", "a", {}), -ENOTDIR}, {underFile.copy("svc", "a").status, -ENOTDIR},
                    {k.add("svc", tooLong, {}), -ENAMETOOLONG}, {k.update("svc", tooLong, {}), kNotFound},
                    {k.copy("svc", tooLong).status, kNotFound}, {k.remove("svc", tooLong), kNotFound},
                    {k.copy(tooLong, "a").status, kNotFound}, {k.add(tooLong, "a", {}), -ENAMETOOLONG}});
    // A write over a stale temp file works; one over the link replaces the link, not its target.
    writeFile(temp("acct"), "stale");
    ASSERT_EQ(k.update("svc", "acct", toBytes("next")), 0);
    EXPECT_EQ(k.copy("svc", "acct").value, toBytes("next"));
    EXPECT_EQ(k.update("svc", "link", toBytes("mine")), 0);
    EXPECT_EQ(readFile(folder.path() / "outside"), "secret outside the root");
    EXPECT_EQ(k.copy("svc", "link").value, toBytes("mine"));
    // A service folder that is a link is not followed either; an item over the limit is damaged.
    fs::create_directory(folder.path() / "elsewhere");
    fs::create_directory_symlink(folder.path() / "elsewhere", root / keychainItemName("linked"));
    expectStatuses({{k.add("linked", "a", {}), -ENOTDIR}, {k.copy("linked", "a").status, -ENOTDIR}});
    EXPECT_TRUE(fs::is_empty(folder.path() / "elsewhere"));
    writeFile(dir / keychainItemName("max"), std::string(FileKeychain::maxItemSize + 1, 'x'));
    expectStatuses({{k.copy("svc", "max").status, -EFBIG}, {k.copyAll("svc", 9).status, -EFBIG}});
}

TEST_F(FileKeychainTest, WritersInOtherProcessesKilledAtAnyPointNeverExposeATornItem) {
    ASSERT_EQ(k.add("svc", "acct", Bytes(4096, 'a')), 0);
    std::vector<pid_t> writers;
    for (std::uint8_t fill : {'b', 'c'}) {
        writers.push_back(::fork());
        if (writers.back() == 0) {  // writes until killed; only the folder lock serialises the two
            for (FileKeychain writer(root); writer.update("svc", "acct", Bytes(4096, fill)) == 0;) {
            }
            ::_exit(1);
        }
    }
    int torn = 0;
    std::set<std::uint8_t> seen;  // read until both writers were seen at work
    for (int i = 0; (i < 200 || !seen.count('b') || !seen.count('c')) && i < 100000; ++i) {
        auto got = k.copy("svc", "acct").value.value_or(Bytes{});
        torn += got.size() != 4096 || std::count(got.begin(), got.end(), got.front()) != 4096;
        torn += accounts(k.copyAll("svc", 9)).size() != 1;
        seen.insert(got.empty() ? 0 : got.front());
    }
    for (pid_t pid : writers) {
        int status = 0;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "a writer failed";
    }
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(seen.count('b') && seen.count('c'));
    auto last = k.copy("svc", "acct").value.value_or(Bytes{});
    EXPECT_TRUE(last == Bytes(4096, 'b') || last == Bytes(4096, 'c'));
    EXPECT_EQ(accounts(k.copyAll("svc", 9)), std::vector<std::string>{"acct"});
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1) << "the listing clears what a killed write left";
}

TEST(FileKeychain, DefaultRootFollowsXdgDataHomeWhenAbsolute) {
    // Each test runs in a process of its own: the environment is this test's to change.
    ::setenv("HOME", "/home/someone", 1);
    const fs::path home = "/home/someone/.local/share/quillmate/keychain";
    const std::pair<const char*, fs::path> cases[] = {
        {"/srv/data", "/srv/data/quillmate/keychain"}, {"relative/path", home}, {"", home}, {nullptr, home}};
    for (const auto& [xdg, root] : cases) {
        xdg ? ::setenv("XDG_DATA_HOME", xdg, 1) : ::unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(FileKeychain::defaultRoot(), root) << (xdg ? xdg : "unset");
    }
}
