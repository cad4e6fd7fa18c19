#include <gtest/gtest.h>

#include <cmath>

#include "quillcore/base/json.h"

using namespace quill;
using quill::json::Json;
using Kind = DecodingError::Kind;

namespace {
Kind kindOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const DecodingError& e) {
        return e.kind;
    }
    ADD_FAILURE() << "no DecodingError";
    return Kind::dataCorrupted;
}
}  // namespace

TEST(Json, ParseRefusesInvalidDocuments) {
    EXPECT_EQ(kindOf([] { json::parse("{"); }), Kind::dataCorrupted);
    EXPECT_EQ(kindOf([] { json::parse(std::string("\"\xff\"")); }), Kind::dataCorrupted);
    EXPECT_EQ(kindOf([] { json::requireObject(json::parse("[1]")); }), Kind::typeMismatch);
}

TEST(Json, IntegersAreNeverTruncatedOrWrapped) {
    Json j = json::parse(R"({"a":1.5,"b":18446744073709551615,"c":1e3,"d":-5,"e":true,"f":2147483648,"g":1e300})");
    EXPECT_EQ(kindOf([&] { json::requireInt<std::int64_t>(j, "a"); }), Kind::dataCorrupted);
    EXPECT_EQ(kindOf([&] { json::requireInt<std::int64_t>(j, "b"); }), Kind::dataCorrupted);
    EXPECT_EQ(json::requireInt<std::int64_t>(j, "c"), 1000);
    EXPECT_EQ(json::requireInt<std::int32_t>(j, "d"), -5);
    EXPECT_EQ(kindOf([&] { json::requireInt<std::int32_t>(j, "e"); }), Kind::typeMismatch);
    EXPECT_EQ(kindOf([&] { json::requireInt<std::int32_t>(j, "f"); }), Kind::dataCorrupted);
    EXPECT_EQ(kindOf([&] { json::requireInt<std::int64_t>(j, "g"); }), Kind::dataCorrupted);
    EXPECT_EQ(json::requireUInt64(j, "b"), 18446744073709551615ull);
}

TEST(Json, RangeChecksHoldBothBoundsForEveryNumberForm) {
    // 0 and 7 parse as unsigned, -3 as signed, 2.0 as a float: each must meet the same bounds.
    Json j = json::parse(R"({"zero":0,"seven":7,"minus":-3,"two":2.0})");
    EXPECT_EQ(kindOf([&] { json::requireInteger(j, "zero", 1, 10); }), Kind::dataCorrupted);
    EXPECT_EQ(kindOf([&] { json::requireInteger(j, "seven", 8, 10); }), Kind::dataCorrupted);
    EXPECT_EQ(kindOf([&] { json::requireInteger(j, "seven", 0, 6); }), Kind::dataCorrupted);
    EXPECT_EQ(kindOf([&] { json::requireInteger(j, "minus", -2, 10); }), Kind::dataCorrupted);
    EXPECT_EQ(kindOf([&] { json::requireInteger(j, "two", 3, 10); }), Kind::dataCorrupted);
    EXPECT_EQ(json::requireInteger(j, "seven", 7, 7), 7);
    EXPECT_EQ(json::requireInteger(j, "zero", 0, 0), 0);
    EXPECT_EQ(json::requireInteger(j, "minus", -3, -3), -3);
    EXPECT_EQ(json::optionalInteger(j, "seven", 1, 7), 7);
    EXPECT_EQ(kindOf([&] { json::optionalInteger(j, "zero", 1, 7); }), Kind::dataCorrupted);
}

TEST(Json, MemberKindsFollowTheStrictDecoder) {
    Json j = json::parse(R"({"s":"x","n":null,"b":true,"u":"-_-_","p":"+/+/"})");
    EXPECT_EQ(kindOf([&] { json::requireString(j, "missing"); }), Kind::keyNotFound);
    EXPECT_EQ(kindOf([&] { json::requireString(j, "n"); }), Kind::valueNotFound);
    EXPECT_EQ(kindOf([&] { json::requireString(j, "b"); }), Kind::typeMismatch);
    EXPECT_EQ(kindOf([&] { json::requireBool(j, "s"); }), Kind::typeMismatch);
    EXPECT_FALSE(json::optionalString(j, "n"));
    EXPECT_FALSE(json::optionalString(j, "missing"));
    EXPECT_EQ(json::requireBase64URL(j, "u"), (Bytes{0xFB, 0xFF, 0xBF}));
    EXPECT_EQ(json::requireBase64(j, "p"), (Bytes{0xFB, 0xFF, 0xBF}));
    try {
        json::requireBase64URL(j, "s");
        FAIL();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind, Kind::dataCorrupted);
        EXPECT_NE(e.description().find("Invalid base64url value"), std::string::npos);
    }
}

TEST(Json, WritersEscapeSlashesAndRefuseNonFinite) {
    json::OrderedJson o;
    o["z"] = "a/b";
    o["a"] = 0.5;
    EXPECT_EQ(json::dumpEscapingSlashes(o), R"({"z":"a\/b","a":0.5})");
    EXPECT_EQ(json::dump(o), R"({"z":"a/b","a":0.5})");
    EXPECT_EQ(json::parse(json::dumpEscapingSlashes(o))["z"], "a/b");
    json::OrderedJson bad;
    bad["x"] = std::nan("");
    EXPECT_THROW(json::dump(bad), EncodingError);
    json::OrderedJson utf;
    utf["x"] = std::string("\xff");
    EXPECT_THROW(json::dump(utf), EncodingError);
}
