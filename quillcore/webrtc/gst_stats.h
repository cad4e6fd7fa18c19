#pragma once

#include <gst/gst.h>

#include "quillcore/webrtc/peer_connection.h"

namespace quill::gst {

// webrtcbin's "get-stats" reply as a report: one entry per sub-structure, the enumerated
// type as its W3C name, hyphenated field names in camel case. The time stamp is the newest
// the reply names (the peer connection's), else now.
StatsReport statsReport(const GstStructure* reply);

}  // namespace quill::gst
