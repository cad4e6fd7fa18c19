#include "quillcore/crypto/crypto.h"

#include <gtest/gtest.h>

#include <set>

#include "quillcore/crypto/hpke.h"

namespace quill::crypto {
namespace {

// Known-answer vectors are written in hex; a typo in one is a test failure, not a silent empty key.
Bytes hex(std::string_view text) {
    auto bytes = fromHex(text);
    EXPECT_TRUE(bytes.has_value()) << text;
    return bytes.value_or(Bytes{});
}

TEST(Ed25519, MatchesRfc8032VectorsAndRefusesAlteredInputsAndWrongSizes) {
    // RFC 8032 section 7.1, TEST 1 to TEST 3: seed, public key, message, signature.
    const std::array<const char*, 4> vectors[] = {
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
    for (const auto& [seed, publicKey, message, signature] : vectors) {
        auto key = Ed25519::PrivateKey::fromRaw(hex(seed));
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(key->raw(), hex(seed));
        EXPECT_EQ(key->publicKey(), hex(publicKey));
        EXPECT_EQ(key->sign(hex(message)), hex(signature));
        EXPECT_TRUE(Ed25519::verify(hex(signature), hex(message), hex(publicKey)));
    }

    const auto key = Ed25519::PrivateKey::generate();
    EXPECT_EQ(Ed25519::PrivateKey::fromRaw(key.raw())->publicKey(), key.publicKey());
    const Bytes message = toBytes("hello");
    const Bytes signature = key.sign(message);
    Bytes altered = signature;
    altered[10] ^= 0x01;
    const Bytes cut(signature.begin(), signature.end() - 1);
    const Bytes publicKey = key.publicKey();
    const std::array<Bytes, 3> refused[] = {
        {altered, message, publicKey},      {signature, toBytes("hellp"), publicKey}, {cut, message, publicKey},
        {signature, message, Bytes(31, 1)}, {signature, message, Bytes(32, 0)},       {Bytes{}, message, Bytes{}}};
    for (const auto& [s, m, k] : refused) EXPECT_FALSE(Ed25519::verify(s, m, k));
    EXPECT_FALSE(Ed25519::PrivateKey::fromRaw(Bytes(31, 1)).has_value());
    EXPECT_FALSE(Ed25519::PrivateKey::fromRaw(Bytes(64, 1)).has_value());
}

TEST(X25519, MatchesRfc7748VectorAndRefusesSmallOrderOrMisSizedPeerKeys) {
    // RFC 7748 section 6.1.
    auto alice = X25519::PrivateKey::fromRaw(hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
    auto bob = X25519::PrivateKey::fromRaw(hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(alice->raw(), hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
    EXPECT_EQ(alice->publicKey(), hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
    EXPECT_EQ(bob->publicKey(), hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"));
    const Bytes shared = hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
    EXPECT_EQ(alice->sharedSecret(bob->publicKey()), shared);
    EXPECT_EQ(bob->sharedSecret(alice->publicKey()), shared);

    Bytes one(32, 0);
    one[0] = 1;  // the point of order 1
    for (const Bytes& bad : {Bytes(32, 0), one, Bytes(31, 9), Bytes(33, 9)})
        EXPECT_THROW(alice->sharedSecret(bad), CryptoError) << hexString(bad);
    EXPECT_FALSE(X25519::PrivateKey::fromRaw(Bytes(16, 1)).has_value());
}

TEST(HashesAndRandom, MatchFips180Rfc4231AndRfc5869) {
    Sha256 hasher;
    hasher.update(toBytes("a"));
    hasher.update({});
    hasher.update(toBytes("bc"));
    // "abc", then the empty message: finishing starts over.
    EXPECT_EQ(hasher.finish(), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(hasher.finish(), hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    EXPECT_EQ(Sha256::hash(toBytes("abc")), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

    // RFC 4231 test case 2 and test case 6 (a key longer than the block).
    EXPECT_EQ(hmacSha256(toBytes("Jefe"), toBytes("what do ya want for nothing?")),
              hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
    EXPECT_EQ(hmacSha256(Bytes(131, 0xaa), toBytes("Test Using Larger Than Block-Size Key - Hash Key First")),
              hex("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));
    // RFC 5869 A.1 and A.3 (empty salt and info).
    const Bytes ikm(22, 0x0b);
    const Bytes prk = hkdfExtract(hex("000102030405060708090a0b0c"), ikm);
    EXPECT_EQ(prk, hex("077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5"));
    const Bytes okm = hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    EXPECT_EQ(hkdfExpand(prk, hex("f0f1f2f3f4f5f6f7f8f9"), 42), okm);
    EXPECT_EQ(hkdf(ikm, hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"), 42), okm);
    EXPECT_EQ(hkdf(ikm, {}, {}, 42),
              hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"));
    EXPECT_TRUE(hkdfExpand(prk, {}, 0).empty());
    EXPECT_EQ(hkdfExpand(prk, {}, 255 * 32).size(), 255u * 32);
    EXPECT_THROW(hkdfExpand(prk, {}, 255 * 32 + 1), CryptoError);

    EXPECT_TRUE(randomBytes(0).empty());
    EXPECT_EQ(randomBytes(33).size(), 33u);
    std::set<Bytes> seen;
    for (int i = 0; i < 64; ++i) seen.insert(randomBytes16());
    EXPECT_EQ(seen.size(), 64u);
    EXPECT_EQ(seen.begin()->size(), 16u);
}

TEST(Hpke, KeyScheduleSealAndOpenMatchRfc9180OnBothSides) {
    // RFC 9180 appendix A.2.1: DHKEM(X25519, HKDF-SHA256), HKDF-SHA256, ChaCha20Poly1305, base mode.
    const Bytes info = hex("4f6465206f6e2061204772656369616e2055726e");
    const Bytes skEm = hex("f4ec9b33b792c372c1d2c2063507b684ef925b8c75a42dbcbf57d63ccd381600");
    const Bytes pkEm = hex("1afa08d3dec047a643885163f1180476fa7ddb54c6a8029ea33f95796bf2ac4a");
    const Bytes skRm = hex("8057991eef8f1f1af18f4a9491d16a1ce333f695d4db8e38da75975c4478e0fb");
    const Bytes pkRm = hex("4310ee97d88cc1f088a5576c77ab0cf5c3ac797f3d95139c6c84b5429c59662a");
    const Bytes plaintext = hex("4265617574792069732074727574682c20747275746820626561757479");
    const Bytes aad = hex("436f756e742d30");
    const std::string ciphertext =
        "1c5250d8034ec2b784ba2cfd69dbdb8af406cfe3ff938e131f0def8c8b60b4db21993c62ce81883d2dd1b51a28";
    const Hpke::KeySchedule sender = Hpke::senderKeySchedule(skEm, pkRm, info),
                            recipient = Hpke::recipientKeySchedule(skRm, pkEm, info);
    for (const Hpke::KeySchedule* schedule : {&sender, &recipient}) {
        EXPECT_EQ(hexString(schedule->sharedSecret), "0bbe78490412b4bbea4812666f7916932b828bba79942424abb65244930d69a7");
        EXPECT_EQ(hexString(schedule->key), "ad2744de8e17f4ebba575b3f5f5a8fa1f69c2a07f6e7500bc60ca6e3e3ec1c91");
        EXPECT_EQ(hexString(schedule->baseNonce), "5c4d98150661b848853b547f");
        EXPECT_EQ(hexString(schedule->exporterSecret),
                  "a3b010d4994890e2c6968a36f64470d3c824c8f5029942feb11e7a74b2921922");
    }
    // Every message the RFC lists for this context: sequence number, aad, ciphertext.
    const std::tuple<std::uint64_t, const char*, const char*> messages[] = {
        {0, "436f756e742d30", ciphertext.c_str()},
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
    for (const auto& [sequence, messageAad, messageCiphertext] : messages) {
        EXPECT_EQ(hexString(Hpke::sealAt(sender, sequence, hex(messageAad), plaintext)), messageCiphertext) << sequence;
        EXPECT_EQ(Hpke::openAt(recipient, sequence, hex(messageAad), hex(messageCiphertext)), plaintext) << sequence;
    }
    EXPECT_THROW(Hpke::openAt(recipient, 3, hex("436f756e742d34"), hex(std::get<2>(messages[3]))), CryptoError);
    const Hpke::Sealed sealed = Hpke::sealWithEphemeralKey(skEm, pkRm, info, aad, plaintext);
    EXPECT_EQ(hexString(sealed.encapsulatedKey), hexString(pkEm));
    EXPECT_EQ(hexString(sealed.ciphertext), ciphertext);
    EXPECT_EQ(Hpke::open(skRm, pkEm, info, aad, hex(ciphertext)), plaintext);
}

TEST(Hpke, RoundTripsFreshlyAndRefusesTamperedMisdirectedOrMalformedInput) {
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

    auto flipped = [](Bytes b, std::size_t i) {
        b[i] ^= 0x80;
        return b;
    };
    const Bytes& key = recipient.raw();
    const Bytes& enc = sealed.encapsulatedKey;
    const Bytes& ct = sealed.ciphertext;
    // Each row: recipient key, encapsulated key, info, aad, ciphertext; malformed ones are never read past.
    const std::array<Bytes, 5> refused[] = {
        {key, enc, info, aad, flipped(ct, 0)}, {key, enc, info, aad, flipped(ct, ct.size() - 1)},
        {key, flipped(enc, 3), info, aad, ct}, {key, enc, toBytes("infp"), aad, ct},
        {key, enc, info, toBytes("aae"), ct},  {X25519::PrivateKey::generate().raw(), enc, info, aad, ct},
        {key, Bytes(31, 1), info, aad, ct},    {key, Bytes(32, 0), info, aad, ct},
        {key, enc, info, aad, Bytes(15, 0)},   {Bytes(16, 1), enc, info, aad, ct},
    };
    for (const auto& [k, e, i, a, c] : refused) EXPECT_THROW(Hpke::open(k, e, i, a, c), CryptoError);
    EXPECT_THROW(Hpke::seal(Bytes(32, 0), {}, {}, toBytes("x")), CryptoError);
    EXPECT_THROW(Hpke::seal(Bytes(31, 7), {}, {}, toBytes("x")), CryptoError);
}

}  // namespace
}  // namespace quill::crypto
