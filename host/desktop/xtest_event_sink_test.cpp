#include "host/desktop/xtest_event_sink.h"

#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include <gtest/gtest.h>

#include "host/desktop/x11_connection.h"
#include "host/desktop/x11_test_support.h"

namespace quill::host {
namespace {

using testing::countOf;
using testing::TestClient;
using testing::XvfbServer;
using Event = TestClient::Event;

constexpr std::uint8_t kA = 38, kB = 56, kShiftL = 50, kControlL = 37;

struct InjectionTest : ::testing::Test {
    void SetUp() override {
        QUILL_REQUIRE_XVFB(server);
        client = std::make_unique<TestClient>(server.display());
        connection = std::make_shared<X11Connection>(server.display());
        displays = std::make_shared<X11DisplaySource>(connection);
        record = ::testing::TempDir() + "key-repeat" + server.display();
        sink = std::make_shared<XTestEventSink>(connection, record);
        injector = std::make_unique<InputInjector>(sink, displays, 0.4);
    }

    void key(std::uint32_t usage, bool down, std::uint32_t modifiers = 0, const std::string& text = {}) {
        Quillmate_V0_KeyEvent k;
        k.set_usb_hid_usage(usage);
        k.set_down(down);
        k.set_modifiers(modifiers);
        k.set_text(text);
        injector->injectKey(k);
    }
    void pointer(float x, float y, std::uint32_t buttons, std::uint32_t display = 0) {
        Quillmate_V0_PointerEvent p;
        p.set_display_id(display ? display : displays->mainDisplayID());
        p.set_x(x);
        p.set_y(y);
        p.set_buttons(buttons);
        injector->injectPointer(p, InputInjector::Clock::now());
    }
    void scroll(float dx, float dy, bool precise) {
        Quillmate_V0_ScrollEvent s;
        s.set_dx(dx);
        s.set_dy(dy);
        s.set_precise(precise);
        if (auto e = injector->scrollEvent(s)) injector->post(*e);
    }
    std::vector<Event> await(std::size_t count, double seconds = 5) {
        return client->collect(seconds, [count](const std::vector<Event>& e) { return e.size() >= count; });
    }
    std::vector<Event> ofType(std::uint8_t type) {
        std::vector<Event> out;
        for (const auto& e : client->events)
            if (e.type == type) out.push_back(e);
        return out;
    }
    // The injector's requests were sent on its own connection: wait until the server has
    // handled them before asking it about its state.
    void syncInjector() {
        std::free(xcb_get_input_focus_reply(connection->get(), xcb_get_input_focus(connection->get()), nullptr));
    }
    XcbReply<xcb_query_pointer_reply_t> queryPointer() {
        syncInjector();
        return XcbReply<xcb_query_pointer_reply_t>(
            xcb_query_pointer_reply(client->connection, xcb_query_pointer(client->connection, client->screen->root), nullptr));
    }
    bool keyIsDown(std::uint8_t keycode) {
        syncInjector();
        XcbReply<xcb_query_keymap_reply_t> keymap(
            xcb_query_keymap_reply(client->connection, xcb_query_keymap(client->connection), nullptr));
        return keymap->keys[keycode / 8] & (1u << (keycode % 8));
    }
    bool keyRepeats(std::uint8_t keycode) {
        syncInjector();
        XcbReply<xcb_get_keyboard_control_reply_t> control(xcb_get_keyboard_control_reply(
            client->connection, xcb_get_keyboard_control(client->connection), nullptr));
        return control->auto_repeats[keycode / 8] & (1u << (keycode % 8));
    }

    XvfbServer server;
    std::string record;
    std::unique_ptr<TestClient> client;
    std::shared_ptr<X11Connection> connection;
    std::shared_ptr<X11DisplaySource> displays;
    std::shared_ptr<XTestEventSink> sink;
    std::unique_ptr<InputInjector> injector;
};

TEST_F(InjectionTest, PointerMovesAndClicksLandWhereTheControllerPointed) {
    pointer(0.5f, 0.25f, 0);
    pointer(0.5f, 0.25f, 1);   // left down
    pointer(0.75f, 0.5f, 1);   // drag
    pointer(0.75f, 0.5f, 0);   // left up
    pointer(0.75f, 0.5f, 2);   // right
    pointer(0.75f, 0.5f, 0);
    pointer(0.75f, 0.5f, 4);   // centre
    pointer(1.0f, 1.0f, 4);    // centre drag to the far edge, which is the last pixel
    client->collect(3, [](const std::vector<Event>& e) {
        return countOf(e, XCB_BUTTON_RELEASE) >= 2 && e.back().type == XCB_MOTION_NOTIFY && e.back().x == 1919;
    });

    auto presses = ofType(XCB_BUTTON_PRESS);
    auto releases = ofType(XCB_BUTTON_RELEASE);
    ASSERT_EQ(presses.size(), 3u);
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_EQ(presses[0].detail, 1);
    EXPECT_EQ(std::pair(presses[0].x, presses[0].y), std::pair(960, 270));
    EXPECT_EQ(releases[0].detail, 1);
    EXPECT_EQ(std::pair(releases[0].x, releases[0].y), std::pair(1440, 540));
    EXPECT_EQ(presses[1].detail, 3);
    EXPECT_EQ(presses[2].detail, 2);
    auto last = client->events.back();
    EXPECT_EQ(std::pair(last.x, last.y), std::pair(1919, 1079));
    // The centre button is still held at the server; a session end lets go of it.
    EXPECT_TRUE(queryPointer()->mask & XCB_BUTTON_MASK_2);
    injector->releaseAll();
    EXPECT_FALSE(queryPointer()->mask & (XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3));
    EXPECT_EQ(injector->pressedButtons(), 0u);
}

TEST_F(InjectionTest, KeysArriveWithTheirModifiersHeldAndReleased) {
    key(0x04, true, 1);  // shift + a
    key(0x04, false, 1);
    key(0x05, true, 2);  // control + b: shift goes, control comes
    key(0x05, false, 0);
    await(8);
    std::vector<std::pair<std::uint8_t, std::uint8_t>> seen;
    for (const auto& e : client->events) seen.emplace_back(e.type, e.detail);
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> expected = {
        {XCB_KEY_PRESS, kShiftL},   {XCB_KEY_PRESS, kA},           {XCB_KEY_RELEASE, kA},
        {XCB_KEY_RELEASE, kShiftL}, {XCB_KEY_PRESS, kControlL},    {XCB_KEY_PRESS, kB},
        {XCB_KEY_RELEASE, kControlL}, {XCB_KEY_RELEASE, kB},
    };
    EXPECT_EQ(seen, expected);
    // The 'a' press saw shift down.
    EXPECT_TRUE(client->events[1].state & XCB_MOD_MASK_SHIFT);
    EXPECT_FALSE(keyIsDown(kControlL));
}

TEST_F(InjectionTest, CapsLockFollowsTheControllersFlag) {
    auto locked = [&] { return (queryPointer()->mask & XCB_MOD_MASK_LOCK) != 0; };
    ASSERT_FALSE(locked());
    key(0x04, true, 16);
    key(0x04, false, 16);
    await(4);
    EXPECT_TRUE(locked());
    // The 'a' press saw the lock; Caps Lock itself was tapped, not left held.
    ASSERT_EQ(countOf(client->events, XCB_KEY_PRESS, kA), 1u);
    for (const auto& e : client->events)
        if (e.type == XCB_KEY_PRESS && e.detail == kA) {
            EXPECT_TRUE(e.state & XCB_MOD_MASK_LOCK);
        }
    EXPECT_FALSE(keyIsDown(66));
    key(0x05, true, 0);
    key(0x05, false, 0);
    await(8);
    EXPECT_FALSE(locked());
    // The Caps Lock key sent as a key sets the lock itself, untouched by the flag.
    key(0x39, true, 0);
    key(0x39, false, 0);
    client->collect(0.3);
    EXPECT_TRUE(locked());
}

TEST_F(InjectionTest, AHeldKeyDoesNotAutoRepeatAndItsRepeatSettingComesBack) {
    ASSERT_TRUE(keyRepeats(kA));
    key(0x04, true);
    // The server's default delay is 660 ms at 25 per second: 1.5 s would give many repeats.
    client->collect(1.5);
    EXPECT_EQ(countOf(client->events, XCB_KEY_PRESS, kA), 1u);
    EXPECT_EQ(countOf(client->events, XCB_KEY_RELEASE, kA), 0u);
    // A controller repeats a held key by sending its key-down again: each one arrives, the way
    // the server's own repeat looks to clients (a release, then a press).
    key(0x04, true);
    client->collect(2, [](const std::vector<Event>& e) { return countOf(e, XCB_KEY_PRESS, kA) >= 2; });
    EXPECT_EQ(countOf(client->events, XCB_KEY_PRESS, kA), 2u);
    EXPECT_EQ(countOf(client->events, XCB_KEY_RELEASE, kA), 1u);
    key(0x04, false);
    client->collect(2, [](const std::vector<Event>& e) { return countOf(e, XCB_KEY_RELEASE, kA) >= 2; });
    EXPECT_EQ(countOf(client->events, XCB_KEY_RELEASE, kA), 2u);
    EXPECT_FALSE(keyIsDown(kA));
    EXPECT_TRUE(keyRepeats(kA));
}

TEST_F(InjectionTest, AKeyHeldWhenTheHostWasKilledRepeatsAgainAtTheNextStart) {
    const pid_t child = fork();
    if (child == 0) {
        XTestEventSink dying(std::make_shared<X11Connection>(server.display()), record);
        dying.post(KeyboardEvent{kB, true, 0, {}});
        raise(SIGKILL);
    }
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    ASSERT_FALSE(keyRepeats(kB));
    XTestEventSink next(std::make_shared<X11Connection>(server.display()), record);
    EXPECT_TRUE(keyRepeats(kB));
    EXPECT_FALSE(std::filesystem::exists(record));
}

TEST_F(InjectionTest, ReleaseAllLetsGoOfKeysModifiersAndButtons) {
    key(0x05, true, 8);  // command (Super) + b, never released by the controller
    pointer(0.5f, 0.5f, 1);
    await(3);
    EXPECT_TRUE(keyIsDown(kB));
    injector->releaseAll();
    client->collect(0.5);
    EXPECT_FALSE(keyIsDown(kB));
    EXPECT_FALSE(keyIsDown(133));
    EXPECT_FALSE(queryPointer()->mask & XCB_BUTTON_MASK_1);
    EXPECT_EQ(countOf(client->events, XCB_KEY_RELEASE, kB), 1u);
    EXPECT_EQ(countOf(client->events, XCB_BUTTON_RELEASE, 1), 1u);
    EXPECT_TRUE(keyRepeats(kB));
    // Nothing more arrives afterwards: no repeats of a forgotten key.
    client->events.clear();
    client->collect(1.0);
    EXPECT_EQ(countOf(client->events, XCB_KEY_PRESS), 0u);
}

TEST_F(InjectionTest, TextWithoutAKeyIsTypedOnABoundSpareKey) {
    key(0x0400, true, 0, "é");
    await(2);
    ASSERT_EQ(client->events.size(), 2u);
    EXPECT_EQ(client->events[0].type, XCB_KEY_PRESS);
    EXPECT_EQ(client->events[1].type, XCB_KEY_RELEASE);
    const std::uint8_t keycode = client->events[0].detail;
    EXPECT_EQ(client->events[1].detail, keycode);
    XcbReply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        client->connection, xcb_get_keyboard_mapping(client->connection, keycode, 1), nullptr));
    ASSERT_TRUE(mapping);
    EXPECT_EQ(xcb_get_keyboard_mapping_keysyms(mapping.get())[0], 0xe9u);  // eacute

    // A character outside Latin-1 gets its Unicode keysym; no key stays down.
    key(0x0400, true, 0, "€");
    await(4);
    ASSERT_EQ(client->events.size(), 4u);
    XcbReply<xcb_get_keyboard_mapping_reply_t> euro(xcb_get_keyboard_mapping_reply(
        client->connection, xcb_get_keyboard_mapping(client->connection, client->events[2].detail, 1), nullptr));
    EXPECT_EQ(xcb_get_keyboard_mapping_keysyms(euro.get())[0], 0x10020acu);
    EXPECT_FALSE(keyIsDown(client->events[2].detail));
}

TEST_F(InjectionTest, ScrollBecomesWheelClicks) {
    scroll(0, 2, false);     // two lines up
    scroll(-1, 0, false);    // one line right
    scroll(0, -100, true);   // 100 pixels down: two whole clicks, 20 left over
    scroll(0, -20, true);    // with the remainder: one more
    client->collect(3, [](const std::vector<Event>& e) { return countOf(e, XCB_BUTTON_RELEASE) >= 6; });
    std::vector<std::uint8_t> buttons;
    for (const auto& e : ofType(XCB_BUTTON_PRESS)) buttons.push_back(e.detail);
    EXPECT_EQ(buttons, (std::vector<std::uint8_t>{4, 4, 7, 5, 5, 5}));
    EXPECT_EQ(countOf(client->events, XCB_BUTTON_RELEASE), 6u);
}

TEST_F(InjectionTest, BadInputIsClampedOrIgnored) {
    const float nan = std::nanf("");
    const float inf = std::numeric_limits<float>::infinity();
    pointer(nan, inf, 0xffffffffu, 0xdeadbeef);
    pointer(-inf, nan, 0);
    key(0xffffffffu, true);
    key(0x0400, true, 0, std::string("\xff\xfe\xc3", 3));  // not UTF-8: nothing typed
    scroll(inf, -inf, false);                             // bounded number of clicks
    scroll(nan, 1, true);
    client->collect(1.0);
    auto p = queryPointer();
    EXPECT_EQ(std::pair(int(p->root_x), int(p->root_y)), std::pair(0, 0));
    EXPECT_EQ(countOf(client->events, XCB_KEY_PRESS), 0u);
    EXPECT_LE(countOf(client->events, XCB_BUTTON_PRESS), std::size_t(2 * XTestEventSink::maximumScrollClicks + 3));
    injector->releaseAll();
    EXPECT_FALSE(queryPointer()->mask & (XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3));
}

TEST_F(InjectionTest, DestroyingTheSinkReleasesWhatItHolds) {
    key(0x04, true);
    pointer(0.5f, 0.5f, 2);
    await(3);
    injector.reset();
    sink.reset();
    client->collect(0.5);
    EXPECT_FALSE(keyIsDown(kA));
    EXPECT_FALSE(queryPointer()->mask & XCB_BUTTON_MASK_3);
}

}  // namespace
}  // namespace quill::host
