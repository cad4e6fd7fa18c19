#include "quillcore/pairing/controller_pairing.h"

#include "quillcore/pairing/pairing_test_support.h"

namespace quill {
namespace {

using namespace pairing_test;
using namespace std::chrono_literals;
using Kind = PairingError::Kind;

using ControllerRun = ExchangeRun<ControllerPairing>;

// The host's side is played by hand so that it can misbehave.
class ControllerPairingTest : public ::testing::Test {
public:
    std::unique_ptr<ControllerRun> comparison(FrameChannelPtr channel) {
        return runExchange(*pairing, channel,
                           [p = pairing.get()](FrameChannel& ch) { return p->startComparison(ch); });
    }
    std::unique_ptr<ControllerRun> linkExchange(const PairingLink& link, FrameChannelPtr channel) {
        return runExchange(*pairing, channel,
                           [p = pairing.get(), link](FrameChannel& ch) { return p->startLink(link, "Desk (scanned)", ch); });
    }

    struct Exchange {
        Bytes controllerNonce;
        Bytes hostNonce;
        Bytes transcript;
    };

    // Plays the host up to the controller's wait for its user. `commitOverride` replaces the
    // commitment the host sends.
    Exchange reachDecision(FrameChannel& channel, std::optional<Bytes> commitOverride = std::nullopt) {
        Exchange e;
        auto startMsg = read(channel);
        EXPECT_TRUE(startMsg && startMsg->is<PairStart>());
        e.hostNonce = crypto::randomBytes(32);
        Bytes commit = commitOverride.value_or(commitDigest(controller.fingerprint(), host.fingerprint(), e.hostNonce));
        send(channel, PairCommit(host.signingPublicKey(), host.agreementPublicKey(), "Desk", commit));
        auto nonce = read(channel);
        EXPECT_TRUE(nonce && nonce->is<PairNonce>());
        if (!nonce || !nonce->is<PairNonce>()) return e;
        e.controllerNonce = nonce->get<PairNonce>()->nonce;
        send(channel, PairReveal(e.hostNonce));
        e.transcript = pairAcceptTranscript(controller.fingerprint(), host.fingerprint(), e.controllerNonce, e.hostNonce);
        return e;
    }

    PairAccept accept(const Exchange& e, PeerPermissions permissions = PeerPermissions::defaults()) {
        return PairAccept(permissions, e.hostNonce, host.sign(e.transcript), std::nullopt, std::nullopt);
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

TEST_F(ControllerPairingTest, EarlyAcceptIsHeldUntilTheUserConfirms) {
    auto pair = connectPair(loopback);
    auto run = comparison(pair.controller);
    Exchange e = reachDecision(*pair.host);
    ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
    EXPECT_EQ(pairing->comparisonCode()->value,
              comparisonCodeValue(controller.fingerprint(), host.fingerprint(), e.controllerNonce, e.hostNonce));

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
    EXPECT_EQ(record.os, "");
    EXPECT_EQ(record.permissions, granted);
    EXPECT_EQ(store->peer(host.fingerprint()), record);
    EXPECT_FALSE(pairing->comparisonCode());
    EXPECT_FALSE(pairing->isAwaitingConfirmation());
}

TEST_F(ControllerPairingTest, ComparisonRefusals) {
    struct Case {
        const char* name;
        std::function<void(ControllerPairingTest&, FrameChannel&)> hostSide;
        PairingError expected;
    };
    std::vector<Case> cases = {
        {"short commitment",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             ASSERT_TRUE(read(ch)->is<PairStart>());
             send(ch, PairCommit(t.host.signingPublicKey(), t.host.agreementPublicKey(), "Desk", Bytes(31)));
         },
         PairingError(Kind::invalidKeyMaterial)},
        {"commitment that the reveal does not open",
         [](ControllerPairingTest& t, FrameChannel& ch) { t.reachDecision(ch, crypto::randomBytes(32)); },
         PairingError(Kind::commitMismatch)},
        {"accept with another nonce",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             Exchange e = t.reachDecision(ch);
             PairAccept a = t.accept(e);
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
        {"host cancels while the user decides",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             t.reachDecision(ch);
             ASSERT_TRUE(eventually([&] { return t.pairing->isAwaitingConfirmation(); }));
             send(ch, PairCancel("x"));
         },
         PairingError::remoteCancelled("x")},
        {"user rejects",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             t.reachDecision(ch);
             ASSERT_TRUE(eventually([&] { return t.pairing->isAwaitingConfirmation(); }));
             t.pairing->rejectComparison();
         },
         PairingError(Kind::cancelled)},
        {"reveal during the wait",
         [](ControllerPairingTest& t, FrameChannel& ch) {
             Exchange e = t.reachDecision(ch);
             send(ch, PairReveal(e.hostNonce));
         },
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
    for (auto& c : cases) {
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

TEST_F(ControllerPairingTest, SecondStartIsRefusedWithoutSending) {
    auto first = connectPair(loopback);
    auto run = comparison(first.controller);
    Exchange e = reachDecision(*first.host);
    ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));

    auto second = connectPair(loopback);
    EXPECT_EQ(pairingErrorOf([&] { pairing->startComparison(*second.controller); }),
              PairingError(Kind::alreadyInProgress));
    EXPECT_EQ(pairingErrorOf([&] { pairing->startLink(linkOf(host), "x", *second.controller); }),
              PairingError(Kind::alreadyInProgress));
    EXPECT_FALSE(second.host->nextFrame(0.1));

    pairing->confirmComparison();
    send(*first.host, accept(e));
    ASSERT_TRUE(read(*first.host)->is<PairConfirm>());
    EXPECT_EQ(run->get().fingerprint, host.fingerprint());
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
    ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
    pairing->confirmComparison();
    EXPECT_FALSE(run->finishedWithin(600ms));
    send(*pair.host, accept(e));
    ASSERT_TRUE(read(*pair.host)->is<PairConfirm>());
    EXPECT_EQ(run->get().fingerprint, host.fingerprint());

    // So does the answer to a scanned link's request.
    PairingLink link = linkOf(host);
    auto linkPair = connectPair(loopback);
    auto linkRun = linkExchange(link, linkPair.controller);
    auto req = read(*linkPair.host);
    ASSERT_TRUE(req && req->is<PairRequest>());
    EXPECT_FALSE(linkRun->finishedWithin(600ms));
    Bytes nonce = crypto::randomBytes(32);
    Bytes t = pairAcceptTranscript(controller.fingerprint(), host.fingerprint(), req->get<PairRequest>()->nonce, nonce);
    send(*linkPair.host, PairAccept(PeerPermissions::defaults(), nonce, host.sign(t), host.signingPublicKey(),
                                    host.agreementPublicKey()));
    ASSERT_TRUE(read(*linkPair.host)->is<PairConfirm>());
    EXPECT_EQ(linkRun->get().fingerprint, host.fingerprint());
}

TEST_F(ControllerPairingTest, LinkPairingChecksTheHostAgainstTheLink) {
    auto answer = [&](FrameChannel& ch, const DeviceIdentity& signer, bool withAgreementKey) {
        auto req = read(ch);
        EXPECT_TRUE(req && req->is<PairRequest>());
        if (!req || !req->is<PairRequest>()) return;
        const PairRequest& r = *req->get<PairRequest>();
        Bytes nonce = crypto::randomBytes(32);
        Bytes t = pairAcceptTranscript(controller.fingerprint(), signer.fingerprint(), r.nonce, nonce);
        std::optional<Bytes> agreement;
        if (withAgreementKey) agreement = signer.agreementPublicKey();
        send(ch, PairAccept(PeerPermissions{true, true, false, false, true}, nonce, signer.sign(t),
                            signer.signingPublicKey(), agreement));
    };

    {
        SCOPED_TRACE("missing agreement key");
        auto pair = connectPair(loopback);
        auto run = linkExchange(linkOf(host), pair.controller);
        answer(*pair.host, host, false);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::invalidKeyMaterial));
        expectCancel(*pair.host, "QR pairing failed");
    }
    {
        SCOPED_TRACE("well signed by another device");
        auto pair = connectPair(loopback);
        auto run = linkExchange(linkOf(host), pair.controller);
        answer(*pair.host, newIdentity(), true);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::peerIdentityMismatch));
        expectCancel(*pair.host, "QR pairing failed");
    }
    {
        SCOPED_TRACE("edited device ID");
        PairingLink edited = linkOf(host);
        std::string digits = edited.deviceID.digits;
        std::swap(digits[0], digits[1]);
        if (digits == edited.deviceID.digits) digits[0] = digits[0] == '9' ? '0' : static_cast<char>(digits[0] + 1);
        edited.deviceID = DeviceID(digits);
        auto pair = connectPair(loopback);
        auto run = linkExchange(edited, pair.controller);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::invalidLink));
        expectCancel(*pair.host, "QR pairing failed");  // and no PairRequest before it
    }
    {
        SCOPED_TRACE("secret of the wrong size");
        PairingLink bad = linkOf(host);
        bad.secret.push_back(0);
        auto pair = connectPair(loopback);
        auto run = linkExchange(bad, pair.controller);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::invalidLink));
        expectCancel(*pair.host, "QR pairing failed");
    }
    EXPECT_TRUE(store->all().empty());

    // The MAC proves the secret; the record takes the given name and the granted permissions.
    PairingLink link = linkOf(host);
    auto pair = connectPair(loopback);
    auto run = linkExchange(link, pair.controller);
    auto req = read(*pair.host);
    ASSERT_TRUE(req && req->is<PairRequest>());
    const PairRequest r = *req->get<PairRequest>();
    EXPECT_EQ(r.controllerName, "Ana's iPad");
    EXPECT_EQ(r.mac, crypto::hmacSha256(link.secret, pairRequestTranscript(controller.fingerprint(), host.fingerprint(), r.nonce)));
    Bytes nonce = crypto::randomBytes(32);
    Bytes t = pairAcceptTranscript(controller.fingerprint(), host.fingerprint(), r.nonce, nonce);
    PeerPermissions granted{true, true, false, false, true};
    send(*pair.host, PairAccept(granted, nonce, host.sign(t), host.signingPublicKey(), host.agreementPublicKey()));
    auto confirm = read(*pair.host);
    ASSERT_TRUE(confirm && confirm->is<PairConfirm>());
    EXPECT_TRUE(DeviceIdentity::verify(confirm->get<PairConfirm>()->signature, t, controller.signingPublicKey()));
    PeerRecord record = run->get();
    EXPECT_EQ(record.name, "Desk (scanned)");
    EXPECT_EQ(record.permissions, granted);
    EXPECT_EQ(store->all(), std::vector<PeerRecord>{record});
}

}  // namespace
}  // namespace quill
