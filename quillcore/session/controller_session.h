#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "quillcore/base/async_stream.h"
#include "quillcore/base/bytes.h"
#include "quillcore/control/control_message.h"
#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_record.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/net/tcp_connection.h"
#include "quillcore/session/role_link.h"
#include "quillcore/session/session_core.h"
#include "quillcore/session/session_types.h"
#include "quillcore/transport/envelope_link.h"
#include "quillcore/transport/frame_channel.h"

namespace quill {

// The controller's side of one screen session with one paired host: sends a sealed Offer,
// waits for the host's Answer (or Reject), applies it and waits until both data channels are
// open. Afterwards the host's video, control messages and bulk frames come from the core.
//
// Thread-safe. Reached through a shared_ptr; dropping the last reference without close()
// still closes the link (and so the connection) and the core, without a Bye.
class ControllerSession {
    struct Private {};

public:
    // The capabilities announced in the Offer.
    static const std::vector<std::string>& capabilities();

    // Throws what the core's creation throws (SessionError::turnNotSupported for a relay).
    static std::shared_ptr<ControllerSession> make(PeerRecord peer, DeviceIdentity identity,
                                                   std::shared_ptr<PeerStore> peerStore,
                                                   SessionConfiguration configuration);
    // The same on another WebRTC layer (tests).
    static std::shared_ptr<ControllerSession> make(PeerRecord peer, DeviceIdentity identity,
                                                   std::shared_ptr<PeerStore> peerStore,
                                                   SessionConfiguration configuration,
                                                   std::shared_ptr<PeerConnectionProvider> provider);

    ControllerSession(Private, PeerRecord peer, DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                      SessionConfiguration configuration, std::shared_ptr<SessionCore> core);
    ~ControllerSession();
    ControllerSession(const ControllerSession&) = delete;
    ControllerSession& operator=(const ControllerSession&) = delete;

    // The host this session talks to: every message is sealed for it, and every message
    // received while negotiating must come from it.
    const PeerRecord peer;
    // The core's own streams, unfiltered.
    const AsyncStreamPtr<SessionConnectionState> states;
    const AsyncStreamPtr<Quillmate_V0_Envelope> messages;
    const AsyncStreamPtr<Bytes> bulkMessages;

    const DeviceIdentity identity;
    const std::shared_ptr<PeerStore> peerStore;
    const SessionConfiguration configuration;

    // Negotiates over a channel connected to the host; returns once both data channels are
    // open. Once per session. Every failure after the identifier was chosen closes the link
    // and the core before it is thrown, unchanged.
    void start(FrameChannelPtr channel);
    void start(const net::TcpEndpoint& endpoint);
    // A host on this machine. Port 0 is refused with a network error of the frame channel.
    void start(std::uint16_t localPort);

    SessionConnectionState connectionState() const;
    std::shared_ptr<RemoteVideoTrack> remoteVideoTrack() const;
    // The identifier chosen by start().
    std::optional<std::string> sessionID() const;

    void sendControl(const Quillmate_V0_Envelope& envelope);
    void sendBulk(const Bytes& frame);
    SessionStats statistics();

    // Sends a Bye with `reason` once an Offer may have gone out, then closes the link and the
    // core. Any time, any number of times, from any thread.
    void close(const std::string& reason);

    // The core, for tests and benchmarks that look beneath the session.
    const std::shared_ptr<SessionCore>& sessionCore() const { return core_; }

private:
    Answer waitForAnswer(EnvelopeLink& link, const std::string& sessionID, std::vector<Candidate>& early);

    const std::shared_ptr<SessionCore> core_;

    mutable std::mutex lock_;
    // Stopped by close() and on release: ends start()'s waits.
    RoleLink roleLink_{lock_};
    std::optional<std::string> sessionID_;
    bool started_ = false;
};

}  // namespace quill
