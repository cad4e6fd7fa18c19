#include "quillcore/webrtc/codec_factory.h"

#include <gtest/gtest.h>

namespace quill {
namespace {

VideoCodecInfo info(std::string name, std::map<std::string, std::string> p = {}) { return {std::move(name), std::move(p)}; }

TEST(CodecFactory, RanksByWholeNameInAnyCaseClaimsLevel52AndH264AlwaysGetsOurEncoder) {
    EXPECT_EQ(choosePreferredCodec({info("H264"), info("H265")}), "H265");
    EXPECT_EQ(choosePreferredCodec({info("H264"), info("hevc")}), "hevc");
    EXPECT_EQ(choosePreferredCodec({info("VP8"), info("XH264")}), "XH264");  // by containment
    EXPECT_EQ(choosePreferredCodec({info("VP8"), info("VP9")}), "unknown");
    std::vector<CodecCapability> caps;
    for (auto n : {"VP8", "h264", "XH264", "rtx", "hevc", "VP9", "H265"}) caps.push_back({n, 90000, {}});
    std::string order;
    for (auto& c : sortedByCodecRank(caps)) order += c.name + " ";
    EXPECT_EQ(order, "hevc H265 h264 VP8 XH264 rtx VP9 ");

    QuillVideoEncoderFactory encoders({{info("VP8"), "vp8enc"},
                                       {info("H264", {{"profile-level-id", "640c1f"}, {"packetization-mode", "1"}}), "open"},
                                       {info("h264", {{"profile-level-id", "42e01f"}}), "other"},
                                       {info("H264", {{"profile-level-id", "42e01"}}), "short"}});
    EXPECT_EQ(encoders.supportedCodecs(),
              (std::vector<VideoCodecInfo>{info("VP8"), info("H264", {{"profile-level-id", "640c34"}, {"packetization-mode", "1"}}),
                                           info("h264", {{"profile-level-id", "42e01f"}}),  // "H264" exactly
                                           info("H264", {{"profile-level-id", "42e01"}})}));  // six characters
    EXPECT_EQ(encoders.createEncoder(info("H264")), "x264enc");
    EXPECT_EQ(encoders.createEncoder(info("h264")), "other");
    EXPECT_EQ(encoders.createEncoder(info("AV1")), std::nullopt);
}

}  // namespace
}  // namespace quill
