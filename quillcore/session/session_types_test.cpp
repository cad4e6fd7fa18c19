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

// What users read; errors compare by case and payload.
TEST(SessionError, DescriptionsAreTheUserFacingTexts) {
    const std::pair<SessionError, std::string> all[] = {
        {SessionError::turnNotSupported("turn:relay.example:3478"),
         "This session needs a relay server, which Quillmate does not use."},
        {SessionError::sessionDescription("bad SDP line 3"), "bad SDP line 3"},
        {SessionError::rejected("busy"), "The host declined the session: busy"},
        {SessionError::unexpectedMessage("expected Offer"), "The host sent an invalid session response."},
        {SessionError::connectionFailed("ICE connection failed"), "The connection failed: ICE connection failed"},
        {SessionError::channelClosed("ctl"), "The ctl connection closed before the session opened."},
        {SessionError::controlMessage("WebRTC rejected the control message"), "WebRTC rejected the control message"},
        {SessionError::bulkFrameTooLarge(65537), "A file transfer frame was too large."},
        {SessionError::factoryUnavailable(), "WebRTC could not start on this device."},
        {SessionError::peerConnectionUnavailable(), "WebRTC could not start on this device."},
        {SessionError::gatheringTimedOut(), "No network path to the host could be found."},
        {SessionError::wrongSession(), "The host sent an invalid session response."},
        {SessionError::connectionTimedOut(), "The host did not accept the connection in time."},
        {SessionError::alreadyAccepted(), "This session has already been started."},
    };
    for (const auto& [error, text] : all) EXPECT_EQ(std::string(static_cast<const Error&>(error).what()), text);
    EXPECT_NE(SessionError::rejected("a"), SessionError::rejected("b"));
    EXPECT_NE(SessionError::rejected("a"), SessionError::connectionFailed("a"));
    EXPECT_NE(SessionError::bulkFrameTooLarge(65537), SessionError::bulkFrameTooLarge(70000));
}
