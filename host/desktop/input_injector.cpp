#include "host/desktop/input_injector.h"

#include <cmath>
#include <limits>
#include <vector>

#include "host/desktop/hid_keycodes.h"

namespace quill::host {

namespace {

struct ButtonRow {
    std::uint32_t bit;
    std::uint32_t button;
    MouseEventType down, up, dragged;
};

constexpr ButtonRow kButtons[] = {
    {0, 0, MouseEventType::leftMouseDown, MouseEventType::leftMouseUp, MouseEventType::leftMouseDragged},
    {1, 1, MouseEventType::rightMouseDown, MouseEventType::rightMouseUp, MouseEventType::rightMouseDragged},
    {2, 2, MouseEventType::otherMouseDown, MouseEventType::otherMouseUp, MouseEventType::otherMouseDragged},
};

constexpr std::pair<std::uint32_t, std::uint64_t> kModifierFlags[] = {
    {1, EventFlags::shift},   {2, EventFlags::control},    {4, EventFlags::alternate},
    {8, EventFlags::command}, {16, EventFlags::alphaShift}, {32, EventFlags::secondaryFn},
};

// Into 0...1; a value that is not a number counts as 0.
double clampUnit(double v) {
    if (!(v > 0)) return 0;
    return v > 1 ? 1 : v;
}

// Half away from zero, into the signed 32-bit range.
std::int32_t roundDelta(double v) {
    double r = std::round(v);
    if (r >= double(std::numeric_limits<std::int32_t>::max())) return std::numeric_limits<std::int32_t>::max();
    if (r <= double(std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
    return std::int32_t(r);
}

}  // namespace

InputInjector::InputInjector(std::shared_ptr<InputEventSink> sink, std::shared_ptr<const DisplaySource> displays,
                             double doubleClickInterval)
    : sink_(std::move(sink)), displays_(std::move(displays)), doubleClickInterval_(doubleClickInterval) {}

void InputInjector::post(const InputEvent& event) {
    std::lock_guard guard(lock_);
    sink_->post(event);
}

void InputInjector::injectKey(const Quillmate_V0_KeyEvent& message) {
    std::lock_guard guard(lock_);
    injectKeyLocked(message);
}

void InputInjector::injectPointer(const Quillmate_V0_PointerEvent& message, Clock::time_point now) {
    std::lock_guard guard(lock_);
    injectPointerLocked(message, now);
}

bool InputInjector::inject(const Quillmate_V0_Envelope& message, const std::stop_token& stop) {
    std::optional<ScrollWheelEvent> scroll;
    if (message.has_scroll()) scroll = scrollEvent(message.scroll());
    std::lock_guard guard(lock_);
    if (stop.stop_requested()) return false;
    switch (message.msg_case()) {
        case Quillmate_V0_Envelope::kKey: injectKeyLocked(message.key()); return true;
        case Quillmate_V0_Envelope::kPointer: injectPointerLocked(message.pointer(), Clock::now()); return true;
        case Quillmate_V0_Envelope::kScroll:
            if (scroll) sink_->post(*scroll);
            return true;
        default: return false;
    }
}

std::uint32_t InputInjector::pressedButtons() const {
    std::lock_guard guard(lock_);
    return pressedButtons_;
}

std::map<std::uint32_t, InputInjector::Click> InputInjector::lastClicks() const {
    std::lock_guard guard(lock_);
    return lastClicks_;
}

void InputInjector::injectKeyLocked(const Quillmate_V0_KeyEvent& message) {
    if (auto keycode = xKeycode(message.usb_hid_usage())) {
        KeyboardEvent event;
        event.keycode = *keycode;
        event.down = message.down();
        for (const auto& [member, flag] : kModifierFlags)
            if (message.modifiers() & member) event.flags |= flag;
        sink_->post(event);
        return;
    }
    if (message.down() && !message.text().empty()) {
        KeyboardEvent event;
        event.down = true;
        event.text = message.text();
        sink_->post(event);
    }
}

void InputInjector::injectPointerLocked(const Quillmate_V0_PointerEvent& message, Clock::time_point now) {
    const DisplayList displays = displays_->currentDisplays();
    const DisplayDescriptor* display = displays.find(message.display_id());
    DisplayRect bounds = display ? display->bounds : DisplayRect{};
    if (bounds.isEmpty()) {
        const DisplayDescriptor* main = displays.main();
        bounds = main ? main->bounds : DisplayRect{};
    }
    const double px = bounds.x + bounds.width * clampUnit(message.x());
    const double py = bounds.y + bounds.height * clampUnit(message.y());

    const std::uint32_t buttons = message.buttons() & 7;
    const std::uint32_t changed = pressedButtons_ ^ buttons;
    std::vector<MouseEvent> events;
    for (const ButtonRow& row : kButtons) {
        const std::uint32_t mask = 1u << row.bit;
        if (!(changed & mask)) continue;
        if (buttons & mask) {
            std::int64_t count = 1;
            auto prev = lastClicks_.find(row.bit);
            if (prev != lastClicks_.end()) {
                const double elapsed = std::chrono::duration<double>(now - prev->second.time).count();
                const double distance = std::hypot(px - prev->second.x, py - prev->second.y);
                if (elapsed >= 0 && elapsed <= doubleClickInterval_ && distance <= maximumClickDistance)
                    count = std::min<std::int64_t>(prev->second.count + 1, 3);
            }
            lastClicks_[row.bit] = Click{now, px, py, count};
            events.push_back({row.down, px, py, row.button, count});
        } else {
            auto prev = lastClicks_.find(row.bit);
            events.push_back({row.up, px, py, row.button, prev != lastClicks_.end() ? prev->second.count : 1});
        }
    }
    if (events.empty()) {
        const ButtonRow* held = nullptr;
        for (const ButtonRow& row : kButtons)
            if (buttons & (1u << row.bit)) {
                held = &row;
                break;
            }
        if (held)
            events.push_back({held->dragged, px, py, held->button, 1});
        else
            events.push_back({MouseEventType::mouseMoved, px, py, 0, std::nullopt});
    }
    pressedButtons_ = buttons;
    for (const MouseEvent& event : events) sink_->post(event);
}

std::optional<ScrollWheelEvent> InputInjector::scrollEvent(const Quillmate_V0_ScrollEvent& message) const {
    if (std::isnan(message.dx()) || std::isnan(message.dy())) return std::nullopt;
    ScrollWheelEvent event;
    event.units = message.precise() ? ScrollUnit::pixel : ScrollUnit::line;
    event.wheel1 = roundDelta(message.dy());
    event.wheel2 = roundDelta(message.dx());
    switch (message.phase()) {
    case 1: event.scrollPhase = 1; break;
    case 2: event.scrollPhase = 2; break;
    case 3: event.scrollPhase = 4; break;
    case 4: event.momentumPhase = 2; break;
    default: break;
    }
    return event;
}

NormalizedPoint InputInjector::normalizedPoint(double x, double y, const DisplayRect& rect) {
    if (!(rect.width > 0) || !(rect.height > 0)) return {};
    return {float(clampUnit((x - rect.x) / rect.width)), float(clampUnit((y - rect.y) / rect.height))};
}

void InputInjector::releaseAll() {
    std::lock_guard guard(lock_);
    pressedButtons_ = 0;
    sink_->releaseAll();
}

}  // namespace quill::host
