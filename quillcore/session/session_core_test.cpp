#include "quillcore/session/session_core.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <regex>
#include <thread>

#include "quillcore/base/diagnostics.h"
#include "quillcore/base/serial_worker.h"
#include "quillcore/session/session_core_test_fakes.h"

namespace quill {
namespace {

using namespace std::chrono_literals;
using fake::FakeLink;
using fake::FakePeerConnection;
using State = SessionConnectionState;
using Ice = IceConnectionState;
using Clock = std::chrono::steady_clock;

SessionConfiguration config(std::vector<std::string> ice = {}) {
    return SessionConfiguration(std::move(ice), SessionMode::control, 20'000'000, 60, 1920, 1080, 10, 15, 20);
}

template <class F>
bool eventually(F&& condition) {
    for (const auto until = Clock::now() + 3s; !condition(); std::this_thread::sleep_for(2ms))
        if (Clock::now() > until) return false;
    return true;
}

// Returns once every bye grace the core began before this call has run out and been checked:
// delayed tasks run in due order on the one events worker.
void pastTheByeGrace() {
    auto ran = std::make_shared<std::promise<void>>();
    SerialWorker::events().postAfter(SessionCore::kByeGrace, [ran] { ran->set_value(); });
    EXPECT_EQ(ran->get_future().wait_for(SessionCore::kByeGrace + 10s), std::future_status::ready);
}

std::vector<State> drain(const AsyncStreamPtr<State>& states) {
    std::vector<State> out;
    while (auto s = states->tryNext()) out.push_back(*s);
    return out;
}

template <class F>
std::optional<SessionError> errorOf(F&& f) {
    try {
        f();
    } catch (const SessionError& e) {
        return e;
    }
    return std::nullopt;
}

Quillmate_V0_Envelope ping(std::uint64_t value) {
    Quillmate_V0_Envelope e;
    e.mutable_ping()->set_t(value);
    return e;
}

struct SessionCoreRules : ::testing::Test {
    std::shared_ptr<fake::FakeProvider> provider = std::make_shared<fake::FakeProvider>();
    FakePeerConnection& pc = *provider->next;
    std::vector<std::string> diagnostics;
    SessionCoreRules() { setDiagnosticSink([this](std::string_view l) { diagnostics.emplace_back(l); }); }
    ~SessionCoreRules() override { setDiagnosticSink({}); }
    std::shared_ptr<SessionCore> make(SessionConfiguration c = config(), bool controller = false) {
        return SessionCore::make(std::move(c), controller, provider);
    }
    FakePeerConnection& fresh() { return *(provider->next = std::make_shared<FakePeerConnection>()); }
};

void open(FakePeerConnection& p, const char* label) { p.localChannel(label)->moveTo(DataChannelState::open); }

TEST_F(SessionCoreRules, RelaysAndAMissingPeerConnectionAreRefusedBeforeAnythingIsBuilt) {
    for (std::string url : {"TURN:relay.example:3478", "turns:relay.example", "TuRnS:x"})
        EXPECT_EQ(errorOf([&] { make(config({"stun:ok.example", url})); }), SessionError::turnNotSupported(url));
    EXPECT_TRUE(provider->configurations.empty());
    make(config({"stun:a.example:3478", " turn:not-a-scheme", "stuns:b"}));
    ASSERT_EQ(provider->configurations.at(0).iceServers.size(), 3u);
    EXPECT_EQ(provider->configurations[0].iceServers[1].urls, std::vector<std::string>{" turn:not-a-scheme"});
    provider->next = nullptr;
    EXPECT_EQ(errorOf([&] { make(); }), SessionError::peerConnectionUnavailable());
}

// WebRTC's events and the roles' changes, in order, and the states the core records for them.
TEST_F(SessionCoreRules, ConnectedNeedsBothChannelsAndIceAndEveryEventMovesTheCoreAsItShould) {
    // A peer's "ctl" and "bulk", then `extra` more: copies of them and long labels.
    auto peerOpens = [](std::size_t extra) {
        return [extra](SessionCore& core, FakePeerConnection& p) {
            core.answer("offer"), p.fireIce(Ice::completed), p.openRemote("ctl"), p.openRemote("bulk");
            for (std::size_t i = 0; i < extra; ++i) p.openRemote(i % 2 ? "ctl" : std::string(60 * 1024, 'x'));
        };
    };
    const struct {
        const char* name;
        std::function<void(SessionCore&, FakePeerConnection&)> events;
        std::vector<State> states;
        bool closed;
        bool answering = false;
    } rows[] = {
        {"channels, then ICE", [](SessionCore&, FakePeerConnection& p) {
             open(p, "ctl"), p.fireIce(Ice::checking), open(p, "bulk"), p.fireIce(Ice::completed);
         }, {State::connecting(), State::connected()}, false},
        {"channels the peer opened, then their open events", [](SessionCore& core, FakePeerConnection& p) {
             core.answer("offer"), p.fireIce(Ice::completed);
             auto ctl = p.openRemote("ctl", DataChannelState::connecting);
             p.openRemote("bulk"), ctl->moveTo(DataChannelState::open);
         }, {State::connecting(), State::connected()}, false, true},
        {"as many channels as a peer may open", peerOpens(SessionCore::kMaxPeerChannels - 2),
         {State::connecting(), State::connected()}, false, true},
        {"one channel more, then another", peerOpens(SessionCore::kMaxPeerChannels),
         {State::connecting(), State::connected(), State::failed("too many data channels")}, true, true},
        {"connected before the wait for it began", [](SessionCore& core, FakePeerConnection& p) {
             open(p, "ctl"), open(p, "bulk"), p.fireIce(Ice::connected), core.waitUntilConnected();
         }, {State::connecting(), State::connected()}, false},
        {"every open channel closes", [](SessionCore&, FakePeerConnection& p) {
             open(p, "ctl"), open(p, "bulk"), p.fireIce(Ice::connected);
             auto extra = p.openRemote("extra");
             for (const char* label : {"bulk", "ctl"}) p.localChannel(label)->moveTo(DataChannelState::closed);
             extra->moveTo(DataChannelState::closed), p.fireIce(Ice::disconnected);
         }, {State::connecting(), State::connected(), State::disconnected()}, false},
        {"ICE fails", [](SessionCore&, FakePeerConnection& p) {
             open(p, "ctl"), open(p, "bulk"), p.fireIce(Ice::connected), p.fireIce(Ice::failed);
         }, {State::connecting(), State::connected(), State::failed("ICE connection failed")}, true},
        {"unforced changes neither repeat nor replace a failure", [](SessionCore& core, FakePeerConnection&) {
             for (const auto& s : {State::connecting(), State::failed("x"), State::connected(), State::failed("y")})
                 core.setState(s);
             core.setState(State::closed(), true), core.setState(State::connecting());  // closed is not final
         }, {State::connecting(), State::failed("x"), State::closed(), State::connecting()}, false},
        {"ICE closed twice, then after a failure", [](SessionCore& core, FakePeerConnection& p) {
             p.fireIce(Ice::closed), p.fireIce(Ice::closed), core.setState(State::failed("gone"), true);
             p.fireIce(Ice::closed), p.fireIce(Ice::disconnected);
         }, {State::connecting(), State::closed(), State::closed(), State::failed("gone")}, false},
        {"news after close, from a state's reader too", [](SessionCore& core, FakePeerConnection& p) {
             open(p, "ctl"), open(p, "bulk");
             std::thread reader([&] { core.states->next(), core.close(); });  // takes the connecting
             reader.join();
             p.fireIce(Ice::connected), p.fireIce(Ice::failed), p.localChannel("ctl")->moveTo(DataChannelState::closed);
         }, {State::closed()}, true},
    };
    for (const auto& row : rows) {
        auto& p = fresh();
        auto core = make(config(), !row.answering);
        if (!row.answering) core->makeOffer();
        row.events(*core, p);
        EXPECT_EQ(drain(core->states), row.states) << row.name;
        if (!row.answering) {
            EXPECT_EQ(p.localChannel("ctl")->closeCount, int(row.closed)) << row.name;
        }
        EXPECT_EQ(p.closeCount > 0, row.closed) << row.name;
        EXPECT_EQ(core->messages->isFinished() && core->bulkMessages->isFinished(), row.closed) << row.name;
    }
}

// Each wait ends on the event it waits for, promptly: the connection's and the gathering's.
TEST_F(SessionCoreRules, WaitsEndOnTheirEventTheCloseTheDeadlineOrAStop) {
    std::stop_source stop;
    using Step = std::function<void(SessionCore&, FakePeerConnection&)>;
    const Step nothing = [](SessionCore&, FakePeerConnection&) {}, close = [](SessionCore& c, FakePeerConnection&) { c.close(); };
    const std::string closed = "The connection failed: the session closed before it opened";
    const struct {
        bool gathering;  // the offer's wait for gathering, else the wait for the connection
        double timeout;
        Step meanwhile;  // from another thread, 30 ms in
        std::string outcome;
        bool heldTeardown = false;  // WebRTC's teardown takes until the wait has ended
    } rows[] = {
        {false, 10, [](SessionCore& c, FakePeerConnection&) { c.setState(State::connected()); }, ""},
        {false, 10, [](SessionCore& c, FakePeerConnection&) { c.setState(State::failed("no route")); },
         "The connection failed: no route"},
        {false, 10, close, closed},
        {false, 10, close, closed, true},
        {false, 0.1, nothing, "The host did not accept the connection in time."},
        {false, 10, [&](SessionCore&, FakePeerConnection&) { stop.request_stop(); }, "cancelled"},
        {true, 15, [](SessionCore&, FakePeerConnection& p) {
             p.currentDelegate()->peerConnectionDidChangeIceGatheringState(IceGatheringState::complete);
         }, ""},
        {true, 15, close, closed},
        {true, 0.1, nothing, "No network path to the host could be found."},
    };
    for (const auto& row : rows) {
        stop = std::stop_source();
        auto c = config();
        (row.gathering ? c.gatheringTimeout : c.connectionTimeout) = row.timeout;
        auto& p = fresh();
        p.gathering = IceGatheringState::gathering;
        p.holdClose = row.heldTeardown;
        auto core = make(c, true);
        std::jthread other([&] { std::this_thread::sleep_for(30ms), row.meanwhile(*core, p); });
        const auto start = Clock::now();
        std::string outcome;
        try {
            row.gathering ? (void)core->makeOffer(stop.get_token()) : core->waitUntilConnected(stop.get_token());
        } catch (const SessionError& e) {
            outcome = e.description();
        } catch (const Cancelled&) {
            outcome = "cancelled";
        }
        EXPECT_EQ(outcome, row.outcome) << row.gathering << " " << row.timeout << " " << row.heldTeardown;
        EXPECT_LT(Clock::now() - start, 2s);
        p.holdClose = false;
    }
}

TEST_F(SessionCoreRules, OnlyTheFirstCloseWaitsForTheTeardownAndCloseSoonNotEvenThat) {
    // Each with the teardown held: a close from elsewhere, or closeSoon, began it.
    for (const bool soon : {false, true}) {
        SCOPED_TRACE(soon ? "closeSoon" : "close");
        auto& p = fresh();
        auto core = make();
        p.holdClose = true;
        auto first = std::async(std::launch::async, [&] { soon ? core->closeSoon() : core->close(); });
        ASSERT_TRUE(eventually([&] { return p.closeCount == 1; }));
        EXPECT_EQ(first.wait_for(soon ? 2s : 50ms), soon ? std::future_status::ready : std::future_status::timeout);
        // A later close neither waits nor tears down again, and leaves the core closed.
        auto later = std::async(std::launch::async, [&] { core->close(); });
        EXPECT_EQ(later.wait_for(2s), std::future_status::ready);
        EXPECT_EQ(core->lifecycle(), State::closed());
        EXPECT_TRUE(core->states->isFinished());
        EXPECT_EQ(p.closeCount, 1);
        // Those who wait for teardowns to end wait for this one.
        auto awaited = std::async(std::launch::async, [] { SessionCore::awaitTeardowns(0); });
        EXPECT_EQ(awaited.wait_for(50ms), std::future_status::timeout);
        p.holdClose = false;
        EXPECT_EQ(awaited.wait_for(2s), std::future_status::ready);
        EXPECT_EQ(first.wait_for(2s), std::future_status::ready);
    }
}

TEST_F(SessionCoreRules, SendsNeedAnOpenChannelAndAreNeverEmptyOrTooLarge) {
    auto core = make(config(), true);
    core->makeOffer();
    auto ctl = pc.localChannel("ctl"), bulk = pc.localChannel("bulk");
    EXPECT_EQ(errorOf([&] { core->sendControl(ping(1)); }), SessionError::channelClosed("ctl"));
    open(pc, "ctl"), open(pc, "bulk");
    core->sendControl(ping(7));
    core->sendBulk(Bytes(65536, 9));
    EXPECT_EQ(errorOf([&] { core->sendBulk(Bytes(65537)); }), SessionError::bulkFrameTooLarge(65537));
    EXPECT_EQ(errorOf([&] { core->sendControl(Quillmate_V0_Envelope{}); }),  // encodes to nothing
              SessionError::controlMessage("WebRTC rejected the control message"));
    EXPECT_EQ(errorOf([&] { core->sendBulk(Bytes{}); }), SessionError::controlMessage("WebRTC rejected the bulk frame"));
    EXPECT_EQ(ctl->sent, (std::vector<std::pair<Bytes, bool>>{{serializedData(ping(7)), true}}));
    ctl->acceptSends = false;
    EXPECT_EQ(errorOf([&] { core->sendControl(ping(2)); }), SessionError::controlMessage("WebRTC rejected the control message"));
    bulk->moveTo(DataChannelState::closed);
    EXPECT_EQ(errorOf([&] { core->sendBulk(Bytes(3)); }), SessionError::channelClosed("bulk"));
}

TEST_F(SessionCoreRules, ReceivedMessagesGoToTheirStreamsWithinBounds) {
    auto core = make();
    auto ctl = pc.openRemote("ctl"), bulk = pc.openRemote("bulk");
    ctl->receive(Bytes{0xff, 0xff, 0xff});
    ctl->receive(serializedData(ping(5)));
    ctl->receive(serializedData(ping(6)), false);
    // Any other channel, a second "ctl" or "bulk" too, is closed: it neither reaches the streams
    // nor takes the place of the session's own.
    const std::shared_ptr<fake::FakeDataChannel> others[] = {pc.openRemote("other"), pc.openRemote("ctl"), pc.openRemote("bulk")};
    for (const auto& other : others) {
        other->receive(serializedData(ping(9)));
        EXPECT_EQ(other->closeCount, 1);
    }
    EXPECT_EQ(core->messages->tryNext()->ping().t(), 5u);
    EXPECT_EQ(core->messages->tryNext()->ping().t(), 6u);
    EXPECT_FALSE(core->messages->tryNext());
    core->sendControl(ping(4));
    EXPECT_EQ(std::make_pair(ctl->sent.size(), others[1]->sent.size()), std::make_pair(std::size_t(1), std::size_t(0)));
    EXPECT_EQ(ctl->closeCount + bulk->closeCount, 0);
    bulk->receive(Bytes(SessionCore::kMaxBulkFrame + 1, 1));
    bulk->receive(Bytes(SessionCore::kMaxBulkFrame + 1, 2));
    // Nobody reads: what waits stays within the bound, however much the peer sends; the frames
    // kept are the first ones, in order, and once read, frames are taken again.
    for (int i = 0; i < 10'000; ++i) bulk->receive(Bytes(SessionCore::kMaxBulkFrame, static_cast<std::uint8_t>(i)));
    std::size_t read = 0;
    while (auto frame = core->bulkMessages->tryNext()) EXPECT_EQ(*frame, Bytes(SessionCore::kMaxBulkFrame, read++ & 0xff));
    EXPECT_EQ(read, SessionCore::kMaxUnreadBulk / (SessionCore::kMaxBulkFrame + SessionCore::kBulkFrameOverhead));
    for (int i = 0; i < 100'000; ++i) bulk->receive(Bytes{1});  // tiny frames count their bookkeeping
    EXPECT_EQ(core->bulkMessages->pending(), SessionCore::kMaxUnreadBulk / (1 + SessionCore::kBulkFrameOverhead));
    ASSERT_EQ(diagnostics.size(), 3u);
    EXPECT_EQ(diagnostics[0].rfind("QuillCore: ignored an invalid control protobuf: ", 0), 0u) << diagnostics[0];
    EXPECT_EQ(diagnostics[1], "QuillCore: ignored a bulk frame of 65537 bytes (at most 65536 are allowed)");
    EXPECT_EQ(diagnostics[2], "QuillCore: dropping received bulk frames: too many are waiting to be read");
}

TEST_F(SessionCoreRules, TheOfferMakesReliableChannelsThenTheReceiverAndFailuresCarryTheirTexts) {
    provider->preferences = {{"H265", 90000, {}}, {"H264", 90000, {}}};
    EXPECT_EQ(make(config(), true)->makeOffer(), "gathered-sdp");
    EXPECT_EQ(pc.calls, (std::vector<std::string>{"createDataChannel ctl reliable", "createDataChannel bulk reliable",
                                                  "addTransceiver recvOnly", "createOffer", "setLocalDescription created-offer"}));
    EXPECT_EQ(pc.transceiver->preferences, provider->preferences);
    const struct {
        std::function<void(FakePeerConnection&)> setUp;
        bool answering;
        std::string text;
    } rows[] = {
        {[](FakePeerConnection& p) { p.transceiver = nullptr; }, false, "could not add the video receiver"},
        {[](FakePeerConnection& p) { p.transceiver->failWith = "bad"; }, false, "could not set video codec preferences: bad"},
        {[](FakePeerConnection& p) { p.offerResult = {}; }, false, "WebRTC returned no session description"},
        {[](FakePeerConnection& p) { p.setLocalError = "refused"; }, false, "refused"},
        {[](FakePeerConnection& p) { p.local.reset(); }, false, "local offer SDP is missing"},
        {[](FakePeerConnection& p) { p.local.reset(); }, true, "local answer SDP is missing"},
        {[](FakePeerConnection& p) { p.setRemoteError = "malformed"; }, true, "malformed"},
        {[](FakePeerConnection& p) { p.sender = nullptr; }, true, "could not add the screen video track"},
    };
    for (const auto& row : rows) {
        row.setUp(fresh());
        auto core = make(config(), !row.answering);
        EXPECT_EQ(errorOf([&] { row.answering ? core->answer("offer") : core->makeOffer(); }),
                  SessionError::sessionDescription(row.text));
        EXPECT_EQ(core->lifecycle(), State::connecting());
        EXPECT_EQ(errorOf([&] { core->answer("offer"); }), SessionError::alreadyAccepted());  // a failed one too
    }
}

TEST_F(SessionCoreRules, TheAnswerAddsTheScreenTrackWithItsLimitsAndResendsOnConnecting) {
    auto core = make();
    pc.sender->initial.encodings = {RtpEncodingParameters{false, 1, 2.0}, RtpEncodingParameters{}};
    core->sendVideoFrame(PixelBuffer::fromVector(2, 2, Bytes(16)), 1);  // before the track: dropped
    EXPECT_EQ(core->answer("the-offer"), "gathered-sdp");
    EXPECT_EQ(pc.calls, (std::vector<std::string>{"setRemoteDescription the-offer", "addVideoTrack Quillmate",
                                                  "createAnswer", "setLocalDescription created-answer"}));
    // A core negotiates once: a later offer or answer fails at once and reaches nothing.
    EXPECT_EQ(errorOf([&] { core->answer("the-offer"); }), SessionError::alreadyAccepted());
    EXPECT_EQ(errorOf([&] { core->makeOffer(); }), SessionError::alreadyAccepted());
    EXPECT_EQ(pc.calls.size(), 4u);
    EXPECT_EQ(pc.source->format, (std::vector<int>{1920, 1080, 60}));
    EXPECT_EQ(pc.sender->applied->encodings, (std::vector<RtpEncodingParameters>{{true, 20'000'000, 60.0}}));
    EXPECT_EQ(pc.sender->applied->degradationPreference, DegradationPreference::maintainResolution);
    EXPECT_TRUE(std::regex_match(pc.addedTrackId, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    auto frame = PixelBuffer::fromVector(2, 2, Bytes(16));
    core->sendVideoFrame(frame, 42);
    EXPECT_EQ(pc.source->frames, (std::vector<std::pair<PixelBufferPtr, std::int64_t>>{{frame, 42}}));
    pc.openRemote("ctl"), pc.openRemote("bulk");
    EXPECT_EQ(pc.source->resends, 0);
    pc.fireIce(Ice::connected);
    EXPECT_EQ(pc.source->resends, 1);
    for (auto edit : std::vector<std::function<void(SessionConfiguration&)>>{
             [](auto& c) { c.preferredVideoWidth = 0; }, [](auto& c) { c.preferredVideoHeight = std::int64_t(1) << 31; },
             [](auto& c) { c.videoFPS = -60; }}) {
        auto c = config();
        edit(c);
        auto& p = fresh();
        EXPECT_EQ(errorOf([&] { make(c)->answer("x"); }), SessionError::sessionDescription("could not add the screen video track"));
        EXPECT_EQ(p.source->format[0], 0);
    }
}

TEST_F(SessionCoreRules, ThePumpAppliesOnlyThePeersCandidatesForThisSessionUpToTheLimit) {
    const Bytes peer(32, 0xA1), other(32, 0xB2);
    auto core = make(config(), true);
    auto link = std::make_shared<FakeLink>();
    core->startPump(link);
    link->push(Candidate("S", "candidate:early", std::nullopt, 0));  // before the id is known
    ASSERT_TRUE(eventually([&] { return link->waits >= 2; }));
    core->setSessionID("S");
    core->setPeerFingerprint(peer);
    for (const auto& m : {SignallingMessage(Offer("S", "sdp", SessionMode::view, {})), SignallingMessage(Answer("S", "sdp", {})),
                          SignallingMessage(Reject("S", "no")), SignallingMessage(Wake())})
        link->push(m);
    link->push(Candidate("S2", "candidate:other-session", "0", 0), peer);
    link->push(Bye("S2", "not you"), peer);
    link->push(Candidate("S", "candidate:other-device", "0", 0), other);
    link->push(Bye("S", "not yours to end"), other);
    const int sent = static_cast<int>(SessionCore::kMaxRemoteCandidates) + 50;
    for (int i = 0; i < sent; ++i)
        link->push(Candidate("S", "candidate:" + std::to_string(i), i ? std::optional<std::string>("0") : std::nullopt, 1), peer);
    ASSERT_TRUE(eventually([&] { return link->waits > 9 + sent; }));
    ASSERT_EQ(pc.candidates.size(), SessionCore::kMaxRemoteCandidates);
    EXPECT_EQ(std::make_tuple(pc.candidates[0].sdp, pc.candidates[0].sdpMLineIndex, pc.candidates[0].sdpMid),
              std::make_tuple(std::string("candidate:0"), 1, std::optional<std::string>()));
    EXPECT_EQ(pc.candidates.back().sdp, "candidate:" + std::to_string(SessionCore::kMaxRemoteCandidates - 1));
    EXPECT_EQ(diagnostics, std::vector<std::string>{"QuillCore: ignoring remote candidates beyond the first 128"});
    EXPECT_EQ(std::make_pair(core->lifecycle(), link->closeCount.load()), std::make_pair(State::idle(), 0));
    link->close();
}

TEST_F(SessionCoreRules, AByeTheLinksEndOrFailureOrARefusedCandidateEndTheSession) {
    using Step = std::function<void(SessionCore&, FakePeerConnection&, FakeLink&)>;
    // A connected host's channels close in this order, each left a bye grace; then its bye comes,
    // or with both closed, the link ends.
    auto channelsClose = [](std::vector<std::string> labels) -> Step {
        return [labels](SessionCore& c, FakePeerConnection& p, FakeLink& l) {
            c.answer("offer"), p.fireIce(Ice::completed);
            const std::map<std::string, std::shared_ptr<fake::FakeDataChannel>> channels{{"ctl", p.openRemote("ctl")},
                                                                                        {"bulk", p.openRemote("bulk")}};
            for (const auto& label : labels) channels.at(label)->moveTo(DataChannelState::closed), pastTheByeGrace();
            labels.size() < 2 ? l.push(Bye("S", "done")) : l.end();
        };
    };
    const struct {
        const char* name;
        bool controller;
        Step step;
        std::vector<State> states;
        int linkCloses;
    } rows[] = {
        {"bye to a host", false, [](auto&, auto&, FakeLink& l) { l.push(Bye("S", "done")); }, {State::closed()}, 1},
        {"bye to a controller", true, [](auto&, auto&, FakeLink& l) { l.push(Bye("S", "user left")); },
         {State::failed("The host ended the session: user left")}, 1},
        {"bye to a closed controller", true, [](SessionCore& c, auto&, FakeLink& l) {
             c.setState(State::closed()), l.push(Bye("S", "late"));
         }, {State::closed(), State::closed()}, 1},
        {"the link ends", false, [](SessionCore& c, auto&, FakeLink& l) { c.setState(State::failed("earlier"), true), l.end(); },
         {State::failed("earlier"), State::disconnected(), State::closed()}, 0},
        {"the link fails", false, [](auto&, auto&, FakeLink& l) { l.fail("The other device closed the connection."); },
         {State::failed("The other device closed the connection.")}, 1},
        {"a refused candidate", false, [](auto&, FakePeerConnection& p, FakeLink& l) {
             p.candidateError = "bad candidate", l.push(Candidate("S", "candidate:x", "0", 0));
         }, {State::failed("bad candidate")}, 0},
        // A peer's channels may close before its bye is read: that is its end, not a loss.
        {"a connected host's channels close just before its bye", false, [](SessionCore& c, FakePeerConnection& p, FakeLink& l) {
             c.answer("offer"), p.fireIce(Ice::completed);
             auto ctl = p.openRemote("ctl"), bulk = p.openRemote("bulk");
             ctl->moveTo(DataChannelState::closed), bulk->moveTo(DataChannelState::closed), l.push(Bye("S", "done"));
         }, {State::connecting(), State::connected(), State::closed()}, 1},
        {"a connected host's channels close and no bye comes", false, [](SessionCore& c, FakePeerConnection& p, FakeLink& l) {
             c.answer("offer"), p.fireIce(Ice::completed);
             auto ctl = p.openRemote("ctl"), bulk = p.openRemote("bulk");
             ctl->moveTo(DataChannelState::closed), bulk->moveTo(DataChannelState::closed);
             EXPECT_TRUE(eventually([&] { return c.lifecycle() == State::disconnected(); }));
             l.end();
         }, {State::connecting(), State::connected(), State::disconnected(), State::disconnected(), State::closed()}, 0},
        // One channel alone is no lost connection: the other one still carries the session.
        {"only a connected host's ctl closes", false, channelsClose({"ctl"}),
         {State::connecting(), State::connected(), State::closed()}, 1},
        {"only a connected host's bulk closes", false, channelsClose({"bulk"}),
         {State::connecting(), State::connected(), State::closed()}, 1},
        {"a connected host's bulk closes, then its ctl", false, channelsClose({"bulk", "ctl"}),
         {State::connecting(), State::connected(), State::disconnected(), State::disconnected(), State::closed()}, 0},
    };
    for (const auto& row : rows) {
        auto& p = fresh();
        auto core = make(config(), row.controller);
        core->setSessionID("S");
        auto link = std::make_shared<FakeLink>();
        core->startPump(link);
        row.step(*core, p, *link);
        ASSERT_TRUE(eventually([&] { return core->states->isFinished(); })) << row.name;
        EXPECT_EQ(drain(core->states), row.states) << row.name;
        EXPECT_EQ(link->closeCount, row.linkCloses) << row.name;
        EXPECT_EQ(p.closeCount, 1) << row.name;
        link->close();
    }
}

TEST_F(SessionCoreRules, StatisticsTimeOutWithoutAReportAndKeepTheBaseline) {
    auto core = make();
    StatsReport report{1'000'000, {{"v", {"outbound-rtp", {{"kind", std::string("video")}, {"bytesSent", 1000.0}, {"framesEncoded", 10.0}}}}}};
    pc.statsReport = report;
    EXPECT_EQ(core->statistics(), SessionStats(SessionPath::unknown, std::nullopt, 0, 0, 0, std::string("H264")));
    pc.statsReport.reset();
    const auto start = Clock::now();
    EXPECT_EQ(errorOf([&] { core->statistics(); }), SessionError::connectionTimedOut());
    EXPECT_GE(Clock::now() - start, 4900ms);
    pc.pendingStats.front()(report);  // a late report is dropped
    report.timestampUs = 2'000'000;
    report.entries["v"].values["bytesSent"] = 251000.0;
    report.entries["v"].values["framesEncoded"] = 40.0;
    pc.statsReport = report;
    auto second = core->statistics();
    EXPECT_EQ(std::make_pair(second.bitrateKbps(), second.fps()), std::make_pair(2000.0, 30.0));
}

}  // namespace
}  // namespace quill
