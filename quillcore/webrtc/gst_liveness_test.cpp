#include "quillcore/webrtc/gst_liveness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace quill::gst {
namespace {

using Ice = IceConnectionState;

// A packet every `gap` seconds over [from, to).
std::vector<double> every(double gap, double from, double to) {
    std::vector<double> out;
    for (double t = from; t < to; t += gap) out.push_back(t);
    return out;
}

// RFC 3550's timing for a member that only receives: the first report after half the 5 s
// minimum, each next one 0.5x to 1.5x of it later.
std::vector<double> rfc3550(double to, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> factor(0.5, 1.5);
    std::vector<double> out;
    for (double t = 2.5 * factor(random); t < to; t += 5.0 * factor(random)) out.push_back(t);
    return out;
}

std::vector<double> joined(std::vector<double> a, const std::vector<double>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Report {
    Ice state;
    double from, to;  // seconds
};

struct Row {
    std::string name;
    std::vector<double> packets;                   // seconds
    std::vector<std::pair<double, Ice>> ice;       // ICE's own changes
    double until;                                  // seconds simulated
    std::vector<Report> expected;                  // what the ticks report, in order
    double tickPhase = 0.25;                       // the first tick, after ICE came up
};

// Runs a row on a simulated clock: packets, ICE changes and ticks (every kPeriod once ICE was
// first up) in time order, ticks last at equal times. Returns each report with its time.
std::vector<std::pair<double, Ice>> simulate(const Row& row) {
    std::int64_t nowNs = 0;
    Liveness liveness(Liveness::kRtcpInterval, [&nowNs] { return nowNs; });
    auto ns = [](double s) { return static_cast<std::int64_t>(std::llround(s * 1e9)); };
    const std::int64_t period = std::chrono::nanoseconds(Liveness::kPeriod).count();
    std::vector<std::pair<double, Ice>> reports;
    std::size_t packet = 0, change = 0;
    std::optional<std::int64_t> nextTick;
    int starts = 0;
    for (;;) {
        const std::int64_t packetAt = packet < row.packets.size() ? ns(row.packets[packet]) : INT64_MAX;
        const std::int64_t changeAt = change < row.ice.size() ? ns(row.ice[change].first) : INT64_MAX;
        const std::int64_t tickAt = nextTick.value_or(INT64_MAX);
        const std::int64_t at = std::min({packetAt, changeAt, tickAt});
        if (at > ns(row.until)) break;
        nowNs = at;
        if (at == changeAt) {
            if (liveness.iceChanged(row.ice[change++].second)) {
                ++starts;
                nextTick = at + ns(row.tickPhase);
            }
        } else if (at == packetAt) {
            ++packet;
            liveness.trafficSeen();
        } else {
            if (auto report = liveness.tick()) reports.emplace_back(static_cast<double>(at) / 1e9, *report);
            nextTick = at + period;
        }
    }
    EXPECT_LE(starts, 1) << "the ticks start once";
    return reports;
}

const std::vector<std::pair<double, Ice>> kUp{{0, Ice::connected}};

TEST(Liveness, APeerThatKeepsToRtcpTimingIsNeverDisconnectedAndAGoneOneIs) {
    const Row rows[] = {
        // A controller that only receives sends nothing but RTCP.
        {"our own peers' RTCP, 0.5 s apart, 10 minutes", every(0.5, 0.1, 600), kUp, 600, {}},
        {"RTCP 5 s apart, 10 minutes", every(5, 2.5, 600), kUp, 600, {}},
        {"RTCP 7.5 s apart, the most RFC 3550 allows, 10 minutes", every(7.5, 3.75, 600), kUp, 600, {}, 0.01},
        {"RFC 3550's randomised 5 s, an hour", rfc3550(3600, 1), kUp, 3600, {}, 0.13},
        {"RFC 3550's randomised 5 s, another hour", rfc3550(3600, 2), kUp, 3600, {}, 0.07},
        // The limit at the tick's resolution: a tick lands just before the next packet.
        {"silent 8.45 s", joined(every(0.5, 0, 10.1), every(0.5, 18.45, 30)), kUp, 30, {}, 0.19},
        {"silent 8.6 s: disconnected, then the ICE state again at the next tick",
         joined(every(0.5, 0, 10.1), every(0.5, 18.6, 30)), kUp, 30,
         {{Ice::disconnected, 18.55, 18.55}, {Ice::connected, 18.8, 18.8}}, 0.05},
        // Reported within the limit and a tick; back within a tick.
        {"gone for good", every(0.5, 0, 10.1), kUp, 120, {{Ice::disconnected, 18.5, 18.75}}},
        {"gone, then back: the ICE state it had", joined(every(0.5, 0, 10.1), every(0.5, 25, 40)),
         {{0, Ice::connected}, {1, Ice::completed}}, 40,
         {{Ice::disconnected, 18.5, 18.75}, {Ice::completed, 25, 25.25}}},
        // While ICE is not up, ICE's own state is what the session sees.
        {"not up yet: nothing", {}, {{0, Ice::checking}}, 60, {}},
        {"up late: the silence counts from then", {}, {{0, Ice::checking}, {30, Ice::connected}}, 60,
         {{Ice::disconnected, 38.5, 38.75}}},
        {"ICE down while silent, up again with traffic", joined(every(0.5, 0, 5.1), every(0.5, 30.1, 60)),
         {{0, Ice::connected}, {7, Ice::disconnected}, {30, Ice::connected}}, 60, {}},
        {"ICE back up after a long outage, the peer still silent", every(0.5, 0, 5.1),
         {{0, Ice::connected}, {7, Ice::disconnected}, {30, Ice::connected}}, 60,
         {{Ice::disconnected, 38.5, 38.75}}},
        {"silence reported, then ICE goes down and comes back with traffic",
         joined(every(0.5, 0, 10.1), every(0.5, 22.5, 60)),
         {{0, Ice::connected}, {20, Ice::disconnected}, {22, Ice::connected}}, 60,
         {{Ice::disconnected, 18.5, 18.75}}},
        {"ICE failed: nothing more", every(0.5, 0, 5.1), {{0, Ice::connected}, {6, Ice::failed}}, 60, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto reports = simulate(row);
        if (reports.size() != row.expected.size()) {
            std::string seen;
            for (const auto& [at, state] : reports) seen += " " + std::to_string(static_cast<int>(state)) + "@" + std::to_string(at);
            ADD_FAILURE() << row.expected.size() << " reports expected, seen:" << seen;
            continue;
        }
        for (std::size_t i = 0; i < reports.size(); ++i) {
            EXPECT_EQ(reports[i].second, row.expected[i].state) << i;
            EXPECT_GE(reports[i].first, row.expected[i].from - 1e-6) << i;
            EXPECT_LE(reports[i].first, row.expected[i].to + 1e-6) << i;
        }
    }
}

}  // namespace
}  // namespace quill::gst
