#include "quillcore/signalling/signalling_message.h"

namespace quill {

namespace {

using json::Json;
using json::OrderedJson;

std::vector<std::string> requireStringList(const Json& obj, std::string_view key) {
    const Json& value = json::requireKey(obj, key);
    if (!value.is_array())
        throw DecodingError(DecodingError::Kind::typeMismatch, std::string(key),
                            std::string("Expected an array but found ") + value.type_name() + ".");
    std::vector<std::string> out;
    out.reserve(value.size());
    for (const Json& item : value) out.push_back(json::stringValue(item, key));
    return out;
}

OrderedJson stringList(const std::vector<std::string>& items) {
    OrderedJson out = OrderedJson::array();
    for (const auto& item : items) out.push_back(item);
    return out;
}

}  // namespace

Offer::Offer(std::string sessionID, std::string sdp, SessionMode mode, std::vector<std::string> capabilities)
    : type_("Offer"), sessionID_(std::move(sessionID)), sdp_(std::move(sdp)), mode_(mode),
      capabilities_(std::move(capabilities)) {}

OrderedJson Offer::toJSON() const {
    OrderedJson out = OrderedJson::object();
    out["type"] = type_;
    out["sdp"] = sdp_;
    out["mode"] = quill::toJSON(mode_);
    out["capabilities"] = stringList(capabilities_);
    out["session_id"] = sessionID_;
    return out;
}

Offer Offer::fromJSON(const Json& value) {
    json::requireObject(value);
    Offer out;
    out.type_ = json::requireString(value, "type");
    out.sdp_ = json::requireString(value, "sdp");
    out.mode_ = sessionModeFromJSON(json::requireKey(value, "mode"), "mode");
    out.capabilities_ = requireStringList(value, "capabilities");
    out.sessionID_ = json::requireString(value, "session_id");
    return out;
}

Answer::Answer(std::string sessionID, std::string sdp, std::vector<std::string> capabilities)
    : type_("Answer"), sessionID_(std::move(sessionID)), sdp_(std::move(sdp)), capabilities_(std::move(capabilities)) {}

OrderedJson Answer::toJSON() const {
    OrderedJson out = OrderedJson::object();
    out["type"] = type_;
    out["sdp"] = sdp_;
    out["capabilities"] = stringList(capabilities_);
    out["session_id"] = sessionID_;
    return out;
}

Answer Answer::fromJSON(const Json& value) {
    json::requireObject(value);
    Answer out;
    out.type_ = json::requireString(value, "type");
    out.sdp_ = json::requireString(value, "sdp");
    out.capabilities_ = requireStringList(value, "capabilities");
    out.sessionID_ = json::requireString(value, "session_id");
    return out;
}

Reject::Reject(std::string sessionID, std::string reason)
    : type_("Reject"), sessionID_(std::move(sessionID)), reason_(std::move(reason)) {}

OrderedJson Reject::toJSON() const {
    OrderedJson out = OrderedJson::object();
    out["type"] = type_;
    out["reason"] = reason_;
    out["session_id"] = sessionID_;
    return out;
}

Reject Reject::fromJSON(const Json& value) {
    json::requireObject(value);
    Reject out;
    out.type_ = json::requireString(value, "type");
    out.reason_ = json::requireString(value, "reason");
    out.sessionID_ = json::requireString(value, "session_id");
    return out;
}

Candidate::Candidate(std::string sessionID, std::string candidate, std::optional<std::string> sdpMid,
                     std::int32_t sdpMLineIndex)
    : type_("Candidate"), sessionID_(std::move(sessionID)), candidate_(std::move(candidate)),
      sdpMid_(std::move(sdpMid)), sdpMLineIndex_(sdpMLineIndex) {}

OrderedJson Candidate::toJSON() const {
    OrderedJson out = OrderedJson::object();
    out["type"] = type_;
    out["candidate"] = candidate_;
    out["session_id"] = sessionID_;
    // Absent is left out, never written as null.
    if (sdpMid_) out["sdp_mid"] = *sdpMid_;
    out["sdp_mline_index"] = sdpMLineIndex_;
    return out;
}

Candidate Candidate::fromJSON(const Json& value) {
    json::requireObject(value);
    Candidate out;
    out.type_ = json::requireString(value, "type");
    out.candidate_ = json::requireString(value, "candidate");
    out.sessionID_ = json::requireString(value, "session_id");
    out.sdpMid_ = json::optionalString(value, "sdp_mid");
    out.sdpMLineIndex_ = json::requireInt<std::int32_t>(value, "sdp_mline_index");
    return out;
}

Bye::Bye(std::string sessionID, std::string reason)
    : type_("Bye"), sessionID_(std::move(sessionID)), reason_(std::move(reason)) {}

OrderedJson Bye::toJSON() const {
    OrderedJson out = OrderedJson::object();
    out["type"] = type_;
    out["reason"] = reason_;
    out["session_id"] = sessionID_;
    return out;
}

Bye Bye::fromJSON(const Json& value) {
    json::requireObject(value);
    Bye out;
    out.type_ = json::requireString(value, "type");
    out.reason_ = json::requireString(value, "reason");
    out.sessionID_ = json::requireString(value, "session_id");
    return out;
}

Wake::Wake() : type_("Wake") {}

OrderedJson Wake::toJSON() const {
    OrderedJson out = OrderedJson::object();
    out["type"] = type_;
    return out;
}

Wake Wake::fromJSON(const Json& value) {
    json::requireObject(value);
    Wake out{Decoded{}};
    out.type_ = json::requireString(value, "type");
    return out;
}

std::string_view SignallingMessage::typeName() const {
    static constexpr std::string_view names[] = {"Offer", "Answer", "Reject", "Candidate", "Bye", "Wake"};
    return names[payload_.index()];
}

OrderedJson SignallingMessage::toJSON() const {
    return std::visit([](const auto& message) { return message.toJSON(); }, payload_);
}

SignallingMessage SignallingMessage::fromJSON(const Json& value) {
    json::requireObject(value);
    const std::string type = json::requireString(value, "type");
    if (type == "Offer") return Offer::fromJSON(value);
    if (type == "Answer") return Answer::fromJSON(value);
    if (type == "Reject") return Reject::fromJSON(value);
    if (type == "Candidate") return Candidate::fromJSON(value);
    if (type == "Bye") return Bye::fromJSON(value);
    if (type == "Wake") return Wake::fromJSON(value);
    throw DecodingError(DecodingError::Kind::dataCorrupted, "", "Unknown signalling type " + type);
}

std::string SignallingMessage::encode() const { return json::dump(toJSON()); }

SignallingMessage SignallingMessage::decode(std::string_view text) { return fromJSON(json::parse(text)); }

SignallingMessage SignallingMessage::decode(ByteView bytes) { return fromJSON(json::parse(bytes)); }

}  // namespace quill
