#pragma once

// A scripted WebRTC layer for the session core's state rules: every call is recorded, every
// result can be set, and WebRTC events are fired by the test.

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

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

struct FakeTransceiver : RtpTransceiver {
    bool setCodecPreferences(const std::vector<CodecCapability>& codecs, std::string& error) override {
        preferences = codecs;
        if (failWith) error = *failWith;
        return !failWith;
    }
    std::vector<CodecCapability> preferences;
    std::optional<std::string> failWith;
};

struct FakeVideoSource : VideoSource {
    void adaptOutputFormat(int w, int h, int f) override { format = {w, h, f}; }
    void captureFrame(const PixelBufferPtr& frame, std::int64_t ts) override {
        std::lock_guard l(mutex);
        frames.emplace_back(frame, ts);
    }
    void resendLastFrame() override { ++resends; }
    std::vector<int> format{0, 0, 0};
    std::mutex mutex;
    std::vector<std::pair<PixelBufferPtr, std::int64_t>> frames;
    std::atomic<int> resends{0};
};

struct FakeSender : RtpSender {
    RtpParameters parameters() const override { return initial; }
    void setParameters(const RtpParameters& p) override { applied = p; }
    RtpParameters initial;
    std::optional<RtpParameters> applied;
};

class FakePeerConnection : public PeerConnection {
public:
    void setDelegate(std::weak_ptr<PeerConnectionDelegate> d) override {
        std::lock_guard l(mutex);
        delegate = std::move(d);
    }
    std::shared_ptr<DataChannel> createDataChannel(const std::string& label, const DataChannelInit& init) override {
        const bool reliable = init.ordered && init.maxRetransmits == -1 && init.maxPacketLifeTime == -1;
        auto ch = record("createDataChannel " + label + (reliable ? " reliable" : ""), std::make_shared<FakeDataChannel>(label));
        std::lock_guard l(mutex);
        localChannels.push_back(ch);
        return ch;
    }
    std::shared_ptr<RtpTransceiver> addTransceiver(MediaKind, TransceiverDirection direction) override {
        return record(direction == TransceiverDirection::recvOnly ? "addTransceiver recvOnly" : "addTransceiver",
                      std::shared_ptr<RtpTransceiver>(transceiver));
    }
    DescriptionResult createOffer() override { return record("createOffer", offerResult); }
    DescriptionResult createAnswer() override { return record("createAnswer", answerResult); }
    std::optional<std::string> setLocalDescription(const SessionDescription& d) override {
        return record("setLocalDescription " + d.sdp, setLocalError);
    }
    std::optional<std::string> setRemoteDescription(const SessionDescription& d) override {
        return record("setRemoteDescription " + d.sdp, setRemoteError);
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
    std::shared_ptr<VideoSource> makeScreenVideoSource() override { return source; }
    std::shared_ptr<RtpSender> addVideoTrack(const std::shared_ptr<VideoSource>&, const std::string& trackId,
                                             const std::vector<std::string>& streamIds) override {
        addedTrackId = trackId;
        return record("addVideoTrack " + streamIds.at(0), std::shared_ptr<RtpSender>(sender));
    }
    void requestStatistics(std::function<void(std::optional<StatsReport>)> completion) override {
        std::unique_lock l(mutex);
        if (!statsReport) return pendingStats.push_back(std::move(completion));
        auto report = *statsReport;
        l.unlock();
        completion(report);
    }
    void close() override {
        ++closeCount;
        while (holdClose) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    template <class T>
    T record(std::string call, T result) {
        std::lock_guard l(mutex);
        calls.push_back(std::move(call));
        return result;
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
    std::vector<std::shared_ptr<FakeDataChannel>> localChannels;
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
    std::optional<StatsReport> statsReport;
    std::vector<std::function<void(std::optional<StatsReport>)>> pendingStats;
    std::atomic<int> closeCount{0};
    // While set, close() waits: a teardown that takes its time.
    std::atomic<bool> holdClose{false};
};

struct FakeProvider : PeerConnectionProvider {
    std::shared_ptr<PeerConnection> createPeerConnection(const RtcConfiguration& c) override {
        configurations.push_back(c);
        return next;
    }
    std::vector<CodecCapability> videoCodecPreferences() const override { return preferences; }
    std::string preferredCodec() const override { return "H264"; }
    std::shared_ptr<FakePeerConnection> next = std::make_shared<FakePeerConnection>();
    std::vector<CodecCapability> preferences{{"H264", 90000, {}}};
    std::vector<RtcConfiguration> configurations;
};

// A link whose outcomes the test queues: messages, a clean end or a failure.
class FakeLink : public SignallingLink {
public:
    using Outcome = std::variant<Signal, std::monostate, std::string>;  // message, end, failure

    std::optional<SignallingMessage> next() override {
        auto signal = nextSignal();
        return signal ? std::optional(signal->message) : std::nullopt;
    }
    std::optional<Signal> nextSignal() override {
        ++waits;
        auto item = outcomes->next();
        // Any error will do: the pump takes its description.
        if (auto f = item ? std::get_if<std::string>(&*item) : nullptr) throw SessionError::controlMessage(*f);
        if (auto m = item ? std::get_if<Signal>(&*item) : nullptr) return *m;
        return std::nullopt;
    }
    void close() override {
        ++closeCount;
        outcomes->finish();
    }
    void push(SignallingMessage m, std::optional<Bytes> sender = std::nullopt) {
        outcomes->push(Outcome{Signal{std::move(m), std::move(sender)}});
    }
    void end() { outcomes->push(Outcome{std::monostate{}}); }
    void fail(std::string text) { outcomes->push(Outcome{std::move(text)}); }

    AsyncStreamPtr<Outcome> outcomes = AsyncStream<Outcome>::make();
    std::atomic<int> closeCount{0};
    std::atomic<int> waits{0};
};

}  // namespace quill::fake
