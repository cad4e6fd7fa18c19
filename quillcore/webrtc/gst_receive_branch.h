#pragma once

#include <gst/gst.h>

#include <memory>
#include <string>

#include "quillcore/webrtc/codec_factory.h"
#include "quillcore/webrtc/gst_remote_track.h"

namespace quill::gst {

struct ReceiveBranch {
    std::shared_ptr<GstRemoteTrack> track;  // none when the media is not video we can decode
    std::string encoding;
};

// Links a media pad webrtcbin added. Video a decoder knows is decoded behind a queue into BGRx
// frames on a track; anything else goes into a fakesink: whatever we cannot show still has to
// go somewhere, or it stalls webrtcbin's shared receive path.
ReceiveBranch attachReceiveBranch(GstElement* pipeline, GstPad* pad, const QuillVideoDecoderFactory& decoders);

}  // namespace quill::gst
