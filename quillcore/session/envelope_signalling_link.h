#pragma once

#include <memory>
#include <optional>

#include "quillcore/session/session_core.h"
#include "quillcore/transport/envelope_link.h"

namespace quill {

// Lets the core's signalling pump read a session's envelope link: each opened envelope
// gives its message; the link's end and failure pass through unchanged.
class EnvelopeSignallingLink final : public SignallingLink {
public:
    explicit EnvelopeSignallingLink(std::shared_ptr<EnvelopeLink> link) : link_(std::move(link)) {}

    std::optional<SignallingMessage> next() override {
        auto opened = link_->next(std::nullopt);
        if (!opened) return std::nullopt;
        return opened->message;
    }
    void close() override { link_->close(); }

private:
    const std::shared_ptr<EnvelopeLink> link_;
};

}  // namespace quill
