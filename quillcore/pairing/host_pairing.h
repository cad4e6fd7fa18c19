#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quillcore/base/clock.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/pairing/pairing_error.h"
#include "quillcore/pairing/pairing_helpers.h"
#include "quillcore/pairing/pairing_link.h"
#include "quillcore/transport/admission_rule.h"
#include "quillcore/transport/frame_channel.h"
#include "quillcore/transport/offence_record.h"

namespace quill {

// The host's single pairing point: it owns the current pairing link, records the host user's
// decision and lets at most one exchange wait for that decision at a time. Exchanges run their
// first steps side by side: a peer that stalls before the host user is asked holds nothing
// another controller needs, and gives way within seconds and to any newcomer. Thread-safe:
// each exchange runs on its caller's thread and takes locks only between its reads and sends,
// so the getters, the decision and issueLink can be called from any thread while it waits.
class HostPairing {
public:
    // How long a read from the controller may take after the host user decided. It bounds how
    // long the controller's user has to confirm after the host user did.
    static constexpr double defaultReadLimit = 60.0;
    // A real controller answers at once before the host user is asked, so reads there get at
    // most this long (or the read limit, when it is shorter).
    static constexpr double beforeDecisionLimit = 5.0;
    // How long the host user has to decide.
    static constexpr double defaultDecisionLimit = 120.0;
    // Exchanges that may be under way before the decision at once (admitted ones included).
    // Admitted ones that wait for their peer cost a connection and no thread, so there is room
    // for more than a staller is likely to hold open: a real controller that answers at once is
    // then never closed for them. When every place is taken, AdmissionRule picks who gives
    // way: one whose peer owes an answer and is silent, the longest silent first, before one
    // not asked anything yet, and never one that answered for either; offences of an address
    // (an exchange that ended for what its peer did or failed to do) only demote it among
    // equals. Giving way is no offence.
    static constexpr std::size_t maxBeforeDecision = 128;

    // What an exchange's channel takes from its peer: frames the size of a pairing message, and
    // unread no more than its next step needs (its opener and the answer); beyond either, the
    // channel ends and the exchange with it, which counts against the peer's address.
    static FrameChannelLimits channelLimits();

    // `offences`: the record of misbehaving addresses, shared with the rest of what takes in
    // strangers (a record of its own when none).
    HostPairing(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore, std::string hostName,
                double readLimit = defaultReadLimit, std::shared_ptr<WallClock> clock = WallClock::system(),
                double decisionLimit = defaultDecisionLimit, std::shared_ptr<OffenceRecord> offences = nullptr);

    std::optional<PairingCode> comparisonCode() const;
    bool isAwaitingConfirmation() const;
    // Both of the above from one moment of the exchange.
    ComparisonState comparisonState() const;
    std::optional<PairingLink> activeLink() const;
    // The record of misbehaving addresses it notes in.
    const std::shared_ptr<OffenceRecord>& offences() const { return offences_; }

    // A new link with a fresh secret replaces any link; a running exchange is not affected.
    PairingLink issueLink(std::vector<std::string> endpoints, SystemTime now);
    // The current link while it is younger than the lifetime, else a new one.
    PairingLink currentOrNewLink(std::vector<std::string> endpoints, SystemTime now);

    // A confirmation counts only while an exchange waits for the host user; one given earlier
    // is dropped.
    void confirmComparison();
    // The same, and only when `shownCode` is the code of the waiting exchange (none for a QR
    // request). Returns whether the confirmation was recorded.
    bool confirmComparison(const std::optional<PairingCode>& shownCode);
    // Refuses the exchange that waits for the host user, and only that one: the others go on.
    // Given while none waits, it is kept for the exchanges running then, and their waits take
    // it.
    void rejectComparison();
    // The same for the waiting exchange only, and only when `shownCode` is its code (none for a
    // QR request): a refusal meant for an exchange that has ended refuses nothing. Returns
    // whether the refusal was recorded.
    bool rejectComparison(const std::optional<PairingCode>& shownCode);
    // Ends every exchange, admitted ones included, whatever it is doing: the one waiting for
    // the host user is rejected and tells its controller, the others' channels are closed.
    void cancelAll();

    struct Admission {
        bool admitted = false;
        std::shared_ptr<FrameChannel> givesWay;  // closed, for this one
        std::optional<PairingError> refusal;     // why it was refused, for the host user
    };
    // Takes an exchange that will run on `channel`, whose first frame is `first` (a PairStart
    // or a PairRequest), into the places before the decision now, before it runs, and makes
    // room for it. A comparison's commitment goes out at once: from then on its peer owes the
    // answer, and the exchange need not run until progress() says it answered. Refused, for
    // the caller to close its channel: one that comes while another has the host user's
    // attention or finds no place (alreadyInProgress, nothing sent, as acceptComparison()
    // refuses it), one whose keys are no keys (after a PairCancel; an offence), and one whose
    // peer is gone already (nothing to report). A QR request is checked here as acceptLink()
    // checks it (current link, keys, MAC) and spends the link; one that fails gets a PairCancel
    // and is an offence, with no refusal to report: the host user's screen never hears of it.
    Admission admit(FrameChannel& channel, const PairingMessage& first);

    enum class Progress { waiting, runnable, over };
    // What became of the exchange admitted on `channel` and not run yet: it waits for its peer;
    // it may run now without waiting (its peer answered, or owes nothing); or it is over (gave
    // way, or its channel ended, or its peer stayed silent past the limit before the decision:
    // its channel is then closed here; all but giving way are offences).
    Progress progress(FrameChannel& channel, SteadyClock::time_point now);
    // When progress() next finds an admitted exchange's silence too long, if one waits.
    std::optional<SteadyClock::time_point> nextLimit();

    // Run the numeric comparison or the QR-link exchange on a channel whose next frame is the
    // controller's PairStart or PairRequest, and return the saved record. Throw PairingError
    // (alreadyInProgress at once while another exchange waits for or got the host user's
    // decision; cancelled when the host user rejects or lets the decision limit pass), a
    // channel error raised while waiting for the host user, or a signing failure, after sending
    // the controller a PairCancel. The channel stays open; closing it is the caller's business.
    PeerRecord acceptComparison(FrameChannel& channel);
    PeerRecord acceptLink(FrameChannel& channel, SystemTime now);

private:
    // One exchange, from its admission (or its start) to its end.
    struct Attempt {
        std::uint64_t id = 0;
        std::weak_ptr<FrameChannel> channel;
        std::string host;
        SteadyClock::time_point admitted;
        // Since when its peer owes an answer, while it does, and how many frames the channel
        // held then: one more is the answer, read or not.
        std::optional<SteadyClock::time_point> awaitingPeer = {};
        std::size_t framesBefore = 0;
        bool answered = false;  // its peer answered what it owed
        // The commitment sent at the admission: the host nonce it hides.
        std::optional<Bytes> hostNonce = {};
        bool running = false;   // its exchange entered
        bool deciding = false;  // holds the exchange state
        bool decided = false;   // took the host user's confirmation
        bool rejected = false;  // the host user's refusal, for its wait to take
        bool givenWay = false;  // its channel was closed, for a newcomer or by cancelAll
        bool cancelled = false; // by cancelAll: no offence of its peer
        // The link its QR request was checked against and spent at its admission.
        std::optional<PairingLink> link = {};
    };
    template <class Exchange>
    PeerRecord run(FrameChannel& channel, const char* cancelReason, Exchange&& exchange);
    // With attemptsMutex_ held: registers an exchange (its id; none when it finds no place),
    // marking one that must give way (its channel returned, for the caller to close).
    std::optional<std::uint64_t> admitLocked(FrameChannel& channel, bool running, std::shared_ptr<FrameChannel>& givesWay);
    // With attemptsMutex_ held.
    Standing standing(const Attempt& attempt) const;
    std::uint64_t enter(FrameChannel& channel);
    // `offended`: it ended for something its peer did (or failed to do).
    void leave(std::uint64_t id, bool offended);
    // With attemptsMutex_ held.
    std::vector<Attempt>::iterator find(std::uint64_t id);
    // With attemptsMutex_ held: the exchange admitted on `channel` and not run yet.
    std::vector<Attempt>::iterator findAdmitted(const FrameChannel& channel);
    // The peer of `attempt` owes an answer from `since` on (none: it answered, or its request
    // checked out).
    void owe(std::uint64_t attempt, std::optional<SteadyClock::time_point> since, std::size_t framesBefore);
    double readLimitBeforeDecision() const;
    PeerRecord respondToComparison(FrameChannel& channel, std::uint64_t attempt);
    PeerRecord respondToLink(FrameChannel& channel, SystemTime now, std::uint64_t attempt);
    // The link a QR request is checked against: the current one, unexpired (an expired one is
    // dropped) and this host's own. Throws PairingError.
    PairingLink linkForRequest(SystemTime now);
    // The checks of a QR request against `link`: key material, nonce, MAC. Returns the
    // controller's fingerprint; throws PairingError.
    Bytes checkLinkRequest(const PairingLink& link, const PairRequest& request) const;
    // Spends `link` if it is still current: a link issued after it was taken stays usable.
    void spend(const PairingLink& link);
    // The host user's refusal, of the exchange showing `*shownCode` only when it is given.
    bool refuse(const std::optional<PairingCode>* shownCode);
    // Takes the exchange state and waits for the host user: true for confirm, false for reject;
    // throws PairingError::decisionLapsed when the decision limit passes first.
    bool decide(FrameChannel& channel, std::uint64_t attempt, std::optional<PairingCode> code, std::string name);
    PeerRecord saveController(const Bytes& fingerprint, const Bytes& signingKey, const Bytes& agreementKey,
                              const std::string& name);
    // With linkMutex_ held.
    PairingLink issueLinkLocked(std::vector<std::string> endpoints, SystemTime now);

    const DeviceIdentity identity_;
    const std::shared_ptr<PeerStore> peerStore_;
    const std::string hostName_;
    const double readLimit_;
    const std::shared_ptr<WallClock> clock_;
    const double decisionLimit_;
    const std::shared_ptr<OffenceRecord> offences_;

    PairingExchangeState exchange_;

    std::mutex attemptsMutex_;
    AdmissionRule rule_;
    std::vector<Place> places_;  // room to judge who gives way in
    std::vector<Attempt> attempts_;
    std::uint64_t lastAttempt_ = 0;

    mutable std::mutex linkMutex_;
    std::optional<PairingLink> currentPairingLink_;
    bool secretBurned_ = false;
};

}  // namespace quill
