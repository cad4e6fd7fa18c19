#include "quillcore/session/session_core.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <limits>

#include "quillcore/base/clock.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/crypto/crypto.h"
#include "quillcore/webrtc/peer_connection_factory.h"
#include "quillcore/base/serial_worker.h"

namespace quill {
namespace {

using namespace std::chrono_literals;

constexpr auto kStatisticsTimeout = 5s;
const char* const kTooManyChannels = "too many data channels";

std::string lowerCase(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string describe(const std::exception& e) {
    if (auto* q = dynamic_cast<const Error*>(&e)) return q->description();
    return e.what();
}

class NonOwningProvider {
public:
    static std::shared_ptr<PeerConnectionProvider> of(PeerConnectionProvider& p) {
        return std::shared_ptr<PeerConnectionProvider>(&p, [](PeerConnectionProvider*) {});
    }
};

}  // namespace

std::shared_ptr<SessionCore> SessionCore::make(SessionConfiguration configuration, bool remoteByeIsFailure) {
    return make(std::move(configuration), remoteByeIsFailure, NonOwningProvider::of(PeerConnectionFactory::shared()));
}

std::shared_ptr<SessionCore> SessionCore::make(SessionConfiguration configuration, bool remoteByeIsFailure,
                                               std::shared_ptr<PeerConnectionProvider> provider) {
    // Relays are never used: the whole list is checked before anything is built.
    for (const auto& url : configuration.iceServers) {
        const std::string l = lowerCase(url);
        if (l.rfind("turn:", 0) == 0 || l.rfind("turns:", 0) == 0) throw SessionError::turnNotSupported(url);
    }
    RtcConfiguration rtc;
    for (const auto& url : configuration.iceServers) rtc.iceServers.push_back(IceServer{{url}});
    auto pc = provider->createPeerConnection(rtc);
    if (!pc) throw SessionError::peerConnectionUnavailable();
    auto core = std::make_shared<SessionCore>(Private{}, std::move(configuration), remoteByeIsFailure,
                                              std::move(provider), pc);
    // Only now, with the object complete, can WebRTC reach it.
    pc->setDelegate(core);
    return core;
}

SessionCore::SessionCore(Private, SessionConfiguration configuration, bool remoteByeIsFailure,
                         std::shared_ptr<PeerConnectionProvider> provider, std::shared_ptr<PeerConnection> peerConnection)
    : configuration(std::move(configuration)),
      remoteByeIsFailure(remoteByeIsFailure),
      states(AsyncStream<SessionConnectionState>::make()),
      messages(AsyncStream<Quillmate_V0_Envelope>::make()),
      bulkMessages(AsyncStream<Bytes>::makeBounded(kMaxUnreadBulk,
                                                   [](const Bytes& frame) { return frame.size() + kBulkFrameOverhead; })),
      factory_(std::move(provider)),
      peerConnection_(std::move(peerConnection)) {}

SessionCore::~SessionCore() { close(); }

SessionConnectionState SessionCore::lifecycle() const {
    std::lock_guard lock(lock_);
    return lifecycle_;
}

std::optional<std::string> SessionCore::sessionID() const {
    std::lock_guard lock(lock_);
    return sessionID_;
}

void SessionCore::setSessionID(std::optional<std::string> id) {
    std::lock_guard lock(lock_);
    sessionID_ = std::move(id);
}

void SessionCore::setPeerFingerprint(std::optional<Bytes> fingerprint) {
    std::lock_guard lock(lock_);
    peerFingerprint_ = std::move(fingerprint);
}

std::shared_ptr<RemoteVideoTrack> SessionCore::remoteVideoTrack() const {
    std::lock_guard lock(lock_);
    return remoteVideoTrack_;
}

std::optional<std::string> SessionCore::videoTrackID() const {
    std::lock_guard lock(lock_);
    return videoTrackID_;
}

// State -------------------------------------------------------------------------------------

void SessionCore::setState(const SessionConnectionState& state, bool force) { changeState(state, force, false); }

void SessionCore::changeState(const SessionConnectionState& state, bool force, bool keepConnected) {
    bool changed = false;
    std::shared_ptr<VideoSource> source;
    {
        std::lock_guard lock(lock_);
        using Kind = SessionConnectionState::Kind;
        const bool kept = lifecycle_.is(Kind::failed) || (keepConnected && lifecycle_.is(Kind::connected));
        if (force || (!(lifecycle_ == state) && !kept)) {
            lifecycle_ = state;
            changed = true;
            if (state.is(SessionConnectionState::Kind::connected)) source = videoSource_;
        }
    }
    if (!changed) return;
    changed_.notify_all();
    states->push(state);
    // Frames sent before the peer could receive them are lost, and a still screen sends no more.
    if (source) source->resendLastFrame();
}

void SessionCore::iceConnectionStateChanged(IceConnectionState state) {
    {
        std::lock_guard lock(lock_);
        // A closed core stays as it closed: late ICE news changes nothing.
        if (shuttingDown_) return;
        iceState_ = state;
    }
    switch (state) {
        case IceConnectionState::connected:
        case IceConnectionState::completed: {
            bool ready = false;
            {
                std::lock_guard lock(lock_);
                ready = ctlOpen_ && bulkOpen_ && !shuttingDown_;
            }
            if (ready) setState(SessionConnectionState::connected());
            break;
        }
        case IceConnectionState::failed:
            setState(SessionConnectionState::failed("ICE connection failed"), true);
            close();
            break;
        case IceConnectionState::disconnected:
            setState(SessionConnectionState::disconnected());
            break;
        case IceConnectionState::closed: {
            bool failed = false;
            {
                std::lock_guard lock(lock_);
                failed = lifecycle_.is(SessionConnectionState::Kind::failed);
            }
            if (!failed) setState(SessionConnectionState::closed(), true);
            break;
        }
        default:
            break;
    }
}

void SessionCore::close() { shutDown(false); }

void SessionCore::closeSoon() { shutDown(true); }

namespace {

// Cores whose WebRTC teardown has begun and not ended.
struct Teardowns {
    std::mutex mutex;
    std::condition_variable ended;
    std::size_t running = 0;
};

Teardowns& teardowns() {
    static auto* t = new Teardowns;  // never destroyed: a teardown may end after exit began
    return *t;
}

}  // namespace

void SessionCore::awaitTeardowns(std::size_t most) {
    Teardowns& t = teardowns();
    std::unique_lock lock(t.mutex);
    t.ended.wait(lock, [&] { return t.running <= most; });
}

void SessionCore::shutDown(bool inBackground) {
    std::shared_ptr<DataChannel> ctl, bulk;
    bool first = false;
    {
        std::lock_guard lock(lock_);
        if (!shuttingDown_) {
            first = true;
            shuttingDown_ = true;
            ctl = std::move(ctlChannel_);
            bulk = std::move(bulkChannel_);
            ctlChannel_.reset();
            bulkChannel_.reset();
            ctlOpen_ = bulkOpen_ = false;
        }
        changed_.notify_all();
        // The pump ends at its next check; a pump parked in the link ends when the role
        // closes the link.
        if (pumpCancelled_) pumpCancelled_->store(true);
        pumpCancelled_.reset();
    }
    // Only the first call tears down: a second one, made while the first waits for WebRTC,
    // never takes that wait on itself.
    if (first) {
        {
            std::lock_guard lock(teardowns().mutex);
            ++teardowns().running;
        }
        auto teardown = [ctl = std::move(ctl), bulk = std::move(bulk), pc = peerConnection_] {
            struct Ended {
                ~Ended() {
                    {
                        std::lock_guard lock(teardowns().mutex);
                        --teardowns().running;
                    }
                    teardowns().ended.notify_all();
                }
            } ended;
            if (ctl) ctl->close();
            if (bulk) bulk->close();
            pc->close();
        };
        if (inBackground)
            SerialWorker::teardown().startThread(std::move(teardown));
        else
            teardown();
    }
    if (!lifecycle().is(SessionConnectionState::Kind::failed)) setState(SessionConnectionState::closed(), true);
    states->finish();
    messages->finish();
    bulkMessages->finish();
}

// Delegate entry points --------------------------------------------------------------------

void SessionCore::peerConnectionDidChangeIceConnectionState(IceConnectionState state) {
    iceConnectionStateChanged(state);
}

void SessionCore::peerConnectionDidChangeIceGatheringState(IceGatheringState state) {
    {
        std::lock_guard lock(lock_);
        gatheringComplete_ = state == IceGatheringState::complete;
    }
    changed_.notify_all();
}

void SessionCore::peerConnectionDidAddReceiver(const std::shared_ptr<MediaStreamTrack>& track) {
    auto video = std::dynamic_pointer_cast<RemoteVideoTrack>(track);
    if (!video || video->kind() != MediaKind::video) return;
    std::lock_guard lock(lock_);
    remoteVideoTrack_ = std::move(video);
}

void SessionCore::peerConnectionDidOpenDataChannel(const std::shared_ptr<DataChannel>& channel) {
    bool tooMany = false;
    {
        std::lock_guard lock(lock_);
        tooMany = ++peerChannels_ > kMaxPeerChannels && !shuttingDown_;
    }
    if (!tooMany) return attachDataChannel(channel);
    channel->close();
    coreDiagnostic(std::string("closing the session: ") + kTooManyChannels + " opened by the peer");
    setState(SessionConnectionState::failed(kTooManyChannels), true);
    close();
}

void SessionCore::dataChannelDidChangeState(const std::shared_ptr<DataChannel>& channel) {
    {
        std::lock_guard lock(lock_);
        if (shuttingDown_) return;
    }
    const DataChannelState state = channel->readyState();
    if (state == DataChannelState::open) {
        bool ready = false;
        {
            std::lock_guard lock(lock_);
            ready = markChannelOpen(channel);
        }
        if (ready) setState(SessionConnectionState::connected());
    } else if (state == DataChannelState::closed) {
        bool lost = false;
        {
            std::lock_guard lock(lock_);
            if (channel == ctlChannel_) ctlOpen_ = false;
            if (channel == bulkChannel_) bulkOpen_ = false;
            lost = channelsLostLocked();
        }
        if (lost) channelsLost();
    }
}

bool SessionCore::channelsLostLocked() const {
    return !ctlOpen_ && !bulkOpen_ && lifecycle_ == SessionConnectionState::connected();
}

void SessionCore::channelsLost() {
    bool signalling = false;
    {
        std::lock_guard lock(lock_);
        signalling = pumpCancelled_ != nullptr;
    }
    if (!signalling) return setState(SessionConnectionState::disconnected());
    SerialWorker::events().postAfter(kByeGrace, [weak = weak_from_this()] {
        auto core = weak.lock();
        if (!core) return;
        bool lost = false;
        {
            std::lock_guard lock(core->lock_);
            lost = !core->shuttingDown_ && core->channelsLostLocked();
        }
        if (lost) core->setState(SessionConnectionState::disconnected());
    });
}

void SessionCore::dataChannelDidReceiveMessage(const std::shared_ptr<DataChannel>& channel, const Bytes& data, bool) {
    handleMessage(data, channel);
}

// Data channels -----------------------------------------------------------------------------

void SessionCore::makeDataChannel(const std::string& label) {
    auto channel = peerConnection_->createDataChannel(label, DataChannelInit{true, -1, -1});
    if (channel) attachDataChannel(channel);
}

void SessionCore::attachDataChannel(const std::shared_ptr<DataChannel>& channel) {
    const std::string label = channel->label();
    bool kept = false;
    {
        std::lock_guard lock(lock_);
        kept = recordChannel(channel, label);
    }
    // A session has one "ctl" and one "bulk"; any other channel a peer opens would only hold
    // memory here and in WebRTC, and a second one must not take the first one's place.
    if (!kept) {
        channel->close();
        return;
    }
    channel->setDelegate(weak_from_this());
    if (channel->readyState() == DataChannelState::open) {
        bool ready = false;
        {
            std::lock_guard lock(lock_);
            ready = markChannelOpen(channel);
        }
        if (ready) setState(SessionConnectionState::connected());
    }
}

bool SessionCore::recordChannel(const std::shared_ptr<DataChannel>& channel, const std::string& label) {
    auto* slot = label == "ctl" ? &ctlChannel_ : label == "bulk" ? &bulkChannel_ : nullptr;
    if (!slot || *slot || shuttingDown_) return false;
    *slot = channel;
    return true;
}

bool SessionCore::markChannelOpen(const std::shared_ptr<DataChannel>& channel) {
    if (channel == ctlChannel_) ctlOpen_ = true;
    if (channel == bulkChannel_) bulkOpen_ = true;
    return ctlOpen_ && bulkOpen_ &&
           (iceState_ == IceConnectionState::connected || iceState_ == IceConnectionState::completed) &&
           !shuttingDown_;
}

bool SessionCore::waitFor(std::unique_lock<std::mutex>& lock, const Deadline& deadline, std::stop_token& stop,
                          const std::function<bool()>& done) {
    const bool met = deadline.at() ? changed_.wait_until(lock, stop, *deadline.at(), done) : changed_.wait(lock, stop, done);
    if (!met && stop.stop_requested()) throw Cancelled();
    return met;
}

SessionError SessionCore::endedError() const {
    if (lifecycle_.is(SessionConnectionState::Kind::failed)) return SessionError::connectionFailed(lifecycle_.message());
    return SessionError::connectionFailed("the session closed before it opened");
}

void SessionCore::waitUntilConnected(std::stop_token stop) {
    // The peer may connect before this wait begins (the answer went out first): a connected
    // session stays connected, or the wait would outlast it.
    changeState(SessionConnectionState::connecting(), false, true);
    const Deadline deadline = Deadline::after(configuration.connectionTimeout);
    if (deadline.expired()) throw SessionError::connectionTimedOut();
    std::unique_lock lock(lock_);
    using Kind = SessionConnectionState::Kind;
    // A close ends the wait when it begins, not once WebRTC has gone down: a peer that said bye
    // or hung up is not waited for.
    if (!waitFor(lock, deadline, stop, [&] {
            return lifecycle_.is(Kind::connected) || lifecycle_.is(Kind::failed) || lifecycle_.is(Kind::closed) || shuttingDown_;
        }))
        throw SessionError::connectionTimedOut();
    if (!lifecycle_.is(Kind::connected)) throw endedError();
}

void SessionCore::sendControl(const Quillmate_V0_Envelope& envelope) {
    std::shared_ptr<DataChannel> channel;
    {
        std::lock_guard lock(lock_);
        channel = ctlChannel_;
    }
    if (!channel || channel->readyState() != DataChannelState::open) throw SessionError::channelClosed("ctl");
    Bytes bytes;
    try {
        bytes = serializedData(envelope);
    } catch (const std::exception& e) {
        throw SessionError::controlMessage(describe(e));
    }
    // An empty message would close the channel on the way: it is refused instead.
    if (bytes.empty() || !channel->send(bytes, true))
        throw SessionError::controlMessage("WebRTC rejected the control message");
}

void SessionCore::sendBulk(const Bytes& frame) {
    if (frame.size() > kMaxBulkFrame) throw SessionError::bulkFrameTooLarge(static_cast<std::int64_t>(frame.size()));
    std::shared_ptr<DataChannel> channel;
    {
        std::lock_guard lock(lock_);
        channel = bulkChannel_;
    }
    if (!channel || channel->readyState() != DataChannelState::open) throw SessionError::channelClosed("bulk");
    if (frame.empty() || !channel->send(frame, true)) throw SessionError::controlMessage("WebRTC rejected the bulk frame");
}

void SessionCore::handleMessage(const Bytes& data, const std::shared_ptr<DataChannel>& channel) {
    bool ctl = false, bulk = false;
    {
        std::lock_guard lock(lock_);
        ctl = channel == ctlChannel_;
        bulk = channel == bulkChannel_;
    }
    if (ctl) {
        try {
            messages->push(parseEnvelope(data));
        } catch (const std::exception& e) {
            coreDiagnostic("ignored an invalid control protobuf: " + describe(e));
        }
    } else if (bulk) {
        // A peer's frames are held only within the sizes a sender may use and only while
        // the reader keeps up: nothing it sends can grow this side without bound.
        if (data.size() > kMaxBulkFrame) {
            if (!oversizeBulkReported_.exchange(true))
                coreDiagnostic("ignored a bulk frame of " + std::to_string(data.size()) + " bytes (at most " +
                               std::to_string(kMaxBulkFrame) + " are allowed)");
            return;
        }
        if (!bulkMessages->push(data) && !bulkMessages->isFinished() && !unreadBulkReported_.exchange(true))
            coreDiagnostic("dropping received bulk frames: too many are waiting to be read");
    }
}

// Negotiation --------------------------------------------------------------------------------

void SessionCore::beginNegotiation() {
    // A second negotiation would run under the first one: webrtcbin renegotiates in the middle of
    // it and aborts the process, or mixes two offers into one.
    std::lock_guard lock(lock_);
    if (negotiationBegun_) throw SessionError::alreadyAccepted();
    negotiationBegun_ = true;
}

std::string SessionCore::makeOffer(std::stop_token stop) {
    beginNegotiation();
    setState(SessionConnectionState::connecting());
    makeDataChannel("ctl");
    makeDataChannel("bulk");
    auto transceiver = peerConnection_->addTransceiver(MediaKind::video, TransceiverDirection::recvOnly);
    if (!transceiver) throw SessionError::sessionDescription("could not add the video receiver");
    std::string error;
    if (!transceiver->setCodecPreferences(factory_->videoCodecPreferences(), error))
        throw SessionError::sessionDescription("could not set video codec preferences: " + error);
    setLocal(makeDescription(true));
    waitForGathering(stop);
    auto local = peerConnection_->localDescription();
    if (!local) throw SessionError::sessionDescription("local offer SDP is missing");
    return local->sdp;
}

std::string SessionCore::answer(const std::string& offerSdp, std::stop_token stop) {
    beginNegotiation();
    setState(SessionConnectionState::connecting());
    setRemote(SessionDescription{SdpType::offer, offerSdp});
    addScreenVideoTrack();
    setLocal(makeDescription(false));
    waitForGathering(stop);
    auto local = peerConnection_->localDescription();
    if (!local) throw SessionError::sessionDescription("local answer SDP is missing");
    return local->sdp;
}

SessionDescription SessionCore::makeDescription(bool isOffer) {
    DescriptionResult result = isOffer ? peerConnection_->createOffer() : peerConnection_->createAnswer();
    if (result.description) return *result.description;
    if (result.error) throw SessionError::sessionDescription(*result.error);
    throw SessionError::sessionDescription("WebRTC returned no session description");
}

void SessionCore::setLocal(const SessionDescription& description) {
    if (auto error = peerConnection_->setLocalDescription(description)) throw SessionError::sessionDescription(*error);
}

void SessionCore::setRemote(const SessionDescription& description) {
    if (auto error = peerConnection_->setRemoteDescription(description)) throw SessionError::sessionDescription(*error);
}

void SessionCore::addRemoteCandidate(const Candidate& candidate) {
    IceCandidate c{candidate.candidate(), candidate.sdpMLineIndex(), candidate.sdpMid()};
    if (auto error = peerConnection_->addIceCandidate(c)) throw SessionError::sessionDescription(*error);
}

void SessionCore::waitForGathering(std::stop_token stop) {
    const Deadline deadline = Deadline::after(configuration.gatheringTimeout);
    if (deadline.expired()) throw SessionError::gatheringTimedOut();
    if (peerConnection_->iceGatheringState() == IceGatheringState::complete) return;
    std::unique_lock lock(lock_);
    if (!waitFor(lock, deadline, stop, [&] { return gatheringComplete_ || shuttingDown_; }))
        throw SessionError::gatheringTimedOut();
    if (!gatheringComplete_) throw endedError();
}

// The signalling pump -------------------------------------------------------------------------

void SessionCore::startPump(std::shared_ptr<SignallingLink> link) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(lock_);
        if (pumpCancelled_) pumpCancelled_->store(true);
        pumpCancelled_.reset();
        if (shuttingDown_) return;
        pumpCancelled_ = cancelled;
    }
    // The pump may hold the last reference to the core, so the core cannot join it: it ends by
    // itself once the link has ended or it sees its cancellation, and the teardown worker joins it.
    SerialWorker::teardown().startThread(
        [weak = weak_from_this(), link = std::move(link), cancelled = std::move(cancelled)]() mutable {
            pumpSignalling(std::move(weak), std::move(link), std::move(cancelled));
        });
}

void SessionCore::pumpSignalling(std::weak_ptr<SessionCore> weak, std::shared_ptr<SignallingLink> link,
                                 std::shared_ptr<std::atomic<bool>> cancelled) {
    for (;;) {
        // Only weakly held while waiting: a session the role dropped is not kept alive here.
        if (weak.expired() || cancelled->load()) return;
        std::optional<SignallingLink::Signal> message;
        std::optional<std::string> failure;
        try {
            message = link->nextSignal();
        } catch (const std::exception& e) {
            failure = describe(e);
        }
        auto core = weak.lock();
        if (!core) return;
        if (failure) {
            // The link is closed before the states end, as after a bye: whoever sees the end
            // finds the link closed.
            link->close();
            core->setState(SessionConnectionState::failed(*failure), true);
            core->close();
            return;
        }
        if (!message) {
            if (!core->lifecycle().is(SessionConnectionState::Kind::closed))
                core->setState(SessionConnectionState::disconnected(), true);
            core->close();
            return;
        }
        if (!core->handleSignal(message->message, message->sender, *link)) return;
        if (cancelled->load()) return;
    }
}

bool SessionCore::handleSignal(const SignallingMessage& message, const std::optional<Bytes>& sender,
                               SignallingLink& link) {
    // Only the session's own peer may add candidates to it or end it.
    auto matches = [&](const std::string& id) {
        std::lock_guard lock(lock_);
        if (peerFingerprint_ && sender && *sender != *peerFingerprint_) return false;
        return sessionID_ && *sessionID_ == id;
    };
    if (const Candidate* candidate = message.get<Candidate>()) {
        if (!matches(candidate->sessionID())) return true;
        std::size_t count = 0;
        {
            std::lock_guard lock(lock_);
            count = ++remoteCandidates_;
        }
        if (count > kMaxRemoteCandidates) {
            if (count == kMaxRemoteCandidates + 1)
                coreDiagnostic("ignoring remote candidates beyond the first " + std::to_string(kMaxRemoteCandidates));
            return true;
        }
        try {
            addRemoteCandidate(*candidate);
        } catch (const std::exception& e) {
            setState(SessionConnectionState::failed(describe(e)), true);
            close();
            return false;
        }
        return true;
    }
    if (const Bye* bye = message.get<Bye>()) {
        if (!matches(bye->sessionID())) return true;
        link.close();
        if (remoteByeIsFailure && !lifecycle().is(SessionConnectionState::Kind::closed))
            setState(SessionConnectionState::failed("The host ended the session: " + bye->reason()), true);
        close();
        return false;
    }
    return true;  // offers, answers, rejects and wakes have no place in a running session
}

// Screen video ---------------------------------------------------------------------------------

void SessionCore::addScreenVideoTrack() {
    auto fits = [](std::int64_t v) { return v >= 1 && v <= std::numeric_limits<std::int32_t>::max(); };
    const auto fail = [] { return SessionError::sessionDescription("could not add the screen video track"); };
    if (!fits(configuration.preferredVideoWidth) || !fits(configuration.preferredVideoHeight) ||
        !fits(configuration.videoFPS))
        throw fail();
    auto source = peerConnection_->makeScreenVideoSource();
    if (!source) throw fail();
    source->adaptOutputFormat(static_cast<int>(configuration.preferredVideoWidth),
                              static_cast<int>(configuration.preferredVideoHeight),
                              static_cast<int>(configuration.videoFPS));
    const std::string trackID = crypto::randomUUID();
    auto sender = peerConnection_->addVideoTrack(source, trackID, {"Quillmate"});
    if (!sender) throw fail();
    applyEncodingParameters(*sender);
    std::lock_guard lock(lock_);
    videoSource_ = std::move(source);
    videoTrackID_ = trackID;
}

void SessionCore::applyEncodingParameters(RtpSender& sender) {
    RtpParameters parameters = sender.parameters();
    RtpEncodingParameters encoding =
        parameters.encodings.empty() ? RtpEncodingParameters{} : parameters.encodings.front();
    encoding.isActive = true;
    encoding.maxBitrateBps = configuration.maximumVideoBitrateBps;
    encoding.maxFramerate = static_cast<double>(configuration.videoFPS);
    parameters.encodings = {encoding};
    parameters.degradationPreference = DegradationPreference::maintainResolution;
    sender.setParameters(parameters);
}

void SessionCore::sendVideoFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs) {
    std::shared_ptr<VideoSource> source;
    {
        std::lock_guard lock(lock_);
        source = videoSource_;
    }
    if (source) source->captureFrame(frame, timeStampNs);
}

// Statistics ------------------------------------------------------------------------------------

SessionStats SessionCore::statistics() {
    struct Wait {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        std::optional<StatsReport> report;
    };
    auto wait = std::make_shared<Wait>();
    peerConnection_->requestStatistics([wait](std::optional<StatsReport> report) {
        std::lock_guard lock(wait->mutex);
        if (wait->done) return;  // too late: the request already timed out
        wait->done = true;
        wait->report = std::move(report);
        wait->cv.notify_all();
    });
    std::optional<StatsReport> report;
    {
        std::unique_lock lock(wait->mutex);
        wait->cv.wait_for(lock, kStatisticsTimeout, [&] { return wait->done; });
        wait->done = true;
        report = std::move(wait->report);
    }
    // No report (none in time, or a connection that can no longer give one).
    if (!report) throw SessionError::connectionTimedOut();
    return makeStats(*report);
}

SessionStats SessionCore::makeStats(const StatsReport& report) {
    const std::string fallback = factory_->preferredCodec();
    std::lock_guard lock(lock_);
    auto condensed = sessionstats::condense(report, statsBaseline_, fallback);
    statsBaseline_ = condensed.baseline;
    return condensed.stats;
}

}  // namespace quill
