#include "quillcore/transport/admission_rule.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <tuple>

namespace quill {

namespace {

std::size_t hashOf(std::string_view host) { return std::hash<std::string_view>{}(host); }

// Higher gives way first.
int shownLess(Standing s) { return static_cast<int>(Standing::answered) - static_cast<int>(s); }

// Higher holds more memory, longer. Under 16 KiB, one class.
int claimClass(std::uint32_t claim) { return std::max(static_cast<int>(std::bit_width(claim)), 14); }

// Higher shows more: bytes a second since its first bytes, by powers of two.
int paceClass(const PartialFrame& f, SteadyClock::duration since) {
    const double seconds = std::chrono::duration<double>(since).count();
    return std::ilogb(std::max(static_cast<double>(f.received), 1.0) / seconds);
}

}  // namespace

AdmissionRule::PlaceOrder AdmissionRule::placeOrder(const PartialFrame& frame) {
    return {-claimClass(frame.claim), frame.began, -frame.offended};
}

std::optional<std::size_t> AdmissionRule::partialToFree(std::span<const PartialFrame> frames, SteadyClock::time_point now) {
    // Higher gives way first.
    const auto rank = [now](const PartialFrame& f) {
        const auto since = now - f.began;
        const bool past = since >= kHold;
        const int pace = past ? paceClass(f, since) : 0;
        return std::tuple{claimClass(f.claim), past, -pace, f.offended, f.began};
    };
    std::optional<std::size_t> chosen;
    decltype(rank(frames[0])) chosenRank;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].held == 0) continue;
        if (const auto r = rank(frames[i]); !chosen || r > chosenRank) {
            chosen = i;
            chosenRank = r;
        }
    }
    return chosen;
}

AdmissionRule::AdmissionRule(std::shared_ptr<OffenceRecord> offences)
    : offences_(offences ? std::move(offences) : std::make_shared<OffenceRecord>()) {}

std::optional<std::size_t> AdmissionRule::placeToFree(std::span<const Place> places, const Place& newcomer,
                                                      SteadyClock::time_point now) {
    byHost_.clear();
    for (std::size_t i = 0; i < places.size(); ++i) byHost_.push_back({{hashOf(places[i].host), places[i].host}, i});
    std::sort(byHost_.begin(), byHost_.end());
    const std::pair own{hashOf(newcomer.host), newcomer.host};
    std::size_t ownCount = 0;
    std::optional<std::size_t> chosen;
    std::tuple<int, double, std::size_t, SteadyClock::duration> chosenRank;
    for (std::size_t from = 0; from < byHost_.size();) {
        const auto address = byHost_[from].first;
        std::size_t to = from;
        while (to < byHost_.size() && byHost_[to].first == address) ++to;
        const std::size_t count = to - from;
        if (address == own) ownCount = count;
        const double weight = offences_->weight(address.second, now);
        for (; from < to; ++from) {
            const Place& p = places[byHost_[from].second];
            const std::tuple rank{shownLess(p.standing), weight, count, now - p.since};
            if (!chosen || rank > chosenRank) {
                chosen = byHost_[from].second;
                chosenRank = rank;
            }
        }
    }
    if (!chosen) return std::nullopt;
    const std::tuple ownRank{shownLess(newcomer.standing), offences_->weight(newcomer.host, now), ownCount + 1};
    const std::tuple placeRank{std::get<0>(chosenRank), std::get<1>(chosenRank), std::get<2>(chosenRank)};
    if (ownRank > placeRank) return std::nullopt;
    return chosen;
}

}  // namespace quill
