// The menu, the window manager and the four windows on the offscreen platform, over a real host
// model whose desktop, WebRTC layer and DNS-SD are fakes (pairing and sessions still run over
// sealed messages on loopback TCP).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QToolBar>
#include <QtTest/QTest>
#include <future>

#include "host/model/locale_dates.h"
#include "host/ui/activity_log_view.h"
#include "host/ui/paired_devices_view.h"
#include "host/ui/pairing_view.h"
#include "host/ui/permissions_view.h"
#include "host/ui/quillmate_host_app.h"
#include "host/model/host_model_test_support.h"
#include "host/ui/view_support.h"
#include "quillcore/base/base64.h"
#include "quillcore/pairing/controller_pairing.h"

using namespace quill;
using namespace quill::host;
using namespace quill::host::ui;
using quill::host::testing::Controller;
using quill::host::testing::pumpFor;
using quill::host::testing::pumpUntil;

namespace {

// What the user sees: a menu's entries top to bottom ("-" a separator, "&&" read as "&"), the
// entry, button or label with a text, and whether a widget shows as far as its window goes.
QStringList visibleEntries(const QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        if (a->isVisible()) out << (a->isSeparator() ? QStringLiteral("-") : a->text().replace("&&", "&"));
    return out;
}
QAction* findAction(const QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
        if (a->text().replace("&&", "&") == text) return a;
    return nullptr;
}
template <class W = QAbstractButton>
W* findByText(QWidget* root, const QString& text) {
    for (W* w : root->findChildren<W*>())
        if (w->text() == text) return w;
    return nullptr;
}
bool shownIn(QWidget* w, QWidget* root) { return w && w->isVisibleTo(root); }

template <class A, class B>
using Rows = std::initializer_list<std::pair<A, B>>;

QColor textColor(QWidget* w) { return w->palette().color(QPalette::WindowText); }

class UiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char* argv[] = {const_cast<char*>("quill_host_ui_test"), nullptr};
        // The smallest screen the windows are laid out for.
        QTemporaryDir folder;
        QFile config(folder.filePath("screen.json"));
        if (config.open(QIODevice::WriteOnly))
            config.write(R"({"screens": [{"name": "s", "x": 0, "y": 0, "width": 1024, "height": 768}]})");
        config.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
        if (!QApplication::instance()) new QApplication(argc, argv);
        ASSERT_EQ(QGuiApplication::primaryScreen()->availableGeometry(), QRect(0, 0, 1024, 768));
    }
    void TearDown() override { app.reset(), pumpFor(0.01); }  // closed windows go with deleteLater

    // The application over the harness's environment, with its own windows and prompt.
    HostModel& start(std::function<void(HostEnvironment&)> adjust = {}) {
        HostEnvironment env = h.environment();
        env.windowManager = nullptr;
        env.prompt = nullptr;
        if (adjust) adjust(env);
        QuillmateHostApp::Options options;
        options.useTray = false;
        options.terminate = [] {};
        options.openLoginItemsSettings = [this] { ++loginItemsShown; };
        options.permissionRequests.requestAccessibility = [this] { ++accessibilityRequests; };
        options.permissionRequests.settingsURL = [](const QString& list) { return "https://help.example/#" + list; };
        app = std::make_unique<QuillmateHostApp>(std::move(env), std::move(options));
        EXPECT_TRUE(pumpUntil([&] { return app->model().pairingLink().has_value(); }));
        return app->model();
    }
    HostWindow* window(const QString& id) { return app->windows()->window(id); }
    template <class View>
    View* open(const QString& entry, const QString& id) {
        findAction(app->menu().menu(), entry)->trigger();
        return qobject_cast<View*>(window(id)->content());
    }
    void connect(Controller& c, SessionMode mode, const char* id = "S-1") {
        HostModel& m = app->model();
        c.offer(*m.listenerPort(), Offer(id, "offer-sdp", mode, {}));
        EXPECT_TRUE(c.reply() && pumpUntil([&] { return m.activeSession() && m.activeActivityID() && !m.sessionTasks().empty(); }));
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
                return byLink ? controller->startLink(link, "Test Host", *channel) : controller->startComparison(*channel), true;
            } catch (...) {
                return false;
            }
        });
    }
    static bool ready(std::future<bool>& f) { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

    quill::host::testing::ModelHarness h;
    std::unique_ptr<QuillmateHostApp> app;
    std::vector<std::shared_ptr<ControllerPairing>> controllers;
    int loginItemsShown = 0, accessibilityRequests = 0;
};

}  // namespace

TEST_F(UiTest, OneWindowPerPurposeNeverSmallerThanItsContentEachClosedFromItselfAndNoneOverTheMenu) {
    start();
    WidgetWindowManager& windows = *app->windows();
    // No window manager draws a title bar: each window has a Close button of its own.
    windows.setWindowManagerCheck([] { return false; });
    struct Row {
        const char *entry, *id, *title;
        QSize size;
        bool fitsBesideTheMenu;  // on this screen, at that size
    };
    for (const Row& r : {Row{"Pair a device\u2026", "pairing", "Pair a Device", {520, 700}, false},
                         Row{"Paired devices\u2026", "peers", "Paired Devices", {820, 540}, true},
                         Row{"Activity log\u2026", "activity", "Activity Log", {900, 500}, true},
                         Row{"Permissions\u2026", "permissions", "Permissions", {580, 430}, true}}) {
        findAction(app->menu().menu(), QString::fromUtf8(r.entry))->trigger();
        HostWindow* w = window(r.id);
        ASSERT_TRUE(w && windows.isVisible(r.id) && w->windowTitle() == r.title) << r.id;
        // The size asked for is the content's, between toolbar and foot; a window that would
        // cover the menu window at that size is made lower, as far as its content allows.
        EXPECT_EQ(w->contentArea()->width(), r.size.width()) << r.id;
        EXPECT_EQ(w->contentArea()->height() == r.size.height(), r.fitsBesideTheMenu) << r.id;
        EXPECT_EQ(w->size().expandedTo(w->minimumSize()), w->size()) << r.id;
        EXPECT_FALSE(w->frameGeometry().intersects(app->menuBarItem().window()->frameGeometry())) << r.id;
        EXPECT_TRUE(w->screen()->availableGeometry().contains(w->frameGeometry())) << r.id;
        // Shrunk as far as it goes: at least 420 x 360, and room for the content's own minimum.
        w->resize(1, 1);
        EXPECT_EQ(w->contentArea()->size().expandedTo(w->content()->minimumSize()), w->contentArea()->size()) << r.id;
        EXPECT_EQ(w->size().expandedTo(QSize(420, 360)), w->size()) << r.id;
        findAction(app->menu().menu(), QString::fromUtf8(r.entry))->trigger();
        EXPECT_EQ(window(r.id), w) << "chosen again: the same window";
        ASSERT_TRUE(shownIn(w->closeButton(), w)) << r.id;
        w->closeButton()->click();
        EXPECT_FALSE(windows.isVisible(r.id)) << r.id;
    }
    windows.show("small", "Small", {300, 200});
    EXPECT_EQ(windows.window("small")->minimumSize(), QSize(300, 200)) << "a small window keeps its own size";
    windows.close("nothing");
    // Closed or minimised by the user: hidden, and brought back as it was. Closed through the
    // manager: the next show builds a new window, centred, at the asked size. A window manager
    // that draws title bars takes the Close button's place; Ctrl+W closes either way.
    windows.setWindowManagerCheck([] { return true; });
    QPointer<HostWindow> w = window("permissions");
    w->setGeometry(QRect(40, 50, 700, 450));
    for (bool minimise : {false, true}) {
        minimise ? w->showMinimized() : (void)w->close();
        EXPECT_FALSE(windows.isVisible("permissions"));
        windows.show("permissions", "Permissions", {580, 430});
        EXPECT_TRUE(window("permissions") == w && windows.isVisible("permissions") && w->geometry() == QRect(40, 50, 700, 450));
    }
    EXPECT_FALSE(shownIn(w->closeButton(), w));
    w->activateWindow();
    ASSERT_TRUE(pumpUntil([&] { return w->isActiveWindow(); }));
    QTest::keyClick(w, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(windows.isVisible("permissions"));
    windows.close("permissions");
    ASSERT_TRUE(!window("permissions") && pumpUntil([&] { return w.isNull(); }));
    windows.show("permissions", "Permissions", {580, 430});
    w = window("permissions");
    EXPECT_EQ(w->centralWidget()->size(), QSize(580, 430));
    EXPECT_LE((w->geometry().center() - w->screen()->availableGeometry().center()).manhattanLength(), 4);
    // Where a window opens: in the middle, unless it would cover the menu window (at the top
    // here); then beside it, as near the middle as the screen allows, lower or narrower where
    // only that fits (down to its least size, or further down to its floor, its content
    // scrolling, where only that keeps the menu window clear), else covering as little as it must.
    const QRect full(0, 0, 1920, 1080), small(0, 0, 1366, 768), smallest(0, 0, 1024, 768), underPanel(0, 32, 1024, 736);
    for (auto [size, least, floor, area, menu, at] : std::initializer_list<std::tuple<QSize, QSize, QSize, QRect, QRect, QRect>>{
             {{520, 780}, {520, 780}, {520, 780}, full, {}, {700, 150, 520, 780}},
             {{520, 780}, {480, 656}, {480, 656}, full, {830, 12, 260, 50}, {700, 150, 520, 780}},
             {{520, 780}, {480, 656}, {480, 656}, small, {553, 12, 260, 50}, {825, 0, 520, 768}},
             {{520, 736}, {480, 656}, {480, 656}, smallest, {382, 12, 260, 50}, {252, 74, 520, 694}},
             {{520, 736}, {480, 700}, {480, 700}, smallest, {382, 12, 260, 50}, {252, 68, 520, 700}},
             {{520, 736}, {480, 700}, {420, 360}, smallest, {382, 12, 260, 50}, {252, 74, 520, 694}},
             {{522, 725}, {482, 645}, {482, 645}, underPanel, {382, 44, 262, 74}, {251, 123, 522, 645}},
             {{522, 725}, {482, 645}, {422, 385}, underPanel, {382, 44, 262, 74}, {251, 130, 522, 638}},
             {{900, 540}, {900, 540}, {900, 540}, full, {830, 515, 260, 50}, {1020, 270, 900, 540}},
             {{900, 540}, {420, 360}, {420, 360}, full, {830, 515, 260, 50}, {510, 0, 900, 503}},
             {{2000, 1200}, {2000, 1200}, {2000, 1200}, full, {830, 12, 260, 50}, {0, 0, 2000, 1200}}})
        EXPECT_EQ(WidgetWindowManager::placement(size, least, floor, area, menu), at)
            << size.width() << " in " << area.width() << " beside " << menu.x() << ", down to " << least.height() << " or " << floor.height();
}

TEST_F(UiTest, TheMenuFollowsTheModelShowsNamesAsTheyAreAndSaysWhatBecameOfRequests) {
    HostModel& m = start();
    QMenu* menu = app->menu().menu();
    ASSERT_TRUE(app->menuBarItem().window()) << "no tray on this platform: the menu lives in a window";
    const QString id = "Device ID " + m.formattedDeviceID();
    const qint64 idleIcon = app->menu().icon().cacheKey();
    EXPECT_EQ(visibleEntries(menu), (QStringList{"Ready", "-", "Pair a device\u2026", "Paired devices\u2026", "Activity log\u2026",
                                                 "Permissions\u2026", "-", "Pause sharing", "Open at login",
                                                 "Open Login Items Settings\u2026", "-", id, "Quit Quillmate Host"}));
    for (QAction* a : menu->actions())
        EXPECT_TRUE(a->isSeparator() || !a->isVisible() || a->isEnabled() == (a->text() != "Ready" && a->text() != id));
    EXPECT_EQ(app->menu().quitAction()->shortcut(), QKeySequence(QKeySequence::Quit));

    Controller c = h.pairedController(3, "Ann & <b>Bo</b>");
    connect(c, SessionMode::control);
    ASSERT_TRUE(pumpUntil([&] { return app->menu().title() == "Quillmate Host, session active"; }));
    EXPECT_EQ(app->menu().symbol(), "rectangle.inset.filled.and.person.filled");
    EXPECT_EQ(app->menuBarItem().window()->button()->text(), "Quillmate Host, session active");
    const QStringList during = visibleEntries(menu);
    EXPECT_EQ(during.first(), "Session active with Ann & <b>Bo</b>");
    EXPECT_EQ(during.mid(during.indexOf("End active session") - 1, 4), (QStringList{"-", "End active session", "-", id}));
    findAction(menu, "End active session")->trigger();
    EXPECT_EQ(byeReason(c), "session ended by the host user");
    ASSERT_TRUE(pumpUntil([&] { return !visibleEntries(menu).contains("End active session"); }));
    EXPECT_EQ(app->menu().title(), "Quillmate Host");
    // The same icon again, not a new one for Qt's pixmap cache to keep at every session.
    EXPECT_EQ(app->menu().icon().cacheKey(), idleIcon);
    EXPECT_EQ(app->menuBarItem().window()->button()->icon().cacheKey(), idleIcon);
    findAction(menu, "End active session")->trigger();  // a stale menu: nothing happens
    pumpFor(0.05);
    EXPECT_EQ(h.sessions->size(), 1u);
    // The toggles ask the model and show its answer.
    QAction *pause = findAction(menu, "Pause sharing"), *login = findAction(menu, "Open at login");
    pause->trigger();
    EXPECT_TRUE(m.sharingPaused() && pause->isChecked() && visibleEntries(menu).first() == "Paused");
    pause->trigger();
    EXPECT_FALSE(m.sharingPaused() || pause->isChecked());
    login->trigger();
    h.loginItem->refuse = true;
    login->trigger();
    EXPECT_TRUE(h.loginItem->enabled && login->isChecked());
    EXPECT_TRUE(visibleEntries(menu).contains("Could not update Open at login: Read-only file system"));
    // What became of a request: in the status line of its window while that is open, else here.
    findAction(menu, "Permissions\u2026")->trigger();
    app->report("permissions", "Nothing & nowhere");
    EXPECT_EQ(window("permissions")->status(), "Nothing & nowhere");
    // A long one, at the window's least width: wrapped, all of it inside the window.
    HostWindow* permissions = window("permissions");
    const QString longer = "Could not open the page about these permissions (/home/someone/.cache/quillmate-host/"
                           "permissions-of-a-user-with-a-long-name.html): no program on this computer is set to open it.";
    app->report("permissions", longer);
    permissions->resize(permissions->minimumSize());
    pumpFor(0.05);
    auto* status = permissions->findChild<QLabel*>("status");
    EXPECT_EQ(permissions->status(), longer);
    EXPECT_TRUE(shownIn(status, permissions) && status->wordWrap() && status->textFormat() == Qt::PlainText);
    EXPECT_GE(status->height(), status->heightForWidth(status->width()));
    EXPECT_LE(status->mapTo(permissions, QPoint(status->width(), status->height())).x(), permissions->width());
    EXPECT_LE(status->minimumSizeHint().width(), status->width()) << "a part too long to wrap";
    app->report("activity", "No file manager");
    app->report("", "No folder & no launcher");
    EXPECT_TRUE(visibleEntries(menu).contains("No folder & no launcher") && !visibleEntries(menu).contains("No file manager"));
    findAction(menu, "Open Login Items Settings\u2026")->trigger();
    EXPECT_EQ(loginItemsShown, 1);
    EXPECT_FALSE(visibleEntries(menu).contains("No folder & no launcher")) << "a new attempt clears it";
}

TEST_F(UiTest, PairingWindowShowsACodeOnlyWhileSharingAndItsLinkInWholeLines) {
    auto addresses = std::make_shared<int>(1);
    HostModel& m = start([addresses](HostEnvironment& env) {
        env.localAddresses = [addresses](std::uint16_t port) {
            return std::vector<std::string>(*addresses, "[2001:db8:aaaa:bbbb::1234]:" + std::to_string(port));
        };
    });
    auto* view = open<PairingView>("Pair a device\u2026", "pairing");
    auto* qr = view->findChild<QLabel*>("qrImage");
    auto* url = view->findChild<LinkBox*>("pairingURL");
    auto text = [&](const char* name) { return view->findChild<QLabel*>(name)->text(); };
    ASSERT_TRUE(shownIn(qr, view) && qr->pixmap().size() == QSize(280, 280) && qr->accessibleName() == "Pairing QR code");
    EXPECT_EQ((QStringList{text("countdown"), text("deviceID"), text("hostName")}),
              (QStringList{"New code in 300s", m.formattedDeviceID(), "Test Host"}));
    EXPECT_FALSE(view->findChild<QLabel*>("hostName")->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_TRUE(url->textInteractionFlags() & Qt::TextSelectableByMouse);
    for (const char* hidden : {"approvalBox", "pairingStatus", "pausedNote"}) EXPECT_FALSE(shownIn(view->findChild<QWidget*>(hidden), view));
    // The link box holds whole lines, at most three; only a longer link scrolls. So it does at
    // every width the window takes, whatever link it showed before.
    auto wholeLines = [&] {
        const int lines = url->document()->firstBlock().layout()->lineCount();
        return url->verticalScrollBar()->isVisible() == (lines > 3) &&
               std::abs(url->viewport()->height() - std::min(lines, 3) * QFontMetrics(url->font()).lineSpacing()) <= 2;
    };
    QStringList links;
    for (int count : {1, 3, 6}) {
        *addresses = count;
        findByText(view, "Rotate Pairing Code")->click();
        ASSERT_TRUE(pumpUntil([&] { return url->toPlainText() == *m.pairingURL() && m.pairingLink()->endpoints.size() == size_t(count); }));
        EXPECT_TRUE(pumpUntil(wholeLines)) << count;  // the layout settles in posted events
        links << url->toPlainText();
    }
    QStringList wrong;
    auto check = [&](int width) {
        window("pairing")->resize(width, window("pairing")->height());
        QCoreApplication::sendPostedEvents();
        if (!wholeLines()) wrong << QString("%1 px, %2 lines").arg(width).arg(url->document()->firstBlock().layout()->lineCount());
    };
    const int narrowest = window("pairing")->minimumWidth();
    // A new link at each width; then each link as the width goes down and up again.
    for (int width = narrowest; width <= 1100; width += 5)
        for (const QString& link : {links[0], links[1], links[0], links[2]}) url->setPlainText(link), check(width);
    for (const QString& link : links) {
        url->setPlainText(link);
        for (int width = 1100; width >= narrowest; width -= 5) check(width);
        for (int width = narrowest; width <= 1100; width += 5) check(width);
    }
    EXPECT_TRUE(wrong.isEmpty()) << wrong.join("; ").toStdString();
    url->setPlainText(*m.pairingURL());
    // Paused: a code that cannot work is not shown.
    findAction(app->menu().menu(), "Pause sharing")->trigger();
    auto* instruction = view->findChild<QLabel*>("instruction");
    EXPECT_TRUE(instruction->text().startsWith("Scan this code"));
    for (QWidget* w : std::initializer_list<QWidget*>{qr, url, instruction, view->findChild<QLabel*>("countdown"), findByText(view, "Rotate Pairing Code")})
        EXPECT_FALSE(shownIn(w, view)) << w->objectName().toStdString();
    EXPECT_TRUE(shownIn(view->findChild<QLabel*>("pausedNote"), view));
    EXPECT_EQ(text("pausedNote"), "Sharing is paused, so no device can pair now. Turn off \u201cPause sharing\u201d in the menu "
                                  "to show a pairing code.");
    findAction(app->menu().menu(), "Pause sharing")->trigger();
    ASSERT_TRUE(pumpUntil([&] { return shownIn(qr, view) && shownIn(url, view) && shownIn(instruction, view); }));
    window("pairing")->close();
    pumpFor(0.05);
    EXPECT_FALSE(m.isAwaitingPairingConfirmation()) << "closing in the QR state refuses nothing";
}

TEST_F(UiTest, PairingRequestsAreAnsweredFromTheWindowAndTheirOutcomesShown) {
    HostModel& m = start();
    auto* view = open<PairingView>("Pair a device\u2026", "pairing");
    auto* box = view->findChild<QWidget*>("approvalBox");
    auto* status = view->findChild<QLabel*>("pairingStatus");
    // Through the QR link: no code, and a name with markup stays text.
    auto byLink = pair(11, "<i>Dana</i>", true);
    ASSERT_TRUE(pumpUntil([&] { return shownIn(box, view); }, 10));
    EXPECT_EQ(view->findChild<QLabel*>("requestText")->text(), "<i>Dana</i> is requesting permission to pair with this computer.");
    EXPECT_TRUE(shownIn(findByText<QLabel>(view, "This request came from the QR pairing code."), view));
    EXPECT_FALSE(shownIn(view->findChild<QLabel*>("comparisonCode"), view) || shownIn(view->findChild<QLabel*>("qrImage"), view));
    // Confirm counts once the window has held the focus, with the request on show, for a second:
    // until then the button shows disabled and Return does nothing.
    QPushButton* confirm = findByText<QPushButton>(view, "Confirm Pairing");
    EXPECT_FALSE(confirm->isEnabled()) << "armed as the request came";
    ASSERT_TRUE(pumpUntil([&] { return confirm->isEnabled(); }));
    EXPECT_TRUE(m.isAwaitingPairingConfirmation());
    confirm->click();
    ASSERT_TRUE(pumpUntil([&] { return ready(byLink) && status->text() == "Paired <i>Dana</i>."; }, 10));
    EXPECT_TRUE(byLink.get() && status->textFormat() == Qt::PlainText && textColor(status) == secondaryColor());
    // By comparison: the code both sides show; Return confirms, once armed.
    auto compared = pair(21, "Laptop");
    ASSERT_TRUE(pumpUntil([&] { return shownIn(box, view) && m.comparisonCode(); }, 10));
    EXPECT_EQ(view->findChild<QLabel*>("comparisonCode")->text(), QString::fromStdString(controllers.back()->comparisonCode()->groupedText()));
    EXPECT_TRUE(shownIn(findByText<QLabel>(view, "Check that this code matches the one shown on the controller before you confirm."), view));
    controllers.back()->confirmComparison();
    window("pairing")->activateWindow();
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(window("pairing"), key);
    pumpFor(0.2);
    EXPECT_TRUE(!ready(compared) && m.isAwaitingPairingConfirmation()) << "Return before the second confirmed";
    ASSERT_TRUE(pumpUntil([&] { return confirm->isEnabled(); }));
    QTest::keyClick(window("pairing"), Qt::Key_Return);
    ASSERT_TRUE(pumpUntil([&] { return ready(compared) && !shownIn(box, view); }, 10));
    EXPECT_TRUE(compared.get());
    // Escape refuses at once.
    auto hasty = pair(24, "Hasty");
    ASSERT_TRUE(pumpUntil([&] { return shownIn(box, view) && m.isAwaitingPairingConfirmation(); }, 10));
    QTest::keyClick(window("pairing"), Qt::Key_Escape);
    ASSERT_TRUE(pumpUntil([&] { return ready(hasty) && !m.isAwaitingPairingConfirmation(); }, 10));
    EXPECT_FALSE(hasty.get());
    // A request waits; another meanwhile is turned away in red; minimising refuses nothing, closing refuses once.
    auto refused = pair(22, "Stranger");
    ASSERT_TRUE(pumpUntil([&] { return shownIn(box, view) && m.isAwaitingPairingConfirmation(); }, 10));
    auto turnedAway = pair(23, "Intruder");
    ASSERT_TRUE(pumpUntil([&] { return ready(turnedAway) && status->text().startsWith("Pairing failed: "); }, 10));
    EXPECT_TRUE(!turnedAway.get() && textColor(status) == errorColor() && shownIn(box, view));
    window("pairing")->showMinimized();
    pumpFor(0.1);
    EXPECT_TRUE(m.isAwaitingPairingConfirmation());
    window("pairing")->close();
    ASSERT_TRUE(pumpUntil([&] { return ready(refused) && !m.isAwaitingPairingConfirmation(); }, 10));
    EXPECT_TRUE(!refused.get() && m.peers().size() == 2u);
    for (auto [text, red] : Rows<const char*, bool>{{"Request Failed", true}, {"PAIRING FAILED", false}, {"Paired Fai.", false}})
        EXPECT_EQ(PairingView::isFailureMessage(text), red) << text;
}

TEST_F(UiTest, ConfirmArmsAfterASecondOfFocusWithTheSameRequestOnShow) {
    using namespace std::chrono_literals;
    const ConfirmArming::Clock::time_point t0{};
    // Events at their times (ms): "focus", "blur", "none" (no request), else the request on show;
    // then whether it is armed at a time, events at that time first.
    struct Row {
        const char* name;
        std::vector<std::pair<int, std::string>> events;
        std::vector<std::pair<int, bool>> armed;
    };
    for (const Row& r : std::initializer_list<Row>{
             {"a second of focus with a code", {{0, "focus"}, {0, "123 456"}}, {{990, false}, {1000, true}, {60000, true}}},
             {"the count starts with the focus", {{0, "123 456"}, {500, "focus"}}, {{1499, false}, {1500, true}}},
             {"focus lost and regained", {{0, "focus"}, {0, "123 456"}, {600, "blur"}, {700, "focus"}}, {{1000, false}, {1699, false}, {1700, true}}},
             {"lost when armed", {{0, "focus"}, {0, "123 456"}, {1500, "blur"}}, {{1499, true}, {1500, false}, {9000, false}}},
             {"a new code", {{0, "focus"}, {0, "123 456"}, {800, "654 321"}}, {{1000, false}, {1799, false}, {1800, true}}},
             {"the same code again", {{0, "focus"}, {0, "123 456"}, {800, "123 456"}}, {{1000, true}}},
             {"a new request with the same text", {{0, "focus"}, {0, "Ann\n"}, {500, "none"}, {600, "Ann\n"}}, {{1000, false}, {1600, true}}},
             {"no request", {{0, "focus"}}, {{5000, false}}},
             {"no focus", {{0, "123 456"}}, {{5000, false}}}}) {
        ConfirmArming arming;
        auto event = r.events.begin();
        for (auto [at, expected] : r.armed) {
            for (; event != r.events.end() && event->first <= at; ++event) {
                const auto when = t0 + std::chrono::milliseconds(event->first);
                if (event->second == "focus" || event->second == "blur")
                    arming.setFocused(event->second == "focus", when);
                else
                    arming.setShown(event->second == "none" ? std::nullopt : std::optional(QString::fromStdString(event->second)), when);
            }
            EXPECT_EQ(arming.armed(t0 + std::chrono::milliseconds(at)), expected) << r.name << " at " << at << " ms";
            // The view's timer wakes when it arms.
            if (const auto when = arming.armsAt()) {
                EXPECT_TRUE(!arming.armed(*when - 1ns) && arming.armed(*when)) << r.name;
            }
        }
    }
}

TEST_F(UiTest, PairedDevicesShowNamesAsTextAndChangeOnlyTheirOwnRecord) {
    PeerPermissions viewOnly;
    viewOnly.view = true;
    Controller first = h.pairedController(3, "Alpha"), second = h.pairedController(4, "Beta & <b>co</b>", viewOnly);
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
    EXPECT_TRUE(row("Beta & <b>co</b>")->findChild<QLabel*>("name")->textFormat() == Qt::PlainText &&
                row("Beta & <b>co</b>")->findChild<QLabel*>("lastSession")->text() == "Last session: Never");
    EXPECT_EQ(boxes("Alpha"), (std::vector<bool>{true, true, true, false, false}));
    findByText<QCheckBox>(row("Beta & <b>co</b>"), "Files")->click();
    EXPECT_TRUE(h.hostStore->peer(second.record.fingerprint)->permissions.files);
    EXPECT_EQ(boxes("Beta & <b>co</b>"), (std::vector<bool>{true, false, false, true, false}));
    EXPECT_EQ(h.hostStore->peer(first.record.fingerprint)->permissions, PeerPermissions::defaults());
    findByText(row("Alpha"), "Revoke")->click();
    EXPECT_FALSE(h.hostStore->peer(first.record.fingerprint));
    ASSERT_TRUE(pumpUntil([&] { return !row("Alpha"); }));
    h.pairedController(5, "Tablet");  // behind the model's back: choosing the entry reads the store again
    open<PairedDevicesView>("Paired devices\u2026", "peers");
    EXPECT_TRUE(pumpUntil([&] { return row("Tablet"); }));
}

TEST_F(UiTest, PermissionsWindowShowsEachPermissionItsRequestsAndTheStartupError) {
    h.permissions->accessibility = false;
    HostModel& m = start([](HostEnvironment& env) {
        env.makeAdvertiser = [](std::string, Bytes, HostAdvertiser::ConnectionHandler) -> std::shared_ptr<HostAdvertiser> {
            throw std::runtime_error("no network here");
        };
    });
    WidgetWindowManager& windows = *app->windows();
    ASSERT_TRUE(pumpUntil([&] { return windows.isVisible("permissions"); })) << "a permission is missing: up from the start";
    auto* view = qobject_cast<PermissionsView*>(window("permissions")->content());
    auto* error = view->findChild<QLabel*>("startupError");
    EXPECT_EQ(error->text(), "Could not start LAN discovery: no network here");
    EXPECT_TRUE(textColor(error) == errorColor() && (error->textInteractionFlags() & Qt::TextSelectableByMouse));
    PermissionRow *screen = view->screenRecordingRow(), *access = view->accessibilityRow();
    EXPECT_EQ(screen->mark()->accessibleName() + ", " + access->mark()->accessibleName(), "Screen Recording granted, Accessibility required");
    EXPECT_EQ(access->mark()->property("symbol").toString(), "exclamationmark.circle.fill");
    EXPECT_TRUE(!shownIn(screen->requestButton(), view) && shownIn(access->requestButton(), view) && shownIn(screen->settingsButton(), view));
    EXPECT_FALSE(findByText<QPushButton>(view, "Done")->isEnabled());
    screen->settingsButton()->click();
    access->settingsButton()->click();
    EXPECT_EQ(h.workspace->opened, (std::vector<QString>{"https://help.example/#Privacy_ScreenCapture", "https://help.example/#Privacy_Accessibility"}));
    // A request is followed by a re-check; both held, that refresh closes the window.
    h.permissions->accessibility = true;
    access->requestButton()->click();
    EXPECT_TRUE(accessibilityRequests == 1 && m.accessibilityGranted() && !windows.isVisible("permissions"));
    EXPECT_EQ(access->mark()->property("symbol").toString(), "checkmark.circle.fill");
    findByText<QPushButton>(open<PermissionsView>("Permissions\u2026", "permissions"), "Done")->click();
    EXPECT_FALSE(windows.isVisible("permissions"));
}

TEST_F(UiTest, ActivityLogShowsSessionsAndRevealsItsFileAndThePromptLeavesTheHostFree) {
    using namespace std::chrono_literals;
    // A clock the test moves, its times with fractions of a second.
    const auto second = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    auto clock = std::make_shared<ManualWallClock>(second + 600ms);
    HostModel& m = start([&](HostEnvironment& env) { env.clock = clock; });
    QTableView* view = open<ActivityLogView>("Activity log\u2026", "activity")->table();
    QAbstractItemModel* table = view->model();
    // At the window's size each column shows its longest text whole: the end reasons the host
    // writes, a late time in September, a day's duration, a full IPv4 address and port.
    ActivityEntry late;
    late.startedAt = SystemTime(std::chrono::seconds(QDateTime(QDate(2026, 9, 28), QTime(22, 58, 58)).toSecsSinceEpoch()));
    const int cellMargins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1) + 1;
    for (auto [column, text] : Rows<int, QString>{{1, ActivityTableModel::cellText(late, 1)}, {2, "23 hr, 59 min, 59 sec"}, {3, "Control"},
                                                  {4, "255.255.255.255:65535"}, {5, "Session closed by the controller"},
                                                  {5, "The controller stopped responding"}, {5, "session ended by the host user"},
                                                  {5, "the host stopped during the session"}})
        EXPECT_GE(view->columnWidth(column) - cellMargins, view->fontMetrics().horizontalAdvance(text)) << text.toStdString();
    const int headerMargins = 2 * view->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, view->horizontalHeader());
    for (int column = 0; column < table->columnCount(); ++column) {
        const QString header = table->headerData(column, Qt::Horizontal).toString();
        EXPECT_GE(view->columnWidth(column) - headerMargins, view->horizontalHeader()->fontMetrics().horizontalAdvance(header)) << column;
    }
    Controller c = h.pairedController(3, "Al & <b>i</b>");
    connect(c, SessionMode::view);
    auto cell = [&](int column) { return table->index(0, column).data().toString(); };
    ASSERT_TRUE(pumpUntil([&] { return table->rowCount() == 1; }));
    EXPECT_EQ((QStringList{cell(0), cell(2), cell(3), cell(4)}), (QStringList{"Al & <b>i</b>", "Active", "View", m.activityEntries()[0].remoteAddress}));
    // 7.5 s from hh:mm:ss.6 shows as 8 sec, as the file's whole seconds give after a restart;
    // ended from the menu, the session is recorded as the controller's close.
    clock->advance(7500ms);
    findAction(app->menu().menu(), "End active session")->trigger();
    ASSERT_TRUE(pumpUntil([&] { return cell(2) == "8 sec"; }));
    EXPECT_EQ(cell(5), "Session closed by the controller");
    const QList<ActivityEntry> reread = ActivityLog(QFileInfo(h.activityLog->filePath()).path()).entries();
    ASSERT_EQ(reread.size(), 1);
    EXPECT_EQ(ActivityTableModel::cellText(reread[0], 2), "8 sec");
    window("activity")->findChild<QToolBar*>("toolbar")->actions()[1]->trigger();
    EXPECT_TRUE(h.workspace->revealed.size() == 1u && h.workspace->revealed[0].endsWith("/activity.jsonl"));
    for (auto [seconds, text] : Rows<int, const char*>{{3725, "1 hr, 2 min, 5 sec"}, {3600, "1 hr"}, {61, "1 min, 1 sec"}, {-5, "0 sec"},
                                                       {90061, "25 hr, 1 min, 1 sec"}})
        EXPECT_EQ(ActivityLogView::durationText(seconds), text);
    // "Started": the locale's short date and the time to the second, without a time zone.
    ActivityEntry e;
    e.startedAt = SystemTime(std::chrono::seconds(1'699'963'225));  // 2023-11-14 12:00:25 UTC
    for (auto [name, date] : Rows<const char*, const char*>{{"en_US", "Nov 14, 2023, "}, {"de_DE", "14. Nov. 2023, "},
                                                            {"zh_TW", "2023年11月14日, "}, {"fr_FR", "14 nov. 2023, "}}) {
        QLocale::setDefault(QLocale(name));
        const QString started = ActivityTableModel::cellText(e, 1);
        EXPECT_TRUE(started.startsWith(QString::fromUtf8(date)) && started.contains(":00:25") && !started.contains("()")) << name;
    }
    QLocale::setDefault(QLocale::system());
    // The application's own prompt asks for an attended session, naming the peer as text.
    auto box = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
        return static_cast<QMessageBox*>(nullptr);
    };
    PeerPermissions attended = PeerPermissions::defaults();
    attended.attendedOnly = true;
    Controller carol = h.pairedController(5, "Carol <script>", attended);
    carol.offer(*m.listenerPort(), Offer("S-2", "offer-sdp", SessionMode::control, {}));
    ASSERT_TRUE(pumpUntil([&] { return box() != nullptr; }));
    EXPECT_EQ(box()->text(), "Allow Carol <script> to connect?");
    findByText(box(), "Decline")->click();
    EXPECT_TRUE(carol.reply() && pumpUntil([&] { return !m.isSessionReserved(); }));
}

TEST_F(UiTest, AnEntryLeftOpenByAnEarlierRunIsShownAsEndedAtAnUnknownTime) {
    Controller alice = h.pairedController(3, "Alice");
    const SystemTime started = std::chrono::system_clock::from_time_t(1'800'000'000);
    h.activityLog->write({{QUuid::createUuid(), "Alice", QString::fromStdString(Base64URL::encode(alice.record.fingerprint)),
                           started, std::nullopt, "control", "10.0.0.2:5000", std::nullopt}});
    HostModel& m = start();
    ActivityLogView activity(m);
    PairedDevicesView peers(m);
    const QAbstractItemModel* rows = activity.table()->model();
    ASSERT_EQ(rows->rowCount(), 1);
    EXPECT_EQ(rows->index(0, 2).data().toString(), QStringLiteral("\u2014"));
    const QString ended = QStringLiteral("the host stopped during the session");
    EXPECT_EQ(rows->index(0, 5).data().toString(), ended);
    // The whole text is its tooltip too, as a failure's may be longer than its column.
    EXPECT_EQ(rows->index(0, 5).data(Qt::ToolTipRole).toString(), ended);
    EXPECT_EQ(peers.findChild<QLabel*>("lastSession")->text(), "Last session: " + abbreviatedDateAndShortTime(started));
}

TEST_F(UiTest, TextsFromDataStayLiteralAndSymbolsShowOnAnyPanel) {
    EXPECT_EQ(literalActionText("A&B && C\tD"), "A&&B &&&& C D");
    EXPECT_EQ(std::unique_ptr<QLabel>(plainLabel("<b>bold</b>"))->textFormat(), Qt::PlainText);
    // Pixels that differ from the panel below by at least `contrast` grey levels.
    auto inked = [](const QImage& image, QColor panel, int contrast) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                count += std::abs(c.alphaF() * (qGray(c.rgb()) - qGray(panel.rgb()))) >= contrast;
            }
        return count;
    };
    for (const char* name : {"lock.shield", "checkmark.circle.fill", "arrow.clockwise", "folder", "person.crop.circle.badge.questionmark"})
        EXPECT_GT(inked(symbolPixmap(name, 32, Qt::black).toImage(), Qt::white, 128), 0) << name;
    EXPECT_EQ(inked(symbolPixmap("no.such.symbol", 8, Qt::black).toImage(), Qt::white, 1), 0);
    // The menu's icon stands out on a dark panel as on a light one.
    for (const char* name : {"display", "rectangle.inset.filled.and.person.filled"})
        for (QColor panel : {QColor(Qt::black), QColor(0x30, 0x30, 0x30), QColor(Qt::white)})
            EXPECT_GE(inked(outlinedSymbolIcon(name).pixmap(22).toImage(), panel, 100), 25) << name << " on " << panel.name().toStdString();
}
