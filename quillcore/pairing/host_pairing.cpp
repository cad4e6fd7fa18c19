#include "quillcore/pairing/host_pairing.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "quillcore/crypto/crypto.h"
#include "quillcore/pairing/pairing_helpers.h"
#include "quillcore/transport/frame_channel.h"

namespace quill {

namespace {

[[noreturn]] void fail(PairingError::Kind kind) { throw PairingError(kind); }

}  // namespace

HostPairing::HostPairing(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore, std::string hostName,
                         double readLimit, std::shared_ptr<WallClock> clock, double decisionLimit,
                         std::shared_ptr<OffenceRecord> offences)
    : identity_(std::move(identity)),
      peerStore_(std::move(peerStore)),
      hostName_(std::move(hostName)),
      readLimit_(readLimit),
      clock_(std::move(clock)),
      decisionLimit_(decisionLimit),
      offences_(offences ? std::move(offences) : std::make_shared<OffenceRecord>()),
      rule_(offences_) {}

FrameChannelLimits HostPairing::channelLimits() {
    const auto frame = static_cast<std::uint32_t>(PairingMessage::maxFrameSize());
    return {frame, 2 * (frame + FrameChannel::kFrameOverhead), true};
}

std::optional<PairingCode> HostPairing::comparisonCode() const { return exchange_.comparisonCode(); }

bool HostPairing::isAwaitingConfirmation() const { return exchange_.isAwaitingConfirmation(); }

ComparisonState HostPairing::comparisonState() const { return exchange_.comparisonState(); }

std::optional<PairingLink> HostPairing::activeLink() const {
    std::lock_guard lock(linkMutex_);
    return currentPairingLink_;
}

PairingLink HostPairing::issueLinkLocked(std::vector<std::string> endpoints, SystemTime now) {
    currentPairingLink_ = PairingLink(identity_, PairingLink::makeSecret(), std::move(endpoints), now);
    secretBurned_ = false;
    return *currentPairingLink_;
}

PairingLink HostPairing::issueLink(std::vector<std::string> endpoints, SystemTime now) {
    std::lock_guard lock(linkMutex_);
    return issueLinkLocked(std::move(endpoints), now);
}

PairingLink HostPairing::currentOrNewLink(std::vector<std::string> endpoints, SystemTime now) {
    // Checked and renewed in one step: two callers that find the link expired get the same
    // new link.
    std::lock_guard lock(linkMutex_);
    if (currentPairingLink_ && !currentPairingLink_->isExpired(now)) return *currentPairingLink_;
    return issueLinkLocked(std::move(endpoints), now);
}

void HostPairing::confirmComparison() { exchange_.confirmAwaiting(nullptr); }

bool HostPairing::confirmComparison(const std::optional<PairingCode>& shownCode) {
    return exchange_.confirmAwaiting(&shownCode);
}

void HostPairing::rejectComparison() { refuse(nullptr); }

bool HostPairing::rejectComparison(const std::optional<PairingCode>& shownCode) { return refuse(&shownCode); }

bool HostPairing::refuse(const std::optional<PairingCode>* shownCode) {
    std::lock_guard lock(attemptsMutex_);
    auto awaiting = std::find_if(attempts_.begin(), attempts_.end(), [](const Attempt& a) { return a.deciding && !a.decided; });
    if (awaiting != attempts_.end()) {
        // The exchange state is claimed under this lock, so it is the waiting attempt's.
        if (shownCode && !exchange_.isAwaiting(*shownCode)) return false;
        awaiting->rejected = true;
        return true;
    }
    if (shownCode) return false;
    for (Attempt& a : attempts_)
        if (!a.deciding) a.rejected = true;
    return true;
}

void HostPairing::cancelAll() {
    std::vector<std::shared_ptr<FrameChannel>> closing;
    {
        // Under the lock its wait takes decisions under: an exchange either has not taken the
        // host user's confirmation yet and takes this refusal instead, telling its
        // controller, or has taken it and its channel closes.
        std::lock_guard lock(attemptsMutex_);
        for (Attempt& a : attempts_) {
            if (a.deciding && !a.decided) {
                a.rejected = true;
                continue;
            }
            a.cancelled = a.givenWay = true;
            if (auto channel = a.channel.lock()) closing.push_back(channel);
        }
    }
    for (auto& channel : closing) channel->close();
}

HostPairing::Admission HostPairing::admit(FrameChannel& channel, const PairingMessage& first) {
    const auto* start = first.get<PairStart>();
    const auto* request = first.get<PairRequest>();
    Admission admission;
    std::optional<PairingLink> link;
    if (request) {
        try {
            link = linkForRequest(clock_->now());
            checkLinkRequest(*link, *request);
        } catch (const PairingError&) {
            // As its exchange would refuse it, but before it takes a place or anyone hears of it.
            try {
                postMessage(channel, PairCancel("QR pairing failed"));
            } catch (const PairingError&) {
            }
            const auto peer = channel.remoteEndpoint();
            offences_->note(peer ? peer->host : std::string(), SteadyClock::now());
            return admission;
        }
    }
    if (start) {
        try {
            validatePeerKeys(start->controllerSigningPub, start->controllerAgreementPub);
        } catch (const PairingError& e) {
            // Refused before it takes a place, as its exchange would refuse it.
            try {
                postMessage(channel, PairCancel("pairing failed"));
            } catch (const PairingError&) {
            }
            const auto peer = channel.remoteEndpoint();
            offences_->note(peer ? peer->host : std::string(), SteadyClock::now());
            admission.refusal = e;
            return admission;
        }
    }
    std::optional<std::uint64_t> id;
    {
        std::lock_guard lock(attemptsMutex_);
        // Nothing is asked while another exchange has the host user's attention.
        if (!exchange_.isBusy()) id = admitLocked(channel, false, admission.givesWay);
        if (id) find(*id)->link = link;
    }
    if (admission.givesWay) admission.givesWay->close();
    if (!id) {
        admission.refusal = PairingError(PairingError::Kind::alreadyInProgress);
        return admission;
    }
    // Spent once it has its place, before the host user is asked, as its exchange would.
    if (link) spend(*link);
    // The commitment is the host's first step; a QR request has said all it needs to.
    if (start) {
        Bytes hostNonce = crypto::randomBytes(kPairingNonceSize);
        const Bytes commit = commitDigest(DeviceIdentity::fingerprint(start->controllerSigningPub, start->controllerAgreementPub),
                                          identity_.fingerprint(), hostNonce);
        const auto sentAt = SteadyClock::now();
        // What came before the commitment is no answer to it.
        const std::size_t framesBefore = std::max<std::size_t>(1, channel.bufferedFrameCount());
        bool sent = true;
        try {
            // Not waited for: the thread that admits goes on to the next stranger.
            postMessage(channel, PairCommit(identity_.signingPublicKey(), identity_.agreementPublicKey(), hostName_, commit));
        } catch (const PairingError&) {
            sent = false;  // its peer is gone already: nobody to pair with, nothing to report
        }
        std::lock_guard lock(attemptsMutex_);
        auto it = find(*id);
        if (it == attempts_.end()) return admission;
        if (!sent) {
            attempts_.erase(it);
            return admission;
        }
        it->hostNonce = std::move(hostNonce);
        it->awaitingPeer = sentAt;
        it->framesBefore = framesBefore;  // the PairStart at least, not read yet
    }
    admission.admitted = true;
    return admission;
}

HostPairing::Progress HostPairing::progress(FrameChannel& channel, SteadyClock::time_point now) {
    std::shared_ptr<FrameChannel> silent;
    {
        std::lock_guard lock(attemptsMutex_);
        auto it = findAdmitted(channel);
        if (it == attempts_.end()) return Progress::over;
        if (it->givenWay) {
            attempts_.erase(it);
            return Progress::over;
        }
        // An ended channel carries no exchange to its end, whatever it brought before.
        const bool left = channel.ended();
        if (!left && (!it->awaitingPeer || standing(*it) == Standing::answered)) {
            // It owes nothing more before it runs: no limit of its own from here on.
            it->awaitingPeer.reset();
            it->answered = true;
            return Progress::runnable;
        }
        if (!left && now - *it->awaitingPeer < std::chrono::duration<double>(readLimitBeforeDecision())) return Progress::waiting;
        // It left (or sent what its channel does not take), or stayed silent while it owed an
        // answer.
        offences_->note(it->host, now);
        attempts_.erase(it);
        if (!left) silent = channel.shared_from_this();
    }
    if (silent) silent->close();
    return Progress::over;
}

std::optional<SteadyClock::time_point> HostPairing::nextLimit() {
    std::lock_guard lock(attemptsMutex_);
    std::optional<SteadyClock::time_point> next;
    const auto limit = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(readLimitBeforeDecision()));
    for (const Attempt& a : attempts_)
        if (!a.running && !a.givenWay && a.awaitingPeer && !a.channel.expired() && (!next || *a.awaitingPeer + limit < *next))
            next = *a.awaitingPeer + limit;
    return next;
}

PeerRecord HostPairing::acceptComparison(FrameChannel& channel) {
    return run(channel, "pairing failed", [&](std::uint64_t id) { return respondToComparison(channel, id); });
}

PeerRecord HostPairing::acceptLink(FrameChannel& channel, SystemTime now) {
    return run(channel, "QR pairing failed", [&](std::uint64_t id) { return respondToLink(channel, now, id); });
}

template <class Exchange>
PeerRecord HostPairing::run(FrameChannel& channel, const char* cancelReason, Exchange&& exchange) {
    const std::uint64_t id = enter(channel);
    // Nothing is sent while another exchange has the host user's attention.
    if (exchange_.isBusy()) {
        leave(id, false);
        fail(PairingError::Kind::alreadyInProgress);
    }
    try {
        PeerRecord record = exchange(id);
        leave(id, false);
        return record;
    } catch (const PairingError& e) {
        sendCancel(channel, cancelReason);
        // Refused for the host's own reasons (busy, its disk), or by its user: nothing its peer did.
        leave(id, e.kind != PairingError::Kind::alreadyInProgress && e.kind != PairingError::Kind::cancelled &&
                      e.kind != PairingError::Kind::storeFailure);
        throw;
    } catch (...) {
        sendCancel(channel, cancelReason);
        leave(id, true);
        throw;
    }
}

Standing HostPairing::standing(const Attempt& a) const {
    if (a.awaitingPeer) {
        // One more frame than when it was asked is the answer, read or not.
        const auto channel = a.channel.lock();
        return channel && channel->bufferedFrameCount() > a.framesBefore ? Standing::answered : Standing::owing;
    }
    return a.answered ? Standing::answered : Standing::unasked;
}

std::optional<std::uint64_t> HostPairing::admitLocked(FrameChannel& channel, bool running,
                                                       std::shared_ptr<FrameChannel>& givesWay) {
    const auto now = SteadyClock::now();
    // Admitted exchanges whose channel went before they ran hold nothing.
    std::erase_if(attempts_, [](const Attempt& a) { return !a.running && a.channel.expired(); });
    const auto peer = channel.remoteEndpoint();
    std::string host = peer ? peer->host : std::string();
    auto early = [](const Attempt& a) { return !a.deciding && !a.givenWay; };
    if (static_cast<std::size_t>(std::count_if(attempts_.begin(), attempts_.end(), early)) >= maxBeforeDecision) {
        places_.clear();
        std::vector<Attempt*> held;
        for (Attempt& a : attempts_)
            if (early(a)) {
                held.push_back(&a);
                places_.push_back({standing(a), a.host, a.awaitingPeer.value_or(a.admitted)});
            }
        const auto freed = rule_.placeToFree(places_, {Standing::unasked, host, now}, now);
        if (!freed) return std::nullopt;
        held[*freed]->givenWay = true;
        givesWay = held[*freed]->channel.lock();
    }
    Attempt attempt{++lastAttempt_, channel.weak_from_this(), std::move(host), now};
    attempt.running = running;
    attempts_.push_back(std::move(attempt));
    return attempts_.back().id;
}

std::uint64_t HostPairing::enter(FrameChannel& channel) {
    std::shared_ptr<FrameChannel> givesWay;
    std::optional<std::uint64_t> id;
    {
        std::lock_guard lock(attemptsMutex_);
        if (auto admitted = findAdmitted(channel); admitted != attempts_.end()) {
            admitted->running = true;
            id = admitted->id;
        } else {
            id = admitLocked(channel, true, givesWay);
        }
    }
    if (givesWay) givesWay->close();
    if (!id) fail(PairingError::Kind::alreadyInProgress);
    return *id;
}

void HostPairing::leave(std::uint64_t id, bool offended) {
    std::lock_guard lock(attemptsMutex_);
    auto it = find(id);
    if (it == attempts_.end()) return;
    if (it->deciding) exchange_.release();
    // Also after the host user was asked: what its peer sends then counts the same.
    if (offended && !it->givenWay)  // one that gave way was judged then
        offences_->note(it->host, SteadyClock::now());
    attempts_.erase(it);
}

std::vector<HostPairing::Attempt>::iterator HostPairing::findAdmitted(const FrameChannel& channel) {
    const std::weak_ptr<const FrameChannel> weak = channel.weak_from_this();
    return std::find_if(attempts_.begin(), attempts_.end(), [&](const Attempt& a) {
        return !a.running && !a.channel.owner_before(weak) && !weak.owner_before(a.channel);
    });
}

std::vector<HostPairing::Attempt>::iterator HostPairing::find(std::uint64_t id) {
    return std::find_if(attempts_.begin(), attempts_.end(), [&](const Attempt& a) { return a.id == id; });
}

void HostPairing::owe(std::uint64_t attempt, std::optional<SteadyClock::time_point> since, std::size_t framesBefore) {
    std::lock_guard lock(attemptsMutex_);
    if (auto it = find(attempt); it != attempts_.end()) {
        it->awaitingPeer = since;
        it->framesBefore = framesBefore;
        it->answered = it->answered || !since;
    }
}

double HostPairing::readLimitBeforeDecision() const { return std::min(readLimit_, beforeDecisionLimit); }

bool HostPairing::decide(FrameChannel& channel, std::uint64_t id, std::optional<PairingCode> code, std::string name) {
    {
        std::lock_guard lock(attemptsMutex_);
        auto it = find(id);
        if (it->givenWay) fail(PairingError::Kind::connectionClosed);
        exchange_.claimDecision(code, std::move(name));
        it->deciding = true;
    }
    const Deadline deadline = Deadline::after(decisionLimit_);
    while (true) {
        {
            // The refusals (rejectComparison, cancelAll) are given under this lock too.
            std::lock_guard lock(attemptsMutex_);
            auto it = find(id);
            if (it->rejected) return false;
            if (auto decided = exchange_.takeDecision()) {
                it->decided = *decided;
                return *decided;
            }
        }
        // Its controller hears the same as for a refusal; the host user hears why.
        if (deadline.expired()) throw PairingError::decisionLapsed(decisionLimit_);
        // Only a PairCancel may come while the host user decides; anything else ends it.
        if (auto frame = pollForFrame(channel)) {
            decodePairingMessage(*frame);
            throw PairingError::unexpectedMessage("PairCancel", "other");
        }
    }
}

PeerRecord HostPairing::saveController(const Bytes& fingerprint, const Bytes& signingKey, const Bytes& agreementKey,
                                       const std::string& name) {
    PeerRecord record{fingerprint, signingKey, agreementKey, name, "", secondsSince2001(clock_->now()),
                      PeerPermissions::defaults()};
    savePairedPeer(*peerStore_, record);
    return record;
}

PeerRecord HostPairing::respondToComparison(FrameChannel& channel, std::uint64_t attempt) {
    auto first = receiveMessage(channel, readLimitBeforeDecision());
    const auto* startPtr = first.get<PairStart>();
    if (!startPtr) throw PairingError::unexpectedMessage("PairStart", "other");
    const PairStart start = *startPtr;
    validatePeerKeys(start.controllerSigningPub, start.controllerAgreementPub);
    const Bytes controllerFingerprint =
        DeviceIdentity::fingerprint(start.controllerSigningPub, start.controllerAgreementPub);

    // Sent at the admission already, or now.
    std::optional<Bytes> committed;
    {
        std::lock_guard lock(attemptsMutex_);
        if (auto it = find(attempt); it != attempts_.end()) committed = it->hostNonce;
    }
    const Bytes hostNonce = committed ? *committed : crypto::randomBytes(kPairingNonceSize);
    if (committed) {
        std::lock_guard lock(attemptsMutex_);
        if (auto it = find(attempt); it != attempts_.end()) it->framesBefore = 0;  // the PairStart is read now
    } else {
        const Bytes commit = commitDigest(controllerFingerprint, identity_.fingerprint(), hostNonce);
        sendMessage(channel, PairCommit(identity_.signingPublicKey(), identity_.agreementPublicKey(), hostName_, commit));
        owe(attempt, SteadyClock::now(), 0);
    }

    auto second = receiveMessage(channel, readLimitBeforeDecision());
    owe(attempt, std::nullopt, 0);
    const auto* nonce = second.get<PairNonce>();
    if (!nonce) throw PairingError::unexpectedMessage("PairNonce", "other");
    // Checked before the reveal, so the host nonce never goes out for a malformed exchange.
    if (nonce->nonce.size() != kPairingNonceSize) fail(PairingError::Kind::invalidKeyMaterial);
    const Bytes controllerNonce = nonce->nonce;
    sendMessage(channel, PairReveal(hostNonce));

    const PairingCode code(comparisonCodeValue(controllerFingerprint, identity_.fingerprint(), controllerNonce, hostNonce));
    if (!decide(channel, attempt, code, start.controllerName)) fail(PairingError::Kind::cancelled);
    exchange_.confirmed();

    const Bytes transcript =
        pairAcceptTranscript(controllerFingerprint, identity_.fingerprint(), controllerNonce, hostNonce);
    const Bytes signature = identity_.sign(transcript);
    sendMessage(channel, PairAccept(PeerPermissions::defaults(), hostNonce, signature, identity_.signingPublicKey(),
                                    identity_.agreementPublicKey()));

    auto third = receiveMessage(channel, readLimit_);
    const auto* confirm = third.get<PairConfirm>();
    if (!confirm) throw PairingError::unexpectedMessage("PairConfirm", "other");
    if (!DeviceIdentity::verify(confirm->signature, transcript, start.controllerSigningPub))
        fail(PairingError::Kind::invalidSignature);

    return saveController(controllerFingerprint, start.controllerSigningPub, start.controllerAgreementPub,
                          start.controllerName);
}

PeerRecord HostPairing::respondToLink(FrameChannel& channel, SystemTime now, std::uint64_t attempt) {
    // Checked at the admission already, or taken now, before the request is read.
    std::optional<PairingLink> admitted;
    {
        std::lock_guard lock(attemptsMutex_);
        if (auto it = find(attempt); it != attempts_.end()) admitted = it->link;
    }
    const PairingLink link = admitted ? *admitted : linkForRequest(now);

    auto first = receiveMessage(channel, readLimitBeforeDecision());
    const auto* requestPtr = first.get<PairRequest>();
    if (!requestPtr) throw PairingError::unexpectedMessage("PairRequest", "other");
    const PairRequest request = *requestPtr;
    // One admitted was checked then, on this same frame.
    const Bytes controllerFingerprint =
        admitted ? DeviceIdentity::fingerprint(request.controllerSigningPub, request.controllerAgreementPub)
                 : checkLinkRequest(link, request);
    owe(attempt, std::nullopt, 0);  // its request checked out
    // Spent before the host user is asked.
    spend(link);

    // No code: the host service tells a QR request by its absence.
    if (!decide(channel, attempt, std::nullopt, request.controllerName)) fail(PairingError::Kind::cancelled);
    exchange_.confirmed();

    // The host nonce exists only once the host user approved.
    const Bytes hostNonce = crypto::randomBytes(kPairingNonceSize);
    const Bytes transcript =
        pairAcceptTranscript(controllerFingerprint, identity_.fingerprint(), request.nonce, hostNonce);
    const Bytes signature = identity_.sign(transcript);
    sendMessage(channel, PairAccept(PeerPermissions::defaults(), hostNonce, signature, identity_.signingPublicKey(),
                                    identity_.agreementPublicKey()));

    auto last = receiveMessage(channel, readLimit_);
    const auto* confirm = last.get<PairConfirm>();
    if (!confirm || !DeviceIdentity::verify(confirm->signature, transcript, request.controllerSigningPub))
        fail(PairingError::Kind::invalidSignature);

    return saveController(controllerFingerprint, request.controllerSigningPub, request.controllerAgreementPub,
                          request.controllerName);
}

PairingLink HostPairing::linkForRequest(SystemTime now) {
    std::optional<PairingLink> current;
    {
        std::lock_guard lock(linkMutex_);
        if (!currentPairingLink_)
            fail(secretBurned_ ? PairingError::Kind::burnedSecret : PairingError::Kind::noActiveSecret);
        if (currentPairingLink_->isExpired(now)) {
            currentPairingLink_.reset();
            secretBurned_ = false;
            fail(PairingError::Kind::expiredSecret);
        }
        current = currentPairingLink_;
    }
    const PairingLink& link = *current;
    if (link.version != 0 || !constantTimeEquals(link.fingerprint, identity_.fingerprint()))
        fail(PairingError::Kind::invalidLink);
    std::optional<DeviceID> derived;
    try {
        derived = DeviceID::fromFingerprint(link.fingerprint);
    } catch (const std::exception&) {
        fail(PairingError::Kind::invalidLink);
    }
    if (!(*derived == link.deviceID)) fail(PairingError::Kind::invalidLink);
    return link;
}

Bytes HostPairing::checkLinkRequest(const PairingLink& link, const PairRequest& request) const {
    validatePeerKeys(request.controllerSigningPub, request.controllerAgreementPub);
    if (request.nonce.size() != kPairingNonceSize) fail(PairingError::Kind::invalidKeyMaterial);
    Bytes controllerFingerprint = DeviceIdentity::fingerprint(request.controllerSigningPub, request.controllerAgreementPub);
    const Bytes expectedMAC = crypto::hmacSha256(
        link.secret, pairRequestTranscript(controllerFingerprint, identity_.fingerprint(), request.nonce));
    if (!constantTimeEquals(expectedMAC, request.mac)) fail(PairingError::Kind::invalidMAC);
    return controllerFingerprint;
}

void HostPairing::spend(const PairingLink& link) {
    std::lock_guard lock(linkMutex_);
    if (currentPairingLink_ && *currentPairingLink_ == link) {
        currentPairingLink_.reset();
        secretBurned_ = true;
    }
}

}  // namespace quill
