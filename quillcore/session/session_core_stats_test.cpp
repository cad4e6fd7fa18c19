#include "quillcore/session/session_core_stats.h"

#include <gtest/gtest.h>

namespace quill::sessionstats {
namespace {

StatsEntry entry(std::string type, std::map<std::string, StatValue> values) {
    return StatsEntry{std::move(type), std::move(values)};
}

StatsEntry candidate(std::optional<std::string> type, std::string address) {
    StatsEntry e{"local-candidate", {{"address", address}}};
    if (type) e.values["candidateType"] = *type;
    return e;
}

TEST(SessionStatsValues, StringsAndNumbersReadEitherWay) {
    auto e = entry("x", {{"n", 29.5}, {"s", std::string("29.5")}, {"bad", std::string("29.5 fps")},
                         {"blank", std::string(" 1")}, {"empty", std::string()}, {"flag", true}});
    EXPECT_EQ(statNumber(e, "s"), 29.5);
    EXPECT_EQ(statNumber(e, "n"), 29.5);
    EXPECT_FALSE(statNumber(e, "bad"));
    EXPECT_FALSE(statNumber(e, "blank"));
    EXPECT_FALSE(statNumber(e, "empty"));
    EXPECT_FALSE(statNumber(e, "flag"));
    EXPECT_FALSE(statNumber(e, "missing"));
    EXPECT_EQ(statString(e, "n"), "29.5");
    EXPECT_EQ(statString(e, "s"), "29.5");
    EXPECT_FALSE(statString(e, "flag"));
}

TEST(SessionStatsPath, ClassifiesCandidatePairs) {
    auto lan1 = candidate("host", "192.168.1.20"), lan2 = candidate("host", "192.168.1.30");
    EXPECT_EQ(classifyPath(&lan1, &lan2), SessionPath::lan);
    auto v6 = candidate("host", "fd00::1");
    EXPECT_EQ(classifyPath(&v6, &lan2), SessionPath::ipv6);
    auto srflx = candidate("srflx", "203.0.113.1");
    EXPECT_EQ(classifyPath(&srflx, &lan2), SessionPath::holePunch);
    auto relay = candidate("relay", "203.0.113.9"), loop = candidate("host", "127.0.0.1");
    EXPECT_EQ(classifyPath(&loop, &relay), SessionPath::relay);
    auto prflxLoop = candidate("prflx", "127.0.0.1");
    EXPECT_EQ(classifyPath(&prflxLoop, &lan2), SessionPath::loopback);
    auto untyped = candidate(std::nullopt, "192.168.1.30");
    EXPECT_EQ(classifyPath(&lan1, &untyped), SessionPath::unknown);
    EXPECT_EQ(classifyPath(nullptr, &lan2), SessionPath::unknown);
    StatsEntry byIp{"remote-candidate", {{"candidateType", std::string("host")}, {"ip", std::string("::1")}}};
    EXPECT_EQ(classifyPath(&lan1, &byIp), SessionPath::loopback);
}

TEST(SessionStatsPath, DanglingSelectedPairFallsBackToANominatedSucceededOne) {
    StatsReport r;
    r.entries["T"] = entry("transport", {{"selectedCandidatePairId", std::string("gone")}});
    r.entries["P1"] = entry("candidate-pair", {{"nominated", 1.0}, {"state", std::string("in-progress")}});
    r.entries["P2"] = entry("candidate-pair", {{"nominated", 1.0}, {"state", std::string("succeeded")}});
    EXPECT_EQ(selectedCandidatePair(r), &r.entries["P2"]);
    r.entries["T"].values["selectedCandidatePairId"] = std::string("P1");
    EXPECT_EQ(selectedCandidatePair(r), &r.entries["P1"]);
    r.entries.erase("T");
    r.entries["P2"].values["nominated"] = true;  // must be a number
    EXPECT_EQ(selectedCandidatePair(r), nullptr);
}

TEST(SessionStatsCodec, LastPieceOfTheMimeType) {
    EXPECT_EQ(codecName(entry("codec", {{"mimeType", std::string("video/H265")}})), "H265");
    EXPECT_EQ(codecName(entry("codec", {{"mimeType", std::string("H265")}})), "H265");
    EXPECT_EQ(codecName(entry("codec", {{"mimeType", std::string("video/")}})), "video");
    EXPECT_FALSE(codecName(entry("codec", {{"mimeType", std::string("/")}})));
    EXPECT_FALSE(codecName(entry("codec", {{"mimeType", std::string()}})));
    EXPECT_FALSE(codecName(entry("codec", {})));
}

StatsReport sample(double ms, double bytes, double frames, std::map<std::string, StatValue> extra = {}) {
    StatsReport r;
    r.timestampUs = ms * 1000;
    auto values = extra;
    values["kind"] = std::string("video");
    values["bytesReceived"] = bytes;
    values["framesReceived"] = frames;
    values["codecId"] = std::string("C");
    r.entries["A-audio"] = entry("inbound-rtp", {{"kind", std::string("audio")}, {"bytesReceived", 1e9}});
    r.entries["V"] = entry("inbound-rtp", values);
    r.entries["C"] = entry("codec", {{"mimeType", std::string("video/H264")}});
    r.entries["T"] = entry("transport", {{"selectedCandidatePairId", std::string("P")}});
    r.entries["P"] = entry("candidate-pair", {{"localCandidateId", std::string("L")},
                                              {"remoteCandidateId", std::string("R")},
                                              {"currentRoundTripTime", 0.002}});
    r.entries["L"] = candidate("host", "127.0.0.1");
    r.entries["R"] = candidate("host", "127.0.0.1");
    return r;
}

TEST(SessionStatsCondense, RatesComeFromTheDifferenceToThePreviousSample) {
    auto first = condense(sample(1000, 50'000, 10), std::nullopt, "H264");
    EXPECT_EQ(first.stats.bitrateKbps(), 0);
    EXPECT_EQ(first.stats.fps(), 0);
    EXPECT_EQ(first.stats.path(), SessionPath::loopback);
    EXPECT_DOUBLE_EQ(*first.stats.roundTripTimeMs(), 2.0);
    EXPECT_EQ(first.stats.codec(), std::optional<std::string>("H264"));
    auto second = condense(sample(2000, 300'000, 40), first.baseline, "X");
    EXPECT_DOUBLE_EQ(second.stats.bitrateKbps(), 2000);
    EXPECT_DOUBLE_EQ(second.stats.fps(), 30);
    auto same = condense(sample(2000, 300'001, 41), second.baseline, "X");
    EXPECT_DOUBLE_EQ(same.stats.fps(), 1000);  // divided by 0.001 s
    auto backwards = condense(sample(3000, 10, 1), second.baseline, "X");
    EXPECT_EQ(backwards.stats.bitrateKbps(), 0);
    EXPECT_EQ(backwards.stats.fps(), 0);
    auto reported = condense(sample(1000, 0, 0, {{"framesPerSecond", std::string("29.5")}}), std::nullopt, "X");
    EXPECT_EQ(reported.stats.fps(), 29.5);
}

TEST(SessionStatsCondense, LossPrefersTheFractionThenCountsAndIsNeverNegative) {
    auto f = condense(sample(0, 0, 0, {{"fractionLost", 0.02}, {"packetsLost", 50.0}, {"packetsReceived", 100.0}}),
                      std::nullopt, "X");
    EXPECT_DOUBLE_EQ(f.stats.packetLoss(), 0.02);
    auto counted = condense(sample(0, 0, 0, {{"packetsLost", 5.0}, {"packetsReceived", 100.0}}), std::nullopt, "X");
    EXPECT_DOUBLE_EQ(counted.stats.packetLoss(), 0.05);
    auto negative = condense(sample(0, 0, 0, {{"packetsLost", -1.0}, {"packetsReceived", 100.0}}), std::nullopt, "X");
    EXPECT_EQ(negative.stats.packetLoss(), 0);
}

TEST(SessionStatsCondense, WithoutVideoOrCodecEntryTheFallbacksApply) {
    StatsReport empty;
    empty.timestampUs = 5000;
    auto none = condense(empty, StatsBaseline{1, 100, 100}, "H264");
    EXPECT_EQ(none.stats, SessionStats(SessionPath::unknown, std::nullopt, 0, 0, 0, std::string("H264")));
    EXPECT_EQ(none.baseline.bytes, 0);
    auto r = sample(0, 0, 0);
    std::get<std::string>(r.entries["V"].values["codecId"]) = "missing";
    EXPECT_EQ(condense(r, std::nullopt, "fallback").stats.codec(), std::optional<std::string>("fallback"));
    // "kind" present but not video: the entry is passed over without reading "mediaType".
    StatsReport k;
    k.entries["V"] = entry("outbound-rtp", {{"kind", std::string("audio")}, {"mediaType", std::string("video")},
                                            {"bytesSent", 10.0}});
    k.entries["W"] = entry("outbound-rtp", {{"kind", true}, {"mediaType", std::string("video")}, {"bytesSent", 20.0}});
    EXPECT_EQ(condense(k, std::nullopt, "X").baseline.bytes, 20);
}

}  // namespace
}  // namespace quill::sessionstats
