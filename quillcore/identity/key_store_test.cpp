#include <gtest/gtest.h>

#include <cerrno>

#include "quillcore/identity/identity_test_support.h"
#include "quillcore/identity/key_store.h"
#include "quillcore/keychain/fake_keychain.h"

using namespace quill;
using Op = FakeKeychain::Operation;
using quill::testing::expectKeyStoreError;

namespace {

struct Fixture {
    std::shared_ptr<FakeKeychain> keychain = std::make_shared<FakeKeychain>();
    KeychainKeyStore store{keychain, std::string(KeychainKeyStore::defaultService), "device-identity"};
    std::optional<Bytes> item() const { return keychain->items().copy(store.service(), store.account()).value; }
};

}  // namespace

TEST(StoredIdentityKeys, StoredFormIsCompactPaddedBase64WithEscapedSolidus) {
    StoredIdentityKeys keys(Bytes(32, 0xFF), Bytes(32, 0x00));
    EXPECT_EQ(keys.encode(),
              R"({"signingPrivateKey":"\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/8=",)"
              R"("agreementPrivateKey":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="})");
    EXPECT_EQ(StoredIdentityKeys::decode(toBytes(keys.encode())), keys);
    // Any order, extra keys ignored, any escape accepted; lengths are not this layer's business.
    EXPECT_EQ(StoredIdentityKeys::decode(toBytes(R"( {"extra":[1], "agreementPrivateKey":"AQ==",
        "signingPrivateKey":"\u0041g=="} )")),
              StoredIdentityKeys(Bytes{2}, Bytes{1}));
}

TEST(KeychainKeyStore, ReportsDamagedItemsAsInvalidDataAndKeepsThem) {
    Fixture f;
    for (std::string_view damaged : {R"({})", R"({"signingPrivateKey":"AQ=="})",
                                     R"({"signingPrivateKey":"not base64!","agreementPrivateKey":"AQ=="})",
                                     R"({"signingPrivateKey":"AQ","agreementPrivateKey":"AQ=="})",
                                     R"({"signingPrivateKey":1,"agreementPrivateKey":"AQ=="})",
                                     R"({"signingPrivateKey":null,"agreementPrivateKey":"AQ=="})",
                                     R"(["AQ==","AQ=="])", "", "not json", "{\"signingPrivateKey\":\"AQ==\","}) {
        f.keychain->items().remove(f.store.service(), f.store.account());
        ASSERT_EQ(f.keychain->items().add(f.store.service(), f.store.account(), toBytes(damaged)), 0);
        expectKeyStoreError([&] { f.store.load(); }, KeyStoreError::invalidData());
        EXPECT_EQ(f.item(), toBytes(damaged));
    }
    f.keychain->answerWithoutData(Op::copy);
    expectKeyStoreError([&] { f.store.load(); }, KeyStoreError::invalidData());
}

TEST(KeychainKeyStore, SavesLoadsReplacesAndRemovesItsOwnItem) {
    Fixture f;
    EXPECT_FALSE(f.store.load());
    f.store.remove();  // nothing to remove is fine
    StoredIdentityKeys first(Bytes(32, 1), Bytes(32, 2));
    StoredIdentityKeys second(Bytes(32, 3), Bytes(32, 4));
    f.store.save(first);
    f.store.save(second);
    EXPECT_EQ(f.store.load(), second);
    EXPECT_EQ(f.keychain->items().copyAll(f.store.service(), 10).value->size(), 1u);

    KeychainKeyStore otherAccount(f.keychain, f.store.service(), "other");
    otherAccount.save(first);
    f.store.remove();
    EXPECT_FALSE(f.store.load());
    EXPECT_EQ(otherAccount.load(), first);
}

TEST(KeychainKeyStore, PassesKeychainStatusesOn) {
    Fixture f;
    StoredIdentityKeys keys(Bytes(32, 1), Bytes(32, 2));
    f.keychain->failWith(Op::copy, -25308);
    expectKeyStoreError([&] { f.store.load(); }, KeyStoreError::keychain(-25308));
    f.keychain->clear(Op::copy);

    // An update that fails is final: no add is tried.
    f.keychain->failWith(Op::update, -EACCES);
    expectKeyStoreError([&] { f.store.save(keys); }, KeyStoreError::keychain(-EACCES));
    EXPECT_EQ(f.keychain->count(Op::add), 0u);
    f.keychain->clear(Op::update);

    // No item yet: update finds none, then add, whose failure is reported.
    f.keychain->failWith(Op::add, -25299);
    expectKeyStoreError([&] { f.store.save(keys); }, KeyStoreError::keychain(-25299));
    EXPECT_EQ(f.keychain->count(Op::add), 1u);

    f.keychain->failWith(Op::remove, -5);
    expectKeyStoreError([&] { f.store.remove(); }, KeyStoreError::keychain(-5));
    f.keychain->failWith(Op::remove, KeychainStatus::itemNotFound);
    f.store.remove();

    EXPECT_EQ(KeyStoreError::keychain(-13).description(), "keychain error -13 (Permission denied)");
    EXPECT_EQ(KeyStoreError::keychain(-25308).description(), "keychain error -25308");
}
