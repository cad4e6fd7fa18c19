#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <variant>

#include "host/desktop/display_info.h"
#include "quillcore/control/control_message.h"

namespace quill::host {

// The event vocabulary the injector produces: types, fields and flags of the desktop's mouse,
// keyboard and scroll-wheel events, independent of how a backend delivers them.
enum class MouseEventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    otherMouseDown = 25,
    otherMouseUp = 26,
    otherMouseDragged = 27,
};

struct MouseEvent {
    MouseEventType type = MouseEventType::mouseMoved;
    double x = 0;  // global display coordinates
    double y = 0;
    std::uint32_t button = 0;                // 0 left, 1 right, 2 centre
    std::optional<std::int64_t> clickState;  // absent on plain moves
    bool operator==(const MouseEvent&) const = default;
};

namespace EventFlags {
inline constexpr std::uint64_t alphaShift = 0x10000;
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t alternate = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
inline constexpr std::uint64_t secondaryFn = 0x800000;
}  // namespace EventFlags

struct KeyboardEvent {
    std::uint8_t keycode = 0;  // X keycode; 0 for a text-only event
    bool down = false;
    std::uint64_t flags = 0;
    std::string text;  // UTF-8; only on text-only events
    bool operator==(const KeyboardEvent&) const = default;
};

enum class ScrollUnit : std::uint32_t { pixel = 0, line = 1 };

struct ScrollWheelEvent {
    ScrollUnit units = ScrollUnit::line;
    std::int32_t wheel1 = 0;  // vertical, positive up
    std::int32_t wheel2 = 0;  // horizontal, positive left
    std::int32_t wheel3 = 0;
    std::optional<std::int64_t> scrollPhase;    // 1 began, 2 changed, 4 ended
    std::optional<std::int64_t> momentumPhase;  // 2 continue
    bool operator==(const ScrollWheelEvent&) const = default;
};

using InputEvent = std::variant<MouseEvent, KeyboardEvent, ScrollWheelEvent>;

// Delivers events into the desktop's input stream.
class InputEventSink {
public:
    virtual ~InputEventSink() = default;
    virtual void post(const InputEvent& event) = 0;
    // Lets go of every key and button this sink holds down.
    virtual void releaseAll() = 0;
    // The same for a process that leaves now: from any thread, also while another is inside
    // post() or releaseAll(), and without waiting for a lock that is held while the desktop
    // answers. Nothing is posted after it. True once the desktop confirmed it within
    // `timeout` seconds; a sink that puts nothing on a desktop has nothing to let go.
    virtual bool releaseForExit(double /*timeout*/) { return true; }
};

struct NormalizedPoint {
    float x = 0;
    float y = 0;
    bool operator==(const NormalizedPoint&) const = default;
};

// Turns the controller's key, pointer and scroll messages into desktop input events. It keeps
// the buttons it reported as held and the last press of each button, for multi-click counting.
// Thread-safe: every call holds one lock while it reaches the sink.
class InputInjector {
public:
    using Clock = std::chrono::steady_clock;

    struct Click {
        Clock::time_point time;
        double x = 0;
        double y = 0;
        std::int64_t count = 0;
    };

    // `doubleClickInterval` in seconds (the desktop's setting).
    InputInjector(std::shared_ptr<InputEventSink> sink, std::shared_ptr<const DisplaySource> displays,
                  double doubleClickInterval = 0.4);

    void post(const InputEvent& event);

    void injectKey(const Quillmate_V0_KeyEvent& message);
    // `now` is when the caller took up the message; click timing uses the monotonic clock.
    void injectPointer(const Quillmate_V0_PointerEvent& message, Clock::time_point now);
    // Applies a key, pointer or scroll message unless `stop` was requested by then. The check
    // and the injection hold the lock releaseAll() takes, so a release that follows a stop is
    // never followed by input of the stopped session. False for other messages.
    bool inject(const Quillmate_V0_Envelope& message, const std::stop_token& stop);
    // The event for a scroll message, not posted; none for a delta that is not a number.
    std::optional<ScrollWheelEvent> scrollEvent(const Quillmate_V0_ScrollEvent& message) const;
    static NormalizedPoint normalizedPoint(double x, double y, const DisplayRect& rect);

    // Releases every key and button still held (a session ended): the sink lets go of them
    // and no button counts as pressed any more. Click history is kept.
    void releaseAll();
    // The sink's releaseForExit(), without this injector's lock: the input thread may hold it
    // while it waits for the desktop.
    bool releaseForExit(double timeout) { return sink_->releaseForExit(timeout); }

    std::uint32_t pressedButtons() const;
    std::map<std::uint32_t, Click> lastClicks() const;

    static constexpr double maximumClickDistance = 4.0;

private:
    void injectKeyLocked(const Quillmate_V0_KeyEvent& message);
    void injectPointerLocked(const Quillmate_V0_PointerEvent& message, Clock::time_point now);

    mutable std::mutex lock_;
    std::shared_ptr<InputEventSink> sink_;
    std::shared_ptr<const DisplaySource> displays_;
    double doubleClickInterval_;
    std::uint32_t pressedButtons_ = 0;
    std::map<std::uint32_t, Click> lastClicks_;
};

}  // namespace quill::host
