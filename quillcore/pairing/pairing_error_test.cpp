#include "quillcore/pairing/pairing_error.h"

#include <gtest/gtest.h>

#include "quillcore/crypto/crypto.h"

namespace quill {
namespace {

Bytes filled(std::uint8_t value, std::size_t size = 32) { return Bytes(size, value); }

TEST(PairingPrimitives, ConstructionsMatchIndependentlyComputedBytes) {
    // Reference values from Python's hashlib/hmac over the same label and argument bytes.
    const Bytes fpC = filled(1), fpH = filled(2), nC = filled(3), nH = filled(4);
    EXPECT_EQ(hexString(commitDigest(fpC, fpH, nH)),
              "0010e822c9a49a4ca2380d864a4c80be1cc243cad082d3a384f544db8ce4abb4");
    EXPECT_EQ(comparisonCodeValue(fpC, fpH, nC, nH), 624236u);  // digest prefix c9 9e bf ec

    Bytes secret(16);
    for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(hexString(crypto::hmacSha256(secret, pairRequestTranscript(fpC, fpH, nC))),
              "25ef9bb6008d8e8e2b37ec1bc40418df8102e4ed524b7ff0437e3d6caddf54a1");

    Bytes accept = pairAcceptTranscript(fpC, fpH, nC, nH);
    ASSERT_EQ(accept.size(), 141u);
    EXPECT_EQ(toString(ByteView(accept).first(13)), "qm-pair-ok-v0");
    EXPECT_EQ(Bytes(accept.begin() + 13, accept.begin() + 45), fpC);
    EXPECT_EQ(Bytes(accept.end() - 32, accept.end()), nH);
    EXPECT_EQ(pairRequestTranscript(fpC, fpH, nC).size(), 106u);
}

TEST(PairingPrimitives, EmptyArgumentsLeaveTheBareLabel) {
    EXPECT_EQ(hexString(commitDigest({}, {}, {})),
              "7242d5783ab59c8ef7fc897942d07b48e9515047bb3a07304304cccb5e5d8a05");
    EXPECT_EQ(toString(pairAcceptTranscript({}, {}, {}, {})), "qm-pair-ok-v0");
    EXPECT_EQ(toString(pairRequestTranscript({}, {}, {})), "qm-pair-v0");
}

TEST(PairingPrimitives, OrderMattersButBoundariesDoNot) {
    const Bytes a = filled(0xA1), b = filled(0xB2), c = filled(0xC3), d = filled(0xD4);
    EXPECT_NE(commitDigest(a, b, c), commitDigest(b, a, c));
    EXPECT_NE(comparisonCodeValue(a, b, c, d), comparisonCodeValue(a, b, d, c));
    EXPECT_NE(pairAcceptTranscript(a, b, c, d), pairAcceptTranscript(b, a, c, d));

    // The same bytes split differently give the same result: nothing marks the boundaries.
    Bytes ab = a;
    append(ab, b);
    EXPECT_EQ(commitDigest(a, b, c), commitDigest(ab, {}, c));
    EXPECT_EQ(pairRequestTranscript(a, b, c), pairRequestTranscript({}, ab, c));
}

TEST(PairingCode, ReducesAndGroups) {
    EXPECT_EQ(codeValueFromDigest(Bytes{0x12, 0x34, 0x56, 0x78, 0xFF}), 419896u);
    EXPECT_EQ(codeValueFromDigest(Bytes{0x00, 0x0F, 0x42, 0x40}), 0u);
    EXPECT_EQ(PairingCode(codeValueFromDigest(Bytes{0x00, 0x0F, 0x42, 0x40})).groupedText(), "000 000");
    EXPECT_EQ(PairingCode(1000000).value, 0u);
    EXPECT_EQ(PairingCode(4294967295u).value, 967295u);
    EXPECT_EQ(PairingCode(42).groupedText(), "000 042");
    EXPECT_EQ(PairingCode(419896).groupedText(), "419 896");
    EXPECT_EQ(PairingCode(999999).groupedText().size(), 7u);
    EXPECT_EQ(PairingCode(1000042), PairingCode(42));
}

TEST(PairingError, EqualityCoversCaseAndPayload) {
    using K = PairingError::Kind;
    EXPECT_EQ(PairingError::remoteCancelled("x"), PairingError::remoteCancelled("x"));
    EXPECT_NE(PairingError::remoteCancelled("x"), PairingError::remoteCancelled("y"));
    EXPECT_NE(PairingError::remoteCancelled("x"), PairingError::invalidMessage("x"));
    EXPECT_NE(PairingError::unexpectedMessage("PairStart", "other"),
              PairingError::unexpectedMessage("PairNonce", "other"));
    EXPECT_EQ(PairingError(K::cancelled), PairingError(K::cancelled));
    EXPECT_NE(PairingError(K::cancelled), PairingError(K::connectionClosed));
    // The host shows the description after "Pairing failed: ", so payloads must be visible.
    EXPECT_NE(PairingError::storeFailure("disk full").description().find("disk full"), std::string::npos);
}

}  // namespace
}  // namespace quill
