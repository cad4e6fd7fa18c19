#include "quillcore/base/clock.h"

#include <algorithm>
#include <cmath>

namespace quill {

namespace {
class SystemWallClock final : public WallClock {
public:
    SystemTime now() const override { return std::chrono::system_clock::now(); }
};
}  // namespace

std::shared_ptr<WallClock> WallClock::system() {
    static auto clock = std::make_shared<SystemWallClock>();
    return clock;
}

SystemTime ManualWallClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualWallClock::set(SystemTime t) {
    std::lock_guard lock(mutex_);
    now_ = t;
}

void ManualWallClock::advance(std::chrono::nanoseconds by) {
    std::lock_guard lock(mutex_);
    now_ += std::chrono::duration_cast<SystemTime::duration>(by);
}

double secondsSince2001(SystemTime t) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    // Subtract in integers first so the epoch shift loses no precision.
    std::int64_t shifted = ns - static_cast<std::int64_t>(kSecondsFrom1970To2001) * 1'000'000'000LL;
    return static_cast<double>(shifted) / 1e9;
}

SystemTime fromSecondsSince2001(double seconds) {
    // Stored dates come from files and peers: a NaN is the reference date, and a value beyond the
    // clock's range (about 292 years either side of 1970) is held at its end rather than
    // converted with undefined results.
    if (std::isnan(seconds)) seconds = 0;
    constexpr double limit = 9.2e9;
    double unix = std::clamp(seconds + kSecondsFrom1970To2001, -limit, limit);
    auto d = std::chrono::duration<double>(unix);
    return SystemTime(std::chrono::duration_cast<SystemTime::duration>(d));
}

std::int64_t unixMillisRounded(SystemTime t) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    // Half away from zero in integers: 1700000000.0005 s -> ...001, -0.0005 s -> -1.
    std::int64_t q = ns / 1'000'000;
    std::int64_t r = ns % 1'000'000;
    if (r >= 500'000) ++q;
    else if (r <= -500'000) --q;
    return q;
}

std::optional<SteadyClock::duration> sanitizeTimeout(double seconds) {
    if (std::isnan(seconds) || seconds <= 0) return SteadyClock::duration::zero();
    if (seconds >= 1e9) return std::nullopt;
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

Deadline Deadline::after(double seconds) {
    auto d = sanitizeTimeout(seconds);
    if (!d) return never();
    return Deadline(SteadyClock::now() + *d);
}

std::optional<SteadyClock::duration> Deadline::remaining() const {
    if (!at_) return std::nullopt;
    auto left = *at_ - SteadyClock::now();
    return left > SteadyClock::duration::zero() ? left : SteadyClock::duration::zero();
}

}  // namespace quill
