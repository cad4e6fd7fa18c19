#include <gtest/gtest.h>

#include <set>

#include "quillcore/control/key_mapping.h"

using namespace quill;

TEST(KeyMapping, KnownRowsMatchBothWaysAndValuesWithoutARowHaveNoCounterpart) {
    // Rows typed from the macOS virtual key constants and the USB HID keyboard page, one or more
    // from every section of the table.
    const std::tuple<std::uint32_t, std::uint16_t, const char*> known[] = {
        {0x04, 0x00, "A"}, {0x0B, 0x04, "H"}, {0x16, 0x01, "S"}, {0x1D, 0x06, "Z"}, {0x1E, 0x12, "1"},
        {0x22, 0x17, "5"}, {0x23, 0x16, "6"}, {0x27, 0x1D, "0"}, {0x28, 0x24, "Return"}, {0x2A, 0x33, "Delete"},
        {0x2C, 0x31, "Space"}, {0x35, 0x32, "Grave"}, {0x39, 0x39, "Caps Lock"}, {0x3A, 0x7A, "F1"},
        {0x3D, 0x76, "F4"}, {0x45, 0x6F, "F12"}, {0x49, 0x72, "Insert or Help"}, {0x4C, 0x75, "Forward Delete"},
        {0x50, 0x7B, "Left Arrow"}, {0x52, 0x7E, "Up Arrow"}, {0x53, 0x47, "Keypad Clear"},
        {0x58, 0x4C, "Keypad Enter"}, {0x62, 0x52, "Keypad 0"}, {0x60, 0x5B, "Keypad 8"}, {0x64, 0x0A, "ISO Section"},
        {0x67, 0x51, "Keypad Equals"}, {0x6F, 0x5A, "F20"}, {0x85, 0x5F, "JIS Keypad Comma"}, {0x89, 0x5D, "JIS Yen"},
        {0x90, 0x68, "JIS Kana"}, {0xE0, 0x3B, "Left Control"}, {0xE3, 0x37, "Left Command"},
        {0xE7, 0x36, "Right Command"},
    };
    for (auto [usage, key, name] : known) {
        EXPECT_EQ(KeyMapping::macVirtualKey(usage), key) << name;
        EXPECT_EQ(KeyMapping::hidUsage(key), usage) << name;
    }

    std::set<std::uint32_t> missingUsages = {0x00, 0x01, 0x02, 0x03, 0x32, 0x46, 0x47, 0x48, 0x65, 0x66, 0x86, 0x88};
    for (auto [from, to] : {std::pair{0x70u, 0x84u}, {0x8Au, 0x8Fu}, {0x92u, 0xDFu}})
        for (std::uint32_t u = from; u <= to; ++u) missingUsages.insert(u);
    for (std::uint32_t u = 0; u <= 0xE7; ++u)
        EXPECT_EQ(KeyMapping::macVirtualKey(u).has_value(), !missingUsages.count(u)) << std::hex << u;
    for (std::uint32_t u : {0xE8u, 0xFFu, 0x100u, 0x10004u, 0xFFFFFFFFu}) EXPECT_FALSE(KeyMapping::macVirtualKey(u));

    std::set<std::uint16_t> missingKeys = {0x34, 0x3F, 0x42, 0x44, 0x46, 0x48, 0x49, 0x4A, 0x4D, 0x6C, 0x6E, 0x70};
    for (std::uint16_t k = 0; k <= 0x7E; ++k)
        EXPECT_EQ(KeyMapping::hidUsage(k).has_value(), !missingKeys.count(k)) << std::hex << k;
    for (std::uint16_t k : {0x7F, 0x80, 0xFF, 0xFFFF}) EXPECT_FALSE(KeyMapping::hidUsage(k));

    // Only the modifier keys answer, caps lock excepted.
    const std::pair<std::uint16_t, std::optional<std::uint32_t>> modifiers[] = {
        {54, 0xE7}, {55, 0xE3}, {56, 0xE1}, {57, std::nullopt}, {58, 0xE2}, {59, 0xE0}, {60, 0xE5}, {61, 0xE6},
        {62, 0xE4}, {53, std::nullopt}, {63, std::nullopt}, {0, std::nullopt}, {0xFFFF, std::nullopt}};
    for (auto [key, usage] : modifiers) EXPECT_EQ(KeyMapping::modifierHIDUsage(key), usage) << key;
}

TEST(KeyModifiers, FromEventFlagsAndHeldKeys) {
    using M = KeyModifiers;
    EXPECT_EQ(M::fromEventFlags(0x120000), M::shift | M::command);
    EXPECT_EQ(M::fromEventFlags(0x800000), M::function);
    EXPECT_EQ(M::fromEventFlags(0x10000), M::capsLock);
    EXPECT_EQ(M::fromEventFlags(0x1E0000), M::shift | M::control | M::option | M::command);
    EXPECT_TRUE(M::fromEventFlags(0x100).isEmpty());
    EXPECT_EQ(M::fromEventFlags(0xFFFFFFFFFFFFFFFFull).rawValue(), 63u);

    EXPECT_EQ(M::fromHIDUsages({0xE4, 0x04}), M::control);
    EXPECT_EQ(M::fromHIDUsages({0x39}), M::capsLock);
    EXPECT_EQ(M::fromHIDUsages({0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE1}),
              M::control | M::shift | M::option | M::command);
    // No key yields function.
    KeyModifiers all;
    for (std::uint32_t u = 0; u < 0x200; ++u) all |= M::fromHIDUsages({u});
    EXPECT_EQ(all.rawValue(), 31u);
}
