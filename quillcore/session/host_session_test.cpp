// The host session over real loopback TCP and real envelope links, on a scripted WebRTC layer.
#include <gtest/gtest.h>

#include "quillcore/session/roles_test_support.h"

namespace quill {
namespace {

using namespace rolestest;

// A host session, and the controller's end of its connection, played by the test.
struct HostFixture {
    Devices devices;
    std::shared_ptr<fake::FakeProvider> provider = std::make_shared<fake::FakeProvider>();
    std::shared_ptr<fake::FakePeerConnection> pc = provider->next;
    std::shared_ptr<HostSession> host;
    FrameChannelPtr controllerChannel, hostChannel;
    std::unique_ptr<EnvelopeLink> controller;
    std::unique_ptr<FakeConnector> connector;

    explicit HostFixture(PeerPermissions permissions = PeerPermissions::defaults(),
                         SessionConfiguration config = configuration())
        : devices(permissions) {
        host = HostSession::make(devices.host, devices.hostStore, config, provider);
        std::tie(controllerChannel, hostChannel) = connectedChannels();
        controller = std::make_unique<EnvelopeLink>(controllerChannel, devices.controller, devices.controllerStore);
        connector = std::make_unique<FakeConnector>(pc, host->sessionCore(), true);
    }

    void send(const SignallingMessage& m) { controller->send(m, devices.hostRecord); }
    // What the host said next; fails the test when it said nothing in time.
    SignallingMessage reply() {
        auto opened = controller->next(5);
        if (!opened) throw std::runtime_error("no reply from the host");
        return opened->message;
    }
    // The controller's end sees the host hang up (after anything it had sent).
    bool hostHungUp() {
        try {
            controller->next(5);
            return false;
        } catch (const FrameChannelError& e) {
            // A socket closed with unread data in it resets the connection.
            return e.kind == FrameChannelError::Kind::connectionClosed || e.kind == FrameChannelError::Kind::network;
        }
    }
    std::function<void()> runner() {
        return [this] { host->run(hostChannel); };
    }
    // Negotiates to a running session with an Offer of `mode`.
    void connect(SessionMode mode, const std::string& id = "S-1") {
        Background run(runner());
        send(Offer(id, "offer-sdp", mode, {"clipboard", "files"}));
        const SignallingMessage answer = reply();
        ASSERT_TRUE(answer.get<Answer>()) << answer.typeName();
        run.get();
    }
};

TEST(HostSession, AnswersAPermittedOfferAndRunsUntilTheChannelsOpen) {
    HostFixture f;
    Background run(f.runner());
    f.send(Offer("S-42", "offer-sdp", SessionMode::control, {"clipboard"}));
    const SignallingMessage answer = f.reply();
    ASSERT_TRUE(answer.get<Answer>());
    EXPECT_EQ(*answer.get<Answer>(), Answer("S-42", "gathered-sdp", {"clipboard", "files"}));
    // Only one run per session, and a refused second run leaves the first alone.
    EXPECT_EQ(errorOf<SessionError>([&] { f.host->run(connectedChannels().second); }),
              SessionError::alreadyAccepted());
    run.get();

    EXPECT_TRUE(f.host->connectionState().is(SessionConnectionState::Kind::connected));
    EXPECT_EQ(f.host->peer(), f.devices.controllerRecord);
    EXPECT_EQ(f.host->sessionID(), "S-42");
    EXPECT_EQ(f.host->sessionCore()->sessionID(), "S-42");
    {
        std::lock_guard l(f.pc->mutex);
        ASSERT_FALSE(f.pc->calls.empty());
        EXPECT_EQ(f.pc->calls.front(), "setRemoteDescription offer-sdp");
    }
    // The pump reads the link now: a candidate of this session reaches the peer connection.
    // The foreign one goes first: once the other arrived, it has been handled.
    f.send(Candidate("S-other", "candidate:2", "0", 0));
    f.send(Candidate("S-42", "candidate:1 1 udp 1 127.0.0.1 9 typ host", "0", 0));
    const auto deadline = Clock::now() + 5s;
    for (;;) {
        {
            std::lock_guard l(f.pc->mutex);
            if (!f.pc->candidates.empty() || Clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(5ms);
    }
    std::lock_guard l(f.pc->mutex);
    ASSERT_EQ(f.pc->candidates.size(), 1u);
    EXPECT_EQ(f.pc->candidates[0].sdp, "candidate:1 1 udp 1 127.0.0.1 9 typ host");
}

TEST(HostSession, WaitsOnceForTheOfferAndNoLongerThanTheNegotiationTimeout) {
    for (double timeout : {0.0, -1.0}) {
        HostFixture f(PeerPermissions::defaults(), configuration(SessionMode::control, timeout));
        // Nothing is read: an Offer already there makes no difference.
        f.send(Offer("S-1", "offer-sdp", SessionMode::control, {}));
        EXPECT_EQ(errorOf<SessionError>([&] { f.host->run(f.hostChannel); }), SessionError::connectionTimedOut());
        EXPECT_TRUE(f.hostHungUp());
        EXPECT_TRUE(f.host->states->isFinished());
    }
    {
        // Less than the minimum left still waits the minimum.
        HostFixture f(PeerPermissions::defaults(), configuration(SessionMode::control, 0.001));
        const auto started = Clock::now();
        const SessionError e = errorOf<SessionError>([&] { f.host->run(f.hostChannel); });
        EXPECT_EQ(e, SessionError::connectionTimedOut());
        EXPECT_EQ(e.description(), "The host did not accept the connection in time.");
        EXPECT_GE(secondsSince(started), 0.045);
        EXPECT_LT(secondsSince(started), 2.0);
    }
    {
        HostFixture f(PeerPermissions::defaults(), configuration(SessionMode::control, 0.3));
        const auto started = Clock::now();
        EXPECT_EQ(errorOf<SessionError>([&] { f.host->run(f.hostChannel); }), SessionError::connectionTimedOut());
        EXPECT_GE(secondsSince(started), 0.28);
        EXPECT_LT(secondsSince(started), 3.0);
        EXPECT_TRUE(f.hostHungUp());
    }
}

TEST(HostSession, AFirstMessageOtherThanAnOfferEndsTheRun) {
    struct Case {
        SignallingMessage first;
        SessionError expected;
    };
    const std::vector<Case> cases{
        {Bye("S-1", "changed my mind"), SessionError::rejected("changed my mind")},
        {Candidate("S-1", "candidate:1", "0", 0), SessionError::unexpectedMessage("expected Offer")},
        {Answer("S-1", "sdp", {}), SessionError::unexpectedMessage("expected Offer")},
        {Reject("S-1", "no"), SessionError::unexpectedMessage("expected Offer")},
        {Wake(), SessionError::unexpectedMessage("expected Offer")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first.typeName()));
        HostFixture f;
        f.send(c.first);
        const SessionError e = errorOf<SessionError>([&] { f.host->run(f.hostChannel); });
        EXPECT_EQ(e, c.expected);
        // No reply of any kind, and the connection is closed.
        EXPECT_TRUE(f.hostHungUp());
        EXPECT_FALSE(f.host->peer());
        EXPECT_TRUE(f.host->states->isFinished());
    }
    HostFixture f;
    f.send(Bye("S-1", "changed my mind"));
    EXPECT_EQ(errorOf<SessionError>([&] { f.host->run(f.hostChannel); }).description(),
              "The host declined the session: changed my mind");
}

TEST(HostSession, AControllerWithoutViewPermissionIsRejectedAndNothingIsRecorded) {
    PeerPermissions noView = PeerPermissions::defaults();
    noView.view = false;
    HostFixture f(noView);
    Background run(f.runner());
    f.send(Offer("S-mine", "offer-sdp", SessionMode::control, {}));
    const SignallingMessage reply = f.reply();
    ASSERT_TRUE(reply.get<Reject>()) << reply.typeName();
    EXPECT_EQ(*reply.get<Reject>(), Reject("S-mine", "view permission denied"));
    EXPECT_EQ(errorOf<SessionError>([&] { run.get(); }), SessionError::rejected("view permission denied"));
    EXPECT_TRUE(f.hostHungUp());
    EXPECT_FALSE(f.host->peer());
    EXPECT_FALSE(f.host->sessionID());
    EXPECT_FALSE(f.host->sessionCore()->sessionID());
    {
        std::lock_guard l(f.pc->mutex);
        EXPECT_TRUE(f.pc->calls.empty()) << "the offer must not reach WebRTC";
    }
    f.host->close("bye");  // no session identifier: no Bye
    EXPECT_TRUE(f.hostHungUp());
}

TEST(HostSession, TheRejectIsStillThrownWhenItCannotBeSent) {
    PeerPermissions noView = PeerPermissions::defaults();
    noView.view = false;
    HostFixture f(noView);
    f.send(Offer("S-mine", "offer-sdp", SessionMode::control, {}));
    f.controllerChannel->close();  // the controller hung up right after its Offer
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(errorOf<SessionError>([&] { f.host->run(f.hostChannel); }),
              SessionError::rejected("view permission denied"));
}

TEST(HostSession, EnvelopesThatDoNotOpenEndTheRunWithTheReceiversError) {
    {
        // Sealed by a device the host never paired with.
        HostFixture f;
        f.devices.hostStore->remove(f.devices.stranger.fingerprint());
        f.controllerChannel->sendJSON(EnvelopeSealer::seal(Offer("S-1", "sdp", SessionMode::control, {}),
                                                           f.devices.stranger, f.devices.hostRecord)
                                          .toJSON());
        EXPECT_EQ(errorOf<EnvelopeError>([&] { f.host->run(f.hostChannel); }), EnvelopeError::unknownSender());
        EXPECT_TRUE(f.hostHungUp());
    }
    {
        // Sealed two minutes ago.
        HostFixture f;
        const SystemTime old = std::chrono::system_clock::now() - 120s;
        f.controllerChannel->sendJSON(EnvelopeSealer::seal(Offer("S-1", "sdp", SessionMode::control, {}),
                                                           f.devices.controller, f.devices.hostRecord, old)
                                          .toJSON());
        EXPECT_EQ(errorOf<EnvelopeError>([&] { f.host->run(f.hostChannel); }), EnvelopeError::staleTimestamp());
        EXPECT_TRUE(f.hostHungUp());
    }
    {
        // Not an envelope at all.
        HostFixture f;
        f.controllerChannel->send(toBytes("hello"));
        EXPECT_THROW(f.host->run(f.hostChannel), DecodingError);
        EXPECT_TRUE(f.hostHungUp());
    }
}

TEST(HostSession, AReplayedEnvelopeFailsTheRunningSession) {
    HostFixture f;
    f.connect(SessionMode::control, "S-1");
    const Envelope candidate = EnvelopeSealer::seal(Candidate("S-1", "candidate:1", "0", 0), f.devices.controller,
                                                    f.devices.hostRecord);
    f.controllerChannel->sendJSON(candidate.toJSON());
    f.controllerChannel->sendJSON(candidate.toJSON());
    SessionConnectionState failed = SessionConnectionState::idle();
    ASSERT_TRUE(waitForState(f.host->states, SessionConnectionState::Kind::failed, &failed));
    EXPECT_EQ(failed.message(), EnvelopeError::replayed().description());
    EXPECT_TRUE(f.hostHungUp());
    EXPECT_EQ(readThrough(f.host->messages, "-"), std::vector<std::string>{"<ended>"});
}

// Which control messages pass the host for each permission and Offer mode, and how a Hello
// changes that.
struct FilterCase {
    bool controlPermission;
    SessionMode mode;
    std::vector<std::string> expected;
    std::size_t diagnostics;
};

class HostSessionFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(HostSessionFilter, InputPassesOnlyWithControlPermissionAndAControlSession) {
    const FilterCase& c = GetParam();
    DiagnosticCapture diagnostics;
    PeerPermissions permissions = PeerPermissions::defaults();
    permissions.control = c.controlPermission;
    HostFixture f(permissions);
    f.connect(c.mode);

    Quillmate_V0_Envelope stats;
    stats.mutable_stats()->set_fps(30);
    for (const auto& m : {keyEvent(4), pointerEvent(10), scrollEvent(3), stats, Quillmate_V0_Envelope(), ping(1),
                          keyEvent(44), hello(false), keyEvent(5), pointerEvent(12), hello(true), keyEvent(6),
                          pointerEvent(11), scrollEvent(7), pong(9), ping(2)})
        f.connector->receiveControl(m);
    EXPECT_EQ(readThrough(f.host->messages, "ping 2"), c.expected);
    EXPECT_EQ(diagnostics.count("QuillCore: dropping keyboard and pointer input for Controller because the session is "
                                "view-only or the peer lacks control permission"),
              c.diagnostics);
}

INSTANTIATE_TEST_SUITE_P(
    Permutations, HostSessionFilter,
    ::testing::Values(
        FilterCase{true, SessionMode::control,
                   {"key 4", "pointer 10", "scroll 3", "other 15", "empty", "ping 1", "key 44", "hello control",
                    "key 5", "pointer 12", "hello view", "pong 9", "ping 2"},
                   1},
        FilterCase{true, SessionMode::view,
                   {"other 15", "empty", "ping 1", "hello control", "key 5", "pointer 12", "hello view", "pong 9",
                    "ping 2"},
                   2},
        FilterCase{false, SessionMode::control,
                   {"other 15", "empty", "ping 1", "hello control", "hello view", "pong 9", "ping 2"}, 3},
        FilterCase{false, SessionMode::view,
                   {"other 15", "empty", "ping 1", "hello control", "hello view", "pong 9", "ping 2"}, 3}),
    [](const ::testing::TestParamInfo<FilterCase>& info) {
        return std::string(info.param.controlPermission ? "ControlPermission" : "NoControlPermission") +
               (info.param.mode == SessionMode::control ? "ControlOffer" : "ViewOffer");
    });

TEST(HostSession, CloseSaysByeOnceAndEndsEverything) {
    HostFixture f;
    f.connect(SessionMode::control, "S-7");
    f.host->close("session ended by the host user");
    const SignallingMessage bye = f.reply();
    ASSERT_TRUE(bye.get<Bye>()) << bye.typeName();
    EXPECT_EQ(*bye.get<Bye>(), Bye("S-7", "session ended by the host user"));
    EXPECT_TRUE(f.hostHungUp());
    EXPECT_TRUE(waitForState(f.host->states, SessionConnectionState::Kind::closed));
    EXPECT_FALSE(nextWithin(f.host->messages, 1));
    EXPECT_TRUE(f.host->messages->isFinished());
    EXPECT_TRUE(f.host->bulkMessages->isFinished());
    // Again: the Bye fails quietly on the closed link; what was recorded stays.
    f.host->close("again");
    EXPECT_EQ(f.host->sessionID(), "S-7");
    EXPECT_EQ(f.host->peer(), f.devices.controllerRecord);
    EXPECT_THROW(f.host->sendControl(ping(1)), SessionError);
}

TEST(HostSession, CloseBeforeRunSendsNothingAndEndsTheStreams) {
    HostFixture f;
    f.host->close("never mind");
    EXPECT_TRUE(f.host->messages->isFinished());
    EXPECT_TRUE(f.host->states->isFinished());
    EXPECT_TRUE(f.host->bulkMessages->isFinished());
    // A run after that ends at once without negotiating.
    f.send(Offer("S-1", "offer-sdp", SessionMode::control, {}));
    const auto started = Clock::now();
    EXPECT_ANY_THROW(f.host->run(f.hostChannel));
    EXPECT_LT(secondsSince(started), 2.0);
    EXPECT_TRUE(f.hostHungUp());
}

TEST(HostSession, CloseDuringTheWaitForTheOfferEndsTheRunAtOnce) {
    HostFixture f(PeerPermissions::defaults(), configuration(SessionMode::control, 60));
    Background run(f.runner());
    std::this_thread::sleep_for(100ms);
    const auto started = Clock::now();
    f.host->close("stop");
    EXPECT_TRUE(run.finishedWithin(3s));
    EXPECT_EQ(errorOf<SessionError>([&] { run.get(); }), SessionError::connectionTimedOut());
    EXPECT_LT(secondsSince(started), 3.0);
    EXPECT_TRUE(f.hostHungUp());
}

TEST(HostSession, TheControllersByeClosesTheCoreAndEndsMessages) {
    HostFixture f;
    f.connect(SessionMode::control, "S-9");
    f.send(Bye("S-other", "not this one"));
    f.connector->receiveControl(ping(1));
    EXPECT_EQ(readThrough(f.host->messages, "ping 1"), std::vector<std::string>{"ping 1"});
    f.send(Bye("S-9", "done"));
    SessionConnectionState seen = SessionConnectionState::idle();
    EXPECT_TRUE(waitForState(f.host->states, SessionConnectionState::Kind::closed, &seen));
    // The filter sees the core's stream end and ends the session's.
    EXPECT_EQ(readThrough(f.host->messages, "-", 5), std::vector<std::string>{"<ended>"});
    EXPECT_TRUE(f.host->connectionState().is(SessionConnectionState::Kind::closed));
}

TEST(HostSession, AnotherPairedDeviceCannotEndTheSessionOrAddCandidates) {
    HostFixture f;
    f.connect(SessionMode::control, "S-5");
    auto fromStranger = [&](const SignallingMessage& m) {
        f.controllerChannel->sendJSON(EnvelopeSealer::seal(m, f.devices.stranger, f.devices.hostRecord).toJSON());
    };
    fromStranger(Candidate("S-5", "candidate:stranger", "0", 0));
    fromStranger(Bye("S-5", "not yours"));
    f.send(Candidate("S-5", "candidate:controller", "0", 0));
    const Deadline limit = Deadline::after(5);
    auto applied = [&] {
        std::lock_guard l(f.pc->mutex);
        return f.pc->candidates.size();
    };
    while (applied() == 0 && !limit.expired()) std::this_thread::sleep_for(5ms);
    {
        std::lock_guard l(f.pc->mutex);
        ASSERT_EQ(f.pc->candidates.size(), 1u);
        EXPECT_EQ(f.pc->candidates[0].sdp, "candidate:controller");
    }
    EXPECT_TRUE(f.host->connectionState().is(SessionConnectionState::Kind::connected));
    f.send(Bye("S-5", "done"));
    EXPECT_TRUE(waitForState(f.host->states, SessionConnectionState::Kind::closed));
}

TEST(HostSession, AControllerSendingFasterThanInputIsReadKeepsTheNewestMovesAndEveryButtonChange) {
    HostFixture f;
    f.connect(SessionMode::control);
    auto pointer = [](int x, std::uint32_t buttons) {
        Quillmate_V0_Envelope e = pointerEvent(static_cast<float>(x));
        e.mutable_pointer()->set_buttons(buttons);
        return e;
    };
    // Nobody reads until all have passed the filter: 1500 moves, a press, 499 drags, a key.
    std::atomic<int> passed{0};
    f.host->messages->setNotifier([&] { ++passed; });
    for (int x = 0; x < 1500; ++x) f.connector->receiveControl(pointer(x, 0));
    f.connector->receiveControl(pointer(1500, 1));
    for (int x = 1501; x < 2000; ++x) f.connector->receiveControl(pointer(x, 1));
    f.connector->receiveControl(keyEvent(4));
    const Deadline limit = Deadline::after(10);
    while (passed < 2001 && !limit.expired()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    f.host->messages->setNotifier({});
    const auto seen = readThrough(f.host->messages, "key 4");
    ASSERT_EQ(seen.size(), 1027u);
    EXPECT_EQ(seen[1022], "pointer 1022");
    EXPECT_EQ(seen[1023], "pointer 1499");  // the moves beyond the backlog, as the newest one
    EXPECT_EQ(seen[1024], "pointer 1500");  // the press where it happened
    EXPECT_EQ(seen[1025], "pointer 1999");  // the drags, as the newest one
    EXPECT_EQ(seen[1026], "key 4");
}

TEST(HostSession, TooManyUnreadControlMessagesCloseTheSessionAndKeepWhatWaits) {
    HostFixture f;
    f.connect(SessionMode::control, "S-3");
    std::atomic<std::size_t> passed{0};
    f.host->messages->setNotifier([&] { ++passed; });
    const std::size_t cap = HostSession::kMaxUnreadMessages;
    for (std::uint32_t k = 0; k < cap - 2; ++k) f.connector->receiveControl(keyEvent(k));
    // Moves beyond the cap merge into the newest and close nothing.
    for (int x = 0; x < 3000; ++x) f.connector->receiveControl(pointerEvent(static_cast<float>(x)));
    const Deadline limit = Deadline::after(10);
    while (passed < cap + 2998 && !limit.expired()) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(f.host->messages->pending(), cap);
    EXPECT_TRUE(f.host->connectionState().is(SessionConnectionState::Kind::connected));

    f.connector->receiveControl(keyEvent(100'000));
    const SignallingMessage bye = f.reply();
    ASSERT_TRUE(bye.get<Bye>()) << bye.typeName();
    EXPECT_EQ(*bye.get<Bye>(), Bye("S-3", "too many control messages"));
    EXPECT_TRUE(waitForState(f.host->states, SessionConnectionState::Kind::closed));
    f.host->messages->setNotifier({});
    const auto seen = readThrough(f.host->messages, "-");
    ASSERT_EQ(seen.size(), cap + 1);
    EXPECT_EQ(seen[cap - 3], "key " + std::to_string(cap - 3));
    EXPECT_EQ(seen[cap - 2], "pointer 0");
    EXPECT_EQ(seen[cap - 1], "pointer 2999");
    EXPECT_EQ(seen[cap], "<ended>");
}

TEST(HostSession, DroppingTheSessionClosesTheConnectionWithoutABye) {
    HostFixture f;
    f.connect(SessionMode::control);
    auto messages = f.host->messages;
    auto states = f.host->states;
    f.connector.reset();
    f.host.reset();
    EXPECT_TRUE(f.hostHungUp());
    EXPECT_TRUE(messages->isFinished());
    EXPECT_TRUE(waitForState(states, SessionConnectionState::Kind::closed));
}

TEST(HostSession, ARelayServerIsRefusedWhenTheSessionIsMade) {
    Devices d;
    SessionConfiguration config = configuration();
    config.iceServers = {"stun:example.test", "TURN:relay.example.test"};
    EXPECT_EQ(errorOf<SessionError>([&] {
                  HostSession::make(d.host, d.hostStore, config, std::make_shared<fake::FakeProvider>());
              }),
              SessionError::turnNotSupported("TURN:relay.example.test"));
}

}  // namespace
}  // namespace quill

namespace quill {
namespace {

using namespace rolestest;

TEST(EnvelopeSignallingLink, APeerHangingUpAfterOurByeIsAnEndNotAFailure) {
    Devices d;
    for (bool closing : {false, true}) {
        auto [near, far] = connectedChannels();
        auto link = std::make_shared<EnvelopeLink>(near, d.host, d.hostStore);
        EnvelopeLink peer(far, d.controller, d.controllerStore);
        EnvelopeSignallingLink pumpLink(link);
        peer.send(Candidate("S", "candidate:1", "0", 0), d.hostRecord);
        auto first = pumpLink.next();
        ASSERT_TRUE(first && first->get<Candidate>());
        if (closing) pumpLink.markClosing();
        far->close();
        if (closing) {
            EXPECT_FALSE(pumpLink.next());
        } else {
            EXPECT_THROW(pumpLink.next(), FrameChannelError);
        }
    }
}

}  // namespace
}  // namespace quill
