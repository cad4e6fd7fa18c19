#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quillcore/base/bytes.h"
#include "quillcore/base/json.h"
#include "quillcore/signalling/session_mode.h"

// The messages the two ends of a session exchange, each sealed in one envelope. Every message is
// an immutable value with a fixed JSON form: one flat object whose "type" member names it.
//
// toJSON() writes the members in the message's fixed order. fromJSON() reads them strictly: a
// required member that is missing is keyNotFound, null is valueNotFound, of another JSON type is
// typeMismatch, and a number that is not an integer in range is dataCorrupted; the first failing
// member in writing order is the one reported. Unknown members are ignored. Decoding one message
// type directly keeps the "type" member as read.
namespace quill {

class Offer {
public:
    Offer(std::string sessionID, std::string sdp, SessionMode mode, std::vector<std::string> capabilities);

    const std::string& type() const { return type_; }
    const std::string& sessionID() const { return sessionID_; }
    const std::string& sdp() const { return sdp_; }
    SessionMode mode() const { return mode_; }
    const std::vector<std::string>& capabilities() const { return capabilities_; }

    json::OrderedJson toJSON() const;
    static Offer fromJSON(const json::Json& value);
    bool operator==(const Offer&) const = default;

private:
    Offer() = default;
    std::string type_;
    std::string sessionID_;
    std::string sdp_;
    SessionMode mode_ = SessionMode::view;
    std::vector<std::string> capabilities_;
};

class Answer {
public:
    Answer(std::string sessionID, std::string sdp, std::vector<std::string> capabilities);

    const std::string& type() const { return type_; }
    const std::string& sessionID() const { return sessionID_; }
    const std::string& sdp() const { return sdp_; }
    const std::vector<std::string>& capabilities() const { return capabilities_; }

    json::OrderedJson toJSON() const;
    static Answer fromJSON(const json::Json& value);
    bool operator==(const Answer&) const = default;

private:
    Answer() = default;
    std::string type_;
    std::string sessionID_;
    std::string sdp_;
    std::vector<std::string> capabilities_;
};

class Reject {
public:
    Reject(std::string sessionID, std::string reason);

    const std::string& type() const { return type_; }
    const std::string& sessionID() const { return sessionID_; }
    const std::string& reason() const { return reason_; }

    json::OrderedJson toJSON() const;
    static Reject fromJSON(const json::Json& value);
    bool operator==(const Reject&) const = default;

private:
    Reject() = default;
    std::string type_;
    std::string sessionID_;
    std::string reason_;
};

class Candidate {
public:
    Candidate(std::string sessionID, std::string candidate, std::optional<std::string> sdpMid,
              std::int32_t sdpMLineIndex);

    const std::string& type() const { return type_; }
    const std::string& sessionID() const { return sessionID_; }
    const std::string& candidate() const { return candidate_; }
    // Absent and empty are different values.
    const std::optional<std::string>& sdpMid() const { return sdpMid_; }
    std::int32_t sdpMLineIndex() const { return sdpMLineIndex_; }

    json::OrderedJson toJSON() const;
    static Candidate fromJSON(const json::Json& value);
    bool operator==(const Candidate&) const = default;

private:
    Candidate() = default;
    std::string type_;
    std::string sessionID_;
    std::string candidate_;
    std::optional<std::string> sdpMid_;
    std::int32_t sdpMLineIndex_ = 0;
};

class Bye {
public:
    Bye(std::string sessionID, std::string reason);

    const std::string& type() const { return type_; }
    const std::string& sessionID() const { return sessionID_; }
    const std::string& reason() const { return reason_; }

    json::OrderedJson toJSON() const;
    static Bye fromJSON(const json::Json& value);
    bool operator==(const Bye&) const = default;

private:
    Bye() = default;
    std::string type_;
    std::string sessionID_;
    std::string reason_;
};

// Carries nothing but its name, not even a session identifier.
class Wake {
public:
    Wake();

    const std::string& type() const { return type_; }

    json::OrderedJson toJSON() const;
    static Wake fromJSON(const json::Json& value);
    bool operator==(const Wake&) const = default;

private:
    struct Decoded {};
    explicit Wake(Decoded) {}
    std::string type_;
};

// Exactly one of the six messages: what an envelope link sends and receives. Its JSON is the
// carried message's own object, with nothing around it.
class SignallingMessage {
public:
    enum class Case { offer, answer, reject, candidate, bye, wake };
    using Payload = std::variant<Offer, Answer, Reject, Candidate, Bye, Wake>;

    SignallingMessage(Offer message) : payload_(std::move(message)) {}
    SignallingMessage(Answer message) : payload_(std::move(message)) {}
    SignallingMessage(Reject message) : payload_(std::move(message)) {}
    SignallingMessage(Candidate message) : payload_(std::move(message)) {}
    SignallingMessage(Bye message) : payload_(std::move(message)) {}
    SignallingMessage(Wake message) : payload_(std::move(message)) {}

    Case messageCase() const { return static_cast<Case>(payload_.index()); }
    // The case's name ("Offer", ... "Wake"), whatever the carried message's type field says.
    std::string_view typeName() const;

    const Payload& payload() const { return payload_; }
    // The carried message when it is an M, else null.
    template <class M>
    const M* get() const {
        return std::get_if<M>(&payload_);
    }

    json::OrderedJson toJSON() const;
    // Reads "type" first and decodes the object as the message it names; any other type is
    // dataCorrupted with the text "Unknown signalling type " followed by the type.
    static SignallingMessage fromJSON(const json::Json& value);

    // Compact JSON text, as sealed into an envelope. Throws EncodingError for a string that is
    // not UTF-8.
    std::string encode() const;
    // Parses one JSON document and decodes it; every failure is a DecodingError.
    static SignallingMessage decode(std::string_view text);
    static SignallingMessage decode(ByteView bytes);

    bool operator==(const SignallingMessage&) const = default;

private:
    Payload payload_;
};

}  // namespace quill
