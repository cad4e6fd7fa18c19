#include <sys/socket.h>

#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/screensaver.h>

#include "host/desktop/cursor_image.h"
#include "host/desktop/display_info.h"
#include "host/desktop/display_keep_awake.h"
#include "host/desktop/platform_permissions.h"
#include "host/desktop/x11_connection.h"
#include "host/desktop/x11_test_support.h"

namespace quill::host {
namespace {

// The sockets this process holds: descriptor to socket inode.
std::map<int, std::string> openSockets() {
    std::map<int, std::string> sockets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:")) sockets[std::stoi(entry.path().filename().string())] = target;
    }
    return sockets;
}

// Displays, the cursor, permissions and keeping awake on one server, and nothing once it is gone.
TEST(X11Desktop, ReadsDisplaysCursorAndPermissionsKeepsTheScreenAwakeAndReportsALostServer) {
    const auto socketsBefore = openSockets();
    testing::XvfbServer server("1600x900x24");
    QUILL_REQUIRE_XVFB(server);
    auto x = std::make_shared<X11Connection>(server.display());
    X11DisplaySource displays(x), cached(x, 2.0);
    const auto followed = std::make_shared<X11Connection>(server.display());
    const auto following = X11DisplaySource::followingChanges(followed);
    DisplayList list = displays.currentDisplays();
    ASSERT_EQ(list.displays.size(), 1u);
    EXPECT_EQ(list.primaryID, 0u);  // Xvfb names no primary output
    EXPECT_EQ(list.displays[0].bounds, (DisplayRect{0, 0, 1600, 900}));
    EXPECT_EQ(cached.mainDisplayMode(), (DisplaySize{1600, 900}));
    EXPECT_EQ(following->currentDisplays().primaryID, 0u);
    xcb_randr_set_output_primary(x->get(), x->root(), list.displays[0].id);
    EXPECT_EQ(displays.currentDisplays().primaryID, list.displays[0].id);
    // The source that follows the server's announcements sees the change once announced.
    for (int i = 0; i < 100 && following->currentDisplays().primaryID == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(following->currentDisplays().primaryID, list.displays[0].id);

    X11CursorImageSource cursor(x);
    auto image = cursor.currentCursor();
    ASSERT_TRUE(image && image->hotX < image->width && image->hotY < image->height);
    ASSERT_EQ(image->pixels.size(), std::size_t(image->width) * image->height);
    EXPECT_TRUE(std::any_of(image->pixels.begin(), image->pixels.end(), [](std::uint32_t p) { return p >> 24; }));
    xcb_warp_pointer(x->get(), XCB_NONE, x->root(), 0, 0, 0, 0, 321, 123);
    const auto at = cursor.pointerLocation();
    EXPECT_EQ(std::pair(at->x, at->y), std::pair(321.0, 123.0));

    // Both probes, ten ticks at a time, over one connection; a broken one is replaced.
    X11PermissionProbe probe(server.display());
    auto tick = [&] {
        for (int i = 0; i < 10; ++i) EXPECT_TRUE(probe.screenRecordingGranted() && probe.accessibilityGranted());
        std::vector<std::pair<int, std::string>> probes;  // the sockets besides this test's connection
        for (const auto& socket : openSockets())
            if (!socketsBefore.contains(socket.first) && socket.first != xcb_get_file_descriptor(x->get()) &&
                socket.first != xcb_get_file_descriptor(followed->get()))
                probes.push_back(socket);
        EXPECT_EQ(probes.size(), 1u);
        return probes.empty() ? std::pair<int, std::string>() : probes[0];
    };
    const auto first = tick();
    EXPECT_EQ(tick(), first) << "a new connection while the old one worked";
    ::shutdown(first.first, SHUT_RDWR);
    EXPECT_NE(tick().second, first.second);

    // A screensaver after one idle second; holding ends one that is on and keeps it off.
    auto saver = [&] {
        return XcbReply<xcb_screensaver_query_info_reply_t>(
            xcb_screensaver_query_info_reply(x->get(), xcb_screensaver_query_info(x->get(), x->root()), nullptr));
    };
    // The server's own timer turns it on: a loaded machine may run it late.
    auto saverComesOn = [&] {
        for (int i = 0; i < 200 && saver()->state != XCB_SCREENSAVER_STATE_ON; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return saver()->state == XCB_SCREENSAVER_STATE_ON;
    };
    xcb_set_screen_saver(x->get(), 1, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_DEFAULT);
    x->flush();
    ASSERT_TRUE(saverComesOn());
    DisplayKeepAwake keepAwake(std::make_shared<X11PowerBackend>(std::make_shared<X11Connection>(server.display())));
    keepAwake.hold();
    keepAwake.hold();  // no second assertion, which one release would leave behind
    EXPECT_TRUE(keepAwake.holding() && saver()->state == XCB_SCREENSAVER_STATE_OFF && saver()->ms_since_user_input < 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_NE(saver()->state, XCB_SCREENSAVER_STATE_ON);
    keepAwake.release();
    EXPECT_TRUE(saverComesOn());

    // The cached layout serves until it is two seconds old.
    EXPECT_EQ(cached.currentDisplays().displays.size(), 1u);
    server.kill();
    EXPECT_TRUE(displays.currentDisplays().displays.empty() && following->currentDisplays().displays.empty());
    EXPECT_FALSE(cursor.pointerLocation() || cursor.currentCursor());
    EXPECT_FALSE(probe.screenRecordingGranted() || probe.accessibilityGranted());
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(cached.mainDisplayMode(), std::nullopt);
    EXPECT_THROW(X11Connection(":no-such-display"), X11Error);
}

}  // namespace
}  // namespace quill::host
