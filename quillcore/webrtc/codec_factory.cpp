#include "quillcore/webrtc/codec_factory.h"

#include <algorithm>
#include <cctype>

namespace quill {
namespace {

std::string upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::vector<VideoCodecInfo> QuillVideoEncoderFactory::supportedCodecs() const {
    std::vector<VideoCodecInfo> out;
    out.reserve(base_.size());
    for (const auto& e : base_) out.push_back(adjustedCodecInfo(e.info));
    return out;
}

std::optional<std::string> QuillVideoEncoderFactory::createEncoder(const VideoCodecInfo& info) const {
    if (info.name == "H264") return std::string("x264enc");
    for (const auto& e : base_)
        if (e.info.name == info.name) return e.element;
    return std::nullopt;
}

VideoCodecInfo QuillVideoEncoderFactory::adjustedCodecInfo(const VideoCodecInfo& info) {
    if (info.name != "H264") return info;
    auto it = info.parameters.find("profile-level-id");
    if (it == info.parameters.end() || it->second.size() != 6) return info;
    VideoCodecInfo adjusted = info;
    adjusted.parameters["profile-level-id"] = it->second.substr(0, 4) + "34";
    return adjusted;
}

std::vector<VideoCodecInfo> QuillVideoDecoderFactory::supportedCodecs() const {
    std::vector<VideoCodecInfo> out;
    out.reserve(base_.size());
    for (const auto& e : base_) out.push_back(QuillVideoEncoderFactory::adjustedCodecInfo(e.info));
    return out;
}

std::optional<QuillVideoDecoderFactory::Entry> QuillVideoDecoderFactory::createDecoder(
    const std::string& encodingName) const {
    const std::string wanted = upper(encodingName);
    for (const auto& e : base_)
        if (upper(e.info.name) == wanted) return e;
    return std::nullopt;
}

int codecRank(const CodecCapability& codec) {
    const std::string name = upper(codec.name);
    if (name == "H265" || name == "HEVC") return 0;
    if (name == "H264") return 1;
    return 2;
}

std::string choosePreferredCodec(const std::vector<VideoCodecInfo>& codecs) {
    for (const auto& c : codecs) {
        const std::string name = upper(c.name);
        if (name.find("H265") != std::string::npos || name.find("HEVC") != std::string::npos) return c.name;
    }
    for (const auto& c : codecs)
        if (upper(c.name).find("H264") != std::string::npos) return c.name;
    return "unknown";
}

std::vector<CodecCapability> sortedByCodecRank(std::vector<CodecCapability> codecs) {
    std::stable_sort(codecs.begin(), codecs.end(),
                     [](const CodecCapability& a, const CodecCapability& b) { return codecRank(a) < codecRank(b); });
    return codecs;
}

}  // namespace quill
