#include "host/ui/single_instance.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace quill::host::ui {

namespace {

constexpr const char* kFileName = "quillmate-host.lock";

// An environment folder counts only when it is an absolute path, as the XDG rules say.
std::string absoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? std::string(value) : std::string();
}

}  // namespace

std::string SingleInstanceLock::defaultPath() {
    const std::string runtime = absoluteEnv("XDG_RUNTIME_DIR");
    struct stat info = {};
    if (!runtime.empty() && ::stat(runtime.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return runtime + "/" + kFileName;
    std::string data = absoluteEnv("XDG_DATA_HOME");
    if (data.empty()) {
        const char* home = std::getenv("HOME");
        data = std::string(home ? home : "") + "/.local/share";
    }
    const std::string folder = data + "/Quillmate Host";
    std::error_code ignored;
    // A folder that cannot be made shows up as the open failure in acquire().
    std::filesystem::create_directories(folder, ignored);
    return folder + "/" + kFileName;
}

SingleInstanceLock SingleInstanceLock::acquire(const std::string& path) {
    // Close-on-exec: a program this process starts must not keep the lock after it exits.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return {Outcome::unavailable, -1, "cannot open " + path + ": " + std::strerror(errno)};
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return {Outcome::acquired, fd, {}};
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return {Outcome::heldElsewhere, -1, {}};
    return {Outcome::unavailable, -1, "cannot lock " + path + ": " + std::strerror(error)};
}

SingleInstanceLock::SingleInstanceLock(SingleInstanceLock&& other) noexcept
    : outcome_(other.outcome_), fd_(std::exchange(other.fd_, -1)), problem_(std::move(other.problem_)) {}

SingleInstanceLock& SingleInstanceLock::operator=(SingleInstanceLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        outcome_ = other.outcome_;
        fd_ = std::exchange(other.fd_, -1);
        problem_ = std::move(other.problem_);
    }
    return *this;
}

SingleInstanceLock::~SingleInstanceLock() {
    // Closing the only descriptor releases the lock; the file stays for the next start.
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace quill::host::ui
