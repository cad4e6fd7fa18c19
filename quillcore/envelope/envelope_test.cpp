#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <latch>
#include <thread>

#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"

namespace quill {
namespace {

using namespace testing;

// What `f` throws as an E, or none (a test failure unless `optional`, as is any other error).
template <class E, class F>
std::optional<E> thrown(F&& f, bool optional = false) {
    try {
        f();
    } catch (const E& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "threw another error: " << other.what();
        return std::nullopt;
    }
    if (!optional) ADD_FAILURE() << "nothing thrown";
    return std::nullopt;
}

const Envelope kSample{0, {0xFB, 0xFF}, {0x00}, 1700000000123, {0x01, 0x02, 0x03}, {}, {0xFF}, {0xAB, 0xCD}};
constexpr std::int64_t kT0 = 1700000000000;  // ms

std::optional<DecodingError> decodingError(const char* key, std::optional<json::Json> value) {
    auto object = json::parse(kSample.encode());
    if (value)
        object[key] = *value;
    else
        object.erase(key);
    return thrown<DecodingError>([&] { Envelope::decode(object.dump()); });
}

TEST(Envelope, WireFormSigningInputAndSealing) {
    EXPECT_EQ(kSample.encode(),
              R"({"v":0,"to":"-_8","from":"AA","ts":1700000000123,"id":"AQID","enc":"","ct":"_w","sig":"q80"})");
    EXPECT_EQ(Envelope::decode(toBytes(kSample.encode())), kSample);
    // Padding, the standard alphabet, another order and unknown members read the same, and the
    // signing input (without the signature) is rebuilt from the values, not the received text.
    const Envelope decoded = Envelope::decode(
        R"({"sig":"q80=","ct":"/w==","enc":"","id":"AQID","ts":1700000000123,"from":"AA==","to":"+/8=","v":0,"x":[1]})");
    EXPECT_EQ(decoded, kSample);
    EXPECT_EQ(toString(decoded.signedBytes()), "0|-_8|AA|1700000000123|AQID||_w");

    // The sealer: addressed, stamped (halves away from zero, before 1970 too) and signed, the
    // message readable by a bare RFC 9180 open with the recipient's raw agreement key.
    const auto sender = makeIdentity(1), recipient = makeIdentity(3);
    const SignallingMessage message = Bye("session-1", "done");
    const Envelope e = EnvelopeSealer::seal(message, sender, recordOf(recipient), atNanos(-500000), Bytes(16, 4));
    EXPECT_EQ(e, (Envelope{0, recipient.fingerprint(), sender.fingerprint(), -1, Bytes(16, 4), e.enc, e.ct, e.sig}));
    EXPECT_TRUE(DeviceIdentity::verify(e.sig, e.signedBytes(), sender.signingPublicKey()));
    EXPECT_EQ(toString(crypto::Hpke::open(recipient.agreementPrivateKey().raw(), e.enc, {}, {}, e.ct)), message.encode());
    // Each sealing has its own identifier and ephemeral key; without a time, now is used.
    const auto before = Envelope::timestamp(std::chrono::system_clock::now());
    const Envelope a = EnvelopeSealer::seal(Wake(), sender, recordOf(recipient));
    const Envelope b = EnvelopeSealer::seal(Wake(), sender, recordOf(recipient));
    EXPECT_TRUE(a.id.size() == 16 && a.id != b.id && a.enc != b.enc);
    EXPECT_TRUE(a.ts >= before && b.ts <= Envelope::timestamp(std::chrono::system_clock::now()));
}

TEST(Envelope, DecodingRefusesMissingNullWrongAndOutOfRangeMembers) {
    using K = DecodingError::Kind;
    for (const char* key : {"v", "to", "from", "ts", "id", "enc", "ct", "sig"}) {
        EXPECT_EQ(decodingError(key, std::nullopt), DecodingError(K::keyNotFound, key, ""));
        EXPECT_EQ(decodingError(key, nullptr)->kind, K::valueNotFound) << key;
        EXPECT_EQ(decodingError(key, json::Json::array())->kind, K::typeMismatch) << key;
    }
    // The first failing member in reading order is reported.
    EXPECT_EQ(thrown<DecodingError>([] { Envelope::decode(R"({"v":0,"from":"AA"})"); })->key, "to");
    EXPECT_EQ(thrown<DecodingError>([] { Envelope::decode("[]"); })->kind, K::typeMismatch);
    // Every 64-bit time stamp is read, and nothing beyond.
    EXPECT_EQ(decodingError("ts", 9223372036854775808ULL)->kind, K::dataCorrupted);
    EXPECT_EQ(Envelope::decode(R"({"v":0,"to":"","from":"","ts":-9223372036854775808,"id":"","enc":"","ct":"","sig":""})").ts,
              INT64_MIN);
    EXPECT_EQ(decodingError("id", "AA=A"), DecodingError(K::dataCorrupted, "id", "Invalid base64url value"));
}

// The receiver over the peer store and keychain the host uses, in a folder of its own.
class EnvelopeReceiverTest : public ::testing::Test {
protected:
    const DeviceIdentity host = makeIdentity(10), controller = makeIdentity(20), stranger = makeIdentity(30),
                         unreadable = makeIdentity(40), badKey = makeIdentity(50);
    TempFolder folder;
    const std::shared_ptr<PeerStore> store = [this] {
        auto peers = std::make_shared<KeychainPeerStore>(std::make_shared<FileKeychain>(folder.path()),
                                                         std::string(KeychainPeerStore::defaultService));
        peers->save(recordOf(controller));
        PeerRecord shortKey = recordOf(badKey);
        shortKey.signingPublicKey.pop_back();
        peers->save(shortKey);
        // A folder where the record's file should be: reading it fails with EISDIR.
        std::filesystem::create_directories(folder.path() / keychainItemName(KeychainPeerStore::defaultService) /
                                            keychainItemName(hexString(unreadable.fingerprint())));
        return peers;
    }();
    EnvelopeReceiver receiver{host, store};
    const SignallingMessage offer = Offer("s-1", "v=0\r\n", SessionMode::control, {"h264"});

    static Bytes id(std::uint8_t fill) { return Bytes(16, fill); }
    Envelope sealed(Bytes identifier, std::int64_t tsMillis = kT0) const {
        return EnvelopeSealer::seal(offer, controller, recordOf(host), atMillis(tsMillis), std::move(identifier));
    }
    // Correctly addressed and signed, but holding `plaintext` sealed to `key`.
    Envelope raw(std::string_view plaintext, ByteView key, Bytes identifier) const {
        return sealRaw(toBytes(plaintext), controller, host.fingerprint(), key, kT0, std::move(identifier));
    }
    void expectRefused(const Envelope& envelope, SystemTime at, const EnvelopeError& expected) {
        EXPECT_EQ(thrown<EnvelopeError>([&] { receiver.open(envelope, at); }), expected) << expected.description();
    }
};

// Each case passes every earlier check, fails its own and as many later ones as it can (id(1) is
// spent, the signature is broken, the time stamp stale), so a check that goes missing or moves
// changes the error. None of them may touch the replay records.
TEST_F(EnvelopeReceiverTest, OpensFromAPairedPeerAndEachCheckRefusesInItsTurn) {
    const Envelope good = sealed(id(1));
    const OpenedEnvelope opened = receiver.open(Envelope::decode(good.encode()), atMillis(kT0 + 500));
    EXPECT_EQ(opened.envelope, good);
    EXPECT_EQ(opened.message, offer);
    EXPECT_EQ(opened.sender, recordOf(controller));
    const std::int64_t stale = kT0 + 3'600'000;
    auto badSig = [](Envelope e) { e.sig[0] ^= 1; return e; };
    // Also from a stranger, with a broken signature and a spent identifier's stale time stamp.
    auto with = [&](Bytes to, Bytes identifier, std::int64_t v = 0) {
        Envelope e = sealed(id(1), stale);
        e.to = std::move(to);
        e.id = std::move(identifier);
        e.from = stranger.fingerprint();
        e.v = v;
        return badSig(std::move(e));
    };
    Bytes hostPlusOne = host.fingerprint(), hostPrefix = host.fingerprint();
    hostPlusOne.push_back(0);
    hostPrefix.pop_back();
    Envelope minTs = sealed(id(2)), maxTs = sealed(id(2)), forged = sealed(id(1), kT0 + 130'000),
             altered = sealed(id(1), kT0 + 130'000), shortSig = sealed(id(1), kT0 + 130'000);
    minTs.ts = INT64_MIN;  // the window arithmetic must not overflow
    maxTs.ts = INT64_MAX;
    forged.sig = stranger.sign(forged.signedBytes());
    altered.ct.back() ^= 1;
    shortSig.sig.pop_back();
    const SystemTime t0 = atMillis(kT0), later = atMillis(kT0 + 130'000);  // when id(1) is due to expire
    auto from = [](Envelope e, Bytes sender) {
        e.from = std::move(sender);
        return e;
    };

    const struct {
        const char* what;
        Envelope envelope;
        SystemTime at;
        EnvelopeError expected;
    } cases[] = {
        {"version 1", with(Bytes(31, 1), Bytes(15, 1), 1), t0, EnvelopeError::unsupportedVersion(1)},
        {"version -7", with(Bytes(31, 1), Bytes(15, 1), -7), t0, EnvelopeError::unsupportedVersion(-7)},
        {"to: prefix", with(hostPrefix, Bytes(17, 1)), t0, EnvelopeError::wrongRecipient()},
        {"to: other", with(stranger.fingerprint(), Bytes(17, 1)), t0, EnvelopeError::wrongRecipient()},
        {"to: longer", with(hostPlusOne, Bytes(17, 1)), t0, EnvelopeError::wrongRecipient()},
        {"id 0", with(host.fingerprint(), {}), t0, EnvelopeError::invalidIdentifier()},
        {"id 15", with(host.fingerprint(), Bytes(15, 7)), t0, EnvelopeError::invalidIdentifier()},
        {"id 17", with(host.fingerprint(), Bytes(17, 7)), t0, EnvelopeError::invalidIdentifier()},
        // The store would fail: it is not asked before the identifier passed.
        {"id 15, sender unreadable", from(with(host.fingerprint(), Bytes(15, 7)), unreadable.fingerprint()), t0,
         EnvelopeError::invalidIdentifier()},
        {"sender", badSig(EnvelopeSealer::seal(offer, stranger, recordOf(host), atMillis(stale), id(1))), t0,
         EnvelopeError::unknownSender()},
        // Too long for an item's file name: no such item, not a keychain failure.
        {"sender 300 bytes", from(with(host.fingerprint(), id(1)), Bytes(300, 0xAB)), t0, EnvelopeError::unknownSender()},
        {"ts -60001", badSig(sealed(id(1), kT0 - 60'001)), t0, EnvelopeError::staleTimestamp()},
        {"ts +60001", badSig(sealed(id(1), kT0 + 60'001)), t0, EnvelopeError::staleTimestamp()},
        {"ts min", resigned(minTs, controller), t0, EnvelopeError::staleTimestamp()},
        {"ts max", resigned(maxTs, controller), t0, EnvelopeError::staleTimestamp()},
        {"forged", forged, later, EnvelopeError::invalidSignature()},
        {"altered", altered, later, EnvelopeError::invalidSignature()},
        {"short sig", shortSig, later, EnvelopeError::invalidSignature()},
        {"stored key 31 bytes", EnvelopeSealer::seal(offer, badKey, recordOf(host), atMillis(kT0 + 130'000), id(1)),
         later, EnvelopeError::invalidSignature()},
        // Sealed to another key and holding no message.
        {"replay", raw("not json", stranger.agreementPublicKey(), id(1)), atMillis(kT0 + 1000),
         EnvelopeError::replayed()},
        // A spent identifier costs no signature check: a replay flood is cheap to refuse.
        {"replay, its signature broken", badSig(sealed(id(1), kT0 + 1000)), atMillis(kT0 + 1000), EnvelopeError::replayed()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectRefused(c.envelope, c.at, c.expected);
    }
    // The store's own error comes out unchanged.
    EXPECT_EQ(thrown<KeyStoreError>([&] { receiver.open(from(sealed(id(3)), unreadable.fingerprint()), t0); }),
              KeyStoreError::keychain(-EISDIR));
    EXPECT_EQ(receiver.seenCount(), 1u);  // neither recorded nor expired
}

// Decryption and payload failures come last and spend the identifier.
TEST_F(EnvelopeReceiverTest, FailuresAfterTheChecksSpendTheIdentifier) {
    Envelope badEnc = sealed(id(2)), zeroEnc = sealed(id(3)), shortCt = sealed(id(4));
    badEnc.enc.resize(31);
    zeroEnc.enc = Bytes(32, 0);
    shortCt.ct.resize(3);
    const std::pair<Envelope, EnvelopeError> cases[] = {
        {raw("not json", stranger.agreementPublicKey(), id(1)), EnvelopeError::decryptionFailed()},
        {resigned(badEnc, controller), EnvelopeError::decryptionFailed()},
        {resigned(zeroEnc, controller), EnvelopeError::decryptionFailed()},
        {resigned(shortCt, controller), EnvelopeError::decryptionFailed()},
        {raw(R"({"type":"Nope"})", host.agreementPublicKey(), id(5)), EnvelopeError::invalidPayload()},
        {raw(R"({"type":"Bye","session_id":"s"})", host.agreementPublicKey(), id(6)), EnvelopeError::invalidPayload()},
        {raw("", host.agreementPublicKey(), id(8)), EnvelopeError::invalidPayload()},
    };
    for (const auto& [envelope, error] : cases) {
        expectRefused(envelope, atMillis(kT0), error);
        expectRefused(envelope, atMillis(kT0), EnvelopeError::replayed());
    }
}

// Fresh means within 60 s either way, with the opening time rounded like a time stamp. An envelope
// stamped at the far edge stays fresh until exactly 120 s of rounded milliseconds after it was
// accepted; its replay record must last as long, even across a whole-millisecond boundary.
TEST_F(EnvelopeReceiverTest, ReplayRecordsLastAsLongAsAnEnvelopeIsFresh) {
    EXPECT_NO_THROW(receiver.open(sealed(id(1), kT0 - 60'000), atMillis(kT0)));
    expectRefused(sealed(id(3), kT0 - 60'000), atNanos(kT0 * 1'000'000 + 500'000), EnvelopeError::staleTimestamp());
    EXPECT_NO_THROW(receiver.open(sealed(id(4), kT0 - 60'000), atNanos(kT0 * 1'000'000 + 499'999)));
    const std::int64_t firstNanos = kT0 * 1'000'000 + 400'000;  // rounds to kT0
    const Envelope envelope = sealed(id(5), kT0 + 60'000);
    ASSERT_NO_THROW(receiver.open(envelope, atNanos(firstNanos)));
    expectRefused(envelope, atNanos(firstNanos + 120'000'050'000), EnvelopeError::replayed());
    expectRefused(envelope, atNanos(firstNanos + 120'000'100'000), EnvelopeError::staleTimestamp());
    EXPECT_NO_THROW(EnvelopeReceiver(host, store).open(envelope, atMillis(kT0 + 10)));  // per receiver

    // One millisecond after the window the identifier is new again and the old ones are gone.
    EXPECT_THROW(receiver.checkReplay(id(1), atMillis(kT0 + 120'000)), EnvelopeError);
    EXPECT_NO_THROW(receiver.checkReplay(id(1), atMillis(kT0 + 120'001)));
    EXPECT_EQ(receiver.seenCount(), 1u);
    // After the clock went back, a later identifier is kept at least as long as the earlier.
    receiver.checkReplay(id(8), atMillis(kT0 + 100'000));
    EXPECT_THROW(receiver.checkReplay(id(8), atMillis(kT0 + 240'001)), EnvelopeError);
    EXPECT_NO_THROW(receiver.checkReplay(id(9), atMillis(kT0 + 240'002)));
    EXPECT_EQ(receiver.seenCount(), 1u);
}

// Copies of one envelope arriving at once (say, over several connections) open exactly once.
TEST_F(EnvelopeReceiverTest, ConcurrentCopiesOpenExactlyOnce) {
    constexpr int kThreads = 16;
    for (std::uint8_t round = 0; round < 10; ++round) {
        const Envelope envelope = sealed(id(100 + round));
        std::atomic<int> opened{0}, replayed{0};
        std::latch go(kThreads);
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&] {
                go.arrive_and_wait();
                try {
                    receiver.open(envelope, atMillis(kT0));
                    ++opened;
                } catch (const EnvelopeError& error) {
                    replayed += error == EnvelopeError::replayed();
                }
            });
        threads.clear();
        EXPECT_EQ(opened, 1) << "round " << int(round);
        EXPECT_EQ(replayed, kThreads - 1) << "round " << int(round);
    }
}

}  // namespace
}  // namespace quill
