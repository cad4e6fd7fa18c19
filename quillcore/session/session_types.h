#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillcore/base/error.h"
#include "quillcore/signalling/session_mode.h"

namespace quill {

// The settings of one session; whoever starts a session supplies every value.
struct SessionConfiguration {
    SessionConfiguration(std::vector<std::string> iceServers, SessionMode requestedMode,
                         std::int64_t maximumVideoBitrateBps, std::int64_t videoFPS, std::int64_t preferredVideoWidth,
                         std::int64_t preferredVideoHeight, double gatheringTimeout, double negotiationTimeout,
                         double connectionTimeout)
        : iceServers(std::move(iceServers)), requestedMode(requestedMode),
          maximumVideoBitrateBps(maximumVideoBitrateBps), videoFPS(videoFPS),
          preferredVideoWidth(preferredVideoWidth), preferredVideoHeight(preferredVideoHeight),
          gatheringTimeout(gatheringTimeout), negotiationTimeout(negotiationTimeout),
          connectionTimeout(connectionTimeout) {}

    std::vector<std::string> iceServers;  // ICE server URLs; a TURN relay is refused by the core
    SessionMode requestedMode;
    std::int64_t maximumVideoBitrateBps;  // bits per second
    std::int64_t videoFPS;
    std::int64_t preferredVideoWidth;  // pixels
    std::int64_t preferredVideoHeight;
    double gatheringTimeout;  // seconds
    double negotiationTimeout;
    double connectionTimeout;

    bool operator==(const SessionConfiguration&) const = default;
};

// The kind of network path that carries a session; the raw string is what users see.
enum class SessionPath { lan, loopback, ipv6, holePunch, relay, unknown };

std::string_view rawValue(SessionPath path);
// Exact match of a raw string, letter case included.
std::optional<SessionPath> sessionPathFromRawValue(std::string_view text);

// One statistics sample of a running session.
class SessionStats {
public:
    SessionStats(SessionPath path, std::optional<double> roundTripTimeMs, double bitrateKbps, double fps,
                 double packetLoss, std::optional<std::string> codec)
        : path_(path), roundTripTimeMs_(roundTripTimeMs), bitrateKbps_(bitrateKbps), fps_(fps),
          packetLoss_(packetLoss), codec_(std::move(codec)) {}

    SessionPath path() const { return path_; }
    std::optional<double> roundTripTimeMs() const { return roundTripTimeMs_; }
    double bitrateKbps() const { return bitrateKbps_; }  // 1000 bit/s
    double fps() const { return fps_; }
    double packetLoss() const { return packetLoss_; }  // a fraction: 0 none, 1 all
    const std::optional<std::string>& codec() const { return codec_; }

    bool operator==(const SessionStats&) const = default;

private:
    SessionPath path_;
    std::optional<double> roundTripTimeMs_;
    double bitrateKbps_;
    double fps_;
    double packetLoss_;
    std::optional<std::string> codec_;
};

// The state a session reports; only `failed` carries a text (meant for the user).
class SessionConnectionState {
public:
    enum class Kind { failed, idle, connecting, connected, disconnected, closed };

    static SessionConnectionState failed(std::string message) { return {Kind::failed, std::move(message)}; }
    static SessionConnectionState idle() { return {Kind::idle, {}}; }
    static SessionConnectionState connecting() { return {Kind::connecting, {}}; }
    static SessionConnectionState connected() { return {Kind::connected, {}}; }
    static SessionConnectionState disconnected() { return {Kind::disconnected, {}}; }
    static SessionConnectionState closed() { return {Kind::closed, {}}; }

    Kind kind() const { return kind_; }
    bool is(Kind kind) const { return kind_ == kind; }
    // The failure text; empty for every other state.
    const std::string& message() const { return message_; }

    bool operator==(const SessionConnectionState&) const = default;

private:
    SessionConnectionState(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

// The errors of the session engine, each with a text for people.
class SessionError : public Error {
public:
    enum class Kind {
        turnNotSupported,    // url
        sessionDescription,  // message
        rejected,            // reason
        unexpectedMessage,   // detail (not shown)
        connectionFailed,    // detail
        channelClosed,       // channel label
        controlMessage,      // message
        bulkFrameTooLarge,   // size (not shown)
        factoryUnavailable,
        peerConnectionUnavailable,
        gatheringTimedOut,
        wrongSession,
        connectionTimedOut,
        alreadyAccepted,
    };

    static SessionError turnNotSupported(std::string url) { return {Kind::turnNotSupported, std::move(url), 0}; }
    static SessionError sessionDescription(std::string message) {
        return {Kind::sessionDescription, std::move(message), 0};
    }
    static SessionError rejected(std::string reason) { return {Kind::rejected, std::move(reason), 0}; }
    static SessionError unexpectedMessage(std::string detail) {
        return {Kind::unexpectedMessage, std::move(detail), 0};
    }
    static SessionError connectionFailed(std::string detail) { return {Kind::connectionFailed, std::move(detail), 0}; }
    static SessionError channelClosed(std::string label) { return {Kind::channelClosed, std::move(label), 0}; }
    static SessionError controlMessage(std::string message) { return {Kind::controlMessage, std::move(message), 0}; }
    static SessionError bulkFrameTooLarge(std::int64_t size) { return {Kind::bulkFrameTooLarge, {}, size}; }
    static SessionError factoryUnavailable() { return {Kind::factoryUnavailable, {}, 0}; }
    static SessionError peerConnectionUnavailable() { return {Kind::peerConnectionUnavailable, {}, 0}; }
    static SessionError gatheringTimedOut() { return {Kind::gatheringTimedOut, {}, 0}; }
    static SessionError wrongSession() { return {Kind::wrongSession, {}, 0}; }
    static SessionError connectionTimedOut() { return {Kind::connectionTimedOut, {}, 0}; }
    static SessionError alreadyAccepted() { return {Kind::alreadyAccepted, {}, 0}; }

    std::string description() const override;

    Kind kind() const { return kind_; }
    // The text payload (url, message, reason, detail or label); empty for the other cases.
    const std::string& text() const { return text_; }
    // The payload of bulkFrameTooLarge; 0 for the other cases.
    std::int64_t size() const { return size_; }

    bool operator==(const SessionError& other) const {
        return kind_ == other.kind_ && text_ == other.text_ && size_ == other.size_;
    }

private:
    SessionError(Kind kind, std::string text, std::int64_t size) : kind_(kind), text_(std::move(text)), size_(size) {}
    Kind kind_;
    std::string text_;
    std::int64_t size_;
};

}  // namespace quill

template <>
struct std::hash<quill::SessionPath> {
    std::size_t operator()(quill::SessionPath path) const noexcept {
        return std::hash<std::string_view>{}(quill::rawValue(path));
    }
};
