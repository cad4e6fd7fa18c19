#pragma once

#include <optional>

#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/envelope/envelope.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_record.h"
#include "quillcore/signalling/signalling_message.h"

namespace quill::EnvelopeSealer {

// Seals `message` from `identity` for `recipient`: the message's JSON text is encrypted to the
// recipient's agreement key (empty info, no associated data) and the envelope is signed with
// the identity's signing key. `time` defaults to the system clock's now, `id` to 16 fresh
// random bytes; the identifier's length is not checked here. Every failure is thrown as its
// step raised it (DeviceIdentityError::invalidKey for a recipient key that is not 32 bytes).
Envelope seal(const SignallingMessage& message, const DeviceIdentity& identity, const PeerRecord& recipient,
              std::optional<SystemTime> time = std::nullopt, std::optional<Bytes> id = std::nullopt);

}  // namespace quill::EnvelopeSealer
