#include "quillcore/transport/offence_record.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quill {

namespace {
// Counts under 1/16 are forgotten: four half-lives after a single offence.
constexpr double kForgotten = -4.0;
}  // namespace

OffenceRecord::OffenceRecord(std::size_t capacity, double halfLife)
    : capacity_(std::max<std::size_t>(1, capacity)), halfLife_(halfLife > 0 ? halfLife : defaultHalfLife) {}

double OffenceRecord::at(SteadyClock::time_point now) const {
    return std::chrono::duration<double>(now - origin_).count() / halfLife_;
}

void OffenceRecord::note(std::string_view host, SteadyClock::time_point now) {
    const double x = at(now);
    std::lock_guard lock(mutex_);
    auto it = entries_.find(host);
    if (it == entries_.end()) {
        if (entries_.size() >= capacity_) {
            entries_.erase(recent_.back());
            recent_.pop_back();
        }
        recent_.emplace_front(host);
        entries_.emplace(recent_.front(), Entry{x, recent_.begin()});
        return;
    }
    Entry& entry = it->second;
    if (entry.level - x < kForgotten) {
        entry.level = x;
    } else {
        const double high = std::max(entry.level, x), low = std::min(entry.level, x);
        entry.level = high + std::log2(1.0 + std::exp2(low - high));
    }
    recent_.splice(recent_.begin(), recent_, entry.recent);
}

double OffenceRecord::weight(std::string_view host, SteadyClock::time_point now) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(host);
    if (it == entries_.end()) return -std::numeric_limits<double>::infinity();
    const double weight = it->second.level - at(now);
    return weight < kForgotten ? -std::numeric_limits<double>::infinity() : weight;
}

}  // namespace quill
