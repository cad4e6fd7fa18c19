#include "quillcore/webrtc/sdp_text.h"

#include <gtest/gtest.h>

namespace quill::sdptext {
namespace {

const std::string kHead = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";
const std::string kData = "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:0\r\na=sctp-port:5000\r\n";
// As a browser writes it: several H.264 profiles, rtx, red, H.265 and VP8 in between.
const std::string kVideo =
    "m=video 9 UDP/TLS/RTP/SAVPF 49 96 97 100 101 102 103 63\r\na=mid:1\r\na=recvonly\r\n"
    "a=rtpmap:49 H265/90000\r\na=rtpmap:96 VP8/90000\r\na=rtpmap:97 rtx/90000\r\na=fmtp:97 apt=96\r\n"
    "a=rtpmap:100 H264/90000\r\na=fmtp:100 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42e01f\r\n"
    "a=rtpmap:101 H264/90000\r\na=fmtp:101 level-asymmetry-allowed=1; packetization-mode=1;profile-level-id=640c1f\r\n"
    "a=rtpmap:102 H264/90000\r\na=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n"
    "a=rtpmap:103 rtx/90000\r\na=fmtp:103 apt=102\r\na=rtpmap:63 red/90000\r\n";

using Strings = std::pair<std::string, std::string>;

TEST(SdpText, TheVideoSectionIsFoundByKindAndBaselineMode1Chosen) {
    auto codecs = offeredVideoCodecs(kHead + kData + kVideo).value();
    ASSERT_EQ(codecs.size(), 8u);
    EXPECT_EQ(std::make_pair(codecs[0].name, codecs[4].fmtp.at("packetization-mode")), Strings("H265", "1"));
    EXPECT_EQ(chooseH264(codecs)->payloadType, 102);
    EXPECT_EQ(std::make_pair(h264Profile(codecs[4]), h264Profile(codecs[5])), Strings("high", "constrained-baseline"));
    EXPECT_EQ(h264Profile(OfferedCodec{1, "H264", 90000, {{"profile-level-id", "4D001f"}}}), "main");

    std::vector<OfferedCodec> others{{101, "H264", 90000, {{"packetization-mode", "1"}, {"profile-level-id", "640c1f"}}},
                                     {100, "H264", 90000, {{"packetization-mode", "0"}}}};
    EXPECT_EQ(std::make_pair(chooseH264(others)->payloadType, chooseH264({others[1]})->payloadType), std::make_pair(101, 100));
    EXPECT_FALSE(chooseH264({{96, "VP8", 90000, {}}, {97, "H264", 8000, {}}}));
    EXPECT_FALSE(offeredVideoCodecs("v=0\r\nm=audio 9 RTP/AVP 0\r\n"));
    EXPECT_TRUE(offeredVideoCodecs("m=video 9 RTP/AVP 999 abc 96 128\r\na=rtpmap:96\r\na=rtpmap:x H264/90000\r\n")->empty());
}

TEST(SdpText, RtpLeadsTheBundleAndAnOfferItsSectionsThenTheAnswerGoesBack) {
    const std::string appFirst = kHead + "a=group:BUNDLE 0 1\r\n" + kData + kVideo;
    auto offer = preparedForWebrtcbin(appFirst, true);
    EXPECT_EQ(offer.mids, (std::vector<std::string>{"0", "1"}));
    EXPECT_EQ(offer.sdp, kHead + "a=group:BUNDLE 1 0\r\n" + kVideo + kData);
    EXPECT_EQ(inMidOrder(offer.sdp, offer.mids), kHead + "a=group:BUNDLE 1 0\r\n" + kData + kVideo);
    // An answer keeps its order; only the group changes. Media first needs nothing.
    EXPECT_EQ(preparedForWebrtcbin(appFirst, false).sdp, kHead + "a=group:BUNDLE 1 0\r\n" + kData + kVideo);
    const std::string mediaFirst = kHead + "a=group:BUNDLE 1 0\r\n" + kVideo + kData;
    EXPECT_EQ(preparedForWebrtcbin(mediaFirst, true).sdp, mediaFirst);
    EXPECT_TRUE(preparedForWebrtcbin(kHead + kData, true).mids.empty());
    EXPECT_EQ(inMidOrder(kHead + kVideo + kData, {"0"}), kHead + kData + kVideo);

    // A peer's group line of any length, or with no break at all, is scanned without recursion.
    std::string group = "a=group:BUNDLE";
    for (int i = 0; i < 150'000; ++i) group += " m" + std::to_string(i);
    EXPECT_EQ(preparedForWebrtcbin(kHead + group + " 0 1\r\n" + kData + kVideo, true).sdp.substr(kHead.size(), 22),
              "a=group:BUNDLE 1 m0 m1");
    const std::string unbroken = kHead + "a=group:BUNDLE " + std::string(1 << 20, 'x') + "\r\n" + kData + kVideo;
    EXPECT_EQ(preparedForWebrtcbin(unbroken, true).sdp.size(), unbroken.size());
}

TEST(SdpText, APeersDescriptionIsRefusedAtItsBounds) {
    auto sections = [](unsigned n) {
        std::string sdp = kHead;
        for (unsigned i = 0; i < n; ++i) sdp += "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:" + std::to_string(i) + "\r\n";
        return sdp;
    };
    std::string full = sections(2) + "a=x:";
    full += std::string(kMaxRemoteDescriptionBytes - full.size() - 2, 'f') + "\r\n";
    const std::string hidden = sections(1) + std::string(1, '\0') + sections(8).substr(kHead.size());
    const struct {
        std::string sdp;
        std::optional<std::string> refusal;
    } rows[] = {
        {sections(kMaxMediaSections), std::nullopt},
        {sections(kMaxMediaSections + 1), "the session description has too many media sections"},
        {full, std::nullopt},
        {full + "\n", "the session description is too long"},
        {"", "the session description is empty"},
        {"garbage", std::nullopt},  // left to the parser, which names it
        // GStreamer would stop reading at the NUL; the sections behind it must not count for nothing.
        {hidden, "the session description could not be read"},
    };
    for (const auto& row : rows) EXPECT_EQ(refusedRemoteDescription(row.sdp), row.refusal) << row.sdp.size();
}

}  // namespace
}  // namespace quill::sdptext
