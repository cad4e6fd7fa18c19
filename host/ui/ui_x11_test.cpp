// The application on a real X server (the harness's Xvfb, which has no system tray and no window
// manager): the menu follows a tray that comes and goes, quitting leaves the real event loop, the
// desktop services read the server, and the host binary answers scripts/run's question.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <cstring>

#include "host/desktop/x11_connection.h"
#include "host/ui/app_services.h"
#include "host/ui/quillmate_host_app.h"
#include "host/ui/single_instance.h"
#include "host/model/host_model_test_support.h"

using namespace quill;
using namespace quill::host;
using namespace quill::host::ui;
using quill::host::testing::pumpFor;
using quill::host::testing::pumpUntil;

namespace {

class UiX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "no X display (run under scripts/harness/x11)";
        // No session bus here, and none may be started behind the test's back.
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
        static int argc = 1;
        static char* argv[] = {const_cast<char*>("quill_host_ui_x11_test"), nullptr};
        qputenv("QT_QPA_PLATFORM", "xcb");
        if (!QApplication::instance()) new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
};

// A system tray as X11 desktops announce one: the owner of _NET_SYSTEM_TRAY_S0, made known by a
// MANAGER message on the root window. It docks nothing; when it goes, its window and the
// selection go, as when a panel quits.
struct FakeTray {
    FakeTray() {
        xcb_create_window(x.get(), XCB_COPY_FROM_PARENT, window, x.root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          x.screen()->root_visual, 0, nullptr);
        xcb_client_message_event_t event = {XCB_CLIENT_MESSAGE, 32, 0, x.root(), atom("MANAGER"), {}};
        event.data.data32[1] = atom("_NET_SYSTEM_TRAY_S0");
        event.data.data32[2] = window;
        xcb_set_selection_owner(x.get(), window, event.data.data32[1], XCB_CURRENT_TIME);
        xcb_send_event(x.get(), 0, x.root(), XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&event));
        x.flush();
    }
    ~FakeTray() { xcb_destroy_window(x.get(), window), x.flush(); }
    xcb_atom_t atom(const char* name) {
        XcbReply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(x.get(), xcb_intern_atom(x.get(), 0, std::uint16_t(strlen(name)), name), nullptr));
        return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
    X11Connection x;
    xcb_window_t window = xcb_generate_id(x.get());
};

}  // namespace

TEST_F(UiX11Test, TheMenuFollowsTheTrayItsWindowStaysReachableAndQuitLeavesTheEventLoop) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "Xvfb has no tray";
    quill::host::testing::ModelHarness h;
    HostEnvironment env = h.environment();
    env.windowManager = nullptr;
    env.prompt = nullptr;
    auto app = std::make_unique<QuillmateHostApp>(std::move(env), QuillmateHostApp::Options{});
    HostModel& m = app->model();
    MenuBarItem& item = app->menuBarItem();
    ASSERT_TRUE(pumpUntil([&] { return m.listenerPort() && item.window() && item.window()->windowHandle()->isExposed(); }));
    EXPECT_TRUE(!item.trayIcon() && item.window()->windowTitle() == "Quillmate Host");
    EXPECT_EQ(item.window()->button()->menu(), app->menu().menu());
    // Placed in the middle, not in the corner where a screen without a window manager puts it.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((item.window()->geometry().center() - screen.center()).manhattanLength(), 2);
    // Closing it keeps it open: it is the only way to the menu.
    item.window()->close();
    pumpFor(0.2);
    EXPECT_TRUE(item.window()->isVisible() && !item.window()->isMinimized() && item.window()->windowHandle()->isExposed());

    // A panel that comes after the host takes the menu; when it goes, the window comes back.
    for (int round = 0; round < 2; ++round) {
        QPointer<MenuWindow> window = item.window();
        {
            FakeTray tray;
            ASSERT_TRUE(pumpUntil([&] { return item.trayIcon() && window.isNull() && !item.window(); })) << round;
            EXPECT_EQ(item.trayIcon()->contextMenu(), app->menu().menu());
            EXPECT_TRUE(item.trayIcon()->isVisible() && item.trayIcon()->toolTip() == "Quillmate Host");
        }
        ASSERT_TRUE(pumpUntil([&] { return item.window() && item.window()->windowHandle()->isExposed(); })) << round;
        EXPECT_TRUE(!item.trayIcon() && item.window()->button()->text() == "Quillmate Host");
    }

    // A session runs when the user quits; open windows do not hold the application.
    quill::host::testing::Controller c = h.pairedController(3, "Alice");
    c.offer(*m.listenerPort(), Offer("S-1", "offer-sdp", SessionMode::control, {}));
    ASSERT_TRUE(c.reply());
    ASSERT_TRUE(pumpUntil([&] { return m.activeActivityID().has_value() && !m.sessionTasks().empty(); }));
    EXPECT_EQ(item.window()->button()->text(), "Quillmate Host, session active");
    app->windows()->show("pairing", "Pair a Device", {520, 700});
    QTimer::singleShot(0, app.get(), [&] { app->menu().quitAction()->trigger(); });
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0) << "the real event loop, as the application runs it, ended by Quit";
    const auto entries = h.activityLog->entries();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].endReason, "session ended by the host user") << "the session ended in order before it left";
    EXPECT_EQ(byeReason(c), "session ended by the host user");
    EXPECT_GE(h.sink->releases.load(), 1);
    app.reset();
}

TEST_F(UiX11Test, DesktopServicesReadTheXServerAndSayWhatTheDesktopDidNotDo) {
    QTemporaryDir folder;
    // A desktop whose launcher finds nothing to open anything with.
    const QString launcher = folder.filePath("xdg-open");
    QFile script(launcher);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    script.write("#!/bin/sh\necho \"xdg-open: no method available for opening '$1'\" >&2\nexit 3\n");
    script.close();
    DesktopPaths paths{folder.filePath("keychain"), folder.filePath("activity"), folder.filePath("config"),
                       folder.filePath("cache"), launcher};
    DesktopServices services(paths);
    std::vector<std::pair<QString, QString>> reports;
    services.setReport([&](const QString& window, const QString& text) { reports.emplace_back(window, text); });
    ASSERT_TRUE(services.hasDisplay());
    // The number the X server gives the next client: the lowest one free.
    auto nextClient = [] {
        X11Connection probe;
        return xcb_get_setup(probe.get())->resource_id_base / (xcb_get_setup(probe.get())->resource_id_mask + 1);
    };
    const auto clientBefore = nextClient();
    HostEnvironment env = services.environment();
    // Input is applied from its own thread, over connections of its own (XTEST and the layout).
    EXPECT_EQ(nextClient(), clientBefore + 2);
    // Xvfb lets any client capture the screen and offers XTEST.
    EXPECT_TRUE(env.permissions->screenRecordingGranted() && env.permissions->accessibilityGranted());
    EXPECT_EQ(env.displays->mainDisplayMode(), (DisplaySize{1920, 1080}));
    EXPECT_TRUE(env.inputInjector && env.keepAwake && env.cursorSource && env.makeCaptureEngine && !env.operatingSystem.empty());
    // The identity lives in the keychain folder given; the login item in the config folder.
    EXPECT_EQ(env.keyStore->load().has_value(), false);
    ASSERT_TRUE(HostModel(services.environment()).identity() && env.keyStore->load().has_value());
    env.loginItem->setEnabled(true);
    EXPECT_TRUE(env.loginItem->isEnabled() && QFile::exists(folder.filePath("config/autostart/quillmate-host.desktop")));
    const QUrl page(services.settingsURL("Privacy_Accessibility"));
    QFile html(page.toLocalFile());
    ASSERT_TRUE(page.isLocalFile() && page.fragment() == "Privacy_Accessibility" && html.open(QIODevice::ReadOnly));
    EXPECT_TRUE(html.readAll().contains("id=\"Privacy_Accessibility\""));
    EXPECT_EQ(env.makeQRCode("quillmate://pair?v=0", 9.0)->width() % 9, 0);

    // Each request this desktop cannot carry out is answered in the window it came from.
    const PermissionRequests requests = services.permissionRequests();
    requests.requestScreenRecording();
    requests.requestAccessibility();
    services.openLoginItemsSettings();
    env.workspace->openURL(page.toString());
    env.workspace->revealFile(folder.filePath("activity/activity.jsonl"));  // and no bus: no file manager
    ASSERT_TRUE(pumpUntil([&] { return reports.size() == 5; }, 15));
    auto none = [&](const QString& path) {
        return "xdg-open: no method available for opening '" + QUrl::fromLocalFile(folder.filePath(path)).toString(QUrl::FullyEncoded) + "'";
    };
    const std::pair<QString, QString> expected[] = {
        {"permissions", "This computer has no access to grant: the host can record the screen whenever it can read "
                        "the X display. \u201cOpen System Settings\u201d tells more."},
        {"permissions", "This computer has no access to grant: the host can apply input whenever the X server offers "
                        "XTEST. \u201cOpen System Settings\u201d tells more."},
        {"", "Could not open " + folder.filePath("config/autostart") + ": " + none("config/autostart")},
        {"permissions", "Could not open the page: xdg-open: no method available for opening '" + page.toString(QUrl::FullyEncoded) + "'"},
        {"activity", "Could not show the log (" + folder.filePath("activity/activity.jsonl") +
                         "): no file manager answered, and the folder could not be opened: " + none("activity")}};
    for (const auto& report : expected)
        EXPECT_NE(std::find(reports.begin(), reports.end(), report), reports.end()) << report.second.toStdString();
}

// scripts/run asks the host binary whether a copy runs before it starts a virtual display. The
// binary runs with folders of its own, on this display, in a network namespace of its own.
TEST_F(UiX11Test, TheHostAnswersWhetherACopyRunsAndStartsNothing) {
    if (QProcess::execute("unshare", {"-n", "true"}) != 0) {
        if (qgetenv("CI") == "true") FAIL() << "cannot create a network namespace";
        GTEST_SKIP() << "cannot create a network namespace (unshare -n)";
    }
    QTemporaryDir home;
    QProcessEnvironment environment;
    for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
        QDir().mkpath(home.filePath(name)), environment.insert(name, home.filePath(name));
    environment.insert("DISPLAY", qEnvironmentVariable("DISPLAY"));
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    for (bool running : {false, true}) {
        std::optional<SingleInstanceLock> lock;
        if (running) lock.emplace(SingleInstanceLock::acquire(home.filePath("XDG_RUNTIME_DIR/quillmate-host.lock").toStdString()));
        QProcess host;
        host.setProcessEnvironment(environment);
        host.start("unshare", {"-n", QUILL_HOST_BINARY, "--check-running"});
        const bool ended = host.waitForFinished(10000);
        if (!ended) host.kill(), host.waitForFinished();
        ASSERT_TRUE(ended) << "it started instead of answering";
        EXPECT_EQ(host.exitCode(), running ? 1 : 0);
        EXPECT_EQ(host.readAllStandardError(), running ? "Quillmate Host is already running.\n" : "");
    }
}
