#include "quillcore/crypto/hpke.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include "quillcore/crypto/crypto.h"
#include "quillcore/crypto/crypto_test_support.h"

namespace quill::crypto {
namespace {

using testing::hex;

// RFC 9180 appendix A.2.1: DHKEM(X25519, HKDF-SHA256), HKDF-SHA256, ChaCha20Poly1305, base mode.
const Bytes kInfo = hex("4f6465206f6e2061204772656369616e2055726e");
const Bytes kSkEm = hex("f4ec9b33b792c372c1d2c2063507b684ef925b8c75a42dbcbf57d63ccd381600");
const Bytes kPkEm = hex("1afa08d3dec047a643885163f1180476fa7ddb54c6a8029ea33f95796bf2ac4a");
const Bytes kSkRm = hex("8057991eef8f1f1af18f4a9491d16a1ce333f695d4db8e38da75975c4478e0fb");
const Bytes kPkRm = hex("4310ee97d88cc1f088a5576c77ab0cf5c3ac797f3d95139c6c84b5429c59662a");
const Bytes kSharedSecret = hex("0bbe78490412b4bbea4812666f7916932b828bba79942424abb65244930d69a7");
const Bytes kKey = hex("ad2744de8e17f4ebba575b3f5f5a8fa1f69c2a07f6e7500bc60ca6e3e3ec1c91");
const Bytes kBaseNonce = hex("5c4d98150661b848853b547f");
const Bytes kExporterSecret = hex("a3b010d4994890e2c6968a36f64470d3c824c8f5029942feb11e7a74b2921922");
const Bytes kPlaintext = hex("4265617574792069732074727574682c20747275746820626561757479");
const Bytes kAad0 = hex("436f756e742d30");
const Bytes kCiphertext0 =
    hex("1c5250d8034ec2b784ba2cfd69dbdb8af406cfe3ff938e131f0def8c8b60b4db21993c62ce81883d2dd1b51a28");

TEST(HpkeTest, KeyScheduleSealAndOpenMatchRfc9180OnBothSides) {
    for (const Hpke::KeySchedule& schedule :
         {Hpke::senderKeySchedule(kSkEm, kPkRm, kInfo), Hpke::recipientKeySchedule(kSkRm, kPkEm, kInfo)}) {
        EXPECT_EQ(hexString(schedule.sharedSecret), hexString(kSharedSecret));
        EXPECT_EQ(hexString(schedule.key), hexString(kKey));
        EXPECT_EQ(hexString(schedule.baseNonce), hexString(kBaseNonce));
        EXPECT_EQ(hexString(schedule.exporterSecret), hexString(kExporterSecret));
    }
    const Hpke::Sealed sealed = Hpke::sealWithEphemeralKey(kSkEm, kPkRm, kInfo, kAad0, kPlaintext);
    EXPECT_EQ(hexString(sealed.encapsulatedKey), hexString(kPkEm));
    EXPECT_EQ(hexString(sealed.ciphertext), hexString(kCiphertext0));
    EXPECT_EQ(Hpke::open(kSkRm, kPkEm, kInfo, kAad0, kCiphertext0), kPlaintext);
}

// The later messages of the same RFC context: sequence number n uses base_nonce XOR n (big-endian
// in the nonce's last bytes). Our contexts seal only message 0, so these check that the derived key
// and base nonce are the RFC's for every ciphertext it lists, not only the first.
TEST(HpkeTest, DerivedKeyAndNonceGiveEveryRfc9180Ciphertext) {
    struct Encryption {
        std::uint64_t sequence;
        const char* aad;
        const char* ciphertext;
    };
    const Encryption encryptions[] = {
        {0, "436f756e742d30",
         "1c5250d8034ec2b784ba2cfd69dbdb8af406cfe3ff938e131f0def8c8b60b4db21993c62ce81883d2dd1b51a28"},
        {1, "436f756e742d31",
         "6b53c051e4199c518de79594e1c4ab18b96f081549d45ce015be002090bb119e85285337cc95ba5f59992dc98c"},
        {2, "436f756e742d32",
         "71146bd6795ccc9c49ce25dda112a48f202ad220559502cef1f34271e0cb4b02b4f10ecac6f48c32f878fae86b"},
        {4, "436f756e742d34",
         "63357a2aa291f5a4e5f27db6baa2af8cf77427c7c1a909e0b37214dd47db122bb153495ff0b02e9e54a50dbe16"},
        {255, "436f756e742d323535",
         "18ab939d63ddec9f6ac2b60d61d36a7375d2070c9b683861110757062c52b8880a5f6b3936da9cd6c23ef2a95c"},
        {256, "436f756e742d323536",
         "7a4a13e9ef23978e2c520fd4d2e757514ae160cd0cd05e556ef692370ca53076214c0c40d4c728d6ed9e727a5b"},
    };
    const Hpke::KeySchedule schedule = Hpke::recipientKeySchedule(kSkRm, kPkEm, kInfo);
    for (const auto& e : encryptions) {
        SCOPED_TRACE(e.sequence);
        Bytes nonce = schedule.baseNonce;
        for (std::size_t i = 0; i < 8; ++i)
            nonce[nonce.size() - 1 - i] ^= static_cast<std::uint8_t>(e.sequence >> (8 * i));
        const Bytes aad = hex(e.aad);
        Bytes ciphertext(kPlaintext.size() + Hpke::kTagSize);
        unsigned long long written = 0;
        crypto_aead_chacha20poly1305_ietf_encrypt(ciphertext.data(), &written, kPlaintext.data(), kPlaintext.size(),
                                                  aad.data(), aad.size(), nullptr, nonce.data(), schedule.key.data());
        ciphertext.resize(written);
        EXPECT_EQ(hexString(ciphertext), e.ciphertext);
    }
}

TEST(HpkeTest, RoundTripsFreshlyAndRefusesTamperedMisdirectedOrMalformedInput) {
    const auto recipient = X25519::PrivateKey::generate();
    for (const Bytes& plaintext : {Bytes{}, Bytes(5000, 0x42)}) {
        const Hpke::Sealed sealed = Hpke::seal(recipient.publicKey(), {}, {}, plaintext);
        EXPECT_EQ(Hpke::open(recipient.raw(), sealed.encapsulatedKey, {}, {}, sealed.ciphertext), plaintext);
    }
    const Bytes info = toBytes("info");
    const Bytes aad = toBytes("aad");
    const Hpke::Sealed sealed = Hpke::seal(recipient.publicKey(), info, aad, toBytes("secret payload"));
    EXPECT_NE(Hpke::seal(recipient.publicKey(), info, aad, toBytes("secret payload")).encapsulatedKey,
              sealed.encapsulatedKey);
    ASSERT_NO_THROW(Hpke::open(recipient.raw(), sealed.encapsulatedKey, info, aad, sealed.ciphertext));

    struct Case {
        Bytes key, enc, info, aad, ct;
    };
    auto flipped = [](Bytes b, std::size_t i) {
        b[i] ^= 0x80;
        return b;
    };
    const auto& enc = sealed.encapsulatedKey;
    const auto& ct = sealed.ciphertext;
    const Case cases[] = {
        {recipient.raw(), enc, info, aad, flipped(ct, 0)},
        {recipient.raw(), enc, info, aad, flipped(ct, ct.size() - 1)},
        {recipient.raw(), flipped(enc, 3), info, aad, ct},
        {recipient.raw(), enc, toBytes("infp"), aad, ct},
        {recipient.raw(), enc, info, toBytes("aae"), ct},
        {X25519::PrivateKey::generate().raw(), enc, info, aad, ct},
        // Malformed inputs are refused, never read past.
        {recipient.raw(), Bytes(31, 1), info, aad, ct},
        {recipient.raw(), Bytes(32, 0), info, aad, ct},
        {recipient.raw(), enc, info, aad, Bytes(15, 0)},
        {Bytes(16, 1), enc, info, aad, ct},
    };
    for (const auto& c : cases) EXPECT_THROW(Hpke::open(c.key, c.enc, c.info, c.aad, c.ct), CryptoError);
    EXPECT_THROW(Hpke::seal(Bytes(32, 0), {}, {}, toBytes("x")), CryptoError);
    EXPECT_THROW(Hpke::seal(Bytes(31, 7), {}, {}, toBytes("x")), CryptoError);
}

}  // namespace
}  // namespace quill::crypto
