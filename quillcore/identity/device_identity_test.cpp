#include <gtest/gtest.h>

#include <cerrno>

#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/identity_test_support.h"
#include "quillcore/keychain/fake_keychain.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"

using namespace quill;
using quill::testing::expectError;
using Op = FakeKeychain::Operation;

namespace {

Bytes hex(std::string_view text) { return *fromHex(text); }

// RFC 8032 7.1 test 1 and RFC 7748 6.1 (Alice).
const Bytes kSigningSeed = hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const Bytes kAgreementPrivate = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");

struct Store {
    std::shared_ptr<FakeKeychain> keychain = std::make_shared<FakeKeychain>();
    KeychainKeyStore store{keychain, std::string(KeychainKeyStore::defaultService), "device-identity"};
    std::optional<Bytes> item() const { return keychain->items().copy(store.service(), store.account()).value; }
    void put(std::string_view data) {
        keychain->items().remove(store.service(), store.account());
        ASSERT_EQ(keychain->items().add(store.service(), store.account(), toBytes(data)), 0);
    }
    std::size_t writes() const { return keychain->count(Op::add) + keychain->count(Op::update); }
};

}  // namespace

TEST(DeviceIdentity, DerivesKeysFingerprintAndIDAndSignsPlainEd25519) {
    DeviceIdentity identity(StoredIdentityKeys(kSigningSeed, kAgreementPrivate));
    const Bytes signingPublic = hex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    EXPECT_EQ(identity.signingPublicKey(), signingPublic);
    // SHA-256 of the signing key then the agreement key (RFC 7748's public key), and the ID from it.
    EXPECT_EQ(hexString(identity.fingerprint()), "422e8dd4b8aed6b9cf40567efd79e9a4d5fb85412857331a2a9764e54add39f4");
    EXPECT_EQ(identity.deviceID().formatted(), "202 983 097 9");
    EXPECT_EQ(identity.storedKeys(), StoredIdentityKeys(kSigningSeed, kAgreementPrivate));
    // Plain Ed25519 over the message as given; verifying never throws.
    const Bytes signature = identity.sign(toBytes("offer"));
    EXPECT_TRUE(DeviceIdentity::verify(signature, toBytes("offer"), signingPublic));
    EXPECT_FALSE(DeviceIdentity::verify(signature, toBytes("offeR"), signingPublic));
    EXPECT_FALSE(DeviceIdentity::verify(signature, toBytes("offer"), Bytes(31, 1)));
    for (std::size_t size : {0, 31, 33, 64}) {
        expectError([&] { DeviceIdentity({Bytes(size, 1), kAgreementPrivate}); }, DeviceIdentityError::invalidKey());
        expectError([&] { DeviceIdentity({kSigningSeed, Bytes(size, 1)}); }, DeviceIdentityError::invalidKey());
    }
}

TEST(DeviceID, NineDigitsOfTheFirstEightBytesAndALuhnDigitCountedFromTheLeft) {
    // Checked against an independent computation: big-endian value mod 10^9, then Luhn from the left.
    EXPECT_EQ(DeviceID::fromFingerprint(Bytes(32, 0)).formatted(), "000 000 000 0");
    EXPECT_EQ(DeviceID::fromFingerprint(Bytes(8, 0xFF)).formatted(), "709 551 615 4");
    Bytes counting{0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(DeviceID::fromFingerprint(counting).digits, "9523061837");
    counting.resize(32, 0xA0);
    EXPECT_EQ(DeviceID::fromFingerprint(counting).digits, "9523061837");
    expectError([] { DeviceID::fromFingerprint(Bytes(7, 1)); }, DeviceIdentityError::invalidFingerprint());
    // Digits of any script count; "12" gives 1*2 + 2, where doubling from the right would give 5.
    EXPECT_EQ(DeviceID::checkDigit("123 456-789"), 7);
    EXPECT_EQ(DeviceID::checkDigit("abc"), 0);
    EXPECT_EQ(DeviceID::checkDigit("12"), 6);
    EXPECT_EQ(DeviceID::checkDigit("\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x93\xEF\xBC\x94\xEF\xBC\x95\xEF\xBC\x96"
                                   "\xEF\xBC\x97\xEF\xBC\x98\xEF\xBC\x99"),
              7);  // full-width 1..9

    // Typed text: spaces dropped, then ten ASCII digits with the right check digit.
    for (auto text : {"952 306 183 7", "9523061837", "95 2306 1837", " 9523061837 "})
        EXPECT_EQ(DeviceID::fromTyped(text), DeviceID("9523061837")) << text;
    for (auto text : {"952-306-183-7", "952 306 183 8", "952306183", "95230618370", "952\t306 183 7",
                      "952\xC2\xA0" "306 183 7",  // no-break space
                      "\xEF\xBC\x99" "523061837",  // full-width 9
                      "\xD9\xA9" "52306183",       // Arabic-Indic 9 in ten bytes, with a matching check digit
                      "", "          "})
        EXPECT_FALSE(DeviceID::fromTyped(text)) << text;
    // Digits decoded from JSON are unchecked: formatting never cuts a character or reads past the end.
    EXPECT_EQ(DeviceID("12345").formatted(), "123 45  5");
    EXPECT_EQ(DeviceID("").formatted(), "   ");
    EXPECT_EQ(DeviceID("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9").formatted(), "\xC3\xA9\xC3\xA9\xC3\xA9 \xC3\xA9  \xC3\xA9");
    EXPECT_EQ(json::dump(DeviceID("9523061837").toJson()), R"({"digits":"9523061837"})");
    EXPECT_EQ(DeviceID::fromJson(json::parse(R"({"digits":"12345","x":1})")), DeviceID("12345"));
    EXPECT_THROW(DeviceID::fromJson(json::parse(R"({"digits":12345})")), DecodingError);
}

TEST(DeviceIdentity, LoadOrCreateKeepsOneIdentityAndNeverReplacesWhatItCannotRead) {
    Store s;
    s.keychain->failWith(Op::add, -61);
    expectError([&] { DeviceIdentity::loadOrCreate(s.store); }, KeyStoreError::keychain(-61));
    s.keychain->clear(Op::add);
    EXPECT_FALSE(s.item()) << "an identity that could not be saved is not used";
    DeviceIdentity first = DeviceIdentity::loadOrCreate(s.store);
    EXPECT_EQ(s.store.load(), first.storedKeys());
    EXPECT_EQ(DeviceIdentity::loadOrCreate(s.store).fingerprint(), first.fingerprint());
    InMemoryKeyStore other;
    EXPECT_NE(DeviceIdentity::loadOrCreate(other).fingerprint(), first.fingerprint()) << "a fresh store, a new device";
    // The next run of the host, with a keychain of its own over the same folder, is the same device.
    quill::testing::TempFolder folder;
    KeychainKeyStore firstRun(std::make_shared<FileKeychain>(folder.path()), "svc", "acct");
    const Bytes created = DeviceIdentity::loadOrCreate(firstRun).fingerprint();
    KeychainKeyStore nextRun(std::make_shared<FileKeychain>(folder.path()), "svc", "acct");
    EXPECT_EQ(DeviceIdentity::loadOrCreate(nextRun).fingerprint(), created);

    // Keys that decode but do not parse, a damaged item and a failing keychain are reported, and
    // the item stays for repair.
    const std::size_t writes = s.writes();
    s.put(StoredIdentityKeys(Bytes(31, 1), Bytes(32, 2)).encode());
    expectError([&] { DeviceIdentity::loadOrCreate(s.store); }, DeviceIdentityError::invalidKey());
    s.put(R"({"signingPrivateKey":"AAAA)");
    expectError([&] { DeviceIdentity::loadOrCreate(s.store); }, KeyStoreError::invalidData());
    s.keychain->failWith(Op::copy, -25308);
    expectError([&] { DeviceIdentity::loadOrCreate(s.store); }, KeyStoreError::keychain(-25308));
    EXPECT_EQ(s.writes(), writes);
    EXPECT_EQ(s.item(), toBytes(R"({"signingPrivateKey":"AAAA)"));
}

TEST(KeychainKeyStore, StoresCompactPaddedBase64InItsOwnItemAndReportsDamageAsInvalidData) {
    StoredIdentityKeys keys(Bytes(32, 0xFF), Bytes(32, 0x00));
    EXPECT_EQ(keys.encode(),
              R"({"signingPrivateKey":"\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/8=",)"
              R"("agreementPrivateKey":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="})");
    // Any order, extra keys ignored, any escape accepted; lengths are not this layer's business.
    EXPECT_EQ(StoredIdentityKeys::decode(toBytes(R"( {"extra":[1], "agreementPrivateKey":"AQ==",
        "signingPrivateKey":"\u0041g=="} )")),
              StoredIdentityKeys(Bytes{2}, Bytes{1}));

    Store s;
    EXPECT_FALSE(s.store.load());
    s.store.remove();  // nothing to remove is fine
    s.store.save(StoredIdentityKeys(Bytes(32, 1), Bytes(32, 2)));
    s.store.save(keys);
    EXPECT_EQ(s.store.load(), keys);
    EXPECT_EQ(s.item(), toBytes(keys.encode()));
    KeychainKeyStore otherAccount(s.keychain, s.store.service(), "other");
    otherAccount.save(StoredIdentityKeys(Bytes(32, 1), Bytes(32, 2)));
    s.store.remove();
    EXPECT_FALSE(s.store.load());
    EXPECT_EQ(otherAccount.load(), StoredIdentityKeys(Bytes(32, 1), Bytes(32, 2)));

    for (std::string_view damaged : {R"({})", R"({"signingPrivateKey":"AQ=="})",
                                     R"({"signingPrivateKey":"not base64!","agreementPrivateKey":"AQ=="})",
                                     R"({"signingPrivateKey":"AQ","agreementPrivateKey":"AQ=="})",
                                     R"({"signingPrivateKey":1,"agreementPrivateKey":"AQ=="})",
                                     R"({"signingPrivateKey":null,"agreementPrivateKey":"AQ=="})",
                                     R"(["AQ==","AQ=="])", "", "not json", "\x00\x01"}) {
        s.put(damaged);
        expectError([&] { s.store.load(); }, KeyStoreError::invalidData());
        EXPECT_EQ(s.item(), toBytes(damaged));
    }
    EXPECT_EQ(KeyStoreError::keychain(-13).description(), "keychain error -13 (Permission denied)");
    EXPECT_EQ(KeyStoreError::keychain(-25308).description(), "keychain error -25308");
}

TEST(HPKESealedBox, OpensForTheRecipientAndCodesAsPaddedBase64) {
    DeviceIdentity host(StoredIdentityKeys(kSigningSeed, kAgreementPrivate));
    const HPKESealedBox box = HPKESealedBox::seal(toBytes("{}"), host.agreementPublicKey(), toBytes("info"));
    EXPECT_EQ(box.open(host, toBytes("info")), toBytes("{}"));
    EXPECT_THROW(box.open(host, {}), CryptoError);
    expectError([&] { HPKESealedBox::seal({}, Bytes(31, 9), {}); }, DeviceIdentityError::invalidKey());
    const HPKESealedBox small{Bytes{0xFF, 0xFF}, Bytes{1}};
    EXPECT_EQ(json::dump(small.toJson()), R"({"ciphertext":"AQ==","encapsulatedKey":"//8="})");
    EXPECT_EQ(HPKESealedBox::fromJson(json::parse(R"({"ciphertext":"AQ==","encapsulatedKey":"\/\/8="})")), small);
    EXPECT_THROW(HPKESealedBox::fromJson(json::parse(R"({"ciphertext":"AQ","encapsulatedKey":"//8="})")),
                 DecodingError);
    EXPECT_THROW(HPKESealedBox::fromJson(json::parse(R"({"ciphertext":"AQ=="})")), DecodingError);
}
