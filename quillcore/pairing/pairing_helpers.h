#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "quillcore/base/bytes.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/pairing/pairing_error.h"
#include "quillcore/pairing/pairing_message.h"

namespace quill {

class FrameChannel;

// Every pairing nonce is this long.
inline constexpr std::size_t kPairingNonceSize = 32;

// Decodes one frame. Throws PairingError: invalidMessage with the decoder's description, or
// remoteCancelled with the reason of a PairCancel (callers never see a PairCancel value).
PairingMessage decodePairingMessage(ByteView frame);

// Both keys 32 bytes, the signing key a valid Ed25519 point, the agreement key any 32 bytes
// (every 32-byte string is an X25519 public key). Throws PairingError::invalidKeyMaterial.
void validatePeerKeys(ByteView signing, ByteView agreement);

// Reads and decodes the next message. A channel that ends, fails with anything but a
// PairingError, or sends nothing within `timeout` seconds (none: no limit) gives
// connectionClosed.
PairingMessage receiveMessage(FrameChannel& channel, std::optional<double> timeout);

// Sends one message; any failure becomes connectionClosed.
void sendMessage(FrameChannel& channel, const PairingMessage& message);
// As sendMessage(), without waiting until the connection took it.
void postMessage(FrameChannel& channel, const PairingMessage& message);

// The guards' best-effort PairCancel: its own failure is dropped.
void sendCancel(FrameChannel& channel, const char* reason) noexcept;

// One poll of a decision wait: waits up to 20 ms for a frame and returns it (none when nothing
// came). A channel failure is thrown unchanged. When the channel answers early without a
// frame (it was closed here), the rest of the 20 ms is slept out so the caller's loop never
// spins.
std::optional<Bytes> pollForFrame(FrameChannel& channel);

// Saves a newly paired peer; a store failure becomes storeFailure with the store's description.
void savePairedPeer(PeerStore& store, const PeerRecord& record);

// Whether an exchange waits for the local user, the code shown meanwhile and the name the
// other device gave (host side), read together.
struct ComparisonState {
    bool awaitingConfirmation = false;
    std::optional<PairingCode> code;
    std::string peerName;
};

// What both pairing sides keep about their one running exchange: whether one runs, the local
// user's answer, the code shown and whether the exchange waits for that answer. Its lock is
// never held across a read, a send or a store call, so the user's answer and the getters get
// through while an exchange waits.
class PairingExchangeState {
public:
    std::optional<PairingCode> comparisonCode() const;
    bool isAwaitingConfirmation() const;
    ComparisonState comparisonState() const;
    // Records the local user's answer: true to confirm, false to reject.
    void decide(bool confirm);
    // Records a confirmation only while the exchange waits for its user and, when `shownCode`
    // is given, only if it is the code that exchange shows: a confirmation meant for an
    // exchange that has ended cannot confirm the next one. Returns whether it was recorded.
    bool confirmAwaiting(const std::optional<PairingCode>* shownCode);
    // Whether the exchange waits for its user with `code` on show (none for a QR request).
    bool isAwaiting(const std::optional<PairingCode>& code) const;

    // Runs one exchange: alreadyInProgress at once (nothing sent) while another runs.
    // Whatever the exchange throws is passed on unchanged after a best-effort PairCancel with
    // `cancelReason`; either way the state is idle again afterwards.
    template <class Exchange>
    PeerRecord run(FrameChannel& channel, const char* cancelReason, Exchange&& exchange) {
        begin();
        try {
            PeerRecord record = exchange();
            reset();
            return record;
        } catch (...) {
            sendCancel(channel, cancelReason);
            reset();
            throw;
        }
    }

    // The exchange now waits for its user; `code` (none for a QR request) is shown meanwhile.
    void awaitDecision(std::optional<PairingCode> code);
    // Host side, where exchanges run their first steps side by side and only the one that
    // reaches its user takes the state: as awaitDecision(), or alreadyInProgress when another
    // exchange has it. release() gives it back.
    void claimDecision(std::optional<PairingCode> code, std::string peerName);
    void release() { reset(); }
    // Whether an exchange holds the state.
    bool isBusy() const;
    // The user's answer, taken (and cleared) if there is one.
    std::optional<bool> takeDecision();
    // The user confirmed and the exchange goes on.
    void confirmed();

private:
    void begin();
    void reset();

    mutable std::mutex mutex_;
    bool busy_ = false;
    std::optional<bool> decision_;
    std::optional<PairingCode> comparisonCode_;
    bool isAwaitingConfirmation_ = false;
    std::string peerName_;
};

}  // namespace quill
