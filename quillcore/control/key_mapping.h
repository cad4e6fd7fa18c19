#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

// Keyboard vocabulary of key events: USB HID keyboard usages, the macOS virtual key codes the
// controllers' protocol pairs them with, and the modifier mask carried in `modifiers`.
namespace quill {

// Six modifier flags over a 32-bit mask; bits that name no flag are kept as given.
class KeyModifiers {
public:
    constexpr KeyModifiers() = default;
    constexpr explicit KeyModifiers(std::uint32_t rawValue) : rawValue_(rawValue) {}

    static const KeyModifiers shift;     // 1
    static const KeyModifiers control;   // 2
    static const KeyModifiers option;    // 4
    static const KeyModifiers command;   // 8
    static const KeyModifiers capsLock;  // 16
    static const KeyModifiers function;  // 32

    // From the flags of a macOS keyboard event: alpha shift 0x10000, shift 0x20000, control
    // 0x40000, alternate 0x80000, command 0x100000, secondary function 0x800000; other bits
    // are ignored.
    static KeyModifiers fromEventFlags(std::uint64_t eventFlags);
    // From the HID usages of the keys held down: either control, shift, option or command
    // key, and caps lock. Never yields `function`.
    template <class Range>
    static KeyModifiers fromHIDUsages(const Range& usages) {
        KeyModifiers out;
        for (std::uint32_t usage : usages) out.insert(forHIDUsage(usage));
        return out;
    }
    static KeyModifiers fromHIDUsages(std::initializer_list<std::uint32_t> usages) {
        return fromHIDUsages<std::initializer_list<std::uint32_t>>(usages);
    }

    constexpr std::uint32_t rawValue() const { return rawValue_; }

    constexpr bool isEmpty() const { return rawValue_ == 0; }
    constexpr bool contains(KeyModifiers other) const { return (rawValue_ & other.rawValue_) == other.rawValue_; }
    constexpr bool isSubset(KeyModifiers of) const { return (rawValue_ & ~of.rawValue_) == 0; }
    constexpr bool isDisjoint(KeyModifiers with) const { return (rawValue_ & with.rawValue_) == 0; }
    constexpr KeyModifiers subtracting(KeyModifiers other) const { return KeyModifiers(rawValue_ & ~other.rawValue_); }
    constexpr void insert(KeyModifiers other) { rawValue_ |= other.rawValue_; }
    constexpr void remove(KeyModifiers other) { rawValue_ &= ~other.rawValue_; }

    friend constexpr KeyModifiers operator|(KeyModifiers a, KeyModifiers b) { return KeyModifiers(a.rawValue_ | b.rawValue_); }
    friend constexpr KeyModifiers operator&(KeyModifiers a, KeyModifiers b) { return KeyModifiers(a.rawValue_ & b.rawValue_); }
    friend constexpr KeyModifiers operator^(KeyModifiers a, KeyModifiers b) { return KeyModifiers(a.rawValue_ ^ b.rawValue_); }
    constexpr KeyModifiers& operator|=(KeyModifiers o) { rawValue_ |= o.rawValue_; return *this; }
    constexpr KeyModifiers& operator&=(KeyModifiers o) { rawValue_ &= o.rawValue_; return *this; }
    constexpr KeyModifiers& operator^=(KeyModifiers o) { rawValue_ ^= o.rawValue_; return *this; }
    constexpr bool operator==(const KeyModifiers&) const = default;

private:
    static KeyModifiers forHIDUsage(std::uint32_t usage);
    std::uint32_t rawValue_ = 0;
};

inline constexpr KeyModifiers KeyModifiers::shift{1};
inline constexpr KeyModifiers KeyModifiers::control{2};
inline constexpr KeyModifiers KeyModifiers::option{4};
inline constexpr KeyModifiers KeyModifiers::command{8};
inline constexpr KeyModifiers KeyModifiers::capsLock{16};
inline constexpr KeyModifiers KeyModifiers::function{32};

struct KeyMappingEntry {
    std::uint32_t hidUsage;       // USB HID usage, keyboard page
    std::uint16_t macVirtualKey;  // macOS virtual key code
    std::string_view name;
    constexpr bool operator==(const KeyMappingEntry&) const = default;
};

// The fixed table of 115 keys and lookups both ways. Lookups index tables built at compile
// time: nothing is allocated and no lock is taken.
class KeyMapping {
public:
    KeyMapping() = delete;

    static constexpr std::size_t entryCount = 115;
    static const std::array<KeyMappingEntry, entryCount>& entries();

    static std::optional<std::uint16_t> macVirtualKey(std::uint32_t hidUsage);
    static std::optional<std::uint32_t> hidUsage(std::uint16_t macVirtualKey);
    // Only the macOS modifier keys (virtual keys 54 to 62) answer, caps lock excepted.
    static std::optional<std::uint32_t> modifierHIDUsage(std::uint16_t macVirtualKey);
};

}  // namespace quill
