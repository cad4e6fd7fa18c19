#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "quillcore/identity/device_identity.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"

using namespace quill;
using quill::testing::readFile;
using quill::testing::TempFolder;
using quill::testing::writeFile;
namespace fs = std::filesystem;

extern char** environ;

namespace {

struct Probe {
    pid_t pid = -1;
    int out = -1;
};

Probe startProbe(const fs::path& root, const char* mode = nullptr) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    std::string probe = QUILL_IDENTITY_PROBE;
    std::string rootText = root.string();
    std::vector<char*> argv{probe.data(), rootText.data()};
    std::string modeText = mode ? mode : "";
    if (mode) argv.push_back(modeText.data());
    argv.push_back(nullptr);
    Probe p;
    int rc = ::posix_spawn(&p.pid, probe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) throw std::runtime_error("spawn failed");
    p.out = pipeFds[0];
    return p;
}

std::string readLine(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
}

struct Outcome {
    int exitCode;
    std::string output;
};

Outcome runProbe(const fs::path& root) {
    Probe p = startProbe(root);
    std::string output = readLine(p.out);
    ::close(p.out);
    int status = 0;
    ::waitpid(p.pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

fs::path identityItem(const fs::path& root) {
    return root / keychainItemName(KeychainKeyStore::defaultService) / keychainItemName("device-identity");
}

KeychainKeyStore storeAt(const fs::path& root) {
    return KeychainKeyStore(std::make_shared<FileKeychain>(root), std::string(KeychainKeyStore::defaultService),
                            "device-identity");
}

}  // namespace

TEST(IdentityAcrossProcesses, FirstRunIdentityIsTheSameInTheNextProcess) {
    TempFolder folder;
    const fs::path root = folder.path() / "quillmate" / "keychain";
    Outcome first = runProbe(root);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    Outcome second = runProbe(root);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.output, first.output);

    // And in this process, through its own store: a ten-digit device ID that reads back when typed.
    KeychainKeyStore store = storeAt(root);
    DeviceIdentity here = DeviceIdentity::loadOrCreate(store);
    EXPECT_EQ(hexString(here.fingerprint()) + " " + here.deviceID().digits, first.output);
    EXPECT_EQ(here.deviceID().digits.size(), 10u);
    EXPECT_EQ(DeviceID::fromTyped(here.deviceID().formatted()), here.deviceID());
}

TEST(IdentityAcrossProcesses, DamagedIdentityIsReportedAndNeverReplaced) {
    TempFolder folder;
    const fs::path root = folder.path();
    const std::string goodOutput = runProbe(root).output;
    ASSERT_EQ(goodOutput.size(), 64u + 1 + 10) << goodOutput;
    const std::string good = readFile(identityItem(root));

    for (const std::string& damaged : {good.substr(0, good.size() / 2), std::string(), std::string("\x00\x01", 2),
                                       good.substr(0, good.size() - 1)}) {
        writeFile(identityItem(root), damaged);
        for (int run = 0; run < 2; ++run) {
            Outcome outcome = runProbe(root);
            EXPECT_EQ(outcome.exitCode, 2) << outcome.output;
            EXPECT_EQ(outcome.output, "KeyStoreError: " + KeyStoreError::invalidData().description());
            EXPECT_EQ(readFile(identityItem(root)), damaged) << "the damaged item must stay for repair";
        }
    }

    // Keys that decode but have the wrong length fail as keys, and stay too.
    const std::string shortKey =
        R"({"signingPrivateKey":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==","agreementPrivateKey":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="})";
    writeFile(identityItem(root), shortKey);
    Outcome outcome = runProbe(root);
    EXPECT_EQ(outcome.exitCode, 3) << outcome.output;
    EXPECT_EQ(readFile(identityItem(root)), shortKey);

    // Put back, the same device returns.
    writeFile(identityItem(root), good);
    EXPECT_EQ(runProbe(root).output, goodOutput);
}

TEST(IdentityAcrossProcesses, KilledWriterNeverLeavesATornItem) {
    TempFolder folder;
    const fs::path root = folder.path();
    const StoredIdentityKeys a(Bytes(32, 0xAA), Bytes(32, 0xBB));
    const StoredIdentityKeys b(Bytes(32, 0xCC), Bytes(32, 0xDD));
    for (int round = 0; round < 6; ++round) {
        Probe writer = startProbe(root, "churn");
        ASSERT_EQ(readLine(writer.out), "churning");
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 15 * round));
        ::kill(writer.pid, SIGKILL);
        ::waitpid(writer.pid, nullptr, 0);
        ::close(writer.out);

        KeychainKeyStore store = storeAt(root);
        std::optional<StoredIdentityKeys> loaded;
        ASSERT_NO_THROW(loaded = store.load()) << "round " << round;
        if (round > 0 || loaded) {
            ASSERT_TRUE(loaded);
            EXPECT_TRUE(*loaded == a || *loaded == b);
        }
    }
}
