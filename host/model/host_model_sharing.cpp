// Sharing on and off, the advertiser, the paired devices' permissions and the login item.
#include <QPointer>
#include <QUrl>

#include "host/model/host_model.h"
#include "host/model/host_model_internal.h"
#include "host/model/locale_dates.h"
#include "host/runtime/runtime.h"
#include "quillcore/base/base64.h"

namespace quill::host {

using detail::qs;

namespace {

const QString kDiscoveryProblem = QStringLiteral("Could not start LAN discovery: ");

bool isDiscoveryProblem(const std::optional<QString>& text) {
    return text && text->startsWith(kDiscoveryProblem);
}

}  // namespace

void HostModel::setSharingPaused(bool paused) {
    if (paused == sharingPaused_) return;
    setSharingPausedValue(paused);
    // A transition already running converges on the newest request when it ends.
    if (sharingTransition_) return;
    QPointer<HostModel> self(this);
    spawn(this, [self]() -> QCoro::Task<> {
        if (self) co_await self->settleSharing();
    });
}

QCoro::Task<> HostModel::settleSharing() {
    QPointer<HostModel> self(this);
    if (sharingTransition_) co_return;
    sharingTransition_ = true;
    bool applied = !sharingPaused_;
    while (self && applied != sharingPaused_) {
        const bool target = sharingPaused_;
        if (target)
            co_await pauseSteps();
        else
            co_await resumeSteps();
        applied = target;
    }
    if (self) sharingTransition_ = false;
}

QCoro::Task<> HostModel::pauseSteps() {
    QPointer<HostModel> self(this);
    co_await stopAdvertiser();
    if (!self) co_return;
    // No exchange goes on while paused: the one waiting for the host user is refused, the
    // others end.
    if (auto pairing = pairing_) pairing->cancelAll();
    if (auto session = activeSession_) co_await closeSession(session, "sharing paused by the host user");
}

QCoro::Task<> HostModel::resumeSteps() {
    // What went wrong with a connection before the pause is over.
    setConnectionMessage(std::nullopt);
    co_await startAdvertiser();
}

QCoro::Task<> HostModel::stopAdvertiser() {
    QPointer<HostModel> self(this);
    auto advertiser = advertiser_;
    if (!advertiser) {
        setAdvertiserReady(false);
        co_return;
    }
    co_await onWorker(&HostAdvertiser::stop, advertiser);
    if (!self) co_return;
    setAdvertiser(nullptr);
    setListenerPort(std::nullopt);
    setAdvertiserReady(false);
}

QCoro::Task<> HostModel::startAdvertiser() {
    QPointer<HostModel> self(this);
    if (sharingPaused_ || isStartingAdvertiser_ || advertiser_ || !identity_) co_return;
    setIsStartingAdvertiser(true);
    std::shared_ptr<HostAdvertiser> advertiser;
    std::optional<std::uint16_t> port;
    QString problem;
    try {
        advertiser = env_.makeAdvertiser(env_.hostName.toStdString(), identity_->fingerprint(), connectionHandler());
        port = co_await onWorker(&HostAdvertiser::start, advertiser);
    } catch (...) {
        problem = describeCurrentException();
    }
    if (!self) {
        if (advertiser) advertiser->stop();
        co_return;
    }
    bool discarded = false;
    if (port) {
        if (sharingPaused_) {
            discarded = true;
            co_await onWorker(&HostAdvertiser::stop, advertiser);
        } else {
            setAdvertiser(advertiser);
            setListenerPort(*port);
            setAdvertiserReady(true);
            // Only a discovery failure is over now; another failure still stands.
            if (isDiscoveryProblem(startupError_)) setStartupError(std::nullopt);
        }
    } else {
        setAdvertiser(nullptr);
        setAdvertiserReady(false);
        setStartupError(kDiscoveryProblem + problem);
    }
    if (!self) co_return;
    setIsStartingAdvertiser(false);
    // A resume that came while the discarded advertiser was stopping found this start still in
    // progress and started nothing: start the one it asked for now.
    if (discarded && !sharingPaused_ && !advertiser_) co_await startAdvertiser();
}

void HostModel::showPublicationProblem() {
    auto advertiser = advertiser_;
    if (!advertiser) return;
    // The listener may be up while the service is not published (no DNS-SD daemon): the host
    // is then unreachable by discovery, which the menu must say. Another failure on show stays.
    if (auto problem = advertiser->publicationProblem()) {
        if (!startupError_ || isDiscoveryProblem(startupError_))
            setStartupError(kDiscoveryProblem + qs(problem->description()));
    } else if (isDiscoveryProblem(startupError_)) {
        setStartupError(std::nullopt);
    }
}

void HostModel::setLaunchAtLogin(bool enabled) {
    if (!env_.loginItem) return;
    try {
        env_.loginItem->setEnabled(enabled);
        setSettingsMessage(enabled ? QStringLiteral("Open at login enabled.") : QStringLiteral("Open at login disabled."));
    } catch (...) {
        setSettingsMessage(QStringLiteral("Could not update Open at login: ") + describeCurrentException());
    }
    setLaunchAtLoginValue(env_.loginItem->isEnabled());
}

void HostModel::setPermission(PermissionFlag flag, bool enabled, PeerRecord record) {
    switch (flag) {
        case PermissionFlag::view: record.permissions.view = enabled; break;
        case PermissionFlag::control: record.permissions.control = enabled; break;
        case PermissionFlag::clipboard: record.permissions.clipboard = enabled; break;
        case PermissionFlag::files: record.permissions.files = enabled; break;
        case PermissionFlag::attendedOnly: record.permissions.attendedOnly = enabled; break;
    }
    try {
        env_.peerStore->save(record);
    } catch (...) {
        setStartupError(QStringLiteral("Could not update permissions: ") + describeCurrentException());
        return;
    }
    refreshPeers();
    closeSessionOf(record, "permissions changed by the host user");
}

void HostModel::revoke(PeerRecord record) {
    try {
        env_.peerStore->remove(record.fingerprint);
    } catch (...) {
        setStartupError(QStringLiteral("Could not revoke ") + qs(record.name) + QStringLiteral(": ") +
                        describeCurrentException());
        return;
    }
    refreshPeers();
    closeSessionOf(record, "controller revoked by the host user");
}

void HostModel::closeSessionOf(const PeerRecord& record, std::string reason) {
    if (!activePeerFingerprint_ || *activePeerFingerprint_ != qs(Base64URL::encode(record.fingerprint))) return;
    // The session of this controller, not whichever is active when the task runs.
    std::weak_ptr<HostSession> session = activeSession_;
    QPointer<HostModel> self(this);
    spawn(this, [self, session, reason]() -> QCoro::Task<> {
        auto s = session.lock();
        if (!self || !s || self->activeSession() != s) co_return;
        co_await self->closeSession(s, reason);
    });
}

QString HostModel::lastSeenText(const PeerRecord& record) const {
    const QString key = qs(Base64URL::encode(record.fingerprint));
    for (const auto& entry : activityEntries_) {
        if (detail::activityFingerprint(entry) != key) continue;
        if (isActivityRunning(entry)) return QStringLiteral("Active now");
        return abbreviatedDateAndShortTime(detail::activityStartedAt(entry));
    }
    return QStringLiteral("Never");
}

void HostModel::openURL(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) return;
    if (env_.workspace) env_.workspace->openURL(text);
}

}  // namespace quill::host
