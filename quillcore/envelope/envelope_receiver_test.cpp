#include "quillcore/envelope/envelope_receiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"

namespace quill {
namespace {

using testing::atMillis;
using testing::atNanos;
using testing::makeIdentity;
using testing::recordOf;
using testing::resigned;
using testing::sealRaw;

constexpr std::int64_t kT0 = 1700000000000;  // ms

class ThrowingPeerStore final : public PeerStore {
public:
    void save(const PeerRecord&) override {}
    std::vector<PeerRecord> all() const override { return {}; }
    std::optional<PeerRecord> peer(ByteView) const override { throw KeyStoreError::keychain(-25308); }
    void remove(ByteView) override {}
};

template <class E, class F>
void expectThrown(F&& f, const E& expected) {
    try {
        f();
        ADD_FAILURE() << "no error; expected " << expected.description();
    } catch (const E& error) {
        EXPECT_EQ(error, expected) << error.description() << " instead of " << expected.description();
    }
}

class EnvelopeReceiverTest : public ::testing::Test {
protected:
    const DeviceIdentity host = makeIdentity(10);
    const DeviceIdentity controller = makeIdentity(20);
    const DeviceIdentity stranger = makeIdentity(30);
    const std::shared_ptr<PeerStore> store = std::make_shared<InMemoryPeerStore>(std::vector{recordOf(controller)});
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
        expectThrown([&] { receiver.open(envelope, at); }, expected);
    }
};

TEST_F(EnvelopeReceiverTest, OpensAnEnvelopeFromAPairedPeerBothWays) {
    const Envelope envelope = sealed(id(1));
    const OpenedEnvelope opened = receiver.open(Envelope::decode(envelope.encode()), atMillis(kT0 + 500));
    EXPECT_EQ(opened.envelope, envelope);
    EXPECT_EQ(opened.message, offer);
    EXPECT_EQ(opened.sender, recordOf(controller));

    EnvelopeReceiver atController(controller, std::make_shared<InMemoryPeerStore>(std::vector{recordOf(host)}));
    const SignallingMessage answer = Answer("s-1", "v=0\r\n", {});
    const Envelope reply = EnvelopeSealer::seal(answer, host, recordOf(controller), atMillis(kT0));
    EXPECT_EQ(atController.open(reply, atMillis(kT0)).message, answer);
}

// Each case passes every earlier check, fails its own and as many later ones as it can (id(1) is
// spent, the signature is broken, the time stamp stale), so a check that goes missing or moves
// changes the error. None of them may touch the replay records.
TEST_F(EnvelopeReceiverTest, EachCheckRefusesInItsTurn) {
    ASSERT_NO_THROW(receiver.open(sealed(id(1)), atMillis(kT0)));
    const std::int64_t stale = kT0 + 3'600'000;
    auto badSig = [](Envelope e) {
        e.sig[0] ^= 1;
        return e;
    };
    // Also from a stranger, with a broken signature and a spent identifier's stale time stamp.
    auto with = [&](Bytes to, Bytes identifier) {
        Envelope e = sealed(id(1), stale);
        e.to = std::move(to);
        e.id = std::move(identifier);
        e.from = stranger.fingerprint();
        return badSig(std::move(e));
    };
    Bytes hostPlusOne = host.fingerprint(), hostPrefix = host.fingerprint();
    hostPlusOne.push_back(0);
    hostPrefix.pop_back();
    Envelope v1 = with(Bytes(31, 1), Bytes(15, 1));
    v1.v = 1;
    Envelope vMinus = v1;
    vMinus.v = -7;
    Envelope minTs = sealed(id(2)), maxTs = sealed(id(2)), forged = sealed(id(1), kT0 + 130'000),
             altered = sealed(id(1), kT0 + 130'000), shortSig = sealed(id(1), kT0 + 130'000);
    minTs.ts = INT64_MIN;  // the window arithmetic must not overflow
    maxTs.ts = INT64_MAX;
    forged.sig = stranger.sign(forged.signedBytes());
    altered.ct.back() ^= 1;
    shortSig.sig.pop_back();
    const SystemTime later = atMillis(kT0 + 130'000);  // the record of id(1) is due for pruning

    struct Case {
        const char* what;
        Envelope envelope;
        SystemTime at;
        EnvelopeError expected;
    };
    const SystemTime t0 = atMillis(kT0);
    const Case cases[] = {
        {"version 1", v1, t0, EnvelopeError::unsupportedVersion(1)},
        {"version -7", vMinus, t0, EnvelopeError::unsupportedVersion(-7)},
        {"to: prefix", with(hostPrefix, Bytes(17, 1)), t0, EnvelopeError::wrongRecipient()},
        {"to: other", with(stranger.fingerprint(), Bytes(17, 1)), t0, EnvelopeError::wrongRecipient()},
        {"to: longer", with(hostPlusOne, Bytes(17, 1)), t0, EnvelopeError::wrongRecipient()},
        {"id 0", with(host.fingerprint(), {}), t0, EnvelopeError::invalidIdentifier()},
        {"id 15", with(host.fingerprint(), Bytes(15, 7)), t0, EnvelopeError::invalidIdentifier()},
        {"id 17", with(host.fingerprint(), Bytes(17, 7)), t0, EnvelopeError::invalidIdentifier()},
        {"sender", badSig(EnvelopeSealer::seal(offer, stranger, recordOf(host), atMillis(stale), id(1))), t0,
         EnvelopeError::unknownSender()},
        {"ts -60001", badSig(sealed(id(1), kT0 - 60'001)), t0, EnvelopeError::staleTimestamp()},
        {"ts +60001", badSig(sealed(id(1), kT0 + 60'001)), t0, EnvelopeError::staleTimestamp()},
        {"ts far", badSig(sealed(id(1), kT0 + 1'000'000'000)), t0, EnvelopeError::staleTimestamp()},
        {"ts min", resigned(minTs, controller), t0, EnvelopeError::staleTimestamp()},
        {"ts max", resigned(maxTs, controller), t0, EnvelopeError::staleTimestamp()},
        {"forged", forged, later, EnvelopeError::invalidSignature()},
        {"altered", altered, later, EnvelopeError::invalidSignature()},
        {"short sig", shortSig, later, EnvelopeError::invalidSignature()},
        // Sealed to another key and holding no message.
        {"replay", raw("not json", stranger.agreementPublicKey(), id(1)), atMillis(kT0 + 1000),
         EnvelopeError::replayed()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectRefused(c.envelope, c.at, c.expected);
    }
    EXPECT_EQ(receiver.seenCount(), 1u);  // neither recorded nor pruned
}

TEST_F(EnvelopeReceiverTest, PeerStoreFaultsAndBrokenRecords) {
    // The identifier length is checked before the store is asked; a failing store is passed on.
    EnvelopeReceiver withBrokenStore(host, std::make_shared<ThrowingPeerStore>());
    expectThrown([&] { withBrokenStore.open(sealed(Bytes(15, 7)), atMillis(kT0)); }, EnvelopeError::invalidIdentifier());
    expectThrown([&] { withBrokenStore.open(sealed(id(1), kT0 + 3'600'000), atMillis(kT0)); },
                 KeyStoreError::keychain(-25308));

    // A stored signing key that is not a key is a bad signature.
    PeerRecord broken = recordOf(controller);
    broken.signingPublicKey.resize(31);
    EnvelopeReceiver withBrokenRecord(host, std::make_shared<InMemoryPeerStore>(std::vector{broken}));
    expectThrown([&] { withBrokenRecord.open(sealed(id(2)), atMillis(kT0)); }, EnvelopeError::invalidSignature());

    // Over the file keychain, a sender fingerprint too long for an item name is simply not paired.
    testing::TempFolder folder;
    auto fileStore = std::make_shared<KeychainPeerStore>(std::make_shared<FileKeychain>(folder.path()),
                                                         std::string(KeychainPeerStore::defaultService));
    fileStore->save(recordOf(controller));
    EnvelopeReceiver overFiles(host, fileStore);
    EXPECT_EQ(overFiles.open(sealed(id(1)), atMillis(kT0)).sender, recordOf(controller));
    Envelope envelope = sealed(id(2));
    envelope.from = Bytes(300, 0xAB);
    expectThrown([&] { overFiles.open(envelope, atMillis(kT0)); }, EnvelopeError::unknownSender());
}

TEST_F(EnvelopeReceiverTest, DecryptionAndPayloadFailuresComeLastAndSpendTheIdentifier) {
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
        {raw("not json", host.agreementPublicKey(), id(7)), EnvelopeError::invalidPayload()},
        {raw("", host.agreementPublicKey(), id(8)), EnvelopeError::invalidPayload()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second.description());
        expectRefused(c.first, atMillis(kT0), c.second);
        expectRefused(c.first, atMillis(kT0), EnvelopeError::replayed());
    }
}

TEST_F(EnvelopeReceiverTest, ReplayRecordsLastTheWindowInWholeMillisecondsPerReceiver) {
    const Envelope envelope = sealed(id(1), kT0 + 60'000);
    ASSERT_NO_THROW(receiver.open(envelope, atMillis(kT0)));
    // Still remembered at exactly two minutes, where the envelope is still fresh.
    expectRefused(envelope, atMillis(kT0 + 120'000), EnvelopeError::replayed());
    EnvelopeReceiver second(host, store);
    EXPECT_NO_THROW(second.open(envelope, atMillis(kT0 + 10)));

    receiver.checkReplay(id(9), atMillis(kT0));
    EXPECT_THROW(receiver.checkReplay(id(9), atMillis(kT0 + 120'000)), EnvelopeError);
    // One millisecond later the old entries are pruned and the identifier is new again.
    EXPECT_NO_THROW(receiver.checkReplay(id(9), atMillis(kT0 + 120'001)));
    EXPECT_EQ(receiver.seenCount(), 1u);
    receiver.checkReplay(id(8), atMillis(kT0 + 200'000));
    receiver.checkReplay(id(7), atMillis(kT0 + 240'002));
    EXPECT_EQ(receiver.seenCount(), 2u);  // the entry from kT0 + 120'001 is gone
}

// Fresh means within 60 s either way, with the opening time rounded like a time stamp. An envelope
// stamped at the far edge stays fresh until exactly 120 s of rounded milliseconds after it was
// accepted; its replay record must last as long, even across a whole-millisecond boundary.
TEST_F(EnvelopeReceiverTest, FreshnessBoundsAndNoSecondAcceptanceAtTheEdge) {
    EXPECT_NO_THROW(receiver.open(sealed(id(1), kT0 - 60'000), atMillis(kT0)));
    EXPECT_NO_THROW(receiver.open(sealed(id(2), kT0 + 60'000), atMillis(kT0)));
    expectRefused(sealed(id(3), kT0 - 60'000), atNanos(kT0 * 1'000'000 + 500'000), EnvelopeError::staleTimestamp());
    EXPECT_NO_THROW(receiver.open(sealed(id(4), kT0 - 60'000), atNanos(kT0 * 1'000'000 + 499'999)));

    const std::int64_t firstNanos = kT0 * 1'000'000 + 400'000;  // rounds to kT0
    const Envelope envelope = sealed(id(5), kT0 + 60'000);
    ASSERT_NO_THROW(receiver.open(envelope, atNanos(firstNanos)));
    expectRefused(envelope, atNanos(firstNanos + 120'000'050'000), EnvelopeError::replayed());
    expectRefused(envelope, atNanos(firstNanos + 120'000'100'000), EnvelopeError::staleTimestamp());
}

TEST_F(EnvelopeReceiverTest, ConcurrentCopiesOpenExactlyOnce) {
    const Envelope envelope = sealed(id(6));
    std::atomic<int> opened{0}, replays{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&] {
            try {
                receiver.open(envelope, atMillis(kT0));
                ++opened;
            } catch (const EnvelopeError& error) {
                if (error == EnvelopeError::replayed()) ++replays;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(opened.load(), 1);
    EXPECT_EQ(replays.load(), 15);
}

}  // namespace
}  // namespace quill
