#pragma once

#include <gst/gst.h>

namespace quill::gst {

// Sets up webrtcbin's ICE agent before gathering: every local address of an interface that is
// up (loopback included: libnice skips it unless told, and sessions must work on it), no UPnP,
// faster connectivity checks, and keep-alive checks so that ICE still ends in failed when the
// peer is gone for good.
void configureIceAgent(GstElement* webrtc);

}  // namespace quill::gst
