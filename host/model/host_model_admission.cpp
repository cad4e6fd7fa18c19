// Session admission: who may have a session now, and with which settings.
#include <QPointer>
#include <algorithm>
#include <exception>

#include "host/model/host_model.h"
#include "host/model/host_model_internal.h"
#include "host/runtime/runtime.h"
#include "quillcore/base/base64.h"
#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/transport/envelope_link.h"

namespace quill::host {

using detail::qs;

namespace {

const char* const kBusy = "The host is already handling another session";
const char* const kNoScreenRecording = "Screen Recording permission has not been granted on the host";
const char* const kNoAccessibility = "Accessibility permission has not been granted on the host";
const char* const kViewRevoked = "View permission has been revoked for this controller";
const char* const kDeclined = "The local host user declined the session";

}  // namespace

bool HostModel::permissionsAllow(const PeerRecord& record, bool screen, bool accessibility, std::string* reason) {
    if (!screen) *reason = kNoScreenRecording;
    else if (!accessibility) *reason = kNoAccessibility;
    else if (!record.permissions.view) *reason = kViewRevoked;
    else return true;
    return false;
}

QCoro::Task<> HostModel::closeSession(std::shared_ptr<HostSession> session, std::string reason) {
    if (!session) co_return;
    if (!isClosingFromHost(session)) hostClosing_.push_back(session);
    co_await onWorker([](std::shared_ptr<HostSession> s, std::string r) { s->close(r); }, session, reason);
}

namespace detail {

// What an admission holds, so a failure that leaves it can be undone.
struct AdmissionState {
    // This request set isSessionReserved and has not cleared it nor handed it to an active session.
    bool holdsReservation = false;
    std::shared_ptr<HostSession> session;
    bool admitted = false;
    QString fingerprint;  // of the controller that asked
};

}  // namespace detail

QCoro::Task<> HostModel::handleSessionRequest(FrameChannelPtr channel, OpenedEnvelope offer, QString remoteAddress) {
    QPointer<HostModel> self(this);
    auto state = std::make_shared<detail::AdmissionState>();
    std::exception_ptr failure;
    QString problem;
    try {
        co_await admitSessionRequest(channel, std::move(offer), remoteAddress, state);
    } catch (...) {
        failure = std::current_exception();
        problem = describeCurrentException();
    }
    if (!failure) co_return;
    // A reservation left set by a failed admission would refuse every later request as busy.
    if (self && state->admitted && state->session && activeSession_ == state->session) {
        try {
            co_await finishSession(state->session, QStringLiteral("Session failed: ") + problem);
        } catch (...) {
        }
    } else if (self && state->holdsReservation) {
        setIsSessionReserved(false);
        channel->close();
        if (state->session) {
            try {
                co_await closeSession(state->session, "session ended by the host user");
            } catch (...) {
            }
        }
    }
    std::rethrow_exception(failure);
}

QCoro::Task<> HostModel::admitSessionRequest(FrameChannelPtr channel, OpenedEnvelope opened, QString remoteAddress,
                                             std::shared_ptr<detail::AdmissionState> state) {
    QPointer<HostModel> self(this);
    // 1. Without an identity nothing can be answered.
    if (!identity_ || quitting_) {
        channel->close();
        co_return;
    }
    const DeviceIdentity identity = *identity_;
    const auto store = env_.peerStore;
    auto release = [this, state] {
        state->holdsReservation = false;
        setIsSessionReserved(false);
    };

    // 2-3. An offer, opened by the model's one receiver when it arrived. The session and the
    // reject link open it again through receivers of their own.
    const Offer* offerPtr = opened.message.get<Offer>();
    const std::string sessionID = offerPtr->sessionID();
    const SessionMode requestedMode = offerPtr->mode();
    const PeerRecord openedRecord = opened.sender;
    const QString fingerprintText = qs(Base64URL::encode(openedRecord.fingerprint));

    // 4. A new connection from the active controller replaces its session. One from a controller
    // whose session is still being set up waits for that setup to end: it may have given it up (a
    // bye, a hang-up) and be back before the host has seen it go. Either waits for the same
    // controller's hold on the reservation to go, a bounded time.
    bool replacing = false;
    if (isSessionReserved_ && activeSession_ && activePeerFingerprint_ && *activePeerFingerprint_ == fingerprintText) {
        co_await closeSession(activeSession_, "Replaced by a new connection from the same controller");
        if (!self) co_return;
        replacing = true;
    }
    auto sameControllerHolds = [&] {
        const auto setup = reservedBy_.lock();
        return isSessionReserved_ &&
               (replacing || (setup && setup->holdsReservation && setup->fingerprint == fingerprintText));
    };
    for (int poll = 0; poll < env_.timing.replacementPolls && sameControllerHolds(); ++poll) {
        co_await sleepFor(env_.timing.replacementPoll);
        if (!self) co_return;
    }

    // 5-6. Test and set, with no suspension between.
    if (isSessionReserved_) {
        co_await sendReject(channel, sessionID, kBusy);
        co_return;
    }
    setIsSessionReserved(true);
    state->holdsReservation = true;
    state->fingerprint = fingerprintText;
    reservedBy_ = state;

    // 7. The host's permissions and the controller's view permission.
    std::string reason;
    if (!permissionsAllow(openedRecord, screenRecordingGranted_, accessibilityGranted_, &reason)) {
        release();
        co_await sendReject(channel, sessionID, reason);
        co_return;
    }

    // 8. The host user decides for a controller marked "Ask every time".
    bool approvedAsView = false;
    if (openedRecord.permissions.attendedOnly) {
        approvedAsView = requestedMode != SessionMode::control;
        const bool allowed = co_await askToAllowSession(openedRecord, requestedMode);
        if (!self) {
            channel->close();
            co_return;
        }
        if (!allowed) {
            release();
            co_await sendReject(channel, sessionID, kDeclined);
            co_return;
        }
    }

    // 9. The record as it is now: it may have changed while the prompt was open.
    std::optional<PeerRecord> current;
    try {
        current = store->peer(openedRecord.fingerprint);
    } catch (...) {
        current.reset();
    }
    if (!current) {
        release();
        channel->close();
        co_return;
    }

    // 10. The same checks on the current record.
    if (!permissionsAllow(*current, screenRecordingGranted_, accessibilityGranted_, &reason)) {
        release();
        co_await sendReject(channel, sessionID, reason);
        co_return;
    }

    // 11. The session itself.
    std::shared_ptr<HostSession> session;
    try {
        session = env_.makeSession(identity, store, makeSessionConfiguration());
        if (!session) throw std::runtime_error("no session was made");
        state->session = session;
        noteNegotiation(session);
    } catch (...) {
        release();
        setConnectionMessage(QStringLiteral("Could not create a session: ") + describeCurrentException());
        channel->close();
        co_return;
    }

    // 12. Offer, answer, connection.
    QString setupProblem;
    bool setupFailed = false;
    try {
        co_await onWorker([](std::shared_ptr<HostSession> s, FrameChannelPtr c) { s->run(c); }, session, channel);
    } catch (...) {
        setupFailed = true;
        setupProblem = describeCurrentException();
    }
    if (!self) {
        session->close("session ended by the host user");
        co_return;
    }
    if (setupFailed) {
        release();
        setConnectionMessage(QStringLiteral("Session setup failed: ") + setupProblem);
        co_return;
    }

    // 13. Connected: the situation may have changed during the negotiation.
    if (sharingPaused_) {
        release();
        co_await closeSession(session, "sharing was paused by the host user");
        co_return;
    }
    if (!screenRecordingGranted_ || !accessibilityGranted_) {
        release();
        co_await closeSession(session, screenRecordingGranted_ ? kNoAccessibility : kNoScreenRecording);
        co_return;
    }
    // A revoke or a view permission removed during the negotiation reached no active session:
    // the record is read once more before the session is admitted.
    std::optional<PeerRecord> latest;
    try {
        latest = store->peer(openedRecord.fingerprint);
    } catch (...) {
        latest.reset();
    }
    if (!latest || !latest->permissions.view) {
        release();
        co_await closeSession(session, kViewRevoked);
        co_return;
    }
    // The session took its permissions from the record as it was when it opened the offer; a
    // change since then (control switched off during the negotiation) reached no active
    // session either.
    const std::optional<PeerRecord> admittedWith = session->peer();
    if (!admittedWith || !(admittedWith->permissions == latest->permissions)) {
        release();
        co_await closeSession(session, "permissions changed by the host user");
        co_return;
    }
    current = latest;

    setActiveSession(session);
    setConnectionMessage(std::nullopt);
    // The host user allowed a view-only session: a later Hello from the controller does not
    // turn control on.
    approvedViewOnly_ = approvedAsView ? session : std::weak_ptr<HostSession>();
    // From here the reservation is the active session's; finishSession clears it.
    state->holdsReservation = false;
    state->admitted = true;
    setActivePeerName(qs(current->name));
    setActivePeerFingerprint(qs(Base64URL::encode(current->fingerprint)));
    setSessionStateText(QStringLiteral("Connected"));
    const SessionMode mode =
        requestedMode == SessionMode::control && current->permissions.control ? SessionMode::control : SessionMode::view;

    co_await beginSession(session, *current, mode, remoteAddress);
    if (!self) co_return;
    const QString endReason = co_await watchSession(session);
    if (!self) co_return;
    co_await finishSession(session, endReason);
}

QCoro::Task<> HostModel::sendReject(FrameChannelPtr channel, std::string sessionID, std::string reason) {
    QPointer<HostModel> self(this);
    if (!identity_) {
        channel->close();
        co_return;
    }
    auto link = std::make_shared<EnvelopeLink>(channel, *identity_, env_.peerStore, env_.clock);
    const double wait = env_.timing.rejectWait;
    QString problem;
    bool failed = false;
    try {
        // The link reads the offer again: the channel kept it for its next reader.
        co_await onWorker(
            [](std::shared_ptr<EnvelopeLink> l, double w, std::string id, std::string why) {
                std::optional<OpenedEnvelope> offer = l->next(w);
                if (!offer) return;
                l->send(SignallingMessage(Reject(id, why)), offer->sender);
            },
            link, wait, sessionID, reason);
    } catch (...) {
        failed = true;
        problem = describeCurrentException();
    }
    if (failed && self) setConnectionMessage(QStringLiteral("Could not send a session rejection: ") + problem);
    // Closing joins the link's reader, so it happens off the main thread.
    co_await onWorker([](std::shared_ptr<EnvelopeLink> l) { l->close(); }, link);
}

QCoro::Task<bool> HostModel::askToAllowSession(PeerRecord peer, SessionMode mode) {
    if (!env_.prompt) co_return false;
    const bool allowed = co_await env_.prompt->askToAllowSession(qs(peer.name), mode);
    co_return allowed;
}

SessionConfiguration HostModel::sessionConfigurationFor(std::optional<DisplaySize> mode) {
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    if (mode) {
        width = std::max<std::int64_t>(mode->width, 640);
        height = mode->height;
    }
    height = std::max<std::int64_t>(height, 480);
    const std::int64_t pixelsPerSecond = width * height * 60;
    const std::int64_t bitrate =
        pixelsPerSecond < 96'000'000 ? 12'000'000 : std::min<std::int64_t>(pixelsPerSecond / 8, 60'000'000);
    return SessionConfiguration({}, SessionMode::control, bitrate, 60, width, height, 10.0, 15.0, 20.0);
}

SessionConfiguration HostModel::makeSessionConfiguration() const {
    return sessionConfigurationFor(env_.displays ? env_.displays->mainDisplayMode() : std::nullopt);
}

}  // namespace quill::host
