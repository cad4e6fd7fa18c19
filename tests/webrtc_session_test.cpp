// Real WebRTC between a controller core and a host core in one process, on loopback.
#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <random>
#include <regex>

#include "tests/webrtc_support.h"

namespace quill {
namespace {

using namespace webrtctest;
using State = SessionConnectionState;

class WebRtcSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() { PeerConnectionFactory::shared(); }
};

std::vector<State> drainUntilFinished(const AsyncStreamPtr<State>& states, double seconds = 10) {
    std::vector<State> out;
    const Deadline deadline = Deadline::after(seconds);
    for (;;) {
        auto n = states->nextUntil(deadline);
        if (!n.hasItem()) break;
        out.push_back(*n.value);
    }
    return out;
}

Quillmate_V0_Envelope ping(std::uint64_t t) {
    Quillmate_V0_Envelope e;
    e.mutable_ping()->set_t(t);
    return e;
}

TEST_F(WebRtcSession, ControllerAndHostExchangeEverythingAndByeEndsBoth) {
    auto p = connectPair(configuration(1280, 720, 30));
    EXPECT_NE(p.offer.find("a=candidate"), std::string::npos);
    EXPECT_TRUE(std::regex_search(p.answer, std::regex("a=rtpmap:\\d+ rtx/90000"))) << p.answer;
    EXPECT_NE(p.answer.find("a=candidate"), std::string::npos);
    EXPECT_EQ(p.controller->lifecycle(), State::connected());
    EXPECT_EQ(p.host->lifecycle(), State::connected());

    // Control messages both ways, as protobuf.
    p.controller->sendControl(ping(41));
    auto atHost = p.host->messages->next(5.0);
    ASSERT_TRUE(atHost.hasItem());
    EXPECT_EQ(atHost.value->ping().t(), 41u);
    Quillmate_V0_Envelope pong;
    pong.mutable_pong()->set_t(41);
    p.host->sendControl(pong);
    auto atController = p.controller->messages->next(5.0);
    ASSERT_TRUE(atController.hasItem());
    EXPECT_EQ(atController.value->pong().t(), 41u);

    // Bulk frames up to 65,536 bytes.
    Bytes frame(65536);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>((i * 31) ^ (i >> 8));
    p.controller->sendBulk(frame);
    auto bulk = p.host->bulkMessages->next(5.0);
    ASSERT_TRUE(bulk.hasItem());
    EXPECT_EQ(*bulk.value, frame);
    EXPECT_THROW(p.controller->sendBulk(Bytes(65537)), SessionError);
    EXPECT_THROW(p.host->sendBulk(Bytes{}), SessionError);
    p.host->sendBulk(Bytes{7});
    auto back = p.controller->bulkMessages->next(5.0);
    ASSERT_TRUE(back.hasItem());
    EXPECT_EQ(*back.value, Bytes{7});

    // Screen video: a colour per run of frames, decoded at the controller in order. The frames
    // come as a capture makes them (padding byte zero, padded rows).
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const auto& colours = palette();
        std::int64_t frameIndex = 0;
        while (!stop) {
            const auto& c = colours[static_cast<std::size_t>((frameIndex / 6) % 7)];
            p.host->sendVideoFrame(capturedFrame(1280, 720, c.r, c.g, c.b), nowNs());
            ++frameIndex;
            std::this_thread::sleep_for(33ms);
        }
    });
    std::shared_ptr<RemoteVideoTrack> track;
    for (int i = 0; i < 500 && !track; ++i) {
        track = p.controller->remoteVideoTrack();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(track);
    std::vector<int> seen;
    int unknown = 0;
    while (seen.size() < 50) {
        auto f = track->frames()->next(5.0);
        if (!f.hasItem()) break;
        const PixelBuffer& buffer = **f.value;
        ASSERT_EQ(buffer.width(), 1280);
        ASSERT_EQ(buffer.height(), 720);
        int index = paletteIndex(centre(buffer));
        if (index < 0 || index == 7) {
            ++unknown;  // the black frame that primes the encoder
            continue;
        }
        seen.push_back(index);
    }
    EXPECT_LE(unknown, 3);
    ASSERT_GE(seen.size(), 30u);
    std::set<int> distinct(seen.begin(), seen.end());
    EXPECT_GE(distinct.size(), 3u);
    // The colours come in the order they were sent (the palette cycles through 0..6); a busy
    // machine may drop a whole run of frames, never reorder them.
    int changes = 0;
    for (std::size_t i = 1; i < seen.size(); ++i)
        if (seen[i] != seen[i - 1]) {
            ++changes;
            const int step = (seen[i] - seen[i - 1] + 7) % 7;
            EXPECT_TRUE(step >= 1 && step <= 2) << "from " << seen[i - 1] << " to " << seen[i] << " at " << i;
        }
    EXPECT_GE(changes, 2);

    // Statistics on both sides, samples a second apart while video flows. webrtcbin renews its
    // byte counters with RTCP, which a loaded machine may delay past one interval: a few
    // samples are allowed for a rate to show.
    p.host->statistics();
    p.controller->statistics();
    std::optional<SessionStats> hostStats, controllerStats;
    for (int i = 0; i < 5 && !(hostStats && hostStats->bitrateKbps() > 0 && controllerStats->bitrateKbps() > 0); ++i) {
        std::this_thread::sleep_for(1s);
        hostStats = p.host->statistics();
        controllerStats = p.controller->statistics();
    }
    stop = true;
    feeder.join();
    for (const auto& s : {*hostStats, *controllerStats}) {
        EXPECT_EQ(s.path(), SessionPath::loopback);
        EXPECT_EQ(s.codec(), std::optional<std::string>("H264"));
        EXPECT_GT(s.fps(), 10);
        EXPECT_GT(s.bitrateKbps(), 0);
        EXPECT_GE(s.packetLoss(), 0);
    }

    // The host ends the session: its Bye reaches the controller, which reports the failure.
    p.hostLink->send(Bye("SESSION", "sharing paused by the host user"));
    p.hostLink->close();
    p.host->close();
    auto hostStates = drainUntilFinished(p.host->states);
    ASSERT_FALSE(hostStates.empty());
    EXPECT_EQ(hostStates.back(), State::closed());
    auto controllerStates = drainUntilFinished(p.controller->states);
    ASSERT_FALSE(controllerStates.empty());
    EXPECT_EQ(controllerStates.back(), State::failed("The host ended the session: sharing paused by the host user"));
    EXPECT_TRUE(p.controller->states->isFinished());
    EXPECT_THROW(p.controller->sendControl(ping(1)), SessionError);
    p.closeAll();
}

TEST_F(WebRtcSession, ControllerByeClosesTheHostWithoutAFailure) {
    auto p = connectPair(configuration(320, 240, 30));
    // Candidates a peer may send in error or in malice reach webrtcbin and change nothing.
    const std::string longText(100000, 'x');
    const std::vector<Candidate> odd{
        Candidate("SESSION", "garbage", std::nullopt, 0),
        Candidate("SESSION", "candidate:1 1 UDP 1 127.0.0.1 1 typ host", std::string("nope"), 99),
        Candidate("SESSION", "a=candidate:1 1 UDP 2130706431 ::1 9 typ host\r\nm=audio 9", std::string("0"), 0),
        Candidate("SESSION", longText, std::string("0"), 0),
        Candidate("SESSION", "", std::nullopt, 1),
    };
    for (const auto& c : odd) p.controllerLink->send(c);
    p.controller->sendControl(ping(5));
    auto stillUp = p.host->messages->next(5.0);
    ASSERT_TRUE(stillUp.hasItem());
    EXPECT_EQ(stillUp.value->ping().t(), 5u);
    EXPECT_EQ(p.host->lifecycle(), State::connected());

    p.controllerLink->send(Bye("SESSION", "done"));
    p.controllerLink->close();
    p.controller->close();
    auto hostStates = drainUntilFinished(p.host->states);
    ASSERT_FALSE(hostStates.empty());
    EXPECT_EQ(hostStates.back(), State::closed());
    for (const auto& s : hostStates) EXPECT_FALSE(s.is(State::Kind::failed));
    EXPECT_EQ(p.controller->lifecycle(), State::closed());
    p.closeAll();
}

TEST_F(WebRtcSession, MalformedOffersAreErrorsAndLaterSessionsStillWork) {
    const std::string valid = [] {
        auto c = SessionCore::make(configuration(320, 240), true);
        auto sdp = c->makeOffer();
        c->close();
        return sdp;
    }();
    const std::string noVideo = std::regex_replace(valid, std::regex("m=video"), "m=audio");
    const std::vector<std::string> bad{
        "",
        "garbage",
        "v=0\r\n",
        "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\nm=video 9 UDP/TLS/RTP/SAVPF\r\n",
        valid.substr(0, valid.size() / 3),
        noVideo,
        std::regex_replace(valid, std::regex("a=group:BUNDLE [^\r\n]*"), "a=group:BUNDLE nothing-here"),
        std::regex_replace(valid, std::regex("m=video (\\d+) (\\S+) [^\r\n]*"), "m=video $1 $2 0"),
        std::regex_replace(valid, std::regex("a=rtpmap:(\\d+) H264/90000"), "a=rtpmap:$1 H264/0"),
        std::regex_replace(valid, std::regex("a=fingerprint:[^\r\n]*\r\n"), ""),
        std::regex_replace(valid, std::regex("a=ice-ufrag:[^\r\n]*\r\n"), ""),
    };
    for (const auto& offer : bad) {
        auto host = SessionCore::make(configuration(320, 240), false);
        try {
            host->answer(offer);
            ADD_FAILURE() << "accepted: " << offer.substr(0, 80);
        } catch (const SessionError& e) {
            EXPECT_EQ(e.kind(), SessionError::Kind::sessionDescription) << e.description();
        }
        host->close();
    }
    // A frame rate the core's range admits but no encoder can run.
    auto fast = SessionCore::make(configuration(320, 240, std::numeric_limits<std::int32_t>::max()), false);
    EXPECT_THROW(fast->answer(valid), SessionError);
    fast->close();
    auto p = connectPair(configuration(320, 240));
    EXPECT_EQ(p.host->lifecycle(), State::connected());
    p.closeAll();
}

// Offers with the codecs and order of other WebRTC stacks.
class ForeignOfferProvider : public PeerConnectionProvider {
public:
    std::shared_ptr<PeerConnection> createPeerConnection(const RtcConfiguration& c) override {
        return PeerConnectionFactory::shared().createPeerConnection(c);
    }
    std::vector<CodecCapability> videoCodecPreferences() const override {
        return {{"H265", 90000, {}},
                {"VP8", 90000, {}},
                {"H264", 90000, {{"packetization-mode", "1"}, {"profile-level-id", "640c1f"}}},
                {"H264", 90000, {{"packetization-mode", "0"}, {"profile-level-id", "42e01f"}}},
                {"H264", 90000, {{"packetization-mode", "1"}, {"profile-level-id", "42e01f"}}},
                {"RED", 90000, {}}};
    }
    std::string preferredCodec() const override { return "H264"; }
};

TEST_F(WebRtcSession, ForeignMultiCodecOfferIsAnsweredWithH264OnItsPayloadType) {
    auto provider = std::make_shared<ForeignOfferProvider>();
    auto controller = SessionCore::make(configuration(640, 360), true, provider);
    auto host = SessionCore::make(configuration(640, 360), false);
    auto offer = controller->makeOffer();
    EXPECT_NE(offer.find("H265/90000"), std::string::npos) << offer;
    EXPECT_NE(offer.find("rtx/90000"), std::string::npos) << offer;

    auto answer = host->answer(offer);
    // H.264 with packetization mode 1 and a baseline profile sits at payload type 100 (96 + 4).
    EXPECT_NE(answer.find("a=rtpmap:100 H264/90000"), std::string::npos) << answer;
    // Retransmission for the codec the host chose.
    EXPECT_TRUE(std::regex_search(answer, std::regex("a=fmtp:\\d+ apt=100\r\n"))) << answer;
    EXPECT_EQ(answer.find("H265"), std::string::npos) << answer;
    controller->setRemote({SdpType::answer, answer});
    auto hostWait = std::async(std::launch::async, [&] { host->waitUntilConnected(); });
    controller->waitUntilConnected();
    hostWait.get();

    // The capture's clock starts again after the first frame: the frames after it still go.
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        host->sendVideoFrame(solidFrame(640, 360, 0, 0, 255), nowNs());
        for (std::int64_t ts = 0; !stop; ts += 33'333'333) {
            std::this_thread::sleep_for(33ms);
            host->sendVideoFrame(solidFrame(640, 360, 0, 0, 255), ts);
        }
    });
    std::shared_ptr<RemoteVideoTrack> track;
    for (int i = 0; i < 500 && !track; ++i) {
        track = controller->remoteVideoTrack();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(track);
    int blue = 0, frames = 0;
    for (int i = 0; i < 40 && blue < 5; ++i) {
        auto f = track->frames()->next(5.0);
        if (!f.hasItem()) break;
        ++frames;
        if (paletteIndex(centre(**f.value)) == 2) ++blue;
    }
    stop = true;
    feeder.join();
    EXPECT_GE(blue, 5) << frames << " frames";
    controller->close();
    host->close();
}

// As other stacks write it: the application section first, every section on port 9.
std::string applicationFirst(const std::string& sdp) {
    const std::size_t first = sdp.find("\r\nm=");
    std::string out = sdp.substr(0, first + 2), rest = sdp.substr(first + 2);
    std::vector<std::string> sections;
    for (std::size_t p; (p = rest.find("\r\nm=")) != std::string::npos; rest = rest.substr(p + 2))
        sections.push_back(rest.substr(0, p + 2));
    sections.push_back(rest);
    std::stable_partition(sections.begin(), sections.end(),
                          [](const std::string& m) { return m.rfind("m=application", 0) == 0; });
    for (const auto& m : sections) out += m;
    out = std::regex_replace(out, std::regex("(m=\\w+) 0 "), "$1 9 ");
    return std::regex_replace(out, std::regex("a=bundle-only\r\n"), "");
}

// webrtcbin (as the offerer here) cannot itself run a session whose data channels come first,
// so this checks the host's side: no abort, an answer in the offer's order with H.264 on the
// offer's payload type, and a host that goes on working.
TEST_F(WebRtcSession, OfferWithTheApplicationSectionFirstIsAnswered) {
    auto& factory = PeerConnectionFactory::shared();
    auto controller = factory.createPeerConnection({});
    controller->createDataChannel("ctl", {});
    controller->createDataChannel("bulk", {});
    auto transceiver = controller->addTransceiver(MediaKind::video, TransceiverDirection::recvOnly);
    std::string error;
    ASSERT_TRUE(transceiver->setCodecPreferences(factory.videoCodecPreferences(), error));
    ASSERT_FALSE(controller->setLocalDescription(*controller->createOffer().description));
    for (int i = 0; i < 500 && controller->iceGatheringState() != IceGatheringState::complete; ++i)
        std::this_thread::sleep_for(10ms);
    const std::string offer = applicationFirst(controller->localDescription()->sdp);
    ASSERT_LT(offer.find("m=application"), offer.find("m=video"));

    auto host = SessionCore::make(configuration(640, 360), false);
    auto answer = host->answer(offer);
    EXPECT_LT(answer.find("m=application"), answer.find("m=video")) << answer;
    EXPECT_NE(answer.find("a=rtpmap:97 H264/90000"), std::string::npos) << answer;
    EXPECT_NE(answer.find("a=candidate"), std::string::npos) << answer;
    EXPECT_NE(answer.find("webrtc-datachannel"), std::string::npos) << answer;
    host->close();
    controller->close();

    auto p = connectPair(configuration(320, 240));
    EXPECT_EQ(p.host->lifecycle(), State::connected());
    p.closeAll();
}

TEST_F(WebRtcSession, ClosingFromAnyThreadAndStateCallbacksNeverHangs) {
    // From the consumer of `states`, as soon as the host connects.
    {
        auto p = connectPair(configuration(320, 240));
        std::thread consumer([states = p.controller->states, core = p.controller] {
            while (auto s = states->next()) {
                core->close();
                core->close();
            }
        });
        p.controller->setState(State::disconnected());
        consumer.join();
        EXPECT_EQ(p.controller->lifecycle(), State::closed());
        p.closeAll();
    }
    // From many threads at once, while video is being sent.
    {
        auto p = connectPair(configuration(320, 240));
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            while (!stop) p.host->sendVideoFrame(solidFrame(320, 240, 9, 9, 9), nowNs());
        });
        std::vector<std::thread> closers;
        for (int i = 0; i < 4; ++i) closers.emplace_back([&] {
            p.host->close();
            p.controller->close();
        });
        for (auto& t : closers) t.join();
        stop = true;
        feeder.join();
        EXPECT_TRUE(p.host->states->isFinished());
        p.closeAll();
    }
    // During negotiation, from another thread: the waits end promptly.
    {
        auto controller = SessionCore::make(configuration(320, 240), true);
        auto offer = controller->makeOffer();
        std::thread closer([&] {
            std::this_thread::sleep_for(100ms);
            controller->close();
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(controller->waitUntilConnected(), SessionError);
        closer.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
    // Dropping a connected pair without closing it.
    {
        auto p = connectPair(configuration(320, 240));
        p.controllerLink->close();
        p.hostLink->close();
        std::weak_ptr<SessionCore> weak = p.host;
        p = Pair{};
        // The pumps drop their hold once their links have ended.
        for (int i = 0; i < 300 && !weak.expired(); ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(weak.expired());
    }
}

std::size_t countEntries(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST_F(WebRtcSession, FiftySessionsLeaveNoThreadsFilesOrMemoryBehind) {
    auto once = [] {
        auto p = connectPair(configuration(320, 240));
        p.controller->sendControl(ping(1));
        EXPECT_TRUE(p.host->messages->next(5.0).hasItem());
        p.closeAll();
    };
    for (int i = 0; i < 10; ++i) once();
    std::this_thread::sleep_for(200ms);
    // Memory the allocator keeps for reuse is not a leak: hand it back before each reading.
    malloc_trim(0);
    const auto threads = countEntries("/proc/self/task");
    const auto fds = countEntries("/proc/self/fd");
    const long memory = residentKiB();
    for (int i = 0; i < 50; ++i) once();
    std::this_thread::sleep_for(200ms);
    malloc_trim(0);
    // A few idle pool threads may come and go; one left per session would be 50.
    EXPECT_LE(countEntries("/proc/self/task"), threads + 8);
    EXPECT_LE(countEntries("/proc/self/fd"), fds + 8);
    // About 1 MiB per session would show as 50 MiB here.
    EXPECT_LT(residentKiB() - memory, 24 * 1024) << "KiB before: " << memory;
}

// Both sides told to reach the other at a port where nothing answers.
std::string unreachable(const std::string& sdp) {
    return std::regex_replace(sdp, std::regex("(a=candidate:\\S+ \\d+ \\S+ \\d+ \\S+ )\\d+"), "$01" "9");
}

TEST_F(WebRtcSession, UnreachablePeerEndsInIceFailure) {
    auto controller = SessionCore::make(configuration(320, 240), true);
    auto host = SessionCore::make(configuration(320, 240), false);
    auto offer = controller->makeOffer();
    auto answer = host->answer(unreachable(offer));
    controller->setRemote({SdpType::answer, unreachable(answer)});
    try {
        controller->waitUntilConnected();
        FAIL() << "connected";
    } catch (const SessionError& e) {
        EXPECT_EQ(e, SessionError::connectionFailed("ICE connection failed"));
    }
    auto states = drainUntilFinished(controller->states);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), State::failed("ICE connection failed"));
    host->close();
}

}  // namespace
}  // namespace quill

namespace quill {
namespace {

// Records every state with the time it came.
class StateLog {
public:
    explicit StateLog(AsyncStreamPtr<SessionConnectionState> states)
        : thread_([this, states] {
              while (auto s = states->next()) {
                  std::lock_guard l(mutex_);
                  log_.emplace_back(std::chrono::steady_clock::now(), *s);
                  cv_.notify_all();
              }
          }) {}
    ~StateLog() { thread_.join(); }
    // How long after `since` the state `wanted` was recorded, waiting at most `limit`.
    std::optional<std::chrono::milliseconds> waitFor(const SessionConnectionState& wanted,
                                                     std::chrono::steady_clock::time_point since,
                                                     std::chrono::milliseconds limit) {
        std::unique_lock l(mutex_);
        std::optional<std::chrono::milliseconds> found;
        cv_.wait_until(l, since + limit, [&] {
            for (auto& [at, s] : log_)
                if (at >= since && s == wanted) {
                    found = std::chrono::duration_cast<std::chrono::milliseconds>(at - since);
                    return true;
                }
            return false;
        });
        return found;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::pair<std::chrono::steady_clock::time_point, SessionConnectionState>> log_;
    std::thread thread_;
};

void expectSilenceNoticed(SessionCore& core, StateLog& log, PeerProcess& peer) {
    std::this_thread::sleep_for(500ms);
    auto stopped = std::chrono::steady_clock::now();
    peer.signal(SIGSTOP);
    auto lost = log.waitFor(SessionConnectionState::disconnected(), stopped, 8s);
    ASSERT_TRUE(lost) << "no disconnected state for a stopped peer";
    ::testing::Test::RecordProperty("stopped_noticed_ms", static_cast<int>(lost->count()));
    EXPECT_LT(*lost, 5s);
    EXPECT_EQ(core.lifecycle(), SessionConnectionState::disconnected());

    auto resumed = std::chrono::steady_clock::now();
    peer.signal(SIGCONT);
    auto back = log.waitFor(SessionConnectionState::connected(), resumed, 8s);
    ASSERT_TRUE(back) << "not connected again after the peer resumed";
    ::testing::Test::RecordProperty("resumed_noticed_ms", static_cast<int>(back->count()));
    EXPECT_LT(*back, 5s);

    std::this_thread::sleep_for(500ms);
    auto killed = std::chrono::steady_clock::now();
    peer.reap();
    auto dead = log.waitFor(SessionConnectionState::disconnected(), killed, 8s);
    ASSERT_TRUE(dead) << "no disconnected state for a dead peer";
    ::testing::Test::RecordProperty("dead_noticed_ms", static_cast<int>(dead->count()));
    EXPECT_LT(*dead, 5s);
}

TEST_F(WebRtcSession, ControllerNoticesAStoppedAndADeadHost) {
    PeerProcess peer(QUILL_WEBRTC_TEST_PEER, "host");
    ASSERT_EQ(peer.receive(), "ready");
    auto controller = SessionCore::make(configuration(320, 240), true);
    peer.send(controller->makeOffer());
    auto answer = peer.receive();
    ASSERT_FALSE(answer.empty());
    controller->setRemote({SdpType::answer, answer});
    controller->waitUntilConnected();
    StateLog log(controller->states);
    expectSilenceNoticed(*controller, log, peer);
    controller->close();
}

TEST_F(WebRtcSession, HostNoticesAStoppedAndADeadController) {
    PeerProcess peer(QUILL_WEBRTC_TEST_PEER, "controller");
    auto host = SessionCore::make(configuration(320, 240), false);
    auto offer = peer.receive();
    ASSERT_FALSE(offer.empty());
    peer.send(host->answer(offer));
    host->waitUntilConnected();
    StateLog log(host->states);
    expectSilenceNoticed(*host, log, peer);
    host->close();
}

}  // namespace
}  // namespace quill

namespace quill {
namespace {

// Every public call races close() on another thread, round after round, while other threads
// keep the cores busy. The harness makes criticals fatal; a call waiting on a closed
// connection must be answered at once, not when its own time runs out.
TEST_F(WebRtcSession, EveryCallRacesCloseSafely) {
    const std::string offer = [] {
        auto c = SessionCore::make(configuration(320, 240), true);
        auto sdp = c->makeOffer();
        c->close();
        return sdp;
    }();
    Quillmate_V0_Envelope ping;
    ping.mutable_ping()->set_t(1);
    const auto frame = solidFrame(320, 240, 1, 2, 3);
    using Call = std::function<void(SessionCore&, PeerConnection&)>;
    const std::vector<std::pair<const char*, Call>> calls{
        {"statistics", [](SessionCore& c, PeerConnection&) { c.statistics(); }},
        {"makeOffer", [](SessionCore& c, PeerConnection&) { c.makeOffer(); }},
        {"answer", [&](SessionCore& c, PeerConnection&) { c.answer(offer); }},
        {"candidate", [](SessionCore& c, PeerConnection&) {
             c.addRemoteCandidate(Candidate("S", "candidate:1 1 UDP 1 127.0.0.1 9 typ host", "0", 0));
         }},
        {"sendControl", [&](SessionCore& c, PeerConnection&) { c.sendControl(ping); }},
        {"sendVideoFrame", [&](SessionCore& c, PeerConnection&) { c.sendVideoFrame(frame, nowNs()); }},
        {"localDescription", [](SessionCore&, PeerConnection& pc) { pc.localDescription(); }},
        {"gathering", [](SessionCore&, PeerConnection& pc) { pc.iceGatheringState(); }},
        {"dataChannel", [](SessionCore&, PeerConnection& pc) { pc.createDataChannel("x", {}); }},
        {"requestStatistics", [](SessionCore&, PeerConnection& pc) { pc.requestStatistics([](auto) {}); }},
    };
    std::atomic<bool> busy{true};
    std::vector<std::thread> load;
    for (int i = 0; i < 2; ++i)
        load.emplace_back([&] {
            while (busy) std::this_thread::yield();
        });
    std::mt19937 random(7);
    for (const auto& [name, call] : calls) {
        for (int round = 0; round < 25; ++round) {
            auto core = SessionCore::make(configuration(320, 240), false);
            auto pc = PeerConnectionFactory::shared().createPeerConnection({});
            ASSERT_TRUE(pc);
            std::atomic<bool> closed{false};
            std::vector<std::thread> callers;
            for (int t = 0; t < 3; ++t)
                callers.emplace_back([&, call = call] {
                    do {
                        const auto start = std::chrono::steady_clock::now();
                        try {
                            call(*core, *pc);
                        } catch (const std::exception&) {
                        }
                        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << name;
                    } while (!closed);
                });
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            pc->close();
            core->close();
            closed = true;
            for (auto& t : callers) t.join();
        }
    }
    busy = false;
    for (auto& t : load) t.join();
}

}  // namespace
}  // namespace quill
