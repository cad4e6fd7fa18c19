// The menu, the window manager and the four windows on the offscreen platform, over a real
// host model whose desktop, WebRTC layer and DNS-SD are fakes (sessions and pairing still run
// over sealed messages on loopback TCP).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
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
#include "quillcore/pairing/controller_pairing.h"

using namespace quill;
using namespace quill::host;
using namespace quill::host::ui;
using namespace quill::host::ui::testing;
using quill::host::testing::Controller;
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
        options.permissionRequests.requestAccessibility = [this] { ++accessibilityRequests; };
        options.permissionRequests.settingsURL = [](const QString& list) { return "https://help.example/#" + list; };
        app = std::make_unique<QuillmateHostApp>(std::move(env), std::move(options));
        HostModel& m = app->model();
        EXPECT_TRUE(pumpUntil([&] { return m.pairingLink().has_value() || !m.identity(); }));
        return *app;
    }
    void TearDown() override {
        app.reset();
        pumpFor(0.01);  // windows closed through the manager go with deleteLater
    }
    HostWindow* window(const QString& id) { return app->windows()->window(id); }
    template <class View>
    View* open(const QString& entry, const QString& id) {
        findAction(app->menu().menu(), entry)->trigger();
        return qobject_cast<View*>(window(id)->content());
    }
    void connect(Controller& c, SessionMode mode = SessionMode::control) {
        HostModel& m = app->model();
        c.offer(*m.listenerPort(), Offer("S-1", "offer-sdp", mode, {}));
        auto answer = c.reply();
        EXPECT_TRUE(answer && answer->get<Answer>());
        EXPECT_TRUE(pumpUntil([&] { return m.activeSession() && m.activeActivityID() && !m.sessionTasks().empty(); }));
    }
    // A controller pairing in the background, by comparison or through the link on show.
    std::future<bool> pair(std::uint8_t seed, const std::string& name, bool byLink = false) {
        auto controller = std::make_shared<ControllerPairing>(quill::testing::makeIdentity(seed),
                                                              std::make_shared<InMemoryPeerStore>(), name);
        auto channel = FrameChannel::connectLocal(*app->model().listenerPort());
        const PairingLink link = *app->model().pairingLink();
        controllers.push_back(controller);
        return std::async(std::launch::async, [=] {
            try {
                byLink ? controller->startLink(link, "Test Host", *channel) : controller->startComparison(*channel);
                return true;
            } catch (...) {
                return false;
            }
        });
    }
    static bool ready(std::future<bool>& f) { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

    ModelHarness h;
    std::unique_ptr<QuillmateHostApp> app;
    std::vector<std::shared_ptr<ControllerPairing>> controllers;
    int terminations = 0, loginItemsShown = 0, accessibilityRequests = 0;
};

QColor textColor(QWidget* w) { return w->palette().color(QPalette::WindowText); }
template <class A, class B>
using Rows = std::initializer_list<std::pair<A, B>>;

}  // namespace

TEST_F(UiTest, OneWindowPerPurposeNeverSmallerThanItsContent) {
    start();
    WidgetWindowManager& windows = *app->windows();
    struct Row {
        const char *entry, *id, *title;
        QSize size;
    };
    for (const Row& r : {Row{"Pair a device\u2026", "pairing", "Pair a Device", {520, 700}},
                         Row{"Paired devices\u2026", "peers", "Paired Devices", {820, 540}},
                         Row{"Activity log\u2026", "activity", "Activity Log", {900, 500}},
                         Row{"Permissions\u2026", "permissions", "Permissions", {580, 430}}}) {
        findAction(app->menu().menu(), QString::fromUtf8(r.entry))->trigger();
        HostWindow* w = window(r.id);
        ASSERT_TRUE(w && windows.isVisible(r.id)) << r.id;
        EXPECT_EQ(w->windowTitle(), r.title);
        EXPECT_EQ(w->centralWidget()->size(), r.size) << "the size asked for is the content's, below a toolbar";
        // Shrunk as far as it goes: at least 420 x 360, and room for the content's own minimum.
        w->resize(1, 1);
        EXPECT_TRUE(w->width() >= 420 && w->height() >= 360) << r.id;
        EXPECT_GE(w->centralWidget()->width(), w->content()->minimumWidth()) << r.id;
        EXPECT_GE(w->centralWidget()->height(), w->content()->minimumHeight()) << r.id;
        findAction(app->menu().menu(), QString::fromUtf8(r.entry))->trigger();
        EXPECT_EQ(window(r.id), w) << "chosen again: the same window";
    }
    windows.show("small", "Small", {300, 200});
    EXPECT_EQ(windows.window("small")->minimumSize(), QSize(300, 200)) << "a small window keeps its own size";
    windows.close("nothing");
    EXPECT_FALSE(windows.isVisible("nothing"));

    // Closed by the user: hidden, and brought back where it was; minimised counts as hidden.
    HostWindow* w = window("permissions");
    const QRect area = w->screen()->availableGeometry();
    w->setGeometry(QRect(40, 50, 700, 450));
    for (bool minimise : {false, true}) {
        minimise ? w->showMinimized() : (void)w->close();
        EXPECT_FALSE(windows.isVisible("permissions"));
        windows.show("permissions", "Permissions", {580, 430});
        EXPECT_TRUE(windows.isVisible("permissions"));
        EXPECT_EQ(window("permissions"), w);
    }
    EXPECT_EQ(w->geometry(), QRect(40, 50, 700, 450));
    // Closed through the manager: the next show builds a new window, centred, at the asked size.
    QPointer<HostWindow> old(w);
    windows.close("permissions");
    EXPECT_FALSE(window("permissions"));
    ASSERT_TRUE(pumpUntil([&] { return old.isNull(); }));
    windows.show("permissions", "Permissions", {580, 430});
    EXPECT_EQ(window("permissions")->centralWidget()->size(), QSize(580, 430));
    EXPECT_LE((window("permissions")->geometry().center() - area.center()).manhattanLength(), 2);
}

TEST_F(UiTest, TheMenuFollowsTheModelAndShowsNamesAsTheyAre) {
    HostModel& m = start().model();
    StatusMenu& menu = app->menu();
    ASSERT_TRUE(app->menuBarItem().window()) << "no tray on this platform: the menu lives in a window";
    const QString deviceID = "Device ID " + m.formattedDeviceID();
    EXPECT_EQ(visibleEntries(menu.menu()),
              (QStringList{"Ready", "-", "Pair a device\u2026", "Paired devices\u2026", "Activity log\u2026",
                           "Permissions\u2026", "-", "Pause sharing", "Open at login", "Open Login Items Settings\u2026",
                           "-", deviceID, "Quit Quillmate Host"}));
    for (QAction* a : menu.menu()->actions())
        EXPECT_TRUE(a->isSeparator() || !a->isVisible() || a->isEnabled() == (a->text() != "Ready" && a->text() != deviceID))
            << a->text().toStdString();
    EXPECT_EQ(menu.quitAction()->shortcut(), QKeySequence(QKeySequence::Quit));

    Controller c = h.pairedController(3, "Ann & <b>Bo</b>");
    connect(c);
    ASSERT_TRUE(pumpUntil([&] { return menu.title() == "Quillmate Host, session active"; }));
    EXPECT_EQ(menu.symbol(), "rectangle.inset.filled.and.person.filled");
    EXPECT_EQ(app->menuBarItem().window()->button()->text(), "Quillmate Host, session active");
    const QStringList during = visibleEntries(menu.menu());
    EXPECT_EQ(during.first(), "Session active with Ann & <b>Bo</b>");
    EXPECT_EQ(during.mid(during.indexOf("End active session") - 1, 4),
              (QStringList{"-", "End active session", "-", deviceID}));
    findAction(menu.menu(), "End active session")->trigger();
    EXPECT_EQ(byeReason(c), "session ended by the host user");
    ASSERT_TRUE(pumpUntil([&] { return menu.title() == "Quillmate Host"; }));
    EXPECT_FALSE(visibleEntries(menu.menu()).contains("End active session"));
    findAction(menu.menu(), "End active session")->trigger();  // a stale menu: nothing happens
    pumpFor(0.05);
    EXPECT_EQ(h.sessions->size(), 1u);

    // The toggles ask the model and show its answer.
    QAction* pause = findAction(menu.menu(), "Pause sharing");
    pause->trigger();
    EXPECT_TRUE(m.sharingPaused() && pause->isChecked());
    EXPECT_EQ(visibleEntries(menu.menu()).first(), "Paused");
    pause->trigger();
    EXPECT_FALSE(m.sharingPaused() || pause->isChecked());
    QAction* login = findAction(menu.menu(), "Open at login");
    login->trigger();
    EXPECT_TRUE(h.loginItem->enabled && login->isChecked());
    h.loginItem->refuse = true;
    login->trigger();
    EXPECT_TRUE(login->isChecked());
    EXPECT_TRUE(visibleEntries(menu.menu()).contains("Could not update Open at login: Read-only file system"));

    // What became of a request: in the status line of its window while that is open, else here.
    findAction(menu.menu(), "Permissions\u2026")->trigger();
    app->report("permissions", "Nothing & nowhere");
    EXPECT_EQ(window("permissions")->status(), "Nothing & nowhere");
    app->report("activity", "No file manager");
    app->report("", "No folder & no launcher");
    EXPECT_TRUE(visibleEntries(menu.menu()).contains("No folder & no launcher"));
    EXPECT_FALSE(visibleEntries(menu.menu()).contains("No file manager")) << "replaced by the newer note";
    findAction(menu.menu(), "Open Login Items Settings\u2026")->trigger();
    EXPECT_EQ(loginItemsShown, 1);
    EXPECT_FALSE(visibleEntries(menu.menu()).contains("No folder & no launcher")) << "a new attempt clears it";
}

TEST_F(UiTest, QuitEndsTheActiveSessionInOrderThenLeavesOnce) {
    start();
    Controller c = h.pairedController(3, "Alice");
    connect(c);
    QElapsedTimer clock;
    clock.start();
    app->menu().quitAction()->trigger();
    app->menu().quitAction()->trigger();
    ASSERT_TRUE(pumpUntil([&] { return terminations > 0; }, 10));
    EXPECT_LT(clock.elapsed(), 3000) << "within the quit bound and a little more";
    EXPECT_EQ(byeReason(c), "session ended by the host user");
    EXPECT_GE(h.sink->releases.load(), 1);
    auto entries = h.activityLog->entries();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].endReason, "session ended by the host user");
    pumpFor(0.1);
    EXPECT_EQ(terminations, 1);
}

TEST_F(UiTest, PairingWindowShowsACodeOnlyWhileSharingAndItsLinkInWholeLines) {
    // Six addresses make a link of more than three lines.
    auto addresses = std::make_shared<int>(1);
    HostModel& m = start([addresses](HostEnvironment& env) {
        env.localAddresses = [addresses](std::uint16_t port) {
            return std::vector<std::string>(*addresses, "[2001:db8:aaaa:bbbb::1234]:" + std::to_string(port));
        };
    }).model();
    auto* view = open<PairingView>("Pair a device\u2026", "pairing");
    auto* qr = view->findChild<QLabel*>("qrImage");
    auto* url = view->findChild<LinkBox*>("pairingURL");
    ASSERT_TRUE(shownIn(qr, view));
    EXPECT_EQ(qr->pixmap().size(), QSize(280, 280));
    EXPECT_EQ(qr->accessibleName(), "Pairing QR code");
    EXPECT_EQ(view->findChild<QLabel*>("countdown")->text(), "New code in 300s");
    EXPECT_EQ(view->findChild<QLabel*>("deviceID")->text(), m.formattedDeviceID());
    EXPECT_EQ(view->findChild<QLabel*>("hostName")->text(), "Test Host");
    EXPECT_FALSE(view->findChild<QLabel*>("hostName")->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_TRUE(url->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_FALSE(shownIn(view->findChild<QWidget*>("approvalBox"), view) ||
                 shownIn(view->findChild<QLabel*>("pairingStatus"), view) ||
                 shownIn(view->findChild<QLabel*>("pausedNote"), view));

    // The link box holds whole lines, at most three; only a longer link scrolls.
    const int line = QFontMetrics(url->font()).lineSpacing();
    for (int count : {1, 3, 6}) {
        *addresses = count;
        findByText(view, "Rotate Pairing Code")->click();
        ASSERT_TRUE(pumpUntil([&] { return url->toPlainText() == *m.pairingURL() && m.pairingLink()->endpoints.size() == size_t(count); }));
        pumpFor(0.05);
        const int lines = url->document()->firstBlock().layout()->lineCount();
        EXPECT_EQ(url->verticalScrollBar()->isVisible(), lines > 3) << count;
        EXPECT_NEAR(url->viewport()->height(), std::min(lines, 3) * line, 2) << count << " addresses, " << lines << " lines";
    }
    // Paused: a code that cannot work is not shown.
    findAction(app->menu().menu(), "Pause sharing")->trigger();
    for (QWidget* w : std::initializer_list<QWidget*>{qr, url, view->findChild<QLabel*>("countdown"),
                                                      findByText(view, "Rotate Pairing Code")})
        EXPECT_FALSE(shownIn(w, view)) << w->objectName().toStdString();
    EXPECT_EQ(view->findChild<QLabel*>("pausedNote")->text(),
              "Sharing is paused, so no device can pair now. Turn off \u201cPause sharing\u201d in the menu to show a "
              "pairing code.");
    EXPECT_TRUE(shownIn(view->findChild<QLabel*>("pausedNote"), view));
    findAction(app->menu().menu(), "Pause sharing")->trigger();
    ASSERT_TRUE(pumpUntil([&] { return shownIn(qr, view) && shownIn(url, view); }));
    window("pairing")->close();
    pumpFor(0.05);
    EXPECT_FALSE(m.isAwaitingPairingConfirmation()) << "closing in the QR state refuses nothing";
}

TEST_F(UiTest, PairingRequestsAreAnsweredFromTheWindowAndTheirOutcomesShown) {
    HostModel& m = start().model();
    auto* view = open<PairingView>("Pair a device\u2026", "pairing");
    auto* box = view->findChild<QWidget*>("approvalBox");
    auto* status = view->findChild<QLabel*>("pairingStatus");
    auto request = [&] { return view->findChild<QLabel*>("requestText")->text(); };

    // Through the QR link: no code, and a name with markup stays text.
    auto byLink = pair(11, "<i>Dana</i>", true);
    ASSERT_TRUE(pumpUntil([&] { return shownIn(box, view); }, 10));
    EXPECT_EQ(request(), "<i>Dana</i> is requesting permission to pair with this computer.");
    EXPECT_TRUE(shownIn(findByText<QLabel>(view, "This request came from the QR pairing code."), view));
    EXPECT_FALSE(shownIn(view->findChild<QLabel*>("comparisonCode"), view) || shownIn(view->findChild<QLabel*>("qrImage"), view));
    findByText(view, "Confirm Pairing")->click();
    ASSERT_TRUE(pumpUntil([&] { return ready(byLink) && status->text() == "Paired <i>Dana</i>."; }, 10));
    EXPECT_TRUE(byLink.get());
    EXPECT_EQ(status->textFormat(), Qt::PlainText);
    EXPECT_EQ(textColor(status), secondaryColor());

    // By comparison: the code both sides show; Return confirms.
    auto compared = pair(21, "Laptop");
    ASSERT_TRUE(pumpUntil([&] { return shownIn(box, view) && m.comparisonCode(); }, 10));
    EXPECT_EQ(view->findChild<QLabel*>("comparisonCode")->text(),
              QString::fromStdString(controllers.back()->comparisonCode()->groupedText()));
    EXPECT_TRUE(shownIn(findByText<QLabel>(view, "Check that this code matches the one shown on the controller before you confirm."), view));
    controllers.back()->confirmComparison();
    window("pairing")->activateWindow();
    QTest::keyClick(window("pairing"), Qt::Key_Return);
    ASSERT_TRUE(pumpUntil([&] { return ready(compared) && !shownIn(box, view); }, 10));
    EXPECT_TRUE(compared.get());

    // A request waits; another meanwhile is turned away in red; minimising refuses nothing,
    // closing refuses it once.
    auto refused = pair(22, "Stranger");
    ASSERT_TRUE(pumpUntil([&] { return shownIn(box, view) && m.isAwaitingPairingConfirmation(); }, 10));
    auto turnedAway = pair(23, "Intruder");
    ASSERT_TRUE(pumpUntil([&] { return ready(turnedAway) && status->text().startsWith("Pairing failed: "); }, 10));
    EXPECT_FALSE(turnedAway.get());
    EXPECT_EQ(textColor(status), errorColor());
    EXPECT_TRUE(shownIn(box, view));
    window("pairing")->showMinimized();
    pumpFor(0.1);
    EXPECT_TRUE(m.isAwaitingPairingConfirmation());
    window("pairing")->close();
    ASSERT_TRUE(pumpUntil([&] { return ready(refused) && !m.isAwaitingPairingConfirmation(); }, 10));
    EXPECT_FALSE(refused.get());
    EXPECT_EQ(m.peers().size(), 2u);
    for (auto [text, red] : Rows<const char*, bool>{{"Request Failed", true}, {"PAIRING FAILED", false}, {"Paired Fai.", false}})
        EXPECT_EQ(PairingView::isFailureMessage(text), red) << text;
}

TEST_F(UiTest, WithoutAnIdentityThePairingButtonsDoNothing) {
    class BrokenKeyStore : public KeyStore {
    public:
        std::optional<StoredIdentityKeys> load() override { throw KeyStoreError::invalidData(); }
        void save(const StoredIdentityKeys&) override {}
    };
    HostModel& m = start([](HostEnvironment& env) { env.keyStore = std::make_shared<BrokenKeyStore>(); }).model();
    auto* view = open<PairingView>("Pair a device\u2026", "pairing");
    EXPECT_EQ(view->findChild<QLabel*>("deviceID")->text(), "Unavailable");
    EXPECT_TRUE(visibleEntries(app->menu().menu()).contains(*m.startupError()));
    EXPECT_FALSE(shownIn(view->findChild<QLabel*>("qrImage"), view));
    EXPECT_EQ(view->findChild<QLabel*>("countdown")->text(), "New code in 0s");
    for (const char* button : {"Confirm Pairing", "Cancel", "Rotate Pairing Code"}) findByText(view, button)->click();
    pumpFor(0.05);
    EXPECT_FALSE(m.pairingURL());
}

TEST_F(UiTest, PairedDevicesShowNamesAsTextAndChangeOnlyTheirOwnRecord) {
    PeerPermissions viewOnly;
    viewOnly.view = true;
    Controller first = h.pairedController(3, "Alpha");
    Controller second = h.pairedController(4, "Beta & <b>co</b>", viewOnly);
    start();
    auto* view = open<PairedDevicesView>("Paired devices\u2026", "peers");
    auto row = [&](const QString& name) -> QWidget* {
        for (QWidget* r : view->findChildren<QWidget*>("deviceRow"))
            if (r->findChild<QLabel*>("name")->text() == name && r->isVisibleTo(view)) return r;
        return nullptr;
    };
    auto boxes = [&](const QString& name) {
        std::vector<bool> out;
        for (const QString& label : PairedDevicesView::permissionLabels()) out.push_back(findByText<QCheckBox>(row(name), label)->isChecked());
        return out;
    };
    ASSERT_TRUE(row("Beta & <b>co</b>"));
    EXPECT_EQ(row("Beta & <b>co</b>")->findChild<QLabel*>("name")->textFormat(), Qt::PlainText);
    EXPECT_EQ(row("Beta & <b>co</b>")->findChild<QLabel*>("lastSession")->text(), "Last session: Never");
    EXPECT_EQ(boxes("Alpha"), (std::vector<bool>{true, true, true, false, false}));
    findByText<QCheckBox>(row("Beta & <b>co</b>"), "Files")->click();
    EXPECT_TRUE(h.hostStore->peer(second.record.fingerprint)->permissions.files);
    EXPECT_EQ(boxes("Beta & <b>co</b>"), (std::vector<bool>{true, false, false, true, false}));
    EXPECT_EQ(h.hostStore->peer(first.record.fingerprint)->permissions, PeerPermissions::defaults());
    findByText(row("Alpha"), "Revoke")->click();
    EXPECT_FALSE(h.hostStore->peer(first.record.fingerprint));
    ASSERT_TRUE(pumpUntil([&] { return !row("Alpha"); }));
    // Paired behind the model's back: choosing the entry again reads the store again.
    h.pairedController(5, "Tablet");
    open<PairedDevicesView>("Paired devices\u2026", "peers");
    EXPECT_TRUE(pumpUntil([&] { return row("Tablet"); }));
}

TEST_F(UiTest, PermissionsWindowShowsEachPermissionAndItsRequests) {
    h.permissions->accessibility = false;
    HostModel& m = start().model();
    WidgetWindowManager& windows = *app->windows();
    ASSERT_TRUE(windows.isVisible("permissions")) << "a permission is missing: up from the start";
    auto* view = qobject_cast<PermissionsView*>(window("permissions")->content());
    PermissionRow* screen = view->screenRecordingRow();
    PermissionRow* access = view->accessibilityRow();
    EXPECT_EQ(screen->mark()->accessibleName(), "Screen Recording granted");
    EXPECT_EQ(access->mark()->accessibleName(), "Accessibility required");
    EXPECT_EQ(access->mark()->property("symbol").toString(), "exclamationmark.circle.fill");
    EXPECT_FALSE(shownIn(screen->requestButton(), view));
    EXPECT_TRUE(shownIn(access->requestButton(), view) && shownIn(screen->settingsButton(), view));
    EXPECT_FALSE(findByText<QPushButton>(view, "Done")->isEnabled());
    screen->settingsButton()->click();
    access->settingsButton()->click();
    EXPECT_EQ(h.workspace->opened, (std::vector<QString>{"https://help.example/#Privacy_ScreenCapture",
                                                         "https://help.example/#Privacy_Accessibility"}));
    // A request is followed by a re-check; both held, that refresh closes the window.
    h.permissions->accessibility = true;
    access->requestButton()->click();
    EXPECT_EQ(accessibilityRequests, 1);
    EXPECT_TRUE(m.accessibilityGranted());
    EXPECT_EQ(access->mark()->property("symbol").toString(), "checkmark.circle.fill");
    EXPECT_FALSE(windows.isVisible("permissions"));
    view = open<PermissionsView>("Permissions\u2026", "permissions");
    findByText<QPushButton>(view, "Done")->click();
    EXPECT_FALSE(windows.isVisible("permissions"));

    // A start-up failure shows in red and can be copied.
    h.permissions->screen = false;
    start([](HostEnvironment& env) {
        env.makeAdvertiser = [](std::string, Bytes, HostAdvertiser::ConnectionHandler) -> std::shared_ptr<HostAdvertiser> {
            throw std::runtime_error("no network here");
        };
    });
    ASSERT_TRUE(pumpUntil([&] { return app->windows()->isVisible("permissions"); }));
    auto* error = window("permissions")->content()->findChild<QLabel*>("startupError");
    ASSERT_TRUE(pumpUntil([&] { return error->text() == "Could not start LAN discovery: no network here"; }));
    EXPECT_EQ(textColor(error), errorColor());
    EXPECT_TRUE(error->textInteractionFlags() & Qt::TextSelectableByMouse);
}

TEST_F(UiTest, ActivityLogShowsSessionsAndRevealsItsFile) {
    HostModel& m = start().model();
    auto* view = open<ActivityLogView>("Activity log\u2026", "activity");
    QAbstractItemModel* table = view->table()->model();
    Controller c = h.pairedController(3, "Al & <b>i</b>");
    connect(c, SessionMode::view);
    ASSERT_TRUE(pumpUntil([&] { return table->rowCount() == 1; }));
    auto cell = [&](int column) { return table->index(0, column).data().toString(); };
    EXPECT_EQ((QStringList{cell(0), cell(2), cell(3), cell(4)}),
              (QStringList{"Al & <b>i</b>", "Active", "View", m.activityEntries()[0].remoteAddress}));
    findAction(app->menu().menu(), "End active session")->trigger();
    ASSERT_TRUE(pumpUntil([&] { return cell(2) == "0 sec"; }));
    auto* toolbar = window("activity")->findChild<QToolBar*>("toolbar");
    toolbar->actions()[1]->trigger();
    ASSERT_EQ(h.workspace->revealed.size(), 1u);
    EXPECT_TRUE(h.workspace->revealed[0].endsWith("/activity.jsonl"));

    for (auto [seconds, text] : Rows<int, const char*>{{3725, "1 hr, 2 min, 5 sec"}, {3600, "1 hr"}, {61, "1 min, 1 sec"},
                                                       {0, "0 sec"}, {-5, "0 sec"}, {90061, "25 hr, 1 min, 1 sec"}})
        EXPECT_EQ(ActivityLogView::durationText(seconds), text);
    // "Started": the locale's short date and the time to the second, without a time zone.
    ActivityEntry e;
    e.startedAt = SystemTime(std::chrono::seconds(1'699'963'225));  // 2023-11-14 12:00:25 UTC
    for (auto [name, date] : Rows<const char*, const char*>{{"en_US", "Nov 14, 2023, "}, {"de_DE", "14. Nov. 2023, "},
                                                            {"zh_TW", "2023年11月14日, "}, {"fr_FR", "14 nov. 2023, "}}) {
        QLocale::setDefault(QLocale(name));
        const QString started = ActivityTableModel::cellText(e, 1);
        EXPECT_TRUE(started.startsWith(QString::fromUtf8(date)) && started.contains(":00:25") && !started.contains("()"))
            << started.toStdString();
    }
    QLocale::setDefault(QLocale::system());
}

TEST_F(UiTest, TheAttendedPromptIsAnsweredWithoutBlockingTheHost) {
    PeerPermissions attended = PeerPermissions::defaults();
    attended.attendedOnly = true;
    HostModel& m = start().model();
    auto openBox = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
        return static_cast<QMessageBox*>(nullptr);
    };
    Controller c = h.pairedController(3, "Carol <script>", attended);
    c.offer(*m.listenerPort(), Offer("S-1", "offer-sdp", SessionMode::control, {}));
    ASSERT_TRUE(pumpUntil([&] { return openBox() != nullptr; }));
    EXPECT_EQ(openBox()->text(), "Allow Carol <script> to connect?");
    findAction(app->menu().menu(), "Pair a device\u2026")->trigger();
    EXPECT_TRUE(app->windows()->isVisible("pairing")) << "the host goes on while the box waits";
    findByText(openBox(), "Decline")->click();
    auto reply = c.reply();
    ASSERT_TRUE(reply && reply->get<Reject>());
    EXPECT_EQ(reply->get<Reject>()->reason(), "The local host user declined the session");
}

TEST(ViewSupport, TextsFromDataStayLiteralAndSymbolsShowOnAnyPanel) {
    startApplication("offscreen");
    EXPECT_EQ(literalActionText("A&B && C\tD"), "A&&B &&&& C D");
    std::unique_ptr<QLabel> label(plainLabel("<b>bold</b>"));
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    auto inked = [](const QImage& image, QColor background, int contrast) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                const double a = c.alphaF(), shown = a * qGray(c.rgb()) + (1 - a) * qGray(background.rgb());
                count += std::abs(shown - qGray(background.rgb())) >= contrast;
            }
        return count;
    };
    for (const char* name : {"display", "rectangle.inset.filled.and.person.filled", "lock.shield", "checkmark.circle.fill",
                             "exclamationmark.circle.fill", "arrow.clockwise", "folder", "person.crop.circle.badge.questionmark"})
        EXPECT_GT(inked(symbolPixmap(name, 32, Qt::black).toImage(), Qt::white, 128), 0) << name;
    EXPECT_EQ(inked(symbolPixmap("no.such.symbol", 8, Qt::black).toImage(), Qt::white, 1), 0);
    // The menu's icon stands out on a dark panel as on a light one.
    for (const char* name : {"display", "rectangle.inset.filled.and.person.filled"})
        for (QColor panel : {QColor(Qt::black), QColor(0x30, 0x30, 0x30), QColor(Qt::white)})
            EXPECT_GE(inked(outlinedSymbolIcon(name).pixmap(22).toImage(), panel, 100), 25) << name << " on " << panel.name().toStdString();
}
