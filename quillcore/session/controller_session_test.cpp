// The controller session over real loopback TCP and real envelope links, on a scripted
// WebRTC layer.
#include <gtest/gtest.h>

#include <regex>

#include "quillcore/session/roles_test_support.h"

namespace quill {
namespace {

using namespace rolestest;

// Refuses candidates until a remote description is set, as WebRTC does.
class StrictPeerConnection : public fake::FakePeerConnection {
public:
    std::optional<std::string> addIceCandidate(const IceCandidate& c) override {
        bool remoteSet = false;
        {
            std::lock_guard l(mutex);
            for (const auto& call : calls)
                if (call.rfind("setRemoteDescription", 0) == 0) remoteSet = true;
        }
        if (!remoteSet) return std::string("no remote description");
        return FakePeerConnection::addIceCandidate(c);
    }
};

// A controller session, and the host's end of its connection, played by the test.
struct ControllerFixture {
    Devices devices;
    std::shared_ptr<fake::FakeProvider> provider = std::make_shared<fake::FakeProvider>();
    std::shared_ptr<StrictPeerConnection> pc = std::make_shared<StrictPeerConnection>();
    std::shared_ptr<ControllerSession> controller;
    FrameChannelPtr controllerChannel, hostChannel;
    std::unique_ptr<EnvelopeLink> host;
    std::unique_ptr<FakeConnector> connector;

    explicit ControllerFixture(SessionConfiguration config = configuration()) {
        provider->next = pc;
        controller = ControllerSession::make(devices.hostRecord, devices.controller, devices.controllerStore, config,
                                             provider);
        std::tie(controllerChannel, hostChannel) = connectedChannels();
        host = std::make_unique<EnvelopeLink>(hostChannel, devices.host, devices.hostStore);
        connector = std::make_unique<FakeConnector>(pc, controller->sessionCore(), false);
    }

    std::function<void()> starter() {
        return [this] { controller->start(controllerChannel); };
    }
    void send(const SignallingMessage& m) { host->send(m, devices.controllerRecord); }
    // A message sealed by another paired device, sent on this connection.
    void sendAsStranger(const SignallingMessage& m) {
        hostChannel->sendJSON(EnvelopeSealer::seal(m, devices.stranger, devices.controllerRecord).toJSON());
    }
    Offer offer() {
        auto opened = host->next(5);
        if (!opened || !opened->message.get<Offer>()) throw std::runtime_error("no Offer from the controller");
        return *opened->message.get<Offer>();
    }
    bool controllerHungUp() {
        try {
            host->next(5);
            return false;
        } catch (const FrameChannelError& e) {
            // A socket closed with unread data in it resets the connection.
            return e.kind == FrameChannelError::Kind::connectionClosed || e.kind == FrameChannelError::Kind::network;
        }
    }
    // Negotiates to a running session.
    std::string connect() {
        Background start(starter());
        const Offer o = offer();
        send(Answer(o.sessionID(), "answer-sdp", {"clipboard", "files"}));
        start.get();
        return o.sessionID();
    }
};

TEST(ControllerSession, OffersAppliesTheAnswerAndRunsUntilTheChannelsOpen) {
    ControllerFixture f(configuration(SessionMode::view));
    Background start(f.starter());
    const Offer o = f.offer();
    EXPECT_TRUE(std::regex_match(o.sessionID(), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << o.sessionID();
    EXPECT_EQ(o, Offer(o.sessionID(), "gathered-sdp", SessionMode::view, {"clipboard", "files"}));
    EXPECT_EQ(f.controller->sessionID(), o.sessionID());
    EXPECT_EQ(f.controller->sessionCore()->sessionID(), o.sessionID());
    EXPECT_EQ(errorOf<SessionError>([&] { f.controller->start(connectedChannels().first); }),
              SessionError::unexpectedMessage("session already started"));

    f.send(Answer(o.sessionID(), "answer-sdp", {}));
    start.get();
    EXPECT_TRUE(f.controller->connectionState().is(SessionConnectionState::Kind::connected));
    {
        std::lock_guard l(f.pc->mutex);
        EXPECT_NE(std::find(f.pc->calls.begin(), f.pc->calls.end(), "setRemoteDescription answer-sdp"),
                  f.pc->calls.end());
    }
    // Two sessions never share an identifier.
    ControllerFixture g;
    EXPECT_NE(g.connect(), o.sessionID());
}

TEST(ControllerSession, CandidatesBeforeTheAnswerAreAppliedAfterIt) {
    ControllerFixture f;
    Background start(f.starter());
    const Offer o = f.offer();
    f.send(Candidate(o.sessionID(), "candidate:early", "0", 0));
    f.send(Candidate("another session", "candidate:foreign", "0", 0));
    f.send(Wake());
    // A host that floods candidates gets only so many kept.
    const std::size_t limit = SessionCore::kMaxRemoteCandidates;
    for (std::size_t i = 1; i < limit + 20; ++i) f.send(Candidate(o.sessionID(), "candidate:" + std::to_string(i), "0", 0));
    f.send(Answer(o.sessionID(), "answer-sdp", {}));
    start.get();
    {
        std::lock_guard l(f.pc->mutex);
        ASSERT_EQ(f.pc->candidates.size(), limit);
        EXPECT_EQ(f.pc->candidates[0].sdp, "candidate:early");
        EXPECT_EQ(f.pc->candidates[limit - 1].sdp, "candidate:" + std::to_string(limit - 1));
    }
    // Later candidates go through the pump.
    f.send(Candidate(o.sessionID(), "candidate:late", "0", 0));
    const auto deadline = Clock::now() + 5s;
    for (;;) {
        {
            std::lock_guard l(f.pc->mutex);
            if (f.pc->candidates.size() == limit + 1 || Clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(5ms);
    }
    std::lock_guard l(f.pc->mutex);
    ASSERT_EQ(f.pc->candidates.size(), limit + 1);
    EXPECT_EQ(f.pc->candidates[limit].sdp, "candidate:late");
}

TEST(ControllerSession, RepliesForAnotherSessionOrARefusalEndTheStart) {
    struct Case {
        std::function<SignallingMessage(const std::string& id)> reply;
        SessionError expected;
    };
    const std::vector<Case> cases{
        {[](const std::string&) { return SignallingMessage(Answer("other", "sdp", {})); },
         SessionError::wrongSession()},
        {[](const std::string&) { return SignallingMessage(Reject("other", "no")); }, SessionError::wrongSession()},
        {[](const std::string&) { return SignallingMessage(Bye("other", "no")); }, SessionError::wrongSession()},
        {[](const std::string& id) { return SignallingMessage(Reject(id, "view permission denied")); },
         SessionError::rejected("view permission denied")},
        {[](const std::string& id) { return SignallingMessage(Bye(id, "host is busy")); },
         SessionError::rejected("host is busy")},
        // Session identifiers are compared exactly.
        {[](const std::string& id) {
             std::string lower = id;
             for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
             return SignallingMessage(Answer(lower, "sdp", {}));
         },
         SessionError::wrongSession()},
    };
    for (const Case& c : cases) {
        ControllerFixture f;
        Background start(f.starter());
        const Offer o = f.offer();
        f.send(c.reply(o.sessionID()));
        const SessionError e = errorOf<SessionError>([&] { start.get(); });
        EXPECT_EQ(e, c.expected);
        EXPECT_TRUE(f.controllerHungUp());
        EXPECT_TRUE(f.controller->states->isFinished());
    }
    ControllerFixture f;
    Background start(f.starter());
    f.send(Reject(f.offer().sessionID(), "view permission denied"));
    EXPECT_EQ(errorOf<SessionError>([&] { start.get(); }).description(),
              "The host declined the session: view permission denied");
}

TEST(ControllerSession, OnlyTheHostMaySpeakForTheSession) {
    ControllerFixture f;
    Background start(f.starter());
    const Offer o = f.offer();
    // A paired device, but not this session's host, even with the right identifier.
    f.sendAsStranger(Answer(o.sessionID(), "answer-sdp", {}));
    EXPECT_EQ(errorOf<EnvelopeError>([&] { start.get(); }), EnvelopeError::unknownSender());
    EXPECT_TRUE(f.controllerHungUp());
}

TEST(ControllerSession, StaleAndReplayedEnvelopesEndTheStartWithTheReceiversError) {
    {
        ControllerFixture f;
        Background start(f.starter());
        const Offer o = f.offer();
        const SystemTime old = std::chrono::system_clock::now() - 61s;
        f.hostChannel->sendJSON(
            EnvelopeSealer::seal(Answer(o.sessionID(), "sdp", {}), f.devices.host, f.devices.controllerRecord, old)
                .toJSON());
        EXPECT_EQ(errorOf<EnvelopeError>([&] { start.get(); }), EnvelopeError::staleTimestamp());
        EXPECT_TRUE(f.controllerHungUp());
    }
    {
        ControllerFixture f;
        Background start(f.starter());
        const Offer o = f.offer();
        const Envelope candidate =
            EnvelopeSealer::seal(Candidate(o.sessionID(), "candidate:1", "0", 0), f.devices.host, f.devices.controllerRecord);
        f.hostChannel->sendJSON(candidate.toJSON());
        f.hostChannel->sendJSON(candidate.toJSON());
        EXPECT_EQ(errorOf<EnvelopeError>([&] { start.get(); }), EnvelopeError::replayed());
        EXPECT_TRUE(f.controllerHungUp());
    }
}

TEST(ControllerSession, TheWaitForTheAnswerEndsAtItsDeadline) {
    {
        // No time at all: the Offer still goes out, then the start fails.
        ControllerFixture f(configuration(SessionMode::control, 0));
        Background start(f.starter());
        const Offer o = f.offer();
        EXPECT_EQ(errorOf<SessionError>([&] { start.get(); }), SessionError::connectionTimedOut());
        EXPECT_TRUE(f.controllerHungUp());
    }
    {
        // Offers and wakes do not move the deadline.
        ControllerFixture f(configuration(SessionMode::control, 0.5));
        const auto started = Clock::now();
        Background start(f.starter());
        f.offer();
        f.send(Wake());
        f.send(Offer("x", "sdp", SessionMode::control, {}));
        std::this_thread::sleep_for(200ms);
        f.send(Wake());
        const SessionError e = errorOf<SessionError>([&] { start.get(); });
        EXPECT_EQ(e, SessionError::connectionTimedOut());
        EXPECT_EQ(e.description(), "The host did not accept the connection in time.");
        EXPECT_GE(secondsSince(started), 0.45);
        EXPECT_LT(secondsSince(started), 3.0);
    }
    {
        // A host that hangs up without a word.
        ControllerFixture f;
        Background start(f.starter());
        f.offer();
        f.hostChannel->close();
        EXPECT_EQ(errorOf<FrameChannelError>([&] { start.get(); }), FrameChannelError::connectionClosed());
    }
}

TEST(ControllerSession, CloseBeforeStartSendsNothing) {
    ControllerFixture f;
    f.controller->close("never mind");
    EXPECT_TRUE(f.controller->states->isFinished());
    EXPECT_TRUE(f.controller->messages->isFinished());
    EXPECT_TRUE(f.controller->bulkMessages->isFinished());
    EXPECT_FALSE(f.host->next(0.3));
}

TEST(ControllerSession, CloseDuringTheWaitForTheAnswerEndsTheStart) {
    ControllerFixture f(configuration(SessionMode::control, 60));
    Background start(f.starter());
    const Offer o = f.offer();
    f.controller->close("changed my mind");
    EXPECT_TRUE(start.finishedWithin(3s));
    EXPECT_THROW(start.get(), Error);
    auto bye = f.host->next(5);
    ASSERT_TRUE(bye && bye->message.get<Bye>());
    EXPECT_EQ(*bye->message.get<Bye>(), Bye(o.sessionID(), "changed my mind"));
    EXPECT_TRUE(f.controllerHungUp());
}

TEST(ControllerSession, EndingTheRunningSessionFromEitherSide) {
    {
        ControllerFixture f;
        const std::string id = f.connect();
        f.controller->close("controller done");
        auto bye = f.host->next(5);
        ASSERT_TRUE(bye && bye->message.get<Bye>());
        EXPECT_EQ(*bye->message.get<Bye>(), Bye(id, "controller done"));
        EXPECT_TRUE(f.controllerHungUp());
        EXPECT_TRUE(waitForState(f.controller->states, SessionConnectionState::Kind::closed));
        f.controller->close("again");  // harmless
    }
    {
        ControllerFixture f;
        const std::string id = f.connect();
        f.send(Bye(id, "host user ended it"));
        SessionConnectionState failed = SessionConnectionState::idle();
        ASSERT_TRUE(waitForState(f.controller->states, SessionConnectionState::Kind::failed, &failed));
        EXPECT_EQ(failed.message(), "The host ended the session: host user ended it");
        EXPECT_TRUE(f.controllerHungUp());
    }
    {
        // Dropped without close(): the connection still ends, without a Bye.
        ControllerFixture f;
        f.connect();
        auto states = f.controller->states;
        f.connector.reset();
        f.controller.reset();
        EXPECT_TRUE(f.controllerHungUp());
        EXPECT_TRUE(waitForState(states, SessionConnectionState::Kind::closed));
    }
}

TEST(ControllerSession, PortZeroIsRefusedWithoutStarting) {
    ControllerFixture f;
    EXPECT_THROW(f.controller->start(std::uint16_t{0}), FrameChannelError);
    // Nothing was started, so a real start may still follow.
    EXPECT_FALSE(f.controller->sessionID());
}

}  // namespace
}  // namespace quill
