#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <functional>

#include "quillcore/identity/identity_test_support.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/keychain/fake_keychain.h"

using namespace quill;
using Op = FakeKeychain::Operation;
using quill::testing::expectError;

namespace {

PeerRecord record(std::uint8_t first, std::string name = "peer") {
    Bytes fingerprint(32, 0x3F);
    fingerprint[0] = first;
    return PeerRecord{fingerprint, Bytes(32, 0xFC), Bytes(32, 2), std::move(name), "iPadOS 18", 756000000.25,
                      PeerPermissions::defaults()};
}

}  // namespace

TEST(PeerRecord, StoredFormEscapesSolidusRoundTripsExactlyAndEveryMemberIsRequiredAndStrict) {
    const PeerRecord sample{Bytes{0xFB, 0xFF, 0x01}, Bytes{1, 2, 3}, Bytes{4}, "Ana's iPad / home", "", 86400.5,
                            PeerPermissions::defaults()};
    const std::string stored = sample.encode();
    EXPECT_EQ(stored,
              R"({"fingerprint":"+\/8B","signingPublicKey":"AQID","agreementPublicKey":"BA==",)"
              R"("name":"Ana's iPad \/ home","os":"","pairedAt":86400.5,)"
              R"("permissions":{"view":true,"control":true,"clipboard":true,"files":false,"attendedOnly":false}})");
    const json::Json object = json::parse(stored);
    json::Json extra = object;  // unknown members are ignored and whitespace is free
    extra["comment"] = {1, 2};
    extra["permissions"] = {{"view", false}, {"control", true}, {"clipboard", false}, {"files", true},
                            {"attendedOnly", true}, {"x", 0}};
    PeerRecord changed = sample;
    changed.permissions = {false, true, false, true, true};
    EXPECT_EQ(PeerRecord::decode(toBytes(extra.dump(2))), changed);
    for (double at : {0.1, 1.0 / 3, -1e9 / 7, std::ldexp(1.0, -1074), 1.7976931348623157e308, 18446744073709551615.0}) {
        changed.pairedAt = at;
        ASSERT_EQ(PeerRecord::decode(toBytes(changed.encode())), changed) << changed.encode();
    }
    for (double bad : {std::nan(""), HUGE_VAL}) {
        changed.pairedAt = bad;
        EXPECT_THROW(changed.encode(), EncodingError);
    }
    // Texts compare under canonical equivalence, the date exactly.
    EXPECT_EQ(record(1, "Jos\xC3\xA9"), record(1, "Jose\xCC\x81"));
    EXPECT_NE(record(1, "Jos\xC3\xA9"), record(1, "Jose"));
    changed = record(1);
    changed.pairedAt = std::nextafter(changed.pairedAt, 0.0);
    EXPECT_NE(changed, record(1));

    std::vector<std::string> damaged = {"[]", R"({"pairedAt":1e400})"};
    auto with = [&](const std::function<void(json::Json&)>& change) {
        json::Json d = object;
        change(d);
        damaged.push_back(d.dump());
    };
    for (const auto& [key, value] : object.items()) with([&](json::Json& d) { d.erase(key); });
    for (const auto& [key, value] : object["permissions"].items()) {
        with([&](json::Json& d) { d["permissions"].erase(key); });
        for (auto bad : {"1", "\"true\"", "null"}) with([&](json::Json& d) { d["permissions"][key] = json::parse(bad); });
    }
    const std::pair<const char*, json::Json> bad[] = {
        {"fingerprint", "+/8"}, {"fingerprint", "+_8B"}, {"fingerprint", "+/8B="}, {"fingerprint", " +/8B"},
        {"name", 5},            {"pairedAt", "86400.5"}, {"permissions", true},    {"os", nullptr}};
    for (const auto& [key, value] : bad) with([&](json::Json& d) { d[key] = value; });
    for (const auto& d : damaged) EXPECT_THROW(PeerRecord::decode(toBytes(d)), DecodingError) << d;
}

TEST(KeychainPeerStore, KeepsOneItemPerFingerprintInKeychainOrderAtMostAThousand) {
    auto keychain = std::make_shared<FakeKeychain>();
    Keychain& items = keychain->items();
    KeychainPeerStore store(keychain, std::string(KeychainPeerStore::defaultService));
    const std::string& service = store.service();
    EXPECT_TRUE(store.all().empty());
    EXPECT_FALSE(store.peer(record(1).fingerprint));
    store.remove(record(1).fingerprint);
    store.removeAll();
    store.save(record(2, "b"));
    store.save(record(1, "old"));
    store.save(record(1, "z"));
    EXPECT_EQ(store.all(), (std::vector<PeerRecord>{record(1, "z"), record(2, "b")})) << "keychain order, not by name";
    EXPECT_EQ(store.peer(record(2).fingerprint), record(2, "b"));
    // The item: lower-case hex account, the record's stored JSON as data.
    auto item = items.copy(service, "013f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f3f");
    EXPECT_EQ(item.value, toBytes(record(1, "z").encode()));
    // A record that cannot be encoded never reaches the keychain.
    PeerRecord bad = record(3);
    bad.pairedAt = std::nan("");
    const auto writes = keychain->count(Op::add) + keychain->count(Op::update);
    EXPECT_THROW(store.save(bad), EncodingError);
    EXPECT_EQ(keychain->count(Op::add) + keychain->count(Op::update), writes);
    // The empty fingerprint is the empty account.
    PeerRecord odd = record(4);
    odd.fingerprint.clear();
    store.save(odd);
    EXPECT_EQ(items.copy(service, "").status, 0);
    EXPECT_EQ(store.peer(Bytes{}), odd);

    // One damaged item fails the listing and its own lookup, not the others; removing it mends the listing.
    ASSERT_EQ(items.add(service, hexString(record(5).fingerprint), toBytes(R"({"fingerprint":"AQ==")")), 0);
    expectError([&] { store.all(); }, KeyStoreError::invalidData());
    expectError([&] { store.peer(record(5).fingerprint); }, KeyStoreError::invalidData());
    EXPECT_EQ(store.peer(record(2).fingerprint), record(2, "b"));
    store.remove(record(5).fingerprint);
    store.remove(record(1).fingerprint);
    store.remove(Bytes{});
    EXPECT_EQ(store.all(), std::vector<PeerRecord>{record(2, "b")});
    store.removeAll();
    EXPECT_TRUE(store.all().empty());

    for (int i = 0; i < 1001; ++i) {
        PeerRecord r = record(0);
        r.fingerprint[1] = static_cast<std::uint8_t>(i);
        r.fingerprint[2] = static_cast<std::uint8_t>(i >> 8);
        store.save(r);
    }
    EXPECT_EQ(store.all().size(), 1000u);
}

TEST(KeychainStores, PassKeychainStatusesOnAndAFailedSaveKeepsWhatWasStored) {
    auto keychain = std::make_shared<FakeKeychain>();
    KeychainPeerStore peers(keychain, "peers");
    KeychainKeyStore keys(keychain, "keys", "device");
    const StoredIdentityKeys stored(Bytes(32, 1), Bytes(32, 2));
    peers.save(record(1, "old"));
    keys.save(stored);
    const auto fingerprint = record(1).fingerprint;
    // Each row: the operation that fails, its status (success: a copy without data), the call, the error.
    const std::tuple<Op, std::int32_t, std::function<void()>, KeyStoreError> rows[] = {
        {Op::update, -28, [&] { peers.save(record(1, "new")); }, KeyStoreError::keychain(-28)},
        {Op::add, -25308, [&] { peers.save(record(2)); }, KeyStoreError::keychain(-25308)},
        {Op::copyAll, -25308, [&] { peers.all(); }, KeyStoreError::keychain(-25308)},
        {Op::copy, -13, [&] { peers.peer(fingerprint); }, KeyStoreError::keychain(-13)},
        {Op::copy, 0, [&] { peers.peer(fingerprint); }, KeyStoreError::invalidData()},
        {Op::remove, -5, [&] { peers.remove(fingerprint); }, KeyStoreError::keychain(-5)},
        {Op::remove, -5, [&] { peers.removeAll(); }, KeyStoreError::keychain(-5)},
        {Op::update, -EACCES, [&] { keys.save(StoredIdentityKeys()); }, KeyStoreError::keychain(-EACCES)},
        {Op::copy, -25308, [&] { keys.load(); }, KeyStoreError::keychain(-25308)},
        {Op::copy, 0, [&] { keys.load(); }, KeyStoreError::invalidData()},
        {Op::remove, -5, [&] { keys.remove(); }, KeyStoreError::keychain(-5)},
    };
    for (const auto& [operation, status, call, error] : rows) {
        const auto adds = keychain->count(Op::add);
        keychain->failWith(operation, status);
        expectError(call, error);
        keychain->clear(operation);
        // An update that fails is final: no add is tried.
        EXPECT_TRUE(operation != Op::update || keychain->count(Op::add) == adds);
    }
    EXPECT_EQ(peers.peer(fingerprint), record(1, "old"));
    EXPECT_FALSE(peers.peer(record(2).fingerprint));
    EXPECT_EQ(keys.load(), stored);
    keychain->answerWithoutData(Op::copyAll);
    EXPECT_TRUE(peers.all().empty());
    keychain->clear(Op::copyAll);

    // With no item yet, the key store's add is tried and its failure reported.
    keys.remove();
    keychain->failWith(Op::add, -25299);
    expectError([&] { keys.save(stored); }, KeyStoreError::keychain(-25299));
    keychain->clear(Op::add);
    // Added by someone else between our update and add: the update is retried.
    keychain->items().add("peers", hexString(record(3).fingerprint), toBytes(record(3, "theirs").encode()));
    keychain->failWith(Op::update, KeychainStatus::itemNotFound, 1);
    const auto updates = keychain->count(Op::update);
    peers.save(record(3, "ours"));
    EXPECT_EQ(keychain->count(Op::update), updates + 2);
    EXPECT_EQ(peers.peer(record(3).fingerprint), record(3, "ours"));
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
