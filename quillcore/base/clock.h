#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

namespace quill {

using SteadyClock = std::chrono::steady_clock;
using SystemTime = std::chrono::system_clock::time_point;

// Wall time for envelope time stamps and record dates; injectable for tests.
class WallClock {
public:
    virtual ~WallClock() = default;
    virtual SystemTime now() const = 0;
    // The process-wide system clock.
    static std::shared_ptr<WallClock> system();
};

// A wall clock that only moves when told to.
class ManualWallClock : public WallClock {
public:
    explicit ManualWallClock(SystemTime start) : now_(start) {}
    SystemTime now() const override;
    void set(SystemTime t);
    void advance(std::chrono::nanoseconds by);

private:
    mutable std::mutex mutex_;
    SystemTime now_;
};

// Seconds since 2001-01-01 00:00:00 UTC, the stored form of record dates.
constexpr double kSecondsFrom1970To2001 = 978307200.0;
double secondsSince2001(SystemTime t);
// NaN gives the reference date; values past the clock's range give its first or last instant.
SystemTime fromSecondsSince2001(double seconds);

// Integer milliseconds since 1970, rounded half away from zero (-0.5 ms gives -1).
std::int64_t unixMillisRounded(SystemTime t);

// A timeout given as double seconds: NaN or <= 0 means "now"; 1e9 s or more (or infinite) means
// "no limit" (nullopt).
std::optional<SteadyClock::duration> sanitizeTimeout(double seconds);

// A point on the monotonic clock, or never.
class Deadline {
public:
    static Deadline after(double seconds);
    static Deadline never() { return Deadline(std::nullopt); }
    bool isNever() const { return !at_; }
    bool expired() const { return at_ && SteadyClock::now() >= *at_; }
    // Time left, zero when passed; nullopt when never.
    std::optional<SteadyClock::duration> remaining() const;
    std::optional<SteadyClock::time_point> at() const { return at_; }

private:
    explicit Deadline(std::optional<SteadyClock::time_point> at) : at_(at) {}
    std::optional<SteadyClock::time_point> at_;
};

}  // namespace quill
