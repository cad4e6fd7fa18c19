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

Envelope sampleEnvelope() {
    Envelope envelope;
    envelope.v = 0;
    envelope.to = {0xFB, 0xFF};
    envelope.from = {0x00};
    envelope.ts = 1700000000123;
    envelope.id = {0x01, 0x02, 0x03};
    envelope.enc = {};
    envelope.ct = {0xFF};
    envelope.sig = {0xAB, 0xCD};
    return envelope;
}

void expectDecodingError(std::string_view text, DecodingError::Kind kind, std::string_view key) {
    try {
        Envelope::decode(text);
        ADD_FAILURE() << "decoded: " << text;
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind, kind) << text << ": " << error.description();
        EXPECT_EQ(error.key, key) << text;
    }
}

TEST(EnvelopeTest, SigningInputOfTheWorkedExample) {
    const Envelope envelope = sampleEnvelope();
    const Bytes expected = toBytes("0|-_8|AA|1700000000123|AQID||_w");
    EXPECT_EQ(expected.size(), 31u);
    EXPECT_EQ(envelope.signedBytes(), expected);

    // The signature is not part of it.
    Envelope unsigned_ = envelope;
    unsigned_.sig.clear();
    EXPECT_EQ(unsigned_.signedBytes(), expected);

    Envelope negative = envelope;
    negative.v = -3;
    negative.ts = -1;
    EXPECT_EQ(toString(negative.signedBytes()), "-3|-_8|AA|-1|AQID||_w");
}

TEST(EnvelopeTest, TimestampRoundsHalvesAwayFromZero) {
    EXPECT_EQ(Envelope::timestamp(atNanos(1700000000'000500000)), 1700000000001);
    EXPECT_EQ(Envelope::timestamp(atNanos(1700000000'000400000)), 1700000000000);
    EXPECT_EQ(Envelope::timestamp(atNanos(-500000)), -1);
    EXPECT_EQ(Envelope::timestamp(atNanos(-400000)), 0);
    EXPECT_EQ(Envelope::timestamp(atMillis(1700000000123)), 1700000000123);

    // The sealer takes its time stamp by the same rule.
    const auto sender = makeIdentity(1);
    const auto recipient = makeIdentity(3);
    const Envelope before1970 = EnvelopeSealer::seal(Wake(), sender, recordOf(recipient), atNanos(-500000));
    EXPECT_EQ(before1970.ts, -1);
    const Envelope rounded =
        EnvelopeSealer::seal(Wake(), sender, recordOf(recipient), atNanos(1700000000'000500000));
    EXPECT_EQ(rounded.ts, 1700000000001);
}

TEST(EnvelopeTest, JsonRoundTripWritesUnpaddedBase64URL) {
    const Envelope envelope = sampleEnvelope();
    const std::string text = envelope.encode();
    EXPECT_EQ(text, R"({"v":0,"to":"-_8","from":"AA","ts":1700000000123,"id":"AQID","enc":"","ct":"_w","sig":"q80"})");
    EXPECT_EQ(Envelope::decode(text), envelope);
    EXPECT_EQ(Envelope::decode(toBytes(text)), envelope);
}

TEST(EnvelopeTest, DecodingAcceptsPaddingStandardAlphabetKeyOrderAndUnknownKeys) {
    const Envelope decoded = Envelope::decode(
        R"({"sig":"q80=","ct":"/w==","enc":"","id":"AQID","ts":1700000000123,"from":"AA==","to":"+/8=","v":0,"x":[1]})");
    EXPECT_EQ(decoded, sampleEnvelope());
    // The signing input is rebuilt from the values, not the received padded text.
    EXPECT_EQ(toString(decoded.signedBytes()), "0|-_8|AA|1700000000123|AQID||_w");
}

TEST(EnvelopeTest, DecodingReportsTheFirstFailingMemberInOrder) {
    const std::string full = sampleEnvelope().encode();
    for (const char* key : {"v", "to", "from", "ts", "id", "enc", "ct", "sig"}) {
        SCOPED_TRACE(key);
        auto object = json::parse(full);
        object.erase(key);
        expectDecodingError(object.dump(), DecodingError::Kind::keyNotFound, key);
        object[key] = nullptr;
        expectDecodingError(object.dump(), DecodingError::Kind::valueNotFound, key);
        object[key] = json::Json::array();
        expectDecodingError(object.dump(), DecodingError::Kind::typeMismatch, key);
    }
    // Both "to" and "sig" are missing: "to" is read first.
    auto object = json::parse(full);
    object.erase("sig");
    object.erase("to");
    expectDecodingError(object.dump(), DecodingError::Kind::keyNotFound, "to");

    expectDecodingError("[]", DecodingError::Kind::typeMismatch, "");
    expectDecodingError("{\"v\":0", DecodingError::Kind::dataCorrupted, "");
}

TEST(EnvelopeTest, DecodingRefusesNumbersThatAreNotInt64AndBadBase64) {
    auto withMember = [](const char* key, json::Json value) {
        auto object = json::parse(sampleEnvelope().encode());
        object[key] = std::move(value);
        return object.dump();
    };
    // Never truncated to 1 or wrapped to -1.
    expectDecodingError(withMember("v", 1.5), DecodingError::Kind::dataCorrupted, "v");
    expectDecodingError(withMember("v", 18446744073709551615ULL), DecodingError::Kind::dataCorrupted, "v");
    expectDecodingError(withMember("ts", 9223372036854775808ULL), DecodingError::Kind::dataCorrupted, "ts");
    expectDecodingError(withMember("ts", "1700000000123"), DecodingError::Kind::typeMismatch, "ts");
    EXPECT_EQ(Envelope::decode(withMember("ts", -9223372036854775807LL - 1)).ts, INT64_MIN);

    for (const char* bad : {"AAAAA", "AA AA", "AA\nAA", "A*", "AA=A"}) {
        SCOPED_TRACE(bad);
        try {
            Envelope::decode(withMember("id", bad));
            ADD_FAILURE();
        } catch (const DecodingError& error) {
            EXPECT_EQ(error, DecodingError(DecodingError::Kind::dataCorrupted, "id", "Invalid base64url value"));
        }
    }
    EXPECT_TRUE(Envelope::decode(withMember("ct", "")).ct.empty());
    const auto object = json::parse(withMember("enc", "AA=="));
    EXPECT_EQ(Envelope::decodeBase64URL(object, "enc"), Bytes{0x00});
}

TEST(EnvelopeSealerTest, SealsForTheRecipientAndSignsAsTheSender) {
    const auto sender = makeIdentity(1);
    const auto recipient = makeIdentity(3);
    const SignallingMessage message = Bye("session-1", "done");
    const Bytes id(16, 0x42);
    const Envelope envelope =
        EnvelopeSealer::seal(message, sender, recordOf(recipient), atMillis(1700000000123), id);

    EXPECT_EQ(envelope.v, 0);
    EXPECT_EQ(envelope.to, recipient.fingerprint());
    EXPECT_EQ(envelope.from, sender.fingerprint());
    EXPECT_EQ(envelope.ts, 1700000000123);
    EXPECT_EQ(envelope.id, id);
    EXPECT_EQ(envelope.enc.size(), 32u);
    EXPECT_EQ(envelope.ct.size(), message.encode().size() + 16);
    EXPECT_TRUE(DeviceIdentity::verify(envelope.sig, envelope.signedBytes(), sender.signingPublicKey()));

    // The bare RFC 9180 open with the recipient's raw agreement key reads the message's JSON.
    const Bytes plaintext =
        crypto::Hpke::open(recipient.agreementPrivateKey().raw(), envelope.enc, {}, {}, envelope.ct);
    EXPECT_EQ(toString(plaintext), message.encode());
    EXPECT_EQ(SignallingMessage::decode(plaintext), message);
}

TEST(EnvelopeSealerTest, EachSealingIsFresh) {
    const auto sender = makeIdentity(1);
    const auto recipient = recordOf(makeIdentity(3));
    const SystemTime at = atMillis(1700000000000);
    const Envelope a = EnvelopeSealer::seal(Wake(), sender, recipient, at);
    const Envelope b = EnvelopeSealer::seal(Wake(), sender, recipient, at);
    EXPECT_EQ(a.id.size(), 16u);
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.enc, b.enc);
    EXPECT_NE(a.ct, b.ct);
    EXPECT_NE(a.sig, b.sig);
    EXPECT_EQ(a.ts, b.ts);

    // Without a time the system clock's now is used.
    const auto before = Envelope::timestamp(std::chrono::system_clock::now());
    const Envelope now = EnvelopeSealer::seal(Wake(), sender, recipient);
    EXPECT_GE(now.ts, before);
    EXPECT_LE(now.ts, Envelope::timestamp(std::chrono::system_clock::now()));
}

TEST(EnvelopeSealerTest, BadRecipientKeysFailWithoutAnEnvelope) {
    const auto sender = makeIdentity(1);
    PeerRecord recipient = recordOf(makeIdentity(3));
    recipient.agreementPublicKey.resize(31);
    EXPECT_THROW(
        {
            try {
                EnvelopeSealer::seal(Wake(), sender, recipient);
            } catch (const DeviceIdentityError& error) {
                EXPECT_EQ(error, DeviceIdentityError::invalidKey());
                throw;
            }
        },
        DeviceIdentityError);
    // A small-order key is refused by the key agreement itself.
    recipient.agreementPublicKey = Bytes(32, 0);
    EXPECT_THROW(EnvelopeSealer::seal(Wake(), sender, recipient), CryptoError);
}

}  // namespace
}  // namespace quill
