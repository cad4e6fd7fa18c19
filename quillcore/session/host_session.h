#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "quillcore/base/async_stream.h"
#include "quillcore/base/bytes.h"
#include "quillcore/base/pixel_buffer.h"
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

// The host's side of one screen session with one paired controller: waits for the
// controller's sealed Offer on a frame channel, checks its view permission, answers with the
// screen video track and waits until both data channels are open. While the session runs,
// keyboard, pointer and scroll events reach `messages` only when the controller holds
// control permission and asked for control (by its Offer, or later by a Hello).
//
// Thread-safe. Reached through a shared_ptr; dropping the last reference without close()
// still closes the link (and so the connection) and the core, without a Bye.
class HostSession {
    struct Private {};

public:
    // Control messages that may wait unread (pointer moves beyond the first 1,024 are merged
    // into the newest). One more that cannot be merged closes the session with the reason
    // "too many control messages": dropping it could leave a key held down.
    static constexpr std::size_t kMaxUnreadMessages = 8192;
    // A session that fails while it is set up lets the host take the next offer while its
    // WebRTC teardown goes on, unless more than this many teardowns are still going on:
    // then it waits for them (the host stays busy), so a controller that starts and ends
    // sessions faster than they go down cannot pile them up.
    static constexpr std::size_t kMostTearingDown = 2;

    // The capabilities announced in the Answer.
    static const std::vector<std::string>& capabilities();

    // Throws what the core's creation throws (SessionError::turnNotSupported for a relay).
    static std::shared_ptr<HostSession> make(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                                             SessionConfiguration configuration);
    // The same on another WebRTC layer (tests).
    static std::shared_ptr<HostSession> make(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                                             SessionConfiguration configuration,
                                             std::shared_ptr<PeerConnectionProvider> provider);

    HostSession(Private, DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                SessionConfiguration configuration, std::shared_ptr<SessionCore> core);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // The core's own streams, and the filtered control messages.
    const AsyncStreamPtr<SessionConnectionState> states;
    const AsyncStreamPtr<Quillmate_V0_Envelope> messages;
    const AsyncStreamPtr<Bytes> bulkMessages;

    const DeviceIdentity identity;
    const std::shared_ptr<PeerStore> peerStore;
    const SessionConfiguration configuration;

    // Negotiates the session over a connection a controller opened; returns once both data
    // channels are open. Once per session (alreadyAccepted after that). Every failure closes
    // the link and the core before it is thrown, unchanged.
    void run(FrameChannelPtr channel);
    // The same over an accepted connection that was not started yet.
    void run(net::TcpConnectionPtr connection);

    SessionConnectionState connectionState() const;
    // The controller whose Offer was accepted.
    std::optional<PeerRecord> peer() const;
    // The accepted Offer's session identifier.
    std::optional<std::string> sessionID() const;

    // Forwarders to the core; its errors reach the caller unchanged.
    void sendControl(const Quillmate_V0_Envelope& envelope);
    void sendBulk(const Bytes& frame);
    void sendVideoFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs);
    SessionStats statistics();

    // Sends a Bye with `reason` when an Offer was accepted, then closes the link and the core
    // and ends `messages`. Any time, any number of times, from any thread.
    void close(const std::string& reason);

    // The core, for tests and benchmarks that look beneath the session.
    const std::shared_ptr<SessionCore>& sessionCore() const { return core_; }

private:
    OpenedEnvelope waitForOffer(EnvelopeLink& link);
    void handleOffer(const OpenedEnvelope& opened, const std::shared_ptr<EnvelopeLink>& link, std::stop_token stop);
    void recordPeer(const PeerRecord& sender, const Offer& offer);
    void filterInput(PeerRecord peer);
    void filterLoop(std::stop_token stop, const PeerRecord& peer);
    void shutDown(const std::shared_ptr<EnvelopeLink>& link);

    const std::shared_ptr<SessionCore> core_;

    mutable std::mutex lock_;
    // Stopped by close() and on release: ends run()'s waits.
    RoleLink roleLink_{lock_};
    std::optional<PeerRecord> pairedPeer_;
    std::optional<std::string> sessionID_;
    bool started_ = false;
    bool controlAllowed_ = false;
    bool dropLogged_ = false;
    std::jthread filterThread_;
};

}  // namespace quill
