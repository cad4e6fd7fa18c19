#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>

#include "quillcore/control/control_message.h"
#include "quillcore/control/key_mapping.h"

using namespace quill;

namespace {

Bytes hex(std::string_view text) { return fromHex(text).value(); }  // a typo throws
std::string hexOf(const google::protobuf::Message& m) { return hexString(serializedData(m)); }

// Runs protoc on the schema with `input` on stdin and returns its stdout.
std::string runProtoc(const std::string& mode, const std::string& input) {
    const auto in = std::filesystem::temp_directory_path() / ("quill_control_test_" + std::to_string(::getpid()));
    std::ofstream(in, std::ios::binary) << input;
    const std::string command = std::string("'") + QUILL_PROTOC + "' " + mode + "=quillmate.v0.Envelope -I '" +
                                QUILL_CONTROL_PROTO_DIR + "' quillmate/v0/control.proto < '" + in.string() + "'";
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (int c; pipe && (c = std::fgetc(pipe)) != EOF;) out.push_back(static_cast<char>(c));
    EXPECT_TRUE(pipe && ::pclose(pipe) == 0) << command;
    std::filesystem::remove(in);
    return out;
}

}  // namespace

TEST(ControlWire, WritesSetFieldsInOrderKeepsWhatItDoesNotKnowAndAgreesWithProtoc) {
    const std::pair<const char*, const char*> readThenWritten[] = {
        {"", ""},
        {"5200", "5200"},  // an empty payload is still written, as tag and length 0
        {"8201020805", "8201020805"},
        {"1a0a15000000001d00000080", "1a051d00000080"},  // a float is written unless its bits are all zero
        {"0a052a01612a00", "0a052a01612a00"},            // empty strings in a list are kept
        {"4a020807", "4a020807"},                        // an unrecognised mode survives
        {"4a020800", "4a00"},                            // ADAPTIVE is never written
        {"0a02080112020804", "12020804"},                // hello then key: only key is left
        {"12040804100112020805", "120408051001"},        // key twice: merged, the later usage wins
        {"c002078201020805", "8201020805c00207"},        // field 40 is kept and written after the case
        {"8201020805c00207", "8201020805c00207"},
        {"12030a0141", "12030a0141"},  // a known number with the wrong wire type stays unknown
        {"0801", "0801"},
    };
    for (auto [read, written] : readThenWritten) EXPECT_EQ(hexOf(parseEnvelope(hex(read))), written) << read;
    EXPECT_EQ(parseEnvelope(hex("12040804100112020805")).key().usb_hid_usage(), 5u);
    EXPECT_EQ(parseEnvelope(hex("12030a0141")).key().usb_hid_usage(), 0u);
    EXPECT_EQ(parseEnvelope(hex("0801")).msg_case(), Quillmate_V0_Envelope::MSG_NOT_SET);
    EXPECT_EQ(parseEnvelope(hex("0a052a01612a00")).hello().features(1), "");
    EXPECT_EQ(parseEnvelope(hex("4a020807")).quality().mode(), 7);

    // protoc's text form of our bytes, and protoc's bytes for that text, both ways.
    const std::string texts[] = {
        "pointer {\n  display_id: 2\n  x: 0.5\n  y: -0\n  buttons: 5\n}\n",
        "displays {\n  displays {\n    id: 1\n    name: \"Built-in\"\n    width_px: 1920\n    height_px: 1080\n"
        "    scale: 2\n    primary: true\n  }\n  displays {\n  }\n  streaming_id: 1\n}\n",  // an all-default element
        "hello {\n  protocol_minor: 1\n  app_version: \"0.1.0\"\n  os: \"Debian 12\"\n  features: \"cursor-shape\"\n"
        "  features: \"cursor-position\"\n}\n",
    };
    for (const std::string& text : texts) {
        Quillmate_V0_Envelope message;
        ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message)) << text;
        EXPECT_EQ(runProtoc("--decode", toString(serializedData(message))), text);
        Bytes theirs = toBytes(runProtoc("--encode", text));
        EXPECT_EQ(hexString(theirs), hexOf(message));
        EXPECT_EQ(parseEnvelope(theirs), message);
    }
    // An explicit default is left out by both.
    EXPECT_EQ(hexString(toBytes(runProtoc("--encode", "hello { protocol_major: 0 protocol_minor: 1 }"))), "0a021001");
}

TEST(ControlWire, MalformedOrTooDeepInputFailsWholeAndQuietlyAndBadTextIsNeverSent) {
    ::testing::internal::CaptureStderr();
    // Length beyond the end, truncated body, truncated tag, wire type 7, field 0, text that is not
    // UTF-8 (libprotobuf's complaint becomes part of our error).
    for (const char* bad : {"12050801", "120208", "82", "0f00", "0000", "12032201ff"}) {
        try {
            parseEnvelope(hex(bad));
            ADD_FAILURE() << "parsed: " << bad;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind, DecodingError::Kind::dataCorrupted);
            EXPECT_TRUE(!std::string(bad).ends_with("ff") || e.description().find("UTF-8") != std::string::npos);
        }
    }
    // Parsing into an existing message leaves nothing of the failed input behind.
    Quillmate_V0_Envelope target;
    target.mutable_ping()->set_t(1);
    EXPECT_THROW(parseMessage(hex("82010208051205"), target), DecodingError);
    EXPECT_EQ(target.msg_case(), Quillmate_V0_Envelope::MSG_NOT_SET);
    // The receiver refuses text that is not UTF-8 whole, so sending it would only lose it there.
    target.mutable_key()->set_text("\xff");
    EXPECT_THROW(serializedData(target), EncodingError);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    target.mutable_key()->set_text("\xc3\xa9");
    EXPECT_EQ(parseEnvelope(serializedData(target)), target);

    auto nestedGroups = [](int depth) {
        Bytes out;
        for (int i = 0; i < depth; ++i) append(out, hex("c302"));  // start group, field 40
        for (int i = 0; i < depth; ++i) append(out, hex("c402"));  // end group
        return out;
    };
    EXPECT_NO_THROW(parseEnvelope(nestedGroups(99)));
    EXPECT_THROW(parseEnvelope(nestedGroups(101)), DecodingError);
    EXPECT_EQ(serializedData(parseEnvelope(nestedGroups(3))), nestedGroups(3)) << "a kept group is written as read";
}

TEST(ControlMessage, EqualityIsByValueWithUnknownFieldsAndFloatsCompared) {
    Quillmate_V0_PointerEvent zero, negativeZero, nan;
    zero.set_x(0.0f);
    negativeZero.set_x(-0.0f);
    nan.set_x(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(zero, negativeZero);
    EXPECT_FALSE(nan == nan);
    EXPECT_NE(parseEnvelope(hex("8201020805")), parseEnvelope(hex("8201020805c00207")));
    EXPECT_EQ(parseEnvelope(hex("8201020805c00207")), parseEnvelope(hex("c002078201020805")));
    // The same field values in two message types are not equal.
    Quillmate_V0_Ping ping;
    Quillmate_V0_Pong pong;
    ping.set_t(9);
    pong.set_t(9);
    EXPECT_FALSE(equalMessages(ping, pong));
    // Different cases, and lists compared element by element.
    Quillmate_V0_Envelope a, b;
    a.mutable_ping()->set_t(1);
    b.mutable_pong()->set_t(1);
    EXPECT_NE(a, b);
    a.mutable_displays()->add_displays()->set_scale(0.0f);
    b.mutable_displays()->add_displays()->set_scale(-0.0f);
    EXPECT_EQ(a, b);
    b.mutable_displays()->add_displays();
    EXPECT_NE(a, b);
    a.mutable_displays()->add_displays()->set_name("x");
    EXPECT_NE(a, b);
}

TEST(KeyMapping, EveryRowMatchesWithItsNameAndBothWaysAndValuesWithoutARowHaveNoCounterpart) {
    // The whole table in its order, typed from the macOS virtual key constants and the USB HID
    // keyboard page.
    const KeyMappingEntry table[] = {
        {0x04, 0x00, "A"}, {0x05, 0x0B, "B"}, {0x06, 0x08, "C"}, {0x07, 0x02, "D"}, {0x08, 0x0E, "E"},
        {0x09, 0x03, "F"}, {0x0A, 0x05, "G"}, {0x0B, 0x04, "H"}, {0x0C, 0x22, "I"}, {0x0D, 0x26, "J"},
        {0x0E, 0x28, "K"}, {0x0F, 0x25, "L"}, {0x10, 0x2E, "M"}, {0x11, 0x2D, "N"}, {0x12, 0x1F, "O"},
        {0x13, 0x23, "P"}, {0x14, 0x0C, "Q"}, {0x15, 0x0F, "R"}, {0x16, 0x01, "S"}, {0x17, 0x11, "T"},
        {0x18, 0x20, "U"}, {0x19, 0x09, "V"}, {0x1A, 0x0D, "W"}, {0x1B, 0x07, "X"}, {0x1C, 0x10, "Y"},
        {0x1D, 0x06, "Z"}, {0x1E, 0x12, "1"}, {0x1F, 0x13, "2"}, {0x20, 0x14, "3"}, {0x21, 0x15, "4"},
        {0x22, 0x17, "5"}, {0x23, 0x16, "6"}, {0x24, 0x1A, "7"}, {0x25, 0x1C, "8"}, {0x26, 0x19, "9"},
        {0x27, 0x1D, "0"}, {0x28, 0x24, "Return"}, {0x29, 0x35, "Escape"}, {0x2A, 0x33, "Delete"},
        {0x2B, 0x30, "Tab"}, {0x2C, 0x31, "Space"}, {0x2D, 0x1B, "Minus"}, {0x2E, 0x18, "Equal"},
        {0x2F, 0x21, "Left Bracket"}, {0x30, 0x1E, "Right Bracket"}, {0x31, 0x2A, "Backslash"},
        {0x33, 0x29, "Semicolon"}, {0x34, 0x27, "Quote"}, {0x35, 0x32, "Grave"}, {0x36, 0x2B, "Comma"},
        {0x37, 0x2F, "Period"}, {0x38, 0x2C, "Slash"}, {0x39, 0x39, "Caps Lock"}, {0x3A, 0x7A, "F1"},
        {0x3B, 0x78, "F2"}, {0x3C, 0x63, "F3"}, {0x3D, 0x76, "F4"}, {0x3E, 0x60, "F5"}, {0x3F, 0x61, "F6"},
        {0x40, 0x62, "F7"}, {0x41, 0x64, "F8"}, {0x42, 0x65, "F9"}, {0x43, 0x6D, "F10"}, {0x44, 0x67, "F11"},
        {0x45, 0x6F, "F12"}, {0x49, 0x72, "Insert or Help"}, {0x4A, 0x73, "Home"}, {0x4B, 0x74, "Page Up"},
        {0x4C, 0x75, "Forward Delete"}, {0x4D, 0x77, "End"}, {0x4E, 0x79, "Page Down"}, {0x4F, 0x7C, "Right Arrow"},
        {0x50, 0x7B, "Left Arrow"}, {0x51, 0x7D, "Down Arrow"}, {0x52, 0x7E, "Up Arrow"},
        {0x53, 0x47, "Keypad Clear"}, {0x54, 0x4B, "Keypad Divide"}, {0x55, 0x43, "Keypad Multiply"},
        {0x56, 0x4E, "Keypad Minus"}, {0x57, 0x45, "Keypad Plus"}, {0x58, 0x4C, "Keypad Enter"},
        {0x59, 0x53, "Keypad 1"}, {0x5A, 0x54, "Keypad 2"}, {0x5B, 0x55, "Keypad 3"}, {0x5C, 0x56, "Keypad 4"},
        {0x5D, 0x57, "Keypad 5"}, {0x5E, 0x58, "Keypad 6"}, {0x5F, 0x59, "Keypad 7"}, {0x60, 0x5B, "Keypad 8"},
        {0x61, 0x5C, "Keypad 9"}, {0x62, 0x52, "Keypad 0"}, {0x63, 0x41, "Keypad Decimal"},
        {0x64, 0x0A, "ISO Section"}, {0x67, 0x51, "Keypad Equals"}, {0x68, 0x69, "F13"}, {0x69, 0x6B, "F14"},
        {0x6A, 0x71, "F15"}, {0x6B, 0x6A, "F16"}, {0x6C, 0x40, "F17"}, {0x6D, 0x4F, "F18"}, {0x6E, 0x50, "F19"},
        {0x6F, 0x5A, "F20"}, {0x85, 0x5F, "JIS Keypad Comma"}, {0x87, 0x5E, "JIS Underscore"},
        {0x89, 0x5D, "JIS Yen"}, {0x90, 0x68, "JIS Kana"}, {0x91, 0x66, "JIS Eisu"}, {0xE0, 0x3B, "Left Control"},
        {0xE1, 0x38, "Left Shift"}, {0xE2, 0x3A, "Left Option"}, {0xE3, 0x37, "Left Command"},
        {0xE4, 0x3E, "Right Control"}, {0xE5, 0x3C, "Right Shift"}, {0xE6, 0x3D, "Right Option"},
        {0xE7, 0x36, "Right Command"},
    };
    const auto& entries = KeyMapping::entries();
    ASSERT_EQ(entries.size(), std::size(table));
    auto fields = [](const KeyMappingEntry& e) { return std::tuple(e.hidUsage, e.macVirtualKey, e.name); };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(fields(entries[i]), fields(table[i])) << "row " << i + 1;
        EXPECT_EQ(KeyMapping::macVirtualKey(table[i].hidUsage), table[i].macVirtualKey) << table[i].name;
        EXPECT_EQ(KeyMapping::hidUsage(table[i].macVirtualKey), table[i].hidUsage) << table[i].name;
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
