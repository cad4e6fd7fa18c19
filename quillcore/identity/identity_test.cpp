#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/keychain/fake_keychain.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"

using namespace quill;
using Op = FakeKeychain::Operation;

namespace {

// Checks that an operation fails with one exact identity or key store error.
template <class E, class F>
void expectError(F&& f, const E& expected) {
    try {
        f();
        ADD_FAILURE() << "no error; expected " << expected.description();
    } catch (const E& e) {
        EXPECT_EQ(e, expected) << e.description();
    }
}

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

PeerRecord record(std::uint8_t first, std::string name = "peer") {
    Bytes fingerprint(32, 0x3F);
    fingerprint[0] = first;
    return PeerRecord{fingerprint, Bytes(32, 0xFC), Bytes(32, 2), std::move(name), "iPadOS 18", 756000000.25,
                      PeerPermissions::defaults()};
}

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
    // The next run of the host, a process of its own over the same folder, is the same device.
    quill::testing::TempFolder folder;
    auto storeIn = [&folder] { return KeychainKeyStore(std::make_shared<FileKeychain>(folder.path()), "svc", "acct"); };
    int fingerprintPipe[2];
    ASSERT_EQ(::pipe(fingerprintPipe), 0);
    const pid_t firstRun = ::fork();
    if (firstRun == 0) {
        try {
            KeychainKeyStore keys = storeIn();
            const Bytes created = DeviceIdentity::loadOrCreate(keys).fingerprint();
            ::_exit(::write(fingerprintPipe[1], created.data(), created.size()) == 32 ? 0 : 1);
        } catch (...) {
            ::_exit(2);
        }
    }
    ::close(fingerprintPipe[1]);
    Bytes created(33);
    const auto got = ::read(fingerprintPipe[0], created.data(), created.size());
    ::close(fingerprintPipe[0]);
    int status = -1;
    ::waitpid(firstRun, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 32) << status;
    created.resize(32);
    KeychainKeyStore nextRun = storeIn();
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

    const std::string_view damagedItems[] = {R"({})", R"({"signingPrivateKey":"AQ=="})",
                                             R"({"signingPrivateKey":"not base64!","agreementPrivateKey":"AQ=="})",
                                             R"({"signingPrivateKey":"AQ","agreementPrivateKey":"AQ=="})",
                                             R"({"signingPrivateKey":1,"agreementPrivateKey":"AQ=="})",
                                             R"({"signingPrivateKey":null,"agreementPrivateKey":"AQ=="})",
                                             R"(["AQ==","AQ=="])", "", "not json", std::string_view("\x00\x01", 2)};
    for (std::string_view damaged : damagedItems) {
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
    for (const auto& member : object.items()) with([&](json::Json& d) { d.erase(member.key()); });
    for (const auto& member : object["permissions"].items()) {
        with([&](json::Json& d) { d["permissions"].erase(member.key()); });
        for (auto bad : {"1", "\"true\"", "null"})
            with([&](json::Json& d) { d["permissions"][member.key()] = json::parse(bad); });
    }
    const std::pair<const char*, json::Json> bad[] = {
        {"fingerprint", "+/8"}, {"fingerprint", "+_8B"}, {"fingerprint", "+/8B="}, {"fingerprint", " +/8B"},
        {"name", 5},            {"pairedAt", "86400.5"}, {"permissions", true},    {"os", nullptr}};
    for (const auto& row : bad) with([&](json::Json& d) { d[row.first] = row.second; });
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

// Lookups come from memory once the store was listed, kept current by the writes made through
// it; a listing that fails leaves every lookup to the keychain until a write tries again.
TEST(CachingPeerStore, AnswersFromMemoryKeptCurrentByItsWritesAndFallsBackWhileTheListingFails) {
    auto keychain = std::make_shared<FakeKeychain>();
    const std::string service(KeychainPeerStore::defaultService);
    auto behind = std::make_shared<KeychainPeerStore>(keychain, service);
    behind->save(record(1, "a"));
    CachingPeerStore store(behind);
    auto reads = [&] { return keychain->count(Op::copy) + keychain->count(Op::copyAll); };
    EXPECT_EQ(store.peer(record(1).fingerprint), record(1, "a"));
    const auto listed = reads();
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(store.peer(record(static_cast<std::uint8_t>(100 + i)).fingerprint));
    store.save(record(2, "b"));
    store.save(record(1, "renamed"));
    EXPECT_EQ(store.peer(record(2).fingerprint), record(2, "b"));
    EXPECT_EQ(store.peer(record(1).fingerprint), record(1, "renamed"));
    store.remove(record(2).fingerprint);
    EXPECT_FALSE(store.peer(record(2).fingerprint));
    EXPECT_EQ(reads(), listed) << "no lookup read the keychain";
    // A failed write leaves memory to be listed again, not trusted.
    keychain->failWith(Op::add, -28);
    expectError([&] { store.save(record(3)); }, KeyStoreError::keychain(-28));
    keychain->clear(Op::add);
    behind->save(record(3, "behind its back, after a failed write"));
    EXPECT_EQ(store.peer(record(3).fingerprint), record(3, "behind its back, after a failed write"));

    // A damaged item: the listing fails, lookups go to the keychain and the damage shows only
    // in its own lookup.
    ASSERT_EQ(keychain->items().add(service, hexString(record(5).fingerprint), toBytes(R"({"fingerprint":"AQ==")")), 0);
    CachingPeerStore damaged(behind);
    EXPECT_EQ(damaged.peer(record(1).fingerprint), record(1, "renamed"));
    expectError([&] { damaged.peer(record(5).fingerprint); }, KeyStoreError::invalidData());
    const auto before = keychain->count(Op::copy);
    EXPECT_FALSE(damaged.peer(record(9).fingerprint));
    EXPECT_EQ(keychain->count(Op::copy), before + 1);
    damaged.remove(record(5).fingerprint);
    EXPECT_FALSE(damaged.peer(record(9).fingerprint));
    const auto mended = reads();
    EXPECT_FALSE(damaged.peer(record(9).fingerprint));
    EXPECT_EQ(reads(), mended) << "listed again after the write";
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
