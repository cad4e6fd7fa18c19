#pragma once

// A scripted WebRTC layer for the session core's state rules: every call is recorded, every
// result can be set, and WebRTC events are fired by the test.

#include <atomic>
#include <functional>
#include <mutex>

#include "quillcore/session/session_core.h"

namespace quill::fake {

class FakeDataChannel : public DataChannel, public std::enable_shared_from_this<FakeDataChannel> {
public:
    explicit FakeDataChannel(std::string label, DataChannelState state = DataChannelState::connecting)
        : label_(std::move(label)), state_(state) {}

    std::string label() const override { return label_; }
    DataChannelState readyState() const override { return state_.load(); }
    bool send(const Bytes& data, bool isBinary) override {
        std::lock_guard l(mutex);
        sent.emplace_back(data, isBinary);
        return acceptSends;
    }
    void close() override { ++closeCount; }
    void setDelegate(std::weak_ptr<DataChannelDelegate> d) override {
        std::lock_guard l(mutex);
        delegate = std::move(d);
    }

    // Changes the state and tells the delegate, as WebRTC would.
    void moveTo(DataChannelState state) {
        state_ = state;
        if (auto d = currentDelegate()) d->dataChannelDidChangeState(shared_from_this());
    }
    void receive(const Bytes& data, bool isBinary = true) {
        if (auto d = currentDelegate()) d->dataChannelDidReceiveMessage(shared_from_this(), data, isBinary);
    }
    std::shared_ptr<DataChannelDelegate> currentDelegate() {
        std::lock_guard l(mutex);
        return delegate.lock();
    }

    std::mutex mutex;
    std::vector<std::pair<Bytes, bool>> sent;
    bool acceptSends = true;
    std::atomic<int> closeCount{0};
    std::weak_ptr<DataChannelDelegate> delegate;

private:
    std::string label_;
    std::atomic<DataChannelState> state_;
};

class FakeTransceiver : public RtpTransceiver {
public:
    bool setCodecPreferences(const std::vector<CodecCapability>& codecs, std::string& error) override {
        preferences = codecs;
        if (failWith) {
            error = *failWith;
            return false;
        }
        return true;
    }
    std::vector<CodecCapability> preferences;
    std::optional<std::string> failWith;
};

class FakeVideoSource : public VideoSource {
public:
    void adaptOutputFormat(int w, int h, int fps) override {
        width = w;
        height = h;
        this->fps = fps;
    }
    void captureFrame(const PixelBufferPtr& frame, std::int64_t ts) override {
        std::lock_guard l(mutex);
        frames.emplace_back(frame, ts);
    }
    void resendLastFrame() override { ++resends; }
    std::atomic<int> resends{0};
    int width = 0, height = 0, fps = 0;
    std::mutex mutex;
    std::vector<std::pair<PixelBufferPtr, std::int64_t>> frames;
};

class FakeSender : public RtpSender {
public:
    RtpParameters parameters() const override { return initial; }
    void setParameters(const RtpParameters& p) override { applied = p; }
    RtpParameters initial;
    std::optional<RtpParameters> applied;
};

class FakeVideoTrack : public RemoteVideoTrack {
public:
    std::string trackId() const override { return "remote"; }
    AsyncStreamPtr<PixelBufferPtr> frames() const override { return stream; }
    std::uint64_t decodedFrameCount() const override { return 0; }
    AsyncStreamPtr<PixelBufferPtr> stream = AsyncStream<PixelBufferPtr>::make();
};

class FakeAudioTrack : public MediaStreamTrack {
public:
    MediaKind kind() const override { return MediaKind::audio; }
    std::string trackId() const override { return "audio"; }
};

class FakePeerConnection : public PeerConnection {
public:
    void setDelegate(std::weak_ptr<PeerConnectionDelegate> d) override {
        std::lock_guard l(mutex);
        delegate = std::move(d);
    }
    std::shared_ptr<DataChannel> createDataChannel(const std::string& label, const DataChannelInit& init) override {
        std::lock_guard l(mutex);
        calls.push_back("createDataChannel " + label);
        inits.push_back(init);
        if (refuseChannels) return nullptr;
        auto ch = std::make_shared<FakeDataChannel>(label);
        localChannels.push_back(ch);
        return ch;
    }
    std::shared_ptr<RtpTransceiver> addTransceiver(MediaKind, TransceiverDirection direction) override {
        std::lock_guard l(mutex);
        calls.push_back(direction == TransceiverDirection::recvOnly ? "addTransceiver recvOnly" : "addTransceiver");
        return transceiver;
    }
    DescriptionResult createOffer() override {
        record("createOffer");
        return offerResult;
    }
    DescriptionResult createAnswer() override {
        record("createAnswer");
        return answerResult;
    }
    std::optional<std::string> setLocalDescription(const SessionDescription& d) override {
        record("setLocalDescription " + d.sdp);
        return setLocalError;
    }
    std::optional<std::string> setRemoteDescription(const SessionDescription& d) override {
        record("setRemoteDescription " + d.sdp);
        return setRemoteError;
    }
    std::optional<std::string> addIceCandidate(const IceCandidate& c) override {
        std::lock_guard l(mutex);
        candidates.push_back(c);
        return candidateError;
    }
    IceGatheringState iceGatheringState() const override { return gathering.load(); }
    std::optional<SessionDescription> localDescription() const override {
        std::lock_guard l(mutex);
        return local;
    }
    std::shared_ptr<VideoSource> makeScreenVideoSource() override {
        record("makeScreenVideoSource");
        return source;
    }
    std::shared_ptr<RtpSender> addVideoTrack(const std::shared_ptr<VideoSource>&, const std::string& trackId,
                                             const std::vector<std::string>& streamIds) override {
        std::lock_guard l(mutex);
        calls.push_back("addVideoTrack");
        addedTrackId = trackId;
        addedStreamIds = streamIds;
        return sender;
    }
    void requestStatistics(std::function<void(std::optional<StatsReport>)> completion) override {
        std::lock_guard l(mutex);
        if (statsReport) {
            auto r = *statsReport;
            completion(r);
        } else {
            pendingStats.push_back(std::move(completion));
        }
    }
    void close() override { ++closeCount; }

    void record(std::string call) {
        std::lock_guard l(mutex);
        calls.push_back(std::move(call));
    }
    std::shared_ptr<PeerConnectionDelegate> currentDelegate() {
        std::lock_guard l(mutex);
        return delegate.lock();
    }
    void fireIce(IceConnectionState s) {
        if (auto d = currentDelegate()) d->peerConnectionDidChangeIceConnectionState(s);
    }
    // A channel the remote peer opened.
    std::shared_ptr<FakeDataChannel> openRemote(const std::string& label, DataChannelState state = DataChannelState::open) {
        auto ch = std::make_shared<FakeDataChannel>(label, state);
        if (auto d = currentDelegate()) d->peerConnectionDidOpenDataChannel(ch);
        return ch;
    }
    std::shared_ptr<FakeDataChannel> localChannel(const std::string& label) {
        std::lock_guard l(mutex);
        for (auto& c : localChannels)
            if (c->label() == label) return c;
        return nullptr;
    }

    mutable std::mutex mutex;
    std::weak_ptr<PeerConnectionDelegate> delegate;
    std::vector<std::string> calls;
    std::vector<DataChannelInit> inits;
    std::vector<std::shared_ptr<FakeDataChannel>> localChannels;
    bool refuseChannels = false;
    std::shared_ptr<FakeTransceiver> transceiver = std::make_shared<FakeTransceiver>();
    DescriptionResult offerResult{SessionDescription{SdpType::offer, "created-offer"}, std::nullopt};
    DescriptionResult answerResult{SessionDescription{SdpType::answer, "created-answer"}, std::nullopt};
    std::optional<std::string> setLocalError, setRemoteError, candidateError;
    std::atomic<IceGatheringState> gathering{IceGatheringState::complete};
    std::optional<SessionDescription> local{SessionDescription{SdpType::offer, "gathered-sdp"}};
    std::vector<IceCandidate> candidates;
    std::shared_ptr<FakeVideoSource> source = std::make_shared<FakeVideoSource>();
    std::shared_ptr<FakeSender> sender = std::make_shared<FakeSender>();
    std::string addedTrackId;
    std::vector<std::string> addedStreamIds;
    std::optional<StatsReport> statsReport;
    std::vector<std::function<void(std::optional<StatsReport>)>> pendingStats;
    std::atomic<int> closeCount{0};
};

class FakeProvider : public PeerConnectionProvider {
public:
    std::shared_ptr<PeerConnection> createPeerConnection(const RtcConfiguration& c) override {
        ++created;
        configurations.push_back(c);
        return next;
    }
    std::vector<CodecCapability> videoCodecPreferences() const override { return preferences; }
    std::string preferredCodec() const override { return "H264"; }

    std::shared_ptr<FakePeerConnection> next = std::make_shared<FakePeerConnection>();
    std::vector<CodecCapability> preferences{{"H264", 90000, {}}};
    int created = 0;
    std::vector<RtcConfiguration> configurations;
};

// A link whose outcomes the test queues: messages, a clean end or a failure.
class FakeLink : public SignallingLink {
public:
    struct Failure : Error {
        std::string text;
        explicit Failure(std::string t) : text(std::move(t)) {}
        std::string description() const override { return text; }
    };
    using Outcome = std::variant<Signal, std::monostate, std::string>;  // message, end, failure

    std::optional<SignallingMessage> next() override {
        auto signal = nextSignal();
        if (!signal) return std::nullopt;
        return signal->message;
    }
    std::optional<Signal> nextSignal() override {
        ++waits;
        auto item = outcomes->next();
        if (!item) return std::nullopt;
        if (auto m = std::get_if<Signal>(&*item)) return *m;
        if (auto f = std::get_if<std::string>(&*item)) throw Failure(*f);
        return std::nullopt;
    }
    void close() override {
        ++closeCount;
        outcomes->finish();
    }
    void push(SignallingMessage m) { outcomes->push(Outcome{Signal{std::move(m), std::nullopt}}); }
    void pushFrom(Bytes sender, SignallingMessage m) { outcomes->push(Outcome{Signal{std::move(m), std::move(sender)}}); }
    void end() { outcomes->push(Outcome{std::monostate{}}); }
    void fail(std::string text) { outcomes->push(Outcome{std::move(text)}); }

    AsyncStreamPtr<Outcome> outcomes = AsyncStream<Outcome>::make();
    std::atomic<int> closeCount{0};
    std::atomic<int> waits{0};
};

}  // namespace quill::fake
