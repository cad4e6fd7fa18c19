#include "quillcore/control/key_mapping.h"

namespace quill {

namespace {

// clang-format off
constexpr std::array<KeyMappingEntry, KeyMapping::entryCount> kEntries = {{
    {0x04, 0x00, "A"},
    {0x05, 0x0B, "B"},
    {0x06, 0x08, "C"},
    {0x07, 0x02, "D"},
    {0x08, 0x0E, "E"},
    {0x09, 0x03, "F"},
    {0x0A, 0x05, "G"},
    {0x0B, 0x04, "H"},
    {0x0C, 0x22, "I"},
    {0x0D, 0x26, "J"},
    {0x0E, 0x28, "K"},
    {0x0F, 0x25, "L"},
    {0x10, 0x2E, "M"},
    {0x11, 0x2D, "N"},
    {0x12, 0x1F, "O"},
    {0x13, 0x23, "P"},
    {0x14, 0x0C, "Q"},
    {0x15, 0x0F, "R"},
    {0x16, 0x01, "S"},
    {0x17, 0x11, "T"},
    {0x18, 0x20, "U"},
    {0x19, 0x09, "V"},
    {0x1A, 0x0D, "W"},
    {0x1B, 0x07, "X"},
    {0x1C, 0x10, "Y"},
    {0x1D, 0x06, "Z"},
    {0x1E, 0x12, "1"},
    {0x1F, 0x13, "2"},
    {0x20, 0x14, "3"},
    {0x21, 0x15, "4"},
    {0x22, 0x17, "5"},
    {0x23, 0x16, "6"},
    {0x24, 0x1A, "7"},
    {0x25, 0x1C, "8"},
    {0x26, 0x19, "9"},
    {0x27, 0x1D, "0"},
    {0x28, 0x24, "Return"},
    {0x29, 0x35, "Escape"},
    {0x2A, 0x33, "Delete"},
    {0x2B, 0x30, "Tab"},
    {0x2C, 0x31, "Space"},
    {0x2D, 0x1B, "Minus"},
    {0x2E, 0x18, "Equal"},
    {0x2F, 0x21, "Left Bracket"},
    {0x30, 0x1E, "Right Bracket"},
    {0x31, 0x2A, "Backslash"},
    {0x33, 0x29, "Semicolon"},
    {0x34, 0x27, "Quote"},
    {0x35, 0x32, "Grave"},
    {0x36, 0x2B, "Comma"},
    {0x37, 0x2F, "Period"},
    {0x38, 0x2C, "Slash"},
    {0x39, 0x39, "Caps Lock"},
    {0x3A, 0x7A, "F1"},
    {0x3B, 0x78, "F2"},
    {0x3C, 0x63, "F3"},
    {0x3D, 0x76, "F4"},
    {0x3E, 0x60, "F5"},
    {0x3F, 0x61, "F6"},
    {0x40, 0x62, "F7"},
    {0x41, 0x64, "F8"},
    {0x42, 0x65, "F9"},
    {0x43, 0x6D, "F10"},
    {0x44, 0x67, "F11"},
    {0x45, 0x6F, "F12"},
    {0x49, 0x72, "Insert or Help"},
    {0x4A, 0x73, "Home"},
    {0x4B, 0x74, "Page Up"},
    {0x4C, 0x75, "Forward Delete"},
    {0x4D, 0x77, "End"},
    {0x4E, 0x79, "Page Down"},
    {0x4F, 0x7C, "Right Arrow"},
    {0x50, 0x7B, "Left Arrow"},
    {0x51, 0x7D, "Down Arrow"},
    {0x52, 0x7E, "Up Arrow"},
    {0x53, 0x47, "Keypad Clear"},
    {0x54, 0x4B, "Keypad Divide"},
    {0x55, 0x43, "Keypad Multiply"},
    {0x56, 0x4E, "Keypad Minus"},
    {0x57, 0x45, "Keypad Plus"},
    {0x58, 0x4C, "Keypad Enter"},
    {0x59, 0x53, "Keypad 1"},
    {0x5A, 0x54, "Keypad 2"},
    {0x5B, 0x55, "Keypad 3"},
    {0x5C, 0x56, "Keypad 4"},
    {0x5D, 0x57, "Keypad 5"},
    {0x5E, 0x58, "Keypad 6"},
    {0x5F, 0x59, "Keypad 7"},
    {0x60, 0x5B, "Keypad 8"},
    {0x61, 0x5C, "Keypad 9"},
    {0x62, 0x52, "Keypad 0"},
    {0x63, 0x41, "Keypad Decimal"},
    {0x64, 0x0A, "ISO Section"},
    {0x67, 0x51, "Keypad Equals"},
    {0x68, 0x69, "F13"},
    {0x69, 0x6B, "F14"},
    {0x6A, 0x71, "F15"},
    {0x6B, 0x6A, "F16"},
    {0x6C, 0x40, "F17"},
    {0x6D, 0x4F, "F18"},
    {0x6E, 0x50, "F19"},
    {0x6F, 0x5A, "F20"},
    {0x85, 0x5F, "JIS Keypad Comma"},
    {0x87, 0x5E, "JIS Underscore"},
    {0x89, 0x5D, "JIS Yen"},
    {0x90, 0x68, "JIS Kana"},
    {0x91, 0x66, "JIS Eisu"},
    {0xE0, 0x3B, "Left Control"},
    {0xE1, 0x38, "Left Shift"},
    {0xE2, 0x3A, "Left Option"},
    {0xE3, 0x37, "Left Command"},
    {0xE4, 0x3E, "Right Control"},
    {0xE5, 0x3C, "Right Shift"},
    {0xE6, 0x3D, "Right Option"},
    {0xE7, 0x36, "Right Command"},
}};
// clang-format on

// Usages above 0xE7 and key codes above 0x7E have no row, so two small direct-index tables
// cover every lookup.
constexpr std::uint16_t kNoKey = 0xFFFF;
constexpr std::uint32_t kNoUsage = 0xFFFFFFFF;
constexpr std::size_t kUsageLimit = 0xE8;
constexpr std::size_t kKeyLimit = 0x80;

constexpr std::array<std::uint16_t, kUsageLimit> makeKeyByUsage() {
    std::array<std::uint16_t, kUsageLimit> table{};
    for (auto& slot : table) slot = kNoKey;
    for (const auto& entry : kEntries) table[entry.hidUsage] = entry.macVirtualKey;
    return table;
}

constexpr std::array<std::uint32_t, kKeyLimit> makeUsageByKey() {
    std::array<std::uint32_t, kKeyLimit> table{};
    for (auto& slot : table) slot = kNoUsage;
    for (const auto& entry : kEntries) table[entry.macVirtualKey] = entry.hidUsage;
    return table;
}

constexpr bool tableIsOneToOne() {
    for (std::size_t i = 0; i < kEntries.size(); ++i) {
        if (kEntries[i].hidUsage >= kUsageLimit || kEntries[i].macVirtualKey >= kKeyLimit) return false;
        for (std::size_t j = i + 1; j < kEntries.size(); ++j)
            if (kEntries[i].hidUsage == kEntries[j].hidUsage || kEntries[i].macVirtualKey == kEntries[j].macVirtualKey)
                return false;
    }
    return true;
}
static_assert(tableIsOneToOne(), "every usage and every key code occurs once");

constexpr auto kKeyByUsage = makeKeyByUsage();
constexpr auto kUsageByKey = makeUsageByKey();

// Virtual keys 54 (right command) to 62 (right control); caps lock (57) deliberately absent.
constexpr std::array<std::uint32_t, 9> kModifierUsage = {0xE7, 0xE3, 0xE1, kNoUsage, 0xE2, 0xE0, 0xE5, 0xE6, 0xE4};

}  // namespace

KeyModifiers KeyModifiers::fromEventFlags(std::uint64_t eventFlags) {
    KeyModifiers out;
    if (eventFlags & 0x20000) out.insert(shift);
    if (eventFlags & 0x40000) out.insert(control);
    if (eventFlags & 0x80000) out.insert(option);
    if (eventFlags & 0x100000) out.insert(command);
    if (eventFlags & 0x10000) out.insert(capsLock);
    if (eventFlags & 0x800000) out.insert(function);
    return out;
}

KeyModifiers KeyModifiers::forHIDUsage(std::uint32_t usage) {
    switch (usage) {
        case 0xE0: case 0xE4: return control;
        case 0xE1: case 0xE5: return shift;
        case 0xE2: case 0xE6: return option;
        case 0xE3: case 0xE7: return command;
        case 0x39: return capsLock;
        default: return KeyModifiers();
    }
}

const std::array<KeyMappingEntry, KeyMapping::entryCount>& KeyMapping::entries() { return kEntries; }

std::optional<std::uint16_t> KeyMapping::macVirtualKey(std::uint32_t hidUsage) {
    if (hidUsage >= kUsageLimit || kKeyByUsage[hidUsage] == kNoKey) return std::nullopt;
    return kKeyByUsage[hidUsage];
}

std::optional<std::uint32_t> KeyMapping::hidUsage(std::uint16_t macVirtualKey) {
    if (macVirtualKey >= kKeyLimit || kUsageByKey[macVirtualKey] == kNoUsage) return std::nullopt;
    return kUsageByKey[macVirtualKey];
}

std::optional<std::uint32_t> KeyMapping::modifierHIDUsage(std::uint16_t macVirtualKey) {
    // Unsigned 16-bit subtraction: codes below 54 wrap far past the table.
    std::uint16_t index = static_cast<std::uint16_t>(macVirtualKey - 54);
    if (index > 8 || kModifierUsage[index] == kNoUsage) return std::nullopt;
    return kModifierUsage[index];
}

}  // namespace quill
