#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/screensaver.h>

#include "host/desktop/display_info.h"
#include "host/desktop/display_keep_awake.h"
#include "host/desktop/platform_permissions.h"
#include "host/desktop/x11_connection.h"
#include "host/desktop/x11_test_support.h"

namespace quill::host {
namespace {

using testing::XvfbServer;

TEST(X11Displays, TheScreenOutputIsTheMainDisplayWithItsModeSize) {
    XvfbServer server("1600x900x24");
    QUILL_REQUIRE_XVFB(server);
    auto connection = std::make_shared<X11Connection>(server.display());
    X11DisplaySource source(connection);
    DisplayList list = source.currentDisplays();
    ASSERT_EQ(list.displays.size(), 1u);
    EXPECT_EQ(list.primaryID, 0u);  // Xvfb names no primary output
    const DisplayDescriptor& display = list.displays[0];
    EXPECT_NE(display.id, 0u);
    EXPECT_EQ(display.bounds, (DisplayRect{0, 0, 1600, 900}));
    EXPECT_EQ(display.mode, (DisplaySize{1600, 900}));
    EXPECT_EQ(source.mainDisplayID(), display.id);
    EXPECT_EQ(source.mainDisplayMode(), (DisplaySize{1600, 900}));
    EXPECT_TRUE(source.bounds(display.id + 1).isEmpty());

    // Naming it primary keeps it the main display.
    xcb_randr_set_output_primary(connection->get(), connection->root(), display.id);
    connection->flush();
    EXPECT_EQ(source.currentDisplays().primaryID, display.id);
    EXPECT_EQ(source.mainDisplayID(), display.id);
}

TEST(X11Displays, ALostServerListsNoDisplays) {
    XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    auto connection = std::make_shared<X11Connection>(server.display());
    X11DisplaySource source(connection);
    X11DisplaySource cachedSource(connection, 2.0);
    EXPECT_EQ(source.currentDisplays().displays.size(), 1u);
    const auto read = std::chrono::steady_clock::now();
    EXPECT_EQ(cachedSource.currentDisplays().displays.size(), 1u);
    server.kill();
    EXPECT_TRUE(source.currentDisplays().displays.empty());
    // The cached layout serves until it is two seconds old, then the loss shows.
    if (std::chrono::steady_clock::now() - read < std::chrono::milliseconds(1900)) {
        EXPECT_EQ(cachedSource.currentDisplays().displays.size(), 1u);
    }
    std::this_thread::sleep_until(read + std::chrono::milliseconds(2100));
    EXPECT_TRUE(cachedSource.currentDisplays().displays.empty());
    EXPECT_EQ(source.mainDisplayMode(), std::nullopt);
    EXPECT_THROW(X11Connection(":no-such-display"), X11Error);
}

struct ScreenSaverState {
    std::uint8_t state;
    std::uint32_t idleMs;
};

ScreenSaverState screenSaver(X11Connection& x) {
    XcbReply<xcb_screensaver_query_info_reply_t> info(
        xcb_screensaver_query_info_reply(x.get(), xcb_screensaver_query_info(x.get(), x.root()), nullptr));
    return {info->state, info->ms_since_user_input};
}

TEST(X11KeepAwake, HoldingKeepsTheScreensaverOffAndReleaseLetsItCome) {
    XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    X11Connection observer(server.display());
    // A screensaver after one idle second.
    observer.check(xcb_set_screen_saver_checked(observer.get(), 1, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_DEFAULT),
                   "setting the screensaver");

    auto backend = std::make_shared<X11PowerBackend>(std::make_shared<X11Connection>(server.display()));
    DisplayKeepAwake keepAwake(backend);
    // A screensaver that is already on is ended by the activity declaration.
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    ASSERT_EQ(screenSaver(observer).state, XCB_SCREENSAVER_STATE_ON);
    keepAwake.hold();
    ASSERT_TRUE(keepAwake.holding());
    EXPECT_NE(keepAwake.assertionID(), 0u);
    auto afterHold = screenSaver(observer);
    EXPECT_EQ(afterHold.state, XCB_SCREENSAVER_STATE_OFF);
    EXPECT_LT(afterHold.idleMs, 1000u);

    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_NE(screenSaver(observer).state, XCB_SCREENSAVER_STATE_ON);

    keepAwake.release();
    EXPECT_FALSE(keepAwake.holding());
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(screenSaver(observer).state, XCB_SCREENSAVER_STATE_ON);
}

// The socket descriptors this process holds.
std::set<int> openSockets() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string().starts_with("socket:"))
            fds.insert(std::stoi(entry.path().filename().string()));
    }
    return fds;
}

TEST(X11Permissions, ProbesShareOneConnectionAndReconnectOnlyWhenItBroke) {
    XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    const std::set<int> before = openSockets();
    X11PermissionProbe probe(server.display());
    auto probeUntilSocketsSettle = [&] {
        for (int tick = 0; tick < 10; ++tick) {
            EXPECT_TRUE(probe.screenRecordingGranted());
            EXPECT_TRUE(probe.accessibilityGranted());
        }
        std::vector<int> added;
        std::ranges::set_difference(openSockets(), before, std::back_inserter(added));
        return added;
    };
    const std::vector<int> added = probeUntilSocketsSettle();
    ASSERT_EQ(added.size(), 1u) << "twenty probes should keep exactly one connection open";
    // A broken connection is replaced by the next probe, which still answers.
    ::shutdown(added[0], SHUT_RDWR);
    EXPECT_EQ(probeUntilSocketsSettle().size(), 1u);

    X11PermissionProbe nowhere(":no-such-display");
    EXPECT_FALSE(nowhere.screenRecordingGranted());
    EXPECT_FALSE(nowhere.accessibilityGranted());
}

}  // namespace
}  // namespace quill::host
