#include "quillcore/pairing/pairing_error.h"

#include <gtest/gtest.h>

#include "quillcore/crypto/crypto.h"

namespace quill {
namespace {

TEST(PairingPrimitives, ConstructionsMatchIndependentlyComputedBytes) {
    // Reference values from Python's hashlib/hmac over the same label and argument bytes.
    const Bytes fpC(32, 1), fpH(32, 2), nC(32, 3), nH(32, 4);
    EXPECT_EQ(hexString(commitDigest(fpC, fpH, nH)),
              "0010e822c9a49a4ca2380d864a4c80be1cc243cad082d3a384f544db8ce4abb4");
    EXPECT_EQ(comparisonCodeValue(fpC, fpH, nC, nH), 624236u);  // digest prefix c9 9e bf ec

    Bytes secret(16);
    for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(hexString(crypto::hmacSha256(secret, pairRequestTranscript(fpC, fpH, nC))),
              "25ef9bb6008d8e8e2b37ec1bc40418df8102e4ed524b7ff0437e3d6caddf54a1");

    // What the PairAccept and PairConfirm signatures cover: the label, then the arguments whole.
    Bytes accept = toBytes("qm-pair-ok-v0");
    for (const Bytes* part : {&fpC, &fpH, &nC, &nH}) append(accept, *part);
    EXPECT_EQ(pairAcceptTranscript(fpC, fpH, nC, nH), accept);
}

TEST(PairingCode, ReducesAndGroups) {
    EXPECT_EQ(codeValueFromDigest(Bytes{0x12, 0x34, 0x56, 0x78, 0xFF}), 419896u);  // 0x12345678 % 10^6
    EXPECT_EQ(PairingCode(codeValueFromDigest(Bytes{0x00, 0x0F, 0x42, 0x40})).groupedText(), "000 000");
    EXPECT_EQ(PairingCode(4294967295u).value, 967295u);
    EXPECT_EQ(PairingCode(42).groupedText(), "000 042");
    EXPECT_EQ(PairingCode(419896).groupedText(), "419 896");
    // The host shows the description after "Pairing failed: ", so a payload must be visible.
    EXPECT_EQ(PairingError::storeFailure("disk full").description(), "could not save the paired device: disk full");
    EXPECT_EQ(PairingError::remoteCancelled("busy").description(), "the other device cancelled: busy");
    // A request nobody decided ends as a cancel, and says why in the limit's own unit.
    EXPECT_EQ(PairingError(PairingError::Kind::cancelled).description(), "pairing was cancelled");
    for (auto [limit, text] : std::initializer_list<std::pair<double, const char*>>{
             {120, "no decision within 2 minutes"}, {60, "no decision within 1 minute"}, {90, "no decision within 90 seconds"},
             {1, "no decision within 1 second"}, {0.5, "no decision within 0.5 seconds"}}) {
        EXPECT_EQ(PairingError::decisionLapsed(limit).description(), text);
        EXPECT_EQ(PairingError::decisionLapsed(limit).kind, PairingError::Kind::cancelled);
    }
}

}  // namespace
}  // namespace quill
