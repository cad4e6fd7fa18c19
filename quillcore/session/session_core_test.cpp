#include "quillcore/session/session_core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "quillcore/base/diagnostics.h"
#include "quillcore/session/session_core_test_fakes.h"

namespace quill {
namespace {

using namespace std::chrono_literals;
using fake::FakeDataChannel;
using fake::FakeLink;
using fake::FakePeerConnection;
using fake::FakeProvider;
using State = SessionConnectionState;

SessionConfiguration config(std::vector<std::string> ice = {}) {
    return SessionConfiguration(std::move(ice), SessionMode::control, 20'000'000, 60, 1920, 1080, 10, 15, 20);
}

template <class F>
bool eventually(F&& condition, std::chrono::milliseconds limit = 3s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return condition();
}

std::vector<State> drain(const AsyncStreamPtr<State>& states) {
    std::vector<State> out;
    while (auto s = states->tryNext()) out.push_back(*s);
    return out;
}

struct SessionCoreRules : ::testing::Test {
    std::shared_ptr<FakeProvider> provider = std::make_shared<FakeProvider>();
    FakePeerConnection& pc = *provider->next;
    std::shared_ptr<SessionCore> make(SessionConfiguration c = config(), bool remoteByeIsFailure = false) {
        return SessionCore::make(std::move(c), remoteByeIsFailure, provider);
    }
    // An offering core with both channels made and ICE at `ice`.
    std::shared_ptr<SessionCore> offered(SessionConfiguration c = config(), bool controller = true) {
        auto core = make(std::move(c), controller);
        core->makeOffer();
        return core;
    }
    void openBoth() {
        pc.localChannel("ctl")->moveTo(DataChannelState::open);
        pc.localChannel("bulk")->moveTo(DataChannelState::open);
    }
};

// Construction ---------------------------------------------------------------------------------

TEST_F(SessionCoreRules, RelayServersAreRefusedBeforeAnythingIsBuilt) {
    for (std::string url : {"TURN:relay.example:3478", "turns:relay.example", "TuRnS:x"}) {
        try {
            make(config({"stun:ok.example", url}));
            FAIL() << url;
        } catch (const SessionError& e) {
            EXPECT_EQ(e, SessionError::turnNotSupported(url));
        }
    }
    EXPECT_EQ(provider->created, 0);
    auto core = make(config({"stun:a.example:3478", " turn:not-a-scheme", "stuns:b"}));
    ASSERT_EQ(provider->configurations.size(), 1u);
    ASSERT_EQ(provider->configurations[0].iceServers.size(), 3u);
    EXPECT_EQ(provider->configurations[0].iceServers[1].urls, std::vector<std::string>{" turn:not-a-scheme"});
    EXPECT_NO_THROW(make(config({})));
}

TEST_F(SessionCoreRules, NoPeerConnectionMeansNoCore) {
    provider->next = nullptr;
    try {
        make();
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::peerConnectionUnavailable());
    }
}

// Recorded states ------------------------------------------------------------------------------

TEST_F(SessionCoreRules, UnforcedChangesNeitherRepeatNorReplaceAFailure) {
    auto core = make();
    EXPECT_EQ(core->lifecycle(), State::idle());
    core->setState(State::connecting());
    core->setState(State::connecting());
    core->setState(State::failed("x"));
    core->setState(State::connected());
    core->setState(State::failed("other"));
    EXPECT_EQ(drain(core->states), (std::vector<State>{State::connecting(), State::failed("x")}));
    core->setState(State::failed("x"), true);
    core->setState(State::disconnected(), true);
    core->setState(State::closed());
    core->setState(State::connecting());  // closed is not final for an unforced change
    EXPECT_EQ(drain(core->states),
              (std::vector<State>{State::failed("x"), State::disconnected(), State::closed(), State::connecting()}));
}

TEST_F(SessionCoreRules, IceFailureRecordsTheFailureClosesAndEndsTheStream) {
    auto core = offered();
    openBoth();
    pc.fireIce(IceConnectionState::connected);
    ASSERT_EQ(core->lifecycle(), State::connected());
    pc.fireIce(IceConnectionState::failed);
    EXPECT_EQ(core->lifecycle(), State::failed("ICE connection failed"));
    EXPECT_EQ(pc.closeCount, 1);
    EXPECT_EQ(pc.localChannel("ctl")->closeCount, 1);
    auto states = drain(core->states);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), State::failed("ICE connection failed"));
    EXPECT_TRUE(core->states->isFinished());
    core->close();
    EXPECT_EQ(core->lifecycle(), State::failed("ICE connection failed"));
    EXPECT_EQ(pc.localChannel("ctl")->closeCount, 1);
}

TEST_F(SessionCoreRules, IceClosedIsForcedUnlessFailed) {
    auto core = make();
    pc.fireIce(IceConnectionState::closed);
    pc.fireIce(IceConnectionState::closed);
    EXPECT_EQ(drain(core->states), (std::vector<State>{State::closed(), State::closed()}));
    core->setState(State::failed("gone"), true);
    pc.fireIce(IceConnectionState::closed);
    pc.fireIce(IceConnectionState::disconnected);
    EXPECT_EQ(drain(core->states), (std::vector<State>{State::failed("gone")}));
}

TEST_F(SessionCoreRules, IceNewsAfterCloseChangesNothing) {
    auto core = offered();
    openBoth();
    core->close();
    pc.fireIce(IceConnectionState::connected);
    pc.fireIce(IceConnectionState::disconnected);
    pc.fireIce(IceConnectionState::failed);
    EXPECT_EQ(core->lifecycle(), State::closed());
    EXPECT_EQ(pc.closeCount, 1);
}

// The connected rule ----------------------------------------------------------------------------

TEST_F(SessionCoreRules, ConnectedNeedsBothChannelsAndIceInEitherOrder) {
    auto core = offered();
    pc.localChannel("ctl")->moveTo(DataChannelState::open);
    pc.fireIce(IceConnectionState::connected);
    EXPECT_EQ(core->lifecycle(), State::connecting());
    pc.localChannel("bulk")->moveTo(DataChannelState::open);
    EXPECT_EQ(core->lifecycle(), State::connected());

    auto& second = *(provider->next = std::make_shared<FakePeerConnection>());
    auto other = make();
    other->makeOffer();
    second.fireIce(IceConnectionState::checking);
    second.localChannel("ctl")->moveTo(DataChannelState::open);
    second.localChannel("bulk")->moveTo(DataChannelState::open);
    EXPECT_EQ(other->lifecycle(), State::connecting());
    second.fireIce(IceConnectionState::completed);
    EXPECT_EQ(other->lifecycle(), State::connected());
}

TEST_F(SessionCoreRules, AnswererAdoptsRemoteChannelsAlreadyOpen) {
    auto core = make();
    pc.fireIce(IceConnectionState::completed);
    auto ctl = pc.openRemote("ctl");
    EXPECT_EQ(core->lifecycle(), State::idle());
    pc.openRemote("bulk");
    EXPECT_EQ(core->lifecycle(), State::connected());
    // The open event that follows changes nothing.
    ctl->moveTo(DataChannelState::open);
    EXPECT_EQ(drain(core->states), (std::vector<State>{State::connected()}));
}

TEST_F(SessionCoreRules, DisconnectedOnlyWhenEveryOpenChannelClosed) {
    auto core = offered();
    openBoth();
    pc.fireIce(IceConnectionState::connected);
    auto extra = pc.openRemote("extra");
    pc.localChannel("bulk")->moveTo(DataChannelState::closed);
    EXPECT_EQ(core->lifecycle(), State::connected());
    pc.localChannel("ctl")->moveTo(DataChannelState::closed);
    EXPECT_EQ(core->lifecycle(), State::connected());  // "extra" is still open
    extra->moveTo(DataChannelState::closed);
    EXPECT_EQ(core->lifecycle(), State::disconnected());
    pc.fireIce(IceConnectionState::disconnected);
    EXPECT_EQ(core->lifecycle(), State::disconnected());
}

TEST_F(SessionCoreRules, CloseIsIdempotentFromManyThreads) {
    auto core = offered();
    openBoth();
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { core->close(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(pc.localChannel("ctl")->closeCount, 1);
    EXPECT_EQ(pc.localChannel("bulk")->closeCount, 1);
    EXPECT_EQ(drain(core->states).back(), State::closed());
    EXPECT_TRUE(core->states->isFinished());
    EXPECT_TRUE(core->messages->isFinished());
    EXPECT_TRUE(core->bulkMessages->isFinished());
    // Channel events after close are ignored.
    pc.localChannel("ctl")->moveTo(DataChannelState::closed);
    EXPECT_EQ(core->lifecycle(), State::closed());
}

TEST_F(SessionCoreRules, CloseFromAStateConsumerDoesNotHang) {
    auto core = offered();
    std::thread consumer([states = core->states, weak = std::weak_ptr<SessionCore>(core)] {
        while (auto s = states->next())
            if (s->is(State::Kind::connected))
                if (auto c = weak.lock()) c->close();
    });
    openBoth();
    pc.fireIce(IceConnectionState::connected);
    consumer.join();
    EXPECT_EQ(core->lifecycle(), State::closed());
}

// The connection wait ------------------------------------------------------------------------------

TEST_F(SessionCoreRules, WaitEndsByStateOrDeadline) {
    auto c0 = config();
    c0.connectionTimeout = 0;
    auto zero = make(c0);
    zero->setState(State::connected());
    EXPECT_THROW(zero->waitUntilConnected(), SessionError);

    provider->next = std::make_shared<FakePeerConnection>();
    auto failing = make();
    failing->setState(State::failed("no route"));
    try {
        failing->waitUntilConnected();
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::connectionFailed("no route"));
    }

    provider->next = std::make_shared<FakePeerConnection>();
    auto closing = make();
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        closing->close();
    });
    const auto start = std::chrono::steady_clock::now();
    try {
        closing->waitUntilConnected();
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e.description(), "The connection failed: the session closed before it opened");
    }
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    provider->next = std::make_shared<FakePeerConnection>();
    auto c1 = config();
    c1.connectionTimeout = 0.1;
    auto late = make(c1);
    try {
        late->waitUntilConnected();
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::connectionTimedOut());
    }

    provider->next = std::make_shared<FakePeerConnection>();
    auto stopped = make();
    std::stop_source stop;
    std::thread canceller([&] {
        std::this_thread::sleep_for(30ms);
        stop.request_stop();
    });
    EXPECT_THROW(stopped->waitUntilConnected(stop.get_token()), Cancelled);
    canceller.join();
}

// Sending and receiving ---------------------------------------------------------------------------

Quillmate_V0_Envelope ping(std::uint64_t value) {
    Quillmate_V0_Envelope e;
    e.mutable_ping()->set_t(value);
    return e;
}

TEST_F(SessionCoreRules, ControlMessagesNeedAnOpenChannelAndAreNeverEmpty) {
    auto core = offered();
    try {
        core->sendControl(ping(1));
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::channelClosed("ctl"));
    }
    auto ctl = pc.localChannel("ctl");
    ctl->moveTo(DataChannelState::open);
    core->sendControl(ping(7));
    ASSERT_EQ(ctl->sent.size(), 1u);
    EXPECT_EQ(ctl->sent[0].first, serializedData(ping(7)));
    EXPECT_TRUE(ctl->sent[0].second);
    try {
        core->sendControl(Quillmate_V0_Envelope{});  // encodes to nothing
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::controlMessage("WebRTC rejected the control message"));
    }
    EXPECT_EQ(ctl->sent.size(), 1u);
    ctl->acceptSends = false;
    EXPECT_THROW(core->sendControl(ping(2)), SessionError);
}

TEST_F(SessionCoreRules, BulkFramesUpTo65536BytesAndNeverEmpty) {
    auto core = offered();
    try {
        core->sendBulk(Bytes(65537));
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::bulkFrameTooLarge(65537));
    }
    EXPECT_THROW(core->sendBulk(Bytes(10)), SessionError);
    auto bulk = pc.localChannel("bulk");
    bulk->moveTo(DataChannelState::open);
    core->sendBulk(Bytes(65536, 9));
    ASSERT_EQ(bulk->sent.size(), 1u);
    EXPECT_EQ(bulk->sent[0].first.size(), 65536u);
    try {
        core->sendBulk(Bytes{});
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::controlMessage("WebRTC rejected the bulk frame"));
    }
    EXPECT_EQ(bulk->sent.size(), 1u);
    bulk->moveTo(DataChannelState::closed);
    try {
        core->sendBulk(Bytes(3));
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::channelClosed("bulk"));
    }
}

TEST_F(SessionCoreRules, ReceivedMessagesGoToTheirStreams) {
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view l) { lines.emplace_back(l); });
    auto core = make();
    auto ctl = pc.openRemote("ctl");
    auto bulk = pc.openRemote("bulk");
    auto other = pc.openRemote("other");
    ctl->receive(Bytes{0xff, 0xff, 0xff});
    ctl->receive(serializedData(ping(5)));
    auto text = serializedData(ping(6));
    ctl->receive(text, false);
    bulk->receive(Bytes{1, 2, 3});
    other->receive(serializedData(ping(9)));
    setDiagnosticSink({});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("QuillCore: ignored an invalid control protobuf: ", 0), 0u) << lines[0];
    auto first = core->messages->tryNext();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->ping().t(), 5u);
    EXPECT_EQ(core->messages->tryNext()->ping().t(), 6u);
    EXPECT_FALSE(core->messages->tryNext());
    EXPECT_EQ(core->bulkMessages->tryNext(), (Bytes{1, 2, 3}));
    EXPECT_FALSE(core->bulkMessages->tryNext());
}

TEST_F(SessionCoreRules, ReceivedBulkFramesAreBoundedInSizeAndInWhatWaitsUnread) {
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view l) { lines.emplace_back(l); });
    auto core = make();
    auto bulk = pc.openRemote("bulk");
    bulk->receive(Bytes(SessionCore::kMaxBulkFrame + 1, 1));
    bulk->receive(Bytes(SessionCore::kMaxBulkFrame + 1, 2));
    bulk->receive(Bytes(SessionCore::kMaxBulkFrame, 3));
    ASSERT_EQ(core->bulkMessages->pending(), 1u);
    EXPECT_EQ(core->bulkMessages->tryNext(), Bytes(SessionCore::kMaxBulkFrame, 3));

    // Nobody reads: what waits stays within the bound, however much the peer sends.
    const std::size_t fullFrame = SessionCore::kMaxBulkFrame + SessionCore::kBulkFrameOverhead;
    for (int i = 0; i < 10'000; ++i) bulk->receive(Bytes(SessionCore::kMaxBulkFrame, static_cast<std::uint8_t>(i)));
    EXPECT_LE(core->bulkMessages->pendingWeight(), SessionCore::kMaxUnreadBulk);
    EXPECT_GT(core->bulkMessages->pendingWeight(), SessionCore::kMaxUnreadBulk - fullFrame);
    // The frames kept are the first ones, in order; once read, frames are taken again.
    std::size_t read = 0;
    while (auto frame = core->bulkMessages->tryNext()) EXPECT_EQ((*frame)[0], static_cast<std::uint8_t>(read++));
    EXPECT_EQ(read, SessionCore::kMaxUnreadBulk / fullFrame);
    bulk->receive(Bytes{7});
    EXPECT_EQ(core->bulkMessages->tryNext(), (Bytes{7}));

    // Tiny frames are held to the bound by their bookkeeping share.
    for (int i = 0; i < 100'000; ++i) bulk->receive(Bytes{1});
    EXPECT_EQ(core->bulkMessages->pending(), SessionCore::kMaxUnreadBulk / (1 + SessionCore::kBulkFrameOverhead));
    setDiagnosticSink({});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "QuillCore: ignored a bulk frame of 65537 bytes (at most 65536 are allowed)");
    EXPECT_EQ(lines[1], "QuillCore: dropping received bulk frames: too many are waiting to be read");
    core->close();
}

// Negotiation --------------------------------------------------------------------------------------

TEST_F(SessionCoreRules, OfferMakesChannelsThenReceiverAndReturnsTheGatheredSdp) {
    auto core = make(config(), true);
    provider->preferences = {{"H265", 90000, {}}, {"H264", 90000, {}}};
    EXPECT_EQ(core->makeOffer(), "gathered-sdp");
    ASSERT_GE(pc.calls.size(), 5u);
    EXPECT_EQ(pc.calls[0], "createDataChannel ctl");
    EXPECT_EQ(pc.calls[1], "createDataChannel bulk");
    EXPECT_EQ(pc.calls[2], "addTransceiver recvOnly");
    EXPECT_EQ(pc.calls[3], "createOffer");
    EXPECT_EQ(pc.calls[4], "setLocalDescription created-offer");
    EXPECT_TRUE(pc.inits[0].ordered);
    EXPECT_EQ(pc.inits[0].maxRetransmits, -1);
    EXPECT_EQ(pc.inits[0].maxPacketLifeTime, -1);
    EXPECT_EQ(pc.transceiver->preferences, provider->preferences);
    EXPECT_EQ(core->lifecycle(), State::connecting());
}

TEST_F(SessionCoreRules, NegotiationFailuresCarryTheirTexts) {
    auto expectDescription = [&](const std::function<void()>& f, const std::string& text) {
        try {
            f();
            ADD_FAILURE() << "no error, wanted " << text;
        } catch (const SessionError& e) {
            EXPECT_EQ(e, SessionError::sessionDescription(text));
        }
    };
    auto fresh = [&] {
        provider->next = std::make_shared<FakePeerConnection>();
        return make(config(), true);
    };
    {
        auto core = fresh();
        provider->next->transceiver = nullptr;
        expectDescription([&] { core->makeOffer(); }, "could not add the video receiver");
    }
    {
        auto core = fresh();
        provider->next->transceiver->failWith = "bad codec";
        expectDescription([&] { core->makeOffer(); }, "could not set video codec preferences: bad codec");
    }
    {
        auto core = fresh();
        provider->next->offerResult = {SessionDescription{SdpType::offer, "both"}, std::string("ignored")};
        EXPECT_EQ(core->makeOffer(), "gathered-sdp");
        provider->next->offerResult = {std::nullopt, std::nullopt};
        expectDescription([&] { core->makeOffer(); }, "WebRTC returned no session description");
        provider->next->offerResult = {std::nullopt, std::string("broken")};
        expectDescription([&] { core->makeOffer(); }, "broken");
    }
    {
        auto core = fresh();
        provider->next->local.reset();
        expectDescription([&] { core->makeOffer(); }, "local offer SDP is missing");
        expectDescription([&] { core->answer("offer"); }, "local answer SDP is missing");
        provider->next->setRemoteError = "malformed";
        expectDescription([&] { core->answer("offer"); }, "malformed");
        EXPECT_EQ(core->lifecycle(), State::connecting());
    }
    {
        auto c = config();
        c.gatheringTimeout = 0;
        provider->next = std::make_shared<FakePeerConnection>();
        auto core = make(c, true);
        try {
            core->makeOffer();
            FAIL();
        } catch (const SessionError& e) {
            EXPECT_EQ(e, SessionError::gatheringTimedOut());
        }
    }
}

TEST_F(SessionCoreRules, AnswerAddsTheScreenTrackWithItsLimits) {
    auto core = make();
    pc.sender->initial.encodings = {RtpEncodingParameters{false, 1, 2.0}, RtpEncodingParameters{}};
    core->sendVideoFrame(PixelBuffer::fromVector(2, 2, Bytes(16)), 1);  // before the track: dropped
    EXPECT_EQ(core->answer("the-offer"), "gathered-sdp");
    EXPECT_EQ(pc.calls[0], "setRemoteDescription the-offer");
    EXPECT_EQ(pc.source->width, 1920);
    EXPECT_EQ(pc.source->height, 1080);
    EXPECT_EQ(pc.source->fps, 60);
    ASSERT_TRUE(pc.sender->applied);
    ASSERT_EQ(pc.sender->applied->encodings.size(), 1u);
    EXPECT_EQ(pc.sender->applied->encodings[0], (RtpEncodingParameters{true, 20'000'000, 60.0}));
    EXPECT_EQ(pc.sender->applied->degradationPreference, DegradationPreference::maintainResolution);
    EXPECT_EQ(pc.addedStreamIds, std::vector<std::string>{"Quillmate"});
    const std::string id = pc.addedTrackId;
    ASSERT_EQ(id.size(), 36u);
    for (std::size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ(id[i], '-');
    for (char c : id) EXPECT_TRUE(c == '-' || std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << id;

    auto frame = PixelBuffer::fromVector(2, 2, Bytes(16));
    core->sendVideoFrame(frame, 42);
    ASSERT_EQ(pc.source->frames.size(), 1u);
    EXPECT_EQ(pc.source->frames[0].first, frame);
    EXPECT_EQ(pc.source->frames[0].second, 42);

    provider->next = std::make_shared<FakePeerConnection>();
    provider->next->sender->initial.encodings.clear();
    auto second = make();
    second->answer("x");
    EXPECT_NE(provider->next->addedTrackId, id);
    EXPECT_EQ(provider->next->sender->applied->encodings.size(), 1u);
}

TEST_F(SessionCoreRules, OutOfRangeVideoSettingsRefuseTheTrack) {
    for (auto edit : std::vector<std::function<void(SessionConfiguration&)>>{
             [](SessionConfiguration& c) { c.preferredVideoWidth = 0; },
             [](SessionConfiguration& c) { c.preferredVideoHeight = std::int64_t(1) << 31; },
             [](SessionConfiguration& c) { c.videoFPS = -60; }}) {
        auto c = config();
        edit(c);
        provider->next = std::make_shared<FakePeerConnection>();
        auto core = make(c);
        try {
            core->answer("x");
            FAIL();
        } catch (const SessionError& e) {
            EXPECT_EQ(e, SessionError::sessionDescription("could not add the screen video track"));
        }
        EXPECT_EQ(provider->next->source->width, 0);
    }
    provider->next = std::make_shared<FakePeerConnection>();
    provider->next->sender = nullptr;
    auto core = make();
    EXPECT_THROW(core->answer("x"), SessionError);
    core->sendVideoFrame(PixelBuffer::fromVector(2, 2, Bytes(16)), 1);
    EXPECT_TRUE(provider->next->source->frames.empty());
}

TEST_F(SessionCoreRules, OnlyVideoReceiversBecomeTheRemoteTrack) {
    auto core = make();
    pc.currentDelegate()->peerConnectionDidAddReceiver(std::make_shared<fake::FakeAudioTrack>());
    EXPECT_FALSE(core->remoteVideoTrack());
    auto video = std::make_shared<fake::FakeVideoTrack>();
    pc.currentDelegate()->peerConnectionDidAddReceiver(video);
    EXPECT_EQ(core->remoteVideoTrack(), video);
}

// The signalling pump -------------------------------------------------------------------------------

TEST_F(SessionCoreRules, PumpIgnoresWhatIsNotForThisSession) {
    auto core = make();
    auto link = std::make_shared<FakeLink>();
    core->startPump(link);
    link->push(Candidate("S1", "candidate:early", std::nullopt, 0));  // before the id is known
    ASSERT_TRUE(eventually([&] { return link->waits >= 2; }));
    core->setSessionID("S1");
    link->push(Offer("S1", "sdp", SessionMode::view, {}));
    link->push(Answer("S1", "sdp", {}));
    link->push(Reject("S1", "no"));
    link->push(Wake());
    link->push(Candidate("S2", "candidate:other", "0", 0));
    link->push(Bye("S2", "not you"));
    link->push(Candidate("S1", "candidate:mine", std::nullopt, 1));
    ASSERT_TRUE(eventually([&] { return link->waits >= 9; }));
    ASSERT_EQ(pc.candidates.size(), 1u);
    EXPECT_EQ(pc.candidates[0].sdp, "candidate:mine");
    EXPECT_EQ(pc.candidates[0].sdpMLineIndex, 1);
    EXPECT_FALSE(pc.candidates[0].sdpMid);
    EXPECT_EQ(core->lifecycle(), State::idle());
    link->close();
}

TEST_F(SessionCoreRules, OnlyTheSessionsPeerMayAddCandidatesOrSayBye) {
    const Bytes peer(32, 0xA1), other(32, 0xB2);
    auto core = make(config(), true);
    core->setSessionID("S");
    core->setPeerFingerprint(peer);
    auto link = std::make_shared<FakeLink>();
    core->startPump(link);
    link->pushFrom(other, Candidate("S", "candidate:other", "0", 0));
    link->pushFrom(other, Bye("S", "not yours to end"));
    link->pushFrom(peer, Candidate("S", "candidate:peer", "0", 0));
    ASSERT_TRUE(eventually([&] { return link->waits >= 4; }));
    ASSERT_EQ(pc.candidates.size(), 1u);
    EXPECT_EQ(pc.candidates[0].sdp, "candidate:peer");
    EXPECT_FALSE(core->states->isFinished());
    EXPECT_EQ(link->closeCount, 0);
    link->pushFrom(peer, Bye("S", "done"));
    ASSERT_TRUE(eventually([&] { return core->states->isFinished(); }));
    EXPECT_EQ(core->lifecycle(), State::failed("The host ended the session: done"));
}

TEST_F(SessionCoreRules, RemoteCandidatesBeyondTheLimitAreIgnored) {
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view l) { lines.emplace_back(l); });
    auto core = make();
    core->setSessionID("S");
    auto link = std::make_shared<FakeLink>();
    core->startPump(link);
    const int sent = static_cast<int>(SessionCore::kMaxRemoteCandidates) + 50;
    for (int i = 0; i < sent; ++i) link->push(Candidate("S", "candidate:" + std::to_string(i), "0", 0));
    const bool handled = eventually([&] { return link->waits > sent; });
    setDiagnosticSink({});
    ASSERT_TRUE(handled);
    EXPECT_EQ(pc.candidates.size(), SessionCore::kMaxRemoteCandidates);
    EXPECT_EQ(pc.candidates.back().sdp, "candidate:" + std::to_string(SessionCore::kMaxRemoteCandidates - 1));
    EXPECT_EQ(lines, std::vector<std::string>{"QuillCore: ignoring remote candidates beyond the first 128"});
    EXPECT_FALSE(core->states->isFinished());
    link->close();
}

TEST_F(SessionCoreRules, ByeEndsTheHostQuietlyAndTheControllerWithAFailure) {
    auto host = make(config(), false);
    host->setSessionID("S");
    auto hostLink = std::make_shared<FakeLink>();
    host->startPump(hostLink);
    hostLink->push(Bye("S", "done"));
    ASSERT_TRUE(eventually([&] { return host->states->isFinished(); }));
    EXPECT_EQ(hostLink->closeCount, 1);
    EXPECT_EQ(drain(host->states), (std::vector<State>{State::closed()}));

    provider->next = std::make_shared<FakePeerConnection>();
    auto controller = make(config(), true);
    controller->setSessionID("S");
    auto link = std::make_shared<FakeLink>();
    controller->startPump(link);
    link->push(Bye("S", "user left"));
    ASSERT_TRUE(eventually([&] { return controller->states->isFinished(); }));
    EXPECT_EQ(drain(controller->states), (std::vector<State>{State::failed("The host ended the session: user left")}));

    provider->next = std::make_shared<FakePeerConnection>();
    auto closedFirst = make(config(), true);
    closedFirst->setSessionID("S");
    closedFirst->setState(State::closed());
    auto link3 = std::make_shared<FakeLink>();
    closedFirst->startPump(link3);
    link3->push(Bye("S", "late"));
    ASSERT_TRUE(eventually([&] { return closedFirst->states->isFinished(); }));
    EXPECT_EQ(closedFirst->lifecycle(), State::closed());
}

TEST_F(SessionCoreRules, LinkEndAndLinkFailureEndTheSession) {
    auto core = make();
    core->setState(State::failed("earlier"), true);
    auto link = std::make_shared<FakeLink>();
    core->startPump(link);
    link->end();
    ASSERT_TRUE(eventually([&] { return core->states->isFinished(); }));
    EXPECT_EQ(drain(core->states), (std::vector<State>{State::failed("earlier"), State::disconnected(), State::closed()}));
    EXPECT_EQ(link->closeCount, 0);

    provider->next = std::make_shared<FakePeerConnection>();
    auto failing = make();
    auto link2 = std::make_shared<FakeLink>();
    failing->startPump(link2);
    link2->fail("The other device closed the connection.");
    ASSERT_TRUE(eventually([&] { return failing->states->isFinished(); }));
    EXPECT_EQ(failing->lifecycle(), State::failed("The other device closed the connection."));
    EXPECT_EQ(link2->closeCount, 1);
    EXPECT_EQ(provider->next->closeCount, 1);
}

TEST_F(SessionCoreRules, RefusedCandidateFailsTheSessionButLeavesTheLinkOpen) {
    auto core = make();
    core->setSessionID("S");
    pc.candidateError = "bad candidate";
    auto link = std::make_shared<FakeLink>();
    core->startPump(link);
    link->push(Candidate("S", "candidate:x", "0", 0));
    ASSERT_TRUE(eventually([&] { return core->states->isFinished(); }));
    EXPECT_EQ(core->lifecycle(), State::failed("bad candidate"));
    EXPECT_EQ(link->closeCount, 0);
}

TEST_F(SessionCoreRules, ASecondPumpReplacesTheFirstAndTheCoreIsNotKeptAlive) {
    auto core = make();
    core->setSessionID("S");
    auto first = std::make_shared<FakeLink>();
    auto second = std::make_shared<FakeLink>();
    core->startPump(first);
    ASSERT_TRUE(eventually([&] { return first->waits == 1; }));
    core->startPump(second);
    // The first pump is parked: it handles the link's next outcome, then ends.
    first->push(Candidate("S", "candidate:first", std::nullopt, 0));
    ASSERT_TRUE(eventually([&] { return pc.candidates.size() == 1; }));
    first->push(Candidate("S", "candidate:never", std::nullopt, 0));
    second->push(Candidate("S", "candidate:second", std::nullopt, 0));
    ASSERT_TRUE(eventually([&] { return pc.candidates.size() == 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(pc.candidates.size(), 2u);
    EXPECT_EQ(pc.candidates[1].sdp, "candidate:second");

    // A role that drops its core: the parked pump does not keep it.
    std::weak_ptr<SessionCore> weak = core;
    core.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(pc.closeCount, 1);
    second->push(Bye("S", "bye"));
    first->close();
    second->close();
}

// Statistics ----------------------------------------------------------------------------------------

TEST_F(SessionCoreRules, StatisticsTimeOutWithoutAReportAndKeepTheBaseline) {
    auto core = make();
    StatsReport report;
    report.timestampUs = 1'000'000;
    report.entries["v"] = StatsEntry{"outbound-rtp", {{"kind", std::string("video")}, {"bytesSent", 1000.0}, {"framesEncoded", 10.0}}};
    pc.statsReport = report;
    auto first = core->statistics();
    EXPECT_EQ(first.bitrateKbps(), 0);
    EXPECT_EQ(first.codec(), std::optional<std::string>("H264"));

    pc.statsReport.reset();
    const auto start = std::chrono::steady_clock::now();
    try {
        core->statistics();
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::connectionTimedOut());
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4900ms);
    pc.pendingStats.front()(report);  // a late report is dropped

    report.timestampUs = 2'000'000;
    report.entries["v"].values["bytesSent"] = 251000.0;
    report.entries["v"].values["framesEncoded"] = 40.0;
    pc.statsReport = report;
    auto second = core->statistics();
    EXPECT_DOUBLE_EQ(second.bitrateKbps(), 2000);
    EXPECT_DOUBLE_EQ(second.fps(), 30);
}

}  // namespace
}  // namespace quill
