// The per-user lock that keeps a second copy of the host from starting, across real processes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "host/ui/single_instance.h"

extern char** environ;

using quill::host::ui::SingleInstanceLock;
using Outcome = SingleInstanceLock::Outcome;

namespace {

// What acquire() finds in another process.
Outcome inAnotherProcess(const std::string& path) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(static_cast<int>(SingleInstanceLock::acquire(path).outcome()));
    int status = 0;
    ::waitpid(pid, &status, 0);
    return static_cast<Outcome>(WEXITSTATUS(status));
}

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quill-instance-XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        folder = pattern;
        path = folder + "/quillmate-host.lock";
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::string folder, path;
};

}  // namespace

TEST_F(SingleInstance, ASecondCopyIsRefusedWhileTheFirstLivesAndNoLonger) {
    pid_t program = -1;
    {
        SingleInstanceLock first = SingleInstanceLock::acquire(path);
        ASSERT_EQ(first.outcome(), Outcome::acquired) << first.problem();
        EXPECT_EQ(inAnotherProcess(path), Outcome::heldElsewhere);
        EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::heldElsewhere);
        SingleInstanceLock moved = std::move(first);
        EXPECT_EQ(inAnotherProcess(path), Outcome::heldElsewhere);
        // A program the host starts keeps running after the host let go, without the lock.
        char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
        ASSERT_EQ(::posix_spawnp(&program, "sleep", nullptr, nullptr, argv, environ), 0);
    }
    EXPECT_EQ(inAnotherProcess(path), Outcome::acquired);
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);

    // A holder killed without a word frees it too.
    const pid_t holder = ::fork();
    if (holder == 0) {
        SingleInstanceLock lock = SingleInstanceLock::acquire(path);
        for (;;) ::pause();
    }
    for (int i = 0; i < 500 && inAnotherProcess(path) != Outcome::heldElsewhere; ++i) ::usleep(10'000);
    EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::heldElsewhere);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::acquired);
}

TEST_F(SingleInstance, TheLockLivesInTheRuntimeFolderElseInTheDataFolder) {
    auto get = [](const char* name) { return std::string(std::getenv(name) ? std::getenv(name) : ""); };
    const std::string saved[] = {get("XDG_RUNTIME_DIR"), get("XDG_DATA_HOME")};
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    EXPECT_EQ(SingleInstanceLock::defaultPath(), path);
    // A runtime folder that is missing or not absolute is not used; the data folder is made.
    ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
    for (const std::string& runtime : {folder + "/missing", std::string("relative"), std::string()}) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        EXPECT_EQ(SingleInstanceLock::defaultPath(), folder + "/data/Quillmate Host/quillmate-host.lock") << runtime;
        EXPECT_EQ(SingleInstanceLock::acquire(SingleInstanceLock::defaultPath()).outcome(), Outcome::acquired);
    }
    // A lock file that cannot be made is reported, not mistaken for another copy.
    SingleInstanceLock broken = SingleInstanceLock::acquire(folder + "/missing/quillmate-host.lock");
    EXPECT_EQ(broken.outcome(), Outcome::unavailable);
    EXPECT_NE(broken.problem().find("No such file or directory"), std::string::npos) << broken.problem();
    ::setenv("XDG_RUNTIME_DIR", saved[0].c_str(), 1);
    ::setenv("XDG_DATA_HOME", saved[1].c_str(), 1);
}
