#pragma once

// One running copy of the host per user. A second copy would advertise the same identity,
// admit sessions of its own beside the first one's and overwrite the shared activity log.

#include <string>
#include <utility>

namespace quill::host::ui {

class SingleInstanceLock {
public:
    enum class Outcome {
        acquired,      // this process is the one copy
        heldElsewhere, // another process holds the lock
        unavailable,   // the lock file could not be opened or locked (see problem())
    };

    // Takes the lock on the file at `path` without waiting; the lock lasts as long as the
    // returned object (and never longer than the process).
    static SingleInstanceLock acquire(const std::string& path);

    // $XDG_RUNTIME_DIR/quillmate-host.lock; without a usable runtime folder, the same name in
    // the data folder ($XDG_DATA_HOME/Quillmate Host), which is created if missing.
    static std::string defaultPath();

    SingleInstanceLock(SingleInstanceLock&& other) noexcept;
    SingleInstanceLock& operator=(SingleInstanceLock&& other) noexcept;
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;
    ~SingleInstanceLock();

    Outcome outcome() const { return outcome_; }
    const std::string& problem() const { return problem_; }

private:
    SingleInstanceLock(Outcome outcome, int fd, std::string problem)
        : outcome_(outcome), fd_(fd), problem_(std::move(problem)) {}

    Outcome outcome_;
    int fd_;
    std::string problem_;
};

}  // namespace quill::host::ui
