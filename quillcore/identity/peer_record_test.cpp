#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "quillcore/identity/peer_record.h"

using namespace quill;

namespace {

PeerRecord sample() {
    return PeerRecord{Bytes{0xFB, 0xFF, 0x01}, Bytes{1, 2, 3}, Bytes{4}, "Ana's iPad / home", "", 86400.5,
                      PeerPermissions::defaults()};
}

// The object with one member removed, for each member.
std::vector<json::Json> withoutEachKey(const json::Json& object) {
    std::vector<json::Json> out;
    for (auto& [key, value] : object.items()) {
        out.push_back(object);
        out.back().erase(key);
    }
    return out;
}

}  // namespace

TEST(PeerRecord, StoredFormEscapesSolidusAndReadsBack) {
    PeerRecord record = sample();
    const std::string stored = record.encode();
    EXPECT_EQ(stored,
              R"({"fingerprint":"+\/8B","signingPublicKey":"AQID","agreementPublicKey":"BA==",)"
              R"("name":"Ana's iPad \/ home","os":"","pairedAt":86400.5,)"
              R"("permissions":{"view":true,"control":true,"clipboard":true,"files":false,"attendedOnly":false}})");
    EXPECT_EQ(PeerRecord::decode(toBytes(stored)), record);
    EXPECT_EQ(PeerPermissions::fromJson(json::parse(
                  R"({"view":false,"control":true,"clipboard":false,"files":true,"attendedOnly":true,"x":0})")),
              (PeerPermissions{false, true, false, true, true}));

    // Unknown members are ignored and whitespace and escapes are free.
    json::Json extra = json::parse(stored);
    extra["comment"] = {1, 2};
    EXPECT_EQ(PeerRecord::decode(toBytes(extra.dump(2))), record);
}

TEST(PeerRecord, EveryMemberIsRequiredAndStrict) {
    const json::Json object = json::parse(sample().encode());
    for (const auto& damaged : withoutEachKey(object))
        EXPECT_THROW(PeerRecord::decode(toBytes(damaged.dump())), DecodingError) << damaged.dump();
    for (const auto& permissions : withoutEachKey(object["permissions"])) {
        json::Json damaged = object;
        damaged["permissions"] = permissions;
        EXPECT_THROW(PeerRecord::decode(toBytes(damaged.dump())), DecodingError) << permissions.dump();
    }
    const std::pair<const char*, json::Json> bad[] = {
        {"fingerprint", "+/8"}, {"fingerprint", "+_8B"}, {"fingerprint", "+/8B="}, {"fingerprint", " +/8B"},
        {"name", 5},            {"pairedAt", "86400.5"}, {"permissions", true},    {"os", nullptr}};
    for (const auto& [key, value] : bad) {
        json::Json damaged = object;
        damaged[key] = value;
        EXPECT_THROW(PeerRecord::decode(toBytes(damaged.dump())), DecodingError) << damaged.dump();
    }
    for (const char* value : {"1", "\"true\"", "null"}) {
        json::Json damaged = object;
        damaged["permissions"]["view"] = json::parse(value);
        EXPECT_THROW(PeerRecord::decode(toBytes(damaged.dump())), DecodingError) << value;
    }
    EXPECT_THROW(PeerRecord::decode(toBytes("[]")), DecodingError);
    EXPECT_THROW(PeerRecord::decode(toBytes(R"({"pairedAt":1e400})")), DecodingError);
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
    PeerRecord big = sample();
    big.pairedAt = 18446744073709551615.0;
    EXPECT_EQ(PeerRecord::decode(toBytes(big.encode())), big);
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        big.pairedAt = bad;
        EXPECT_THROW(big.encode(), EncodingError);
    }

    PeerRecord precomposed = sample();
    precomposed.name = "Jos\xC3\xA9";
    PeerRecord decomposed = precomposed;
    decomposed.name = "Jose\xCC\x81";
    EXPECT_EQ(precomposed, decomposed);
    decomposed.name = "Jose";
    EXPECT_NE(precomposed, decomposed);
    PeerRecord changed = sample();
    changed.pairedAt = std::nextafter(changed.pairedAt, 0.0);
    EXPECT_NE(changed, sample());
}
