#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QUuid>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "host/desktop/display_info.h"
#include "host/desktop/display_keep_awake.h"
#include "host/desktop/input_injector.h"
#include "host/desktop/platform_permissions.h"
#include "host/model/activity_log.h"
#include "host/model/cursor_broadcaster.h"
#include "host/model/host_model_services.h"
#include "host/runtime/cancel_token.h"
#include "host/runtime/task.h"
#include "host/runtime/worker.h"
#include "quillcore/base/clock.h"
#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/key_store.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/net/tcp_connection.h"
#include "quillcore/pairing/host_pairing.h"
#include "quillcore/pairing/pairing_link.h"
#include "quillcore/pairing/pairing_message.h"
#include "quillcore/session/host_session.h"
#include "quillcore/transport/frame_channel.h"
#include "quillcore/transport/host_advertiser.h"

namespace quill::host {

namespace detail {
struct AdmissionState;
class ConnectionStage;
}  // namespace detail

// One of the five flags of a controller's permissions, in the order the paired-devices window
// lists them.
enum class PermissionFlag { view = 0, control = 1, clipboard = 2, files = 3, attendedOnly = 4 };

// Everything the model is built from. The application entry fills it with the real desktop,
// the keychain and the network; tests fill it with fakes and short timings.
struct HostEnvironment {
    QString hostName;
    std::shared_ptr<PeerStore> peerStore;
    std::shared_ptr<KeyStore> keyStore;
    std::shared_ptr<ActivityLog> activityLog;
    std::shared_ptr<WallClock> clock = WallClock::system();

    std::shared_ptr<PermissionProbe> permissions;
    std::shared_ptr<const DisplaySource> displays;
    std::shared_ptr<InputInjector> inputInjector;
    std::shared_ptr<DisplayKeepAwake> keepAwake;
    std::shared_ptr<CursorImageSource> cursorSource;
    std::shared_ptr<SessionNotifier> notifier;
    std::shared_ptr<LoginItem> loginItem;
    std::shared_ptr<SessionPrompt> prompt;
    std::shared_ptr<HostWindowManager> windowManager;
    std::shared_ptr<Workspace> workspace;
    LocalAddressesFunction localAddresses;
    QRCodeFunction makeQRCode;

    // A new capture engine feeding one session.
    std::function<std::shared_ptr<CaptureEngine>(std::shared_ptr<HostSession>)> makeCaptureEngine;
    // A new host session (default: the WebRTC one).
    std::function<std::shared_ptr<HostSession>(DeviceIdentity, std::shared_ptr<PeerStore>, SessionConfiguration)>
        makeSession;
    // A new advertiser (default: TCP listener and DNS-SD).
    std::function<std::shared_ptr<HostAdvertiser>(std::string name, Bytes fingerprint,
                                                  HostAdvertiser::ConnectionHandler handler)>
        makeAdvertiser;
    // How many connections from one remote address may wait for their first frame at once.
    int waitingConnectionsPerAddress = 8;
    // How long a pairing exchange may wait for a read from the controller after the host user's
    // decision.
    double pairingReadLimit = HostPairing::defaultReadLimit;
    // How long the host user has to decide on a pairing request.
    double pairingDecisionLimit = HostPairing::defaultDecisionLimit;

    std::string appVersion = "0.1.0";
    // This system's name and version, for the hello.
    std::string operatingSystem;
    HostTiming timing;
    // False in tests that drive start() themselves.
    bool startAutomatically = true;
};

// The host application's central object, on the Qt main thread. Its observed properties
// signal only when a write changes their value (advertiser and activeSession on every write).
class HostModel : public QObject {
    Q_OBJECT
public:
    explicit HostModel(HostEnvironment environment, QObject* parent = nullptr);
    ~HostModel() override;

    // --- constants
    const QString& hostName() const { return env_.hostName; }
    const std::shared_ptr<PeerStore>& peerStore() const { return env_.peerStore; }
    const std::shared_ptr<ActivityLog>& activityLog() const { return env_.activityLog; }
    const std::shared_ptr<HostPairing>& pairing() const { return pairing_; }
    const std::shared_ptr<HostWindowManager>& windowManager() const { return env_.windowManager; }
    const std::shared_ptr<InputInjector>& inputInjector() const { return env_.inputInjector; }
    CursorBroadcaster& cursorBroadcaster() { return *cursorBroadcaster_; }
    const std::shared_ptr<DisplayKeepAwake>& displayKeepAwake() const { return env_.keepAwake; }
    const HostTiming& timing() const { return env_.timing; }
    // The activity log's serial executor: every read and write of the log runs there in turn.
    WorkerQueue& activityQueue() { return activityQueue_; }

    // --- observed state
    const std::optional<DeviceIdentity>& identity() const { return identity_; }
    const QString& formattedDeviceID() const { return formattedDeviceID_; }
    const std::optional<QString>& startupError() const { return startupError_; }
    // The last failure of one connection or session (a rejected connection, a session that
    // could not be set up); cleared when a session is admitted and when sharing resumes.
    const std::optional<QString>& connectionMessage() const { return connectionMessage_; }
    bool screenRecordingGranted() const { return screenRecordingGranted_; }
    bool accessibilityGranted() const { return accessibilityGranted_; }
    const std::vector<PeerRecord>& peers() const { return peers_; }
    const std::vector<ActivityEntry>& activityEntries() const { return activityEntries_; }
    bool sharingPaused() const { return sharingPaused_; }
    bool advertiserReady() const { return advertiserReady_; }
    std::optional<std::uint16_t> listenerPort() const { return listenerPort_; }
    const std::optional<QString>& activePeerName() const { return activePeerName_; }
    const std::optional<QString>& activePeerFingerprint() const { return activePeerFingerprint_; }
    const QString& sessionStateText() const { return sessionStateText_; }
    const QString& sessionDetail() const { return sessionDetail_; }
    const std::shared_ptr<const QImage>& pairingQRCode() const { return pairingQRCode_; }
    const std::optional<QString>& pairingURL() const { return pairingURL_; }
    qint64 pairingSecondsRemaining() const { return pairingSecondsRemaining_; }
    const QString& pendingPairingName() const { return pendingPairingName_; }
    const std::optional<QString>& comparisonCode() const { return comparisonCode_; }
    bool isAwaitingPairingConfirmation() const { return isAwaitingPairingConfirmation_; }
    const std::optional<QString>& pairingStatusMessage() const { return pairingStatusMessage_; }
    bool launchAtLogin() const { return launchAtLogin_; }
    const std::optional<QString>& settingsMessage() const { return settingsMessage_; }
    const std::shared_ptr<HostAdvertiser>& advertiser() const { return advertiser_; }
    const std::optional<PairingLink>& pairingLink() const { return pairingLink_; }
    const std::shared_ptr<HostSession>& activeSession() const { return activeSession_; }
    const std::shared_ptr<CaptureEngine>& captureEngine() const { return captureEngine_; }
    const std::optional<QUuid>& activeActivityID() const { return activeActivityID_; }
    const std::vector<TaskHandle>& sessionTasks() const { return sessionTasks_; }
    const std::optional<TaskHandle>& maintenanceTask() const { return maintenanceTask_; }
    bool isSessionReserved() const { return isSessionReserved_; }
    bool isStartingAdvertiser() const { return isStartingAdvertiser_; }

    // The menu's first and second lines.
    QString statusText() const;
    std::optional<QString> statusDetail() const;

    // --- state, start-up and status
    QCoro::Task<> start();
    void refreshPeers();
    void refreshPermissions();
    void showActivityLog();
    void revealActivityLog();
    QCoro::Task<> reloadActivity();
    static std::vector<ActivityEntry> activityEntriesNewestFirst(std::vector<ActivityEntry> entries);
    // Whether an entry is a session running now: open, and opened by this process. Any other
    // open entry was left by a host that stopped during its session.
    bool isActivityRunning(const ActivityEntry& entry) const;

    // --- connections and pairing hand-off
    // For the advertiser: takes each accepted connection on the network thread, into the intake.
    HostAdvertiser::ConnectionHandler connectionHandler();
    // Main thread: starts a task for each first frame the intake handed on since the last call.
    void takeConnections();
    QCoro::Task<> handlePairing(FrameChannelPtr channel, PairingMessage first);

    // --- session admission
    // `offer` was opened by the model's one receiver, so a copy on another connection is refused.
    QCoro::Task<> handleSessionRequest(FrameChannelPtr channel, OpenedEnvelope offer, QString remoteAddress);
    QCoro::Task<> sendReject(FrameChannelPtr channel, std::string sessionID, std::string reason);
    QCoro::Task<bool> askToAllowSession(PeerRecord peer, SessionMode mode);
    SessionConfiguration makeSessionConfiguration() const;
    static SessionConfiguration sessionConfigurationFor(std::optional<DisplaySize> mode);

    // --- session lifecycle
    QCoro::Task<> beginSession(std::shared_ptr<HostSession> session, PeerRecord peer, SessionMode mode,
                               QString remoteAddress);
    QCoro::Task<QString> watchSession(std::shared_ptr<HostSession> session);
    TaskHandle startWatchdog(std::shared_ptr<HostSession> session);
    QCoro::Task<> finishSession(std::shared_ptr<HostSession> session, QString reason);
    QCoro::Task<> endSession(std::shared_ptr<HostSession> session);
    // Ends an active session in order (bye, activity entry closed, input released), waiting at
    // most timing().quitBound; then returns, and the caller exits.
    QCoro::Task<> prepareToQuit();

    // --- control input and statistics
    QCoro::Task<> runControlInput(std::shared_ptr<HostSession> session, CancelToken token);
    QCoro::Task<> runStatistics(std::shared_ptr<HostSession> session, std::shared_ptr<CaptureEngine> engine,
                                CancelToken token);
    Quillmate_V0_Envelope makeHello() const;
    static QString statisticsLine(double hostFps, const SessionStats& stats);
    // Frames a second between two samples: a counter that went back counts as none, and two
    // samples in the same instant divide by a millisecond.
    static double hostFrameRate(std::int64_t frames, double seconds);

    // --- pairing link upkeep and maintenance
    void startMaintenance();
    QCoro::Task<> maintenanceTick();
    QCoro::Task<> syncPairingState();
    QCoro::Task<> refreshPairingLink();
    void applyPairingLink(const PairingLink& link);
    qint64 secondsRemaining(const PairingLink& link) const;
    QCoro::Task<> confirmComparison(std::shared_ptr<HostPairing> pairing);
    // Confirms only the exchange whose code is `shownCode` as comparisonCode() gives it (none:
    // a request without a code), so a click meant for an exchange that has just ended cannot
    // confirm the next one.
    QCoro::Task<> confirmComparison(std::shared_ptr<HostPairing> pairing, std::optional<QString> shownCode);
    QCoro::Task<> rejectComparison(std::shared_ptr<HostPairing> pairing);
    // Refuses only the exchange whose code is `shownCode`, in the same way.
    QCoro::Task<> rejectComparison(std::shared_ptr<HostPairing> pairing, std::optional<QString> shownCode);

    // --- sharing, advertiser, paired devices, login item
    void setSharingPaused(bool paused);
    QCoro::Task<> startAdvertiser();
    QCoro::Task<> stopAdvertiser();
    void setLaunchAtLogin(bool enabled);
    void setPermission(PermissionFlag flag, bool enabled, PeerRecord record);
    void revoke(PeerRecord record);
    QString lastSeenText(const PeerRecord& record) const;
    void openURL(const QString& text);

signals:
    void identityChanged();
    void formattedDeviceIDChanged();
    void startupErrorChanged();
    void connectionMessageChanged();
    void screenRecordingGrantedChanged();
    void accessibilityGrantedChanged();
    void peersChanged();
    void activityEntriesChanged();
    void sharingPausedChanged();
    void advertiserReadyChanged();
    void listenerPortChanged();
    void activePeerNameChanged();
    void activePeerFingerprintChanged();
    void sessionStateTextChanged();
    void sessionDetailChanged();
    void pairingQRCodeChanged();
    void pairingURLChanged();
    void pairingSecondsRemainingChanged();
    void pendingPairingNameChanged();
    void comparisonCodeChanged();
    void isAwaitingPairingConfirmationChanged();
    void pairingStatusMessageChanged();
    void launchAtLoginChanged();
    void settingsMessageChanged();
    void advertiserChanged();
    void pairingLinkChanged();
    void activeSessionChanged();
    void captureEngineChanged();
    void activeActivityIDChanged();
    void sessionTasksChanged();
    void maintenanceTaskChanged();
    void isSessionReservedChanged();
    void isStartingAdvertiserChanged();
    // statusText() or statusDetail() changed.
    void statusChanged();

private:
    // Shows a running advertiser's publication problem as the discovery error, and clears that
    // text once the service is published.
    void showPublicationProblem();

    // Setters: store, and signal only on change.
    void setIdentity(std::optional<DeviceIdentity> value);
    void setFormattedDeviceID(QString value);
    void setStartupError(std::optional<QString> value);
    void setConnectionMessage(std::optional<QString> value);
    void setScreenRecordingGranted(bool value);
    void setAccessibilityGranted(bool value);
    void setPeers(std::vector<PeerRecord> value);
    void setActivityEntries(std::vector<ActivityEntry> value);
    void setSharingPausedValue(bool value);
    void setAdvertiserReady(bool value);
    void setListenerPort(std::optional<std::uint16_t> value);
    void setActivePeerName(std::optional<QString> value);
    void setActivePeerFingerprint(std::optional<QString> value);
    void setSessionStateText(QString value);
    void setSessionDetail(QString value);
    void setPairingQRCode(std::shared_ptr<const QImage> value);
    void setPairingURL(std::optional<QString> value);
    void setPairingSecondsRemaining(qint64 value);
    void setPendingPairingName(QString value);
    void setComparisonCode(std::optional<QString> value);
    void setIsAwaitingPairingConfirmation(bool value);
    void setPairingStatusMessage(std::optional<QString> value);
    void setLaunchAtLoginValue(bool value);
    void setSettingsMessage(std::optional<QString> value);
    void setAdvertiser(std::shared_ptr<HostAdvertiser> value);
    void setPairingLink(std::optional<PairingLink> value);
    void setActiveSession(std::shared_ptr<HostSession> value);
    void setCaptureEngine(std::shared_ptr<CaptureEngine> value);
    void setActiveActivityID(std::optional<QUuid> value);
    void setSessionTasks(std::vector<TaskHandle> value);
    void setMaintenanceTask(std::optional<TaskHandle> value);
    void setIsSessionReserved(bool value);
    void setIsStartingAdvertiser(bool value);
    void updateStatus();

    // The admission's steps; handleSessionRequest undoes what they leave behind when they throw.
    QCoro::Task<> admitSessionRequest(FrameChannelPtr channel, OpenedEnvelope opened, QString remoteAddress,
                                      std::shared_ptr<detail::AdmissionState> state);
    // A refused connection's reason, shown (the latest) once per maintenance tick.
    void reportRefusedConnection(const QString& reason);
    void showRefusedConnections();
    // Quitting: ends every connection and exchange that waits.
    void endConnections();
    // Whether an exchange or a negotiation has not ended yet.
    bool connectionsBusy() const;
    void noteNegotiation(const std::shared_ptr<HostSession>& session);
    // Every close this host starts goes through here.
    QCoro::Task<> closeSession(std::shared_ptr<HostSession> session, std::string reason);
    // Closes the active session in a task of its own when it belongs to `record`'s controller.
    void closeSessionOf(const PeerRecord& record, std::string reason);
    bool isClosingFromHost(const std::shared_ptr<HostSession>& session);
    QCoro::Task<> pauseSteps();
    QCoro::Task<> resumeSteps();
    QCoro::Task<> settleSharing();
    std::vector<std::string> currentEndpoints() const;
    static bool permissionsAllow(const PeerRecord& record, bool screen, bool accessibility, std::string* reason);

    HostEnvironment env_;
    // What strangers did wrong lately, by address: shared by the intake and the pairing.
    const std::shared_ptr<OffenceRecord> offences_ = std::make_shared<OffenceRecord>();
    std::shared_ptr<HostPairing> pairing_;
    std::unique_ptr<CursorBroadcaster> cursorBroadcaster_;
    // Serial executor of the activity log.
    WorkerQueue activityQueue_;
    // Held by callbacks from other threads that must not reach a deleted model.
    std::shared_ptr<HostModel*> alive_;
    bool sharingTransition_ = false;
    // Sessions this host is closing.
    std::vector<std::weak_ptr<HostSession>> hostClosing_;
    bool quitting_ = false;
    // The session finished last, with its end reason: its activity entry may be written only
    // after the end.
    std::weak_ptr<HostSession> finishedSession_;
    QString finishedReason_;
    // Opens every session request's first envelope, so a copied offer is refused as a replay
    // on any later connection.
    std::shared_ptr<EnvelopeReceiver> requestReceiver_;
    // New connections until their first frame is read and screened, off the main thread.
    std::shared_ptr<detail::ConnectionStage> intake_;
    // The session the host user allowed as view-only in the prompt: it gets no input.
    std::weak_ptr<HostSession> approvedViewOnly_;
    // The admission that reserved the session last: while it holds the reservation, its
    // controller's session is being set up.
    std::weak_ptr<detail::AdmissionState> reservedBy_;

    std::optional<DeviceIdentity> identity_;
    QString formattedDeviceID_ = QStringLiteral("Unavailable");
    std::optional<QString> startupError_;
    std::optional<QString> connectionMessage_;
    bool screenRecordingGranted_ = false;
    bool accessibilityGranted_ = false;
    std::vector<PeerRecord> peers_;
    std::vector<ActivityEntry> activityEntries_;
    bool sharingPaused_ = false;
    bool advertiserReady_ = false;
    std::optional<std::uint16_t> listenerPort_;
    std::optional<QString> activePeerName_;
    std::optional<QString> activePeerFingerprint_;
    QString sessionStateText_ = QStringLiteral("Ready");
    QString sessionDetail_;
    std::shared_ptr<const QImage> pairingQRCode_;
    std::optional<QString> pairingURL_;
    qint64 pairingSecondsRemaining_ = 0;
    QString pendingPairingName_ = QStringLiteral("A controller");
    std::optional<QString> comparisonCode_;
    bool isAwaitingPairingConfirmation_ = false;
    std::optional<QString> pairingStatusMessage_;
    bool launchAtLogin_ = false;
    std::optional<QString> settingsMessage_;
    std::shared_ptr<HostAdvertiser> advertiser_;
    std::optional<PairingLink> pairingLink_;
    std::shared_ptr<HostSession> activeSession_;
    std::shared_ptr<CaptureEngine> captureEngine_;
    std::optional<QUuid> activeActivityID_;
    // The entry this process opened last; it stays open in the list until it is read back closed.
    std::optional<QUuid> ownActivityID_;
    std::vector<TaskHandle> sessionTasks_;
    std::optional<TaskHandle> maintenanceTask_;
    bool isSessionReserved_ = false;
    bool isStartingAdvertiser_ = false;

    QString lastStatusText_;
    std::optional<QString> lastStatusDetail_;
};

// The description of an exception, as shown after a failure prefix.
QString describeError(const std::exception& error);
QString describeCurrentException();

}  // namespace quill::host
