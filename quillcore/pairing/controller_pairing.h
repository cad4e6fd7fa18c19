#pragma once

#include <memory>
#include <optional>
#include <string>

#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/base/clock.h"
#include "quillcore/pairing/pairing_error.h"
#include "quillcore/pairing/pairing_helpers.h"
#include "quillcore/pairing/pairing_link.h"

namespace quill {

class FrameChannel;

// The controller's side of pairing: runs at most one exchange at a time over a channel already
// connected to a host, and lets the controller's interface read the code and answer it.
// Thread-safe in the same way as HostPairing. The host's PairAccept waits for the host's
// user and is waited for without limit (closing the channel ends that wait); every other
// reply is waited for at most `readLimit` seconds.
class ControllerPairing {
public:
    static constexpr double defaultReadLimit = 60.0;

    ControllerPairing(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore, std::string controllerName,
                      double readLimit = defaultReadLimit, std::shared_ptr<WallClock> clock = WallClock::system());

    std::optional<PairingCode> comparisonCode() const;
    bool isAwaitingConfirmation() const;

    void confirmComparison();
    void rejectComparison();

    // Numeric comparison: returns the host's saved record. Throws PairingError (or, unchanged,
    // a channel error raised while waiting for the user, or a signing failure) after sending
    // the host a PairCancel. The channel is left open.
    PeerRecord startComparison(FrameChannel& channel);
    // Pairing through a scanned link; `hostName` is the name stored for the host.
    PeerRecord startLink(const PairingLink& link, const std::string& hostName, FrameChannel& channel);

private:
    PeerRecord pairWithComparison(FrameChannel& channel);
    PeerRecord pairWithLink(const PairingLink& link, const std::string& hostName, FrameChannel& channel);
    PeerRecord saveHost(const Bytes& fingerprint, const Bytes& signingKey, const Bytes& agreementKey,
                        const std::string& name, const PeerPermissions& permissions);

    const DeviceIdentity identity_;
    const std::shared_ptr<PeerStore> peerStore_;
    const std::string controllerName_;
    const double readLimit_;
    const std::shared_ptr<WallClock> clock_;

    PairingExchangeState exchange_;
};

}  // namespace quill
