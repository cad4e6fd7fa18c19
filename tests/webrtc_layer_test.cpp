// Two peer connections of our GStreamer layer, in one process, on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "quillcore/webrtc/peer_connection_factory.h"

namespace quill {
namespace {

using namespace std::chrono_literals;

template <class F>
bool eventually(F&& condition, std::chrono::milliseconds limit = 10s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

struct Recorder : PeerConnectionDelegate, DataChannelDelegate {
    std::mutex mutex;
    std::vector<IceConnectionState> iceStates;
    std::vector<std::shared_ptr<DataChannel>> remoteChannels;
    std::vector<std::shared_ptr<MediaStreamTrack>> tracks;
    std::vector<std::pair<std::string, Bytes>> messages;

    void peerConnectionDidChangeIceConnectionState(IceConnectionState s) override {
        std::lock_guard l(mutex);
        iceStates.push_back(s);
    }
    void peerConnectionDidAddReceiver(const std::shared_ptr<MediaStreamTrack>& t) override {
        std::lock_guard l(mutex);
        tracks.push_back(t);
    }
    void peerConnectionDidOpenDataChannel(const std::shared_ptr<DataChannel>& c) override {
        std::lock_guard l(mutex);
        remoteChannels.push_back(c);
    }
    void dataChannelDidChangeState(const std::shared_ptr<DataChannel>&) override {}
    void dataChannelDidReceiveMessage(const std::shared_ptr<DataChannel>& c, const Bytes& d, bool) override {
        std::lock_guard l(mutex);
        messages.emplace_back(c->label(), d);
    }
    std::shared_ptr<DataChannel> remote(const std::string& label) {
        std::lock_guard l(mutex);
        for (auto& c : remoteChannels)
            if (c->label() == label) return c;
        return nullptr;
    }
    std::size_t messageCount() {
        std::lock_guard l(mutex);
        return messages.size();
    }
};

std::string gatheredSdp(PeerConnection& pc) {
    EXPECT_TRUE(eventually([&] { return pc.iceGatheringState() == IceGatheringState::complete; }));
    auto d = pc.localDescription();
    return d ? d->sdp : std::string();
}

PixelBufferPtr solid(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < px.size(); i += 4) {
        px[i] = b;
        px[i + 1] = g;
        px[i + 2] = r;
        px[i + 3] = 255;
    }
    return PixelBuffer::fromVector(w, h, std::move(px));
}

TEST(WebRtcLayer, ChannelsAndVideoFlowOnLoopback) {
    auto& factory = PeerConnectionFactory::shared();
    auto offerer = factory.createPeerConnection({});
    auto answerer = factory.createPeerConnection({});
    ASSERT_TRUE(offerer && answerer);
    auto offRec = std::make_shared<Recorder>();
    auto ansRec = std::make_shared<Recorder>();
    offerer->setDelegate(offRec);
    answerer->setDelegate(ansRec);

    auto ctl = offerer->createDataChannel("ctl", {});
    auto bulk = offerer->createDataChannel("bulk", {});
    ASSERT_TRUE(ctl && bulk);
    ctl->setDelegate(offRec);
    bulk->setDelegate(offRec);
    auto transceiver = offerer->addTransceiver(MediaKind::video, TransceiverDirection::recvOnly);
    ASSERT_TRUE(transceiver);
    std::string error;
    ASSERT_TRUE(transceiver->setCodecPreferences(factory.videoCodecPreferences(), error)) << error;

    auto offer = offerer->createOffer();
    ASSERT_TRUE(offer.description) << offer.error.value_or("");
    ASSERT_FALSE(offerer->setLocalDescription(*offer.description));
    std::string offerSdp = gatheredSdp(*offerer);
    EXPECT_NE(offerSdp.find("a=candidate"), std::string::npos) << offerSdp;

    ASSERT_FALSE(answerer->setRemoteDescription({SdpType::offer, offerSdp}));
    auto source = answerer->makeScreenVideoSource();
    source->adaptOutputFormat(640, 360, 30);
    auto sender = answerer->addVideoTrack(source, "track", {"Quillmate"});
    ASSERT_TRUE(sender);
    auto answer = answerer->createAnswer();
    ASSERT_TRUE(answer.description) << answer.error.value_or("");
    ASSERT_FALSE(answerer->setLocalDescription(*answer.description));
    std::string answerSdp = gatheredSdp(*answerer);
    EXPECT_NE(answerSdp.find("H264"), std::string::npos) << answerSdp;
    ASSERT_FALSE(offerer->setRemoteDescription({SdpType::answer, answerSdp}));

    ASSERT_TRUE(eventually([&] { return ctl->readyState() == DataChannelState::open && bulk->readyState() == DataChannelState::open; }));
    ASSERT_TRUE(eventually([&] { return ansRec->remote("ctl") && ansRec->remote("bulk"); }));
    auto remoteBulk = ansRec->remote("bulk");
    remoteBulk->setDelegate(ansRec);
    ansRec->remote("ctl")->setDelegate(ansRec);

    Bytes big(65536);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_TRUE(bulk->send(big, true));
    EXPECT_FALSE(bulk->send(Bytes(65537, 1), true));
    EXPECT_FALSE(bulk->send(Bytes{}, true));
    EXPECT_TRUE(ansRec->remote("ctl")->send(Bytes{1, 2, 3}, true));
    ASSERT_TRUE(eventually([&] { return ansRec->messageCount() >= 1 && offRec->messageCount() >= 1; }));
    {
        std::lock_guard l(ansRec->mutex);
        EXPECT_EQ(ansRec->messages[0].first, "bulk");
        EXPECT_EQ(ansRec->messages[0].second, big);
    }
    EXPECT_EQ(bulk->readyState(), DataChannelState::open);

    // Video: solid red frames arrive decoded as red.
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::int64_t ts = 0;
        auto red = solid(640, 360, 0, 0, 255);
        while (!stop) {
            source->captureFrame(red, ts);
            ts += 33'333'333;
            std::this_thread::sleep_for(33ms);
        }
    });
    ASSERT_TRUE(eventually([&] {
        std::lock_guard l(offRec->mutex);
        return !offRec->tracks.empty();
    }));
    auto track = std::dynamic_pointer_cast<RemoteVideoTrack>(offRec->tracks.front());
    ASSERT_TRUE(track);
    // The first frames are the black ones that primed the encoder; then the red ones come.
    std::optional<PixelBufferPtr> red;
    int frames = 0;
    for (int i = 0; i < 60 && !red; ++i) {
        auto next = track->frames()->next(5.0);
        if (!next.hasItem()) break;
        ++frames;
        const auto& f = **next.value;
        ASSERT_EQ(f.width(), 640);
        ASSERT_EQ(f.height(), 360);
        const std::uint8_t* mid = f.data() + static_cast<std::size_t>(180) * f.stride() + 320 * 4;
        if (mid[2] > 200 && mid[1] < 40 && mid[0] < 40) red = next.value;
    }
    stop = true;
    feeder.join();
    EXPECT_TRUE(red) << frames << " frames, " << track->decodedFrameCount() << " decoded";

    std::optional<StatsReport> report;
    std::atomic<bool> got{false};
    answerer->requestStatistics([&](std::optional<StatsReport> r) {
        report = std::move(r);
        got = true;
    });
    ASSERT_TRUE(eventually([&] { return got.load(); }));
    ASSERT_TRUE(report);
    bool sawOutbound = false;
    for (auto& [id, e] : report->entries) {
        if (e.type == "outbound-rtp") {
            sawOutbound = true;
            EXPECT_GT(std::get<double>(e.values.at("framesEncoded")), 0);
        }
        EXPECT_NE(e.type, "inbound-rtp");
    }
    EXPECT_TRUE(sawOutbound);

    offerer->close();
    answerer->close();
    offerer->close();
}

}  // namespace
}  // namespace quill
