#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "quillcore/base/async_stream.h"
#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/base/pixel_buffer.h"
#include "quillcore/control/control_message.h"
#include "quillcore/session/session_core_stats.h"
#include "quillcore/session/session_types.h"
#include "quillcore/signalling/signalling_message.h"
#include "quillcore/webrtc/peer_connection.h"

namespace quill {

// What the signalling pump reads: the session's link to the peer, one message at a time.
class SignallingLink {
public:
    virtual ~SignallingLink() = default;
    // Waits without limit. Nothing once the link was closed without failure; throws the
    // link's failure. Only the link ends the wait.
    virtual std::optional<SignallingMessage> next() = 0;
    virtual void close() = 0;

    // A message with the fingerprint of the device that sent it, when the link knows it.
    struct Signal {
        SignallingMessage message;
        std::optional<Bytes> sender;
    };
    // As next(), with the sender. A link that cannot tell senders apart gives none.
    virtual std::optional<Signal> nextSignal() {
        auto message = next();
        if (!message) return std::nullopt;
        return Signal{std::move(*message), std::nullopt};
    }
};

// One WebRTC session: a peer connection with the screen video track and the "ctl" and "bulk"
// data channels, its connection state and three streams. Thread-safe; reached through a
// shared_ptr. Dropping the last reference closes it.
class SessionCore : public std::enable_shared_from_this<SessionCore>,
                    public PeerConnectionDelegate,
                    public DataChannelDelegate {
    struct Private {};

public:
    static constexpr std::size_t kMaxBulkFrame = 65536;
    // Received bulk frames wait for their reader up to this weight; later ones are dropped. A
    // frame weighs its size and a fixed share for its bookkeeping, so tiny frames are bounded too.
    static constexpr std::size_t kMaxUnreadBulk = 4 * 1024 * 1024;
    static constexpr std::size_t kBulkFrameOverhead = 64;
    // Remote candidates a session applies; a peer lists its few addresses, later ones are ignored.
    static constexpr std::size_t kMaxRemoteCandidates = 128;
    // Data channels a peer may open in one session; one more fails the session ("too many data
    // channels"). Channels beyond "ctl" and "bulk" are closed at once, but WebRTC keeps each one's
    // buffers and thread until the session ends: only a cap on the total bounds them. A peer needs
    // two; the rest is room for one that reopens a channel now and then.
    static constexpr std::size_t kMaxPeerChannels = 16;
    // A peer that ends the session sends its bye and closes its channels at once, and the two
    // travel apart: with a signalling link, channels that close count as a lost connection
    // only when no bye has ended the session this long after.
    static constexpr std::chrono::milliseconds kByeGrace{1000};

    // Throws SessionError: turnNotSupported for a TURN(S) server, peerConnectionUnavailable.
    static std::shared_ptr<SessionCore> make(SessionConfiguration configuration, bool remoteByeIsFailure);
    // The same on another WebRTC layer (tests).
    static std::shared_ptr<SessionCore> make(SessionConfiguration configuration, bool remoteByeIsFailure,
                                             std::shared_ptr<PeerConnectionProvider> provider);

    SessionCore(Private, SessionConfiguration configuration, bool remoteByeIsFailure,
                std::shared_ptr<PeerConnectionProvider> provider, std::shared_ptr<PeerConnection> peerConnection);
    ~SessionCore() override;
    SessionCore(const SessionCore&) = delete;
    SessionCore& operator=(const SessionCore&) = delete;

    const SessionConfiguration configuration;
    const bool remoteByeIsFailure;
    // Every recorded state change, in order.
    const AsyncStreamPtr<SessionConnectionState> states;
    // Control messages received on "ctl".
    const AsyncStreamPtr<Quillmate_V0_Envelope> messages;
    // Frames received on "bulk".
    const AsyncStreamPtr<Bytes> bulkMessages;

    // Guarded fields the roles read and write.
    SessionConnectionState lifecycle() const;
    std::optional<std::string> sessionID() const;
    void setSessionID(std::optional<std::string> id);
    // The fingerprint of the session's peer: once set, signalling from any other sender is
    // ignored.
    void setPeerFingerprint(std::optional<Bytes> fingerprint);
    std::shared_ptr<RemoteVideoTrack> remoteVideoTrack() const;

    // Idempotent, from any thread (a state callback or a stream's consumer included). The first
    // call tears the WebRTC connection down before it returns; later ones, also those made while
    // it runs, return at once.
    void close();
    // As close(), with the WebRTC teardown on a thread of its own: for a caller that must not
    // wait for it (a session given up while it was being set up, whose controller may be back
    // at once).
    void closeSoon();
    // Waits while more than `most` cores of this process are being torn down: a peer that
    // begins sessions faster than they go down waits for them instead of piling them up.
    static void awaitTeardowns(std::size_t most);
    void setState(const SessionConnectionState& state, bool force = false);
    void iceConnectionStateChanged(IceConnectionState state);

    // Negotiation. Each throws SessionError; `stop` ends a wait with Cancelled. A core negotiates
    // once: after the first makeOffer() or answer(), from any thread, both throw alreadyAccepted.
    std::string makeOffer(std::stop_token stop = {});
    std::string answer(const std::string& offerSdp, std::stop_token stop = {});
    void setRemote(const SessionDescription& description);
    void addRemoteCandidate(const Candidate& candidate);
    void startPump(std::shared_ptr<SignallingLink> link);

    // Data channels.
    void waitUntilConnected(std::stop_token stop = {});
    void sendControl(const Quillmate_V0_Envelope& envelope);
    void sendBulk(const Bytes& frame);

    // Screen video (host side). Never fails; frames without a track are dropped.
    void sendVideoFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs);

    // One sample; throws SessionError::connectionTimedOut when WebRTC gives no report in 5 s.
    SessionStats statistics();
    // Condenses a report against the previous sample, which it replaces.
    SessionStats makeStats(const StatsReport& report);

    // The track identifier of the screen video track, once added.
    std::optional<std::string> videoTrackID() const;

    // PeerConnectionDelegate and DataChannelDelegate.
    void peerConnectionDidChangeIceConnectionState(IceConnectionState state) override;
    void peerConnectionDidChangeIceGatheringState(IceGatheringState state) override;
    void peerConnectionDidAddReceiver(const std::shared_ptr<MediaStreamTrack>& track) override;
    void peerConnectionDidOpenDataChannel(const std::shared_ptr<DataChannel>& channel) override;
    void dataChannelDidChangeState(const std::shared_ptr<DataChannel>& channel) override;
    void dataChannelDidReceiveMessage(const std::shared_ptr<DataChannel>& channel, const Bytes& data,
                                      bool isBinary) override;

private:
    void shutDown(bool inBackground);
    // setState; with `keepConnected`, a connected session stays as it is.
    void changeState(const SessionConnectionState& state, bool force, bool keepConnected);
    // With lock_ held: both channels closed while connected.
    bool channelsLostLocked() const;
    // Both channels closed while connected: a lost connection, unless a bye ends the session.
    void channelsLost();
    // Takes the core's one negotiation, or throws alreadyAccepted.
    void beginNegotiation();
    SessionDescription makeDescription(bool isOffer);
    void setLocal(const SessionDescription& description);
    void waitForGathering(std::stop_token stop);
    // Waits on `changed_` until `done` holds (false when the deadline passed first); throws
    // Cancelled when `stop` ends the wait. `lock` holds `lock_`.
    bool waitFor(std::unique_lock<std::mutex>& lock, const Deadline& deadline, std::stop_token& stop,
                 const std::function<bool()>& done);
    // Why a wait ends on a core that closed (lock held).
    SessionError endedError() const;
    void addScreenVideoTrack();
    void applyEncodingParameters(RtpSender& sender);
    void makeDataChannel(const std::string& label);
    void attachDataChannel(const std::shared_ptr<DataChannel>& channel);
    // Whether the session keeps this channel as its "ctl" or "bulk" (lock held).
    bool recordChannel(const std::shared_ptr<DataChannel>& channel, const std::string& label);
    bool markChannelOpen(const std::shared_ptr<DataChannel>& channel);  // lock held
    void handleMessage(const Bytes& data, const std::shared_ptr<DataChannel>& channel);
    bool handleSignal(const SignallingMessage& message, const std::optional<Bytes>& sender, SignallingLink& link);
    static void pumpSignalling(std::weak_ptr<SessionCore> core, std::shared_ptr<SignallingLink> link,
                               std::shared_ptr<std::atomic<bool>> cancelled);

    const std::shared_ptr<PeerConnectionProvider> factory_;
    const std::shared_ptr<PeerConnection> peerConnection_;

    mutable std::mutex lock_;
    // Signalled on every state change, on close and when gathering completes.
    std::condition_variable_any changed_;
    std::shared_ptr<DataChannel> ctlChannel_;
    std::shared_ptr<DataChannel> bulkChannel_;
    std::shared_ptr<RemoteVideoTrack> remoteVideoTrack_;
    std::shared_ptr<VideoSource> videoSource_;
    std::optional<std::string> videoTrackID_;
    SessionConnectionState lifecycle_ = SessionConnectionState::idle();
    IceConnectionState iceState_ = IceConnectionState::newState;
    bool ctlOpen_ = false;
    bool bulkOpen_ = false;
    bool shuttingDown_ = false;
    bool gatheringComplete_ = false;
    bool negotiationBegun_ = false;
    std::optional<std::string> sessionID_;
    std::optional<Bytes> peerFingerprint_;
    std::size_t remoteCandidates_ = 0;
    std::size_t peerChannels_ = 0;
    std::optional<StatsBaseline> statsBaseline_;
    // The running pump's cancel flag.
    std::shared_ptr<std::atomic<bool>> pumpCancelled_;
    // Each kind of dropped bulk frame is reported once.
    std::atomic<bool> oversizeBulkReported_{false};
    std::atomic<bool> unreadBulkReported_{false};
};

}  // namespace quill
