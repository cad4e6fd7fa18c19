#include "quillcore/session/role_link.h"

#include <algorithm>
#include <chrono>

namespace quill {
namespace {

// Waits shorter than this are not worth the wake-up: a nearly spent deadline still waits this long.
constexpr double kMinimumEnvelopeWait = 0.05;

}  // namespace

std::stop_token RoleLink::attach(const std::shared_ptr<EnvelopeLink>& link) {
    std::stop_token stop;
    {
        std::lock_guard lock(lock_);
        link_ = link;
        stop = closing_.get_token();
    }
    if (stop.stop_requested()) link->close();
    return stop;
}

void RoleLink::startPump(SessionCore& core) {
    std::shared_ptr<EnvelopeSignallingLink> pumpLink;
    {
        std::lock_guard lock(lock_);
        pumpLink_ = std::make_shared<EnvelopeSignallingLink>(link_);
        pumpLink = pumpLink_;
        if (closing_.stop_requested()) pumpLink->markClosing();
    }
    core.startPump(pumpLink);
}

std::shared_ptr<EnvelopeLink> RoleLink::stop() {
    std::lock_guard lock(lock_);
    return stopLocked();
}

std::shared_ptr<EnvelopeLink> RoleLink::stopLocked() {
    closing_.request_stop();
    if (pumpLink_) pumpLink_->markClosing();
    return link_;
}

OpenedEnvelope nextEnvelopeBefore(EnvelopeLink& link, const Deadline& deadline) {
    if (deadline.expired()) throw SessionError::connectionTimedOut();
    std::optional<double> timeout;
    if (auto left = deadline.remaining())
        timeout = std::max(std::chrono::duration<double>(*left).count(), kMinimumEnvelopeWait);
    std::optional<OpenedEnvelope> opened = link.next(timeout);
    if (!opened) throw SessionError::connectionTimedOut();
    return std::move(*opened);
}

}  // namespace quill
