#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <limits>
#include <sstream>
#include <unistd.h>

#include <google/protobuf/text_format.h>

#include "quillcore/control/control_message.h"

using namespace quill;

namespace {

Bytes hex(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c != ' ') digits.push_back(c);
    auto bytes = fromHex(digits);
    EXPECT_TRUE(bytes.has_value()) << text;
    return bytes.value_or(Bytes{});
}

std::string hexOf(const google::protobuf::Message& m) { return hexString(serializedData(m)); }

Quillmate_V0_Envelope parseHex(std::string_view text) { return parseEnvelope(hex(text)); }

std::string parseFailure(const Bytes& bytes) {
    try {
        parseEnvelope(bytes);
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind, DecodingError::Kind::dataCorrupted);
        return e.description();
    }
    ADD_FAILURE() << "parsed: " << hexString(bytes);
    return {};
}

// Runs protoc on the schema with `input` on stdin and returns its stdout.
std::string runProtoc(const std::string& mode, const std::string& input) {
    auto dir = std::filesystem::temp_directory_path();
    std::string stem = "quill_control_test_" + std::to_string(::getpid());
    auto in = dir / (stem + ".in");
    auto out = dir / (stem + ".out");
    std::ofstream(in, std::ios::binary) << input;
    auto quoted = [](const std::string& path) { return "'" + path + "'"; };
    std::string command = quoted(QUILL_PROTOC) + " " + mode + "=quillmate.v0.Envelope -I " +
                          quoted(QUILL_CONTROL_PROTO_DIR) + " quillmate/v0/control.proto < " + quoted(in.string()) +
                          " > " + quoted(out.string());
    int rc = std::system(command.c_str());
    EXPECT_EQ(rc, 0) << command;
    std::ifstream file(out, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    return text.str();
}

std::string asString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

TEST(ControlWire, WritesOnlyWhatDiffersFromDefaults) {
    auto envelope = [](const std::function<void(Quillmate_V0_Envelope&)>& set) {
        Quillmate_V0_Envelope e;
        set(e);
        return e;
    };
    EXPECT_EQ(hexOf(Quillmate_V0_Envelope()), "");
    EXPECT_EQ(parseEnvelope(Bytes{}).msg_case(), Quillmate_V0_Envelope::MSG_NOT_SET);
    // An empty payload is still written, as tag and length 0.
    EXPECT_EQ(hexOf(envelope([](auto& e) { e.mutable_keyframe(); })), "5200");
    EXPECT_EQ(parseHex("52 00").msg_case(), Quillmate_V0_Envelope::kKeyframe);
    EXPECT_EQ(hexOf(envelope([](auto& e) { e.mutable_ping()->set_t(5); })), "8201020805");
    // A float is written when its bits are not all zero: -0.0 is, 0.0 is not.
    EXPECT_EQ(hexOf(envelope([](auto& e) {
                  e.mutable_pointer()->set_x(0.0f);
                  e.mutable_pointer()->set_y(-0.0f);
              })),
              "1a051d00000080");
    // Empty strings in a list are written, and read back.
    EXPECT_EQ(hexOf(envelope([](auto& e) {
                  e.mutable_hello()->add_features("a");
                  e.mutable_hello()->add_features("");
              })),
              "0a052a01612a00");
    auto back = parseHex("0a052a01612a00");
    ASSERT_EQ(back.hello().features_size(), 2);
    EXPECT_EQ(back.hello().features(1), "");
    // Unrecognised modes survive a round trip; ADAPTIVE is never written.
    auto quality = parseHex("4a 02 08 07");
    EXPECT_EQ(quality.quality().mode(), 7);
    EXPECT_EQ(hexOf(quality), "4a020807");
    EXPECT_EQ(hexOf(parseHex("4a 02 08 00")), "4a00");
}

TEST(ControlWire, ReadingFollowsTheMergeAndKeepRules) {
    // hello then key: only key is left.
    auto replaced = parseHex("0a 02 08 01  12 02 08 04");
    EXPECT_EQ(replaced.msg_case(), Quillmate_V0_Envelope::kKey);
    EXPECT_EQ(replaced.key().usb_hid_usage(), 4u);

    // key twice: merged, the later usage wins, the earlier down stays.
    auto merged = parseHex("12 04 08 04 10 01  12 02 08 05");
    EXPECT_EQ(merged.key().usb_hid_usage(), 5u);
    EXPECT_TRUE(merged.key().down());

    // Field 40 is kept and written after the case, whichever came first.
    EXPECT_EQ(hexOf(parseHex("82 01 02 08 05  c0 02 07")), "8201020805c00207");
    EXPECT_EQ(hexOf(parseHex("c0 02 07  82 01 02 08 05")), "8201020805c00207");

    // A known number with the wrong wire type stays unknown and leaves the field alone.
    auto wrongType = parseHex("12 03 0a 01 41");
    EXPECT_EQ(wrongType.key().usb_hid_usage(), 0u);
    EXPECT_EQ(hexOf(wrongType), "12030a0141");
    auto varintCase = parseHex("08 01");
    EXPECT_EQ(varintCase.msg_case(), Quillmate_V0_Envelope::MSG_NOT_SET);
    EXPECT_EQ(hexOf(varintCase), "0801");
}

TEST(ControlWire, MalformedInputFailsWholeAndQuietly) {
    testing::internal::CaptureStderr();
    // Length beyond the end, truncated body, truncated tag, wire type 7, field 0.
    for (const char* bad : {"12 05 08 01", "12 02 08", "82", "0f 00", "00 00"}) EXPECT_NE(parseFailure(hex(bad)), "") << bad;
    // Invalid UTF-8 in KeyEvent.text: libprotobuf's complaint becomes part of our error.
    std::string utf8 = parseFailure(hex("12 03 22 01 ff"));
    EXPECT_NE(utf8.find("UTF-8"), std::string::npos) << utf8;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // Parsing into an existing message leaves nothing of the failed input behind.
    Quillmate_V0_Envelope target;
    target.mutable_ping()->set_t(1);
    EXPECT_THROW(parseMessage(hex("82 01 02 08 05  12 05"), target), DecodingError);
    EXPECT_EQ(target.msg_case(), Quillmate_V0_Envelope::MSG_NOT_SET);
}

TEST(ControlWire, TextThatIsNotUTF8IsNeverSent) {
    // The receiver refuses such a message whole, so sending it would only lose it there.
    testing::internal::CaptureStderr();
    Quillmate_V0_Envelope envelope;
    envelope.mutable_key()->set_text("\xff");
    try {
        serializedData(envelope);
        ADD_FAILURE() << "encoded text that is not UTF-8";
    } catch (const EncodingError& e) {
        EXPECT_NE(e.description().find("UTF-8"), std::string::npos) << e.description();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    envelope.mutable_key()->set_text("\xc3\xa9");
    EXPECT_EQ(parseEnvelope(serializedData(envelope)), envelope);
}

TEST(ControlWire, NestingIsLimitedTo100) {
    auto nestedGroups = [](int depth) {
        Bytes out;
        for (int i = 0; i < depth; ++i) append(out, hex("c3 02"));  // start group, field 40
        for (int i = 0; i < depth; ++i) append(out, hex("c4 02"));  // end group
        return out;
    };
    EXPECT_NO_THROW(parseEnvelope(nestedGroups(99)));
    EXPECT_THROW(parseEnvelope(nestedGroups(101)), DecodingError);
    // A kept group is written back as read.
    EXPECT_EQ(hexString(serializedData(parseEnvelope(nestedGroups(3)))), hexString(nestedGroups(3)));
}

TEST(ControlWire, AgreesWithProtoc) {
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
        Bytes ours = serializedData(message);
        EXPECT_EQ(runProtoc("--decode", asString(ours)), text);
        Bytes theirs = toBytes(runProtoc("--encode", text));
        EXPECT_EQ(hexString(theirs), hexString(ours));
        EXPECT_EQ(parseEnvelope(theirs), message);
    }
    // An explicit default is left out by both.
    Quillmate_V0_Envelope minor;
    minor.mutable_hello()->set_protocol_minor(1);
    EXPECT_EQ(hexString(toBytes(runProtoc("--encode", "hello { protocol_major: 0 protocol_minor: 1 }"))), hexOf(minor));
}

TEST(ControlMessage, EqualityIsByValue) {
    Quillmate_V0_PointerEvent zero, negativeZero, nan;
    zero.set_x(0.0f);
    negativeZero.set_x(-0.0f);
    nan.set_x(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(zero, negativeZero);
    EXPECT_NE(hexOf(zero), hexOf(negativeZero));
    EXPECT_FALSE(nan == nan);

    // Unknown fields count.
    auto plain = parseHex("82 01 02 08 05");
    auto withUnknown = parseHex("82 01 02 08 05  c0 02 07");
    EXPECT_NE(plain, withUnknown);
    EXPECT_EQ(withUnknown, parseHex("c0 02 07  82 01 02 08 05"));

    // The same field values in two message types are not equal.
    Quillmate_V0_Ping ping;
    Quillmate_V0_Pong pong;
    ping.set_t(9);
    pong.set_t(9);
    EXPECT_FALSE(equalMessages(ping, pong));

    // Different cases, and nested lists compared element by element.
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
