#include "host/desktop/input_injector.h"

#include <cmath>
#include <limits>
#include <set>

#include <gtest/gtest.h>

#include "host/desktop/hid_keycodes.h"
#include "quillcore/control/key_mapping.h"

namespace quill::host {
namespace {

using namespace std::chrono_literals;

class RecordingSink : public InputEventSink {
public:
    void post(const InputEvent& event) override { events.push_back(event); }
    void releaseAll() override { ++releases; }
    std::vector<MouseEvent> mouse() const {
        std::vector<MouseEvent> out;
        for (const auto& e : events)
            if (auto* m = std::get_if<MouseEvent>(&e)) out.push_back(*m);
        return out;
    }
    std::vector<InputEvent> events;
    int releases = 0;
};

// Main display 1 at (0,0) 1920x1080, a second one to its right.
std::shared_ptr<StaticDisplaySource> twoDisplays() {
    DisplayList list;
    list.displays = {{7, {0, 0, 1920, 1080}, DisplaySize{1920, 1080}}, {9, {1920, 0, 1280, 1024}, DisplaySize{1280, 1024}}};
    return std::make_shared<StaticDisplaySource>(list);
}

Quillmate_V0_PointerEvent pointer(std::uint32_t display, float x, float y, std::uint32_t buttons) {
    Quillmate_V0_PointerEvent p;
    p.set_display_id(display);
    p.set_x(x);
    p.set_y(y);
    p.set_buttons(buttons);
    return p;
}

struct InjectorTest : ::testing::Test {
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    InputInjector injector{sink, twoDisplays(), 0.5};
    InputInjector::Clock::time_point t0 = InputInjector::Clock::now();
};

TEST(HidKeycodes, EveryKeyOfTheKeyTableHasAnXKeycodeAndNothingElseDoes) {
    std::set<std::uint32_t> mapped;
    for (const auto& entry : KeyMapping::entries()) {
        mapped.insert(entry.hidUsage);
        EXPECT_TRUE(xKeycode(entry.hidUsage).has_value()) << entry.name;
    }
    std::set<std::uint8_t> keycodes;
    for (std::uint32_t usage = 0; usage < 0x200; ++usage) {
        auto code = xKeycode(usage);
        EXPECT_EQ(code.has_value(), mapped.contains(usage)) << std::hex << usage;
        if (code) {
            EXPECT_TRUE(keycodes.insert(*code).second) << "two usages share X keycode " << int(*code);
            EXPECT_EQ(*code, *evdevCode(usage) + 8);
        }
    }
    EXPECT_FALSE(xKeycode(0xFFFFFFFF).has_value());
}

TEST(HidKeycodes, KnownKeysLandOnTheirLinuxCodes) {
    // linux/input-event-codes.h
    EXPECT_EQ(evdevCode(0x04), 30);   // KEY_A
    EXPECT_EQ(evdevCode(0x1D), 44);   // KEY_Z
    EXPECT_EQ(evdevCode(0x27), 11);   // KEY_0
    EXPECT_EQ(evdevCode(0x28), 28);   // KEY_ENTER
    EXPECT_EQ(evdevCode(0x2A), 14);   // KEY_BACKSPACE
    EXPECT_EQ(evdevCode(0x35), 41);   // KEY_GRAVE
    EXPECT_EQ(evdevCode(0x44), 87);   // KEY_F11
    EXPECT_EQ(evdevCode(0x4C), 111);  // KEY_DELETE
    EXPECT_EQ(evdevCode(0x52), 103);  // KEY_UP
    EXPECT_EQ(evdevCode(0x58), 96);   // KEY_KPENTER
    EXPECT_EQ(evdevCode(0x64), 86);   // KEY_102ND
    EXPECT_EQ(evdevCode(0x68), 183);  // KEY_F13
    EXPECT_EQ(evdevCode(0x89), 124);  // KEY_YEN
    EXPECT_EQ(evdevCode(0xE3), 125);  // KEY_LEFTMETA
    EXPECT_EQ(evdevCode(0xE6), 100);  // KEY_RIGHTALT
    EXPECT_EQ(xKeycode(0x04), 38);    // "a" on every X server with evdev numbering
}

TEST_F(InjectorTest, MappedKeysCarryExactlyTheTableFlags) {
    Quillmate_V0_KeyEvent key;
    key.set_usb_hid_usage(0x04);
    key.set_down(true);
    key.set_modifiers(1 | 2 | 4 | 8 | 16 | 32 | 64 | 0x80000000u);
    injector.injectKey(key);
    key.set_down(false);
    key.set_modifiers(0);
    injector.injectKey(key);
    ASSERT_EQ(sink->events.size(), 2u);
    auto down = std::get<KeyboardEvent>(sink->events[0]);
    EXPECT_EQ(down.keycode, 38);
    EXPECT_TRUE(down.down);
    EXPECT_EQ(down.flags, 0x20000u | 0x40000 | 0x80000 | 0x100000 | 0x10000 | 0x800000);
    auto up = std::get<KeyboardEvent>(sink->events[1]);
    EXPECT_FALSE(up.down);
    EXPECT_EQ(up.flags, 0u);
}

TEST_F(InjectorTest, UnmappedKeysPostTextOnlyOnAKeyDownWithText) {
    Quillmate_V0_KeyEvent key;
    key.set_usb_hid_usage(0x0300);
    key.set_down(false);
    key.set_text("é");
    injector.injectKey(key);  // key-up: nothing
    key.set_down(true);
    key.set_text("");
    injector.injectKey(key);  // no text: nothing
    EXPECT_TRUE(sink->events.empty());
    key.set_text("é");
    key.set_modifiers(1);
    injector.injectKey(key);
    ASSERT_EQ(sink->events.size(), 1u);
    auto text = std::get<KeyboardEvent>(sink->events[0]);
    EXPECT_EQ(text.keycode, 0);
    EXPECT_EQ(text.text, "é");
    EXPECT_EQ(text.flags, 0u);
    EXPECT_TRUE(text.down);
}

TEST_F(InjectorTest, PointerPositionsAreClampedOntoTheDisplayOrTheMainOne) {
    injector.injectPointer(pointer(9, 0.5f, 0.5f, 0), t0);
    injector.injectPointer(pointer(12345, 0.25f, 0.5f, 0), t0);  // unknown: main display
    injector.injectPointer(pointer(7, -0.2f, 1.7f, 0), t0);
    injector.injectPointer(pointer(7, std::nanf(""), std::numeric_limits<float>::infinity(), 0), t0);
    injector.injectPointer(pointer(7, -std::numeric_limits<float>::infinity(), std::nanf(""), 8), t0);
    auto m = sink->mouse();
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(m[0], (MouseEvent{MouseEventType::mouseMoved, 1920 + 640, 512, 0, std::nullopt}));
    EXPECT_EQ(m[1], (MouseEvent{MouseEventType::mouseMoved, 480, 540, 0, std::nullopt}));
    EXPECT_EQ(m[2], (MouseEvent{MouseEventType::mouseMoved, 0, 1080, 0, std::nullopt}));
    EXPECT_EQ(m[3], (MouseEvent{MouseEventType::mouseMoved, 0, 1080, 0, std::nullopt}));
    // buttons = 8 is no button at all
    EXPECT_EQ(m[4], (MouseEvent{MouseEventType::mouseMoved, 0, 0, 0, std::nullopt}));
    EXPECT_EQ(injector.pressedButtons(), 0u);
}

TEST_F(InjectorTest, ClickCountsClimbToThreeWithinTimeAndDistance) {
    // x steps of 1/1920 are one point apart on display 7.
    const float px = 1.0f / 1920;
    auto press = [&](float x, std::chrono::milliseconds at) {
        injector.injectPointer(pointer(7, x, 0.5f, 1), t0 + at);
        injector.injectPointer(pointer(7, x, 0.5f, 0), t0 + at + 10ms);
    };
    press(100 * px, 0ms);
    press(103 * px, 200ms);   // 3 points, 0.2 s
    press(103 * px, 400ms);
    press(103 * px, 600ms);   // capped at 3
    press(108 * px, 800ms);   // 5 points away
    press(108 * px, 1400ms);  // beyond the interval
    auto m = sink->mouse();
    ASSERT_EQ(m.size(), 12u);
    const std::int64_t expected[] = {1, 2, 3, 3, 1, 1};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(m[2 * i].type, MouseEventType::leftMouseDown);
        EXPECT_EQ(m[2 * i].clickState, expected[i]) << i;
        EXPECT_EQ(m[2 * i + 1].type, MouseEventType::leftMouseUp);
        EXPECT_EQ(m[2 * i + 1].clickState, expected[i]) << i;
    }
}

TEST_F(InjectorTest, AClockGoingBackwardsIsNoDoubleClick) {
    injector.injectPointer(pointer(7, 0.5f, 0.5f, 1), t0);
    injector.injectPointer(pointer(7, 0.5f, 0.5f, 0), t0);
    injector.injectPointer(pointer(7, 0.5f, 0.5f, 1), t0 - 100ms);
    EXPECT_EQ(sink->mouse().back().clickState, 1);
}

TEST_F(InjectorTest, ButtonChangesGiveOnlyPressesAndReleasesInTableOrder) {
    injector.injectPointer(pointer(7, 0.5f, 0.5f, 0b111), t0);
    auto m = sink->mouse();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].type, MouseEventType::leftMouseDown);
    EXPECT_EQ(m[1].type, MouseEventType::rightMouseDown);
    EXPECT_EQ(m[1].button, 1u);
    EXPECT_EQ(m[2].type, MouseEventType::otherMouseDown);
    EXPECT_EQ(m[2].button, 2u);
    for (const auto& e : m) EXPECT_EQ(std::pair(e.x, e.y), std::pair(960.0, 540.0));

    sink->events.clear();
    injector.injectPointer(pointer(7, 0.25f, 0.5f, 0b110), t0 + 50ms);  // left released, others held, moved
    injector.injectPointer(pointer(7, 0.30f, 0.5f, 0b110), t0 + 60ms);  // held, moved: drag of the lowest
    injector.injectPointer(pointer(7, 0.30f, 0.5f, 0b100), t0 + 70ms);
    injector.injectPointer(pointer(7, 0.35f, 0.5f, 0b100), t0 + 80ms);
    m = sink->mouse();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0].type, MouseEventType::leftMouseUp);
    EXPECT_EQ(m[0].x, 480);
    EXPECT_EQ(m[1].type, MouseEventType::rightMouseDragged);
    EXPECT_EQ(m[1].clickState, 1);
    EXPECT_EQ(m[2].type, MouseEventType::rightMouseUp);
    EXPECT_EQ(m[3].type, MouseEventType::otherMouseDragged);
    EXPECT_EQ(injector.pressedButtons(), 0b100u);
}

TEST_F(InjectorTest, ReleaseAllForgetsHeldButtonsButKeepsClickHistory) {
    injector.injectPointer(pointer(7, 0.5f, 0.5f, 1), t0);
    injector.releaseAll();
    EXPECT_EQ(sink->releases, 1);
    EXPECT_EQ(injector.pressedButtons(), 0u);
    EXPECT_EQ(injector.lastClicks().size(), 1u);
    // The next message with the button down is a new press (a double click), not a drag.
    injector.injectPointer(pointer(7, 0.5f, 0.5f, 1), t0 + 100ms);
    EXPECT_EQ(sink->mouse().back().type, MouseEventType::leftMouseDown);
    EXPECT_EQ(sink->mouse().back().clickState, 2);
}

TEST_F(InjectorTest, ScrollDeltasRoundHalfAwayFromZeroAndCarryPhases) {
    Quillmate_V0_ScrollEvent s;
    s.set_dx(2.5f);
    s.set_dy(-2.5f);
    auto e = injector.scrollEvent(s);
    ASSERT_TRUE(e);
    EXPECT_EQ(*e, (ScrollWheelEvent{ScrollUnit::line, -3, 3, 0, std::nullopt, std::nullopt}));

    s.set_precise(true);
    const std::pair<std::uint32_t, std::pair<std::optional<std::int64_t>, std::optional<std::int64_t>>> phases[] = {
        {1, {1, std::nullopt}}, {2, {2, std::nullopt}}, {3, {4, std::nullopt}}, {4, {std::nullopt, 2}},
        {0, {std::nullopt, std::nullopt}}, {5, {std::nullopt, std::nullopt}}};
    for (const auto& [phase, fields] : phases) {
        s.set_phase(phase);
        e = injector.scrollEvent(s);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->units, ScrollUnit::pixel);
        EXPECT_EQ(e->scrollPhase, fields.first) << phase;
        EXPECT_EQ(e->momentumPhase, fields.second) << phase;
    }
}

TEST_F(InjectorTest, ScrollDeltasOutOfRangeAreClampedAndNaNIsDropped) {
    Quillmate_V0_ScrollEvent s;
    s.set_dx(std::numeric_limits<float>::infinity());
    s.set_dy(-3e38f);
    auto e = injector.scrollEvent(s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->wheel2, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(e->wheel1, std::numeric_limits<std::int32_t>::min());
    s.set_dx(std::nanf(""));
    EXPECT_FALSE(injector.scrollEvent(s));
}

TEST(NormalizedPoint, MapsIntoTheRectangleAndClamps) {
    const DisplayRect r{100, 0, 100, 100};
    EXPECT_EQ(InputInjector::normalizedPoint(150, 50, r), (NormalizedPoint{0.5f, 0.5f}));
    EXPECT_EQ(InputInjector::normalizedPoint(250, 50, r), (NormalizedPoint{1.0f, 0.5f}));
    EXPECT_EQ(InputInjector::normalizedPoint(0, -10, r), (NormalizedPoint{0.0f, 0.0f}));
    EXPECT_EQ(InputInjector::normalizedPoint(150, 50, DisplayRect{100, 0, 0, 100}), (NormalizedPoint{0, 0}));
    EXPECT_EQ(InputInjector::normalizedPoint(150, 50, DisplayRect{100, 0, 100, -5}), (NormalizedPoint{0, 0}));
    EXPECT_EQ(InputInjector::normalizedPoint(std::nan(""), 50, r), (NormalizedPoint{0.0f, 0.5f}));
}

}  // namespace
}  // namespace quill::host
