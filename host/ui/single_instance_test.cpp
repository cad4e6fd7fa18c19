// The per-user lock that keeps a second copy of the host from starting, checked across real
// processes: this test binary runs itself as the other copy.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "host/ui/single_instance.h"

extern char** environ;

using quill::host::ui::SingleInstanceLock;
using Outcome = SingleInstanceLock::Outcome;

namespace {

// Exit codes of `--try PATH`.
constexpr int kAcquired = 10;
constexpr int kHeld = 11;
constexpr int kUnavailable = 12;

int exitCodeFor(Outcome outcome) {
    switch (outcome) {
        case Outcome::acquired: return kAcquired;
        case Outcome::heldElsewhere: return kHeld;
        case Outcome::unavailable: return kUnavailable;
    }
    return 1;
}

// A child process of this binary; `mode` is "--try", "--hold" or "--idle".
struct Child {
    pid_t pid = -1;
    int input = -1;   // closing it ends --hold and --idle
    int output = -1;  // --hold writes one byte once it has its outcome

    Child(const char* mode, const std::string& path) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string self = std::filesystem::read_symlink("/proc/self/exe");
        std::vector<char*> argv{self.data(), const_cast<char*>(mode), const_cast<char*>(path.c_str()), nullptr};
        if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        output = out[0];
    }
    ~Child() {
        if (input >= 0) ::close(input);
        if (output >= 0) ::close(output);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // The outcome a --hold child reports.
    int reported() {
        char byte = 0;
        return ::read(output, &byte, 1) == 1 ? byte : -1;
    }
    int wait() {
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

int tryInAnotherProcess(const std::string& path) {
    Child child("--try", path);
    return child.pid > 0 ? child.wait() : -1;
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

    std::string folder;
    std::string path;
};

}  // namespace

TEST_F(SingleInstance, ASecondProcessIsRefusedWhileTheFirstHoldsTheLock) {
    {
        SingleInstanceLock first = SingleInstanceLock::acquire(path);
        ASSERT_EQ(first.outcome(), Outcome::acquired) << first.problem();
        EXPECT_EQ(tryInAnotherProcess(path), kHeld);
        // A second open within the same process is refused too.
        EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::heldElsewhere);
        // Moving the lock keeps it held.
        SingleInstanceLock moved = std::move(first);
        EXPECT_EQ(tryInAnotherProcess(path), kHeld);
    }
    EXPECT_EQ(tryInAnotherProcess(path), kAcquired);
}

TEST_F(SingleInstance, TheLockIsFreeOnceTheHolderIsGoneEvenWhenItWasKilled) {
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "ended");
        Child holder("--hold", path);
        ASSERT_GT(holder.pid, 0);
        ASSERT_EQ(holder.reported(), kAcquired);
        EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::heldElsewhere);
        if (killed) {
            ::kill(holder.pid, SIGKILL);
        } else {
            ::close(holder.input);
            holder.input = -1;
        }
        holder.wait();
        EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::acquired);
    }
}

TEST_F(SingleInstance, AProgramTheHostStartsDoesNotKeepTheLock) {
    auto first = std::make_unique<SingleInstanceLock>(SingleInstanceLock::acquire(path));
    ASSERT_EQ(first->outcome(), Outcome::acquired);
    // Started while the lock is held, and still running after the host let go of it.
    Child started("--idle", path);
    ASSERT_GT(started.pid, 0);
    first.reset();
    EXPECT_EQ(tryInAnotherProcess(path), kAcquired);
}

TEST_F(SingleInstance, TheLockLivesInTheRuntimeFolderElseInTheDataFolder) {
    const char* saved[] = {std::getenv("XDG_RUNTIME_DIR"), std::getenv("XDG_DATA_HOME")};
    const std::string savedValues[] = {saved[0] ? saved[0] : "", saved[1] ? saved[1] : ""};

    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    EXPECT_EQ(SingleInstanceLock::defaultPath(), folder + "/quillmate-host.lock");
    // A runtime folder that is missing or not absolute is not used; the data folder is made.
    ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
    for (const std::string& runtime : {folder + "/missing", std::string("relative"), std::string()}) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const std::string fallback = SingleInstanceLock::defaultPath();
        EXPECT_EQ(fallback, folder + "/data/Quillmate Host/quillmate-host.lock") << runtime;
        EXPECT_EQ(SingleInstanceLock::acquire(fallback).outcome(), Outcome::acquired) << runtime;
    }
    // A lock file that cannot be made is reported, not mistaken for another copy.
    SingleInstanceLock broken = SingleInstanceLock::acquire(folder + "/missing/quillmate-host.lock");
    EXPECT_EQ(broken.outcome(), Outcome::unavailable);
    EXPECT_NE(broken.problem().find("No such file or directory"), std::string::npos) << broken.problem();

    for (int i = 0; i < 2; ++i) {
        const char* name = i == 0 ? "XDG_RUNTIME_DIR" : "XDG_DATA_HOME";
        if (saved[i])
            ::setenv(name, savedValues[i].c_str(), 1);
        else
            ::unsetenv(name);
    }
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--try")
        return exitCodeFor(SingleInstanceLock::acquire(argv[2]).outcome());
    if (argc == 3 && (std::string(argv[1]) == "--hold" || std::string(argv[1]) == "--idle")) {
        std::optional<SingleInstanceLock> lock;
        if (std::string(argv[1]) == "--hold") {
            lock.emplace(SingleInstanceLock::acquire(argv[2]));
            const char byte = static_cast<char>(exitCodeFor(lock->outcome()));
            if (::write(1, &byte, 1) != 1) return 1;
        }
        char ignored;
        while (::read(0, &ignored, 1) > 0) {
        }
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
