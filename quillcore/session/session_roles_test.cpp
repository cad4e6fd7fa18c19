// The host and controller session roles over real loopback TCP and real envelope links, on a
// scripted WebRTC layer. The test plays the other device by hand so that it can misbehave.
#include <gtest/gtest.h>

#include <regex>

#include "quillcore/base/diagnostics.h"
#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/session/roles_test_support.h"

namespace quill {
namespace {

using namespace rolestest;
using State = SessionConnectionState;
enum class Role { host, controller };

// Refuses candidates until a remote description is set, as WebRTC does.
class StrictPeerConnection : public fake::FakePeerConnection {
public:
    std::optional<std::string> addIceCandidate(const IceCandidate& c) override {
        if (!remoteSet()) return std::string("no remote description");
        return FakePeerConnection::addIceCandidate(c);
    }
    bool remoteSet() {
        std::lock_guard l(mutex);
        return std::any_of(calls.begin(), calls.end(), [](const auto& c) { return c.starts_with("setRemoteDescription"); });
    }
};

// What `f` threw, as its text.
template <class F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "nothing thrown";
}

// One session of `role`, and the other device's end of its connection.
struct Fixture {
    // `f` applied to whichever session this is.
    template <class F>
    auto with(F&& f) {
        return host ? f(*host) : f(*controller);
    }
    explicit Fixture(Role role, double negotiationTimeout = 5,
                     PeerPermissions permissions = PeerPermissions::defaults(), SessionMode mode = SessionMode::control)
        : devices(permissions) {
        const SessionConfiguration config({}, mode, 12'000'000, 30, 640, 480, 5, negotiationTimeout, 5);
        provider->next = pc;
        std::tie(sessionChannel, farChannel) = connectedChannels();
        const bool isHost = role == Role::host;
        far = std::make_unique<EnvelopeLink>(farChannel, isHost ? devices.controller : devices.host,
                                             isHost ? devices.controllerStore : devices.hostStore);
        if (isHost)
            host = HostSession::make(devices.host, devices.hostStore, config, provider);
        else
            controller = ControllerSession::make(devices.hostRecord, devices.controller, devices.controllerStore,
                                                 config, provider);
        connector = std::make_unique<FakeConnector>(pc, with([](auto& s) { return s.sessionCore(); }), bool(host));
    }

    const PeerRecord& sessionRecord() const { return host ? devices.hostRecord : devices.controllerRecord; }

    // Starts the negotiation on a thread; the session's identifier (a controller's comes in its Offer).
    std::string begin() {
        negotiation = std::make_unique<Background>(
            [this] { host ? host->run(sessionChannel) : controller->start(sessionChannel); });
        if (host) return "S-1";
        const SignallingMessage m = next();
        if (!m.get<Offer>()) throw std::runtime_error("no Offer from the controller");
        offer = *m.get<Offer>();
        // A random version 4 UUID.
        static const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
        EXPECT_TRUE(std::regex_match(offer->sessionID(), uuid)) << offer->sessionID();
        return offer->sessionID();
    }
    // Negotiates to a running session, and checks what the session took from it.
    std::string connect(SessionMode mode = SessionMode::control) {
        const std::string id = begin();
        if (host) {
            send(Offer(id, "offer-sdp", mode, {"clipboard"}));
            EXPECT_EQ(next(), SignallingMessage(Answer(id, "gathered-sdp", {"clipboard", "files"})));
        } else {
            send(Answer(id, "answer-sdp", {}));
        }
        negotiation->get();
        EXPECT_TRUE(with([](auto& s) { return s.connectionState().is(State::Kind::connected); }));
        EXPECT_EQ(with([](auto& s) { return s.sessionID(); }), id);
        EXPECT_EQ(with([](auto& s) { return s.sessionCore()->sessionID(); }), id);
        std::lock_guard l(pc->mutex);
        EXPECT_EQ(std::count(pc->calls.begin(), pc->calls.end(), host ? "setRemoteDescription offer-sdp"
                                                                       : "setRemoteDescription answer-sdp"), 1);
        if (host) {
            EXPECT_EQ(host->peer(), devices.controllerRecord);
        }
        return id;
    }

    void send(const SignallingMessage& m) { far->send(m, sessionRecord()); }
    void sendSealed(const SignallingMessage& m, const DeviceIdentity& sealer, int copies = 1) {
        const Envelope envelope = EnvelopeSealer::seal(m, sealer, sessionRecord());
        for (int i = 0; i < copies; ++i) farChannel->sendJSON(envelope.toJSON());
    }
    // What the session said next; throws when it said nothing in time.
    SignallingMessage next() {
        auto opened = far->next(5);
        if (!opened) throw std::runtime_error("the session said nothing");
        return opened->message;
    }
    void hangUp() {
        farChannel->close();
        farHungUp = true;
    }
    // The session hung up (after anything it had sent).
    bool hungUp() {
        try {
            far->next(5);
            return false;
        } catch (const FrameChannelError& e) {
            // A socket closed with unread data in it resets the connection.
            return e.kind == FrameChannelError::Kind::connectionClosed || e.kind == FrameChannelError::Kind::network;
        }
    }
    // The candidates WebRTC was given, once there are `count` (or after 5 s).
    std::vector<std::string> candidates(std::size_t count) {
        for (const Deadline limit = Deadline::after(5);; std::this_thread::sleep_for(5ms)) {
            std::lock_guard l(pc->mutex);
            if (pc->candidates.size() < count && !limit.expired()) continue;
            std::vector<std::string> sdp;
            for (const auto& c : pc->candidates) sdp.push_back(c.sdp);
            return sdp;
        }
    }

    Devices devices;
    std::shared_ptr<fake::FakeProvider> provider = std::make_shared<fake::FakeProvider>();
    std::shared_ptr<StrictPeerConnection> pc = std::make_shared<StrictPeerConnection>();
    FrameChannelPtr sessionChannel, farChannel;
    std::unique_ptr<EnvelopeLink> far;
    std::shared_ptr<HostSession> host;
    std::shared_ptr<ControllerSession> controller;
    std::unique_ptr<FakeConnector> connector;
    std::optional<Offer> offer;
    std::unique_ptr<Background> negotiation;
    bool farHungUp = false;
};

TEST(HostSession, OnlyOneRunPerSession) {
    Fixture f(Role::host);
    f.connect();
    EXPECT_EQ(errorOf<SessionError>([&] { f.host->run(connectedChannels().second); }), SessionError::alreadyAccepted());
    EXPECT_TRUE(f.host->connectionState().is(State::Kind::connected)) << "the first run stays";
}

TEST(ControllerSession, OffersThenAppliesTheAnswerAndTheCandidatesThatCameBeforeIt) {
    Fixture f(Role::controller, 5, PeerPermissions::defaults(), SessionMode::view);
    const std::string id = f.begin();
    EXPECT_EQ(f.offer, Offer(id, "gathered-sdp", SessionMode::view, {"clipboard", "files"}));
    EXPECT_EQ(errorOf<SessionError>([&] { f.controller->start(connectedChannels().first); }),
              SessionError::unexpectedMessage("session already started"));
    // Of a host's flood before its answer only so many are kept; other sessions' and wakes are passed over.
    const std::size_t limit = SessionCore::kMaxRemoteCandidates;
    f.send(Candidate("another session", "candidate:foreign", "0", 0));
    f.send(Wake());
    for (std::size_t i = 0; i < limit + 20; ++i) f.send(Candidate(id, "candidate:" + std::to_string(i), "0", 0));
    f.send(Answer(id, "answer-sdp", {}));
    f.negotiation->get();
    EXPECT_TRUE(f.controller->connectionState().is(State::Kind::connected));
    f.send(Candidate(id, "candidate:late", "0", 0));  // through the pump
    const std::vector<std::string> applied = f.candidates(limit + 1);
    ASSERT_EQ(applied.size(), limit + 1);
    EXPECT_EQ(applied[0], "candidate:0");
    EXPECT_EQ(applied[limit - 1], "candidate:" + std::to_string(limit - 1));
    EXPECT_EQ(applied[limit], "candidate:late");
    EXPECT_NE(Fixture(Role::controller).connect(), id) << "a fresh identifier for each session";
}

TEST(ControllerSession, BeforeStartPortZeroIsRefusedAndCloseSendsNothing) {
    Fixture f(Role::controller);
    EXPECT_THROW(f.controller->start(std::uint16_t{0}), FrameChannelError);
    EXPECT_FALSE(f.controller->sessionID());
    f.controller->close("never mind");
    EXPECT_TRUE(f.controller->states->isFinished());
    EXPECT_TRUE(f.controller->messages->isFinished());
    EXPECT_TRUE(f.controller->bulkMessages->isFinished());
    EXPECT_FALSE(f.far->next(0.3));
}

// Negotiations that fail: the session hangs up and its states end; a host records nothing and
// leaves WebRTC alone.
TEST(SessionRoles, FailedNegotiations) {
    using Far = std::function<void(Fixture&, const std::string& id)>;
    auto sends = [](SignallingMessage m) -> Far { return [m](Fixture& f, const std::string&) { f.send(m); }; };
    const Offer offer("S-1", "offer-sdp", SessionMode::control, {});
    const std::string timedOut = SessionError::connectionTimedOut().description();
    const std::string invalid = SessionError::wrongSession().description();
    const std::string viewDenied = "The host declined the session: view permission denied";
    PeerPermissions noView = PeerPermissions::defaults();
    noView.view = false;
    const struct {
        const char* name;
        Role role;
        double timeout;
        Far before;  // what happens before the negotiation starts
        Far far;     // what the other device does then
        std::string error;
        double minSeconds = 0, maxSeconds = 3;
        PeerPermissions permissions = PeerPermissions::defaults();
        std::optional<SignallingMessage> reply = std::nullopt;  // the session's last word
    } cases[] = {
        {"no time left, an Offer waiting", Role::host, 0, sends(offer), {}, timedOut},
        {"nearly no time still waits a little", Role::host, 0.001, {}, {}, timedOut, 0.045, 1},
        {"the host closes while it waits", Role::host, 60, {},
         [](Fixture& f, const std::string&) {
             std::this_thread::sleep_for(100ms);
             f.host->close("stop");
         },
         timedOut, 0.09},
        {"the host closed before the run", Role::host, 5,
         [&](Fixture& f, const std::string&) {
             f.host->close("never mind");
             f.send(offer);
         },
         {}, timedOut},
        {"a Bye first", Role::host, 5, sends(Bye("S-1", "changed my mind")), {},
         "The host declined the session: changed my mind"},
        {"a Candidate first", Role::host, 5, sends(Candidate("S-1", "candidate:1", "0", 0)), {}, invalid},
        {"no view permission", Role::host, 5, sends(offer), {}, viewDenied, 0, 3, noView,
         Reject("S-1", "view permission denied")},
        {"no view permission, the controller gone", Role::host, 5,
         [&](Fixture& f, const std::string&) {
             f.send(offer);
             f.hangUp();
             std::this_thread::sleep_for(50ms);
         },
         {}, viewDenied, 0, 3, noView},
        {"an Offer sealed by an unpaired device", Role::host, 5,
         [&](Fixture& f, const std::string&) {
             f.devices.hostStore->remove(f.devices.stranger.fingerprint());
             f.sendSealed(offer, f.devices.stranger);
         },
         {}, EnvelopeError::unknownSender().description()},
        {"a Reject for another session", Role::controller, 5, {}, sends(Reject("other", "no")), invalid},
        {"a Bye for another session", Role::controller, 5, {}, sends(Bye("other", "no")), invalid},
        {"an Answer for the identifier in lower case", Role::controller, 5, {},
         [](Fixture& f, const std::string& id) {
             std::string lower = id;
             std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
             f.send(Answer(lower, "sdp", {}));
         },
         invalid},
        {"a Reject", Role::controller, 5, {},
         [](Fixture& f, const std::string& id) { f.send(Reject(id, "view permission denied")); }, viewDenied},
        {"a Bye", Role::controller, 5, {}, [](Fixture& f, const std::string& id) { f.send(Bye(id, "host is busy")); },
         "The host declined the session: host is busy"},
        {"an Answer sealed by another paired device", Role::controller, 5, {},
         [](Fixture& f, const std::string& id) { f.sendSealed(Answer(id, "sdp", {}), f.devices.stranger); },
         EnvelopeError::unknownSender().description()},
        {"no time at all, yet the Offer goes out", Role::controller, 0, {}, {}, timedOut},
        {"Offers and wakes do not move the deadline", Role::controller, 0.5, {},
         [](Fixture& f, const std::string&) {
             f.send(Wake());
             f.send(Offer("x", "sdp", SessionMode::control, {}));
             std::this_thread::sleep_for(200ms);
             f.send(Wake());
         },
         timedOut, 0.45},
        {"the host hangs up", Role::controller, 5, {}, [](Fixture& f, const std::string&) { f.hangUp(); },
         FrameChannelError::connectionClosed().description()},
        {"the controller closes while it waits", Role::controller, 60, {},
         [](Fixture& f, const std::string& id) {
             f.controller->close("changed my mind");
             EXPECT_EQ(f.next(), SignallingMessage(Bye(id, "changed my mind")));
         },
         timedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(c.role, c.timeout, c.permissions);
        if (c.before) c.before(f, "S-1");
        const auto started = Clock::now();
        const std::string id = f.begin();
        if (c.far) c.far(f, id);
        EXPECT_EQ(failureOf([&] { f.negotiation->get(); }), c.error);
        EXPECT_GE(secondsSince(started), c.minSeconds);
        EXPECT_LT(secondsSince(started), c.maxSeconds);
        if (c.reply) {
            EXPECT_EQ(f.next(), *c.reply);
        }
        EXPECT_TRUE(f.farHungUp || f.hungUp());
        EXPECT_TRUE(f.with([](auto& s) { return s.states->isFinished(); }));
        if (!f.host) continue;
        EXPECT_FALSE(f.host->peer());
        EXPECT_FALSE(f.host->sessionID());
        EXPECT_FALSE(f.host->sessionCore()->sessionID());
        std::lock_guard l(f.pc->mutex);
        EXPECT_TRUE(f.pc->calls.empty()) << "nothing reaches WebRTC";
    }
}

// How a running session ends: the last word the other device hears, the hang-up, the last state
// and the end of the messages.
TEST(SessionRoles, RunningSessionsEnd) {
    const struct {
        const char* name;
        Role role;
        std::function<void(Fixture&, const std::string& id)> action;
        std::optional<std::string> bye;  // the session's Bye
        State end;
    } cases[] = {
        {"the controller's Bye, after words the host takes from nobody else", Role::host,
         [](Fixture& f, const std::string& id) {
             f.sendSealed(Candidate(id, "candidate:stranger", "0", 0), f.devices.stranger);
             f.sendSealed(Bye(id, "not yours"), f.devices.stranger);
             f.send(Bye("S-other", "not this one"));
             f.send(Candidate("S-other", "candidate:foreign", "0", 0));
             f.send(Candidate(id, "candidate:controller", "0", 0));
             EXPECT_EQ(f.candidates(1), std::vector<std::string>{"candidate:controller"});
             EXPECT_TRUE(f.host->connectionState().is(State::Kind::connected));
             f.send(Bye(id, "done"));
         },
         std::nullopt, State::closed()},
        {"a replayed envelope", Role::host,
         [](Fixture& f, const std::string& id) {
             f.sendSealed(Candidate(id, "candidate:1", "0", 0), f.devices.controller, 2);
         },
         std::nullopt, State::failed(EnvelopeError::replayed().description())},
        {"the host's close", Role::host,
         [](Fixture& f, const std::string&) { f.host->close("session ended by the host user"); },
         "session ended by the host user", State::closed()},
        {"the host session dropped", Role::host,
         [](Fixture& f, const std::string&) {
             f.connector.reset();
             f.host.reset();
         },
         std::nullopt, State::closed()},
        {"the controller's close", Role::controller,
         [](Fixture& f, const std::string&) { f.controller->close("controller done"); }, "controller done",
         State::closed()},
        {"the host's Bye", Role::controller,
         [](Fixture& f, const std::string& id) { f.send(Bye(id, "host user ended it")); }, std::nullopt,
         State::failed("The host ended the session: host user ended it")},
        {"the controller session dropped", Role::controller,
         [](Fixture& f, const std::string&) {
             f.connector.reset();
             f.controller.reset();
         },
         std::nullopt, State::closed()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(c.role);
        const std::string id = f.connect();
        const auto states = f.with([](auto& s) { return s.states; });
        const auto messages = f.with([](auto& s) { return s.messages; });
        c.action(f, id);
        if (c.bye) {
            EXPECT_EQ(f.next(), SignallingMessage(Bye(id, *c.bye)));
        }
        EXPECT_TRUE(f.hungUp());
        State seen = State::idle();
        EXPECT_TRUE(waitForState(states, c.end.kind(), &seen));
        EXPECT_EQ(seen, c.end);
        EXPECT_EQ(readThrough(messages, "-"), std::vector<std::string>{"<ended>"});
    }
}

// Which control messages pass the host for each permission and Offer mode, and how a Hello
// changes that; the drop is logged once until a Hello.
TEST(HostSession, InputPassesOnlyWithControlPermissionInAControlSession) {
    const std::vector<Quillmate_V0_Envelope> sent{
        keyEvent(4),  pointerEvent(10), scrollEvent(3), envelopeOf("stats { fps: 30 }"), Quillmate_V0_Envelope(),
        ping(1),      keyEvent(44),     hello(false),   keyEvent(5),  pointerEvent(12), hello(true), keyEvent(6),
        pointerEvent(11), scrollEvent(7), pong(9), ping(2)};
    const std::vector<std::string> noInput{"other 15",   "empty",  "ping 1", "hello control",
                                           "hello view", "pong 9", "ping 2"};
    const struct {
        bool control;
        SessionMode mode;
        std::vector<std::string> passed;
        int drops;
    } cases[] = {
        {true, SessionMode::control,
         {"key 4", "pointer 10", "scroll 3", "other 15", "empty", "ping 1", "key 44", "hello control", "key 5",
          "pointer 12", "hello view", "pong 9", "ping 2"},
         1},
        {true, SessionMode::view,
         {"other 15", "empty", "ping 1", "hello control", "key 5", "pointer 12", "hello view", "pong 9", "ping 2"}, 2},
        {false, SessionMode::control, noInput, 3},
        {false, SessionMode::view, noInput, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.control) + (c.mode == SessionMode::control ? " control" : " view"));
        std::atomic<int> drops{0};
        setDiagnosticSink([&](std::string_view line) {
            if (line.find("dropping keyboard and pointer input for Controller because the session is view-only or "
                          "the peer lacks control permission") != std::string_view::npos)
                ++drops;
        });
        // Also when the exchange throws: the sink refers to this row's count.
        struct Restore {
            ~Restore() { setDiagnosticSink({}); }
        } restore;
        PeerPermissions permissions = PeerPermissions::defaults();
        permissions.control = c.control;
        Fixture f(Role::host, 5, permissions);
        f.connect(c.mode);
        for (const auto& m : sent) f.connector->receiveControl(m);
        EXPECT_EQ(readThrough(f.host->messages, "ping 2"), c.passed);
        setDiagnosticSink({});
        EXPECT_EQ(drops, c.drops);
    }
}

// A controller sending faster than input is taken: beyond 1,024 waiting messages a move takes
// the place of the move queued last, while keys and button changes queue; once 8,192 wait, the
// next that cannot merge closes the session, and what waits stays.
TEST(HostSession, AControllerSendingFasterThanInputIsRead) {
    Fixture f(Role::host);
    f.connect();
    std::atomic<std::size_t> passed{0};
    f.host->messages->setNotifier([&] { ++passed; });
    auto waitForPassed = [&](std::size_t n) {
        for (const Deadline limit = Deadline::after(10); passed < n && !limit.expired();)
            std::this_thread::sleep_for(5ms);
    };
    auto pointer = [](int x, std::uint32_t buttons) {
        return envelopeOf("pointer { x: " + std::to_string(x) + " buttons: " + std::to_string(buttons) + " }");
    };
    // Nobody reads until all have passed: 1,500 moves, a press, 499 drags, a key.
    for (int x = 0; x < 2000; ++x) f.connector->receiveControl(pointer(x, x < 1500 ? 0 : 1));
    f.connector->receiveControl(keyEvent(4));
    waitForPassed(2001);
    const auto backlog = readThrough(f.host->messages, "key 4");
    ASSERT_EQ(backlog.size(), 1027u);
    EXPECT_EQ(std::vector(backlog.begin() + 1022, backlog.end()),
              (std::vector<std::string>{"pointer 1022", "pointer 1499", "pointer 1500", "pointer 1999", "key 4"}));

    const std::size_t cap = HostSession::kMaxUnreadMessages;
    for (std::uint32_t k = 0; k < cap - 2; ++k) f.connector->receiveControl(keyEvent(k));
    for (int x = 0; x < 3000; ++x) f.connector->receiveControl(pointerEvent(static_cast<float>(x)));
    waitForPassed(2001 + cap + 2998);
    EXPECT_EQ(f.host->messages->pending(), cap);
    EXPECT_TRUE(f.host->connectionState().is(State::Kind::connected));
    f.connector->receiveControl(keyEvent(100'000));
    EXPECT_EQ(f.next(), SignallingMessage(Bye("S-1", "too many control messages")));
    EXPECT_TRUE(waitForState(f.host->states, State::Kind::closed));
    f.host->messages->setNotifier({});
    const auto kept = readThrough(f.host->messages, "-");
    ASSERT_EQ(kept.size(), cap + 1);
    EXPECT_EQ(std::vector(kept.end() - 4, kept.end()), (std::vector<std::string>{"key " + std::to_string(cap - 3),
                                                                                 "pointer 0", "pointer 2999",
                                                                                 "<ended>"}));
}

TEST(EnvelopeSignallingLink, APeerHangingUpAfterOurByeIsAnEndNotAFailure) {
    Devices d;
    for (bool closing : {false, true}) {
        auto [near, far] = connectedChannels();
        EnvelopeLink peer(far, d.controller, d.controllerStore);
        EnvelopeSignallingLink pumpLink(std::make_shared<EnvelopeLink>(near, d.host, d.hostStore));
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
