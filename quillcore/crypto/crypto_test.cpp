#include "quillcore/crypto/crypto.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "quillcore/crypto/crypto_test_support.h"

namespace quill::crypto {
namespace {

using testing::hex;

// RFC 8032 section 7.1, TEST 1 to TEST 3.
struct Ed25519Vector {
    const char* seed;
    const char* publicKey;
    const char* message;
    const char* signature;
};
const Ed25519Vector kRfc8032[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
     "d25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c"
     "387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc659"
     "4a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Ed25519Test, MatchesRfc8032Vectors) {
    for (const auto& v : kRfc8032) {
        SCOPED_TRACE(v.seed);
        auto key = Ed25519::PrivateKey::fromRaw(hex(v.seed));
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(key->raw(), hex(v.seed));
        EXPECT_EQ(key->publicKey(), hex(v.publicKey));
        const Bytes message = hex(v.message);
        EXPECT_EQ(key->sign(message), hex(v.signature));
        EXPECT_TRUE(Ed25519::verify(hex(v.signature), message, hex(v.publicKey)));
    }
}

TEST(Ed25519Test, RefusesAlteredInputsAndWrongSizes) {
    const auto key = Ed25519::PrivateKey::generate();
    EXPECT_EQ(Ed25519::PrivateKey::fromRaw(key.raw())->publicKey(), key.publicKey());
    EXPECT_NE(key.raw(), Ed25519::PrivateKey::generate().raw());
    const Bytes message = toBytes("hello");
    const Bytes signature = key.sign(message);
    ASSERT_TRUE(Ed25519::verify(signature, message, key.publicKey()));

    Bytes badSignature = signature;
    badSignature[10] ^= 0x01;
    EXPECT_FALSE(Ed25519::verify(badSignature, message, key.publicKey()));
    EXPECT_FALSE(Ed25519::verify(signature, toBytes("hellp"), key.publicKey()));
    EXPECT_FALSE(Ed25519::verify(Bytes(signature.begin(), signature.end() - 1), message, key.publicKey()));
    EXPECT_FALSE(Ed25519::verify(signature, message, Bytes(31, 1)));
    EXPECT_FALSE(Ed25519::verify(signature, message, Bytes(32, 0)));
    EXPECT_FALSE(Ed25519::verify({}, message, {}));
    EXPECT_FALSE(Ed25519::PrivateKey::fromRaw(Bytes(31, 1)).has_value());
    EXPECT_FALSE(Ed25519::PrivateKey::fromRaw(Bytes(64, 1)).has_value());
}

// RFC 7748 section 6.1.
constexpr const char* kAlicePrivate = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
constexpr const char* kAlicePublic = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
constexpr const char* kBobPrivate = "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb";
constexpr const char* kBobPublic = "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f";
constexpr const char* kShared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";

TEST(X25519Test, MatchesRfc7748VectorAndRefusesSmallOrderOrMisSizedPeerKeys) {
    auto alice = X25519::PrivateKey::fromRaw(hex(kAlicePrivate));
    auto bob = X25519::PrivateKey::fromRaw(hex(kBobPrivate));
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(alice->raw(), hex(kAlicePrivate));
    EXPECT_EQ(alice->publicKey(), hex(kAlicePublic));
    EXPECT_EQ(bob->publicKey(), hex(kBobPublic));
    EXPECT_EQ(alice->sharedSecret(hex(kBobPublic)), hex(kShared));
    EXPECT_EQ(bob->sharedSecret(hex(kAlicePublic)), hex(kShared));

    Bytes one(32, 0);
    one[0] = 1;  // the point of order 1
    for (const Bytes& bad : {Bytes(32, 0), one, Bytes(31, 9), Bytes(33, 9)})
        EXPECT_THROW(alice->sharedSecret(bad), CryptoError) << hexString(bad);
    EXPECT_FALSE(X25519::PrivateKey::fromRaw(Bytes(16, 1)).has_value());
}

TEST(Sha256Test, IncrementalMatchesKnownDigestsAndStartsOverAfterFinish) {
    Sha256 hasher;
    hasher.update(toBytes("a"));
    hasher.update({});
    hasher.update(toBytes("bc"));
    // FIPS 180-2 example "abc", then the empty message.
    EXPECT_EQ(hasher.finish(), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(hasher.finish(), hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    EXPECT_EQ(Sha256::hash(toBytes("abc")), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

TEST(HmacHkdfTest, MatchesRfc4231AndRfc5869) {
    // RFC 4231 test case 2 and test case 6 (a key longer than the block).
    EXPECT_EQ(hmacSha256(toBytes("Jefe"), toBytes("what do ya want for nothing?")),
              hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
    EXPECT_EQ(hmacSha256(Bytes(131, 0xaa), toBytes("Test Using Larger Than Block-Size Key - Hash Key First")),
              hex("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));

    // RFC 5869 A.1 and A.3 (empty salt and info).
    const Bytes ikm(22, 0x0b);
    const Bytes prk = hkdfExtract(hex("000102030405060708090a0b0c"), ikm);
    EXPECT_EQ(prk, hex("077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5"));
    const Bytes okm = hex(
        "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    EXPECT_EQ(hkdfExpand(prk, hex("f0f1f2f3f4f5f6f7f8f9"), 42), okm);
    EXPECT_EQ(hkdf(ikm, hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"), 42), okm);
    EXPECT_EQ(hkdf(ikm, {}, {}, 42),
              hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"));
    EXPECT_TRUE(hkdfExpand(prk, {}, 0).empty());
    EXPECT_EQ(hkdfExpand(prk, {}, 255 * 32).size(), 255u * 32);
    EXPECT_THROW(hkdfExpand(prk, {}, 255 * 32 + 1), CryptoError);
}

TEST(RandomTest, GivesRequestedLengthsAndVaries) {
    EXPECT_TRUE(randomBytes(0).empty());
    EXPECT_EQ(randomBytes(33).size(), 33u);
    std::set<Bytes> seen;
    for (int i = 0; i < 64; ++i) seen.insert(randomBytes16());
    EXPECT_EQ(seen.size(), 64u);
    EXPECT_EQ(seen.begin()->size(), 16u);
}

}  // namespace
}  // namespace quill::crypto
