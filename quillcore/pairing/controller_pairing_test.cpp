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
    std::unique_ptr<ExchangeRun<ControllerPairing>> exchange(FrameChannelPtr channel,
                                                             std::optional<PairingLink> link = std::nullopt) {
        return runExchange(*pairing, channel, [p = pairing.get(), link](FrameChannel& ch) {
            return link ? p->startLink(*link, "Desk (scanned)", ch) : p->startComparison(ch);
        });
    }

    // Plays the host up to the controller's PairNonce, committed to `hostNonce`.
    void commit(FrameChannel& channel, const Bytes& hostNonce) {
        EXPECT_TRUE(read(channel)->is<PairStart>());
        send(channel, PairCommit(host.signingPublicKey(), host.agreementPublicKey(), "Desk",
                                 commitDigest(controller.fingerprint(), host.fingerprint(), hostNonce)));
        auto nonce = read(channel);
        ASSERT_TRUE(nonce && nonce->is<PairNonce>());
        controllerNonce = nonce->get<PairNonce>()->nonce;
    }
    // Plays the host up to the controller's wait for its user; what the host then signs.
    Bytes reachDecision(FrameChannel& channel) {
        commit(channel, hostNonce);
        send(channel, PairReveal(hostNonce));
        EXPECT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
        return pairAcceptTranscript(controller.fingerprint(), host.fingerprint(), controllerNonce, hostNonce);
    }
    PairAccept accept(PeerPermissions permissions = PeerPermissions::defaults()) {
        const Bytes t = pairAcceptTranscript(controller.fingerprint(), host.fingerprint(), controllerNonce, hostNonce);
        return PairAccept(permissions, hostNonce, host.sign(t), std::nullopt, std::nullopt);
    }

    // Answers a scanned link's PairRequest as `signer`, granting `permissions`.
    void answerRequest(FrameChannel& ch, const DeviceIdentity& signer, bool withAgreementKey,
                       PeerPermissions permissions = PeerPermissions::defaults()) {
        auto req = read(ch);
        ASSERT_TRUE(req && req->is<PairRequest>());
        const Bytes& nonce = req->get<PairRequest>()->nonce;
        const Bytes t = pairAcceptTranscript(controller.fingerprint(), signer.fingerprint(), nonce, hostNonce);
        std::optional<Bytes> agreement;
        if (withAgreementKey) agreement = signer.agreementPublicKey();
        send(ch, PairAccept(permissions, hostNonce, signer.sign(t), signer.signingPublicKey(), agreement));
    }

    PairingLink linkOf(const DeviceIdentity& identity) {
        return PairingLink(0, identity.deviceID(), identity.fingerprint(), crypto::randomBytes16(), {}, std::nullopt);
    }

    Loopback loopback;
    DeviceIdentity host = newIdentity();
    DeviceIdentity controller = newIdentity();
    Bytes hostNonce = crypto::randomBytes(32);
    Bytes controllerNonce;
    std::shared_ptr<FlakyPeerStore> store = std::make_shared<FlakyPeerStore>();
    std::unique_ptr<ControllerPairing> pairing = std::make_unique<ControllerPairing>(controller, store, "Ana's iPad");
};

TEST_F(ControllerPairingTest, WhileTheUserDecidesAnEarlyAcceptIsHeldAndNewStartsAreRefused) {
    auto pair = connectPair(loopback);
    auto run = exchange(pair.controller);
    const Bytes transcript = reachDecision(*pair.host);

    auto second = connectPair(loopback);
    EXPECT_EQ(pairingErrorOf([&] { pairing->startComparison(*second.controller); }),
              PairingError(Kind::alreadyInProgress));
    EXPECT_EQ(pairingErrorOf([&] { pairing->startLink(linkOf(host), "x", *second.controller); }),
              PairingError(Kind::alreadyInProgress));
    EXPECT_FALSE(second.host->nextFrame(0.1)) << "nothing goes out on the refused channel";

    const PeerPermissions granted{true, false, true, true, true};
    send(*pair.host, accept(granted));
    EXPECT_FALSE(pair.host->nextFrame(0.1)) << "no confirm before the user answers";
    pairing->confirmComparison();
    auto confirm = read(*pair.host);
    ASSERT_TRUE(confirm && confirm->is<PairConfirm>());
    const Bytes& signature = confirm->get<PairConfirm>()->signature;
    EXPECT_TRUE(DeviceIdentity::verify(signature, transcript, controller.signingPublicKey()));

    const PeerRecord record = run->get();
    EXPECT_EQ(record.fingerprint, host.fingerprint());
    EXPECT_EQ(record.agreementPublicKey, host.agreementPublicKey());
    EXPECT_EQ(record.name, "Desk");
    EXPECT_EQ(record.permissions, granted);
    EXPECT_EQ(store->peer(host.fingerprint()), record);
    EXPECT_FALSE(pairing->comparisonCode());
    EXPECT_FALSE(pairing->isAwaitingConfirmation());
}

// Every refusal cancels on the channel, clears the exchange and saves nothing.
TEST_F(ControllerPairingTest, Refusals) {
    using T = ControllerPairingTest;
    PairingLink editedID = linkOf(host), longSecret = linkOf(host);
    std::string& digits = editedID.deviceID.digits;
    std::swap(digits[0], digits[1]);
    if (digits == host.deviceID().digits) digits[0] = digits[0] == '9' ? '0' : static_cast<char>(digits[0] + 1);
    longSecret.secret.push_back(0);
    auto afterStart = [](std::string text) {
        return [text](T&, FrameChannel& ch) {
            ASSERT_TRUE(read(ch)->is<PairStart>());
            ch.send(toBytes(text));
        };
    };
    auto afterDecision = [](PairingMessage m) {
        return [m](T& t, FrameChannel& ch) {
            t.reachDecision(ch);
            send(ch, m);
        };
    };
    auto reveal = [](std::size_t size) {
        return [size](T& t, FrameChannel& ch) {
            t.commit(ch, Bytes(size, 1));
            send(ch, PairReveal(Bytes(size, size == 32 ? 2 : 1)));
        };
    };
    const struct {
        const char* name;
        std::optional<PairingLink> link;  // none for a comparison
        std::function<void(T&, FrameChannel&)> hostSide;
        PairingError expected;
    } cases[] = {
        {"a short commitment", {},
         afterStart(PairingMessage(PairCommit(host.signingPublicKey(), host.agreementPublicKey(), "Desk", Bytes(31)))
                        .encode()),
         PairingError(Kind::invalidKeyMaterial)},
        {"a cancel for a commitment", {}, afterStart(PairingMessage(PairCancel("busy")).encode()),
         PairingError::remoteCancelled("busy")},
        {"an unknown message", {}, afterStart(R"({"type":"PairHello"})"),
         PairingError::invalidMessage("Unknown pairing type PairHello")},
        {"a reveal that does not open the commitment", {}, reveal(32), PairingError(Kind::commitMismatch)},
        {"a short reveal", {}, reveal(31), PairingError(Kind::invalidKeyMaterial)},
        {"an accept with another nonce", {},
         [](T& t, FrameChannel& ch) {
             t.reachDecision(ch);
             PairAccept a = t.accept();
             a.nonce = crypto::randomBytes(32);
             send(ch, a);
             t.pairing->confirmComparison();
         },
         PairingError(Kind::commitMismatch)},
        {"an accept signed by another key", {},
         [](T& t, FrameChannel& ch) {
             const Bytes transcript = t.reachDecision(ch);
             t.pairing->confirmComparison();
             PairAccept a = t.accept();
             a.signature = newIdentity().sign(transcript);
             a.hostSigningPub = newIdentity().signingPublicKey();  // ignored: the committed key counts
             send(ch, a);
         },
         PairingError(Kind::invalidSignature)},
        {"a reveal during the wait", {}, afterDecision(PairReveal(Bytes(32))),
         PairingError::unexpectedMessage("PairAccept or PairCancel", "other")},
        {"a cancel during the wait", {}, afterDecision(PairCancel("the host user said no")),
         PairingError::remoteCancelled("the host user said no")},
        {"the user says no", {},
         [](T& t, FrameChannel& ch) {
             t.reachDecision(ch);
             t.pairing->rejectComparison();
         },
         PairingError(Kind::cancelled)},
        {"the store fails", {},
         [](T& t, FrameChannel& ch) {
             t.store->failing = true;
             t.reachDecision(ch);
             t.pairing->confirmComparison();
             send(ch, t.accept());
             ASSERT_TRUE(read(ch)->is<PairConfirm>());
         },
         PairingError::storeFailure("disk is full")},
        {"a link answer without the agreement key", linkOf(host),
         [](T& t, FrameChannel& ch) { t.answerRequest(ch, t.host, false); }, PairingError(Kind::invalidKeyMaterial)},
        {"a link answer from another host", linkOf(host),
         [](T& t, FrameChannel& ch) { t.answerRequest(ch, newIdentity(), true); },
         PairingError(Kind::peerIdentityMismatch)},
        // Refusals of the link itself come before any PairRequest.
        {"an edited device ID", editedID, {}, PairingError(Kind::invalidLink)},
        {"a secret of the wrong size", longSecret, {}, PairingError(Kind::invalidLink)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store->failing = false;
        auto pair = connectPair(loopback);
        auto run = exchange(pair.controller, c.link);
        if (c.hostSide) c.hostSide(*this, *pair.host);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), c.expected);
        expectCancel(*pair.host, c.link ? "QR pairing failed" : "pairing failed");
        EXPECT_FALSE(pairing->comparisonCode());
        EXPECT_FALSE(pairing->isAwaitingConfirmation());
        EXPECT_TRUE(store->all().empty());
    }
}

// Replies that need no user on the host side are waited for only so long; the host's accept
// and its answer to a scanned link wait for its user, without a limit.
TEST_F(ControllerPairingTest, ReadLimits) {
    pairing = std::make_unique<ControllerPairing>(controller, store, "Ana's iPad", 0.3);
    for (bool afterNonce : {false, true}) {
        SCOPED_TRACE(afterNonce ? "no reveal" : "no commitment");
        auto pair = connectPair(loopback);
        auto run = exchange(pair.controller);
        if (afterNonce) {
            commit(*pair.host, hostNonce);
        } else {
            ASSERT_TRUE(read(*pair.host)->is<PairStart>());
        }
        ASSERT_TRUE(run->finishedWithin(5000ms));
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::connectionClosed));
        expectCancel(*pair.host, "pairing failed");
    }

    auto pair = connectPair(loopback);
    auto run = exchange(pair.controller);
    reachDecision(*pair.host);
    pairing->confirmComparison();
    EXPECT_FALSE(run->finishedWithin(600ms));
    send(*pair.host, accept());
    ASSERT_TRUE(read(*pair.host)->is<PairConfirm>());
    EXPECT_EQ(run->get().fingerprint, host.fingerprint());

    // The record takes the name given with the link and the permissions the host granted.
    const PeerPermissions granted{true, true, false, false, true};
    auto linkPair = connectPair(loopback);
    auto linkRun = exchange(linkPair.controller, linkOf(host));
    EXPECT_FALSE(linkRun->finishedWithin(600ms));
    answerRequest(*linkPair.host, host, true, granted);
    ASSERT_TRUE(read(*linkPair.host)->is<PairConfirm>());
    const PeerRecord record = linkRun->get();
    EXPECT_EQ(record.fingerprint, host.fingerprint());
    EXPECT_EQ(record.name, "Desk (scanned)");
    EXPECT_EQ(record.permissions, granted);
    EXPECT_EQ(store->peer(host.fingerprint()), record);
}

}  // namespace
}  // namespace quill
