#include <gtest/gtest.h>

#include <random>

#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/identity_test_support.h"
#include "quillcore/keychain/fake_keychain.h"

using namespace quill;
using quill::testing::expectIdentityError;
using quill::testing::expectKeyStoreError;

namespace {

Bytes hex(std::string_view text) { return *fromHex(text); }

// RFC 8032 7.1 test 1 and RFC 7748 6.1 (Alice).
const Bytes kSigningSeed = hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const Bytes kSigningPublic = hex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const Bytes kAgreementPrivate = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
const Bytes kAgreementPublic = hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");

// ISO/IEC 7812-1 validation, counted from the right: an independent check of our digit.
bool passesLuhn(const std::string& digits) {
    int sum = 0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        int d = digits[digits.size() - 1 - i] - '0';
        if (i % 2 == 1) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
        sum += d;
    }
    return sum % 10 == 0;
}

}  // namespace

TEST(DeviceIdentity, DerivesKeysFingerprintAndIDAndSignsPlainEd25519) {
    DeviceIdentity identity(StoredIdentityKeys(kSigningSeed, kAgreementPrivate));
    EXPECT_EQ(identity.signingPublicKey(), kSigningPublic);
    EXPECT_EQ(identity.agreementPublicKey(), kAgreementPublic);
    EXPECT_EQ(hexString(identity.fingerprint()), "422e8dd4b8aed6b9cf40567efd79e9a4d5fb85412857331a2a9764e54add39f4");
    EXPECT_EQ(identity.deviceID().formatted(), "202 983 097 9");
    EXPECT_EQ(identity.storedKeys(), StoredIdentityKeys(kSigningSeed, kAgreementPrivate));
    // The order of the keys is part of the format.
    EXPECT_NE(DeviceIdentity::fingerprint(kAgreementPublic, kSigningPublic), identity.fingerprint());

    // RFC 8032 test 1: the empty message, signed unchanged; verifying never throws.
    EXPECT_EQ(hexString(identity.sign({})),
              "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd"
              "25bf5f0595bbe24655141438e7a100b");
    const Bytes signature = identity.sign(toBytes("offer"));
    EXPECT_TRUE(DeviceIdentity::verify(signature, toBytes("offer"), kSigningPublic));
    EXPECT_FALSE(DeviceIdentity::verify(signature, toBytes("offeR"), kSigningPublic));
    EXPECT_FALSE(DeviceIdentity::verify(signature, toBytes("offer"), Bytes(31, 1)));
    EXPECT_FALSE(DeviceIdentity::verify(Bytes(63, 0), toBytes("offer"), kSigningPublic));

    for (std::size_t size : {0, 31, 33, 64}) {
        expectIdentityError([&] { DeviceIdentity(StoredIdentityKeys(Bytes(size, 1), kAgreementPrivate)); },
                            DeviceIdentityError::Kind::invalidKey);
        expectIdentityError([&] { DeviceIdentity(StoredIdentityKeys(kSigningSeed, Bytes(size, 1))); },
                            DeviceIdentityError::Kind::invalidKey);
    }
}

TEST(DeviceID, DerivedFromTheFirstEightBytesWithALuhnCheckDigit) {
    EXPECT_EQ(DeviceID::fromFingerprint(Bytes(32, 0)).formatted(), "000 000 000 0");
    EXPECT_EQ(DeviceID::fromFingerprint(Bytes(8, 0xFF)).formatted(), "709 551 615 4");
    Bytes counting{0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(DeviceID::fromFingerprint(counting).digits, "9523061837");
    counting.resize(32, 0xA0);
    EXPECT_EQ(DeviceID::fromFingerprint(counting).digits, "9523061837");
    expectIdentityError([] { DeviceID::fromFingerprint(Bytes(7, 1)); }, DeviceIdentityError::Kind::invalidFingerprint);

    std::mt19937_64 random(7);
    for (int i = 0; i < 500; ++i) {
        Bytes fingerprint(32);
        for (auto& b : fingerprint) b = static_cast<std::uint8_t>(random());
        DeviceID id = DeviceID::fromFingerprint(fingerprint);
        ASSERT_EQ(id.digits.size(), 10u);
        ASSERT_TRUE(passesLuhn(id.digits)) << id.digits;
        ASSERT_EQ(DeviceID::fromTyped(id.formatted()), id);
    }

    // The check digit counts digits of any script from the left.
    EXPECT_EQ(DeviceID::checkDigit("123 456-789"), 7);
    EXPECT_EQ(DeviceID::checkDigit("abc"), 0);
    EXPECT_EQ(DeviceID::checkDigit("\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x93\xEF\xBC\x94\xEF\xBC\x95\xEF\xBC\x96"
                                   "\xEF\xBC\x97\xEF\xBC\x98\xEF\xBC\x99"),
              7);                                // full-width 1..9
    EXPECT_EQ(DeviceID::checkDigit("12"), 6);  // 1*2 + 2; doubling from the right would give 5
}

TEST(DeviceID, TypedTextNeedsTenAsciiDigitsWithTheRightCheckDigit) {
    for (auto text : {"952 306 183 7", "9523061837", "95 2306 1837", " 9523061837 "})
        EXPECT_EQ(DeviceID::fromTyped(text), DeviceID("9523061837")) << text;
    for (auto text : {"952-306-183-7", "952 306 183 8", "952306183", "95230618370", "952\t306 183 7",
                      "952\xC2\xA0" "306 183 7",                                      // no-break space
                      "\xEF\xBC\x99" "523061837",                                     // full-width 9
                      "\xD9\xA9" "523061837",                                         // Arabic-Indic 9
                      "", "          "})
        EXPECT_FALSE(DeviceID::fromTyped(text)) << text;
}

TEST(DeviceID, FormatsAndCodesAnyStoredText) {
    EXPECT_EQ(DeviceID("12345").formatted(), "123 45  5");
    EXPECT_EQ(DeviceID("").formatted(), "   ");
    EXPECT_EQ(DeviceID("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9").formatted(), "\xC3\xA9\xC3\xA9\xC3\xA9 \xC3\xA9  \xC3\xA9");
    EXPECT_EQ(json::dump(DeviceID("9523061837").toJson()), R"({"digits":"9523061837"})");
    EXPECT_EQ(DeviceID::fromJson(json::parse(R"({"digits":"12345","x":1})")), DeviceID("12345"));
    EXPECT_THROW(DeviceID::fromJson(json::parse(R"({"digits":12345})")), DecodingError);
    EXPECT_THROW(DeviceID::fromJson(json::parse(R"({})")), DecodingError);
}

TEST(DeviceIdentity, LoadOrCreateKeepsOneIdentityAndNeedsASuccessfulFirstSave) {
    auto keychain = std::make_shared<FakeKeychain>();
    KeychainKeyStore store(keychain, "svc", "acct");
    keychain->failWith(FakeKeychain::Operation::add, -61);
    expectKeyStoreError([&] { DeviceIdentity::loadOrCreate(store); }, KeyStoreError::keychain(-61));
    keychain->clear(FakeKeychain::Operation::add);
    EXPECT_FALSE(store.load());

    DeviceIdentity first = DeviceIdentity::loadOrCreate(store);
    EXPECT_EQ(store.load(), first.storedKeys());
    EXPECT_EQ(DeviceIdentity::loadOrCreate(store).fingerprint(), first.fingerprint());
    InMemoryKeyStore other;
    EXPECT_NE(DeviceIdentity::loadOrCreate(other).fingerprint(), first.fingerprint()) << "a fresh store, a new device";
}

TEST(DeviceIdentity, LoadOrCreateNeverReplacesWhatItCannotRead) {
    auto keychain = std::make_shared<FakeKeychain>();
    KeychainKeyStore store(keychain, std::string(KeychainKeyStore::defaultService), "device-identity");
    using Op = FakeKeychain::Operation;
    auto item = [&] { return keychain->items().copy(store.service(), store.account()).value; };
    auto writes = [&] { return keychain->count(Op::add) + keychain->count(Op::update); };

    // Keys that decode but do not parse.
    store.save(StoredIdentityKeys(Bytes(31, 1), Bytes(32, 2)));
    auto stored = item();
    std::size_t writesBefore = writes();
    expectIdentityError([&] { DeviceIdentity::loadOrCreate(store); }, DeviceIdentityError::Kind::invalidKey);
    EXPECT_EQ(item(), stored);

    // A truncated item, and a keychain that cannot be read.
    const Bytes truncated = toBytes(R"({"signingPrivateKey":"AAAA)");
    ASSERT_EQ(keychain->items().update(store.service(), store.account(), truncated), 0);
    expectKeyStoreError([&] { DeviceIdentity::loadOrCreate(store); }, KeyStoreError::invalidData());
    keychain->failWith(Op::copy, -25308);
    expectKeyStoreError([&] { DeviceIdentity::loadOrCreate(store); }, KeyStoreError::keychain(-25308));
    keychain->clear(Op::copy);

    EXPECT_EQ(writes(), writesBefore) << "nothing written back";
    EXPECT_EQ(item(), truncated);
}

TEST(HPKESealedBox, OpensOnlyForTheRecipientAndTheSameInfoAndCodesAsPaddedBase64) {
    DeviceIdentity host(StoredIdentityKeys(kSigningSeed, kAgreementPrivate));
    InMemoryKeyStore otherStore;
    DeviceIdentity other = DeviceIdentity::loadOrCreate(otherStore);
    const Bytes plaintext = toBytes("{\"type\":\"Offer\"}");
    const HPKESealedBox box = HPKESealedBox::seal(plaintext, host.agreementPublicKey(), {});
    EXPECT_EQ(box.open(host, {}), plaintext);
    EXPECT_THROW(box.open(other, {}), CryptoError);
    EXPECT_THROW(box.open(host, toBytes("info")), CryptoError);
    HPKESealedBox withInfo = HPKESealedBox::seal(plaintext, host.agreementPublicKey(), toBytes("info"));
    EXPECT_EQ(withInfo.open(host, toBytes("info")), plaintext);
    EXPECT_THROW(withInfo.open(host, {}), CryptoError);
    expectIdentityError([&] { HPKESealedBox::seal(plaintext, Bytes(31, 9), {}); },
                        DeviceIdentityError::Kind::invalidKey);

    const HPKESealedBox small{Bytes{0xFF, 0xFF}, Bytes{1}};
    EXPECT_EQ(json::dump(small.toJson()), R"({"ciphertext":"AQ==","encapsulatedKey":"//8="})");
    EXPECT_EQ(HPKESealedBox::fromJson(json::parse(R"({"ciphertext":"AQ==","encapsulatedKey":"\/\/8="})")), small);
    EXPECT_THROW(HPKESealedBox::fromJson(json::parse(R"({"ciphertext":"AQ","encapsulatedKey":"//8="})")),
                 DecodingError);
    EXPECT_THROW(HPKESealedBox::fromJson(json::parse(R"({"ciphertext":"AQ=="})")), DecodingError);
}
