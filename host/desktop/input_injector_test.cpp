#include "host/desktop/input_injector.h"

#include <cmath>
#include <limits>
#include <set>

#include <gtest/gtest.h>

#include "host/desktop/hid_keycodes.h"
#include "host/desktop/screen_capture_engine.h"
#include "quillcore/control/key_mapping.h"

namespace quill::host {
namespace {

using namespace std::chrono_literals;
using Type = MouseEventType;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

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

struct InjectorTest : ::testing::Test {
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    // Main display 7 at (0,0) 1920x1080, display 9 to its right.
    InputInjector injector{sink,
                           std::make_shared<StaticDisplaySource>(DisplayList{{{7, {0, 0, 1920, 1080}, DisplaySize{1920, 1080}},
                                                                              {9, {1920, 0, 1280, 1024}, std::nullopt}}}),
                           0.5};
    InputInjector::Clock::time_point t0 = InputInjector::Clock::now();

    void pointer(std::uint32_t display, float x, float y, std::uint32_t buttons, std::chrono::milliseconds at = 0ms) {
        Quillmate_V0_PointerEvent p;
        p.set_display_id(display);
        p.set_x(x);
        p.set_y(y);
        p.set_buttons(buttons);
        injector.injectPointer(p, t0 + at);
    }
};

TEST(HidKeycodes, EveryKeyOfTheKeyTableLandsOnItsOwnLinuxCode) {
    std::set<std::uint32_t> mapped;
    for (const auto& entry : KeyMapping::entries()) mapped.insert(entry.hidUsage);
    std::set<std::uint8_t> keycodes;
    for (std::uint32_t usage = 0; usage < 0x200; ++usage) {
        auto code = xKeycode(usage);
        EXPECT_EQ(code.has_value(), mapped.contains(usage)) << std::hex << usage;
        if (code) {
            EXPECT_TRUE(keycodes.insert(*code).second && *code == *evdevCode(usage) + 8) << std::hex << usage;
        }
    }
    // linux/input-event-codes.h: KEY_A, KEY_ENTER, KEY_KPENTER, KEY_YEN, KEY_RIGHTALT.
    for (const auto& [usage, code] : std::initializer_list<std::pair<int, int>>{{0x04, 30}, {0x28, 28}, {0x58, 96}, {0x89, 124}, {0xE6, 100}})
        EXPECT_EQ(evdevCode(usage), code) << std::hex << usage;
    EXPECT_FALSE(xKeycode(0xFFFFFFFF).has_value());
}

TEST_F(InjectorTest, KeysCarryTheTableFlagsAndUnmappedKeysTypeTheirTextOnKeyDown) {
    Quillmate_V0_KeyEvent key;
    key.set_usb_hid_usage(0x04);
    key.set_down(true);
    key.set_modifiers(1 | 2 | 4 | 8 | 16 | 32 | 64 | 0x80000000u);
    injector.injectKey(key);
    key.set_usb_hid_usage(0x0300);  // no key: only text, and only going down
    key.set_text("é");
    injector.injectKey(key);
    key.set_down(false);
    injector.injectKey(key);
    key.set_down(true);
    key.set_text("");
    injector.injectKey(key);
    ASSERT_EQ(sink->events.size(), 2u);
    EXPECT_EQ(std::get<KeyboardEvent>(sink->events[0]), (KeyboardEvent{38, true, 0x9F0000, {}}));
    EXPECT_EQ(std::get<KeyboardEvent>(sink->events[1]), (KeyboardEvent{0, true, 0, "é"}));
}

TEST_F(InjectorTest, PointerPositionsAreClampedOntoTheDisplayOrTheMainOne) {
    pointer(9, 0.5f, 0.5f, 0);
    pointer(12345, 0.25f, 0.5f, 0);  // unknown: main display
    pointer(7, -0.2f, 1.7f, 0);
    pointer(7, kNaN, kInf, 0);
    pointer(7, -kInf, kNaN, 8);  // 8 is no button at all
    const std::vector<std::pair<double, double>> expected = {{2560, 512}, {480, 540}, {0, 1080}, {0, 1080}, {0, 0}};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(sink->mouse().at(i), (MouseEvent{Type::mouseMoved, expected[i].first, expected[i].second, 0, std::nullopt}));
    EXPECT_EQ(injector.pressedButtons(), 0u);
}

TEST_F(InjectorTest, ClickCountsClimbToThreeWithinTimeAndDistanceAndSurviveARelease) {
    const float px = 1.0f / 1920;  // one point on display 7
    const struct {
        float x;
        std::chrono::milliseconds at;
        std::int64_t count;
    } clicks[] = {{100 * px, 0ms, 1},   {103 * px, 200ms, 2},  {103 * px, 400ms, 3},  {103 * px, 600ms, 3},
                  {108 * px, 800ms, 1}, {108 * px, 1400ms, 1}, {108 * px, 1300ms, 1}};  // 5 points; late; clock back
    for (const auto& c : clicks) {
        pointer(7, c.x, 0.5f, 1, c.at);
        pointer(7, c.x, 0.5f, 0, c.at + 10ms);
        const auto m = sink->mouse();
        EXPECT_EQ(m[m.size() - 2], (MouseEvent{Type::leftMouseDown, c.x * 1920.0, 540, 0, c.count})) << c.at.count();
        EXPECT_EQ(m.back().clickState, c.count) << c.at.count();
    }
    // A session's end lets go of the button but keeps the history: the next press is a new
    // press (not a drag) and counts on.
    pointer(7, 108 * px, 0.5f, 1, 1500ms);
    injector.releaseAll();
    EXPECT_EQ(sink->releases, 1);
    EXPECT_EQ(injector.pressedButtons(), 0u);
    pointer(7, 108 * px, 0.5f, 1, 1600ms);
    EXPECT_EQ(sink->mouse().back(), (MouseEvent{Type::leftMouseDown, 108 * px * 1920.0, 540, 0, 3}));
}

TEST_F(InjectorTest, ButtonChangesGivePressesAndReleasesInTableOrderAndMovesDragTheLowestHeld) {
    pointer(7, 0.5f, 0.5f, 0b111);
    pointer(7, 0.25f, 0.5f, 0b110, 50ms);  // left released, others held
    pointer(7, 0.375f, 0.5f, 0b110, 60ms);  // held and moved: a drag of the lowest
    pointer(7, 0.375f, 0.5f, 0b100, 70ms);
    pointer(7, 0.625f, 0.5f, 0b100, 80ms);
    const std::vector<std::tuple<Type, double, std::uint32_t>> expected = {
        {Type::leftMouseDown, 960, 0},       {Type::rightMouseDown, 960, 1}, {Type::otherMouseDown, 960, 2},
        {Type::leftMouseUp, 480, 0},         {Type::rightMouseDragged, 720, 1}, {Type::rightMouseUp, 720, 1},
        {Type::otherMouseDragged, 1200, 2}};
    const auto m = sink->mouse();
    ASSERT_EQ(m.size(), expected.size());
    for (std::size_t i = 0; i < m.size(); ++i)
        EXPECT_EQ(std::tuple(m[i].type, m[i].x, m[i].button), expected[i]) << i;
    EXPECT_EQ(m[4].clickState, 1);
    EXPECT_EQ(injector.pressedButtons(), 0b100u);
}

TEST_F(InjectorTest, ScrollDeltasRoundHalfAwayFromZeroClampAndCarryPhases) {
    Quillmate_V0_ScrollEvent s;
    s.set_dx(2.5f);
    s.set_dy(-2.5f);
    EXPECT_EQ(*injector.scrollEvent(s), (ScrollWheelEvent{ScrollUnit::line, -3, 3, 0, std::nullopt, std::nullopt}));
    s.set_precise(true);
    const std::optional<std::int64_t> none, scrollPhases[] = {none, 1, 2, 4, none, none}, momentum[] = {none, none, none, none, 2, none};
    for (std::uint32_t phase = 1; phase <= 5; ++phase) {
        s.set_phase(phase);
        const auto e = injector.scrollEvent(s);
        EXPECT_EQ(std::tuple(e->units, e->scrollPhase, e->momentumPhase), std::tuple(ScrollUnit::pixel, scrollPhases[phase], momentum[phase]));
    }
    s.set_dx(kInf);
    s.set_dy(-3e38f);
    EXPECT_EQ(std::pair(injector.scrollEvent(s)->wheel2, injector.scrollEvent(s)->wheel1),
              std::pair(std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min()));
    s.set_dx(kNaN);
    EXPECT_FALSE(injector.scrollEvent(s));
}

TEST_F(InjectorTest, AStoppedSessionsMessagesInjectNothing) {
    Quillmate_V0_Envelope key;
    key.mutable_key()->set_usb_hid_usage(0x04);
    std::stop_source session;
    EXPECT_TRUE(injector.inject(key, session.get_token()));
    session.request_stop();
    EXPECT_FALSE(injector.inject(key, session.get_token()));
    EXPECT_EQ(sink->events.size(), 1u);
}

TEST(DisplayList, TheMainDisplayIsThePrimaryWhenListedElseTheFirst) {
    DisplayList list{{{5, {0, 0, 800, 600}, std::nullopt}, {6, {800, 0, 1024, 768}, DisplaySize{1024, 768}}}};
    EXPECT_EQ(DisplayList{}.main(), nullptr);
    for (const auto& [primary, main] : {std::pair(0u, 5u), std::pair(6u, 6u), std::pair(99u, 5u)}) {
        list.primaryID = primary;
        EXPECT_EQ(StaticDisplaySource(list).mainDisplayID(), main) << primary;
    }
    EXPECT_TRUE(StaticDisplaySource(list).bounds(0).isEmpty() && StaticDisplaySource(list).bounds(42).isEmpty());
}

TEST(DisplayList, PreferredVideoSizeFollowsTheMainDisplayWithinLimits) {
    const std::pair<std::optional<DisplaySize>, DisplaySize> cases[] = {
        {DisplaySize{1920, 1080}, {1920, 1080}}, {DisplaySize{600, 400}, {640, 480}},
        {DisplaySize{5120, 2880}, {5120, 2880}}, {DisplaySize{0, -3}, {640, 480}}, {std::nullopt, {1920, 1080}}};
    for (const auto& [mode, size] : cases) EXPECT_EQ(preferredVideoSize(mode), size);
}

TEST(ScreenCaptureEngine, TimeStampsStrictlyIncreaseAndAStartWithoutAServerThrows) {
    std::vector<std::int64_t> readings = {1000, 1000, 900, 5000};
    std::size_t next = 0;
    ScreenCaptureOptions options;
    options.displayName = ":bogus";
    options.monotonicNs = [&] { return readings[next++]; };
    ScreenCaptureEngine engine(VideoFrameSink{}, options);
    for (std::int64_t expected : {1000, 1001, 1002, 5000}) EXPECT_EQ(engine.nextTimestampNs(), expected);
    EXPECT_ANY_THROW(engine.start({}));
    EXPECT_EQ(engine.frames(), 0);
}

}  // namespace
}  // namespace quill::host
