#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "quillcore/keychain/fake_keychain.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/in_memory_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"

using namespace quill;
using quill::testing::readFile;
using quill::testing::TempFolder;
using quill::testing::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr auto kNotFound = KeychainStatus::itemNotFound;
constexpr auto kDuplicate = KeychainStatus::duplicateItem;

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

}  // namespace

// Both stores must answer alike, since tests elsewhere stand the memory one in for the file one.
class KeychainContract : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) keychain_ = std::make_shared<FileKeychain>(folder_.path() / "root");
        else keychain_ = std::make_shared<InMemoryKeychain>();
    }
    TempFolder folder_;
    std::shared_ptr<Keychain> keychain_;
};

TEST_P(KeychainContract, StatusesOfAddUpdateCopyRemove) {
    Keychain& k = *keychain_;
    EXPECT_EQ(k.copy("svc", "acct").status, kNotFound);
    EXPECT_EQ(k.copyAll("svc", 10).status, kNotFound);
    EXPECT_EQ(k.update("svc", "acct", toBytes("x")), kNotFound);
    EXPECT_EQ(k.remove("svc", "acct"), kNotFound);
    EXPECT_EQ(k.remove("svc", std::nullopt), kNotFound);

    EXPECT_EQ(k.add("svc", "acct", toBytes("one")), 0);
    EXPECT_EQ(k.add("svc", "acct", toBytes("two")), kDuplicate);
    EXPECT_EQ(k.update("svc", "acct", toBytes("three")), 0);
    EXPECT_EQ(k.copy("svc", "acct").value, toBytes("three"));
    // Services and accounts are separate namespaces; the empty text is a name like any other.
    EXPECT_EQ(k.copy("other", "acct").status, kNotFound);
    EXPECT_EQ(k.add("", "acct", toBytes("e")), 0);
    EXPECT_EQ(k.remove("svc", "acct"), 0);
    EXPECT_EQ(k.copy("svc", "acct").status, kNotFound);

    // Listed in byte order of the accounts (names are their hex; "_", the empty one, sorts
    // between digits and letters), up to the limit.
    for (std::string account : {"\xff", "b", "", "a", "ab"}) ASSERT_EQ(k.add("svc", account, toBytes("d" + account)), 0);
    auto all = k.copyAll("svc", 1000);
    ASSERT_EQ(all.status, 0);
    std::vector<std::string> accounts;
    for (const auto& item : *all.value) {
        accounts.push_back(item.account);
        EXPECT_EQ(item.data, toBytes("d" + item.account));
    }
    EXPECT_EQ(accounts, (std::vector<std::string>{"a", "ab", "b", "", "\xff"}));
    EXPECT_EQ(k.copyAll("svc", 2).value->at(1).account, "ab");
    EXPECT_EQ(k.copyAll("svc", 2).value->size(), 2u);

    EXPECT_EQ(k.remove("svc", std::nullopt), 0);
    EXPECT_EQ(k.copyAll("svc", 10).status, kNotFound);
    EXPECT_EQ(k.copy("", "acct").value, toBytes("e"));
}

INSTANTIATE_TEST_SUITE_P(Stores, KeychainContract, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

class FileKeychainTest : public ::testing::Test {
protected:
    TempFolder folder;
    const fs::path root = folder.path() / "root";
    const fs::path dir = root / keychainItemName("svc");
    FileKeychain k{root};
};

TEST(KeychainNames, HexOrUnderscoreAndNothingElseReadsBack) {
    EXPECT_EQ(keychainTextForName(keychainItemName("a/..")), "a/..");
    EXPECT_EQ(keychainTextForName(keychainItemName("")), "");
    for (auto bad : {"", "A1", "abc", "zz", "._", ".61.tmp"}) EXPECT_FALSE(keychainTextForName(bad)) << bad;
}

TEST(FileKeychain, KeepsPrivateFilesAtTheirHexPathsInPrivateFolders) {
    TempFolder folder;
    const fs::path root = folder.path() / "data" / "quillmate" / "keychain";
    FileKeychain k(root);
    mode_t old = ::umask(0);  // the modes must not depend on the caller's umask
    int32_t status = k.add("au.tarnhol.quillmate.peers", "00ab", toBytes("{\"x\":1}"));
    ::umask(old);
    ASSERT_EQ(status, 0);
    const fs::path service = root / "61752e7461726e686f6c2e7175696c6c6d6174652e7065657273";
    EXPECT_EQ(readFile(service / "30306162"), "{\"x\":1}");
    EXPECT_EQ(modeOf(service / "30306162"), 0600u);
    EXPECT_EQ(modeOf(service), 0700u);
    EXPECT_EQ(modeOf(root), 0700u);
    EXPECT_EQ(modeOf(root.parent_path()), 0700u);
    // An update replaces the file and keeps the mode, leaving no temp file behind.
    ASSERT_EQ(k.update("au.tarnhol.quillmate.peers", "00ab", toBytes("new")), 0);
    EXPECT_EQ(readFile(service / "30306162"), "new");
    EXPECT_EQ(modeOf(service / "30306162"), 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(service), {}), 1);

    // Folders that already exist are made private by a write, not by a read.
    const fs::path other = root / keychainItemName("svc");
    fs::create_directories(other);
    fs::permissions(root, fs::perms(0755));
    fs::permissions(other, fs::perms(0777));
    EXPECT_EQ(k.copy("svc", "a").status, kNotFound);
    EXPECT_EQ(modeOf(other), 0777u);
    ASSERT_EQ(k.add("svc", "a", toBytes("x")), 0);
    EXPECT_EQ(modeOf(root), 0700u);
    EXPECT_EQ(modeOf(other), 0700u);
}

TEST_F(FileKeychainTest, NamesNeverLeaveTheRoot) {
    const std::vector<std::string> hostile = {"/", "..", "../..", "../escape", "/etc/passwd", "a/../../b", ".", ""};
    for (const auto& service : hostile)
        for (const auto& account : hostile) {
            ASSERT_EQ(k.add(service, account, toBytes(service + "|" + account)), 0) << service << " " << account;
            EXPECT_EQ(k.copy(service, account).value, toBytes(service + "|" + account));
        }
    // Everything lives exactly two levels below the root and nowhere else.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        auto rel = fs::relative(entry.path(), root);
        EXPECT_EQ(std::distance(rel.begin(), rel.end()), entry.is_directory() ? 1 : 2) << rel;
        EXPECT_FALSE(entry.is_symlink());
        if (entry.is_regular_file()) ++files;
    }
    EXPECT_EQ(files, hostile.size() * hostile.size());
    for (const auto& service : hostile) EXPECT_EQ(k.remove(service, std::nullopt), 0);
}

TEST_F(FileKeychainTest, InterruptedWriteLeavesThePreviousItem) {
    ASSERT_EQ(k.add("svc", "acct", toBytes("previous")), 0);
    // What a crash after writing the temp file but before the rename leaves behind.
    writeFile(dir / ("." + keychainItemName("acct") + ".tmp"), "torn wri");
    writeFile(dir / ("." + keychainItemName("gone") + ".tmp"), "never renamed");

    EXPECT_EQ(k.copy("svc", "acct").value, toBytes("previous"));
    EXPECT_EQ(k.copy("svc", "gone").status, kNotFound);
    auto all = k.copyAll("svc", 10);
    ASSERT_TRUE(all.value);
    ASSERT_EQ(all.value->size(), 1u);
    EXPECT_EQ(all.value->front(), (KeychainItem{"acct", toBytes("previous")}));
    // The listing cleared the stale temp files.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);

    // A write over a stale temp file still works.
    writeFile(dir / ("." + keychainItemName("acct") + ".tmp"), "stale");
    ASSERT_EQ(k.update("svc", "acct", toBytes("next")), 0);
    EXPECT_EQ(k.copy("svc", "acct").value, toBytes("next"));
    EXPECT_FALSE(fs::exists(dir / ("." + keychainItemName("acct") + ".tmp")));
}

TEST_F(FileKeychainTest, RefusesWhatIsNotAPlainFileWithoutFollowingOrBlocking) {
    ASSERT_EQ(k.add("svc", "real", toBytes("r")), 0);
    writeFile(folder.path() / "outside", "secret outside the root");
    fs::create_symlink(folder.path() / "outside", dir / keychainItemName("link"));
    ASSERT_EQ(::mkfifo((dir / keychainItemName("fifo")).c_str(), 0600), 0);
    fs::create_directory(dir / keychainItemName("dir"));
    writeFile(dir / "README", "not an item name");

    EXPECT_EQ(k.copy("svc", "link").status, -ELOOP);
    EXPECT_EQ(k.copy("svc", "fifo").status, -EINVAL);
    EXPECT_EQ(k.copy("svc", "dir").status, -EISDIR);
    auto all = k.copyAll("svc", 10);
    ASSERT_TRUE(all.value);
    ASSERT_EQ(all.value->size(), 1u);
    EXPECT_EQ(all.value->front().account, "real");

    // Writing over the link replaces the link itself; the file it pointed at is untouched.
    EXPECT_EQ(k.update("svc", "link", toBytes("mine")), 0);
    EXPECT_EQ(readFile(folder.path() / "outside"), "secret outside the root");
    EXPECT_EQ(k.copy("svc", "link").value, toBytes("mine"));

    // A service folder that is a link is not followed either.
    fs::create_directory(folder.path() / "elsewhere");
    fs::create_directory_symlink(folder.path() / "elsewhere", root / keychainItemName("linked"));
    EXPECT_EQ(k.add("linked", "a", toBytes("x")), -ENOTDIR);
    EXPECT_EQ(k.copy("linked", "a").status, -ENOTDIR);
    EXPECT_TRUE(fs::is_empty(folder.path() / "elsewhere"));
}

TEST_F(FileKeychainTest, ReportsFileErrorsAsNegativeErrno) {
    writeFile(folder.path() / "file", "");
    FileKeychain underFile(folder.path() / "file" / "root");
    EXPECT_EQ(underFile.add("svc", "a", toBytes("x")), -ENOTDIR);
    EXPECT_EQ(underFile.copy("svc", "a").status, -ENOTDIR);

    ASSERT_EQ(k.add("svc", "big", toBytes("x")), 0);
    writeFile(dir / keychainItemName("big"),
              std::string(FileKeychain::maxItemSize + 1, 'x'));
    EXPECT_EQ(k.copy("svc", "big").status, -EFBIG);
    EXPECT_EQ(k.copyAll("svc", 10).status, -EFBIG);
    // An account too long for a file name is refused, not truncated; looking one up finds
    // nothing, as for any other name that holds no item.
    EXPECT_EQ(k.add("svc", std::string(200, 'a'), toBytes("x")), -ENAMETOOLONG);
    EXPECT_EQ(k.update("svc", std::string(200, 'a'), toBytes("x")), kNotFound);
    EXPECT_EQ(k.copy("svc", std::string(200, 'a')).status, kNotFound);
    EXPECT_EQ(k.remove("svc", std::string(200, 'a')), kNotFound);
    EXPECT_EQ(k.copy(std::string(200, 's'), "a").status, kNotFound);
    EXPECT_EQ(k.add(std::string(200, 's'), "a", toBytes("x")), -ENAMETOOLONG);
}

TEST_F(FileKeychainTest, ConcurrentWritersNeverExposeATornItem) {
    FileKeychain(root).add("svc", "acct", Bytes(4096, 'a'));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    auto write = [&](char fill) {
        FileKeychain writer(root);  // separate instances: only the folder lock serialises them
        for (int i = 0; i < 100; ++i) bad += writer.update("svc", "acct", Bytes(4096, static_cast<std::uint8_t>(fill))) != 0;
    };
    std::thread reader([&] {
        FileKeychain k(root);
        while (!stop) {
            auto got = k.copy("svc", "acct");
            bad += !got.value || got.value->size() != 4096 ||
                   std::count(got.value->begin(), got.value->end(), got.value->front()) != 4096;
            auto all = k.copyAll("svc", 10);
            bad += !all.value || all.value->size() != 1;
        }
    });
    std::thread b(write, 'b'), c(write, 'c');
    b.join();
    c.join();
    stop = true;
    reader.join();
    EXPECT_EQ(bad, 0);
}

TEST(FileKeychain, DefaultRootFollowsXdgDataHome) {
    // Restores HOME and XDG_DATA_HOME (or their absence) when the test ends.
    struct Saved {
        const char* name;
        std::optional<std::string> value = std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
        ~Saved() { value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name); }
    } xdg{"XDG_DATA_HOME"}, home{"HOME"};
    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(FileKeychain::defaultRoot(), fs::path("/srv/data/quillmate/keychain"));
    ::setenv("HOME", "/home/someone", 1);
    for (const char* ignored : {"relative/path", "", static_cast<const char*>(nullptr)}) {
        ignored ? ::setenv("XDG_DATA_HOME", ignored, 1) : ::unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(FileKeychain::defaultRoot(), fs::path("/home/someone/.local/share/quillmate/keychain"));
    }
}

TEST(FakeKeychain, InjectsStatusesAndRecordsCalls) {
    auto items = std::make_shared<InMemoryKeychain>();
    FakeKeychain fake(items);
    using Op = FakeKeychain::Operation;
    fake.failWith(Op::add, -25308);
    EXPECT_EQ(fake.add("svc", "a", toBytes("x")), -25308);
    EXPECT_EQ(items->copy("svc", "a").status, kNotFound) << "an injected failure changes nothing";
    fake.clear(Op::add);
    EXPECT_EQ(fake.add("svc", "a", toBytes("x")), 0);
    fake.answerWithoutData(Op::copy);
    const auto copied = fake.copy("svc", "a");
    EXPECT_EQ(copied.status, 0);
    EXPECT_FALSE(copied.value);
    EXPECT_EQ(fake.count(Op::add), 2u);
    fake.failWith(Op::remove, -5, 1);
    EXPECT_EQ(fake.remove("svc", "a"), -5);
    EXPECT_EQ(fake.remove("svc", "a"), 0) << "a counted injection runs out";
    EXPECT_EQ(fake.calls().back(), (FakeKeychain::Call{Op::remove, "svc", "a"}));
    fake.failWith(Op::update, -5, 0);
    EXPECT_EQ(fake.update("svc", "a", toBytes("y")), KeychainStatus::itemNotFound) << "zero times is none";
}
