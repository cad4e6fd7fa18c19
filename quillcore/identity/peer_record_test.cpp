#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>

#include "quillcore/base/clock.h"
#include "quillcore/identity/peer_record.h"

using namespace quill;

namespace {

PeerRecord sample() {
    return PeerRecord{Bytes{0xFB, 0xFF, 0x01}, Bytes{1, 2, 3}, Bytes{4}, "Ana's iPad / home", "", 86400.5,
                      PeerPermissions::defaults()};
}

// Every way to remove or damage one member.
std::vector<std::string> withoutEachKey(const json::Json& object) {
    std::vector<std::string> out;
    for (auto& [key, value] : object.items()) {
        json::Json copy = object;
        copy.erase(key);
        out.push_back(copy.dump());
    }
    return out;
}

}  // namespace

TEST(PeerPermissions, DefaultsAndStrictCoding) {
    EXPECT_EQ(PeerPermissions::defaults(), (PeerPermissions{true, true, true, false, false}));
    EXPECT_EQ(json::dump(PeerPermissions::defaults().toJson()),
              R"({"view":true,"control":true,"clipboard":true,"files":false,"attendedOnly":false})");
    json::Json full = json::parse(R"({"view":false,"control":true,"clipboard":false,"files":true,"attendedOnly":true,"x":0})");
    EXPECT_EQ(PeerPermissions::fromJson(full), (PeerPermissions{false, true, false, true, true}));
    for (const auto& text : withoutEachKey(full)) {
        if (text.find("\"x\"") == std::string::npos) continue;  // the extra key may go
        EXPECT_THROW(PeerPermissions::fromJson(json::parse(text)), DecodingError) << text;
    }
    for (auto text : {R"({"view":1,"control":true,"clipboard":true,"files":true,"attendedOnly":true})",
                      R"({"view":"true","control":true,"clipboard":true,"files":true,"attendedOnly":true})",
                      R"({"view":null,"control":true,"clipboard":true,"files":true,"attendedOnly":true})"})
        EXPECT_THROW(PeerPermissions::fromJson(json::parse(text)), DecodingError) << text;
}

TEST(PeerRecord, StoredFormEscapesSolidusAndReadsBack) {
    PeerRecord record = sample();
    const std::string stored = record.encode();
    EXPECT_EQ(stored,
              R"({"fingerprint":"+\/8B","signingPublicKey":"AQID","agreementPublicKey":"BA==",)"
              R"("name":"Ana's iPad \/ home","os":"","pairedAt":86400.5,)"
              R"("permissions":{"view":true,"control":true,"clipboard":true,"files":false,"attendedOnly":false}})");
    EXPECT_EQ(PeerRecord::decode(toBytes(stored)), record);
    EXPECT_EQ(record.id(), record.fingerprint);
}

TEST(PeerRecord, EveryMemberIsRequiredAndStrict) {
    json::Json object = json::parse(sample().encode());
    for (const auto& text : withoutEachKey(object))
        EXPECT_THROW(PeerRecord::decode(toBytes(text)), DecodingError) << text;
    for (const auto& text : withoutEachKey(object["permissions"])) {
        json::Json damaged = object;
        damaged["permissions"] = json::parse(text);
        EXPECT_THROW(PeerRecord::decode(toBytes(damaged.dump())), DecodingError) << text;
    }
    auto with = [&](const char* key, json::Json value) {
        json::Json copy = object;
        copy[key] = std::move(value);
        return toBytes(copy.dump());
    };
    for (auto bad : {"+/8", "+_8B", "+/8B=", " +/8B", "+/-B"})
        EXPECT_THROW(PeerRecord::decode(with("fingerprint", bad)), DecodingError) << bad;
    EXPECT_THROW(PeerRecord::decode(with("name", 5)), DecodingError);
    EXPECT_THROW(PeerRecord::decode(with("pairedAt", "86400.5")), DecodingError);
    EXPECT_THROW(PeerRecord::decode(with("permissions", true)), DecodingError);
    EXPECT_THROW(PeerRecord::decode(toBytes("[]")), DecodingError);
    EXPECT_THROW(PeerRecord::decode(toBytes(R"({"pairedAt":1e400})")), DecodingError);

    // Unknown members are ignored, whitespace and escapes are free, and "os" may be empty.
    json::Json extra = object;
    extra["comment"] = {1, 2};
    EXPECT_EQ(PeerRecord::decode(toBytes(extra.dump(2))), sample());
    EXPECT_EQ(PeerRecord::decode(with("name", "Ana's iPad / home")).name, "Ana's iPad / home");
    EXPECT_EQ(PeerRecord::decode(with("os", "")).os, "");
}

TEST(PeerRecord, PairedAtIsSecondsSince2001) {
    json::Json object = json::parse(sample().encode());
    auto pairedAt = [&](const char* number) {
        json::Json copy = object;
        copy["pairedAt"] = json::parse(number);
        return PeerRecord::decode(toBytes(copy.dump())).pairedAt;
    };
    using namespace std::chrono;
    const sys_days reference = year{2001} / January / 1;
    EXPECT_EQ(fromSecondsSince2001(pairedAt("0")), reference);
    EXPECT_EQ(fromSecondsSince2001(pairedAt("86400.5")), reference + days{1} + milliseconds{500});
    EXPECT_LT(fromSecondsSince2001(pairedAt("-1.25")), reference);
    EXPECT_EQ(pairedAt("86400"), 86400.0);
    EXPECT_EQ(pairedAt("18446744073709551615"), 18446744073709551615.0);

    PeerRecord record = sample();
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        record.pairedAt = bad;
        EXPECT_THROW(record.encode(), EncodingError);
    }
}

TEST(PeerRecord, RoundTripsExactlyAndComparesTextCanonically) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> seconds(-1e9, 2e9);
    for (int i = 0; i < 300; ++i) {
        PeerRecord record = sample();
        record.fingerprint.resize(random() % 40);
        for (auto& b : record.fingerprint) b = static_cast<std::uint8_t>(random());
        record.pairedAt = i % 3 == 0 ? seconds(random) : std::ldexp(seconds(random), -static_cast<int>(random() % 60));
        record.permissions.files = random() % 2;
        record.permissions.attendedOnly = random() % 2;
        ASSERT_EQ(PeerRecord::decode(toBytes(record.encode())), record) << record.encode();
    }

    PeerRecord precomposed = sample();
    precomposed.name = "Jos\xC3\xA9";
    PeerRecord decomposed = precomposed;
    decomposed.name = "Jose\xCC\x81";
    EXPECT_EQ(precomposed, decomposed);
    decomposed.name = "Jose";
    EXPECT_NE(precomposed, decomposed);

    PeerRecord changed = sample();
    changed.permissions.control = false;
    EXPECT_NE(changed, sample());
    changed.permissions = PeerPermissions{true, true, true, false, false};
    EXPECT_EQ(changed, sample());
    changed.pairedAt = std::nextafter(changed.pairedAt, 0.0);
    EXPECT_NE(changed, sample());
}

TEST(PeerRecord, HexStringIsLowerCase) {
    EXPECT_EQ(hexString(Bytes{0x00, 0xAB, 0x0F}), "00ab0f");
    EXPECT_EQ(hexString(Bytes{}), "");
    EXPECT_EQ(hexString(Bytes(32, 0xEF)).size(), 64u);
}
