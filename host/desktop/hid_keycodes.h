#pragma once

#include <cstdint>
#include <optional>

namespace quill::host {

// The Linux input event code (linux/input-event-codes.h) of a USB HID keyboard usage, as the
// kernel's generic HID driver assigns it; only the keys of KeyMapping's table answer.
std::optional<std::uint16_t> evdevCode(std::uint32_t hidUsage);

// The X keycode of a HID usage: the evdev code + 8, as X servers number keys.
std::optional<std::uint8_t> xKeycode(std::uint32_t hidUsage);

}  // namespace quill::host
