#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <future>

#include "host/desktop/hid_keycodes.h"
#include "host/model/host_model_test_support.h"
#include "host/model/locale_dates.h"
#include "quillcore/base/base64.h"
#include "quillcore/pairing/controller_pairing.h"

using namespace quill;
using namespace quill::host;
using namespace quill::host::testing;

namespace {

std::vector<std::string> controlKinds(const MadeSession& made) {
    std::vector<std::string> kinds;
    for (const auto& m : made.sentControl()) kinds.push_back(rolestest::describe(m));
    return kinds;
}

bool sentHello(const MadeSession& made) {
    for (const auto& m : made.sentControl())
        if (m.has_hello()) return true;
    return false;
}

std::optional<std::string> rejectReason(Controller& c, const std::string& id = "S-1") {
    auto m = c.reply();
    if (!m) return std::nullopt;
    const Reject* reject = m->get<Reject>();
    if (!reject) return "not a reject: " + std::string(m->typeName());
    EXPECT_EQ(reject->sessionID(), id);
    return reject->reason();
}

std::vector<ActivityEntry> storedEntries(ModelHarness& h) {
    auto list = h.activityLog->entries();
    return {list.begin(), list.end()};
}

// Holds a worker-thread call until opened (or, so a failing test cannot hang, for 10 s).
struct Gate {
    std::shared_ptr<std::promise<void>> promise = std::make_shared<std::promise<void>>();
    std::shared_future<void> future = promise->get_future().share();
    std::shared_ptr<std::atomic<bool>> reached = std::make_shared<std::atomic<bool>>(false);
    std::function<void(const char*)> holding(std::string call) const {
        return [call, f = future, r = reached](const char* c) {
            if (call != c) return;
            *r = true;
            f.wait_for(std::chrono::seconds(10));
        };
    }
    void open() const { promise->set_value(); }
};

// Listeners for the model's advertisers: ready at once unless the script holds them (the test
// then reports them ready); `onCancel`, when set, runs in each cancel().
struct ListenerScript : std::enable_shared_from_this<ListenerScript> {
    struct Listener : HostAdvertiser::Listener {
        std::shared_ptr<ListenerScript> script;
        std::uint16_t port = 0;
        bool hold = false;
        net::TcpListener::StateHandler report;
        void setStateHandler(net::TcpListener::StateHandler handler) override { report = std::move(handler); }
        void setConnectionHandler(net::TcpListener::ConnectionHandler) override {}
        void start() override {
            script->started(this);
            if (!hold) ready();
        }
        void cancel() override {
            std::function<void(const char*)> hook;
            {
                std::lock_guard l(script->mutex);
                hook = script->onCancel;
            }
            if (hook) hook("cancel");
            report({net::TcpListener::State::cancelled, std::nullopt, {}});
        }
        void ready() { report({net::TcpListener::State::ready, port, {}}); }
    };

    std::mutex mutex;
    bool holdNext = false;
    std::function<void(const char*)> onCancel;
    std::vector<Listener*> listening;  // in the order they started; kept alive by `made`
    std::vector<std::shared_ptr<Listener>> made;

    std::shared_ptr<HostAdvertiser::Listener> make() {
        auto listener = std::make_shared<Listener>();
        std::lock_guard l(mutex);
        listener->script = shared_from_this();
        listener->port = static_cast<std::uint16_t>(41000 + made.size());
        listener->hold = holdNext;
        made.push_back(listener);
        return listener;
    }
    void started(Listener* listener) {
        std::lock_guard l(mutex);
        listening.push_back(listener);
    }
    Listener* startedAt(std::size_t i) {
        std::lock_guard l(mutex);
        return i < listening.size() ? listening[i] : nullptr;
    }
    void set(bool hold, std::function<void(const char*)> hook = {}) {
        std::lock_guard l(mutex);
        holdNext = hold;
        if (hook) onCancel = std::move(hook);
    }
};

}  // namespace

TEST(HostModelStartup, LoadsTheIdentityAdvertisesAndShowsAPairingLink) {
    ModelHarness h;
    h.permissions->accessibility = false;
    HostModel& m = h.start();
    ASSERT_TRUE(m.identity());
    EXPECT_EQ(m.identity()->fingerprint(), h.hostIdentity.fingerprint());
    EXPECT_TRUE(QRegularExpression("^\\d{3} \\d{3} \\d{3}").match(m.formattedDeviceID()).hasMatch())
        << m.formattedDeviceID().toStdString();
    ASSERT_TRUE(m.listenerPort());
    EXPECT_TRUE(m.advertiserReady());
    ASSERT_TRUE(m.pairingLink());
    EXPECT_EQ(m.pairingLink()->endpoints, std::vector<std::string>{"127.0.0.1:" + std::to_string(*m.listenerPort())});
    EXPECT_EQ(m.pairingSecondsRemaining(), 300);
    EXPECT_TRUE(m.pairingQRCode());
    // One permission missing: the permissions window is up and the host waits for it.
    EXPECT_TRUE(h.windows->isVisible("permissions"));
    EXPECT_EQ(m.statusText(), "Waiting for permissions");
    EXPECT_FALSE(m.startupError());
    // Closed by the host user while still missing: the next tick brings it back.
    h.windows->close("permissions");
    ASSERT_TRUE(pumpUntil([&] { return h.windows->isVisible("permissions"); }));

    // Granted later: the next refresh closes the window, and the host is ready.
    h.permissions->accessibility = true;
    ASSERT_TRUE(pumpUntil([&] { return !h.windows->isVisible("permissions"); }));
    EXPECT_EQ(m.statusText(), "Ready");
    // Opened by the host user with both held: it stays up across ticks and refreshes.
    h.windows->show("permissions", "Permissions", {580, 430});
    pumpFor(0.3);
    m.refreshPermissions();
    EXPECT_TRUE(h.windows->isVisible("permissions"));
}

TEST(HostModelStartup, WithoutAnIdentityTheHostNeverAdvertisesNorAdmits) {
    class BrokenKeyStore : public KeyStore {
    public:
        std::optional<StoredIdentityKeys> load() override { throw KeyStoreError::keychain(-25293); }
        void save(const StoredIdentityKeys&) override {}
    };
    ModelHarness h;
    HostModel& m = h.start([](HostEnvironment& env) { env.keyStore = std::make_shared<BrokenKeyStore>(); });
    ASSERT_TRUE(pumpUntil([&] { return m.startupError().has_value(); }));
    pumpFor(0.2);  // time to start what it must not
    EXPECT_TRUE(m.startupError()->startsWith("Could not load the host identity: "));
    EXPECT_EQ(m.formattedDeviceID(), "Unavailable");
    EXPECT_FALSE(m.pairing());
    EXPECT_FALSE(m.advertiserReady());
    EXPECT_FALSE(m.pairingLink());
    EXPECT_EQ(m.statusText(), "Starting");
}

TEST(HostModelStartup, ObservedPropertiesSignalOnlyOnChange) {
    ModelHarness h;
    HostModel& m = h.start();
    int permissionSignals = 0, statusSignals = 0, detailSignals = 0;
    QObject::connect(&m, &HostModel::accessibilityGrantedChanged, [&] { ++permissionSignals; });
    QObject::connect(&m, &HostModel::statusChanged, [&] { ++statusSignals; });
    QObject::connect(&m, &HostModel::sessionDetailChanged, [&] { ++detailSignals; });
    m.refreshPermissions();
    m.refreshPermissions();
    EXPECT_EQ(permissionSignals, 0);
    h.permissions->accessibility = false;
    m.refreshPermissions();
    m.refreshPermissions();
    EXPECT_EQ(permissionSignals, 1);
    EXPECT_EQ(statusSignals, 1);
    EXPECT_EQ(m.statusText(), "Waiting for permissions");
    m.setSharingPaused(true);
    EXPECT_EQ(m.statusText(), "Paused");
    EXPECT_EQ(statusSignals, 2);
}

TEST(HostModelSession, AdmitsAPairedControllerAndRunsTheSessionToItsEnd) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice's iPad");
    MadeSession s = h.connectSession(c, SessionMode::control);
    ASSERT_TRUE(s.session);

    EXPECT_EQ(m.activePeerName(), "Alice's iPad");
    EXPECT_EQ(m.activePeerFingerprint(), QString::fromStdString(Base64URL::encode(c.record.fingerprint)));
    EXPECT_EQ(m.statusText(), "Session active with Alice's iPad");
    EXPECT_EQ(h.notifier->names, std::vector<QString>{"Alice's iPad"});
    EXPECT_TRUE(m.displayKeepAwake()->holding());
    ASSERT_EQ(h.captures->size(), 1u);
    EXPECT_EQ(m.captureEngine(), h.captures->front());
    // The configuration follows the main display.
    EXPECT_EQ(s.session->configuration, HostModel::sessionConfigurationFor(DisplaySize{1920, 1080}));

    // The host's hello went out once capture ran.
    ASSERT_TRUE(pumpUntil([&] { return sentHello(s); }));
    Quillmate_V0_Envelope hello;
    for (const auto& sent : s.sentControl())
        if (sent.has_hello()) hello = sent;
    ASSERT_TRUE(hello.has_hello());
    EXPECT_EQ(hello.hello().protocol_major(), 0u);
    EXPECT_EQ(hello.hello().protocol_minor(), 1u);
    EXPECT_EQ(hello.hello().app_version(), "1.2.3");
    EXPECT_EQ(hello.hello().os(), "Linux test");
    ASSERT_EQ(hello.hello().features_size(), 2);
    EXPECT_EQ(hello.hello().features(0), "cursor-shape");
    EXPECT_EQ(hello.hello().features(1), "cursor-position");

    // The activity entry is written while the session runs.
    ASSERT_TRUE(pumpUntil([&] { return m.activeActivityID().has_value(); }));
    auto entries = storedEntries(h);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].peerName, "Alice's iPad");
    EXPECT_EQ(entries[0].mode, "control");
    EXPECT_TRUE(entries[0].remoteAddress.startsWith("127.0.0.1:")) << entries[0].remoteAddress.toStdString();
    EXPECT_FALSE(entries[0].endedAt);
    // The list on show follows once it is read again.
    EXPECT_TRUE(pumpUntil([&] { return m.lastSeenText(c.record) == "Active now"; }));

    // Input reaches the desktop; a ping gets its pong with the same value.
    s.connector->receiveControl(rolestest::keyEvent(4));
    s.connector->receiveControl(rolestest::ping(18446744073709551615ull));
    s.connector->receiveControl(rolestest::pong(5));
    ASSERT_TRUE(pumpUntil([&] {
        auto kinds = controlKinds(s);
        return std::find(kinds.begin(), kinds.end(), "pong 18446744073709551615") != kinds.end();
    }));
    EXPECT_EQ(h.sink->count(), 1u);
    // The statistics line is filled in while connected.
    ASSERT_TRUE(pumpUntil([&] { return !m.sessionDetail().isEmpty(); }));
    EXPECT_TRUE(m.sessionDetail().startsWith("Host ")) << m.sessionDetail().toStdString();
    EXPECT_EQ(m.statusDetail(), m.sessionDetail());

    // The controller hangs up.
    c.send(Bye("S-1", "done"));
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));
    EXPECT_EQ(m.statusText(), "Ready");
    EXPECT_EQ(m.sessionStateText(), "Ready");
    EXPECT_TRUE(m.sessionDetail().isEmpty());
    EXPECT_FALSE(m.isSessionReserved());
    EXPECT_FALSE(m.captureEngine());
    EXPECT_EQ(h.captureStops->load(), 1);
    EXPECT_FALSE(m.displayKeepAwake()->holding());
    EXPECT_GE(h.sink->releases.load(), 1);
    entries = storedEntries(h);
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_TRUE(entries[0].endReason);
    EXPECT_EQ(*entries[0].endReason, "Session closed by the controller");
    EXPECT_TRUE(entries[0].endedAt);
    ASSERT_TRUE(pumpUntil([&] { return m.lastSeenText(c.record) != "Active now"; }));
}

TEST(HostModelSession, InputReachesTheDesktopOnlyWithControlPermission) {
    ModelHarness h;
    HostModel& m = h.start();
    PeerPermissions viewOnly = PeerPermissions::defaults();
    viewOnly.control = false;
    Controller c = h.pairedController(3, "Viewer", viewOnly);
    MadeSession s = h.connectSession(c, SessionMode::control);
    s.connector->receiveControl(rolestest::keyEvent(4));
    s.connector->receiveControl(rolestest::pointerEvent(0));
    s.connector->receiveControl(rolestest::ping(9));
    ASSERT_TRUE(pumpUntil([&] {
        auto kinds = controlKinds(s);
        return std::find(kinds.begin(), kinds.end(), "pong 9") != kinds.end();
    }));
    EXPECT_EQ(h.sink->count(), 0u);
    ASSERT_TRUE(pumpUntil([&] { return m.activeActivityID().has_value(); }));
    EXPECT_EQ(storedEntries(h).at(0).mode, "view");
}

TEST(HostModelSession, RefusalsReachTheControllerAsSealedRejects) {
    ModelHarness h;
    HostModel& m = h.start();
    struct Case {
        bool screen, accessibility, view;
        const char* reason;
    };
    // Without Screen Recording (and without Accessibility) the first check wins.
    const Case cases[] = {
        {false, false, true, "Screen Recording permission has not been granted on the host"},
        {true, false, true, "Accessibility permission has not been granted on the host"},
        {true, true, false, "View permission has been revoked for this controller"},
    };
    std::uint8_t seed = 3;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.reason);
        h.permissions->screen = k.screen;
        h.permissions->accessibility = k.accessibility;
        m.refreshPermissions();
        PeerPermissions permissions = PeerPermissions::defaults();
        permissions.view = k.view;
        Controller c = h.pairedController(seed++, "Alice", permissions);
        c.offer(*m.listenerPort(), Offer("S-" + std::to_string(seed), "sdp", SessionMode::control, {}));
        EXPECT_EQ(rejectReason(c, "S-" + std::to_string(seed)), k.reason);
        EXPECT_FALSE(m.isSessionReserved());
        // Sent: nothing to report.
        pumpFor(0.05);
        EXPECT_FALSE(m.connectionMessage()) << m.connectionMessage()->toStdString();
    }
    EXPECT_TRUE(h.sessions->empty());
    EXPECT_FALSE(m.startupError());
}

TEST(HostModelSession, ASecondControllerIsBusyWhileTheSameOneReplacesItsSession) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller alice = h.pairedController(3, "Alice");
    MadeSession first = h.connectSession(alice);
    ASSERT_TRUE(first.session);

    Controller bob = h.pairedController(5, "Bob");
    bob.offer(*m.listenerPort(), Offer("S-9", "sdp", SessionMode::control, {}));
    EXPECT_EQ(rejectReason(bob, "S-9"), "The host is already handling another session");
    EXPECT_EQ(m.activeSession(), first.session);

    // Alice again, on a new connection: the old session ends and the new one is admitted.
    Controller alice2 = alice;
    alice2.offer(*m.listenerPort(), Offer("S-2", "sdp", SessionMode::control, {}));
    auto answer = alice2.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    EXPECT_EQ(byeReason(alice), "Replaced by a new connection from the same controller");
    ASSERT_TRUE(pumpUntil([&] { return m.activeSession() && m.activeSession() != first.session; }));
    EXPECT_EQ(m.activePeerName(), "Alice");
    ASSERT_TRUE(pumpUntil([&] { return storedEntries(h).size() == 2 && storedEntries(h)[0].endReason.has_value(); }));
    EXPECT_EQ(*storedEntries(h)[0].endReason, "Session closed by the controller");
}

TEST(HostModelSession, AReplacementWhoseOldSessionDoesNotEndInTimeIsRefusedAsBusy) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller alice = h.pairedController(3, "Alice");
    MadeSession first = h.connectSession(alice);
    ASSERT_TRUE(first.session);
    // The old session's end stays stuck in the capture stop, so its reservation outlives the wait.
    Gate gate;
    *h.capturePause = gate.holding("stop");

    Controller alice2 = alice;
    alice2.offer(*m.listenerPort(), Offer("S-2", "sdp", SessionMode::control, {}));
    EXPECT_EQ(rejectReason(alice2, "S-2"), "The host is already handling another session");
    EXPECT_TRUE(gate.reached->load());
    EXPECT_EQ(byeReason(alice), "Replaced by a new connection from the same controller");
    EXPECT_EQ(h.sessions->size(), 1u);

    gate.open();
    ASSERT_TRUE(pumpUntil([&] { return !m.isSessionReserved() && !m.activeSession(); }));
    MadeSession again = h.connectSession(alice2, SessionMode::control, "S-3");
    EXPECT_EQ(m.activeSession(), again.session);
}

TEST(HostModelSession, AHelloThatCannotBeSentLeavesTheSessionRunning) {
    ModelHarness h;
    HostModel& m = h.start();
    Gate gate;
    *h.capturePause = gate.holding("start");
    Controller c = h.pairedController(3, "Alice");
    c.offer(*m.listenerPort(), Offer("S-1", "offer-sdp", SessionMode::control, {}));
    auto answer = c.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    ASSERT_TRUE(pumpUntil([&] { return gate.reached->load(); }));
    MadeSession s = h.sessions->back();
    auto ctl = s.connector->remote("ctl");
    ASSERT_TRUE(ctl);
    ctl->acceptSends = false;
    gate.open();

    ASSERT_TRUE(pumpUntil([&] { return sentHello(s) && !m.sessionTasks().empty(); }));
    ctl->acceptSends = true;
    s.connector->receiveControl(rolestest::ping(9));
    ASSERT_TRUE(pumpUntil([&] {
        auto kinds = controlKinds(s);
        return std::find(kinds.begin(), kinds.end(), "pong 9") != kinds.end();
    }));
    EXPECT_EQ(m.activeSession(), s.session);
    EXPECT_EQ(m.statusText(), "Session active with Alice");
}

TEST(HostModelSession, TheAttendedPromptDecidesAndTheRecordIsReadAgainAfterIt) {
    ModelHarness h;
    HostModel& m = h.start();
    PeerPermissions attended = PeerPermissions::defaults();
    attended.attendedOnly = true;
    Controller c = h.pairedController(3, "Alice", attended);

    // Declined.
    c.offer(*m.listenerPort(), Offer("S-1", "sdp", SessionMode::view, {}));
    ASSERT_TRUE(pumpUntil([&] { return h.prompt->asked.size() == 1; }));
    EXPECT_EQ(h.prompt->asked[0], std::make_pair(QString("Alice"), SessionMode::view));
    // A second request while the prompt is open is busy, even from the same controller.
    Controller again = c;
    again.offer(*m.listenerPort(), Offer("S-5", "sdp", SessionMode::view, {}));
    EXPECT_EQ(rejectReason(again, "S-5"), "The host is already handling another session");
    h.prompt->answer = false;
    EXPECT_EQ(rejectReason(c), "The local host user declined the session");
    EXPECT_FALSE(m.isSessionReserved());

    // Allowed, but the view permission was switched off while the prompt was open.
    h.prompt->answer.reset();
    Controller c2 = c;
    c2.offer(*m.listenerPort(), Offer("S-2", "sdp", SessionMode::control, {}));
    ASSERT_TRUE(pumpUntil([&] { return h.prompt->asked.size() == 2; }));
    PeerRecord changed = c.record;
    changed.permissions.view = false;
    h.hostStore->save(changed);
    h.prompt->answer = true;
    EXPECT_EQ(rejectReason(c2, "S-2"), "View permission has been revoked for this controller");

    // Allowed, but revoked meanwhile: closed without a reject.
    changed.permissions.view = true;
    h.hostStore->save(changed);
    h.prompt->answer.reset();
    Controller c3 = c;
    c3.offer(*m.listenerPort(), Offer("S-3", "sdp", SessionMode::control, {}));
    ASSERT_TRUE(pumpUntil([&] { return h.prompt->asked.size() == 3; }));
    h.hostStore->remove(c.record.fingerprint);
    h.prompt->answer = true;
    EXPECT_FALSE(c3.reply(2));
    EXPECT_FALSE(m.isSessionReserved());
    EXPECT_TRUE(h.sessions->empty());
}

TEST(HostModelSession, ChangesDuringTheNegotiationKeepTheSessionFromBecomingActive) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");

    // Revoked after the answer, before the connection: closed once connected, never active.
    *h.holdConnection = true;
    c.offer(*m.listenerPort(), Offer("S-1", "sdp", SessionMode::control, {}));
    auto answer = c.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    h.hostStore->remove(c.record.fingerprint);
    h.openChannels();
    *h.holdConnection = false;
    EXPECT_EQ(byeReason(c), "View permission has been revoked for this controller");
    ASSERT_TRUE(pumpUntil([&] { return !m.isSessionReserved(); }));
    EXPECT_FALSE(m.activeSession());
    EXPECT_TRUE(h.notifier->names.empty());
    EXPECT_TRUE(h.captures->empty());

    // Sharing paused while it negotiates.
    h.hostStore->save(c.record);
    *h.onSessionMade = [&] { m.setSharingPaused(true); };
    Controller again = c;
    again.offer(*m.listenerPort(), Offer("S-2", "sdp", SessionMode::control, {}));
    answer = again.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    EXPECT_EQ(byeReason(again), "sharing was paused by the host user");
    ASSERT_TRUE(pumpUntil([&] { return !m.isSessionReserved(); }));
    EXPECT_FALSE(m.activeSession());
    EXPECT_TRUE(storedEntries(h).empty());
}

TEST(HostModelSession, ASessionRunsOnWhenItsActivityEntryCannotBeWritten) {
    ModelHarness h;
    // A log whose folder is a file: every write fails.
    QFile blocker(h.folder.filePath("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    h.activityLog = std::make_shared<ActivityLog>(h.folder.filePath("blocker/log"));
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");
    MadeSession s = h.connectSession(c);
    ASSERT_TRUE(s.session);
    ASSERT_TRUE(m.startupError());
    EXPECT_TRUE(m.startupError()->startsWith("Could not write the activity log: ")) << m.startupError()->toStdString();
    EXPECT_FALSE(m.activeActivityID());
    ASSERT_TRUE(pumpUntil([&] { return sentHello(s); }));
    c.send(Bye("S-1", "done"));
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));
    EXPECT_EQ(m.statusText(), "Ready");
}

TEST(HostModelSession, TheWatchdogEndsASessionWhoseControllerStoppedResponding) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");
    MadeSession s = h.connectSession(c);

    // A short drop that recovers keeps the session, but the end reason sticks, and the
    // statistics line keeps the last text it had for good.
    ASSERT_TRUE(pumpUntil([&] { return !m.sessionDetail().isEmpty(); }));
    s.pc->fireIce(IceConnectionState::disconnected);
    pumpFor(0.3);
    s.pc->fireIce(IceConnectionState::connected);
    pumpFor(0.05);
    const QString lastLine = m.sessionDetail();
    int lineChanges = 0;
    QObject::connect(&m, &HostModel::sessionDetailChanged, [&] { ++lineChanges; });
    h.captures->front()->frames_ += 100'000;
    pumpFor(0.75);
    ASSERT_EQ(m.activeSession(), s.session);
    EXPECT_EQ(lineChanges, 0);
    EXPECT_EQ(m.sessionDetail(), lastLine);

    // Away for longer than the watchdog: closed by the host.
    s.pc->fireIce(IceConnectionState::disconnected);
    pumpFor(0.05);
    s.pc->fireIce(IceConnectionState::disconnected);
    EXPECT_EQ(byeReason(c), "The controller stopped responding");
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));
    auto entries = storedEntries(h);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].endReason, "The controller stopped responding");
    EXPECT_EQ(m.statusText(), "Ready");

    // A failed connection ends the next one with its message.
    MadeSession s2 = h.connectSession(c, SessionMode::control, "S-2");
    s2.pc->fireIce(IceConnectionState::failed);
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession() && storedEntries(h).size() == 2 && storedEntries(h)[1].endReason; }));
    EXPECT_EQ(storedEntries(h)[1].endReason, "Session failed: ICE connection failed");
}

// Closing from the host ends the signalling first, which a session may report as a
// disconnection on its way to closed: no watchdog starts for it, and the end is logged as the
// controller's close, as ever.
TEST(HostModelSession, AHostSideCloseIsNoSilenceOfTheController) {
    ModelHarness h;
    HostModel& m = h.start([](HostEnvironment& env) { env.timing.watchdogDelay = 0.01; });
    Controller c = h.pairedController(3, "Alice");
    MadeSession s = h.connectSession(c);
    ASSERT_TRUE(pumpUntil([&] { return m.activeActivityID().has_value(); }));
    auto ending = m.endSession(s.session);  // closing from here on
    s.pc->fireIce(IceConnectionState::disconnected);
    EXPECT_EQ(byeReason(c), "session ended by the host user");
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession() && storedEntries(h).size() == 1 && storedEntries(h)[0].endReason; }));
    EXPECT_EQ(storedEntries(h)[0].endReason, "Session closed by the controller");
}

TEST(HostModelSession, ScreenCaptureThatNeverStartsEndsTheSession) {
    // Four failed starts, or an engine that cannot even be made: the session ends either way
    // and the host is free for the next one.
    for (bool engineThrows : {false, true}) {
        SCOPED_TRACE(engineThrows ? "engine cannot be made" : "start fails");
        ModelHarness h;
        int made = 0;
        HostModel& m = h.start([&](HostEnvironment& env) {
            if (engineThrows)
                env.makeCaptureEngine = [&made](std::shared_ptr<HostSession>) -> std::shared_ptr<CaptureEngine> {
                    ++made;
                    throw std::runtime_error("no display to capture");
                };
        });
        *h.captureFailures = 4;
        Controller c = h.pairedController(3, "Alice");
        c.offer(*m.listenerPort(), Offer("S-1", "sdp", SessionMode::control, {}));
        auto answer = c.reply();
        ASSERT_TRUE(answer && answer->get<Answer>());
        EXPECT_EQ(byeReason(c), "Screen capture could not start on the host (no display to capture)");
        ASSERT_TRUE(pumpUntil([&] { return !m.activeSession() && !m.isSessionReserved(); }));
        EXPECT_EQ(engineThrows ? std::size_t(made) : h.captures->size(), 4u);
        ASSERT_TRUE(m.startupError());
        EXPECT_EQ(*m.startupError(), "Screen capture could not start: no display to capture");
        EXPECT_FALSE(sentHello(h.sessions->front()));
        EXPECT_FALSE(m.displayKeepAwake()->holding());
    }
}

TEST(HostModelSession, ASessionThatEndsWhileItStartsGetsNoCaptureNorLoops) {
    // Finished by the model during the pause between capture starts, or during a start that
    // then succeeds; or closed by the controller's bye during the pause.
    enum class End { finishedInPause, finishedInStart, byeInPause };
    for (End end : {End::finishedInPause, End::finishedInStart, End::byeInPause}) {
        SCOPED_TRACE(static_cast<int>(end));
        ModelHarness h;
        Gate gate;
        HostModel& m = h.start([](HostEnvironment& env) { env.timing.captureRetryPause = 0.5; });
        *h.captureFailures = end == End::byeInPause ? 4 : end == End::finishedInPause ? 1 : 0;
        if (end == End::finishedInStart) *h.capturePause = gate.holding("start");
        Controller c = h.pairedController(3, "Alice");
        c.offer(*m.listenerPort(), Offer("S-1", "sdp", SessionMode::control, {}));
        auto answer = c.reply();
        ASSERT_TRUE(answer && answer->get<Answer>());
        ASSERT_TRUE(pumpUntil([&] {
            if (end == End::finishedInStart) return gate.reached->load();
            return h.captureFailures->load() == (end == End::byeInPause ? 3 : 0);
        }));
        auto session = h.sessions->back().session;
        if (end == End::byeInPause) {
            c.send(Bye("S-1", "done"));
        } else {
            spawn(&m, [&m, session]() -> QCoro::Task<> { co_await m.finishSession(session, "Session failed: gone"); });
            ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));
            gate.open();
        }
        pumpFor(0.8);
        ASSERT_TRUE(pumpUntil([&] { return !m.activeSession() && !storedEntries(h).empty() && storedEntries(h)[0].endReason; }));
        EXPECT_EQ(*storedEntries(h)[0].endReason,
                  end == End::byeInPause ? "Session closed by the controller" : "Session failed: gone");
        EXPECT_EQ(h.captures->size(), 1u);
        EXPECT_FALSE(m.captureEngine());
        EXPECT_TRUE(m.sessionTasks().empty());
        EXPECT_FALSE(m.startupError()) << m.startupError()->toStdString();
        EXPECT_FALSE(m.displayKeepAwake()->holding());
        // The engine that started after the end was stopped once more.
        if (end == End::finishedInStart) {
            EXPECT_EQ(*h.captureStops, 2);
        }
    }
}

TEST(HostModelSession, AnEntryWrittenAfterItsSessionFinishedIsClosedAtOnce) {
    ModelHarness h;
    HostModel& m = h.start();
    Gate gate;
    m.activityQueue().run([f = gate.future] { f.wait_for(std::chrono::seconds(10)); });
    Controller c = h.pairedController(3, "Alice");
    c.offer(*m.listenerPort(), Offer("S-1", "sdp", SessionMode::control, {}));
    auto answer = c.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    ASSERT_TRUE(pumpUntil([&] { return m.activeSession() != nullptr; }));
    auto session = m.activeSession();
    spawn(&m, [&m, session]() -> QCoro::Task<> { co_await m.finishSession(session, "The controller stopped responding"); });
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));
    gate.open();
    ASSERT_TRUE(pumpUntil([&] { return m.activityEntries().size() == 1 && m.activityEntries()[0].endReason; }));
    EXPECT_EQ(*m.activityEntries()[0].endReason, "The controller stopped responding");
    EXPECT_NE(m.lastSeenText(c.record), "Active now");
    EXPECT_FALSE(m.activeActivityID());
    // Nor does the rest of the start run for it.
    pumpFor(0.2);
    EXPECT_TRUE(h.captures->empty());
    EXPECT_FALSE(m.displayKeepAwake()->holding());
}

TEST(HostModelSession, ACaptureThatDiesClosesTheSessionFromTheHost) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");
    MadeSession s = h.connectSession(c);
    ASSERT_EQ(h.captures->size(), 1u);
    ASSERT_TRUE(h.captures->front()->stopped);
    std::thread([engine = h.captures->front()] { engine->stopped("Screen capture stopped on the host"); }).join();
    EXPECT_EQ(byeReason(c), "Screen capture stopped on the host");
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));
    ASSERT_TRUE(pumpUntil([&] { return !storedEntries(h).empty() && storedEntries(h)[0].endReason; }));
    EXPECT_EQ(*storedEntries(h)[0].endReason, "Session closed by the controller");
}

TEST(HostModelSession, AHelloOfAnotherMajorVersionEndsTheSession) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");
    MadeSession s = h.connectSession(c);
    // Major 0 passes whatever else it says.
    Quillmate_V0_Envelope hello;
    hello.mutable_hello()->set_protocol_major(0);
    hello.mutable_hello()->set_protocol_minor(7);
    hello.mutable_hello()->add_features("future");
    s.connector->receiveControl(hello);
    s.connector->receiveControl(rolestest::keyEvent(4));
    ASSERT_TRUE(pumpUntil([&] { return h.sink->count() == 1; }));
    EXPECT_EQ(m.activeSession(), s.session);
    // Major 1 ends it, and the key right behind it is never injected.
    hello.mutable_hello()->set_protocol_major(1);
    s.connector->receiveControl(hello);
    s.connector->receiveControl(rolestest::keyEvent(5));
    EXPECT_EQ(byeReason(c), "unsupported protocol version 1");
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));
    EXPECT_EQ(h.sink->count(), 1u);
}

TEST(HostModelSession, InputIsAppliedInOrderWithoutWaitingForTheMainThread) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");
    MadeSession s = h.connectSession(c);
    ASSERT_TRUE(pumpUntil([&] { return sentHello(s); }));
    // The main thread handles nothing from here on while keys and pointer moves pour in.
    constexpr std::size_t flood = 1000;
    for (std::size_t i = 0; i < flood; ++i)
        s.connector->receiveControl(i % 2 ? rolestest::keyEvent(4 + i % 20) : rolestest::pointerEvent(float(i) / flood));
    s.connector->receiveControl(rolestest::ping(77));
    for (int i = 0; i < 1000 && (h.sink->count() < flood || controlKinds(s).back() != "pong 77"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(controlKinds(s).back(), "pong 77");
    std::lock_guard lock(h.sink->mutex);
    ASSERT_EQ(h.sink->events.size(), flood);
    for (std::size_t i = 0; i < flood; ++i) {
        if (i % 2)
            EXPECT_EQ(std::get<KeyboardEvent>(h.sink->events[i]).keycode, *xKeycode(4 + i % 20)) << i;
        else
            EXPECT_EQ(std::get<MouseEvent>(h.sink->events[i]).x, 1920 * double(float(i) / flood)) << i;
    }
    EXPECT_EQ(m.activeSession(), s.session);
}

TEST(HostModelSession, PausingPermissionChangesAndRevokingCloseTheActiveSession) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");
    MadeSession s = h.connectSession(c);
    // A change for another controller closes nothing.
    Controller other = h.pairedController(5, "Bob");
    m.setPermission(PermissionFlag::files, true, other.record);
    pumpFor(0.1);
    EXPECT_EQ(m.activeSession(), s.session);
    // Granting counts as a change too.
    m.setPermission(PermissionFlag::files, true, c.record);
    EXPECT_TRUE(h.hostStore->peer(c.record.fingerprint)->permissions.files);
    EXPECT_EQ(byeReason(c), "permissions changed by the host user");
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));

    MadeSession s2 = h.connectSession(c, SessionMode::control, "S-2");
    m.revoke(c.record);
    EXPECT_FALSE(h.hostStore->peer(c.record.fingerprint));
    EXPECT_EQ(byeReason(c), "controller revoked by the host user");
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }));
    EXPECT_EQ(m.peers().size(), 1u);

    MadeSession s3 = h.connectSession(other, SessionMode::view, "S-3");
    m.setSharingPaused(true);
    EXPECT_EQ(m.statusText(), "Paused");
    EXPECT_EQ(byeReason(other), "sharing paused by the host user");
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession() && !m.advertiserReady(); }));
    EXPECT_FALSE(m.listenerPort());
    // Resuming, even right after the pause, ends with a listening advertiser.
    m.setSharingPaused(false);
    m.setSharingPaused(true);
    m.setSharingPaused(false);
    ASSERT_TRUE(pumpUntil([&] { return m.advertiserReady() && m.listenerPort(); }));
    pumpFor(0.2);
    EXPECT_TRUE(m.advertiserReady());
    // The code on show names the new port.
    ASSERT_TRUE(pumpUntil([&] {
        return m.pairingLink()->endpoints == std::vector<std::string>{"127.0.0.1:" + std::to_string(*m.listenerPort())};
    }));
}

TEST(HostModelSession, QuittingEndsTheActiveSessionInOrder) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");
    MadeSession s = h.connectSession(c);
    ASSERT_TRUE(pumpUntil([&] { return m.activeActivityID().has_value(); }));
    bool done = false;
    spawn(&m, [&]() -> QCoro::Task<> {
        co_await m.prepareToQuit();
        done = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    EXPECT_FALSE(m.activeSession());
    EXPECT_GE(h.sink->releases.load(), 1);
    auto entries = storedEntries(h);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].endedAt);
    // Quitting is the host user's doing, in the log as on the wire.
    EXPECT_EQ(entries[0].endReason, std::optional<QString>(QStringLiteral("session ended by the host user")));
    EXPECT_EQ(byeReason(c), "session ended by the host user");
}

TEST(HostModelConnections, FirstFramesThatAreNeitherPairingNorEnvelopeAreRejected) {
    ModelHarness h;
    HostModel& m = h.start();
    auto channel = FrameChannel::connectLocal(*m.listenerPort());
    channel->sendJSON(json::Json{{"type", "Mystery"}});
    ASSERT_TRUE(pumpUntil([&] { return m.connectionMessage().has_value(); }));
    EXPECT_TRUE(m.connectionMessage()->startsWith("Rejected a LAN connection: ")) << m.connectionMessage()->toStdString();

    // An envelope from a stranger.
    Controller stranger{quill::testing::makeIdentity(9), quill::testing::recordOf(quill::testing::makeIdentity(9), "X"),
                        quill::testing::recordOf(h.hostIdentity, "Test Host"), nullptr, nullptr};
    stranger.store = std::make_shared<InMemoryPeerStore>(std::vector{stranger.hostRecord});
    stranger.offer(*m.listenerPort(), Offer("S-1", "sdp", SessionMode::view, {}));
    ASSERT_TRUE(pumpUntil([&] {
        return m.connectionMessage() ==
               QString("Rejected a LAN connection: The envelope comes from a device that is not paired.");
    })) << (m.connectionMessage() ? m.connectionMessage()->toStdString() : "none");

    // A pairing message other than the two openers is closed without a word.
    const auto before = m.connectionMessage();
    auto pairingChannel = FrameChannel::connectLocal(*m.listenerPort());
    pairingChannel->sendJSON(PairingMessage(PairCancel("no")).toJSON());
    pumpFor(0.2);
    EXPECT_EQ(m.connectionMessage(), before);
    EXPECT_EQ(h.windows->shows["pairing"], 0);
}

TEST(HostModelConnections, AnIdleConnectionIsClosedAfterTheFirstFrameLimit) {
    ModelHarness h;
    HostModel& m = h.start();
    auto channel = FrameChannel::connectLocal(*m.listenerPort());
    auto f = std::async(std::launch::async, [channel] {
        try {
            return !channel->nextFrame(5).has_value();
        } catch (...) {
            return true;
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 4));
    EXPECT_TRUE(f.get());
    EXPECT_FALSE(m.connectionMessage());
}

TEST(HostModelPairing, AQRPairingStoresTheControllerAndIssuesANewCode) {
    ModelHarness h;
    HostModel& m = h.start();
    const PairingLink shown = *m.pairingLink();
    const auto shownImage = m.pairingQRCode();
    DeviceIdentity phone = quill::testing::makeIdentity(11);
    auto phoneStore = std::make_shared<InMemoryPeerStore>();
    auto channel = FrameChannel::connectLocal(*m.listenerPort());
    auto f = std::async(std::launch::async, [&] {
        ControllerPairing pairing(phone, phoneStore, "Dana's phone");
        return pairing.startLink(shown, "Test Host", *channel);
    });
    // The host user confirms in the pairing window.
    ASSERT_TRUE(pumpUntil([&] { return m.isAwaitingPairingConfirmation(); }));
    EXPECT_EQ(m.pendingPairingName(), "Dana's phone");
    bool confirmed = false;
    spawn(&m, [&]() -> QCoro::Task<> {
        co_await m.confirmComparison(m.pairing());
        confirmed = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return confirmed; }));
    ASSERT_TRUE(pumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_EQ(f.get().fingerprint, h.hostIdentity.fingerprint());
    ASSERT_TRUE(pumpUntil([&] { return m.pairingStatusMessage().has_value(); }));
    EXPECT_EQ(*m.pairingStatusMessage(), "Paired Dana's phone.");
    EXPECT_EQ(m.peers().size(), 1u);
    EXPECT_NE(m.pairingLink()->secret, shown.secret);
    EXPECT_NE(m.pairingQRCode(), shownImage);
    EXPECT_EQ(m.pendingPairingName(), "A controller");
    EXPECT_TRUE(h.windows->isVisible("pairing"));

    // The used code fails, refused before the model hears of it; the code on show stays.
    const PairingLink current = *m.pairingLink();
    auto channel2 = FrameChannel::connectLocal(*m.listenerPort());
    auto g = std::async(std::launch::async, [&] {
        try {
            ControllerPairing pairing(quill::testing::makeIdentity(13), std::make_shared<InMemoryPeerStore>(), "Eve");
            pairing.startLink(shown, "Test Host", *channel2);
            return false;
        } catch (...) {
            return true;
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return g.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_TRUE(g.get());
    pumpFor(0.1);
    EXPECT_EQ(*m.pairingStatusMessage(), "Paired Dana's phone.");
    EXPECT_EQ(*m.pairingLink(), current);
    EXPECT_EQ(m.peers().size(), 1u);
}

TEST(HostModelPairing, AQRPairingTheHostUserRefusesReplacesTheSpentCode) {
    ModelHarness h;
    HostModel& m = h.start();
    const PairingLink shown = *m.pairingLink();
    const auto shownImage = m.pairingQRCode();
    const QString shownURL = *m.pairingURL();
    auto channel = FrameChannel::connectLocal(*m.listenerPort());
    auto f = std::async(std::launch::async, [&] {
        try {
            ControllerPairing pairing(quill::testing::makeIdentity(11), std::make_shared<InMemoryPeerStore>(), "Dana");
            pairing.startLink(shown, "Test Host", *channel);
            return true;
        } catch (...) {
            return false;
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return m.isAwaitingPairingConfirmation(); }));
    bool rejected = false;
    spawn(&m, [&]() -> QCoro::Task<> {
        co_await m.rejectComparison(m.pairing(), m.comparisonCode());  // none: a QR request
        rejected = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return rejected; }));
    ASSERT_TRUE(pumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_FALSE(f.get());
    ASSERT_TRUE(pumpUntil([&] { return m.pairingStatusMessage().has_value(); }));
    EXPECT_TRUE(m.pairingStatusMessage()->startsWith("Pairing failed: "));
    // The refused request spent the code: a new one, the one the host accepts, is on show.
    ASSERT_TRUE(pumpUntil([&] { return *m.pairingLink() != shown; }));
    EXPECT_NE(m.pairingLink()->secret, shown.secret);
    EXPECT_NE(*m.pairingURL(), shownURL);
    EXPECT_NE(m.pairingQRCode(), shownImage);
    EXPECT_EQ(m.pairing()->activeLink(), m.pairingLink());
    EXPECT_TRUE(m.peers().empty());

    // A comparison the host user refuses spends no code: the one on show stays.
    const PairingLink next = *m.pairingLink();
    auto channel2 = FrameChannel::connectLocal(*m.listenerPort());
    auto g = std::async(std::launch::async, [&] {
        try {
            ControllerPairing pairing(quill::testing::makeIdentity(12), std::make_shared<InMemoryPeerStore>(), "Eve");
            pairing.startComparison(*channel2);
            return true;
        } catch (...) {
            return false;
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return m.isAwaitingPairingConfirmation() && m.comparisonCode(); }));
    rejected = false;
    spawn(&m, [&]() -> QCoro::Task<> {
        co_await m.rejectComparison(m.pairing());
        rejected = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return rejected; }));
    ASSERT_TRUE(pumpUntil([&] { return g.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_FALSE(g.get());
    ASSERT_TRUE(pumpUntil([&] { return m.pendingPairingName() == "A controller" && !m.isAwaitingPairingConfirmation(); }));
    pumpFor(0.2);
    EXPECT_EQ(*m.pairingLink(), next);
}

// A code spent by a request whose exchange never ran (sharing was paused before the main thread
// took it) is replaced by the next tick all the same. The addresses never change here, so nothing
// else would replace it.
TEST(HostModelPairing, ACodeSpentByARequestDroppedBeforeItRanIsReplacedByTheNextTick) {
    ModelHarness h;
    HostModel& m = h.start([](HostEnvironment& env) { env.localAddresses = nullptr; });
    const PairingLink shown = *m.pairingLink();
    auto channel = FrameChannel::connectLocal(*m.listenerPort());
    auto f = std::async(std::launch::async, [&] {
        try {
            ControllerPairing(quill::testing::makeIdentity(11), std::make_shared<InMemoryPeerStore>(), "Dana")
                .startLink(shown, "Test Host", *channel);
            return true;
        } catch (...) {
            return false;
        }
    });
    // Admitted (and so spent) off the main thread; the main thread has not run it yet.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m.pairing()->activeLink() == shown && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(m.pairing()->activeLink(), shown);
    EXPECT_EQ(*m.pairingLink(), shown);
    m.setSharingPaused(true);
    ASSERT_TRUE(pumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_FALSE(f.get());
    m.setSharingPaused(false);
    ASSERT_TRUE(pumpUntil([&] { return *m.pairingLink() != shown; }, 5));
    EXPECT_EQ(m.pairing()->activeLink(), m.pairingLink());
    EXPECT_FALSE(m.isAwaitingPairingConfirmation());
}

TEST(HostModelPairing, ASecondPairingDuringAComparisonLeavesTheWaitingOneAlone) {
    ModelHarness h;
    HostModel& m = h.start();
    const PairingLink shown = *m.pairingLink();
    DeviceIdentity phone = quill::testing::makeIdentity(11);
    auto channel = FrameChannel::connectLocal(*m.listenerPort());
    auto first = std::async(std::launch::async, [&] {
        try {
            ControllerPairing pairing(phone, std::make_shared<InMemoryPeerStore>(), "Dana");
            pairing.startComparison(*channel);
            return std::string("paired");
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return m.isAwaitingPairingConfirmation() && m.comparisonCode(); }));
    EXPECT_EQ(m.pendingPairingName(), "Dana");
    EXPECT_EQ(m.comparisonCode()->size(), 7);
    EXPECT_EQ(h.windows->shows["pairing"], 2);

    // Another device tries meanwhile: refused, and the waiting comparison keeps its name.
    DeviceIdentity intruder = quill::testing::makeIdentity(13);
    auto channel2 = FrameChannel::connectLocal(*m.listenerPort());
    channel2->sendJSON(PairingMessage(PairStart(intruder.signingPublicKey(), intruder.agreementPublicKey(), "Mallory")).toJSON());
    ASSERT_TRUE(pumpUntil([&] { return m.pairingStatusMessage().has_value(); }));
    EXPECT_TRUE(m.pairingStatusMessage()->startsWith("Pairing failed: "));
    EXPECT_EQ(m.pendingPairingName(), "Dana");
    EXPECT_TRUE(m.isAwaitingPairingConfirmation());
    EXPECT_EQ(*m.pairingLink(), shown);

    // Pausing sharing refuses the waiting comparison.
    m.setSharingPaused(true);
    ASSERT_TRUE(pumpUntil([&] { return first.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_NE(first.get(), "paired");
    ASSERT_TRUE(pumpUntil([&] { return !m.isAwaitingPairingConfirmation(); }));
    EXPECT_EQ(m.pendingPairingName(), "A controller");
    EXPECT_TRUE(m.peers().empty());
    EXPECT_TRUE(h.windows->isVisible("pairing"));
}

// The window says why a comparison ended without the host user's yes; its controller hears the
// same cancel however it ended.
TEST(HostModelPairing, AComparisonEndedWithoutAYesSaysWhyInTheWindowOnly) {
    const struct {
        const char* name;
        double decisionLimit;
        std::function<void(HostModel&)> end;  // none: nobody decides
        const char* shown;
    } cases[] = {
        {"the host user refuses", 60, [](HostModel& m) { spawn(&m, [&m]() -> QCoro::Task<> { co_await m.rejectComparison(m.pairing()); }); },
         "Pairing failed: pairing was cancelled"},
        {"sharing is paused", 60, [](HostModel& m) { m.setSharingPaused(true); }, "Pairing failed: pairing was cancelled"},
        {"the host quits", 60, [](HostModel& m) { spawn(&m, [&m]() -> QCoro::Task<> { co_await m.prepareToQuit(); }); },
         "Pairing failed: pairing was cancelled"},
        {"nobody decides", 1, nullptr, "Pairing failed: no decision within 1 second"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness h;
        HostModel& m = h.start([&](HostEnvironment& env) { env.pairingDecisionLimit = c.decisionLimit; });
        auto channel = FrameChannel::connectLocal(*m.listenerPort());
        auto controller = std::async(std::launch::async, [&] {
            try {
                ControllerPairing(quill::testing::makeIdentity(11), std::make_shared<InMemoryPeerStore>(), "Dana").startComparison(*channel);
                return std::string("paired");
            } catch (const PairingError& e) {
                return e.description();
            }
        });
        ASSERT_TRUE(pumpUntil([&] { return m.isAwaitingPairingConfirmation(); }, 10));
        if (c.end) c.end(m);
        ASSERT_TRUE(pumpUntil([&] { return controller.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15));
        EXPECT_EQ(controller.get(), "the other device cancelled: pairing failed");
        ASSERT_TRUE(pumpUntil([&] { return m.pairingStatusMessage().has_value(); }));
        EXPECT_EQ(m.pairingStatusMessage()->toStdString(), c.shown);
        EXPECT_TRUE(m.peers().empty());
    }
}

TEST(HostModelPairing, AnAnswerCountsOnlyForTheCodeOnShow) {
    ModelHarness h;
    HostModel& m = h.start();
    ControllerPairing controller(quill::testing::makeIdentity(11), std::make_shared<InMemoryPeerStore>(), "Dana");
    auto channel = FrameChannel::connectLocal(*m.listenerPort());
    auto paired = std::async(std::launch::async, [&] { return controller.startComparison(*channel); });
    ASSERT_TRUE(pumpUntil([&] { return m.isAwaitingPairingConfirmation() && m.comparisonCode(); }));
    ASSERT_TRUE(pumpUntil([&] { return controller.isAwaitingConfirmation(); }));
    controller.confirmComparison();
    auto answer = [&](bool confirm, std::optional<QString> shown) {
        bool done = false;
        spawn(&m, [&]() -> QCoro::Task<> {
            if (confirm)
                co_await m.confirmComparison(m.pairing(), shown);
            else
                co_await m.rejectComparison(m.pairing(), shown);
            done = true;
        });
        EXPECT_TRUE(pumpUntil([&] { return done; }));
    };
    const QString code = *m.comparisonCode();
    QString other = code;
    other[0] = QChar('0' + (code[0].digitValue() + 1) % 10);
    // Another exchange's code, no code (as a QR request shows) or a text that is no code
    // confirm and refuse nothing.
    for (bool confirm : {true, false})
        for (const auto& shown : {std::optional<QString>(other), std::optional<QString>(), std::optional<QString>("12")}) {
            answer(confirm, shown);
            pumpFor(0.2);
            EXPECT_TRUE(m.pairing()->isAwaitingConfirmation()) << confirm;
        }
    answer(true, code);
    ASSERT_TRUE(pumpUntil([&] { return paired.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_EQ(paired.get().fingerprint, h.hostIdentity.fingerprint());
}

// Quitting waits for the pairing exchanges it ends, and no longer than their last step takes,
// whatever they are doing when it comes.
TEST(HostModelPairing, QuittingEndsEveryExchangeAtOnce) {
    using namespace std::chrono;
    const struct {
        const char* name;
        bool controllerConfirms;  // else the first frame is left for the main thread to take
        bool hostConfirms;
        bool hostWaitsForTheController;  // quit once the host sent its accept and reads the confirm
    } cases[] = {
        {"a request handed on and not taken yet", false, false, false},
        {"the host user confirms as the host quits", true, true, false},
        {"the host user confirmed, the controller's user has not", false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness h;
        HostModel& m = h.start([](HostEnvironment& env) { env.timing.quitBound = 10; });
        const DeviceIdentity phone = quill::testing::makeIdentity(11);
        ControllerPairing controller(phone, std::make_shared<InMemoryPeerStore>(), "Dana");
        auto channel = FrameChannel::connectLocal(*m.listenerPort());
        std::future<PeerRecord> result;
        if (c.hostConfirms) {
            result = std::async(std::launch::async, [&] { return controller.startComparison(*channel); });
            ASSERT_TRUE(pumpUntil([&] { return m.pairing()->isAwaitingConfirmation() && controller.isAwaitingConfirmation(); }));
            if (c.controllerConfirms) controller.confirmComparison();
            m.pairing()->confirmComparison();
            if (c.hostWaitsForTheController) {
                ASSERT_TRUE(pumpUntil([&] { return !m.pairing()->isAwaitingConfirmation(); }));
            }
        } else {
            channel->sendJSON(PairingMessage(PairStart(phone.signingPublicKey(), phone.agreementPublicKey(), "Dana")).toJSON());
            // The main thread does not run meanwhile: the request waits there, handed on.
            std::this_thread::sleep_for(500ms);
        }
        // Started at once, before anything the main thread has queued.
        bool done = false;
        auto quit = [&]() -> QCoro::Task<> {
            co_await m.prepareToQuit();
            done = true;
        };
        const auto began = steady_clock::now();
        auto quitting = quit();
        ASSERT_TRUE(pumpUntil([&] { return done; }, 15));
        EXPECT_LT(steady_clock::now() - began, 2s);
        channel->close();
        if (result.valid()) result.wait();
    }
}

TEST(HostModelPairing, PairingWhilePausedIsClosedSilently) {
    ModelHarness h;
    HostModel& m = h.start();
    // Keep a connection open from before the pause.
    auto channel = FrameChannel::connectLocal(*m.listenerPort());
    pumpFor(0.05);
    m.setSharingPaused(true);
    ASSERT_TRUE(pumpUntil([&] { return !m.advertiserReady(); }));
    DeviceIdentity phone = quill::testing::makeIdentity(11);
    channel->sendJSON(PairingMessage(PairStart(phone.signingPublicKey(), phone.agreementPublicKey(), "Dana")).toJSON());
    pumpFor(0.2);
    EXPECT_EQ(m.pendingPairingName(), "A controller");
    EXPECT_EQ(h.windows->shows["pairing"], 0);
}

TEST(HostModelPairing, TheLinkIsReplacedWhenItExpires) {
    ModelHarness h;
    auto clock = std::make_shared<ManualWallClock>(std::chrono::system_clock::now());
    HostModel& m = h.start([clock](HostEnvironment& env) { env.clock = clock; });
    const PairingLink first = *m.pairingLink();
    clock->advance(std::chrono::milliseconds(299'900));
    ASSERT_TRUE(pumpUntil([&] { return m.pairingSecondsRemaining() == 1; }));
    pumpFor(0.15);  // a few more ticks, none of which may replace it
    EXPECT_EQ(*m.pairingLink(), first);
    clock->advance(std::chrono::milliseconds(100));
    ASSERT_TRUE(pumpUntil([&] { return *m.pairingLink() != first; }));
    EXPECT_EQ(m.pairingSecondsRemaining(), 300);
}

TEST(HostModelActivity, EntriesAreShownNewestFirstAndNameTheLastSession) {
    ModelHarness h;
    const auto t0 = std::chrono::system_clock::from_time_t(1'800'000'000);
    auto entry = [&](const char* id, const char* name, const QString& fp, int minutes, bool ended) {
        ActivityEntry e;
        e.id = QUuid(QString(id));
        e.peerName = name;
        e.fingerprint = fp;
        e.startedAt = t0 + std::chrono::minutes(minutes);
        if (ended) {
            e.endedAt = e.startedAt + std::chrono::minutes(1);
            e.endReason = "Connection closed";
        }
        e.mode = "view";
        e.remoteAddress = "10.0.0.2:5000";
        return e;
    };
    Controller alice = h.pairedController(3, "Alice");
    Controller bob = h.pairedController(5, "Bob");
    const QString a = QString::fromStdString(Base64URL::encode(alice.record.fingerprint));
    const QString b = QString::fromStdString(Base64URL::encode(bob.record.fingerprint));
    // File order: two entries with the same start keep it.
    h.activityLog->write({entry("{00000000-0000-0000-0000-000000000001}", "Alice", a, 0, true),
                          entry("{00000000-0000-0000-0000-000000000002}", "Bob", b, 5, false),
                          entry("{00000000-0000-0000-0000-000000000003}", "Alice", a, 5, true),
                          entry("{00000000-0000-0000-0000-000000000004}", "Bob", b, 1, true)});
    h.activityLog = std::make_shared<ActivityLog>(h.folder.path());  // read back from the file
    QFile file(h.activityLog->filePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray stored = file.readAll();
    auto clock = std::make_shared<ManualWallClock>(t0 + std::chrono::hours(1));
    HostModel& m = h.start([clock](HostEnvironment& env) { env.clock = clock; });
    std::vector<QString> order;
    for (const auto& e : m.activityEntries()) order.push_back(e.id.toString(QUuid::WithoutBraces).right(1));
    EXPECT_EQ(order, (std::vector<QString>{"2", "3", "4", "1"}));
    // Bob's newest entry was left open by an earlier run: no session of it runs now, and its
    // end is unknown, so it is shown as ended by the date it started and nothing is written.
    file.seek(0);
    EXPECT_EQ(file.readAll(), stored);
    EXPECT_FALSE(m.isActivityRunning(m.activityEntries()[0]));
    EXPECT_EQ(m.lastSeenText(bob.record), abbreviatedDateAndShortTime(t0 + std::chrono::minutes(5)));
    const QString aliceSeen = m.lastSeenText(alice.record);
    EXPECT_NE(aliceSeen, "Never");
    EXPECT_NE(aliceSeen, "Active now");
    // The start of her newest session (2027-01-15 08:05 UTC), in the locale's own date order,
    // to the minute (the C locale's short time has seconds).
    for (auto [name, pattern] : {std::pair{"de_DE", "^1[45]\\. Jan\\. 2027, \\d\\d:\\d\\d$"},
                                 std::pair{"en_US", "^Jan 1[45], 2027, \\d\\d?:\\d\\d [AP]M$"},
                                 std::pair{"C", "^1[45] Jan 2027, \\d\\d:\\d\\d$"}}) {
        QLocale::setDefault(QLocale(name));
        const QString seen = m.lastSeenText(alice.record);
        EXPECT_TRUE(QRegularExpression(pattern).match(seen).hasMatch()) << seen.toStdString();
    }
    QLocale::setDefault(QLocale::system());
    Controller carol = h.pairedController(7, "Carol");
    EXPECT_EQ(m.lastSeenText(carol.record), "Never");
}

TEST(HostModelActivity, RevealShowsTheLogFileAndCreatesItsFolder) {
    // A log kept elsewhere than the default folder, which does not exist yet.
    ModelHarness h;
    const QString folder = h.folder.filePath("kept/elsewhere");
    h.activityLog = std::make_shared<ActivityLog>(folder);
    HostModel& m = h.start();
    ASSERT_FALSE(QDir(folder).exists());
    m.revealActivityLog();
    EXPECT_TRUE(QDir(folder).exists());
    EXPECT_EQ(h.workspace->revealed, std::vector<QString>{folder + "/activity.jsonl"});
}

TEST(HostModelActivity, APeerStoreThatCannotBeReadKeepsTheListAndSaysSo) {
    class FailingStore : public PeerStore {
    public:
        void save(const PeerRecord&) override { throw KeyStoreError::keychain(-25308); }
        std::vector<PeerRecord> all() const override { throw KeyStoreError::invalidData(); }
        std::optional<PeerRecord> peer(ByteView) const override { throw KeyStoreError::invalidData(); }
        void remove(ByteView) override { throw KeyStoreError::keychain(-25308); }
    };
    ModelHarness h;
    HostModel& m = h.start([](HostEnvironment& env) { env.peerStore = std::make_shared<FailingStore>(); });
    // The advertiser's start, which comes later, does not hide the failure.
    ASSERT_TRUE(m.advertiserReady());
    ASSERT_TRUE(m.startupError());
    EXPECT_TRUE(m.startupError()->startsWith("Could not read paired devices: "));
    EXPECT_TRUE(m.peers().empty());
    PeerRecord record = quill::testing::recordOf(quill::testing::makeIdentity(3), "Alice");
    m.setPermission(PermissionFlag::control, false, record);
    EXPECT_TRUE(m.startupError()->startsWith("Could not update permissions: "));
    m.revoke(record);
    EXPECT_TRUE(m.startupError()->startsWith("Could not revoke Alice: "));
}

TEST(HostModelSharing, AFailedAdvertiserStartIsShownUntilAResumeSucceeds) {
    ModelHarness h;
    auto calls = std::make_shared<int>(0);
    HostModel& m = h.start([&, calls](HostEnvironment& env) {
        auto real = env.makeAdvertiser;
        env.makeAdvertiser = [real, calls](std::string name, Bytes fp, HostAdvertiser::ConnectionHandler handler) {
            if ((*calls)++ == 0) throw DiscoveryError::network("Address family not supported");
            return real(std::move(name), std::move(fp), std::move(handler));
        };
    });
    ASSERT_TRUE(m.startupError());
    EXPECT_EQ(*m.startupError(), "Could not start LAN discovery: " +
                                     QString::fromStdString(DiscoveryError::network("Address family not supported").description()));
    EXPECT_FALSE(m.advertiserReady());
    // Still issued, without endpoints.
    ASSERT_TRUE(m.pairingLink());
    EXPECT_TRUE(m.pairingLink()->endpoints.empty());
    EXPECT_EQ(m.pairingURL()->contains("ep="), false);
    EXPECT_EQ(m.statusText(), "Starting");

    m.setSharingPaused(true);
    m.setSharingPaused(true);  // the same value: nothing
    ASSERT_TRUE(pumpUntil([&] { return m.sharingPaused(); }));
    m.setSharingPaused(false);
    ASSERT_TRUE(pumpUntil([&] { return m.advertiserReady(); }));
    EXPECT_FALSE(m.startupError());
    EXPECT_EQ(m.statusText(), "Ready");
    EXPECT_EQ(*calls, 2);

    // Listening without being published: the discovery problem is shown until it is over.
    h.network->setDaemonRunning(false);
    ASSERT_TRUE(pumpUntil([&] { return m.startupError().has_value(); }));
    const QString discovery = "Could not start LAN discovery: Daemon not running";
    EXPECT_EQ(m.startupError(), discovery);

    // A message about one connection or session is shown beside it, not in its place, and
    // lasts until a session is admitted or sharing resumes.
    auto list = h.sessions;
    *h.onSessionMade = [list] {
        if (list->size() == 1) list->back().pc->setRemoteError = "unusable offer";
    };
    Controller c = h.pairedController(3, "Alice");
    c.connect(*m.listenerPort());
    c.send(Offer("S-1", "sdp", SessionMode::control, {}));
    ASSERT_TRUE(pumpUntil([&] { return m.connectionMessage().has_value(); }));
    EXPECT_TRUE(m.connectionMessage()->startsWith("Session setup failed: ")) << m.connectionMessage()->toStdString();
    EXPECT_EQ(m.statusDetail(), m.connectionMessage());
    EXPECT_EQ(m.startupError(), discovery);

    MadeSession next = h.connectSession(c, SessionMode::control, "S-2");
    ASSERT_TRUE(next.session);
    EXPECT_FALSE(m.connectionMessage());
    EXPECT_EQ(m.startupError(), discovery);

    auto stray = FrameChannel::connectLocal(*m.listenerPort());
    stray->send(toBytes("not json"));
    ASSERT_TRUE(pumpUntil([&] { return m.connectionMessage().has_value(); }));
    EXPECT_TRUE(m.connectionMessage()->startsWith("Rejected a LAN connection: "));
    m.setSharingPaused(true);
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession() && !m.advertiserReady(); }));
    EXPECT_TRUE(m.connectionMessage());
    m.setSharingPaused(false);
    ASSERT_TRUE(pumpUntil([&] { return m.advertiserReady(); }));
    EXPECT_FALSE(m.connectionMessage());
    EXPECT_EQ(m.statusDetail(), std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return m.startupError() == discovery; }));
    h.network->setDaemonRunning(true);
    ASSERT_TRUE(pumpUntil([&] { return !m.startupError(); }));
}

TEST(HostModelSharing, AResumeWhileADiscardedStartIsStoppingEndsWithAnAdvertiser) {
    ModelHarness h;
    auto script = std::make_shared<ListenerScript>();
    HostModel& m = h.start([&](HostEnvironment& env) {
        env.makeAdvertiser = [net = h.network, script](std::string name, Bytes fp, HostAdvertiser::ConnectionHandler handler) {
            HostAdvertiser::Dependencies deps;
            deps.publisher = net->publisherFactory();
            deps.listener = [script] { return script->make(); };
            return std::make_shared<HostAdvertiser>(std::move(name), std::move(fp), std::move(handler), deps);
        };
    });
    ASSERT_TRUE(m.advertiserReady());
    m.setSharingPaused(true);
    ASSERT_TRUE(pumpUntil([&] { return !m.advertiser() && !m.advertiserReady(); }));

    // A resume starts an advertiser whose listener is slow; a pause comes meanwhile.
    script->set(true);
    m.setSharingPaused(false);
    ASSERT_TRUE(pumpUntil([&] { return script->startedAt(1) != nullptr; }));
    script->set(false);
    m.setSharingPaused(true);
    pumpFor(0.05);
    // The start returns after all and its advertiser is discarded; a resume comes while that
    // advertiser is still stopping.
    Gate stopping;
    script->set(false, stopping.holding("cancel"));
    script->startedAt(1)->ready();
    ASSERT_TRUE(pumpUntil([&] { return stopping.reached->load(); }));
    m.setSharingPaused(false);
    pumpFor(0.05);
    stopping.open();
    ASSERT_TRUE(pumpUntil([&] { return m.advertiserReady() && m.advertiser(); }));
    EXPECT_FALSE(m.isStartingAdvertiser());
    ASSERT_TRUE(script->startedAt(2));
    EXPECT_EQ(m.listenerPort(), script->startedAt(2)->port);
    EXPECT_EQ(m.statusText(), "Ready");
}

TEST(HostModelSettings, SessionConfigurationFollowsTheMainDisplay) {
    struct Case {
        std::optional<DisplaySize> mode;
        std::int64_t width, height, bitrate;
    };
    for (const Case& c : {Case{DisplaySize{1920, 1080}, 1920, 1080, 15'552'000},
                          Case{DisplaySize{600, 400}, 640, 480, 12'000'000}, Case{std::nullopt, 1920, 1080, 15'552'000},
                          Case{DisplaySize{5120, 2880}, 5120, 2880, 60'000'000},
                          Case{DisplaySize{2560, 1600}, 2560, 1600, 30'720'000},
                          Case{DisplaySize{1440, 900}, 1440, 900, 12'000'000}}) {
        const SessionConfiguration config = HostModel::sessionConfigurationFor(c.mode);
        EXPECT_EQ(config, SessionConfiguration({}, SessionMode::control, c.bitrate, 60, c.width, c.height, 10, 15, 20));
    }
}

TEST(HostModelSettings, StatisticsLineAndLoginItem) {
    EXPECT_EQ(HostModel::statisticsLine(59.0, SessionStats(SessionPath::lan, std::nullopt, 12'345, 30.4, 0, "H264")),
              "Host 59 fps, controller 30 fps, LAN, 12.3 Mbit/s");
    // The host's rate: frames over the time between samples, never negative nor divided by 0.
    const SessionStats idle(SessionPath::relay, std::nullopt, 0, 0, 0, "H264");
    EXPECT_EQ(HostModel::statisticsLine(HostModel::hostFrameRate(59, 1.0), idle), "Host 59 fps, controller 0 fps, relay, 0.0 Mbit/s");
    EXPECT_EQ(HostModel::statisticsLine(HostModel::hostFrameRate(30, 0.5), idle).left(11), "Host 60 fps");
    EXPECT_EQ(HostModel::statisticsLine(HostModel::hostFrameRate(3, 0.0), idle).left(13), "Host 3000 fps");
    EXPECT_EQ(HostModel::statisticsLine(HostModel::hostFrameRate(-40, 1.0), idle).left(10), "Host 0 fps");

    ModelHarness h;
    HostModel& m = h.start();
    m.setLaunchAtLogin(true);
    EXPECT_TRUE(m.launchAtLogin());
    EXPECT_EQ(m.settingsMessage(), "Open at login enabled.");
    h.loginItem->refuse = true;
    m.setLaunchAtLogin(false);
    EXPECT_EQ(m.settingsMessage(), "Could not update Open at login: Read-only file system");
    EXPECT_TRUE(m.launchAtLogin());
    m.openURL("not a url");
    m.openURL("x-settings:privacy");
    EXPECT_EQ(h.workspace->opened, std::vector<QString>{"x-settings:privacy"});
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
