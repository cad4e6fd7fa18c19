#include "quillcore/session/session_types.h"

namespace quill {

std::string_view rawValue(SessionPath path) {
    switch (path) {
        case SessionPath::lan: return "LAN";
        case SessionPath::loopback: return "loopback";
        case SessionPath::ipv6: return "IPv6 direct";
        case SessionPath::holePunch: return "hole punch";
        case SessionPath::relay: return "relay";
        case SessionPath::unknown: return "unknown";
    }
    return "unknown";
}

std::optional<SessionPath> sessionPathFromRawValue(std::string_view text) {
    for (SessionPath path : {SessionPath::lan, SessionPath::loopback, SessionPath::ipv6, SessionPath::holePunch,
                             SessionPath::relay, SessionPath::unknown}) {
        if (rawValue(path) == text) return path;
    }
    return std::nullopt;
}

std::string SessionError::description() const {
    switch (kind_) {
        case Kind::turnNotSupported: return "This session needs a relay server, which Quillmate does not use.";
        case Kind::sessionDescription: return text_;
        case Kind::rejected: return "The host declined the session: " + text_;
        case Kind::unexpectedMessage: return "The host sent an invalid session response.";
        case Kind::connectionFailed: return "The connection failed: " + text_;
        case Kind::channelClosed: return "The " + text_ + " connection closed before the session opened.";
        case Kind::controlMessage: return text_;
        case Kind::bulkFrameTooLarge: return "A file transfer frame was too large.";
        case Kind::factoryUnavailable: return "WebRTC could not start on this device.";
        case Kind::peerConnectionUnavailable: return "WebRTC could not start on this device.";
        case Kind::gatheringTimedOut: return "No network path to the host could be found.";
        case Kind::wrongSession: return "The host sent an invalid session response.";
        case Kind::connectionTimedOut: return "The host did not accept the connection in time.";
        case Kind::alreadyAccepted: return "This session has already been started.";
    }
    return "The session failed.";
}

}  // namespace quill
