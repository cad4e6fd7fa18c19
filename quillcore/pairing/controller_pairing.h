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
// Thread-safe in the same way as HostPairing. Reads from the host wait without limit (the
// host's reply may wait for its user); closing the channel ends such a wait.
class ControllerPairing {
public:
    ControllerPairing(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore, std::string controllerName,
                      std::shared_ptr<WallClock> clock = WallClock::system());

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
    const std::shared_ptr<WallClock> clock_;

    PairingExchangeState exchange_;
};

}  // namespace quill
