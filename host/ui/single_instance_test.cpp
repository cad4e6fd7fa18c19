// The per-user lock that keeps a second copy of the host from starting, across real processes.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>

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

void stop(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

TEST(SingleInstance, ASecondCopyIsRefusedWhileTheFirstLivesAndNoLongerWhereverTheLockIs) {
    char pattern[] = "/tmp/quill-instance-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string folder = pattern, path = folder + "/quillmate-host.lock";
    pid_t program = -1;
    {
        SingleInstanceLock first = SingleInstanceLock::acquire(path);
        ASSERT_EQ(first.outcome(), Outcome::acquired) << first.problem();
        EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::heldElsewhere);
        SingleInstanceLock moved = std::move(first);
        EXPECT_EQ(inAnotherProcess(path), Outcome::heldElsewhere);
        // A program the host starts runs on after the host let go, without the lock.
        char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
        ASSERT_EQ(::posix_spawnp(&program, "sleep", nullptr, nullptr, argv, environ), 0);
    }
    EXPECT_EQ(inAnotherProcess(path), Outcome::acquired);
    stop(program);
    // A holder killed without a word frees it too.
    int held[2];
    ASSERT_EQ(::pipe(held), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        SingleInstanceLock lock = SingleInstanceLock::acquire(path);
        for (const char byte = char(lock.outcome()); ::write(held[1], &byte, 1) == 1;) ::pause();
    }
    char outcome = -1;
    EXPECT_TRUE(::read(held[0], &outcome, 1) == 1 && outcome == char(Outcome::acquired));
    EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::heldElsewhere);
    stop(holder);
    EXPECT_EQ(SingleInstanceLock::acquire(path).outcome(), Outcome::acquired);

    // In the runtime folder; without a usable one (missing, not absolute), in the data folder, made.
    // The process's own folders come back afterwards: a repetition or a later test reads them.
    struct Restore {
        std::string name;
        std::optional<std::string> was;
        explicit Restore(std::string n) : name(std::move(n)) {
            if (const char* v = ::getenv(name.c_str())) was = v;
        }
        ~Restore() { was ? ::setenv(name.c_str(), was->c_str(), 1) : ::unsetenv(name.c_str()); }
    } dataHome("XDG_DATA_HOME"), runtimeDir("XDG_RUNTIME_DIR");
    ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
    for (const std::string& runtime : {folder, folder + "/missing", std::string("relative"), std::string()}) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        EXPECT_EQ(SingleInstanceLock::defaultPath(), runtime == folder ? path : folder + "/data/Quillmate Host/quillmate-host.lock");
        EXPECT_NE(SingleInstanceLock::acquire(SingleInstanceLock::defaultPath()).outcome(), Outcome::unavailable) << runtime;
    }
    // A lock file that cannot be made is reported, not mistaken for another copy.
    SingleInstanceLock broken = SingleInstanceLock::acquire(folder + "/missing/quillmate-host.lock");
    EXPECT_EQ(broken.outcome(), Outcome::unavailable);
    EXPECT_NE(broken.problem().find("No such file or directory"), std::string::npos) << broken.problem();
    std::filesystem::remove_all(folder);
}
