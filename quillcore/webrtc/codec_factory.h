#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quillcore/webrtc/peer_connection.h"

namespace quill {

// A video format as a codec factory advertises it.
struct VideoCodecInfo {
    std::string name;
    std::map<std::string, std::string> parameters;
    bool operator==(const VideoCodecInfo&) const = default;
};

// The encoders this process can run in real time. `base` stands for the platform's default
// list (name -> encoder element); H.264 always gets our own x264 chain.
class QuillVideoEncoderFactory {
public:
    struct Entry {
        VideoCodecInfo info;
        std::string element;  // the GStreamer encoder element
    };

    explicit QuillVideoEncoderFactory(std::vector<Entry> base) : base_(std::move(base)) {}
    // The encoders present in the GStreamer registry.
    static QuillVideoEncoderFactory withInstalledEncoders();

    std::vector<VideoCodecInfo> supportedCodecs() const;
    // The encoder element for a format, none when nothing can encode it.
    std::optional<std::string> createEncoder(const VideoCodecInfo& info) const;

    // An H.264 format claims level 5.2: the last byte of a six-character profile-level-id
    // becomes 34; the profile bytes stay.
    static VideoCodecInfo adjustedCodecInfo(const VideoCodecInfo& info);

private:
    std::vector<Entry> base_;
};

class QuillVideoDecoderFactory {
public:
    struct Entry {
        VideoCodecInfo info;
        std::string depayloader;
        std::string decoder;
    };

    explicit QuillVideoDecoderFactory(std::vector<Entry> base) : base_(std::move(base)) {}
    static QuillVideoDecoderFactory withInstalledDecoders();

    std::vector<VideoCodecInfo> supportedCodecs() const;
    // The depayloader and decoder for an RTP encoding name, matched without letter case.
    std::optional<Entry> createDecoder(const std::string& encodingName) const;

private:
    std::vector<Entry> base_;
};

// 0 for H.265 (or HEVC), 1 for H.264, 2 for everything else; whole names, any letter case.
int codecRank(const CodecCapability& codec);

// The first H.265/HEVC codec by name containment, else the first H.264, else "unknown".
std::string choosePreferredCodec(const std::vector<VideoCodecInfo>& codecs);

// Stable sort by rank: equal ranks keep their order; nothing is dropped.
std::vector<CodecCapability> sortedByCodecRank(std::vector<CodecCapability> codecs);

}  // namespace quill
