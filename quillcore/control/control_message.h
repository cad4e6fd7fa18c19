#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <google/protobuf/message.h>

#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"
#include "quillmate/v0/control.pb.h"

// Control messages: one serialised Envelope per binary message on the "ctl" data channel.
// The types are generated from proto/quillmate/v0/control.proto. C++ accessors follow
// protobuf's snake_case (`display_id()`, `mutable_key()`, `msg_case()`); reading a case that is
// not set gives its default payload without setting it, `mutable_<case>()` sets the case.
namespace quill {

using Quillmate_V0_Envelope = quillmate::v0::Envelope;
using Quillmate_V0_Hello = quillmate::v0::Hello;
using Quillmate_V0_KeyEvent = quillmate::v0::KeyEvent;
using Quillmate_V0_PointerEvent = quillmate::v0::PointerEvent;
using Quillmate_V0_ScrollEvent = quillmate::v0::ScrollEvent;
using Quillmate_V0_CursorShape = quillmate::v0::CursorShape;
using Quillmate_V0_CursorPosition = quillmate::v0::CursorPosition;
using Quillmate_V0_Display = quillmate::v0::Display;
using Quillmate_V0_DisplayLayout = quillmate::v0::DisplayLayout;
using Quillmate_V0_SelectDisplay = quillmate::v0::SelectDisplay;
using Quillmate_V0_QualityRequest = quillmate::v0::QualityRequest;
using Quillmate_V0_KeyframeRequest = quillmate::v0::KeyframeRequest;
using Quillmate_V0_ClipboardOffer = quillmate::v0::ClipboardOffer;
using Quillmate_V0_ClipboardData = quillmate::v0::ClipboardData;
using Quillmate_V0_FileOffer = quillmate::v0::FileOffer;
using Quillmate_V0_FileAccept = quillmate::v0::FileAccept;
using Quillmate_V0_Stats = quillmate::v0::Stats;
using Quillmate_V0_Ping = quillmate::v0::Ping;
using Quillmate_V0_Pong = quillmate::v0::Pong;
using Quillmate_V0_QualityRequest_Mode = quillmate::v0::QualityRequest_Mode;

// Any number is a mode: 0, 1 and 2 are the named ones, others are kept as unrecognised
// values and written back unchanged. Equality is by number.
constexpr Quillmate_V0_QualityRequest_Mode qualityRequestMode(std::int32_t rawValue) {
    return static_cast<Quillmate_V0_QualityRequest_Mode>(rawValue);
}
inline constexpr std::array<Quillmate_V0_QualityRequest_Mode, 3> qualityRequestModeAllCases = {
    quillmate::v0::QualityRequest::ADAPTIVE, quillmate::v0::QualityRequest::FIDELITY,
    quillmate::v0::QualityRequest::LOW_BANDWIDTH};

// Value equality: every field, set or not, compared by value (floats numerically, so 0.0
// equals -0.0 and a NaN equals nothing), the same oneof case, and the same unknown fields.
// Messages of different types are never equal.
bool equalMessages(const google::protobuf::Message& a, const google::protobuf::Message& b);

// Binary encoding: set fields in number order, defaults left out, then the unknown fields.
// Throws EncodingError when protobuf reports a failure, a string field that is not UTF-8
// included.
Bytes serializedData(const google::protobuf::Message& message);

// Parses one whole message (nesting limit 100, unknown fields kept). Malformed input throws
// DecodingError (dataCorrupted) with a readable text; nothing is printed to stderr.
Quillmate_V0_Envelope parseEnvelope(ByteView bytes);
void parseMessage(ByteView bytes, google::protobuf::Message& into);

}  // namespace quill

namespace quillmate::v0 {

template <class M>
    requires std::derived_from<M, google::protobuf::Message>
bool operator==(const M& a, const M& b) {
    return quill::equalMessages(a, b);
}

}  // namespace quillmate::v0
