#include "quillcore/session/host_session.h"

#include "quillcore/base/clock.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/base/quick_wake.h"

namespace quill {
namespace {

const char* const kViewDenied = "view permission denied";
const char* const kTooManyMessages = "too many control messages";

}  // namespace

const std::vector<std::string>& HostSession::capabilities() {
    static const std::vector<std::string> list{"clipboard", "files"};
    return list;
}

std::shared_ptr<HostSession> HostSession::make(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                                               SessionConfiguration configuration) {
    auto core = SessionCore::make(configuration, false);
    return std::make_shared<HostSession>(Private{}, std::move(identity), std::move(peerStore),
                                         std::move(configuration), std::move(core));
}

std::shared_ptr<HostSession> HostSession::make(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                                               SessionConfiguration configuration,
                                               std::shared_ptr<PeerConnectionProvider> provider) {
    auto core = SessionCore::make(configuration, false, std::move(provider));
    return std::make_shared<HostSession>(Private{}, std::move(identity), std::move(peerStore),
                                         std::move(configuration), std::move(core));
}

HostSession::HostSession(Private, DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                         SessionConfiguration configuration, std::shared_ptr<SessionCore> core)
    : states(core->states),
      messages(AsyncStream<Quillmate_V0_Envelope>::make()),
      bulkMessages(core->bulkMessages),
      identity(std::move(identity)),
      peerStore(std::move(peerStore)),
      configuration(std::move(configuration)),
      core_(std::move(core)) {}

HostSession::~HostSession() {
    const std::shared_ptr<EnvelopeLink> link = roleLink_.stop();
    // No Bye on release: only the connection, the filter and the core end.
    shutDown(link);
    std::jthread filter;
    {
        std::lock_guard lock(lock_);
        filter = std::move(filterThread_);
    }
    if (filter.joinable()) filter.join();
}

void HostSession::run(net::TcpConnectionPtr connection) { run(FrameChannel::make(std::move(connection))); }

void HostSession::run(FrameChannelPtr channel) {
    {
        std::lock_guard lock(lock_);
        if (started_) throw SessionError::alreadyAccepted();
        started_ = true;
    }
    auto link = std::make_shared<EnvelopeLink>(std::move(channel), identity, peerStore);
    const std::stop_token stop = roleLink_.attach(link);
    try {
        const OpenedEnvelope opened = waitForOffer(*link);
        // A close that came first wins over an Offer the link had already read: none of it is taken.
        if (stop.stop_requested()) throw SessionError::connectionTimedOut();
        handleOffer(opened, link, stop);
    } catch (...) {
        link->close();
        // The host takes the next offer once this one is given up, not once WebRTC has gone down:
        // a controller that said bye or hung up may be back at once.
        core_->closeSoon();
        SessionCore::awaitTeardowns(kMostTearingDown);
        throw;
    }
}

OpenedEnvelope HostSession::waitForOffer(EnvelopeLink& link) {
    OpenedEnvelope opened = nextEnvelopeBefore(link, Deadline::after(configuration.negotiationTimeout));
    switch (opened.message.messageCase()) {
        case SignallingMessage::Case::offer: return opened;
        case SignallingMessage::Case::bye: throw SessionError::rejected(opened.message.get<Bye>()->reason());
        default: throw SessionError::unexpectedMessage("expected Offer");
    }
}

void HostSession::handleOffer(const OpenedEnvelope& opened, const std::shared_ptr<EnvelopeLink>& link,
                              std::stop_token stop) {
    const Offer& offer = *opened.message.get<Offer>();
    const PeerRecord& sender = opened.sender;
    if (!sender.permissions.view) {
        try {
            link->send(Reject(offer.sessionID(), kViewDenied), sender);
        } catch (const std::exception&) {
            // The refusal stands whether or not the controller heard of it.
        }
        throw SessionError::rejected(kViewDenied);
    }
    recordPeer(sender, offer);
    core_->setSessionID(offer.sessionID());
    core_->setPeerFingerprint(sender.fingerprint);
    filterInput(sender);
    roleLink_.startPump(*core_);
    const std::string answerSdp = core_->answer(offer.sdp(), stop);
    link->send(Answer(offer.sessionID(), answerSdp, capabilities()), sender);
    core_->waitUntilConnected(stop);
}

void HostSession::recordPeer(const PeerRecord& sender, const Offer& offer) {
    std::lock_guard lock(lock_);
    pairedPeer_ = sender;
    sessionID_ = offer.sessionID();
    controlAllowed_ = sender.permissions.control && offer.mode() == SessionMode::control;
}

void HostSession::filterInput(PeerRecord peer) {
    // An earlier filter is stopped and joined outside the lock, which it may be waiting for.
    std::jthread previous;
    std::lock_guard lock(lock_);
    previous = std::move(filterThread_);
    filterThread_ = std::jthread([this, peer = std::move(peer)](std::stop_token stop) { filterLoop(stop, peer); });
}

void HostSession::filterLoop(std::stop_token stop, const PeerRecord& peer) {
    preferQuickWakeUps();
    // Once this many messages wait, a pointer move takes the place of the move queued last
    // instead of queueing behind it: a controller that sends faster than input can be injected
    // cannot grow the queue without bound, and the newest position still arrives. Keys, button
    // changes and everything else always queue, so no press or release is lost.
    constexpr std::size_t pointerBacklog = 1024;
    std::optional<std::uint32_t> lastButtons;  // of the last pointer event queued
    bool lastQueuedIsMove = false;             // the last item queued is a pointer move
    while (auto message = core_->messages->next(stop)) {
        bool pass = true;
        bool logDrop = false;
        switch (message->msg_case()) {
            case Quillmate_V0_Envelope::kHello: {
                std::lock_guard lock(lock_);
                controlAllowed_ = peer.permissions.control && !message->hello().view_only();
                dropLogged_ = false;
                break;
            }
            case Quillmate_V0_Envelope::kKey:
            case Quillmate_V0_Envelope::kPointer:
            case Quillmate_V0_Envelope::kScroll: {
                std::lock_guard lock(lock_);
                pass = controlAllowed_;
                if (!pass && !dropLogged_) {
                    dropLogged_ = true;
                    logDrop = true;
                }
                break;
            }
            default: break;
        }
        if (logDrop)
            coreDiagnostic("dropping keyboard and pointer input for " + peer.name +
                           " because the session is view-only or the peer lacks control permission");
        if (!pass) continue;
        const bool merges = message->msg_case() == Quillmate_V0_Envelope::kPointer && lastQueuedIsMove &&
                            lastButtons == message->pointer().buttons();
        if (!merges && messages->pending() >= kMaxUnreadMessages) {
            // Input is not being taken as fast as it comes. Ending the session releases every
            // held key and button; dropping messages could leave one held.
            coreDiagnostic("closing the session with " + peer.name + ": " + kTooManyMessages + " waiting");
            close(kTooManyMessages);
            break;
        }
        if (message->msg_case() != Quillmate_V0_Envelope::kPointer) {
            lastQueuedIsMove = false;
            messages->push(std::move(*message));
            continue;
        }
        // The queue's last item, while any waits, is the one queued last here.
        const std::uint32_t buttons = message->pointer().buttons();
        const bool move = lastButtons == buttons;
        const bool mergeable = move && lastQueuedIsMove;
        lastButtons = buttons;
        lastQueuedIsMove = move;
        messages->pushCoalescing(std::move(*message), pointerBacklog,
                                 [mergeable, buttons](const Quillmate_V0_Envelope& last) {
                                     return mergeable && last.has_pointer() && last.pointer().buttons() == buttons;
                                 });
    }
    // The core closed (or the session is closing): nothing more will come.
    messages->finish();
}

SessionConnectionState HostSession::connectionState() const { return core_->lifecycle(); }

std::optional<PeerRecord> HostSession::peer() const {
    std::lock_guard lock(lock_);
    return pairedPeer_;
}

std::optional<std::string> HostSession::sessionID() const {
    std::lock_guard lock(lock_);
    return sessionID_;
}

void HostSession::sendControl(const Quillmate_V0_Envelope& envelope) { core_->sendControl(envelope); }

void HostSession::sendBulk(const Bytes& frame) { core_->sendBulk(frame); }

void HostSession::sendVideoFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs) {
    core_->sendVideoFrame(frame, timeStampNs);
}

SessionStats HostSession::statistics() { return core_->statistics(); }

void HostSession::close(const std::string& reason) {
    std::optional<std::string> id;
    std::shared_ptr<EnvelopeLink> link;
    std::optional<PeerRecord> peer;
    {
        std::lock_guard lock(lock_);
        id = sessionID_;
        peer = pairedPeer_;
        link = roleLink_.stopLocked();
    }
    if (id && link && peer) {
        try {
            link->send(Bye(*id, reason), *peer);
        } catch (const std::exception&) {
            // A controller that is gone needs no goodbye.
        }
    }
    shutDown(link);
}

void HostSession::shutDown(const std::shared_ptr<EnvelopeLink>& link) {
    // The link first: that ends the pump's wait before the core goes.
    if (link) link->close();
    {
        std::lock_guard lock(lock_);
        filterThread_.request_stop();
    }
    messages->finish();
    core_->close();
}

}  // namespace quill
