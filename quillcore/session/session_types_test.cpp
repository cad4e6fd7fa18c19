#include <gtest/gtest.h>

#include "quillcore/session/session_types.h"

using namespace quill;

TEST(SessionPath, RawStringsMatchExactly) {
    const std::pair<SessionPath, const char*> all[] = {
        {SessionPath::lan, "LAN"},          {SessionPath::loopback, "loopback"}, {SessionPath::ipv6, "IPv6 direct"},
        {SessionPath::holePunch, "hole punch"}, {SessionPath::relay, "relay"},    {SessionPath::unknown, "unknown"}};
    for (auto [path, text] : all) {
        EXPECT_EQ(rawValue(path), text);
        EXPECT_EQ(sessionPathFromRawValue(text), path);
    }
    for (const char* other : {"lan", "Lan", "ipv6 direct", "IPv6", "Loopback", "hole-punch", "", "LAN "})
        EXPECT_FALSE(sessionPathFromRawValue(other)) << other;
}

TEST(SessionError, DescriptionsAreTheUserFacingTexts) {
    const std::pair<SessionError, std::string> all[] = {
        {SessionError::turnNotSupported("turn:relay.example:3478"),
         "This session needs a relay server, which Quillmate does not use."},
        {SessionError::sessionDescription("bad SDP line 3"), "bad SDP line 3"},
        {SessionError::sessionDescription(""), ""},
        {SessionError::rejected("busy"), "The host declined the session: busy"},
        {SessionError::rejected(""), "The host declined the session: "},
        {SessionError::unexpectedMessage("expected Offer"), "The host sent an invalid session response."},
        {SessionError::connectionFailed("ICE connection failed"), "The connection failed: ICE connection failed"},
        {SessionError::channelClosed("ctl"), "The ctl connection closed before the session opened."},
        {SessionError::controlMessage("WebRTC rejected the control message"), "WebRTC rejected the control message"},
        {SessionError::controlMessage(""), ""},
        {SessionError::bulkFrameTooLarge(65537), "A file transfer frame was too large."},
        {SessionError::factoryUnavailable(), "WebRTC could not start on this device."},
        {SessionError::peerConnectionUnavailable(), "WebRTC could not start on this device."},
        {SessionError::gatheringTimedOut(), "No network path to the host could be found."},
        {SessionError::wrongSession(), "The host sent an invalid session response."},
        {SessionError::connectionTimedOut(), "The host did not accept the connection in time."},
        {SessionError::alreadyAccepted(), "This session has already been started."},
    };
    for (const auto& [error, text] : all) {
        EXPECT_EQ(error.description(), text);
        // Thrown as a framework error, it says the same.
        try {
            throw error;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), text);
        }
    }
}

TEST(SessionError, EqualityIsCaseAndPayload) {
    EXPECT_NE(SessionError::unexpectedMessage("expected Offer"), SessionError::wrongSession());
    EXPECT_NE(SessionError::factoryUnavailable(), SessionError::peerConnectionUnavailable());
    EXPECT_EQ(SessionError::rejected("a"), SessionError::rejected("a"));
    EXPECT_NE(SessionError::rejected("a"), SessionError::rejected("b"));
    EXPECT_NE(SessionError::rejected("a"), SessionError::connectionFailed("a"));
    EXPECT_NE(SessionError::bulkFrameTooLarge(65537), SessionError::bulkFrameTooLarge(70000));
    EXPECT_NE(SessionError::sessionDescription(""), SessionError::controlMessage(""));

    using S = SessionConnectionState;
    EXPECT_EQ(S::failed("a"), S::failed("a"));
    EXPECT_NE(S::failed("a"), S::failed("b"));
    EXPECT_NE(S::failed(""), S::closed());
    for (S other : {S::idle(), S::connecting(), S::connected(), S::disconnected()}) EXPECT_NE(other, S::closed());
}

TEST(SessionStats, AbsentValuesCompareAsValues) {
    SessionStats a(SessionPath::lan, std::nullopt, 1200.5, 60, 0.01, std::nullopt);
    EXPECT_EQ(a, SessionStats(SessionPath::lan, std::nullopt, 1200.5, 60, 0.01, std::nullopt));
    EXPECT_NE(a, SessionStats(SessionPath::lan, 0.0, 1200.5, 60, 0.01, std::nullopt));
    EXPECT_NE(a, SessionStats(SessionPath::lan, std::nullopt, 1200.5, 60, 0.01, "H264"));
    EXPECT_NE(a, SessionStats(SessionPath::loopback, std::nullopt, 1200.5, 60, 0.01, std::nullopt));
    // Floats compare numerically.
    EXPECT_EQ(SessionStats(SessionPath::lan, -0.0, 0.0, 0, 0, "H264"),
              SessionStats(SessionPath::lan, 0.0, -0.0, 0, 0, "H264"));
}

TEST(SessionConfiguration, ComparesAllNineFields) {
    const SessionConfiguration base({}, SessionMode::control, 12'000'000, 60, 1920, 1080, 10, 15, 20);
    SessionConfiguration copy = base;
    EXPECT_EQ(copy, base);
    copy.connectionTimeout = 20.5;
    EXPECT_NE(copy, base);
    copy = base;
    copy.requestedMode = SessionMode::view;
    EXPECT_NE(copy, base);
    copy = base;
    copy.iceServers = {"stun:a", "stun:b"};
    SessionConfiguration reordered = base;
    reordered.iceServers = {"stun:b", "stun:a"};
    EXPECT_NE(copy, reordered);
}
