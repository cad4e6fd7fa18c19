#include "quillcore/session/controller_session.h"

#include "quillcore/base/clock.h"
#include "quillcore/crypto/crypto.h"

namespace quill {

const std::vector<std::string>& ControllerSession::capabilities() {
    static const std::vector<std::string> list{"clipboard", "files"};
    return list;
}

std::shared_ptr<ControllerSession> ControllerSession::make(PeerRecord peer, DeviceIdentity identity,
                                                           std::shared_ptr<PeerStore> peerStore,
                                                           SessionConfiguration configuration) {
    auto core = SessionCore::make(configuration, true);
    return std::make_shared<ControllerSession>(Private{}, std::move(peer), std::move(identity), std::move(peerStore),
                                               std::move(configuration), std::move(core));
}

std::shared_ptr<ControllerSession> ControllerSession::make(PeerRecord peer, DeviceIdentity identity,
                                                           std::shared_ptr<PeerStore> peerStore,
                                                           SessionConfiguration configuration,
                                                           std::shared_ptr<PeerConnectionProvider> provider) {
    auto core = SessionCore::make(configuration, true, std::move(provider));
    return std::make_shared<ControllerSession>(Private{}, std::move(peer), std::move(identity), std::move(peerStore),
                                               std::move(configuration), std::move(core));
}

ControllerSession::ControllerSession(Private, PeerRecord peer, DeviceIdentity identity,
                                     std::shared_ptr<PeerStore> peerStore, SessionConfiguration configuration,
                                     std::shared_ptr<SessionCore> core)
    : peer(std::move(peer)),
      states(core->states),
      messages(core->messages),
      bulkMessages(core->bulkMessages),
      identity(std::move(identity)),
      peerStore(std::move(peerStore)),
      configuration(std::move(configuration)),
      core_(std::move(core)) {}

ControllerSession::~ControllerSession() {
    const std::shared_ptr<EnvelopeLink> link = roleLink_.stop();
    // No Bye on release; the connection and the core still end.
    if (link) link->close();
    core_->close();
}

void ControllerSession::start(const net::TcpEndpoint& endpoint) { start(FrameChannel::connect(endpoint)); }

void ControllerSession::start(std::uint16_t localPort) {
    if (localPort == 0) throw FrameChannelError::network("port 0 cannot be connected to");
    start(FrameChannel::connectLocal(localPort));
}

void ControllerSession::start(FrameChannelPtr channel) {
    {
        std::lock_guard lock(lock_);
        if (started_) throw SessionError::unexpectedMessage("session already started");
        started_ = true;
    }
    const std::string id = crypto::randomUUID();
    {
        std::lock_guard lock(lock_);
        sessionID_ = id;
    }
    core_->setSessionID(id);
    core_->setPeerFingerprint(peer.fingerprint);
    auto link = std::make_shared<EnvelopeLink>(std::move(channel), identity, peerStore);
    const std::stop_token stop = roleLink_.attach(link);
    try {
        const std::string offerSdp = core_->makeOffer(stop);
        link->send(Offer(id, offerSdp, configuration.requestedMode, capabilities()), peer);
        std::vector<Candidate> early;
        const Answer answer = waitForAnswer(*link, id, early);
        core_->setRemote(SessionDescription{SdpType::answer, answer.sdp()});
        // Candidates need the remote description: the ones that came before it go in now.
        for (const Candidate& candidate : early) core_->addRemoteCandidate(candidate);
        roleLink_.startPump(*core_);
        core_->waitUntilConnected(stop);
    } catch (...) {
        link->close();
        core_->close();
        throw;
    }
}

Answer ControllerSession::waitForAnswer(EnvelopeLink& link, const std::string& sessionID,
                                        std::vector<Candidate>& early) {
    const Deadline deadline = Deadline::after(configuration.negotiationTimeout);
    for (;;) {
        const OpenedEnvelope opened = nextEnvelopeBefore(link, deadline);
        if (opened.sender.fingerprint != peer.fingerprint) throw EnvelopeError::unknownSender();
        const SignallingMessage& message = opened.message;
        if (const Answer* answer = message.get<Answer>()) {
            if (answer->sessionID() == sessionID) return *answer;
            throw SessionError::wrongSession();
        }
        if (const Reject* reject = message.get<Reject>()) {
            if (reject->sessionID() == sessionID) throw SessionError::rejected(reject->reason());
            throw SessionError::wrongSession();
        }
        if (const Bye* bye = message.get<Bye>()) {
            if (bye->sessionID() == sessionID) throw SessionError::rejected(bye->reason());
            throw SessionError::wrongSession();
        }
        if (const Candidate* candidate = message.get<Candidate>()) {
            if (candidate->sessionID() == sessionID && early.size() < SessionCore::kMaxRemoteCandidates)
                early.push_back(*candidate);
        }
        // Offers and wakes have no place here.
    }
}

SessionConnectionState ControllerSession::connectionState() const { return core_->lifecycle(); }

std::shared_ptr<RemoteVideoTrack> ControllerSession::remoteVideoTrack() const { return core_->remoteVideoTrack(); }

std::optional<std::string> ControllerSession::sessionID() const {
    std::lock_guard lock(lock_);
    return sessionID_;
}

void ControllerSession::sendControl(const Quillmate_V0_Envelope& envelope) { core_->sendControl(envelope); }

void ControllerSession::sendBulk(const Bytes& frame) { core_->sendBulk(frame); }

SessionStats ControllerSession::statistics() { return core_->statistics(); }

void ControllerSession::close(const std::string& reason) {
    std::optional<std::string> id;
    std::shared_ptr<EnvelopeLink> link;
    {
        std::lock_guard lock(lock_);
        id = sessionID_;
        link = roleLink_.stopLocked();
    }
    if (id && link) {
        try {
            link->send(Bye(*id, reason), peer);
        } catch (const std::exception&) {
            // A host that is gone needs no goodbye.
        }
    }
    if (link) link->close();
    core_->close();
}

}  // namespace quill
