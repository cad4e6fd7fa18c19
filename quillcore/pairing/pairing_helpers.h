#pragma once

#include <optional>

#include "quillcore/base/bytes.h"
#include "quillcore/pairing/pairing_error.h"
#include "quillcore/pairing/pairing_message.h"

namespace quill {

class FrameChannel;

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

// The guards' best-effort PairCancel: its own failure is dropped.
void sendCancel(FrameChannel& channel, const char* reason) noexcept;

// One poll of a decision wait: waits up to 20 ms for a frame and returns it (none when nothing
// came). A channel failure is thrown unchanged. When the channel answers early without a
// frame (it was closed here), the rest of the 20 ms is slept out so the caller's loop never
// spins.
std::optional<Bytes> pollForFrame(FrameChannel& channel);

}  // namespace quill
