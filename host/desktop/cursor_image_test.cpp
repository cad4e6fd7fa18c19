#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include "host/desktop/cursor_image.h"
#include "host/desktop/x11_connection.h"
#include "host/desktop/x11_test_support.h"

using namespace quill::host;

TEST(X11CursorImageSource, ReadsTheServersCursorAndPointer) {
    quill::host::testing::XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    auto connection = std::make_shared<X11Connection>(server.display());
    X11CursorImageSource source(connection);

    auto image = source.currentCursor();
    ASSERT_TRUE(image);
    EXPECT_GT(image->width, 0u);
    EXPECT_GT(image->height, 0u);
    EXPECT_LT(image->hotX, image->width);
    EXPECT_LT(image->hotY, image->height);
    ASSERT_EQ(image->pixels.size(), std::size_t(image->width) * image->height);
    // Some pixel of the default cursor is drawn (not fully transparent).
    bool drawn = false;
    for (auto p : image->pixels) drawn = drawn || (p >> 24) != 0;
    EXPECT_TRUE(drawn);

    xcb_warp_pointer(connection->get(), XCB_NONE, connection->root(), 0, 0, 0, 0, 321, 123);
    connection->flush();
    auto location = source.pointerLocation();
    ASSERT_TRUE(location);
    EXPECT_EQ(location->x, 321);
    EXPECT_EQ(location->y, 123);
}

TEST(X11CursorImageSource, AServerConnectionThatFailedGivesNothing) {
    quill::host::testing::XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    X11CursorImageSource source(server.display());
    server.kill();
    EXPECT_FALSE(source.pointerLocation());
    EXPECT_FALSE(source.currentCursor());
}
