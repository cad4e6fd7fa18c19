#pragma once

#include <memory>
#include <mutex>
#include <stop_token>

#include "quillcore/base/clock.h"
#include "quillcore/session/envelope_signalling_link.h"
#include "quillcore/session/session_core.h"
#include "quillcore/transport/envelope_link.h"

namespace quill {

// What a host or controller session shares with its close() and its release while it
// negotiates: the envelope link, the core pump's reader of it, and the stop that ends the
// waits. Guarded by the session's own mutex, which also guards the session's other state so
// that close() reads all of it at one moment.
class RoleLink {
public:
    explicit RoleLink(std::mutex& lock) : lock_(lock) {}
    RoleLink(const RoleLink&) = delete;
    RoleLink& operator=(const RoleLink&) = delete;

    // Keeps `link` for close() and returns the stop the negotiation waits on. A close() that
    // came first leaves nothing to wait for: `link` is closed at once.
    std::stop_token attach(const std::shared_ptr<EnvelopeLink>& link);
    // Starts the core's pump on the attached link. A reader made after close() began is
    // marked closing at once.
    void startPump(SessionCore& core);
    // Requests the stop, marks the pump's reader closing and returns the link (null before
    // attach()). The locked form is for a caller that holds the session's mutex.
    std::shared_ptr<EnvelopeLink> stop();
    std::shared_ptr<EnvelopeLink> stopLocked();

private:
    std::mutex& lock_;
    std::shared_ptr<EnvelopeLink> link_;
    std::shared_ptr<EnvelopeSignallingLink> pumpLink_;
    std::stop_source closing_;
};

// The next envelope on `link` before `deadline`; throws SessionError::connectionTimedOut when
// none comes in time (or the link ends).
OpenedEnvelope nextEnvelopeBefore(EnvelopeLink& link, const Deadline& deadline);

}  // namespace quill
