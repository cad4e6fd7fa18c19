#include "quillcore/pairing/controller_pairing.h"

#include "quillcore/pairing/pairing_test_support.h"

namespace quill {
namespace {

using namespace pairing_test;
using namespace std::chrono_literals;
using Kind = PairingError::Kind;

// The host's side is played by hand so that it can misbehave.
class ControllerPairingTest : public ::testing::Test {
public:
    std::unique_ptr<ExchangeRun<ControllerPairing>> comparison(FrameChannelPtr channel) {
        return runExchange(*pairing, channel, [p = pairing.get()](FrameChannel& ch) { return p->startComparison(ch); });
    }
    std::unique_ptr<ExchangeRun<ControllerPairing>> linkExchange(const PairingLink& link, FrameChannelPtr channel) {
        return runExchange(*pairing, channel,
                           [p = pairing.get(), link](FrameChannel& ch) { return p->startLink(link, "Desk (scanned)", ch); });
    }

    struct Exchange {
        Bytes hostNonce;
        Bytes transcript;
    };

    // Plays the host up to the controller's wait for its user. `commit` replaces the commitment.
    Exchange reachDecision(FrameChannel& channel, std::optional<Bytes> commit = std::nullopt) {
        Exchange e{crypto::randomBytes(32), {}};
        EXPECT_TRUE(read(channel)->is<PairStart>());
        send(channel, PairCommit(host.signingPublicKey(), host.agreementPublicKey(), "Desk",
                                 commit.value_or(commitDigest(controller.fingerprint(), host.fingerprint(), e.hostNonce))));
        auto nonce = read(channel);
        EXPECT_TRUE(nonce && nonce->is<PairNonce>());
        if (!nonce || !nonce->is<PairNonce>()) return e;
        send(channel, PairReveal(e.hostNonce));
        e.transcript = pairAcceptTranscript(controller.fingerprint(), host.fingerprint(), nonce->get<PairNonce>()->nonce,
                                            e.hostNonce);
        EXPECT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
        return e;
    }

    PairAccept accept(const Exchange& e, PeerPermissions permissions = PeerPermissions::defaults()) {
        return PairAccept(permissions, e.hostNonce, host.sign(e.transcript), std::nullopt, std::nullopt);
    }

    // Answers a scanned link's PairRequest as `signer`, granting `permissions`.
    void answerRequest(FrameChannel& ch, const DeviceIdentity& signer, bool withAgreementKey,
                       PeerPermissions permissions = PeerPermissions::defaults()) {
        auto req = read(ch);
        ASSERT_TRUE(req && req->is<PairRequest>());
        Bytes nonce = crypto::randomBytes(32);
        Bytes t = pairAcceptTranscript(controller.fingerprint(), signer.fingerprint(), req->get<PairRequest>()->nonce, nonce);
        std::optional<Bytes> agreement;
        if (withAgreementKey) agreement = signer.agreementPublicKey();
        send(ch, PairAccept(permissions, nonce, signer.sign(t), signer.signingPublicKey(), agreement));
    }

    PairingLink linkOf(const DeviceIdentity& identity) {
        return PairingLink(0, identity.deviceID(), identity.fingerprint(), crypto::randomBytes16(), {}, std::nullopt);
    }

    Loopback loopback;
    DeviceIdentity host = newIdentity();
    DeviceIdentity controller = newIdentity();
    std::shared_ptr<FlakyPeerStore> store = std::make_shared<FlakyPeerStore>();
    std::unique_ptr<ControllerPairing> pairing = std::make_unique<ControllerPairing>(controller, store, "Ana's iPad");
};

TEST_F(ControllerPairingTest, WhileTheUserDecidesAnEarlyAcceptIsHeldAndNewStartsAreRefused) {
    auto pair = connectPair(loopback);
    auto run = comparison(pair.controller);
    Exchange e = reachDecision(*pair.host);

    auto second = connectPair(loopback);
    EXPECT_EQ(pairingErrorOf([&] { pairing->startComparison(*second.controller); }),
              PairingError(Kind::alreadyInProgress));
    EXPECT_EQ(pairingErrorOf([&] { pairing->startLink(linkOf(host), "x", *second.controller); }),
              PairingError(Kind::alreadyInProgress));
    EXPECT_FALSE(second.host->nextFrame(0.1)) << "nothing goes out on the refused channel";

    PeerPermissions granted{true, false, true, true, true};
    send(*pair.host, accept(e, granted));
    EXPECT_FALSE(pair.host->nextFrame(0.1)) << "no confirm before the user answers";
    pairing->confirmComparison();
    auto confirm = read(*pair.host);
    ASSERT_TRUE(confirm && confirm->is<PairConfirm>());
    EXPECT_TRUE(DeviceIdentity::verify(confirm->get<PairConfirm>()->signature, e.transcript, controller.signingPublicKey()));

    PeerRecord record = run->get();
    EXPECT_EQ(record.fingerprint, host.fingerprint());
    EXPECT_EQ(record.agreementPublicKey, host.agreementPublicKey());
    EXPECT_EQ(record.name, "Desk");
    EXPECT_EQ(record.permissions, granted);
    EXPECT_EQ(store->peer(host.fingerprint()), record);
    EXPECT_FALSE(pairing->comparisonCode());
    EXPECT_FALSE(pairing->isAwaitingConfirmation());
}

TEST_F(ControllerPairingTest, ComparisonRefusals) {
    const struct {
        const char* name;
        std::function<void(ControllerPairingTest&, FrameChannel&)> hostSide;
        PairingError expected;
    } cases[] = {
        {"short commitment",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             ASSERT_TRUE(read(ch)->is<PairStart>());
             send(ch, PairCommit(t.host.signingPublicKey(), t.host.agreementPublicKey(), "Desk", Bytes(31)));
         },
         PairingError(Kind::invalidKeyMaterial)},
        {"accept with another nonce",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             PairAccept a = t.accept(t.reachDecision(ch));
             a.nonce = crypto::randomBytes(32);
             send(ch, a);
             t.pairing->confirmComparison();
         },
         PairingError(Kind::commitMismatch)},
        {"accept signed by another key",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             Exchange e = t.reachDecision(ch);
             t.pairing->confirmComparison();
             PairAccept a = t.accept(e);
             a.signature = newIdentity().sign(e.transcript);
             a.hostSigningPub = newIdentity().signingPublicKey();  // ignored: the committed key counts
             send(ch, a);
         },
         PairingError(Kind::invalidSignature)},
        {"reveal during the wait",
         [](ControllerPairingTest& t, FrameChannel& ch) { send(ch, PairReveal(t.reachDecision(ch).hostNonce)); },
         PairingError::unexpectedMessage("PairAccept or PairCancel", "other")},
        {"store fails",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             t.store->failing = true;
             Exchange e = t.reachDecision(ch);
             t.pairing->confirmComparison();
             send(ch, t.accept(e));
             ASSERT_TRUE(read(ch)->is<PairConfirm>());
         },
         PairingError::storeFailure(DecodingError(DecodingError::Kind::dataCorrupted, "", "disk is full").description())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store->failing = false;
        auto pair = connectPair(loopback);
        auto run = comparison(pair.controller);
        c.hostSide(*this, *pair.host);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), c.expected);
        expectCancel(*pair.host, "pairing failed");
        EXPECT_FALSE(pairing->comparisonCode());
        EXPECT_FALSE(pairing->isAwaitingConfirmation());
        EXPECT_TRUE(store->all().empty());
    }
}

TEST_F(ControllerPairingTest, SilentHostFreesPairingAfterTheReadLimit) {
    // Replies that need no user on the host side are waited for only so long.
    pairing = std::make_unique<ControllerPairing>(controller, store, "Ana's iPad", 0.3);
    for (bool afterNonce : {false, true}) {
        SCOPED_TRACE(afterNonce ? "no reveal" : "no commitment");
        auto pair = connectPair(loopback);
        auto run = comparison(pair.controller);
        ASSERT_TRUE(read(*pair.host)->is<PairStart>());
        if (afterNonce) {
            send(*pair.host, PairCommit(host.signingPublicKey(), host.agreementPublicKey(), "Desk",
                                        commitDigest(controller.fingerprint(), host.fingerprint(), Bytes(32, 1))));
            ASSERT_TRUE(read(*pair.host)->is<PairNonce>());
        }
        ASSERT_TRUE(run->finishedWithin(5000ms));
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::connectionClosed));
        expectCancel(*pair.host, "pairing failed");
    }

    // The host's accept waits for its user: that read has no limit.
    auto pair = connectPair(loopback);
    auto run = comparison(pair.controller);
    Exchange e = reachDecision(*pair.host);
    pairing->confirmComparison();
    EXPECT_FALSE(run->finishedWithin(600ms));
    send(*pair.host, accept(e));
    ASSERT_TRUE(read(*pair.host)->is<PairConfirm>());
    EXPECT_EQ(run->get().fingerprint, host.fingerprint());

    // So does the answer to a scanned link's request.
    auto linkPair = connectPair(loopback);
    auto linkRun = linkExchange(linkOf(host), linkPair.controller);
    EXPECT_FALSE(linkRun->finishedWithin(600ms));
    answerRequest(*linkPair.host, host, true);
    ASSERT_TRUE(read(*linkPair.host)->is<PairConfirm>());
    EXPECT_EQ(linkRun->get().fingerprint, host.fingerprint());
}

TEST_F(ControllerPairingTest, LinkPairingChecksTheLinkAndTheHostsKeys) {
    PairingLink editedID = linkOf(host), longSecret = linkOf(host);
    std::string& digits = editedID.deviceID.digits;
    std::swap(digits[0], digits[1]);
    if (digits == host.deviceID().digits) digits[0] = digits[0] == '9' ? '0' : static_cast<char>(digits[0] + 1);
    longSecret.secret.push_back(0);
    const struct {
        const char* name;
        PairingLink link;
        bool answered;  // refusals of the link itself come before any PairRequest
        PairingError expected;
    } cases[] = {
        {"accept without the agreement key", linkOf(host), true, PairingError(Kind::invalidKeyMaterial)},
        {"edited device ID", editedID, false, PairingError(Kind::invalidLink)},
        {"secret of the wrong size", longSecret, false, PairingError(Kind::invalidLink)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto pair = connectPair(loopback);
        auto run = linkExchange(c.link, pair.controller);
        if (c.answered) answerRequest(*pair.host, host, false);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), c.expected);
        expectCancel(*pair.host, "QR pairing failed");
    }
    EXPECT_TRUE(store->all().empty());

    // The record takes the name given with the link and the permissions the host granted.
    PeerPermissions granted{true, true, false, false, true};
    auto pair = connectPair(loopback);
    auto run = linkExchange(linkOf(host), pair.controller);
    answerRequest(*pair.host, host, true, granted);
    ASSERT_TRUE(read(*pair.host)->is<PairConfirm>());
    PeerRecord record = run->get();
    EXPECT_EQ(record.name, "Desk (scanned)");
    EXPECT_EQ(record.permissions, granted);
    EXPECT_EQ(store->all(), std::vector<PeerRecord>{record});
}

}  // namespace
}  // namespace quill
