#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "quillcore/base/json.h"

using namespace quill;
using Kind = DecodingError::Kind;

TEST(Json, ReadersReportTheStrictDecodersKindsAndNeverTruncateOrWrapIntegers) {
    const json::Json j = json::parse(R"({"a":1.5,"b":18446744073709551615,"c":1e3,"d":-5,"e":true,"f":2147483648,
        "g":1e300,"zero":0,"seven":7,"two":2.0,"s":"x","n":null,"u":"-_-_","p":"+/+/"})");
    // 0 and 7 parse as unsigned, -5 as signed, 2.0 as a float: each must meet the same bounds.
    const std::pair<std::function<void()>, Kind> refused[] = {
        {[] { json::parse("{"); }, Kind::dataCorrupted},
        {[] { json::parse(std::string("\"\xff\"")); }, Kind::dataCorrupted},
        {[] { json::requireObject(json::parse("[1]")); }, Kind::typeMismatch},
        {[&] { json::requireInt<std::int64_t>(j, "a"); }, Kind::dataCorrupted},
        {[&] { json::requireInt<std::int64_t>(j, "b"); }, Kind::dataCorrupted},
        {[&] { json::requireInt<std::int32_t>(j, "e"); }, Kind::typeMismatch},
        {[&] { json::requireInt<std::int32_t>(j, "f"); }, Kind::dataCorrupted},
        {[&] { json::requireInt<std::int64_t>(j, "g"); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "zero", 1, 10); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "seven", 8, 10); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "seven", 0, 6); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "d", -4, 10); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "two", 3, 10); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "two", 0, 1); }, Kind::dataCorrupted},
        {[&] { json::optionalInteger(j, "zero", 1, 7); }, Kind::dataCorrupted},
        {[&] { json::requireString(j, "missing"); }, Kind::keyNotFound},
        {[&] { json::requireString(j, "n"); }, Kind::valueNotFound},
        {[&] { json::requireString(j, "e"); }, Kind::typeMismatch},
        {[&] { json::requireBool(j, "s"); }, Kind::typeMismatch},
        {[&] { json::requireBase64URL(j, "s"); }, Kind::dataCorrupted},
        {[&] { json::requireBase64(j, "u"); }, Kind::dataCorrupted},
    };
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        try {
            refused[i].first();
            ADD_FAILURE() << "row " << i << " was read";
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind, refused[i].second) << "row " << i;
        }
    }
    EXPECT_EQ(json::requireInt<std::int64_t>(j, "c"), 1000);
    EXPECT_EQ(json::requireInt<std::int32_t>(j, "d"), -5);
    EXPECT_EQ(json::requireUInt64(j, "b"), 18446744073709551615ull);
    EXPECT_EQ(json::requireInteger(j, "seven", 7, 7), 7);
    EXPECT_EQ(json::requireInteger(j, "zero", 0, 0), 0);
    EXPECT_EQ(json::requireInteger(j, "two", 2, 2), 2);
    EXPECT_EQ(json::optionalInteger(j, "seven", 1, 7), 7);
    EXPECT_FALSE(json::optionalString(j, "n"));
    EXPECT_FALSE(json::optionalString(j, "missing"));
    EXPECT_EQ(json::requireBase64URL(j, "u"), (Bytes{0xFB, 0xFF, 0xBF}));
    EXPECT_EQ(json::requireBase64(j, "p"), (Bytes{0xFB, 0xFF, 0xBF}));
}

TEST(Json, WritersEscapeSlashesAndRefuseNonFiniteNumbersAndBadText) {
    json::OrderedJson o;
    o["z"] = "a/b";
    o["a"] = 0.5;
    EXPECT_EQ(json::dumpEscapingSlashes(o), R"({"z":"a\/b","a":0.5})");
    EXPECT_EQ(json::dump(o), R"({"z":"a/b","a":0.5})");
    EXPECT_EQ(json::parse(json::dumpEscapingSlashes(o))["z"], "a/b");
    json::OrderedJson nested;
    nested["x"] = {1, std::nan("")};
    EXPECT_THROW(json::dump(nested), EncodingError);
    json::OrderedJson text;
    text["x"] = std::string("\xff");
    EXPECT_THROW(json::dump(text), EncodingError);
}
