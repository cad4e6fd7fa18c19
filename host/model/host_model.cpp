#include "host/model/host_model.h"

#include <QPointer>
#include <algorithm>
#include <unistd.h>

#include "host/model/host_model_internal.h"
#include "host/runtime/runtime.h"
#include "quillcore/base/error.h"
#include "quillcore/envelope/envelope_receiver.h"

namespace quill::host {

using detail::qs;

QString describeError(const std::exception& error) {
    if (const auto* e = dynamic_cast<const quill::Error*>(&error)) return qs(e->description());
    return QString::fromUtf8(error.what());
}

QString describeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return describeError(e);
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

namespace {

QString fallbackHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0]) return QString::fromLocal8Bit(name);
    return QStringLiteral("Quillmate Host");
}

}  // namespace

HostModel::HostModel(HostEnvironment environment, QObject* parent)
    : QObject(parent), env_(std::move(environment)), alive_(std::make_shared<HostModel*>(this)) {
    if (env_.hostName.isEmpty()) env_.hostName = fallbackHostName();
    if (!env_.makeSession) {
        env_.makeSession = [](DeviceIdentity identity, std::shared_ptr<PeerStore> store, SessionConfiguration config) {
            return HostSession::make(std::move(identity), std::move(store), std::move(config));
        };
    }
    if (!env_.makeAdvertiser) {
        env_.makeAdvertiser = [](std::string name, Bytes fingerprint, HostAdvertiser::ConnectionHandler handler) {
            return std::make_shared<HostAdvertiser>(std::move(name), std::move(fingerprint), std::move(handler));
        };
    }
    if (!env_.clock) env_.clock = WallClock::system();
    cursorBroadcaster_ = std::make_unique<CursorBroadcaster>(env_.cursorSource, env_.displays, env_.timing.cursorPeriod);

    if (env_.permissions) {
        screenRecordingGranted_ = env_.permissions->screenRecordingGranted();
        accessibilityGranted_ = env_.permissions->accessibilityGranted();
    }
    if (env_.loginItem) launchAtLogin_ = env_.loginItem->isEnabled();

    try {
        if (!env_.keyStore) throw std::runtime_error("no key store");
        DeviceIdentity identity = DeviceIdentity::loadOrCreate(*env_.keyStore);
        formattedDeviceID_ = qs(identity.deviceID().formatted());
        pairing_ = std::make_shared<HostPairing>(identity, env_.peerStore, env_.hostName.toStdString(),
                                                 env_.pairingReadLimit, env_.clock, env_.pairingDecisionLimit,
                                                 offences_);
        requestReceiver_ = std::make_shared<EnvelopeReceiver>(identity, env_.peerStore);
        identity_ = std::move(identity);
    } catch (...) {
        startupError_ = QStringLiteral("Could not load the host identity: ") + describeCurrentException();
    }
    lastStatusText_ = statusText();
    lastStatusDetail_ = statusDetail();

    if (env_.startAutomatically) {
        QPointer<HostModel> self(this);
        spawn(this, [self]() -> QCoro::Task<> {
            if (self) co_await self->start();
        });
    }
}

HostModel::~HostModel() {
    alive_.reset();
    if (maintenanceTask_) maintenanceTask_->cancel();
    for (const auto& task : sessionTasks_) task.cancel();
}

// --- observed properties

#define QUILL_OBSERVED_SETTER(Setter, field, Type, signal) \
    void HostModel::Setter(Type value) {                   \
        if (field == value) return;                        \
        field = std::move(value);                          \
        emit signal();                                     \
        updateStatus();                                    \
    }

QUILL_OBSERVED_SETTER(setFormattedDeviceID, formattedDeviceID_, QString, formattedDeviceIDChanged)
QUILL_OBSERVED_SETTER(setStartupError, startupError_, std::optional<QString>, startupErrorChanged)
QUILL_OBSERVED_SETTER(setConnectionMessage, connectionMessage_, std::optional<QString>, connectionMessageChanged)
QUILL_OBSERVED_SETTER(setScreenRecordingGranted, screenRecordingGranted_, bool, screenRecordingGrantedChanged)
QUILL_OBSERVED_SETTER(setAccessibilityGranted, accessibilityGranted_, bool, accessibilityGrantedChanged)
QUILL_OBSERVED_SETTER(setPeers, peers_, std::vector<PeerRecord>, peersChanged)
QUILL_OBSERVED_SETTER(setActivityEntries, activityEntries_, std::vector<ActivityEntry>, activityEntriesChanged)
QUILL_OBSERVED_SETTER(setSharingPausedValue, sharingPaused_, bool, sharingPausedChanged)
QUILL_OBSERVED_SETTER(setAdvertiserReady, advertiserReady_, bool, advertiserReadyChanged)
QUILL_OBSERVED_SETTER(setListenerPort, listenerPort_, std::optional<std::uint16_t>, listenerPortChanged)
QUILL_OBSERVED_SETTER(setActivePeerName, activePeerName_, std::optional<QString>, activePeerNameChanged)
QUILL_OBSERVED_SETTER(setActivePeerFingerprint, activePeerFingerprint_, std::optional<QString>,
                      activePeerFingerprintChanged)
QUILL_OBSERVED_SETTER(setSessionStateText, sessionStateText_, QString, sessionStateTextChanged)
QUILL_OBSERVED_SETTER(setSessionDetail, sessionDetail_, QString, sessionDetailChanged)
QUILL_OBSERVED_SETTER(setPairingQRCode, pairingQRCode_, std::shared_ptr<const QImage>, pairingQRCodeChanged)
QUILL_OBSERVED_SETTER(setPairingURL, pairingURL_, std::optional<QString>, pairingURLChanged)
QUILL_OBSERVED_SETTER(setPairingSecondsRemaining, pairingSecondsRemaining_, qint64, pairingSecondsRemainingChanged)
QUILL_OBSERVED_SETTER(setPendingPairingName, pendingPairingName_, QString, pendingPairingNameChanged)
QUILL_OBSERVED_SETTER(setComparisonCode, comparisonCode_, std::optional<QString>, comparisonCodeChanged)
QUILL_OBSERVED_SETTER(setIsAwaitingPairingConfirmation, isAwaitingPairingConfirmation_, bool,
                      isAwaitingPairingConfirmationChanged)
QUILL_OBSERVED_SETTER(setPairingStatusMessage, pairingStatusMessage_, std::optional<QString>,
                      pairingStatusMessageChanged)
QUILL_OBSERVED_SETTER(setLaunchAtLoginValue, launchAtLogin_, bool, launchAtLoginChanged)
QUILL_OBSERVED_SETTER(setSettingsMessage, settingsMessage_, std::optional<QString>, settingsMessageChanged)
QUILL_OBSERVED_SETTER(setPairingLink, pairingLink_, std::optional<PairingLink>, pairingLinkChanged)
QUILL_OBSERVED_SETTER(setCaptureEngine, captureEngine_, std::shared_ptr<CaptureEngine>, captureEngineChanged)
QUILL_OBSERVED_SETTER(setSessionTasks, sessionTasks_, std::vector<TaskHandle>, sessionTasksChanged)
QUILL_OBSERVED_SETTER(setMaintenanceTask, maintenanceTask_, std::optional<TaskHandle>, maintenanceTaskChanged)
QUILL_OBSERVED_SETTER(setIsSessionReserved, isSessionReserved_, bool, isSessionReservedChanged)
QUILL_OBSERVED_SETTER(setIsStartingAdvertiser, isStartingAdvertiser_, bool, isStartingAdvertiserChanged)

#undef QUILL_OBSERVED_SETTER

void HostModel::setIdentity(std::optional<DeviceIdentity> value) {
    const bool same = identity_.has_value() == value.has_value() &&
                      (!identity_ || identity_->fingerprint() == value->fingerprint());
    identity_ = std::move(value);
    if (!same) emit identityChanged();
}

void HostModel::setActiveActivityID(std::optional<QUuid> value) {
    if (activeActivityID_ == value) return;
    if (value) ownActivityID_ = value;
    activeActivityID_ = std::move(value);
    emit activeActivityIDChanged();
}

// Objects without equality: every write is a change.
void HostModel::setAdvertiser(std::shared_ptr<HostAdvertiser> value) {
    advertiser_ = std::move(value);
    emit advertiserChanged();
}

void HostModel::setActiveSession(std::shared_ptr<HostSession> value) {
    activeSession_ = std::move(value);
    emit activeSessionChanged();
}

void HostModel::updateStatus() {
    QString text = statusText();
    std::optional<QString> detail = statusDetail();
    if (text == lastStatusText_ && detail == lastStatusDetail_) return;
    lastStatusText_ = std::move(text);
    lastStatusDetail_ = std::move(detail);
    emit statusChanged();
}

QString HostModel::statusText() const {
    if (sharingPaused_) return QStringLiteral("Paused");
    if (activePeerName_) return QStringLiteral("Session active with ") + *activePeerName_;
    if (screenRecordingGranted_ && accessibilityGranted_)
        return advertiserReady_ ? QStringLiteral("Ready") : QStringLiteral("Starting");
    return QStringLiteral("Waiting for permissions");
}

std::optional<QString> HostModel::statusDetail() const {
    if (activePeerName_ && !sessionDetail_.isEmpty()) return sessionDetail_;
    return connectionMessage_;
}

// --- start-up

QCoro::Task<> HostModel::start() {
    QPointer<HostModel> self(this);
    refreshPeers();
    refreshPermissions();
    auto log = env_.activityLog;
    if (log) {
        const SystemTime now = env_.clock->now();
        try {
            co_await onWorker(activityQueue_, &detail::activityPrune, log, now);
        } catch (...) {
            if (!self) co_return;
            setStartupError(QStringLiteral("Could not prune the activity log: ") + describeCurrentException());
        }
        if (!self) co_return;
        try {
            auto entries = co_await onWorker(activityQueue_, &detail::activityEntries, log);
            if (!self) co_return;
            setActivityEntries(activityEntriesNewestFirst(std::move(entries)));
        } catch (...) {
            if (!self) co_return;
            setActivityEntries({});
        }
    }
    startMaintenance();
    co_await startAdvertiser();
    if (!self) co_return;
    co_await refreshPairingLink();
    if (!self) co_return;
    if ((!screenRecordingGranted_ || !accessibilityGranted_) && env_.windowManager)
        env_.windowManager->show(QStringLiteral("permissions"), QStringLiteral("Permissions"), {580, 430});
}

void HostModel::refreshPeers() {
    if (!env_.peerStore) return;
    try {
        setPeers(env_.peerStore->all());
    } catch (...) {
        setStartupError(QStringLiteral("Could not read paired devices: ") + describeCurrentException());
    }
}

void HostModel::refreshPermissions() {
    const bool wereHeld = screenRecordingGranted_ && accessibilityGranted_;
    if (env_.permissions) {
        setScreenRecordingGranted(env_.permissions->screenRecordingGranted());
        setAccessibilityGranted(env_.permissions->accessibilityGranted());
    }
    // Closed when the missing permission arrives, not on every refresh while both are held:
    // the host user may have opened the window to look at them.
    if (!wereHeld && screenRecordingGranted_ && accessibilityGranted_ && env_.windowManager)
        env_.windowManager->close(QStringLiteral("permissions"));
}

void HostModel::showActivityLog() {
    spawn(this, [this]() -> QCoro::Task<> { co_await reloadActivity(); });
    if (env_.windowManager)
        env_.windowManager->show(QStringLiteral("activity"), QStringLiteral("Activity Log"), {900, 500});
}

void HostModel::revealActivityLog() {
    if (!env_.activityLog) return;
    // The log's own file, wherever it is kept; its folder may not exist before the first write.
    env_.activityLog->makeFolder();
    if (env_.workspace) env_.workspace->revealFile(env_.activityLog->filePath());
}

QCoro::Task<> HostModel::reloadActivity() {
    QPointer<HostModel> self(this);
    auto log = env_.activityLog;
    if (!log) co_return;
    try {
        auto entries = co_await onWorker(activityQueue_, &detail::activityEntries, log);
        if (!self) co_return;
        setActivityEntries(activityEntriesNewestFirst(std::move(entries)));
    } catch (...) {
        if (!self) co_return;
        setStartupError(QStringLiteral("Could not read the activity log: ") + describeCurrentException());
    }
}

bool HostModel::isActivityRunning(const ActivityEntry& entry) const {
    // One copy runs per user, so an open entry that this process did not open belongs to one
    // that has ended.
    return !detail::activityEnded(entry) && detail::activityID(entry) == ownActivityID_;
}

std::vector<ActivityEntry> HostModel::activityEntriesNewestFirst(std::vector<ActivityEntry> entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const ActivityEntry& a, const ActivityEntry& b) {
        return detail::activityStartedAt(a) > detail::activityStartedAt(b);
    });
    return entries;
}

}  // namespace quill::host
