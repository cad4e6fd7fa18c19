// The menu, the window manager and the four windows on the offscreen platform, over a real
// host model whose desktop, WebRTC layer and DNS-SD are fakes (sessions and pairing still run
// over sealed messages on loopback TCP).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QToolBar>
#include <QtTest/QTest>
#include <future>

#include "host/ui/activity_log_view.h"
#include "host/ui/paired_devices_view.h"
#include "host/ui/pairing_view.h"
#include "host/ui/permissions_view.h"
#include "host/ui/quillmate_host_app.h"
#include "host/ui/ui_test_support.h"
#include "host/ui/view_support.h"
#include "quillcore/base/base64.h"
#include "quillcore/pairing/controller_pairing.h"

using namespace quill;
using namespace quill::host;
using namespace quill::host::ui;
using namespace quill::host::ui::testing;
using quill::host::testing::Controller;
using quill::host::testing::MadeSession;
using quill::host::testing::ModelHarness;

namespace {

class UiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { startApplication("offscreen"); }

    // The application over the harness's environment, with its own windows and prompt.
    QuillmateHostApp& start(std::function<void(HostEnvironment&)> adjust = {}) {
        HostEnvironment env = h.environment();
        env.windowManager = nullptr;
        env.prompt = nullptr;
        if (adjust) adjust(env);
        QuillmateHostApp::Options options;
        options.useTray = false;
        options.terminate = [this] { ++terminations; };
        options.openLoginItemsSettings = [this] { ++loginItemsShown; };
        options.permissionRequests.requestScreenRecording = [this] { ++screenRequests; };
        options.permissionRequests.requestAccessibility = [this] { ++accessibilityRequests; };
        options.permissionRequests.settingsURL = [](const QString& list) {
            return QStringLiteral("https://help.example/permissions#") + list;
        };
        app = std::make_unique<QuillmateHostApp>(std::move(env), std::move(options));
        HostModel& m = app->model();
        EXPECT_TRUE(pumpUntil([&] { return m.pairingLink().has_value() || !m.identity(); }));
        return *app;
    }

    void TearDown() override {
        app.reset();
        // Windows closed through the manager go with deleteLater.
        pumpFor(0.01);
    }

    HostWindow* window(const QString& id) { return app->windows()->window(id); }

    void choose(const QString& entry) {
        QAction* a = findAction(app->menu().menu(), entry);
        ASSERT_TRUE(a) << entry.toStdString();
        a->trigger();
    }

    MadeSession connect(Controller& c, SessionMode mode = SessionMode::control) {
        HostModel& m = app->model();
        c.offer(*m.listenerPort(), Offer("S-1", "offer-sdp", mode, {}));
        auto answer = c.reply();
        EXPECT_TRUE(answer && answer->get<Answer>());
        EXPECT_TRUE(pumpUntil([&] { return m.activeSession() && m.activeActivityID() && !m.sessionTasks().empty(); }));
        return h.sessions->empty() ? MadeSession{} : h.sessions->back();
    }

    ModelHarness h;
    std::unique_ptr<QuillmateHostApp> app;
    int terminations = 0;
    int loginItemsShown = 0;
    int screenRequests = 0;
    int accessibilityRequests = 0;
};

QColor textColor(QWidget* w) { return w->palette().color(QPalette::WindowText); }

// The pairing window at the size it opens with shows all of its view, down to the last button,
// without a scroll bar.
void expectPairingViewFits(HostWindow* window, QWidget* view) {
    pumpFor(0.05);
    auto* scroll = window->findChild<QScrollArea*>();
    ASSERT_TRUE(scroll);
    const QSize size = window->size();
    EXPECT_EQ(size, QSize(520, 700));
    EXPECT_LE(view->sizeHint().width(), size.width());
    EXPECT_LE(view->heightForWidth(size.width()), size.height());
    EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
    QWidget* button = findByText<QPushButton>(view, "Rotate Pairing Code");
    ASSERT_TRUE(button);
    EXPECT_LE(button->mapTo(scroll->viewport(), QPoint(0, button->height())).y(), scroll->viewport()->height());
}

}  // namespace

// --- window manager

TEST_F(UiTest, OneWindowPerIdentifierWithItsTitleSizeAndMinimum) {
    start();
    WidgetWindowManager& windows = *app->windows();
    struct Expected {
        const char* entry;
        const char* id;
        const char* title;
        QSize size;
        const char* view;
    };
    const Expected all[] = {{"Pair a device\u2026", "pairing", "Pair a Device", {520, 700}, "PairingView"},
                            {"Paired devices\u2026", "peers", "Paired Devices", {820, 540}, "PairedDevicesView"},
                            {"Activity log\u2026", "activity", "Activity Log", {900, 500}, "ActivityLogView"},
                            {"Permissions\u2026", "permissions", "Permissions", {580, 430}, "PermissionsView"}};
    for (const Expected& e : all) {
        choose(QString::fromUtf8(e.entry));
        HostWindow* w = window(e.id);
        ASSERT_TRUE(w) << e.id;
        EXPECT_EQ(w->windowTitle(), e.title);
        // The size asked for is the content's, below a toolbar where the window has one.
        EXPECT_EQ(w->centralWidget()->size(), e.size) << e.id;
        EXPECT_EQ(w->minimumSize(), QSize(420, 360)) << e.id;
        EXPECT_EQ(w->content()->objectName(), e.view);
        EXPECT_TRUE(windows.isVisible(e.id));
        // Chosen again: the same window, not a second one.
        choose(QString::fromUtf8(e.entry));
        EXPECT_EQ(window(e.id), w);
    }
    // A small window keeps its own size as minimum.
    windows.show("small", "Small", {300, 200});
    EXPECT_EQ(windows.window("small")->minimumSize(), QSize(300, 200));
    // Identifiers never shown: nothing to close, nothing visible.
    windows.close("nothing");
    EXPECT_FALSE(windows.isVisible("nothing"));
    EXPECT_TRUE(windows.isVisible("pairing"));
}

TEST_F(UiTest, AClosedWindowComesBackWhereItWasAndAForgottenOneIsBuiltAnew) {
    start();
    WidgetWindowManager& windows = *app->windows();
    windows.show("peers", "Paired Devices", {820, 540});
    HostWindow* w = windows.window("peers");
    const QRect area = w->screen()->availableGeometry();
    EXPECT_LE(std::abs(w->geometry().center().x() - area.center().x()), 2) << "created centred";
    EXPECT_LE(std::abs(w->geometry().center().y() - area.center().y()), 2);

    // Moved and resized by the user, then closed with the close button: hidden, not forgotten.
    w->setGeometry(QRect(40, 50, 700, 450));
    w->close();
    EXPECT_FALSE(windows.isVisible("peers"));
    ASSERT_EQ(windows.window("peers"), w);
    windows.show("peers", "Paired Devices", {820, 540});
    EXPECT_EQ(windows.window("peers"), w);
    EXPECT_TRUE(windows.isVisible("peers"));
    EXPECT_EQ(w->geometry(), QRect(40, 50, 700, 450));

    // Minimised counts as not visible, and show brings it back.
    w->showMinimized();
    EXPECT_FALSE(windows.isVisible("peers"));
    windows.show("peers", "Paired Devices", {820, 540});
    EXPECT_TRUE(windows.isVisible("peers"));

    // Closed through the manager: the next show builds a new window, centred, at the asked size.
    QPointer<HostWindow> old(w);
    windows.close("peers");
    EXPECT_FALSE(windows.isVisible("peers"));
    EXPECT_EQ(windows.window("peers"), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return old.isNull(); }));
    windows.show("peers", "Paired Devices", {820, 540});
    HostWindow* fresh = windows.window("peers");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->centralWidget()->size(), QSize(820, 540));
    EXPECT_LE(std::abs(fresh->geometry().center().x() - area.center().x()), 2);
}

// --- the menu

TEST_F(UiTest, MenuEntriesFollowTheModelAndTheLabelTellsOfASession) {
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    StatusMenu& menu = a.menu();
    ASSERT_TRUE(a.menuBarItem().window()) << "no tray on this platform: the menu lives in a window";

    const QString deviceID = QStringLiteral("Device ID ") + m.formattedDeviceID();
    EXPECT_EQ(visibleEntries(menu.menu()),
              (QStringList{"Ready", "-", "Pair a device\u2026", "Paired devices\u2026", "Activity log\u2026",
                           "Permissions\u2026", "-", "Pause sharing", "Open at login", "Open Login Items Settings\u2026",
                           "-", deviceID, "Quit Quillmate Host"}));
    EXPECT_EQ(menu.title(), "Quillmate Host");
    // Text lines are inert; every button can be chosen.
    for (QAction* action : menu.menu()->actions()) {
        if (action->isSeparator() || !action->isVisible()) continue;
        const bool text = action->text() == "Ready" || action->text() == deviceID;
        EXPECT_EQ(action->isEnabled(), !text) << action->text().toStdString();
    }
    EXPECT_EQ(menu.quitAction()->shortcut(), QKeySequence(QKeySequence::Quit));

    // A session of a controller whose name holds '&' and markup: shown as it is.
    Controller c = h.pairedController(3, "Ann & <b>Bo</b>");
    connect(c);
    ASSERT_TRUE(pumpUntil([&] { return menu.title() == "Quillmate Host, session active"; }));
    EXPECT_EQ(menu.symbol(), "rectangle.inset.filled.and.person.filled");
    EXPECT_EQ(a.menuBarItem().window()->button()->text(), "Quillmate Host, session active");
    const QStringList during = visibleEntries(menu.menu());
    EXPECT_EQ(during.first(), "Session active with Ann & <b>Bo</b>");
    const auto end = during.indexOf("End active session");
    ASSERT_GT(end, 0);
    EXPECT_EQ(during[end - 1], "-");
    EXPECT_EQ(during[end + 1], "-");
    EXPECT_EQ(during[end + 2], deviceID);

    // "End active session" ends that session for the reason the host user gives.
    choose("End active session");
    EXPECT_EQ(byeReason(c), "session ended by the host user");
    ASSERT_TRUE(pumpUntil([&] { return menu.title() == "Quillmate Host"; }));
    EXPECT_FALSE(visibleEntries(menu.menu()).contains("End active session"));
    // Chosen with no session (a stale menu): nothing happens.
    findAction(menu.menu(), "End active session")->trigger();
    pumpFor(0.05);
    EXPECT_FALSE(m.activeSession());
    EXPECT_EQ(h.sessions->size(), 1u);
}

TEST_F(UiTest, TogglesAskTheModelAndShowOnlyItsAnswer) {
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    QMenu* menu = a.menu().menu();
    QAction* pause = findAction(menu, "Pause sharing");
    QAction* login = findAction(menu, "Open at login");
    ASSERT_TRUE(pause && login);
    EXPECT_FALSE(pause->isChecked());

    pause->trigger();
    EXPECT_TRUE(m.sharingPaused());
    EXPECT_TRUE(pause->isChecked());
    ASSERT_TRUE(pumpUntil([&] { return !m.advertiserReady(); }));
    EXPECT_EQ(visibleEntries(menu).first(), "Paused");
    pause->trigger();
    EXPECT_FALSE(m.sharingPaused());
    EXPECT_FALSE(pause->isChecked());
    ASSERT_TRUE(pumpUntil([&] { return m.advertiserReady(); }));

    login->trigger();
    EXPECT_TRUE(h.loginItem->enabled);
    EXPECT_TRUE(login->isChecked());
    // A login item that cannot be changed keeps the mark as it is and says why.
    h.loginItem->refuse = true;
    login->trigger();
    EXPECT_TRUE(login->isChecked());
    EXPECT_TRUE(visibleEntries(menu).contains("Could not update Open at login: Read-only file system"));

    choose("Open Login Items Settings\u2026");
    EXPECT_EQ(loginItemsShown, 1);
}

TEST_F(UiTest, QuitEndsTheActiveSessionInOrderThenLeaves) {
    QuillmateHostApp& a = start();
    Controller c = h.pairedController(3, "Alice");
    connect(c);
    QElapsedTimer clock;
    clock.start();
    a.menu().quitAction()->trigger();
    a.menu().quitAction()->trigger();  // a second Quit changes nothing
    ASSERT_TRUE(pumpUntil([&] { return terminations > 0; }, 10));
    EXPECT_LT(clock.elapsed(), 3000) << "within the quit bound and a little more";
    EXPECT_EQ(byeReason(c), "session ended by the host user");
    EXPECT_GE(h.sink->releases.load(), 1);
    auto entries = h.activityLog->entries();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_TRUE(entries[0].endedAt);
    EXPECT_EQ(entries[0].endReason, "session ended by the host user");
    pumpFor(0.1);
    EXPECT_EQ(terminations, 1);
}

TEST_F(UiTest, QuitWithoutASessionLeavesAtOnce) {
    QuillmateHostApp& a = start();
    QElapsedTimer clock;
    clock.start();
    a.menu().quitAction()->trigger();
    ASSERT_TRUE(pumpUntil([&] { return terminations > 0; }));
    EXPECT_LT(clock.elapsed(), 1000);
}

// --- pairing window

TEST_F(UiTest, PairingWindowShowsTheCodeItsCountdownAndLinkAndRotatesIt) {
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    choose("Pair a device\u2026");
    auto* view = qobject_cast<PairingView*>(window("pairing")->content());
    ASSERT_TRUE(view);
    auto* qr = view->findChild<QLabel*>("qrImage");
    ASSERT_TRUE(qr && shownIn(qr, view));
    EXPECT_EQ(qr->pixmap().size(), QSize(280, 280));
    EXPECT_EQ(qr->accessibleName(), "Pairing QR code");
    EXPECT_EQ(view->findChild<QLabel*>("countdown")->text(), "New code in 300s");
    auto* url = view->findChild<QPlainTextEdit*>("pairingURL");
    EXPECT_EQ(url->toPlainText(), *m.pairingURL());
    EXPECT_TRUE(url->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_FALSE(shownIn(view->findChild<QWidget*>("approvalBox"), view));
    EXPECT_FALSE(shownIn(view->findChild<QLabel*>("pairingStatus"), view));
    EXPECT_EQ(view->findChild<QLabel*>("deviceID")->text(), m.formattedDeviceID());
    EXPECT_EQ(view->findChild<QLabel*>("hostName")->text(), "Test Host");

    const QString before = *m.pairingURL();
    findByText(view, "Rotate Pairing Code")->click();
    ASSERT_TRUE(pumpUntil([&] { return *m.pairingURL() != before; }));
    EXPECT_EQ(url->toPlainText(), *m.pairingURL());

    // Closing the window in this state refuses nothing.
    window("pairing")->close();
    pumpFor(0.05);
    EXPECT_FALSE(m.isAwaitingPairingConfirmation());
}

TEST_F(UiTest, PairingOutcomesAreShownRedOnlyWhenTheyFailed) {
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    choose("Pair a device\u2026");
    auto* view = qobject_cast<PairingView*>(window("pairing")->content());
    auto* status = view->findChild<QLabel*>("pairingStatus");

    const PairingLink shown = *m.pairingLink();
    auto pairOnce = [&](std::uint8_t seed, std::string name, bool approve) {
        auto channel = FrameChannel::connectLocal(*m.listenerPort());
        auto f = std::async(std::launch::async, [seed, name, channel, shown] {
            try {
                ControllerPairing p(quill::testing::makeIdentity(seed), std::make_shared<InMemoryPeerStore>(), name);
                p.startLink(shown, "Test Host", *channel);
                return true;
            } catch (...) {
                return false;
            }
        });
        if (approve) {
            // A request through the QR code waits for the host user too, without a code.
            auto* box = view->findChild<QWidget*>("approvalBox");
            EXPECT_TRUE(pumpUntil([&] { return shownIn(box, view); }, 10));
            EXPECT_TRUE(shownIn(findLabel(view, "This request came from the QR pairing code."), view));
            EXPECT_FALSE(shownIn(view->findChild<QLabel*>("comparisonCode"), view));
            EXPECT_EQ(view->findChild<QLabel*>("requestText")->text(),
                      QString::fromStdString(name) + " is requesting permission to pair with this computer.");
            findByText(view, "Confirm Pairing")->click();
        }
        EXPECT_TRUE(pumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
        return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready && f.get();
    };
    // A name that carries markup stays text.
    ASSERT_TRUE(pairOnce(11, "<i>Dana</i>", true));
    ASSERT_TRUE(pumpUntil([&] { return shownIn(status, view); }));
    EXPECT_EQ(status->text(), "Paired <i>Dana</i>.");
    EXPECT_EQ(status->textFormat(), Qt::PlainText);
    EXPECT_EQ(textColor(status), secondaryColor());
    // The same code again is refused before anyone is asked.
    ASSERT_FALSE(pairOnce(12, "Eve", false));
    ASSERT_TRUE(pumpUntil([&] { return status->text().startsWith("Pairing failed: "); }));
    EXPECT_EQ(textColor(status), errorColor());

    EXPECT_TRUE(PairingView::isFailureMessage("Request Failed"));
    EXPECT_FALSE(PairingView::isFailureMessage("PAIRING FAILED"));
    EXPECT_FALSE(PairingView::isFailureMessage("Paired Fai."));
}

TEST_F(UiTest, ANumericComparisonIsConfirmedOrRefusedFromTheWindow) {
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    auto* windows = a.windows();

    // A controller asks; both sides must confirm the same code.
    auto compare = [&](std::uint8_t seed, const std::string& name, std::shared_ptr<ControllerPairing>& pairing) {
        pairing = std::make_shared<ControllerPairing>(quill::testing::makeIdentity(seed),
                                                      std::make_shared<InMemoryPeerStore>(), name);
        auto channel = FrameChannel::connectLocal(*m.listenerPort());
        return std::async(std::launch::async, [pairing, channel] {
            try {
                pairing->startComparison(*channel);
                return true;
            } catch (...) {
                return false;
            }
        });
    };
    std::shared_ptr<ControllerPairing> controller;
    auto done = compare(21, "Laptop", controller);
    ASSERT_TRUE(pumpUntil([&] { return windows->isVisible("pairing") && m.isAwaitingPairingConfirmation(); }, 10));
    auto* view = qobject_cast<PairingView*>(window("pairing")->content());
    ASSERT_TRUE(view);
    ASSERT_TRUE(pumpUntil([&] { return m.comparisonCode().has_value(); }));
    auto* box = view->findChild<QWidget*>("approvalBox");
    EXPECT_TRUE(shownIn(box, view));
    EXPECT_FALSE(shownIn(view->findChild<QLabel*>("qrImage"), view));
    EXPECT_FALSE(shownIn(view->findChild<QLabel*>("countdown"), view));
    EXPECT_EQ(view->findChild<QLabel*>("requestText")->text(),
              "Laptop is requesting permission to pair with this computer.");
    ASSERT_TRUE(controller->comparisonCode());
    EXPECT_EQ(view->findChild<QLabel*>("comparisonCode")->text(),
              QString::fromStdString(controller->comparisonCode()->groupedText()));
    EXPECT_TRUE(shownIn(findLabel(view, "Check that this code matches the one shown on the controller before you confirm."), view));
    EXPECT_FALSE(shownIn(findLabel(view, "This request came from the QR pairing code."), view));

    controller->confirmComparison();
    // Return confirms while the box is shown.
    window("pairing")->activateWindow();
    QTest::keyClick(window("pairing"), Qt::Key_Return);
    ASSERT_TRUE(pumpUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_TRUE(done.get());
    ASSERT_TRUE(pumpUntil([&] { return m.pairingStatusMessage() == QString("Paired Laptop."); }));
    ASSERT_TRUE(pumpUntil([&] { return !shownIn(box, view); }));
    EXPECT_TRUE(shownIn(view->findChild<QLabel*>("qrImage"), view));

    // The QR code, the link and the status line fit the window with the rows below them.
    EXPECT_TRUE(shownIn(view->findChild<QLabel*>("pairingStatus"), view));
    expectPairingViewFits(window("pairing"), view);

    // A second request; closing the window refuses it, once.
    auto refused = compare(22, "Stranger", controller);
    ASSERT_TRUE(pumpUntil([&] { return m.isAwaitingPairingConfirmation() && shownIn(box, view); }, 10));
    // A third controller meanwhile is turned away; its failure shows below the waiting request.
    std::shared_ptr<ControllerPairing> intruder;
    auto turnedAway = compare(23, "Intruder", intruder);
    ASSERT_TRUE(pumpUntil([&] { return turnedAway.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_FALSE(turnedAway.get());
    auto* status = view->findChild<QLabel*>("pairingStatus");
    ASSERT_TRUE(pumpUntil([&] { return shownIn(status, view) && status->text().startsWith("Pairing failed: "); }));
    EXPECT_TRUE(shownIn(box, view));
    EXPECT_TRUE(shownIn(view->findChild<QLabel*>("comparisonCode"), view));
    expectPairingViewFits(window("pairing"), view);
    window("pairing")->showMinimized();
    pumpFor(0.1);
    EXPECT_TRUE(m.isAwaitingPairingConfirmation()) << "minimising refuses nothing";
    window("pairing")->close();
    ASSERT_TRUE(pumpUntil([&] { return refused.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_FALSE(refused.get());
    ASSERT_TRUE(pumpUntil([&] { return !m.isAwaitingPairingConfirmation(); }));
    EXPECT_EQ(m.peers().size(), 1u);
}

TEST_F(UiTest, WithoutAnIdentityThePairingButtonsDoNothing) {
    class BrokenKeyStore : public KeyStore {
    public:
        std::optional<StoredIdentityKeys> load() override { throw KeyStoreError::invalidData(); }
        void save(const StoredIdentityKeys&) override {}
    };
    QuillmateHostApp& a = start([](HostEnvironment& env) { env.keyStore = std::make_shared<BrokenKeyStore>(); });
    HostModel& m = a.model();
    ASSERT_FALSE(m.pairing());
    choose("Pair a device\u2026");
    auto* view = qobject_cast<PairingView*>(window("pairing")->content());
    EXPECT_EQ(view->findChild<QLabel*>("deviceID")->text(), "Unavailable");
    EXPECT_EQ(visibleEntries(a.menu().menu()).last(2).first(), "Device ID Unavailable");
    EXPECT_TRUE(visibleEntries(a.menu().menu()).contains(*m.startupError()));
    EXPECT_FALSE(shownIn(view->findChild<QLabel*>("qrImage"), view));
    EXPECT_EQ(view->findChild<QLabel*>("countdown")->text(), "New code in 0s");
    findByText(view, "Confirm Pairing")->click();
    findByText(view, "Cancel")->click();
    findByText(view, "Rotate Pairing Code")->click();
    pumpFor(0.05);
    EXPECT_FALSE(m.pairingURL());
}

// --- paired devices window

TEST_F(UiTest, PairedDevicesRowsSwitchPermissionsAndRevoke) {
    PeerPermissions viewOnly;
    viewOnly.view = true;
    Controller first = h.pairedController(3, "Alpha");
    Controller second = h.pairedController(4, "Beta & <b>co</b>", viewOnly);
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    choose("Paired devices\u2026");
    HostWindow* w = window("peers");
    auto* view = qobject_cast<PairedDevicesView*>(w->content());
    ASSERT_TRUE(view);
    auto rows = view->findChildren<QWidget*>("deviceRow");
    ASSERT_EQ(rows.size(), 2);
    ASSERT_EQ(m.peers().size(), 2u);
    auto rowNamed = [&](const QString& name) -> QWidget* {
        for (QWidget* r : view->findChildren<QWidget*>("deviceRow"))
            if (r->findChild<QLabel*>("name")->text() == name && r->isVisibleTo(view)) return r;
        return nullptr;
    };
    QWidget* beta = rowNamed("Beta & <b>co</b>");
    ASSERT_TRUE(beta);
    EXPECT_EQ(beta->findChild<QLabel*>("name")->textFormat(), Qt::PlainText);
    EXPECT_EQ(beta->findChild<QLabel*>("lastSession")->text(), "Last session: Never");
    EXPECT_TRUE(beta->findChild<QLabel*>("pairedAt")->text().startsWith("Paired "));
    auto boxes = [&](QWidget* row) {
        std::vector<bool> out;
        for (const QString& label : PairedDevicesView::permissionLabels()) out.push_back(findByText<QCheckBox>(row, label)->isChecked());
        return out;
    };
    EXPECT_EQ(boxes(beta), (std::vector<bool>{true, false, false, false, false}));
    EXPECT_EQ(boxes(rowNamed("Alpha")), (std::vector<bool>{true, true, true, false, false}));

    // "Files" and "Ask every time" on the second row change that record only.
    findByText<QCheckBox>(beta, "Files")->click();
    findByText<QCheckBox>(rowNamed("Beta & <b>co</b>"), "Ask every time")->click();
    auto stored = h.hostStore->peer(second.record.fingerprint);
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->permissions.files);
    EXPECT_TRUE(stored->permissions.attendedOnly);
    EXPECT_EQ(h.hostStore->peer(first.record.fingerprint)->permissions, PeerPermissions::defaults());
    EXPECT_EQ(boxes(rowNamed("Beta & <b>co</b>")), (std::vector<bool>{true, false, false, true, true}));

    // Revoke acts at once: the row goes with the record.
    findByText(rowNamed("Alpha"), "Revoke")->click();
    EXPECT_FALSE(h.hostStore->peer(first.record.fingerprint));
    pumpFor(0.01);
    EXPECT_EQ(view->findChildren<QWidget*>("deviceRow").size(), 1);
    EXPECT_FALSE(rowNamed("Alpha"));
    findByText(rowNamed("Beta & <b>co</b>"), "Revoke")->click();
    pumpFor(0.01);
    EXPECT_TRUE(shownIn(view->findChild<QWidget*>("placeholder"), view));

    // Paired behind the model's back while the window is open: choosing the entry reads the store again.
    h.pairedController(5, "Tablet");
    choose("Paired devices\u2026");
    EXPECT_EQ(m.peers().size(), 1u);
    EXPECT_FALSE(shownIn(view->findChild<QWidget*>("placeholder"), view));
    EXPECT_TRUE(findLabel(view, "Tablet"));
}

TEST_F(UiTest, APermissionThatCannotBeSavedShowsTheStoredValue) {
    Controller c = h.pairedController(3, "Alpha");
    // A store that refuses writes once the model is up.
    class RefusingStore : public PeerStore {
    public:
        explicit RefusingStore(std::shared_ptr<PeerStore> inner) : inner_(std::move(inner)) {}
        void save(const PeerRecord&) override { throw KeyStoreError::keychain(-28); }
        std::vector<PeerRecord> all() const override { return inner_->all(); }
        std::optional<PeerRecord> peer(ByteView f) const override { return inner_->peer(f); }
        void remove(ByteView f) override { inner_->remove(f); }

    private:
        std::shared_ptr<PeerStore> inner_;
    };
    auto store = std::make_shared<RefusingStore>(h.hostStore);
    QuillmateHostApp& a = start([store](HostEnvironment& env) { env.peerStore = store; });
    choose("Paired devices\u2026");
    auto* view = qobject_cast<PairedDevicesView*>(window("peers")->content());
    QCheckBox* files = findByText<QCheckBox>(view, "Files");
    ASSERT_TRUE(files);
    files->click();
    EXPECT_FALSE(files->isChecked());
    ASSERT_TRUE(a.model().startupError());
    EXPECT_TRUE(a.model().startupError()->startsWith("Could not update permissions: "));
    EXPECT_TRUE(visibleEntries(a.menu().menu()).contains(*a.model().startupError()));
}

// --- permissions window

TEST_F(UiTest, PermissionsWindowShowsEachPermissionAndClosesOnceBothAreHeld) {
    h.permissions->accessibility = false;
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    WidgetWindowManager& windows = *a.windows();
    // A permission is missing: the window is up from the start.
    ASSERT_TRUE(windows.isVisible("permissions"));
    auto* view = qobject_cast<PermissionsView*>(window("permissions")->content());
    ASSERT_TRUE(view);
    PermissionRow* screen = view->screenRecordingRow();
    PermissionRow* access = view->accessibilityRow();
    EXPECT_EQ(screen->mark()->property("symbol").toString(), "checkmark.circle.fill");
    EXPECT_EQ(screen->mark()->accessibleName(), "Screen Recording granted");
    EXPECT_FALSE(shownIn(screen->requestButton(), view));
    EXPECT_TRUE(shownIn(screen->settingsButton(), view));
    EXPECT_EQ(access->mark()->property("symbol").toString(), "exclamationmark.circle.fill");
    EXPECT_EQ(access->mark()->accessibleName(), "Accessibility required");
    EXPECT_TRUE(shownIn(access->requestButton(), view));
    QPushButton* done = findByText<QPushButton>(view, "Done");
    ASSERT_TRUE(done);
    EXPECT_FALSE(done->isEnabled());
    EXPECT_FALSE(shownIn(view->findChild<QLabel*>("startupError"), view));
    EXPECT_TRUE(findLabel(view, "Quillmate Host needs two system permissions"));

    // The settings pages, and a request followed at once by a re-check.
    screen->settingsButton()->click();
    access->settingsButton()->click();
    EXPECT_EQ(h.workspace->opened, (std::vector<QString>{"https://help.example/permissions#Privacy_ScreenCapture",
                                                         "https://help.example/permissions#Privacy_Accessibility"}));
    h.permissions->accessibility = true;
    access->requestButton()->click();
    EXPECT_EQ(accessibilityRequests, 1);
    EXPECT_TRUE(m.accessibilityGranted());
    EXPECT_FALSE(shownIn(access->requestButton(), view));
    EXPECT_EQ(access->mark()->property("symbol").toString(), "checkmark.circle.fill");
    // Both held: the refresh closed the window.
    EXPECT_FALSE(windows.isVisible("permissions"));

    // Opened again with both held: Done is enabled and closes it.
    choose("Permissions\u2026");
    ASSERT_TRUE(windows.isVisible("permissions"));
    view = qobject_cast<PermissionsView*>(window("permissions")->content());
    done = findByText<QPushButton>(view, "Done");
    EXPECT_TRUE(done->isEnabled());
    done->click();
    EXPECT_FALSE(windows.isVisible("permissions"));
}

TEST_F(UiTest, PermissionsWindowShowsTheStartupErrorInRed) {
    h.permissions->screen = false;
    QuillmateHostApp& a = start([](HostEnvironment& env) {
        env.makeAdvertiser = [](std::string, Bytes, HostAdvertiser::ConnectionHandler) -> std::shared_ptr<HostAdvertiser> {
            throw std::runtime_error("no network here");
        };
    });
    HostModel& m = a.model();
    WidgetWindowManager& windows = *a.windows();
    ASSERT_TRUE(pumpUntil([&] { return m.startupError().has_value() && windows.isVisible("permissions"); }));
    auto* view = qobject_cast<PermissionsView*>(window("permissions")->content());
    auto* error = view->findChild<QLabel*>("startupError");
    EXPECT_TRUE(shownIn(error, view));
    EXPECT_EQ(error->text(), "Could not start LAN discovery: no network here");
    EXPECT_EQ(textColor(error), errorColor());
    EXPECT_TRUE(error->textInteractionFlags() & Qt::TextSelectableByMouse);
    findByText(view, "Request Access")->click();
    EXPECT_EQ(screenRequests, 1);
}

// --- activity log window

TEST_F(UiTest, ActivityLogTableShowsSessionsAsTheyStartAndEnd) {
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    choose("Activity log\u2026");
    HostWindow* w = window("activity");
    auto* view = qobject_cast<ActivityLogView*>(w->content());
    ASSERT_TRUE(view);
    QTableView* table = view->table();
    EXPECT_EQ(table->model()->rowCount(), 0);
    QStringList headers;
    for (int i = 0; i < table->model()->columnCount(); ++i) headers << table->model()->headerData(i, Qt::Horizontal).toString();
    EXPECT_EQ(headers, (QStringList{"Controller", "Started", "Duration", "Mode", "Remote address", "Ended"}));
    auto* toolbar = w->findChild<QToolBar*>("toolbar");
    ASSERT_TRUE(toolbar && toolbar->actions().size() == 2);

    auto cell = [&](int row, int column) { return table->model()->index(row, column).data().toString(); };
    Controller c = h.pairedController(3, "Alice");
    connect(c, SessionMode::view);
    ASSERT_TRUE(pumpUntil([&] { return table->model()->rowCount() == 1; }));
    EXPECT_EQ(cell(0, 0), "Alice");
    EXPECT_EQ(cell(0, 2), "Active");
    EXPECT_EQ(cell(0, 3), "View");
    EXPECT_EQ(cell(0, 4), m.activityEntries()[0].remoteAddress);
    EXPECT_EQ(cell(0, 5), "Session active");
    choose("End active session");
    ASSERT_TRUE(pumpUntil([&] { return cell(0, 5) != "Session active"; }));
    EXPECT_EQ(cell(0, 5), "Session closed by the controller");
    EXPECT_EQ(cell(0, 2), "0 sec");

    // Reveal asks the desktop to show the log file.
    toolbar->actions()[1]->trigger();
    ASSERT_EQ(h.workspace->revealed.size(), 1u);
    EXPECT_TRUE(h.workspace->revealed[0].endsWith("/activity.jsonl"));
    // Refresh re-reads the log into the same table.
    const auto before = m.activityEntries();
    toolbar->actions()[0]->trigger();
    pumpFor(0.1);
    EXPECT_EQ(m.activityEntries(), before);
    EXPECT_EQ(table->model()->rowCount(), 1);
}

TEST(ActivityLogText, DurationsAndCells) {
    EXPECT_EQ(ActivityLogView::durationText(3725), "1 hr, 2 min, 5 sec");
    EXPECT_EQ(ActivityLogView::durationText(3600), "1 hr");
    EXPECT_EQ(ActivityLogView::durationText(61), "1 min, 1 sec");
    EXPECT_EQ(ActivityLogView::durationText(0), "0 sec");
    EXPECT_EQ(ActivityLogView::durationText(-5), "0 sec");
    EXPECT_EQ(ActivityLogView::durationText(90061), "25 hr, 1 min, 1 sec");

    ActivityEntry e;
    e.peerName = "Bob";
    e.mode = "control";
    e.startedAt = SystemTime(std::chrono::seconds(1'700'000'000));
    // Fractions are dropped toward zero; an end before the start counts as no time.
    e.endedAt = e.startedAt + std::chrono::milliseconds(125'900);
    EXPECT_EQ(ActivityLogView::durationText(e), "2 min, 5 sec");
    e.endedAt = e.startedAt - std::chrono::seconds(3);
    EXPECT_EQ(ActivityLogView::durationText(e), "0 sec");
    // An end without a reason: a duration, and still "Session active" under "Ended".
    EXPECT_EQ(ActivityTableModel::cellText(e, 5), "Session active");
    EXPECT_EQ(ActivityTableModel::cellText(e, 3), "Control");
    e.endReason = "Connection closed";
    EXPECT_EQ(ActivityTableModel::cellText(e, 5), "Connection closed");
    e.endedAt.reset();
    EXPECT_EQ(ActivityTableModel::cellText(e, 2), "Active");

    // "Started": the date the locale's way, short, and the time to the second without a time
    // zone (which some locales put in brackets). Noon UTC: the same day in nearly every zone.
    e.startedAt = SystemTime(std::chrono::seconds(1'699'963'225));  // 2023-11-14 12:00:25
    const std::pair<const char*, const char*> locales[] = {
        {"en_US", "Nov 14, 2023, "}, {"de_DE", "14. Nov. 2023, "}, {"ca_ES", "14 de nov. de 2023, "},
        {"zh_TW", "2023年11月14日, "}, {"fr_FR", "14 nov. 2023, "}};
    for (const auto& [name, date] : locales) {
        QLocale::setDefault(QLocale(name));
        const QString started = ActivityTableModel::cellText(e, 1);
        EXPECT_TRUE(started.startsWith(QString::fromUtf8(date)) && started.contains(":00:25"))
            << name << ": " << started.toStdString();
        EXPECT_FALSE(started.contains("()") || started.contains("[]")) << name << ": " << started.toStdString();
    }
    QLocale::setDefault(QLocale::system());
}

// --- session prompt

TEST_F(UiTest, TheAttendedPromptIsAnsweredWithoutBlockingTheHost) {
    PeerPermissions attended = PeerPermissions::defaults();
    attended.attendedOnly = true;
    QuillmateHostApp& a = start();
    HostModel& m = a.model();
    auto openBox = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
        return static_cast<QMessageBox*>(nullptr);
    };

    Controller c = h.pairedController(3, "Carol <script>", attended);
    c.offer(*m.listenerPort(), Offer("S-1", "offer-sdp", SessionMode::control, {}));
    ASSERT_TRUE(pumpUntil([&] { return openBox() != nullptr; }));
    QMessageBox* box = openBox();
    EXPECT_EQ(box->text(), "Allow Carol <script> to connect?");
    // While the box waits, the host goes on: the menu still opens its windows.
    choose("Pair a device\u2026");
    EXPECT_TRUE(a.windows()->isVisible("pairing"));
    EXPECT_TRUE(m.isSessionReserved());
    EXPECT_FALSE(m.activeSession());
    findByText(box, "Decline")->click();
    auto reply = c.reply();
    ASSERT_TRUE(reply && reply->get<Reject>());
    EXPECT_EQ(reply->get<Reject>()->reason(), "The local host user declined the session");
    ASSERT_TRUE(pumpUntil([&] { return !openBox() && !m.isSessionReserved(); }));
}

// --- small helpers

TEST(ViewSupport, TextsFromDataStayLiteral) {
    startApplication("offscreen");
    EXPECT_EQ(literalActionText("A&B && C\tD"), "A&&B &&&& C D");
    QAction action(literalActionText("Session active with A&B"));
    EXPECT_EQ(action.iconText(), "Session active with A&B");
    QLabel* label = plainLabel("<b>bold</b>");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    delete label;
    // Symbols the interface names draw something; unknown names draw nothing.
    for (const char* name : {"display", "rectangle.inset.filled.and.person.filled", "lock.shield",
                             "checkmark.circle.fill", "exclamationmark.circle.fill", "arrow.clockwise", "folder",
                             "person.crop.circle.badge.questionmark"}) {
        const QImage image = symbolPixmap(name, 32, Qt::black).toImage();
        bool inked = false;
        for (int y = 0; y < 32 && !inked; ++y)
            for (int x = 0; x < 32 && !inked; ++x) inked = qAlpha(image.pixel(x, y)) > 0;
        EXPECT_TRUE(inked) << name;
    }
    EXPECT_EQ(symbolPixmap("no.such.symbol", 8, Qt::black).toImage(), symbolPixmap("", 8, Qt::black).toImage());
}
