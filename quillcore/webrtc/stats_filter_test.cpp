#include "quillcore/webrtc/stats_filter.h"

#include <gtest/gtest.h>

namespace quill::statsfilter {
namespace {

// With a retransmission, webrtcbin reports a second video stream of the same direction; the rates
// must not be read from it, whichever id sorts first.
TEST(StatsFilter, OneMediaStreamOfTheUsedDirectionRemainsWithTheCountersRead) {
    for (bool sender : {true, false}) {
        const char *used = sender ? "outbound-rtp" : "inbound-rtp", *key = sender ? "packetsSent" : "packetsReceived";
        auto video = [&](const char* type, double packets) {
            return StatsEntry{type, {{"kind", std::string("video")}, {key, packets}, {"codecId", std::string("codec")}}};
        };
        auto report = adapted({0, {{"rtp-a-retransmissions", video(used, 1)}, {"rtp-b-media", video(used, 480)},
                                   {"rtp-c-rtcp-only", video(sender ? "inbound-rtp" : "outbound-rtp", 0)},
                                   {"rtp-d-audio", {used, {{"kind", std::string("audio")}}}}, {"codec", {"codec", {}}},
                                   {"pair", {"candidate-pair", {}}},
                                   {"remote", {"remote-inbound-rtp", {{"roundTripTime", 0.004}, {"fractionLost", 0.25}}}}}},
                              {sender, 7, 9, "H264"});
        std::vector<std::string> ids;
        for (const auto& [id, e] : report.entries) ids.push_back(id);
        EXPECT_EQ(ids, (std::vector<std::string>{"codec", "pair", "remote", "rtp-b-media", "rtp-d-audio"})) << sender;
        const auto& media = report.entries["rtp-b-media"].values;
        EXPECT_EQ(media.at(sender ? "framesEncoded" : "framesReceived"), StatValue(sender ? 7.0 : 9.0));
        EXPECT_EQ(media.count("fractionLost"), sender ? 1u : 0u);
        EXPECT_EQ(report.entries["pair"].values.at("currentRoundTripTime"), StatValue(0.004));
        EXPECT_EQ(report.entries["codec"].values.count("mimeType"), sender ? 0u : 1u);
    }
}

}  // namespace
}  // namespace quill::statsfilter
