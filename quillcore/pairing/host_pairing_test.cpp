#include "quillcore/pairing/host_pairing.h"

#include <latch>

#include "quillcore/pairing/pairing_test_support.h"

namespace quill {
namespace {

using namespace pairing_test;
using namespace std::chrono_literals;
using Kind = PairingError::Kind;

using HostRun = ExchangeRun<HostPairing>;

class HostPairingTest : public ::testing::Test {
public:
    struct Revealed {
        Bytes controllerNonce;
        Bytes hostNonce;
    };

    std::unique_ptr<HostRun> comparison(FrameChannelPtr channel) {
        return runExchange(*pairing, channel, [p = pairing.get()](FrameChannel& ch) { return p->acceptComparison(ch); });
    }
    std::unique_ptr<HostRun> linkExchange(FrameChannelPtr channel, SystemTime now) {
        return runExchange(*pairing, channel,
                           [p = pairing.get(), now](FrameChannel& ch) { return p->acceptLink(ch, now); });
    }

    PairStart start() { return PairStart(controller.signingPublicKey(), controller.agreementPublicKey(), "Ana's iPad"); }

    // Plays the controller up to the host's wait for its user; checks the commitment.
    Revealed reachDecision(FrameChannel& channel) {
        send(channel, start());
        auto commit = read(channel);
        EXPECT_TRUE(commit && commit->is<PairCommit>());
        if (!commit || !commit->is<PairCommit>()) return {};
        const PairCommit c = *commit->get<PairCommit>();
        EXPECT_EQ(c.hostSigningPub, hostIdentity.signingPublicKey());
        EXPECT_EQ(c.hostName, "Desk");
        Revealed r{crypto::randomBytes(32), {}};
        send(channel, PairNonce(r.controllerNonce));
        auto reveal = read(channel);
        EXPECT_TRUE(reveal && reveal->is<PairReveal>());
        if (!reveal || !reveal->is<PairReveal>()) return r;
        r.hostNonce = reveal->get<PairReveal>()->nonce;
        EXPECT_EQ(commitDigest(controller.fingerprint(), hostIdentity.fingerprint(), r.hostNonce), c.commit);
        EXPECT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
        return r;
    }

    Bytes transcript(const Revealed& r) {
        return pairAcceptTranscript(controller.fingerprint(), hostIdentity.fingerprint(), r.controllerNonce, r.hostNonce);
    }

    PairRequest request(const PairingLink& link, Bytes nonce = crypto::randomBytes(32)) {
        Bytes mac = crypto::hmacSha256(link.secret, pairRequestTranscript(controller.fingerprint(), link.fingerprint, nonce));
        return PairRequest(controller.signingPublicKey(), controller.agreementPublicKey(), "Ana's iPad", nonce, mac);
    }

    // Completes a QR exchange from the controller's side after the host's approval.
    void finishLink(FrameChannel& channel, const PairRequest& sent) {
        auto accept = read(channel);
        ASSERT_TRUE(accept && accept->is<PairAccept>());
        const PairAccept& a = *accept->get<PairAccept>();
        Bytes t = pairAcceptTranscript(controller.fingerprint(), hostIdentity.fingerprint(), sent.nonce, a.nonce);
        EXPECT_TRUE(DeviceIdentity::verify(a.signature, t, hostIdentity.signingPublicKey()));
        send(channel, PairConfirm(controller.sign(t)));
    }

    void expectIdleAndNothingSaved() {
        EXPECT_FALSE(pairing->isAwaitingConfirmation());
        EXPECT_FALSE(pairing->comparisonCode());
        EXPECT_TRUE(store->all().empty());
    }

    Loopback loopback;
    DeviceIdentity hostIdentity = newIdentity();
    DeviceIdentity controller = newIdentity();
    std::shared_ptr<FlakyPeerStore> store = std::make_shared<FlakyPeerStore>();
    std::unique_ptr<HostPairing> pairing = std::make_unique<HostPairing>(hostIdentity, store, "Desk", 5.0);
    SystemTime t0 = SystemTime(1'800'000'000s);
};

TEST_F(HostPairingTest, ComparisonSavesTheControllerAfterConfirmation) {
    auto pair = connectPair(loopback);
    auto run = comparison(pair.host);
    Revealed r = reachDecision(*pair.controller);

    auto code = pairing->comparisonCode();
    ASSERT_TRUE(code);
    EXPECT_EQ(code->value,
              comparisonCodeValue(controller.fingerprint(), hostIdentity.fingerprint(), r.controllerNonce, r.hostNonce));
    // Nothing goes out while the host user decides.
    EXPECT_FALSE(pair.controller->nextFrame(0.1));

    pairing->confirmComparison();
    auto accept = read(*pair.controller);
    ASSERT_TRUE(accept && accept->is<PairAccept>());
    const PairAccept& a = *accept->get<PairAccept>();
    EXPECT_EQ(a.nonce, r.hostNonce);
    EXPECT_EQ(a.permissions, PeerPermissions::defaults());
    EXPECT_EQ(a.hostAgreementPub, hostIdentity.agreementPublicKey());
    EXPECT_TRUE(DeviceIdentity::verify(a.signature, transcript(r), hostIdentity.signingPublicKey()));
    send(*pair.controller, PairConfirm(controller.sign(transcript(r))));

    PeerRecord record = run->get();
    EXPECT_EQ(record.fingerprint, controller.fingerprint());
    EXPECT_EQ(record.signingPublicKey, controller.signingPublicKey());
    EXPECT_EQ(record.name, "Ana's iPad");
    EXPECT_EQ(record.os, "");
    EXPECT_EQ(record.permissions, PeerPermissions::defaults());
    EXPECT_EQ(store->peer(controller.fingerprint()), record);
    EXPECT_FALSE(pairing->isAwaitingConfirmation());
    EXPECT_FALSE(pairing->comparisonCode());
}

TEST_F(HostPairingTest, ComparisonFailuresCancelAndSaveNothing) {
    struct Case {
        const char* name;
        std::function<void(HostPairingTest&, FrameChannel&)> controllerSide;
        PairingError expected;
    };
    std::vector<Case> cases = {
        {"confirm before the decision",
         [](HostPairingTest& t, FrameChannel& ch) {
             Revealed r = t.reachDecision(ch);
             send(ch, PairConfirm(t.controller.sign(t.transcript(r))));
         },
         PairingError::unexpectedMessage("PairCancel", "other")},
        {"controller cancels while the user decides",
         [](HostPairingTest& t, FrameChannel& ch) {
             t.reachDecision(ch);
             send(ch, PairCancel("x"));
         },
         PairingError::remoteCancelled("x")},
        {"host user rejects",
         [](HostPairingTest& t, FrameChannel& ch) {
             t.reachDecision(ch);
             t.pairing->rejectComparison();
         },
         PairingError(Kind::cancelled)},
        {"bad controller signature",
         [](HostPairingTest& t, FrameChannel& ch) {
             Revealed r = t.reachDecision(ch);
             t.pairing->confirmComparison();
             ASSERT_TRUE(read(ch)->is<PairAccept>());
             r.hostNonce[0] ^= 1;  // signs other bytes than the host did
             send(ch, PairConfirm(t.controller.sign(t.transcript(r))));
         },
         PairingError(Kind::invalidSignature)},
        {"wrong final message",
         [](HostPairingTest& t, FrameChannel& ch) {
             t.reachDecision(ch);
             t.pairing->confirmComparison();
             ASSERT_TRUE(read(ch)->is<PairAccept>());
             send(ch, PairNonce(Bytes(32)));
         },
         PairingError::unexpectedMessage("PairConfirm", "other")},
        {"store fails",
         [](HostPairingTest& t, FrameChannel& ch) {
             t.store->failing = true;
             Revealed r = t.reachDecision(ch);
             t.pairing->confirmComparison();
             ASSERT_TRUE(read(ch)->is<PairAccept>());
             send(ch, PairConfirm(t.controller.sign(t.transcript(r))));
         },
         PairingError::storeFailure(DecodingError(DecodingError::Kind::dataCorrupted, "", "disk is full").description())},
        {"request instead of start",
         [](HostPairingTest&, FrameChannel& ch) { send(ch, PairNonce(Bytes(32))); },
         PairingError::unexpectedMessage("PairStart", "other")},
        {"undecodable frame", [](HostPairingTest&, FrameChannel& ch) { ch.send(toBytes("{\"type\":\"Pair")); },
         PairingError::invalidMessage("The given data was not valid JSON.")},
        {"invalid signing key",
         [](HostPairingTest& t, FrameChannel& ch) {
             send(ch, PairStart(Bytes(32, 0xFF), t.controller.agreementPublicKey(), "x"));
         },
         PairingError(Kind::invalidKeyMaterial)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        store->failing = false;
        auto pair = connectPair(loopback);
        auto run = comparison(pair.host);
        c.controllerSide(*this, *pair.controller);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), c.expected);
        expectCancel(*pair.controller, "pairing failed");
        expectIdleAndNothingSaved();
    }
}

TEST_F(HostPairingTest, ShortControllerNonceIsRefusedBeforeTheReveal) {
    for (std::size_t size : {31u, 33u}) {
        auto pair = connectPair(loopback);
        auto run = comparison(pair.host);
        send(*pair.controller, start());
        ASSERT_TRUE(read(*pair.controller)->is<PairCommit>());
        send(*pair.controller, PairNonce(Bytes(size, 7)));
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::invalidKeyMaterial));
        // The next thing the controller sees is the cancel: the host nonce never went out.
        expectCancel(*pair.controller, "pairing failed");
    }
}

TEST_F(HostPairingTest, DecisionsAreTakenOnlyFromTheRunningExchange) {
    // A reject while idle does not leak into the next exchange.
    pairing->rejectComparison();
    {
        auto pair = connectPair(loopback);
        auto run = comparison(pair.host);
        Revealed r = reachDecision(*pair.controller);
        EXPECT_FALSE(run->finishedWithin(100ms));
        pairing->confirmComparison();
        ASSERT_TRUE(read(*pair.controller)->is<PairAccept>());
        send(*pair.controller, PairConfirm(controller.sign(transcript(r))));
        EXPECT_NO_THROW(run->get());
    }
    // A reject given during the exchange but before its wait is taken at once.
    {
        auto pair = connectPair(loopback);
        auto run = comparison(pair.host);
        send(*pair.controller, start());
        ASSERT_TRUE(read(*pair.controller)->is<PairCommit>());
        pairing->rejectComparison();
        send(*pair.controller, PairNonce(crypto::randomBytes(32)));
        ASSERT_TRUE(read(*pair.controller)->is<PairReveal>());
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::cancelled));
    }
}

TEST_F(HostPairingTest, SecondExchangeWhileOneWaitsIsRefusedAtOnce) {
    pairing->issueLink({}, t0);
    auto first = connectPair(loopback);
    auto run = comparison(first.host);
    Revealed r = reachDecision(*first.controller);

    auto second = connectPair(loopback);
    EXPECT_EQ(pairingErrorOf([&] { pairing->acceptLink(*second.host, t0); }), PairingError(Kind::alreadyInProgress));
    EXPECT_EQ(pairingErrorOf([&] { pairing->acceptComparison(*second.host); }), PairingError(Kind::alreadyInProgress));
    EXPECT_FALSE(second.controller->nextFrame(0.1)) << "nothing is sent on the refused channel";
    EXPECT_TRUE(pairing->activeLink()) << "the refused request did not touch the link";

    // The waiting exchange is undisturbed.
    EXPECT_TRUE(pairing->isAwaitingConfirmation());
    pairing->confirmComparison();
    ASSERT_TRUE(read(*first.controller)->is<PairAccept>());
    send(*first.controller, PairConfirm(controller.sign(transcript(r))));
    EXPECT_EQ(run->get().fingerprint, controller.fingerprint());
}

TEST_F(HostPairingTest, SilentOrHalfSentControllerFreesPairingAfterTheReadLimit) {
    pairing = std::make_unique<HostPairing>(hostIdentity, store, "Desk", 0.3);
    Bytes startFrame = frame::encode(toBytes(PairingMessage(start()).encode()));
    Bytes halfBody = frame::encode(Bytes(100, 'x'));
    halfBody.resize(frame::kHeaderSize + 10);
    const std::vector<std::pair<const char*, Bytes>> stalls = {
        {"silent after PairStart", startFrame},
        {"half a frame after PairStart", [&] { Bytes b = startFrame; append(b, halfBody); return b; }()},
        {"half a header", Bytes{0, 0}},
    };
    for (const auto& [name, bytes] : stalls) {
        SCOPED_TRACE(name);
        auto raw = net::TcpConnection::connectLocal(loopback.port());
        raw->start();
        std::promise<void> written;
        raw->send(bytes, [&](std::optional<std::string>) { written.set_value(); });
        written.get_future().wait();
        auto host = loopback.accept();
        ASSERT_TRUE(host);
        auto began = std::chrono::steady_clock::now();
        auto run = comparison(host);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::connectionClosed));
        EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
        raw->cancel();
    }
    // The next controller pairs normally, and the host user may take longer than the limit.
    auto pair = connectPair(loopback);
    auto run = comparison(pair.host);
    Revealed r = reachDecision(*pair.controller);
    std::this_thread::sleep_for(600ms);
    pairing->confirmComparison();
    ASSERT_TRUE(read(*pair.controller)->is<PairAccept>());
    send(*pair.controller, PairConfirm(controller.sign(transcript(r))));
    EXPECT_EQ(run->get().name, "Ana's iPad");
}

TEST_F(HostPairingTest, LinkExpiresAtItsLifetime) {
    PairingLink link = pairing->issueLink({"127.0.0.1:1"}, t0);
    {
        auto pair = connectPair(loopback);
        auto run = linkExchange(pair.host, t0 + 300s);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::expiredSecret));
        expectCancel(*pair.controller, "QR pairing failed");
        EXPECT_FALSE(pairing->activeLink());
    }
    {
        auto pair = connectPair(loopback);
        auto run = linkExchange(pair.host, t0 + 301s);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::noActiveSecret));
    }
    link = pairing->issueLink({}, t0);
    auto pair = connectPair(loopback);
    auto run = linkExchange(pair.host, t0 + 299'900ms);
    PairRequest sent = request(link);
    send(*pair.controller, sent);
    ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
    EXPECT_FALSE(pairing->comparisonCode()) << "a QR request shows no code";
    EXPECT_FALSE(pair.controller->nextFrame(0.1)) << "no PairAccept before approval";
    pairing->confirmComparison();
    finishLink(*pair.controller, sent);
    PeerRecord record = run->get();
    EXPECT_EQ(record.permissions, PeerPermissions::defaults());
    EXPECT_EQ(store->peer(controller.fingerprint()), record);
}

TEST_F(HostPairingTest, WrongMacLeavesTheLinkUsable) {
    PairingLink link = pairing->issueLink({}, t0);
    std::vector<Bytes> badMacs;
    PairRequest good = request(link);
    badMacs.push_back(Bytes(good.mac.begin(), good.mac.end() - 1));
    Bytes longer = good.mac;
    longer.push_back(0);
    badMacs.push_back(longer);
    Bytes flipped = good.mac;
    flipped[5] ^= 0x20;
    badMacs.push_back(flipped);
    for (const Bytes& mac : badMacs) {
        auto pair = connectPair(loopback);
        auto run = linkExchange(pair.host, t0);
        PairRequest bad = good;
        bad.mac = mac;
        send(*pair.controller, bad);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::invalidMAC));
        expectCancel(*pair.controller, "QR pairing failed");
        EXPECT_EQ(pairing->activeLink(), link);
    }
    auto pair = connectPair(loopback);
    auto run = linkExchange(pair.host, t0 + 10s);
    send(*pair.controller, good);
    ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
    pairing->confirmComparison();
    finishLink(*pair.controller, good);
    EXPECT_NO_THROW(run->get());
}

TEST_F(HostPairingTest, VerifiedRequestSpendsTheSecretEvenWhenRejected) {
    PairingLink link = pairing->issueLink({}, t0);
    {
        auto pair = connectPair(loopback);
        auto run = linkExchange(pair.host, t0);
        send(*pair.controller, request(link));
        ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
        EXPECT_FALSE(pairing->activeLink()) << "spent before the user is asked";
        pairing->rejectComparison();
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::cancelled));
        expectCancel(*pair.controller, "QR pairing failed");
    }
    {
        auto pair = connectPair(loopback);
        auto run = linkExchange(pair.host, t0);
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::burnedSecret));
    }
    pairing->issueLink({}, t0 + 1s);
    auto pair = connectPair(loopback);
    auto run = linkExchange(pair.host, t0 + 2s);
    send(*pair.controller, request(link));  // the old code
    EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::invalidMAC));
    EXPECT_TRUE(store->all().empty());
}

TEST_F(HostPairingTest, LinkIssuedWhileTheRequestIsReadStaysCurrent) {
    PairingLink shown = pairing->issueLink({}, t0);
    auto pair = connectPair(loopback);
    auto run = linkExchange(pair.host, t0);
    std::this_thread::sleep_for(300ms);  // the exchange has taken the link and waits for the request
    PairingLink renewed = pairing->issueLink({}, t0 + 1s);

    PairRequest sent = request(shown);  // scanned before the renewal
    send(*pair.controller, sent);
    ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
    EXPECT_EQ(pairing->activeLink(), renewed);
    pairing->confirmComparison();
    finishLink(*pair.controller, sent);
    EXPECT_NO_THROW(run->get());

    // The renewed code still pairs another controller.
    controller = newIdentity();
    auto next = connectPair(loopback);
    auto nextRun = linkExchange(next.host, t0 + 2s);
    PairRequest second = request(renewed);
    send(*next.controller, second);
    ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
    pairing->confirmComparison();
    finishLink(*next.controller, second);
    EXPECT_EQ(nextRun->get().fingerprint, controller.fingerprint());
    EXPECT_EQ(store->all().size(), 2u);
}

TEST_F(HostPairingTest, LinkExchangeNeedsAVerifiedConfirm) {
    PairingLink link = pairing->issueLink({}, t0);
    auto pair = connectPair(loopback);
    auto run = linkExchange(pair.host, t0);
    send(*pair.controller, request(link));
    ASSERT_TRUE(eventually([&] { return pairing->isAwaitingConfirmation(); }));
    pairing->confirmComparison();
    ASSERT_TRUE(read(*pair.controller)->is<PairAccept>());
    send(*pair.controller, PairNonce(Bytes(32)));
    EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::invalidSignature));
    expectIdleAndNothingSaved();
}

TEST_F(HostPairingTest, CurrentOrNewLinkRenewsAtTheLifetime) {
    EXPECT_FALSE(pairing->activeLink());
    PairingLink first = pairing->currentOrNewLink({"a"}, t0);
    EXPECT_EQ(pairing->currentOrNewLink({"b"}, t0 + 299'900ms), first);
    PairingLink renewed = pairing->currentOrNewLink({"b"}, t0 + 300s);
    EXPECT_NE(renewed.secret, first.secret);
    EXPECT_EQ(renewed.endpoints, std::vector<std::string>{"b"});
    EXPECT_EQ(renewed.deviceID, hostIdentity.deviceID());
    EXPECT_EQ(pairing->activeLink(), renewed);
}

TEST_F(HostPairingTest, ConcurrentRenewalsAgreeOnOneLink) {
    // Callers that find the link expired at the same moment must all get the link that is
    // now current: a caller handed a link that another call already replaced would show a
    // code that can never pair.
    for (int round = 0; round < 50; ++round) {
        pairing->issueLink({}, t0);
        constexpr int kCallers = 6;
        std::latch go(kCallers);
        std::vector<std::future<PairingLink>> results;
        for (int i = 0; i < kCallers; ++i)
            results.push_back(std::async(std::launch::async, [&] {
                go.arrive_and_wait();
                return pairing->currentOrNewLink({}, t0 + 300s);
            }));
        auto current = pairing->activeLink();
        ASSERT_TRUE(current);
        for (auto& result : results) {
            PairingLink link = result.get();
            current = pairing->activeLink();
            ASSERT_EQ(link, *current) << "round " << round;
        }
    }
}

}  // namespace
}  // namespace quill
