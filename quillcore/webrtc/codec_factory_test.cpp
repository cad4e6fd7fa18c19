#include "quillcore/webrtc/codec_factory.h"

#include <gtest/gtest.h>

#include <regex>

#include "quillcore/webrtc/sdp_text.h"
#include "quillcore/webrtc/stats_filter.h"

namespace quill {
namespace {

VideoCodecInfo info(std::string name, std::map<std::string, std::string> p = {}) {
    return VideoCodecInfo{std::move(name), std::move(p)};
}

CodecCapability cap(std::string name) { return CodecCapability{std::move(name), 90000, {}}; }

TEST(CodecFactory, PreferredCodecPrefersH265ThenH264ByContainment) {
    EXPECT_EQ(choosePreferredCodec({info("H264"), info("H265")}), "H265");
    EXPECT_EQ(choosePreferredCodec({info("VP8"), info("H264")}), "H264");
    EXPECT_EQ(choosePreferredCodec({info("VP8"), info("VP9")}), "unknown");
    EXPECT_EQ(choosePreferredCodec({}), "unknown");
    EXPECT_EQ(choosePreferredCodec({info("H264"), info("hevc")}), "hevc");
    EXPECT_EQ(choosePreferredCodec({info("VP8"), info("XH264")}), "XH264");
}

TEST(CodecFactory, RankComparesWholeNamesInAnyCase) {
    EXPECT_EQ(codecRank(cap("hevc")), 0);
    EXPECT_EQ(codecRank(cap("H265")), 0);
    EXPECT_EQ(codecRank(cap("h264")), 1);
    EXPECT_EQ(codecRank(cap("XH264")), 2);
    EXPECT_EQ(codecRank(cap("rtx")), 2);
}

TEST(CodecFactory, SortIsStableAndDropsNothing) {
    auto sorted = sortedByCodecRank({cap("VP8"), cap("H264"), cap("rtx"), cap("H265"), cap("VP9")});
    std::vector<std::string> names;
    for (auto& c : sorted) names.push_back(c.name);
    EXPECT_EQ(names, (std::vector<std::string>{"H265", "H264", "VP8", "rtx", "VP9"}));
}

TEST(CodecFactory, H264LevelBecomes52AndNothingElseChanges) {
    auto adjusted = QuillVideoEncoderFactory::adjustedCodecInfo(
        info("H264", {{"profile-level-id", "42e01f"}, {"packetization-mode", "1"}}));
    EXPECT_EQ(adjusted, info("H264", {{"profile-level-id", "42e034"}, {"packetization-mode", "1"}}));
    auto five = info("H264", {{"profile-level-id", "42e01"}});
    EXPECT_EQ(QuillVideoEncoderFactory::adjustedCodecInfo(five), five);
    auto none = info("H264", {{"packetization-mode", "1"}});
    EXPECT_EQ(QuillVideoEncoderFactory::adjustedCodecInfo(none), none);
    auto lowerName = info("h264", {{"profile-level-id", "42e01f"}});
    EXPECT_EQ(QuillVideoEncoderFactory::adjustedCodecInfo(lowerName), lowerName);
    auto vp8 = info("VP8", {{"profile-level-id", "42e01f"}});
    EXPECT_EQ(QuillVideoEncoderFactory::adjustedCodecInfo(vp8), vp8);
}

TEST(CodecFactory, SupportedCodecsAreAdjustedInOrder) {
    QuillVideoEncoderFactory encoders({{info("VP8"), "vp8enc"}, {info("H264", {{"profile-level-id", "640c1f"}}), "x"}});
    auto list = encoders.supportedCodecs();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "VP8");
    EXPECT_EQ(list[1].parameters.at("profile-level-id"), "640c34");
    EXPECT_TRUE(QuillVideoEncoderFactory({}).supportedCodecs().empty());
}

TEST(CodecFactory, H264AlwaysGetsOurEncoderOtherNamesAskTheBase) {
    QuillVideoEncoderFactory encoders({{info("H264"), "openh264enc"}, {info("h264"), "other"}, {info("VP8"), "vp8enc"}});
    EXPECT_EQ(encoders.createEncoder(info("H264")), "x264enc");
    EXPECT_EQ(encoders.createEncoder(info("h264")), "other");
    EXPECT_EQ(encoders.createEncoder(info("VP8")), "vp8enc");
    EXPECT_EQ(encoders.createEncoder(info("AV1")), std::nullopt);
}

// An offer as a browser writes it: application section first, several H.264 profiles, rtx,
// red, H.265 and VP8 in between.
const char* kBrowserOffer =
    "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0 1\r\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:0\r\na=sctp-port:5000\r\n"
    "m=video 9 UDP/TLS/RTP/SAVPF 49 96 97 100 101 102 103 63\r\na=mid:1\r\na=recvonly\r\n"
    "a=rtpmap:49 H265/90000\r\na=rtpmap:96 VP8/90000\r\na=rtpmap:97 rtx/90000\r\na=fmtp:97 apt=96\r\n"
    "a=rtpmap:100 H264/90000\r\na=fmtp:100 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42e01f\r\n"
    "a=rtpmap:101 H264/90000\r\na=fmtp:101 level-asymmetry-allowed=1; packetization-mode=1;profile-level-id=640c1f\r\n"
    "a=rtpmap:102 H264/90000\r\na=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n"
    "a=rtpmap:103 rtx/90000\r\na=fmtp:103 apt=102\r\na=rtpmap:63 red/90000\r\n";

TEST(OfferedCodecs, FindsTheVideoSectionByKindAndPicksBaselineMode1) {
    auto codecs = sdptext::offeredVideoCodecs(kBrowserOffer);
    ASSERT_TRUE(codecs);
    ASSERT_EQ(codecs->size(), 8u);
    EXPECT_EQ((*codecs)[0].name, "H265");
    EXPECT_EQ((*codecs)[4].fmtp.at("packetization-mode"), "1");
    auto chosen = sdptext::chooseH264(*codecs);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->payloadType, 102);
}

TEST(OfferedCodecs, FallsBackToOtherProfilesAndRefusesOffersWithoutH264) {
    std::vector<sdptext::OfferedCodec> high{{101, "H264", 90000, {{"packetization-mode", "1"}, {"profile-level-id", "640c1f"}}},
                                           {100, "H264", 90000, {{"packetization-mode", "0"}}}};
    EXPECT_EQ(sdptext::chooseH264(high)->payloadType, 101);
    std::vector<sdptext::OfferedCodec> vp8{{96, "VP8", 90000, {}}};
    EXPECT_FALSE(sdptext::chooseH264(vp8));
    EXPECT_FALSE(sdptext::offeredVideoCodecs("v=0\r\nm=audio 9 RTP/AVP 0\r\n"));
    EXPECT_FALSE(sdptext::offeredVideoCodecs("garbage"));
    auto odd = sdptext::offeredVideoCodecs("m=video 9 RTP/AVP 999 abc 96\r\na=rtpmap:96\r\na=rtpmap:x H264/90000\r\n");
    ASSERT_TRUE(odd);
    EXPECT_TRUE(odd->empty());
}

TEST(OfferedCodecs, DataChannelsFirstAreMovedBehindTheMediaAndBackInTheAnswer) {
    auto reordered = sdptext::preparedForWebrtcbin(kBrowserOffer, true);
    EXPECT_EQ(reordered.mids, (std::vector<std::string>{"0", "1"}));
    EXPECT_LT(reordered.sdp.find("m=video"), reordered.sdp.find("m=application"));
    EXPECT_NE(reordered.sdp.find("a=group:BUNDLE 1 0\r\n"), std::string::npos) << reordered.sdp;
    EXPECT_EQ(reordered.sdp.size(), std::string(kBrowserOffer).size());
    // Nothing to do for an offer with its media first.
    EXPECT_TRUE(sdptext::preparedForWebrtcbin(reordered.sdp, true).mids.empty());
    EXPECT_TRUE(sdptext::preparedForWebrtcbin("v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:0\r\n", true).mids.empty());
    EXPECT_EQ(sdptext::inMidOrder(reordered.sdp, reordered.mids),
              std::regex_replace(std::string(kBrowserOffer), std::regex("BUNDLE 0 1"), "BUNDLE 1 0"));
}

// With a retransmission, webrtcbin reports a second video stream of the same direction; it
// must not be the one the rates are read from, whichever id sorts first.
TEST(StatsStreams, OnlyTheMediaStreamOfTheUsedDirectionRemains) {
    auto rtp = [](const char* type, double packets, const char* packetsKey) {
        return StatsEntry{type, {{"kind", std::string("video")}, {packetsKey, packets}}};
    };
    for (bool sender : {true, false}) {
        const char* used = sender ? "outbound-rtp" : "inbound-rtp";
        const char* unused = sender ? "inbound-rtp" : "outbound-rtp";
        const char* key = sender ? "packetsSent" : "packetsReceived";
        StatsReport report;
        report.entries["rtp-a-retransmissions"] = rtp(used, 1, key);
        report.entries["rtp-b-media"] = rtp(used, 480, key);
        report.entries["rtp-c-rtcp-only"] = rtp(unused, 0, sender ? "packetsReceived" : "packetsSent");
        report.entries["rtp-d-audio"] = StatsEntry{used, {{"kind", std::string("audio")}}};
        report.entries["codec"] = StatsEntry{"codec", {{"mimeType", std::string("video/H264")}}};
        report = statsfilter::adapted(report, {sender, 0, 0, ""});
        std::vector<std::string> ids;
        for (const auto& [id, e] : report.entries) ids.push_back(id);
        EXPECT_EQ(ids, (std::vector<std::string>{"codec", "rtp-b-media", "rtp-d-audio"})) << sender;
    }
}

}  // namespace
}  // namespace quill
