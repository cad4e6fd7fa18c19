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

class EnvelopeReceiverTest : public ::testing::Test {
protected:
    const DeviceIdentity host = makeIdentity(10);
    const DeviceIdentity controller = makeIdentity(20);
    const DeviceIdentity stranger = makeIdentity(30);
    const std::shared_ptr<PeerStore> store = std::make_shared<InMemoryPeerStore>(std::vector{recordOf(controller)});
    EnvelopeReceiver receiver{host, store};
    const SignallingMessage offer = Offer("s-1", "v=0\r\n", SessionMode::control, {"h264"});

    Bytes id(std::uint8_t fill) const { return Bytes(16, fill); }

    Envelope sealed(Bytes identifier, std::int64_t tsMillis = kT0) const {
        return EnvelopeSealer::seal(offer, controller, recordOf(host), atMillis(tsMillis), std::move(identifier));
    }

    // Opens `envelope` at `at` and checks it is refused with exactly `expected`.
    void expectRefused(const Envelope& envelope, SystemTime at, const EnvelopeError& expected) {
        try {
            receiver.open(envelope, at);
            ADD_FAILURE() << "opened; expected " << expected.description();
        } catch (const EnvelopeError& error) {
            EXPECT_EQ(error, expected) << error.description() << " instead of " << expected.description();
        }
    }

    // Spends `identifier` at kT0 with a valid envelope.
    void accept(const Bytes& identifier) { ASSERT_NO_THROW(receiver.open(sealed(identifier), atMillis(kT0))); }
};

TEST_F(EnvelopeReceiverTest, OpensAnEnvelopeFromAPairedPeer) {
    const Envelope envelope = sealed(id(1));
    const OpenedEnvelope opened = receiver.open(Envelope::decode(envelope.encode()), atMillis(kT0 + 500));
    EXPECT_EQ(opened.envelope, envelope);
    EXPECT_EQ(opened.message, offer);
    EXPECT_EQ(opened.sender, recordOf(controller));

    // And the other way round, at the controller.
    EnvelopeReceiver atController(controller, std::make_shared<InMemoryPeerStore>(std::vector{recordOf(host)}));
    const SignallingMessage answer = Answer("s-1", "v=0\r\n", {});
    const Envelope reply = EnvelopeSealer::seal(answer, host, recordOf(controller), atMillis(kT0));
    EXPECT_EQ(atController.open(reply, atMillis(kT0)).message, answer);
}

// Each refusal below is built to pass every earlier check, fail its own, and fail as many of
// the later checks as it can, so a check that goes missing or moves changes the error.

TEST_F(EnvelopeReceiverTest, VersionIsCheckedFirst) {
    Envelope envelope = sealed(id(1), kT0 + 3'600'000);
    envelope.v = 1;
    envelope.to.resize(31);
    envelope.id.resize(15);
    envelope.from = stranger.fingerprint();
    envelope.sig[0] ^= 1;
    expectRefused(envelope, atMillis(kT0), EnvelopeError::unsupportedVersion(1));
    envelope.v = -7;
    expectRefused(envelope, atMillis(kT0), EnvelopeError::unsupportedVersion(-7));
    EXPECT_EQ(receiver.seenCount(), 0u);
}

TEST_F(EnvelopeReceiverTest, RecipientIsCheckedAfterVersion) {
    Envelope envelope = sealed(id(1), kT0 + 3'600'000);
    envelope.id.resize(17);
    envelope.from = stranger.fingerprint();
    envelope.sig[0] ^= 1;
    envelope.to.resize(31);  // a prefix of this device's fingerprint
    expectRefused(envelope, atMillis(kT0), EnvelopeError::wrongRecipient());
    envelope.to = stranger.fingerprint();
    expectRefused(envelope, atMillis(kT0), EnvelopeError::wrongRecipient());
    envelope.to = host.fingerprint();
    envelope.to.push_back(0);
    expectRefused(envelope, atMillis(kT0), EnvelopeError::wrongRecipient());
}

TEST_F(EnvelopeReceiverTest, IdentifierLengthIsCheckedBeforeTheSenderIsLookedUp) {
    for (std::size_t length : {0u, 15u, 17u}) {
        SCOPED_TRACE(length);
        Envelope envelope = sealed(Bytes(length, 7), kT0 + 3'600'000);
        envelope.from = stranger.fingerprint();
        envelope.sig[0] ^= 1;
        expectRefused(envelope, atMillis(kT0), EnvelopeError::invalidIdentifier());
    }
    // Not even a failing store is asked.
    EnvelopeReceiver withBrokenStore(host, std::make_shared<ThrowingPeerStore>());
    EXPECT_THROW(withBrokenStore.open(sealed(Bytes(15, 7)), atMillis(kT0)), EnvelopeError);
}

TEST_F(EnvelopeReceiverTest, UnknownSenderAndStoreFailuresComeBeforeFreshness) {
    Envelope envelope = EnvelopeSealer::seal(offer, stranger, recordOf(host), atMillis(kT0 + 3'600'000), id(1));
    envelope.sig[0] ^= 1;
    expectRefused(envelope, atMillis(kT0), EnvelopeError::unknownSender());

    EnvelopeReceiver withBrokenStore(host, std::make_shared<ThrowingPeerStore>());
    try {
        withBrokenStore.open(envelope, atMillis(kT0));
        ADD_FAILURE();
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error, KeyStoreError::keychain(-25308));
    }
}

TEST_F(EnvelopeReceiverTest, ASenderNameNoFileCanHoldIsAnUnknownSender) {
    // Over the file-backed keychain, a sender fingerprint too long for an item name is simply not
    // paired: the envelope is refused as from an unknown sender, not as a keychain failure.
    testing::TempFolder folder;
    auto fileStore = std::make_shared<KeychainPeerStore>(std::make_shared<FileKeychain>(folder.path()),
                                                         std::string(KeychainPeerStore::defaultService));
    fileStore->save(recordOf(controller));
    EnvelopeReceiver overFiles(host, fileStore);
    EXPECT_EQ(overFiles.open(sealed(id(1)), atMillis(kT0)).sender, recordOf(controller));

    Envelope envelope = sealed(id(2));
    envelope.from = Bytes(300, 0xAB);
    try {
        overFiles.open(envelope, atMillis(kT0));
        ADD_FAILURE();
    } catch (const EnvelopeError& error) {
        EXPECT_EQ(error, EnvelopeError::unknownSender());
    }
}

TEST_F(EnvelopeReceiverTest, FreshnessComesBeforeSignatureAndReplay) {
    accept(id(1));
    for (std::int64_t offset : {-60'001, 60'001, 1'000'000'000}) {
        SCOPED_TRACE(offset);
        Envelope envelope = sealed(id(1), kT0 + offset);  // identifier already spent
        envelope.sig[0] ^= 1;
        expectRefused(envelope, atMillis(kT0), EnvelopeError::staleTimestamp());
    }
    // A time stamp at INT64_MIN or INT64_MAX cannot overflow the window arithmetic.
    Envelope extreme = sealed(id(2));
    extreme.ts = INT64_MIN;
    expectRefused(resigned(extreme, controller), atMillis(kT0), EnvelopeError::staleTimestamp());
    extreme.ts = INT64_MAX;
    expectRefused(resigned(extreme, controller), atMillis(kT0), EnvelopeError::staleTimestamp());
}

TEST_F(EnvelopeReceiverTest, FreshnessWindowIncludesBothBounds) {
    EXPECT_NO_THROW(receiver.open(sealed(id(1), kT0 - 60'000), atMillis(kT0)));
    EXPECT_NO_THROW(receiver.open(sealed(id(2), kT0 + 60'000), atMillis(kT0)));
    // Opening time rounds like a time stamp: 0.5 ms past kT0 counts as kT0 + 1.
    expectRefused(sealed(id(3), kT0 - 60'000), atNanos(kT0 * 1'000'000 + 500'000), EnvelopeError::staleTimestamp());
    EXPECT_NO_THROW(receiver.open(sealed(id(4), kT0 - 60'000), atNanos(kT0 * 1'000'000 + 499'999)));
}

TEST_F(EnvelopeReceiverTest, SignatureComesBeforeReplayAndTouchesNoRecords) {
    accept(id(1));
    ASSERT_EQ(receiver.seenCount(), 1u);
    const SystemTime later = atMillis(kT0 + 130'000);  // the entry above is due for pruning

    Envelope forged = sealed(id(1), kT0 + 130'000);
    forged.sig = stranger.sign(forged.signedBytes());
    expectRefused(forged, later, EnvelopeError::invalidSignature());
    Envelope altered = sealed(id(1), kT0 + 130'000);
    altered.ct.back() ^= 1;
    expectRefused(altered, later, EnvelopeError::invalidSignature());
    Envelope truncated = sealed(id(1), kT0 + 130'000);
    truncated.sig.pop_back();
    expectRefused(truncated, later, EnvelopeError::invalidSignature());
    EXPECT_EQ(receiver.seenCount(), 1u);  // neither recorded nor pruned

    // A stored signing key that is not a key gives the same refusal.
    PeerRecord broken = recordOf(controller);
    broken.signingPublicKey.resize(31);
    EnvelopeReceiver withBrokenRecord(host, std::make_shared<InMemoryPeerStore>(std::vector{broken}));
    try {
        withBrokenRecord.open(sealed(id(2)), atMillis(kT0));
        ADD_FAILURE();
    } catch (const EnvelopeError& error) {
        EXPECT_EQ(error, EnvelopeError::invalidSignature());
    }
}

TEST_F(EnvelopeReceiverTest, ReplayComesBeforeDecryption) {
    accept(id(1));
    // Correctly addressed and signed, but sealed to another key and holding no message.
    const Envelope envelope =
        sealRaw(toBytes("not json"), controller, host.fingerprint(), stranger.agreementPublicKey(), kT0, id(1));
    expectRefused(envelope, atMillis(kT0 + 1000), EnvelopeError::replayed());
    // Still remembered at exactly two minutes, where the envelope below is still fresh.
    expectRefused(sealed(id(1), kT0 + 60'000), atMillis(kT0 + 120'000), EnvelopeError::replayed());
}

TEST_F(EnvelopeReceiverTest, DecryptionFailureSpendsTheIdentifier) {
    const Envelope toOtherKey =
        sealRaw(toBytes("not json"), controller, host.fingerprint(), stranger.agreementPublicKey(), kT0, id(1));
    expectRefused(toOtherKey, atMillis(kT0), EnvelopeError::decryptionFailed());
    expectRefused(toOtherKey, atMillis(kT0), EnvelopeError::replayed());

    Envelope badEnc = sealed(id(2));
    badEnc.enc.resize(31);
    expectRefused(resigned(badEnc, controller), atMillis(kT0), EnvelopeError::decryptionFailed());
    Envelope zeroEnc = sealed(id(3));
    zeroEnc.enc = Bytes(32, 0);
    expectRefused(resigned(zeroEnc, controller), atMillis(kT0), EnvelopeError::decryptionFailed());
    Envelope shortCt = sealed(id(4));
    shortCt.ct.resize(3);
    expectRefused(resigned(shortCt, controller), atMillis(kT0), EnvelopeError::decryptionFailed());
}

TEST_F(EnvelopeReceiverTest, PayloadIsCheckedLast) {
    for (const char* payload : {R"({"type":"Nope"})", R"({"type":"Bye","session_id":"s"})", "not json", ""}) {
        SCOPED_TRACE(payload);
        const Bytes identifier = crypto::randomBytes16();
        const Envelope envelope =
            sealRaw(toBytes(payload), controller, host.fingerprint(), host.agreementPublicKey(), kT0, identifier);
        expectRefused(envelope, atMillis(kT0), EnvelopeError::invalidPayload());
        expectRefused(envelope, atMillis(kT0), EnvelopeError::replayed());
    }
}

TEST_F(EnvelopeReceiverTest, ReplayRecordsArePerReceiver) {
    const Envelope envelope = sealed(id(1));
    EXPECT_NO_THROW(receiver.open(envelope, atMillis(kT0)));
    expectRefused(envelope, atMillis(kT0 + 10), EnvelopeError::replayed());
    EnvelopeReceiver second(host, store);
    EXPECT_NO_THROW(second.open(envelope, atMillis(kT0 + 10)));
}

TEST_F(EnvelopeReceiverTest, ReplayWindowIsTwoMinutesInWholeMilliseconds) {
    const Bytes identifier = id(9);
    receiver.checkReplay(identifier, atMillis(kT0));
    EXPECT_THROW(receiver.checkReplay(identifier, atMillis(kT0 + 60'000)), EnvelopeError);
    EXPECT_THROW(receiver.checkReplay(identifier, atMillis(kT0 + 120'000)), EnvelopeError);
    // One millisecond later the old entry is pruned and the identifier is new again.
    EXPECT_NO_THROW(receiver.checkReplay(identifier, atMillis(kT0 + 120'001)));
    EXPECT_EQ(receiver.seenCount(), 1u);

    receiver.checkReplay(id(8), atMillis(kT0 + 200'000));
    receiver.checkReplay(id(7), atMillis(kT0 + 240'002));
    EXPECT_EQ(receiver.seenCount(), 2u);  // the entry from kT0 + 120'001 is gone
}

// An envelope stamped at the far edge of the freshness window stays fresh until exactly 120 s of
// rounded milliseconds after it was accepted. Its replay record must last as long, even when the
// two openings fall on different sides of a whole millisecond.
TEST_F(EnvelopeReceiverTest, NoSecondAcceptanceAtTheEdgeOfTheWindow) {
    const std::int64_t firstNanos = kT0 * 1'000'000 + 400'000;  // rounds to kT0
    const Envelope envelope = sealed(id(5), kT0 + 60'000);
    ASSERT_NO_THROW(receiver.open(envelope, atNanos(firstNanos)));

    // 120.00005 s later: still rounds to kT0 + 120'000, so the envelope is still fresh.
    const std::int64_t againNanos = firstNanos + 120'000'050'000;
    ASSERT_EQ(Envelope::timestamp(atNanos(againNanos)), kT0 + 120'000);
    expectRefused(envelope, atNanos(againNanos), EnvelopeError::replayed());
    // From the next rounded millisecond on it is stale.
    expectRefused(envelope, atNanos(firstNanos + 120'000'100'000), EnvelopeError::staleTimestamp());
}

TEST_F(EnvelopeReceiverTest, ConcurrentCopiesOpenExactlyOnce) {
    const Envelope envelope = sealed(id(6));
    std::atomic<int> opened{0};
    std::atomic<int> replays{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&] {
            try {
                receiver.open(envelope, atMillis(kT0));
                ++opened;
            } catch (const EnvelopeError& error) {
                if (error == EnvelopeError::replayed()) ++replays;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(opened.load(), 1);
    EXPECT_EQ(replays.load(), 15);
}

}  // namespace
}  // namespace quill
