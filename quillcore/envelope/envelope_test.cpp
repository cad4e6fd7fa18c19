#include "quillcore/envelope/envelope.h"

#include <gtest/gtest.h>

#include "quillcore/crypto/crypto.h"
#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/envelope/envelope_test_support.h"

namespace quill {
namespace {

using testing::atMillis;
using testing::atNanos;
using testing::makeIdentity;
using testing::recordOf;

const Envelope kSample{0, {0xFB, 0xFF}, {0x00}, 1700000000123, {0x01, 0x02, 0x03}, {}, {0xFF}, {0xAB, 0xCD}};

void expectDecodingError(std::string_view text, DecodingError::Kind kind, std::string_view key) {
    try {
        Envelope::decode(text);
        ADD_FAILURE() << "decoded: " << text;
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind, kind) << text << ": " << error.description();
        EXPECT_EQ(error.key, key) << text;
    }
}

std::string withMember(const char* key, json::Json value) {
    auto object = json::parse(kSample.encode());
    object[key] = std::move(value);
    return object.dump();
}

TEST(EnvelopeTest, SigningInputAndTimestampRounding) {
    const Bytes expected = toBytes("0|-_8|AA|1700000000123|AQID||_w");
    EXPECT_EQ(expected.size(), 31u);
    EXPECT_EQ(kSample.signedBytes(), expected);
    Envelope negative = kSample;
    negative.v = -3;
    negative.ts = -1;
    negative.sig.clear();  // the signature is not part of it
    EXPECT_EQ(toString(negative.signedBytes()), "-3|-_8|AA|-1|AQID||_w");

    // Halves round away from zero, before 1970 too, and the sealer stamps by the same rule.
    const std::pair<std::int64_t, std::int64_t> roundings[] = {
        {1700000000'000500000, 1700000000001}, {1700000000'000400000, 1700000000000}, {-500000, -1}, {-400000, 0}};
    for (const auto& [nanos, millis] : roundings) {
        EXPECT_EQ(Envelope::timestamp(atNanos(nanos)), millis) << nanos;
        EXPECT_EQ(EnvelopeSealer::seal(Wake(), makeIdentity(1), recordOf(makeIdentity(3)), atNanos(nanos)).ts, millis);
    }
}

TEST(EnvelopeTest, JsonFormRoundTripsAndAcceptsPaddingOrderAndUnknownKeys) {
    const std::string text = kSample.encode();
    EXPECT_EQ(text, R"({"v":0,"to":"-_8","from":"AA","ts":1700000000123,"id":"AQID","enc":"","ct":"_w","sig":"q80"})");
    EXPECT_EQ(Envelope::decode(text), kSample);
    EXPECT_EQ(Envelope::decode(toBytes(text)), kSample);
    const Envelope decoded = Envelope::decode(
        R"({"sig":"q80=","ct":"/w==","enc":"","id":"AQID","ts":1700000000123,"from":"AA==","to":"+/8=","v":0,"x":[1]})");
    EXPECT_EQ(decoded, kSample);
    // The signing input is rebuilt from the values, not the received padded text.
    EXPECT_EQ(toString(decoded.signedBytes()), "0|-_8|AA|1700000000123|AQID||_w");
}

TEST(EnvelopeTest, DecodingRefusesMissingNullWrongAndOutOfRangeMembers) {
    for (const char* key : {"v", "to", "from", "ts", "id", "enc", "ct", "sig"}) {
        SCOPED_TRACE(key);
        auto object = json::parse(kSample.encode());
        object.erase(key);
        expectDecodingError(object.dump(), DecodingError::Kind::keyNotFound, key);
        expectDecodingError(withMember(key, nullptr), DecodingError::Kind::valueNotFound, key);
        expectDecodingError(withMember(key, json::Json::array()), DecodingError::Kind::typeMismatch, key);
    }
    // The first failing member in reading order is reported.
    auto object = json::parse(kSample.encode());
    object.erase("sig");
    object.erase("to");
    expectDecodingError(object.dump(), DecodingError::Kind::keyNotFound, "to");
    expectDecodingError("[]", DecodingError::Kind::typeMismatch, "");
    expectDecodingError("{\"v\":0", DecodingError::Kind::dataCorrupted, "");

    // Numbers are never truncated or wrapped; base64url is strict.
    expectDecodingError(withMember("v", 1.5), DecodingError::Kind::dataCorrupted, "v");
    expectDecodingError(withMember("ts", 9223372036854775808ULL), DecodingError::Kind::dataCorrupted, "ts");
    EXPECT_EQ(Envelope::decode(withMember("ts", -9223372036854775807LL - 1)).ts, INT64_MIN);
    for (const char* bad : {"AAAAA", "AA AA", "AA=A"}) {
        try {
            Envelope::decode(withMember("id", bad));
            ADD_FAILURE() << bad;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error, DecodingError(DecodingError::Kind::dataCorrupted, "id", "Invalid base64url value"));
        }
    }
    EXPECT_TRUE(Envelope::decode(withMember("ct", "")).ct.empty());
}

TEST(EnvelopeSealerTest, SealsFreshlyForTheRecipientAndSignsAsTheSender) {
    const auto sender = makeIdentity(1);
    const auto recipient = makeIdentity(3);
    const SignallingMessage message = Bye("session-1", "done");
    const Envelope envelope =
        EnvelopeSealer::seal(message, sender, recordOf(recipient), atMillis(1700000000123), Bytes(16, 0x42));
    EXPECT_EQ(envelope.v, 0);
    EXPECT_EQ(envelope.to, recipient.fingerprint());
    EXPECT_EQ(envelope.from, sender.fingerprint());
    EXPECT_EQ(envelope.ts, 1700000000123);
    EXPECT_EQ(envelope.id, Bytes(16, 0x42));
    EXPECT_TRUE(DeviceIdentity::verify(envelope.sig, envelope.signedBytes(), sender.signingPublicKey()));
    // The bare RFC 9180 open with the recipient's raw agreement key reads the message's JSON.
    const Bytes plaintext =
        crypto::Hpke::open(recipient.agreementPrivateKey().raw(), envelope.enc, {}, {}, envelope.ct);
    EXPECT_EQ(toString(plaintext), message.encode());

    // Each sealing has its own identifier and ephemeral key; without a time, now is used.
    const auto before = Envelope::timestamp(std::chrono::system_clock::now());
    const Envelope a = EnvelopeSealer::seal(Wake(), sender, recordOf(recipient));
    const Envelope b = EnvelopeSealer::seal(Wake(), sender, recordOf(recipient));
    EXPECT_EQ(a.id.size(), 16u);
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.enc, b.enc);
    EXPECT_GE(a.ts, before);
    EXPECT_LE(b.ts, Envelope::timestamp(std::chrono::system_clock::now()));
}

TEST(EnvelopeSealerTest, BadRecipientKeysFailWithoutAnEnvelope) {
    PeerRecord recipient = recordOf(makeIdentity(3));
    recipient.agreementPublicKey.resize(31);
    try {
        EnvelopeSealer::seal(Wake(), makeIdentity(1), recipient);
        ADD_FAILURE();
    } catch (const DeviceIdentityError& error) {
        EXPECT_EQ(error, DeviceIdentityError::invalidKey());
    }
    recipient.agreementPublicKey = Bytes(32, 0);  // small order: refused by the key agreement itself
    EXPECT_THROW(EnvelopeSealer::seal(Wake(), makeIdentity(1), recipient), CryptoError);
}

}  // namespace
}  // namespace quill
