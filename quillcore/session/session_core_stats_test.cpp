#include "quillcore/session/session_core_stats.h"

#include <gtest/gtest.h>

namespace quill::sessionstats {
namespace {

StatsEntry entry(std::string type, std::map<std::string, StatValue> values) { return {std::move(type), std::move(values)}; }

StatsEntry candidate(std::optional<std::string> type, std::string address, const char* key = "address") {
    StatsEntry e{"local-candidate", {{key, address}}};
    if (type) e.values["candidateType"] = *type;
    return e;
}

TEST(SessionStats, ValuesReadEitherWayAndPathsComeFromTheSelectedPair) {
    auto e = entry("x", {{"n", 29.5}, {"s", std::string("29.5")}, {"bad", std::string("29.5 fps")}, {"blank", std::string(" 1")},
                         {"flag", true}, {"mime", std::string("video/")}});
    for (const char* key : {"n", "s"}) EXPECT_EQ(statNumber(e, key), 29.5) << key;
    for (const char* key : {"bad", "blank", "flag", "missing"}) EXPECT_FALSE(statNumber(e, key)) << key;
    EXPECT_EQ(std::make_pair(statString(e, "n"), statString(e, "flag")), std::make_pair(std::optional<std::string>("29.5"), std::optional<std::string>()));
    for (auto [mime, name] : {std::pair<const char*, const char*>{"video/H265", "H265"}, {"H265", "H265"}, {"video/", "video"}})
        EXPECT_EQ(codecName(entry("codec", {{"mimeType", std::string(mime)}})), name);
    EXPECT_FALSE(codecName(entry("codec", {{"mimeType", std::string("/")}})));

    const auto lan = candidate("host", "192.168.1.20");
    const struct {
        StatsEntry local, remote;
        SessionPath path;
    } rows[] = {
        {lan, candidate("host", "192.168.1.30"), SessionPath::lan},
        {candidate("host", "fd00::1"), lan, SessionPath::ipv6},
        {candidate("srflx", "203.0.113.1"), lan, SessionPath::holePunch},
        {candidate("host", "127.0.0.1"), candidate("relay", "203.0.113.9"), SessionPath::relay},
        {candidate("prflx", "127.0.0.1"), lan, SessionPath::loopback},
        {lan, candidate("host", "::1", "ip"), SessionPath::loopback},
        {lan, candidate(std::nullopt, "192.168.1.30"), SessionPath::unknown},
    };
    for (const auto& row : rows) EXPECT_EQ(classifyPath(&row.local, &row.remote), row.path) << rawValue(row.path);
    StatsReport r{0, {{"T", entry("transport", {{"selectedCandidatePairId", std::string("gone")}})},
                      {"P1", entry("candidate-pair", {{"nominated", 1.0}, {"state", std::string("in-progress")}})},
                      {"P2", entry("candidate-pair", {{"nominated", 1.0}, {"state", std::string("succeeded")}})}}};
    EXPECT_EQ(selectedCandidatePair(r), &r.entries["P2"]);  // a dangling selection falls back
    r.entries["T"].values["selectedCandidatePairId"] = std::string("P1");
    EXPECT_EQ(selectedCandidatePair(r), &r.entries["P1"]);
    r.entries.erase("T");
    r.entries["P2"].values["nominated"] = true;  // must be a number
    EXPECT_EQ(selectedCandidatePair(r), nullptr);
}

TEST(SessionStats, RatesComeFromTheDifferenceToThePreviousSampleAndLossIsNeverNegative) {
    auto sample = [](double ms, double bytes, double frames, std::map<std::string, StatValue> video = {}) {
        video.insert({{"kind", std::string("video")}, {"bytesReceived", bytes}, {"framesReceived", frames}, {"codecId", std::string("C")}});
        return StatsReport{ms * 1000, {{"A", entry("inbound-rtp", {{"kind", std::string("audio")}, {"bytesReceived", 1e9}})},
                                       {"V", entry("inbound-rtp", video)}, {"C", entry("codec", {{"mimeType", std::string("video/H264")}})},
                                       {"T", entry("transport", {{"selectedCandidatePairId", std::string("P")}})},
                                       {"P", entry("candidate-pair", {{"localCandidateId", std::string("L")}, {"remoteCandidateId", std::string("L")},
                                                                      {"currentRoundTripTime", 0.002}})},
                                       {"L", candidate("host", "127.0.0.1")}}};
    };
    auto first = condense(sample(1000, 50'000, 10), std::nullopt, "X");
    EXPECT_EQ(first.stats, SessionStats(SessionPath::loopback, 2.0, 0, 0, 0, std::string("H264")));
    auto second = condense(sample(2000, 300'000, 40), first.baseline, "X");
    EXPECT_EQ(std::make_pair(second.stats.bitrateKbps(), second.stats.fps()), std::make_pair(2000.0, 30.0));
    EXPECT_DOUBLE_EQ(condense(sample(2000, 300'001, 41), second.baseline, "X").stats.fps(), 1000);  // over 0.001 s
    auto backwards = condense(sample(3000, 10, 1), second.baseline, "X");
    EXPECT_EQ(std::make_pair(backwards.stats.bitrateKbps(), backwards.stats.fps()), std::make_pair(0.0, 0.0));
    EXPECT_EQ(condense(sample(1000, 0, 0, {{"framesPerSecond", std::string("29.5")}}), std::nullopt, "X").stats.fps(), 29.5);
    for (auto [lost, fraction, loss] : {std::tuple{50.0, 0.02, 0.02}, {5.0, 0.0, 0.05}, {-1.0, 0.0, 0.0}})
        EXPECT_DOUBLE_EQ(condense(sample(0, 0, 0, {{"fractionLost", fraction}, {"packetsLost", lost}, {"packetsReceived", 100.0}}),
                                  std::nullopt, "X").stats.packetLoss(), loss);
    EXPECT_EQ(condense(StatsReport{}, StatsBaseline{1, 100, 100}, "H264").stats,
              SessionStats(SessionPath::unknown, std::nullopt, 0, 0, 0, std::string("H264")));
    EXPECT_EQ(condense(sample(0, 0, 0, {{"codecId", std::string("missing")}}), std::nullopt, "fallback").stats.codec(), "fallback");
    // "kind" present but not video: the entry is passed over without reading "mediaType".
    StatsReport k{0, {{"V", entry("outbound-rtp", {{"kind", std::string("audio")}, {"mediaType", std::string("video")}, {"bytesSent", 10.0}})},
                      {"W", entry("outbound-rtp", {{"kind", true}, {"mediaType", std::string("video")}, {"bytesSent", 20.0}})}}};
    EXPECT_EQ(condense(k, std::nullopt, "X").baseline.bytes, 20);
}

}  // namespace
}  // namespace quill::sessionstats
