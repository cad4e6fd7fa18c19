#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "quillcore/identity/identity_test_support.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/keychain/fake_keychain.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/in_memory_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"

using namespace quill;
using Op = FakeKeychain::Operation;
using quill::testing::expectKeyStoreError;
using quill::testing::TempFolder;
namespace fs = std::filesystem;

namespace {

PeerRecord record(std::uint8_t first, std::string name = "peer") {
    Bytes fingerprint(32, 0x3F);
    fingerprint[0] = first;
    return PeerRecord{fingerprint, Bytes(32, 0xFC), Bytes(32, 2), std::move(name), "iPadOS 18", 756000000.25,
                      PeerPermissions::defaults()};
}

}  // namespace

// The keychain store over both item stores, so the file layout gets the same checks.
class KeychainPeerStoreTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) items_ = std::make_shared<FileKeychain>(folder_.path() / "keychain");
        else items_ = std::make_shared<InMemoryKeychain>();
        keychain_ = std::make_shared<FakeKeychain>(items_);
        store_ = std::make_unique<KeychainPeerStore>(keychain_, std::string(KeychainPeerStore::defaultService));
    }
    const std::string& service() const { return store_->service(); }

    TempFolder folder_;
    std::shared_ptr<Keychain> items_;
    std::shared_ptr<FakeKeychain> keychain_;
    std::unique_ptr<KeychainPeerStore> store_;
};

TEST_P(KeychainPeerStoreTest, SavesListsLooksUpAndRemoves) {
    KeychainPeerStore& store = *store_;
    EXPECT_TRUE(store.all().empty());
    EXPECT_FALSE(store.peer(record(1).fingerprint));
    store.remove(record(1).fingerprint);
    store.removeAll();

    store.save(record(2, "b"));
    store.save(record(1, "z"));
    EXPECT_EQ(store.all(), (std::vector<PeerRecord>{record(1, "z"), record(2, "b")})) << "keychain order, not by name";
    EXPECT_EQ(store.peer(record(2).fingerprint), record(2, "b"));

    // The item: lower-case hex account, the record's stored JSON as data.
    auto item = items_->copy(service(), "013f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f");
    ASSERT_EQ(item.status, 0);
    EXPECT_EQ(item.value, toBytes(record(1, "z").encode()));

    // A second save replaces the one item of that fingerprint.
    PeerRecord changed = record(1, "z");
    changed.permissions.attendedOnly = true;
    store.save(changed);
    EXPECT_EQ(store.all(), (std::vector<PeerRecord>{changed, record(2, "b")}));

    // A record that cannot be encoded never reaches the keychain.
    PeerRecord bad = record(3);
    bad.pairedAt = std::nan("");
    const auto calls = keychain_->calls().size();
    EXPECT_THROW(store.save(bad), EncodingError);
    EXPECT_EQ(keychain_->calls().size(), calls);

    // The empty fingerprint is the empty account.
    PeerRecord odd = record(4);
    odd.fingerprint.clear();
    store.save(odd);
    EXPECT_EQ(items_->copy(service(), "").status, 0);
    EXPECT_EQ(store.peer(Bytes{}), odd);

    store.remove(record(1).fingerprint);
    store.remove(Bytes{});
    EXPECT_FALSE(store.peer(record(1).fingerprint));
    EXPECT_EQ(store.all(), std::vector<PeerRecord>{record(2, "b")});
    store.removeAll();
    EXPECT_TRUE(store.all().empty());
}

TEST_P(KeychainPeerStoreTest, OneDamagedItemFailsTheListingButNotOtherLookups) {
    store_->save(record(1));
    store_->save(record(3));
    ASSERT_EQ(items_->add(service(), hexString(record(2).fingerprint), toBytes(R"({"fingerprint":"AQ==")")), 0);
    expectKeyStoreError([&] { store_->all(); }, KeyStoreError::invalidData());
    expectKeyStoreError([&] { store_->peer(record(2).fingerprint); }, KeyStoreError::invalidData());
    EXPECT_EQ(store_->peer(record(3).fingerprint), record(3));
    // The damaged item can still be removed, which mends the listing.
    store_->remove(record(2).fingerprint);
    EXPECT_EQ(store_->all().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Items, KeychainPeerStoreTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

TEST(KeychainPeerStore, FailedSaveKeepsTheEarlierRecordAndStatusesPassOn) {
    auto keychain = std::make_shared<FakeKeychain>();
    KeychainPeerStore store(keychain, "peers");
    store.save(record(1, "old"));
    keychain->failWith(Op::update, -28);
    expectKeyStoreError([&] { store.save(record(1, "new")); }, KeyStoreError::keychain(-28));
    keychain->clear(Op::update);
    EXPECT_EQ(store.peer(record(1).fingerprint), record(1, "old"));

    keychain->failWith(Op::add, -25308);
    expectKeyStoreError([&] { store.save(record(2)); }, KeyStoreError::keychain(-25308));
    keychain->clear(Op::add);
    EXPECT_FALSE(store.peer(record(2).fingerprint));

    // Added by someone else between our update and add: the update is retried.
    keychain->items().add("peers", hexString(record(3).fingerprint), toBytes(record(3, "theirs").encode()));
    keychain->failWith(Op::update, KeychainStatus::itemNotFound, 1);
    const auto updates = keychain->count(Op::update);
    store.save(record(3, "ours"));
    EXPECT_EQ(keychain->count(Op::update), updates + 2);
    EXPECT_EQ(store.peer(record(3).fingerprint), record(3, "ours"));

    keychain->failWith(Op::copyAll, -25308);
    expectKeyStoreError([&] { store.all(); }, KeyStoreError::keychain(-25308));
    keychain->answerWithoutData(Op::copyAll);
    EXPECT_TRUE(store.all().empty());
    keychain->failWith(Op::copy, -13);
    expectKeyStoreError([&] { store.peer(record(1).fingerprint); }, KeyStoreError::keychain(-13));
    keychain->answerWithoutData(Op::copy);
    expectKeyStoreError([&] { store.peer(record(1).fingerprint); }, KeyStoreError::invalidData());
    keychain->failWith(Op::remove, -5);
    expectKeyStoreError([&] { store.remove(record(1).fingerprint); }, KeyStoreError::keychain(-5));
    expectKeyStoreError([&] { store.removeAll(); }, KeyStoreError::keychain(-5));
}

TEST(KeychainPeerStore, ListsAtMostAThousand) {
    KeychainPeerStore store(std::make_shared<InMemoryKeychain>(), "peers");
    for (int i = 0; i < 1001; ++i) {
        PeerRecord r = record(0);
        r.fingerprint[1] = static_cast<std::uint8_t>(i);
        r.fingerprint[2] = static_cast<std::uint8_t>(i >> 8);
        store.save(r);
    }
    EXPECT_EQ(store.all().size(), 1000u);
}

TEST(KeychainPeerStore, InterruptedWriteLeavesThePreviousRecord) {
    TempFolder folder;
    KeychainPeerStore store(std::make_shared<FileKeychain>(folder.path()), "peers");
    store.save(record(1, "before"));
    // A crash after the new record was written but before it replaced the old one.
    const fs::path item = folder.path() / keychainItemName("peers") / keychainItemName(hexString(record(1).fingerprint));
    const fs::path temp = item.parent_path() / ("." + item.filename().string() + ".tmp");
    std::ofstream(temp) << record(1, "after").encode().substr(0, 40);

    EXPECT_EQ(store.peer(record(1).fingerprint), record(1, "before"));
    EXPECT_EQ(store.all(), std::vector<PeerRecord>{record(1, "before")});
    EXPECT_FALSE(fs::exists(temp));
    // A second process sees the same records.
    KeychainPeerStore other(std::make_shared<FileKeychain>(folder.path()), "peers");
    EXPECT_EQ(other.all(), std::vector<PeerRecord>{record(1, "before")});
}

TEST(InMemoryPeerStore, ReplacesLooksUpRemovesAndListsByNameThenFingerprint) {
    InMemoryPeerStore replaced({record(1, "first"), record(1, "again")});
    replaced.save(record(1, "third"));
    EXPECT_EQ(replaced.all(), std::vector<PeerRecord>{record(1, "third")});
    EXPECT_EQ(replaced.peer(record(1).fingerprint), record(1, "third"));
    EXPECT_FALSE(replaced.peer(record(2).fingerprint));
    replaced.remove(record(1).fingerprint);
    EXPECT_TRUE(replaced.all().empty());

    // Names in code point order of their NFC form; equal names by fingerprint as unsigned bytes, a
    // prefix first.
    PeerRecord prefix = record(0x80, "same");
    prefix.fingerprint.resize(1);
    InMemoryPeerStore store({record(5, "b"), record(4, "a"), record(0x80, "same"), prefix, record(1, "same"),
                             record(3, "B"), record(7, "Jose\xCC\x81"), record(6, "Jos\xC3\xA9")});
    std::vector<std::pair<std::string, std::size_t>> order;
    for (const auto& r : store.all()) order.emplace_back(r.name, r.fingerprint[0] + r.fingerprint.size());
    EXPECT_EQ(order, (std::vector<std::pair<std::string, std::size_t>>{
                         {"B", 35}, {"Jos\xC3\xA9", 38}, {"Jose\xCC\x81", 39}, {"a", 36}, {"b", 37},
                         {"same", 33}, {"same", 0x81}, {"same", 0xA0}}));
}
