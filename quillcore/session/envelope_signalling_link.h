#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "quillcore/session/session_core.h"
#include "quillcore/transport/envelope_link.h"

namespace quill {

// Lets the core's signalling pump read a session's envelope link: each opened envelope
// gives its message; the link's end and failure pass through unchanged, except while the
// session itself is closing.
class EnvelopeSignallingLink final : public SignallingLink {
public:
    explicit EnvelopeSignallingLink(std::shared_ptr<EnvelopeLink> link) : link_(std::move(link)) {}

    std::optional<SignallingMessage> next() override {
        auto signal = nextSignal();
        if (!signal) return std::nullopt;
        return std::move(signal->message);
    }

    std::optional<Signal> nextSignal() override {
        try {
            auto opened = link_->next(std::nullopt);
            if (!opened) return std::nullopt;
            return Signal{std::move(opened->message), std::move(opened->sender.fingerprint)};
        } catch (const std::exception&) {
            // Once this side said goodbye, the peer hanging up is the expected end, not a
            // failure of the session.
            if (closing_.load()) return std::nullopt;
            throw;
        }
    }
    void close() override { link_->close(); }

    // Called before the session's own Bye goes out.
    void markClosing() { closing_.store(true); }

private:
    const std::shared_ptr<EnvelopeLink> link_;
    std::atomic<bool> closing_{false};
};

}  // namespace quill
