// The application on a real X server (the harness's Xvfb, which has no system tray): the menu
// window stands in for the tray, quitting leaves the real event loop, and the desktop services
// read the server.
#include <gtest/gtest.h>

#include <QDir>
#include <cstring>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include "host/desktop/display_info.h"
#include "host/desktop/x11_connection.h"
#include "host/ui/app_services.h"
#include "host/ui/quillmate_host_app.h"
#include "host/ui/ui_test_support.h"

using namespace quill;
using namespace quill::host;
using namespace quill::host::ui;
using namespace quill::host::ui::testing;
using quill::host::testing::Controller;
using quill::host::testing::ModelHarness;

namespace {

class UiX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "no X display (run under scripts/harness/x11)";
        startApplication("xcb");
    }
};

}  // namespace

TEST_F(UiX11Test, WithoutATrayTheMenuLivesInAWindowAndQuitLeavesTheEventLoop) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "Xvfb has no tray";
    ModelHarness h;
    HostEnvironment env = h.environment();
    env.windowManager = nullptr;
    env.prompt = nullptr;
    // The real way out: the application's own event loop must end.
    auto app = std::make_unique<QuillmateHostApp>(std::move(env), QuillmateHostApp::Options{});
    HostModel& m = app->model();
    ASSERT_TRUE(pumpUntil([&] { return m.listenerPort().has_value(); }));
    MenuWindow* window = app->menuBarItem().window();
    ASSERT_TRUE(window);
    EXPECT_FALSE(app->menuBarItem().trayIcon());
    ASSERT_TRUE(pumpUntil([&] { return window->isVisible() && window->windowHandle()->isExposed(); }));
    EXPECT_EQ(window->windowTitle(), "Quillmate Host");
    EXPECT_EQ(window->button()->menu(), app->menu().menu());
    EXPECT_EQ(window->button()->text(), "Quillmate Host");

    // Closing it keeps it on the desktop: the menu must stay reachable.
    window->close();
    pumpFor(0.1);
    EXPECT_TRUE(window->isVisible());

    // The same window that opens the four windows opens them on this server.
    findAction(app->menu().menu(), "Permissions\u2026")->trigger();
    HostWindow* permissions = app->windows()->window("permissions");
    ASSERT_TRUE(permissions);
    ASSERT_TRUE(pumpUntil([&] { return permissions->windowHandle() && permissions->windowHandle()->isExposed(); }));
    permissions->close();
    ASSERT_TRUE(pumpUntil([&] { return !app->windows()->isVisible("permissions"); }));

    // A session is running when the user quits; open windows do not hold the application.
    Controller c = h.pairedController(3, "Alice");
    c.connect(*m.listenerPort());
    c.send(Offer("S-1", "offer-sdp", SessionMode::control, {}));
    auto answer = c.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    ASSERT_TRUE(pumpUntil([&] { return m.activeActivityID().has_value() && !m.sessionTasks().empty(); }));
    findAction(app->menu().menu(), "Pair a device\u2026")->trigger();

    bool timedOut = false;
    QTimer::singleShot(0, app.get(), [&] { app->menu().quitAction()->trigger(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    guard.start(10000);
    // The real event loop, as the application runs it: Quit must end it.
    const int code = QCoreApplication::exec();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(code, 0);
    auto entries = h.activityLog->entries();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_TRUE(entries[0].endedAt) << "the session ended before the application left";
    EXPECT_GE(h.sink->releases.load(), 1);
    app.reset();
}

namespace {

xcb_atom_t internAtom(const X11Connection& x, const char* name) {
    XcbReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(x.get(), xcb_intern_atom(x.get(), 0, static_cast<std::uint16_t>(strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// A system tray as X11 desktops announce one: the owner of _NET_SYSTEM_TRAY_S0, made known by a
// MANAGER message on the root window. It docks nothing; it only has to be there.
class FakeTray {
public:
    FakeTray() {
        window_ = xcb_generate_id(x_.get());
        xcb_create_window(x_.get(), XCB_COPY_FROM_PARENT, window_, x_.root(), 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, x_.screen()->root_visual, 0, nullptr);
        const xcb_atom_t selection = internAtom(x_, "_NET_SYSTEM_TRAY_S0");
        xcb_set_selection_owner(x_.get(), window_, selection, XCB_CURRENT_TIME);
        xcb_client_message_event_t event = {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = x_.root();
        event.type = internAtom(x_, "MANAGER");
        event.data.data32[0] = XCB_CURRENT_TIME;
        event.data.data32[1] = selection;
        event.data.data32[2] = window_;
        xcb_send_event(x_.get(), 0, x_.root(), XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&event));
        x_.flush();
    }
    ~FakeTray() {
        xcb_destroy_window(x_.get(), window_);
        x_.flush();
    }

private:
    X11Connection x_;
    xcb_window_t window_ = 0;
};

}  // namespace

TEST_F(UiX11Test, ATrayTakesTheMenuAlsoWhenItComesAfterTheStart) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    ModelHarness h;
    HostEnvironment env = h.environment();
    env.windowManager = nullptr;
    env.prompt = nullptr;
    QuillmateHostApp::Options options;
    options.terminate = [] {};
    QuillmateHostApp app(std::move(env), std::move(options));
    HostModel& m = app.model();
    ASSERT_TRUE(pumpUntil([&] { return m.listenerPort().has_value(); }));
    QPointer<MenuWindow> window = app.menuBarItem().window();
    ASSERT_TRUE(window);

    // The panel starts after the host (as at login): its tray takes the menu, the window goes.
    FakeTray tray;
    ASSERT_TRUE(pumpUntil([&] { return app.menuBarItem().trayIcon() != nullptr; }));
    QSystemTrayIcon* icon = app.menuBarItem().trayIcon();
    EXPECT_FALSE(app.menuBarItem().window()) << "no menu window beside a tray";
    ASSERT_TRUE(pumpUntil([&] { return window.isNull(); }));
    EXPECT_EQ(icon->contextMenu(), app.menu().menu());
    EXPECT_TRUE(icon->isVisible());
    EXPECT_EQ(icon->toolTip(), "Quillmate Host");
    EXPECT_FALSE(icon->icon().isNull());

    Controller c = h.pairedController(3, "Alice");
    c.connect(*m.listenerPort());
    c.send(Offer("S-1", "offer-sdp", SessionMode::view, {}));
    auto answer = c.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    ASSERT_TRUE(pumpUntil([&] { return icon->toolTip() == "Quillmate Host, session active"; }));
    EXPECT_EQ(app.menu().symbol(), "rectangle.inset.filled.and.person.filled");
}

TEST_F(UiX11Test, DesktopServicesReadTheXServer) {
    QTemporaryDir folder;
    DesktopPaths paths;
    paths.keychainRoot = folder.filePath("keychain");
    paths.activityFolder = folder.filePath("activity");
    paths.configHome = folder.filePath("config");
    paths.cacheFolder = folder.filePath("cache");
    DesktopServices services(paths);
    ASSERT_TRUE(services.hasDisplay());
    HostEnvironment env = services.environment();

    // Xvfb lets any client capture the screen and offers XTEST.
    ASSERT_TRUE(env.permissions);
    EXPECT_TRUE(env.permissions->screenRecordingGranted());
    EXPECT_TRUE(env.permissions->accessibilityGranted());
    ASSERT_TRUE(env.displays);
    EXPECT_EQ(env.displays->mainDisplayMode(), (DisplaySize{1920, 1080}));
    EXPECT_TRUE(env.inputInjector);
    EXPECT_TRUE(env.keepAwake);
    EXPECT_TRUE(env.cursorSource);
    EXPECT_TRUE(env.makeCaptureEngine);
    EXPECT_FALSE(env.operatingSystem.empty());

    // The identity is kept in the keychain folder given, and is the same the next time.
    Bytes first;
    {
        HostEnvironment e = services.environment();
        e.startAutomatically = false;
        HostModel model(std::move(e));
        ASSERT_TRUE(model.identity());
        first = model.identity()->fingerprint();
    }
    {
        HostEnvironment e = services.environment();
        e.startAutomatically = false;
        HostModel model(std::move(e));
        ASSERT_TRUE(model.identity());
        EXPECT_EQ(model.identity()->fingerprint(), first);
    }
    EXPECT_TRUE(QDir(folder.filePath("keychain")).exists());

    // Open at login: the autostart entry in the given config folder.
    ASSERT_TRUE(env.loginItem);
    EXPECT_FALSE(env.loginItem->isEnabled());
    env.loginItem->setEnabled(true);
    EXPECT_TRUE(env.loginItem->isEnabled());
    EXPECT_TRUE(QFile::exists(folder.filePath("config/autostart/quillmate-host.desktop")));
    env.loginItem->setEnabled(false);
    EXPECT_FALSE(env.loginItem->isEnabled());

    // The settings pages: a page of this desktop's own, at the anchor of each list.
    for (const QString& list : {QStringLiteral("Privacy_ScreenCapture"), QStringLiteral("Privacy_Accessibility")}) {
        const QUrl url(services.settingsURL(list));
        ASSERT_TRUE(url.isLocalFile()) << url.toString().toStdString();
        EXPECT_EQ(url.fragment(), list);
        QFile page(url.toLocalFile());
        ASSERT_TRUE(page.open(QIODevice::ReadOnly));
        EXPECT_TRUE(page.readAll().contains(("id=\"" + list + "\"").toUtf8()));
    }
    // The QR images are real codes of the text, with whole modules.
    const auto image = env.makeQRCode("quillmate://pair?v=0", 9.0);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width() % 9, 0);
}
