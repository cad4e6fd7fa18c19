#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quillcore/base/clock.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/pairing/pairing_error.h"
#include "quillcore/pairing/pairing_helpers.h"
#include "quillcore/pairing/pairing_link.h"

namespace quill {

class FrameChannel;

// The host's single pairing point: it owns the current pairing link, records the host user's
// decision and runs at most one exchange at a time. Thread-safe: the exchange runs on the
// caller's thread and takes its locks only between its reads and sends, so the getters, the
// decision and issueLink can be called from any thread while it waits.
class HostPairing {
public:
    // How long any read from the controller may take, except the wait for the host user.
    // It also bounds how long the controller's user has to confirm after the host user did.
    static constexpr double defaultReadLimit = 60.0;

    HostPairing(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore, std::string hostName,
                double readLimit = defaultReadLimit, std::shared_ptr<WallClock> clock = WallClock::system());

    std::optional<PairingCode> comparisonCode() const;
    bool isAwaitingConfirmation() const;
    // Both of the above from one moment of the exchange.
    ComparisonState comparisonState() const;
    std::optional<PairingLink> activeLink() const;

    // A new link with a fresh secret replaces any link; a running exchange is not affected.
    PairingLink issueLink(std::vector<std::string> endpoints, SystemTime now);
    // The current link while it is younger than the lifetime, else a new one.
    PairingLink currentOrNewLink(std::vector<std::string> endpoints, SystemTime now);

    // A confirmation counts only while an exchange waits for the host user; one given earlier
    // is dropped. A reject given during an exchange is kept until its wait takes it.
    void confirmComparison();
    // The same, and only when `shownCode` is the code of the waiting exchange (none for a QR
    // request). Returns whether the confirmation was recorded.
    bool confirmComparison(const std::optional<PairingCode>& shownCode);
    void rejectComparison();

    // Run the numeric comparison or the QR-link exchange on a channel whose next frame is the
    // controller's PairStart or PairRequest, and return the saved record. Throw PairingError
    // (alreadyInProgress at once while another exchange runs), a channel error raised while
    // waiting for the host user, or a signing failure, after sending the controller a
    // PairCancel. The channel stays open; closing it is the caller's business.
    PeerRecord acceptComparison(FrameChannel& channel);
    PeerRecord acceptLink(FrameChannel& channel, SystemTime now);

private:
    PeerRecord respondToComparison(FrameChannel& channel);
    PeerRecord respondToLink(FrameChannel& channel, SystemTime now);
    // True for confirm, false for reject.
    bool waitForDecision(FrameChannel& channel);
    PeerRecord saveController(const Bytes& fingerprint, const Bytes& signingKey, const Bytes& agreementKey,
                              const std::string& name);
    // With linkMutex_ held.
    PairingLink issueLinkLocked(std::vector<std::string> endpoints, SystemTime now);

    const DeviceIdentity identity_;
    const std::shared_ptr<PeerStore> peerStore_;
    const std::string hostName_;
    const double readLimit_;
    const std::shared_ptr<WallClock> clock_;

    PairingExchangeState exchange_;

    mutable std::mutex linkMutex_;
    std::optional<PairingLink> currentPairingLink_;
    bool secretBurned_ = false;
};

}  // namespace quill
