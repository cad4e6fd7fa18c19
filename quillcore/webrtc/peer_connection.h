#pragma once

// Our WebRTC layer: the few objects and calls the session core needs, as abstract interfaces.
// The GStreamer implementation lives behind PeerConnectionFactory; tests of the session core's
// state rules use a scripted fake instead.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quillcore/base/async_stream.h"
#include "quillcore/base/bytes.h"
#include "quillcore/base/pixel_buffer.h"

namespace quill {

// Same numbering as the ICE connection states of the W3C interface.
enum class IceConnectionState : int {
    newState = 0,
    checking = 1,
    connected = 2,
    completed = 3,
    failed = 4,
    disconnected = 5,
    closed = 6,
};

enum class IceGatheringState { newState, gathering, complete };

enum class DataChannelState { connecting, open, closing, closed };

enum class SdpType { offer, answer };

enum class TransceiverDirection { sendOnly, recvOnly, sendRecv, inactive };

enum class MediaKind { audio, video };

inline const char* iceConnectionStateName(IceConnectionState state) {
    switch (state) {
        case IceConnectionState::newState: return "new";
        case IceConnectionState::checking: return "checking";
        case IceConnectionState::connected: return "connected";
        case IceConnectionState::completed: return "completed";
        case IceConnectionState::failed: return "failed";
        case IceConnectionState::disconnected: return "disconnected";
        case IceConnectionState::closed: return "closed";
    }
    return "unknown";
}

struct SessionDescription {
    SdpType type;
    std::string sdp;
};

// The outcome of create-offer / create-answer: a description, an error text, both or neither.
struct DescriptionResult {
    std::optional<SessionDescription> description;
    std::optional<std::string> error;
};

struct IceCandidate {
    std::string sdp;
    std::int32_t sdpMLineIndex = 0;
    std::optional<std::string> sdpMid;
};

// One ICE server entry: a list of URL strings, no credentials (relays are never used).
struct IceServer {
    std::vector<std::string> urls;
};

struct RtcConfiguration {
    std::vector<IceServer> iceServers;
};

// A codec as a receiver advertises it: the name as the RTP encoding name spells it.
struct CodecCapability {
    std::string name;
    int clockRate = 90000;
    std::map<std::string, std::string> parameters;
    bool operator==(const CodecCapability&) const = default;
};

struct DataChannelInit {
    bool ordered = true;
    int maxRetransmits = -1;
    int maxPacketLifeTime = -1;
};

class DataChannel;

class DataChannelDelegate {
public:
    virtual ~DataChannelDelegate() = default;
    virtual void dataChannelDidChangeState(const std::shared_ptr<DataChannel>& channel) = 0;
    virtual void dataChannelDidReceiveMessage(const std::shared_ptr<DataChannel>& channel, const Bytes& data,
                                              bool isBinary) = 0;
};

class DataChannel {
public:
    virtual ~DataChannel() = default;
    virtual std::string label() const = 0;
    virtual DataChannelState readyState() const = 0;
    // Whether the channel took the message. Callers never pass an empty one.
    virtual bool send(const Bytes& data, bool isBinary) = 0;
    virtual void close() = 0;
    // The delegate is held weakly and called on a thread of the layer (never a caller's).
    virtual void setDelegate(std::weak_ptr<DataChannelDelegate> delegate) = 0;
};

class MediaStreamTrack {
public:
    virtual ~MediaStreamTrack() = default;
    virtual MediaKind kind() const = 0;
    virtual std::string trackId() const = 0;
};

// The peer's video as decoded BGRx frames. The stream keeps at most a few frames for a slow
// consumer and drops newer ones beyond that, so an unread track never grows memory.
class RemoteVideoTrack : public MediaStreamTrack {
public:
    MediaKind kind() const override { return MediaKind::video; }
    virtual AsyncStreamPtr<PixelBufferPtr> frames() const = 0;
    virtual std::uint64_t decodedFrameCount() const = 0;
};

struct RtpEncodingParameters {
    bool isActive = true;
    std::optional<std::int64_t> maxBitrateBps;
    std::optional<double> maxFramerate;
    bool operator==(const RtpEncodingParameters&) const = default;
};

enum class DegradationPreference { disabled = 0, maintainFramerate = 1, maintainResolution = 2, balanced = 3 };

struct RtpParameters {
    std::vector<RtpEncodingParameters> encodings;
    std::optional<DegradationPreference> degradationPreference;
};

class RtpSender {
public:
    virtual ~RtpSender() = default;
    virtual RtpParameters parameters() const = 0;
    virtual void setParameters(const RtpParameters& parameters) = 0;
};

// A video source for screen content, fed with captured frames.
class VideoSource {
public:
    virtual ~VideoSource() = default;
    // The source scales to this size and drops frames above this rate.
    virtual void adaptOutputFormat(int width, int height, int fps) = 0;
    // Never blocks; frames the encoder cannot take in time are dropped.
    virtual void captureFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs) = 0;
    // Sends the last frame again, as a key frame: a still screen sends nothing, and a viewer
    // that missed the frames sent before it could receive them still needs a picture.
    virtual void resendLastFrame() = 0;
};

class RtpTransceiver {
public:
    virtual ~RtpTransceiver() = default;
    // False with a reason in `error` when the list cannot be applied.
    virtual bool setCodecPreferences(const std::vector<CodecCapability>& codecs, std::string& error) = 0;
};

// A statistics report in the W3C vocabulary: entries by id, each with a type and values.
using StatValue = std::variant<std::string, double, bool>;

struct StatsEntry {
    std::string type;
    std::map<std::string, StatValue> values;
};

struct StatsReport {
    double timestampUs = 0;
    std::map<std::string, StatsEntry> entries;
};

class PeerConnectionDelegate {
public:
    virtual ~PeerConnectionDelegate() = default;
    virtual void peerConnectionDidChangeIceConnectionState(IceConnectionState state) = 0;
    virtual void peerConnectionDidChangeIceGatheringState(IceGatheringState state) = 0;
    virtual void peerConnectionDidAddReceiver(const std::shared_ptr<MediaStreamTrack>& track) = 0;
    virtual void peerConnectionDidOpenDataChannel(const std::shared_ptr<DataChannel>& channel) = 0;
};

// One peer connection. Blocking calls (descriptions) may wait for the WebRTC threads and must
// not be made from a delegate callback. Delegate calls arrive on one thread of the layer, in
// order, never on the caller's thread and never while the layer holds a lock.
class PeerConnection {
public:
    virtual ~PeerConnection() = default;

    virtual void setDelegate(std::weak_ptr<PeerConnectionDelegate> delegate) = 0;

    // Nothing when the channel cannot be made.
    virtual std::shared_ptr<DataChannel> createDataChannel(const std::string& label, const DataChannelInit& init) = 0;
    virtual std::shared_ptr<RtpTransceiver> addTransceiver(MediaKind kind, TransceiverDirection direction) = 0;

    virtual DescriptionResult createOffer() = 0;
    virtual DescriptionResult createAnswer() = 0;
    // Each returns an error text, or nothing on success.
    virtual std::optional<std::string> setLocalDescription(const SessionDescription& description) = 0;
    virtual std::optional<std::string> setRemoteDescription(const SessionDescription& description) = 0;
    virtual std::optional<std::string> addIceCandidate(const IceCandidate& candidate) = 0;

    virtual IceGatheringState iceGatheringState() const = 0;
    virtual std::optional<SessionDescription> localDescription() const = 0;

    // Screen video (sending side).
    virtual std::shared_ptr<VideoSource> makeScreenVideoSource() = 0;
    // Nothing when the track cannot be added.
    virtual std::shared_ptr<RtpSender> addVideoTrack(const std::shared_ptr<VideoSource>& source,
                                                     const std::string& trackId,
                                                     const std::vector<std::string>& streamIds) = 0;

    // Calls `completion` once, on a thread of the layer; a request still waiting when the
    // connection closes is answered with nothing by close().
    virtual void requestStatistics(std::function<void(std::optional<StatsReport>)> completion) = 0;

    // Idempotent; safe from any thread, including a delegate callback.
    virtual void close() = 0;
};

// What the session core needs of the process-wide factory.
class PeerConnectionProvider {
public:
    virtual ~PeerConnectionProvider() = default;
    // Nothing when no connection can be created.
    virtual std::shared_ptr<PeerConnection> createPeerConnection(const RtcConfiguration& configuration) = 0;
    virtual std::vector<CodecCapability> videoCodecPreferences() const = 0;
    virtual std::string preferredCodec() const = 0;
};

}  // namespace quill
