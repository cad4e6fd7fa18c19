#include "quillcore/pairing/host_pairing.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <latch>

#include "quillcore/pairing/pairing_test_support.h"

namespace quill {
namespace {

using namespace pairing_test;
using namespace std::chrono_literals;
using Kind = PairingError::Kind;

// The controller's side is played by hand so that it can misbehave.
class HostPairingTest : public ::testing::Test {
public:
    struct Revealed {
        Bytes controllerNonce;
        Bytes hostNonce;
    };

    std::unique_ptr<ExchangeRun<HostPairing>> comparison(FrameChannelPtr channel) {
        return runExchange(*pairing, channel, [p = pairing.get()](FrameChannel& ch) { return p->acceptComparison(ch); });
    }
    std::unique_ptr<ExchangeRun<HostPairing>> linkExchange(FrameChannelPtr channel, SystemTime now) {
        return runExchange(*pairing, channel,
                           [p = pairing.get(), now](FrameChannel& ch) { return p->acceptLink(ch, now); });
    }
    bool awaitingUser() {
        return eventually([&] { return pairing->isAwaitingConfirmation(); });
    }

    // Plays the controller up to the host's wait for its user; checks the commitment opens.
    Revealed reachDecision(FrameChannel& channel) {
        send(channel, PairStart(controller.signingPublicKey(), controller.agreementPublicKey(), "Ana's iPad"));
        auto commit = read(channel);
        EXPECT_TRUE(commit && commit->is<PairCommit>());
        if (!commit || !commit->is<PairCommit>()) return {};
        return reachDecisionAfter(channel, *commit->get<PairCommit>());
    }
    // The same, from the host's commitment on.
    Revealed reachDecisionAfter(FrameChannel& channel, const PairCommit& c) {
        Revealed r{crypto::randomBytes(32), {}};
        send(channel, PairNonce(r.controllerNonce));
        auto reveal = read(channel);
        EXPECT_TRUE(reveal && reveal->is<PairReveal>());
        if (!reveal || !reveal->is<PairReveal>()) return r;
        r.hostNonce = reveal->get<PairReveal>()->nonce;
        EXPECT_EQ(commitDigest(controller.fingerprint(), hostIdentity.fingerprint(), r.hostNonce), c.commit);
        EXPECT_TRUE(awaitingUser());
        return r;
    }

    Bytes transcript(const Revealed& r) {
        return pairAcceptTranscript(controller.fingerprint(), hostIdentity.fingerprint(), r.controllerNonce, r.hostNonce);
    }
    PairConfirm confirmOf(const Revealed& r) { return PairConfirm(controller.sign(transcript(r))); }

    PairRequest request(const PairingLink& link) {
        Bytes nonce = crypto::randomBytes(32);
        Bytes mac = crypto::hmacSha256(link.secret, pairRequestTranscript(controller.fingerprint(), link.fingerprint, nonce));
        return PairRequest(controller.signingPublicKey(), controller.agreementPublicKey(), "Ana's iPad", nonce, mac);
    }

    // A QR exchange started at `now` that the host refuses; the controller gets the cancel.
    std::optional<PairingError> linkRefusal(SystemTime now, const std::optional<PairRequest>& sent) {
        auto pair = connectPair(loopback);
        auto run = linkExchange(pair.host, now);
        if (sent) send(*pair.controller, *sent);
        auto error = pairingErrorOf([&] { run->get(); });
        expectCancel(*pair.controller, "QR pairing failed");
        return error;
    }

    // A QR request taken in as the host's screening takes it: whether it was admitted. One
    // refused there gets the cancel.
    bool admittedRequest(const PairRequest& sent) {
        auto pair = connectPair(loopback);
        send(*pair.controller, sent);
        EXPECT_TRUE(eventually([&] { return pair.host->bufferedFrameCount() == 1; }));
        const auto admission = pairing->admit(*pair.host, PairingMessage(sent));
        EXPECT_FALSE(admission.refusal) << "nothing for the host user to see";
        if (!admission.admitted) expectCancel(*pair.controller, "QR pairing failed");
        return admission.admitted;
    }

    // A whole QR exchange started at `now`: the request (`beforeRequest` runs before it is
    // sent), the host user's approval (no accept goes out before it) and the signed confirm.
    // `admitted`: the request came first and was admitted (and spent the link) before the
    // exchange runs, as the host's screening does.
    PeerRecord pairByLink(const PairRequest& sent, SystemTime now, const std::function<void()>& beforeRequest = {},
                          bool admitted = false) {
        auto pair = connectPair(loopback);
        if (admitted) {
            send(*pair.controller, sent);
            EXPECT_TRUE(eventually([&] { return pair.host->bufferedFrameCount() == 1; }));
            EXPECT_TRUE(pairing->admit(*pair.host, PairingMessage(sent)).admitted);
            EXPECT_FALSE(pairing->activeLink()) << "spent at the admission";
            EXPECT_EQ(pairing->progress(*pair.host, SteadyClock::now()), HostPairing::Progress::runnable);
        }
        auto run = linkExchange(pair.host, now);
        if (beforeRequest) beforeRequest();
        if (!admitted) send(*pair.controller, sent);
        EXPECT_TRUE(awaitingUser());
        EXPECT_FALSE(pairing->comparisonCode()) << "a QR request shows no code";
        EXPECT_FALSE(pair.controller->nextFrame(0.1)) << "no PairAccept before approval";
        pairing->confirmComparison();
        auto accept = read(*pair.controller);
        EXPECT_TRUE(accept && accept->is<PairAccept>());
        if (!accept || !accept->is<PairAccept>()) return run->get();
        const PairAccept& a = *accept->get<PairAccept>();
        Bytes t = pairAcceptTranscript(controller.fingerprint(), hostIdentity.fingerprint(), sent.nonce, a.nonce);
        EXPECT_TRUE(DeviceIdentity::verify(a.signature, t, hostIdentity.signingPublicKey()));
        send(*pair.controller, PairConfirm(controller.sign(t)));
        return run->get();
    }

    double weight(const std::string& address) { return offences->weight(address, SteadyClock::now()); }
    void renew() {
        offences = std::make_shared<OffenceRecord>();
        pairing = std::make_unique<HostPairing>(hostIdentity, store, "Desk", 5.0, WallClock::system(), 2.0, offences);
    }

    Loopback loopback;
    DeviceIdentity hostIdentity = newIdentity();
    DeviceIdentity controller = newIdentity();
    std::shared_ptr<FlakyPeerStore> store = std::make_shared<FlakyPeerStore>();
    std::shared_ptr<OffenceRecord> offences = std::make_shared<OffenceRecord>();
    std::unique_ptr<HostPairing> pairing =
        std::make_unique<HostPairing>(hostIdentity, store, "Desk", 5.0, WallClock::system(), 2.0, offences);
    SystemTime t0 = SystemTime(1'800'000'000s);
};

TEST_F(HostPairingTest, ComparisonWaitsSilentlyForTheHostUser) {
    pairing->rejectComparison();  // given while idle: must not end the next exchange
    auto pair = connectPair(loopback);
    auto run = comparison(pair.host);
    Revealed r = reachDecision(*pair.controller);

    // Fingerprints and nonces go into the code in the order the controller uses too.
    auto code = pairing->comparisonCode();
    ASSERT_TRUE(code);
    EXPECT_EQ(code->value,
              comparisonCodeValue(controller.fingerprint(), hostIdentity.fingerprint(), r.controllerNonce, r.hostNonce));
    const ComparisonState state = pairing->comparisonState();
    EXPECT_TRUE(state.awaitingConfirmation);
    EXPECT_EQ(state.code, code);
    EXPECT_FALSE(pair.controller->nextFrame(0.1)) << "nothing goes out while the host user decides";

    pairing->confirmComparison();
    ASSERT_TRUE(read(*pair.controller)->is<PairAccept>());
    send(*pair.controller, confirmOf(r));
    EXPECT_EQ(run->get().signingPublicKey, controller.signingPublicKey());
    EXPECT_EQ(store->all().size(), 1u);
    EXPECT_FALSE(pairing->isAwaitingConfirmation());
    EXPECT_FALSE(pairing->comparisonCode());
    EXPECT_FALSE(pairing->comparisonState().awaitingConfirmation);
    EXPECT_FALSE(pairing->comparisonState().code);
}

TEST_F(HostPairingTest, ComparisonFailuresCancelAndSaveNothing) {
    using Side = std::function<void(HostPairingTest&, FrameChannel&)>;
    auto confirmThen = [](std::function<void(HostPairingTest&, FrameChannel&, Revealed&)> last) -> Side {
        return [last](HostPairingTest& t, FrameChannel& ch) {
            Revealed r = t.reachDecision(ch);
            t.pairing->confirmComparison();
            ASSERT_TRUE(read(ch)->is<PairAccept>());
            last(t, ch, r);
        };
    };
    // The host nonce must not go out for a controller nonce of the wrong size: the cancel comes next.
    auto shortNonce = [](std::size_t size) -> Side {
        return [size](HostPairingTest& t, FrameChannel& ch) {
            send(ch, PairStart(t.controller.signingPublicKey(), t.controller.agreementPublicKey(), "x"));
            ASSERT_TRUE(read(ch)->is<PairCommit>());
            send(ch, PairNonce(Bytes(size, 7)));
        };
    };
    const struct {
        const char* name;
        Side controllerSide;
        PairingError expected;
        bool waitsOutTheDecisionLimit = false;  // every other case ends well before it
        bool offence = true;  // of the controller's address: not for the host's own reasons or its user's
    } cases[] = {
        {"confirm before the decision",
         [](HostPairingTest& t, FrameChannel& ch) { send(ch, t.confirmOf(t.reachDecision(ch))); },
         PairingError::unexpectedMessage("PairCancel", "other")},
        {"bad controller signature", confirmThen([](HostPairingTest& t, FrameChannel& ch, Revealed& r) {
             r.hostNonce[0] ^= 1;  // signs other bytes than the host did
             send(ch, t.confirmOf(r));
         }),
         PairingError(Kind::invalidSignature)},
        {"wrong final message",
         confirmThen([](HostPairingTest&, FrameChannel& ch, Revealed&) { send(ch, PairNonce(Bytes(32))); }),
         PairingError::unexpectedMessage("PairConfirm", "other")},
        {"store fails", confirmThen([](HostPairingTest& t, FrameChannel& ch, Revealed& r) {
             t.store->failing = true;
             send(ch, t.confirmOf(r));
         }),
         PairingError::storeFailure(DecodingError(DecodingError::Kind::dataCorrupted, "", "disk is full").description()),
         false, false},
        {"nonce instead of start", [](HostPairingTest&, FrameChannel& ch) { send(ch, PairNonce(Bytes(32))); },
         PairingError::unexpectedMessage("PairStart", "other")},
        {"undecodable frame", [](HostPairingTest&, FrameChannel& ch) { ch.send(toBytes("{\"type\":\"Pair")); },
         PairingError::invalidMessage("The given data was not valid JSON.")},
        {"invalid signing key",
         [](HostPairingTest& t, FrameChannel& ch) {
             send(ch, PairStart(Bytes(32, 0xFF), t.controller.agreementPublicKey(), "x"));
         },
         PairingError(Kind::invalidKeyMaterial)},
        {"31-byte controller nonce", shortNonce(31), PairingError(Kind::invalidKeyMaterial)},
        {"33-byte controller nonce", shortNonce(33), PairingError(Kind::invalidKeyMaterial)},
        // Taken at the decision, so given while the exchange ran, before its user was asked.
        {"host user rejected early",
         [](HostPairingTest& t, FrameChannel& ch) {
             send(ch, PairStart(t.controller.signingPublicKey(), t.controller.agreementPublicKey(), "x"));
             ASSERT_TRUE(read(ch)->is<PairCommit>());
             t.pairing->rejectComparison();
             send(ch, PairNonce(crypto::randomBytes(32)));
             ASSERT_TRUE(read(ch)->is<PairReveal>());
         },
         PairingError(Kind::cancelled), false, false},
        {"host user never decides", [](HostPairingTest& t, FrameChannel& ch) { t.reachDecision(ch); },
         PairingError::decisionLapsed(2.0), true, false},
        {"host quits during the decision",
         [](HostPairingTest& t, FrameChannel& ch) {
             t.reachDecision(ch);
             t.pairing->cancelAll();
         },
         PairingError(Kind::cancelled), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store->failing = false;
        renew();
        auto pair = connectPair(loopback);
        auto run = comparison(pair.host);
        c.controllerSide(*this, *pair.controller);
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), c.expected);
        EXPECT_EQ(std::chrono::steady_clock::now() - began > 1500ms, c.waitsOutTheDecisionLimit);
        expectCancel(*pair.controller, "pairing failed");
        EXPECT_FALSE(pairing->isAwaitingConfirmation());
        EXPECT_FALSE(pairing->comparisonCode());
        EXPECT_TRUE(store->all().empty());
        EXPECT_EQ(weight("127.0.0.1") > -INFINITY, c.offence);
    }
}

// Exchanges run side by side until one reaches the host user: another that gets there meanwhile
// is refused, and cancelAll() ends the waiting one and those still on their way at once.
// A stranger's side of a comparison admitted from 127.0.0.`source` (beyond 255: 127.0.1.0
// on): a plain socket, so the test decides when it answers or leaves.
struct Admitted {
    int fd = -1;
    FrameChannelPtr host;
    std::string address;
    HostPairing::Admission admission;
    ~Admitted() {
        if (fd >= 0) ::close(fd);
    }
    void answer() {
        const Bytes nonce = frame::encode(toBytes(PairingMessage(PairNonce(Bytes(32, 7))).encode()));
        ASSERT_EQ(::send(fd, nonce.data(), nonce.size(), MSG_NOSIGNAL), static_cast<ssize_t>(nonce.size()));
        ASSERT_TRUE(eventually([&] { return host->bufferedFrameCount() >= 2; }));
    }
    void sendBytes(const Bytes& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    bool closedByHost() const { return eventually([&] { return host->ended(); }); }
};

class HostPairingAdmission : public HostPairingTest {
public:
    std::unique_ptr<Admitted> admitFrom(std::uint32_t source) {
        auto a = std::make_unique<Admitted>();
        a->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK - 1 + source)}, {}};
        ::bind(a->fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        address = {AF_INET, htons(loopback.port()), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::connect(a->fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const PairStart start(controller.signingPublicKey(), controller.agreementPublicKey(), "?");
        const Bytes wire = frame::encode(toBytes(PairingMessage(start).encode()));
        EXPECT_EQ(::send(a->fd, wire.data(), wire.size(), MSG_NOSIGNAL), static_cast<ssize_t>(wire.size()));
        a->host = loopback.accept(10, HostPairing::channelLimits());
        EXPECT_TRUE(eventually([&] { return a->host->bufferedFrameCount() == 1; }));
        a->address = a->host->remoteEndpoint()->host;
        a->admission = pairing->admit(*a->host, PairingMessage(start));
        return a;
    }
    // Fills every place before the decision, each from an address of its own.
    std::vector<std::unique_ptr<Admitted>> fill(std::size_t count) {
        std::vector<std::unique_ptr<Admitted>> all;
        for (std::size_t i = 0; i < count; ++i) all.push_back(admitFrom(static_cast<std::uint32_t>(2 + i)));
        return all;
    }
};

// Who gets a place before the decision, from strangers at many addresses: the newcomer always
// gets in while one of them is silent, the longest silent gives way, an answer is never closed
// for a newcomer, and giving way is no offence.
TEST_F(HostPairingAdmission, TheLongestSilentGivesWayAndAnAnswerNever) {
    constexpr std::size_t cap = HostPairing::maxBeforeDecision;
    auto held = fill(cap - 1);
    // One short of the cap: nobody gives way.
    held.push_back(admitFrom(500));
    EXPECT_TRUE(held.back()->admission.admitted);
    EXPECT_FALSE(held.back()->admission.givesWay);
    // The oldest answered: the next oldest, silent, gives way instead.
    held[0]->answer();
    auto newcomer = admitFrom(501);
    EXPECT_TRUE(newcomer->admission.admitted);
    EXPECT_EQ(newcomer->admission.givesWay, held[1]->host);
    EXPECT_TRUE(held[1]->closedByHost());
    EXPECT_FALSE(held[0]->host->ended());
    EXPECT_EQ(weight(held[1]->address), -INFINITY) << "giving way is no offence";
    EXPECT_EQ(pairing->progress(*held[1]->host, SteadyClock::now()), HostPairing::Progress::over);
    EXPECT_EQ(pairing->progress(*held[0]->host, SteadyClock::now()), HostPairing::Progress::runnable);

    // An address that offended gives way before clean ones that were silent longer.
    offences->note(held[99]->address, SteadyClock::now());
    auto second = admitFrom(502);
    EXPECT_EQ(second->admission.givesWay, held[99]->host);

    // Every place answered: a newcomer is refused, with nothing sent, and nothing closes.
    for (auto& h : held)
        if (!h->host->ended() && h != held[0]) h->answer();
    newcomer->answer();
    second->answer();
    auto refused = admitFrom(503);
    EXPECT_FALSE(refused->admission.admitted);
    EXPECT_FALSE(refused->admission.givesWay);
    char byte;
    EXPECT_EQ(::recv(refused->fd, &byte, 1, MSG_DONTWAIT), -1) << "nothing was sent";
}

// What becomes of an exchange admitted and not run yet, and which endings count against its
// address: silence past the limit and leaving while it owes do; answering and giving way don't.
TEST_F(HostPairingAdmission, ProgressTellsWhenToRunAndSilenceIsTheOffence) {
    const auto limit = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(HostPairing::beforeDecisionLimit));
    auto answers = admitFrom(2);
    const auto asked = SteadyClock::now();  // no later than the silent one was asked
    auto silent = admitFrom(3), leaves = admitFrom(4);
    const auto now = SteadyClock::now();
    EXPECT_EQ(pairing->progress(*silent->host, now), HostPairing::Progress::waiting);
    ASSERT_TRUE(pairing->nextLimit());
    EXPECT_LE(*pairing->nextLimit(), now + limit);
    answers->answer();
    EXPECT_EQ(pairing->progress(*answers->host, now + 2 * limit), HostPairing::Progress::runnable);
    EXPECT_EQ(weight(answers->address), -INFINITY);

    EXPECT_EQ(pairing->progress(*silent->host, asked + limit - 1ms), HostPairing::Progress::waiting);
    EXPECT_EQ(pairing->progress(*silent->host, now + limit + 1s), HostPairing::Progress::over);
    EXPECT_TRUE(silent->closedByHost());
    EXPECT_GT(weight(silent->address), -INFINITY);

    ::shutdown(leaves->fd, SHUT_WR);
    ASSERT_TRUE(eventually([&] { return leaves->host->ended(); }));
    EXPECT_EQ(pairing->progress(*leaves->host, now), HostPairing::Progress::over);
    EXPECT_GT(weight(leaves->address), -INFINITY);
    EXPECT_FALSE(pairing->nextLimit()) << "one that may run owes nothing more";

    // Its channel takes frames the size of a pairing message: an answer that large passes; a
    // header one byte over ends the exchange unread, and so do more unread frames than its next
    // step needs; both count against the address.
    const std::uint32_t largest = HostPairing::channelLimits().maxFrameSize;
    EXPECT_GT(largest, 1024u);
    EXPECT_LE(largest, 8192u);
    auto nonceOfSize = [](std::size_t size) {
        std::string text = PairingMessage(PairNonce(Bytes(32, 7))).encode();
        text.insert(text.size() - 1, ",\"pad\":\"\"");
        text.insert(text.size() - 2, std::string(size - text.size(), 'x'));
        return frame::encode(toBytes(text));
    };
    auto fits = admitFrom(6), oversize = admitFrom(7), floods = admitFrom(8);
    fits->sendBytes(nonceOfSize(largest));
    ASSERT_TRUE(eventually([&] { return fits->host->bufferedFrameCount() == 2; }));
    EXPECT_EQ(pairing->progress(*fits->host, SteadyClock::now()), HostPairing::Progress::runnable);
    EXPECT_EQ(weight(fits->address), -INFINITY);
    Bytes overHeader = frame::encode(Bytes(largest + 1));
    overHeader.resize(frame::kHeaderSize + 100);
    oversize->sendBytes(overHeader);
    Bytes twoAnswers = nonceOfSize(largest);
    append(twoAnswers, nonceOfSize(largest));
    floods->sendBytes(twoAnswers);
    for (auto* ended : {oversize.get(), floods.get()}) {
        ASSERT_TRUE(eventually([&] { return ended->host->ended(); }));
        EXPECT_EQ(pairing->progress(*ended->host, SteadyClock::now()), HostPairing::Progress::over);
        EXPECT_GT(weight(ended->address), -INFINITY);
    }
    EXPECT_EQ(oversize->host->bufferedFrameCount(), 1u) << "nothing of the oversize frame";

    // A request admitted while another exchange has the host user's attention is refused.
    auto pair = connectPair(loopback);
    auto run = comparison(pair.host);
    reachDecision(*pair.controller);
    auto late = admitFrom(5);
    EXPECT_FALSE(late->admission.admitted);
    pairing->cancelAll();
    EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::cancelled));
}

TEST_F(HostPairingTest, OneExchangeAtATimeWaitsForTheHostUserAndCancelAllEndsThemAll) {
    auto first = connectPair(loopback), second = connectPair(loopback), stalled = connectPair(loopback);
    auto a = comparison(first.host), b = comparison(second.host), c = comparison(stalled.host);
    for (auto* ch : {second.controller.get(), stalled.controller.get()}) {
        send(*ch, PairStart(controller.signingPublicKey(), controller.agreementPublicKey(), "x"));
        ASSERT_TRUE(read(*ch)->is<PairCommit>());
    }
    reachDecision(*first.controller);
    send(*second.controller, PairNonce(crypto::randomBytes(32)));
    ASSERT_TRUE(read(*second.controller)->is<PairReveal>());
    EXPECT_EQ(pairingErrorOf([&] { b->get(); }), PairingError(Kind::alreadyInProgress));
    expectCancel(*second.controller, "pairing failed");
    EXPECT_TRUE(pairing->isAwaitingConfirmation());

    const auto began = std::chrono::steady_clock::now();
    pairing->cancelAll();
    EXPECT_EQ(pairingErrorOf([&] { a->get(); }), PairingError(Kind::cancelled));
    expectCancel(*first.controller, "pairing failed");
    EXPECT_EQ(pairingErrorOf([&] { c->get(); }), PairingError(Kind::connectionClosed));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s) << "the stalled one waited for its read limit";
    EXPECT_EQ(weight("127.0.0.1"), -INFINITY) << "refused while busy, cancelled by the host user or given way: no offence";
}

// A stranger's exchange reaches the host user while a real controller's is in its first steps:
// refusing the stranger ends that exchange only, and the real one goes on and pairs.
TEST_F(HostPairingTest, RefusingTheExchangeOnShowEndsThatOneOnly) {
    auto stranger = connectPair(loopback), real = connectPair(loopback);
    auto s = comparison(stranger.host), r = comparison(real.host);
    send(*real.controller, PairStart(controller.signingPublicKey(), controller.agreementPublicKey(), "Ana's iPad"));
    auto commit = read(*real.controller);
    ASSERT_TRUE(commit && commit->is<PairCommit>());

    const DeviceIdentity realController = std::exchange(controller, newIdentity());
    reachDecision(*stranger.controller);
    controller = realController;
    EXPECT_TRUE(pairing->rejectComparison(pairing->comparisonCode()));
    EXPECT_EQ(pairingErrorOf([&] { s->get(); }), PairingError(Kind::cancelled));
    expectCancel(*stranger.controller, "pairing failed");

    Revealed revealed = reachDecisionAfter(*real.controller, *commit->get<PairCommit>());
    pairing->confirmComparison();
    ASSERT_TRUE(read(*real.controller)->is<PairAccept>());
    send(*real.controller, confirmOf(revealed));
    EXPECT_EQ(r->get().fingerprint, controller.fingerprint());
    EXPECT_EQ(store->all().size(), 1u);
}

TEST_F(HostPairingTest, AnAnswerCountsOnlyForTheCodeOnShow) {
    auto pair = connectPair(loopback);
    auto run = comparison(pair.host);
    send(*pair.controller, PairStart(controller.signingPublicKey(), controller.agreementPublicKey(), "x"));
    ASSERT_TRUE(read(*pair.controller)->is<PairCommit>());
    // Meant for an exchange that has ended: nothing waits for the host user yet.
    pairing->confirmComparison();
    EXPECT_FALSE(pairing->confirmComparison(std::nullopt));
    EXPECT_FALSE(pairing->rejectComparison(std::nullopt));
    Revealed r{crypto::randomBytes(32), {}};
    send(*pair.controller, PairNonce(r.controllerNonce));
    auto reveal = read(*pair.controller);
    ASSERT_TRUE(reveal && reveal->is<PairReveal>());
    r.hostNonce = reveal->get<PairReveal>()->nonce;
    ASSERT_TRUE(awaitingUser());
    EXPECT_FALSE(pair.controller->nextFrame(0.1)) << "an early answer must not end this exchange";

    const PairingCode code = *pairing->comparisonCode();
    EXPECT_FALSE(pairing->confirmComparison(PairingCode(code.value + 1)));
    EXPECT_FALSE(pairing->rejectComparison(PairingCode(code.value + 1)));
    EXPECT_FALSE(pairing->rejectComparison(std::nullopt)) << "as a QR request shows";
    EXPECT_FALSE(pair.controller->nextFrame(0.1)) << "another code's answer must not end it";
    EXPECT_TRUE(pairing->isAwaitingConfirmation());
    EXPECT_TRUE(pairing->confirmComparison(code));
    ASSERT_TRUE(read(*pair.controller)->is<PairAccept>());
    send(*pair.controller, confirmOf(r));
    EXPECT_EQ(run->get().fingerprint, controller.fingerprint());
}

TEST_F(HostPairingTest, LinkExpiresAtItsLifetime) {
    PairingLink link = pairing->issueLink({"127.0.0.1:1"}, t0);
    EXPECT_EQ(linkRefusal(t0 + 300s, request(link)), PairingError(Kind::expiredSecret));
    EXPECT_FALSE(pairing->activeLink());
    EXPECT_EQ(linkRefusal(t0 + 301s, request(link)), PairingError(Kind::noActiveSecret));
    link = pairing->issueLink({}, t0);
    PeerRecord record = pairByLink(request(link), t0 + 299'900ms);
    EXPECT_EQ(record.permissions, PeerPermissions::defaults());
    EXPECT_EQ(store->peer(controller.fingerprint()), record);

    // Checked at the admission too, on the pairing's clock: refused there, and an offence.
    link = pairing->issueLink({}, std::chrono::system_clock::now() - 300s);
    EXPECT_FALSE(admittedRequest(request(link)));
    EXPECT_FALSE(pairing->activeLink());
    EXPECT_GT(weight("127.0.0.1"), -INFINITY);
}

TEST_F(HostPairingTest, WrongMacLeavesTheLinkUsable) {
    PairingLink link = pairing->issueLink({}, t0);
    PairRequest good = request(link);
    Bytes truncated(good.mac.begin(), good.mac.end() - 1), longer = good.mac, flipped = good.mac;
    longer.push_back(0);
    flipped[5] ^= 0x20;
    for (const Bytes& mac : {truncated, longer, flipped}) {
        PairRequest bad = good;
        bad.mac = mac;
        EXPECT_EQ(linkRefusal(t0, bad), PairingError(Kind::invalidMAC));
        EXPECT_EQ(pairing->activeLink(), link);
    }
    // The same checks at the admission, before anything else hears of it: refused there, each
    // an offence, and the link stays usable.
    renew();
    link = pairing->issueLink({}, t0);
    good = request(link);
    PairRequest wrongMac = good, badKey = good;
    wrongMac.mac[5] ^= 0x20;
    badKey.controllerSigningPub = Bytes(32, 0xFF);
    for (const PairRequest& bad : {wrongMac, badKey}) {
        const double before = weight("127.0.0.1");
        EXPECT_FALSE(admittedRequest(bad));
        EXPECT_GT(weight("127.0.0.1"), before);
        EXPECT_EQ(pairing->activeLink(), link);
    }
    EXPECT_EQ(pairByLink(good, t0 + 10s).fingerprint, controller.fingerprint());
    // A good one is admitted, spends the link there, and pairs.
    controller = newIdentity();
    const PairingLink next = pairing->issueLink({}, t0);
    EXPECT_EQ(pairByLink(request(next), t0 + 10s, {}, true).fingerprint, controller.fingerprint());
}

TEST_F(HostPairingTest, VerifiedRequestSpendsTheSecretEvenWhenRejected) {
    PairingLink link = pairing->issueLink({}, t0);
    {
        auto pair = connectPair(loopback);
        auto run = linkExchange(pair.host, t0);
        send(*pair.controller, request(link));
        ASSERT_TRUE(awaitingUser());
        EXPECT_FALSE(pairing->activeLink()) << "spent before the user is asked";
        pairing->rejectComparison();
        EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::cancelled));
        expectCancel(*pair.controller, "QR pairing failed");
    }
    EXPECT_EQ(linkRefusal(t0, request(link)), PairingError(Kind::burnedSecret));
    pairing->issueLink({}, t0 + 1s);
    EXPECT_EQ(linkRefusal(t0 + 2s, request(link)), PairingError(Kind::invalidMAC)) << "the old code";
    EXPECT_TRUE(store->all().empty());
}

TEST_F(HostPairingTest, LinkExchangeNeedsAVerifiedConfirm) {
    PairingLink link = pairing->issueLink({}, t0);
    auto pair = connectPair(loopback);
    auto run = linkExchange(pair.host, t0);
    send(*pair.controller, request(link));
    ASSERT_TRUE(awaitingUser());
    pairing->confirmComparison();
    ASSERT_TRUE(read(*pair.controller)->is<PairAccept>());
    send(*pair.controller, PairNonce(Bytes(32)));
    EXPECT_EQ(pairingErrorOf([&] { run->get(); }), PairingError(Kind::invalidSignature));
    expectCancel(*pair.controller, "QR pairing failed");
    EXPECT_FALSE(pairing->isAwaitingConfirmation());
    EXPECT_TRUE(store->all().empty());
}

TEST_F(HostPairingTest, LinkIssuedWhileTheRequestIsReadStaysCurrent) {
    PairingLink shown = pairing->issueLink({}, t0);
    std::optional<PairingLink> renewed;
    pairByLink(request(shown), t0, [&] {
        std::this_thread::sleep_for(300ms);  // the exchange has taken the link and waits for the request
        renewed = pairing->issueLink({}, t0 + 1s);
    });
    EXPECT_EQ(pairing->activeLink(), renewed);

    // The renewed code still pairs another controller.
    controller = newIdentity();
    EXPECT_EQ(pairByLink(request(*renewed), t0 + 2s).fingerprint, controller.fingerprint());
    EXPECT_EQ(store->all().size(), 2u);

    // A request spent its link at the admission; one issued before its exchange runs stays.
    shown = pairing->issueLink({}, t0);
    controller = newIdentity();
    pairByLink(request(shown), t0, [&] { renewed = pairing->issueLink({}, t0 + 1s); }, true);
    EXPECT_EQ(pairing->activeLink(), renewed);
    EXPECT_EQ(store->all().size(), 3u);
}

TEST_F(HostPairingTest, CurrentOrNewLinkRenewsOnceAtTheLifetime) {
    EXPECT_FALSE(pairing->activeLink());
    PairingLink first = pairing->currentOrNewLink({"a"}, t0);
    EXPECT_EQ(pairing->currentOrNewLink({"b"}, t0 + 299'900ms), first);
    PairingLink renewed = pairing->currentOrNewLink({"b"}, t0 + 300s);
    EXPECT_NE(renewed.secret, first.secret);
    EXPECT_EQ(renewed.endpoints, std::vector<std::string>{"b"});
    EXPECT_EQ(renewed.deviceID, hostIdentity.deviceID());
    EXPECT_EQ(pairing->activeLink(), renewed);

    // Callers that find the link expired at the same moment must all get the link that is
    // now current: one handed a link that another call already replaced would show a code
    // that can never pair.
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
        for (auto& result : results) {
            PairingLink link = result.get();
            ASSERT_EQ(link, pairing->activeLink()) << "round " << round;
        }
    }
}

}  // namespace
}  // namespace quill
