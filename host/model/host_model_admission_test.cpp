// Admission and intake faults: replayed offers, failures that leave the reservation behind,
// and floods of connections that never say what they want.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "host/model/host_model_test_support.h"
#include "quillcore/crypto/crypto.h"
#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/pairing/controller_pairing.h"

using namespace quill;
using namespace quill::host;
using namespace quill::host::testing;

namespace {

// A prompt that breaks instead of asking.
class BrokenPrompt : public SessionPrompt {
public:
    QCoro::Task<bool> askToAllowSession(QString, SessionMode) override {
        co_await sleepFor(0.01);
        throw std::runtime_error("the prompt broke");
    }
};

// Breaks once, after the session became active.
class BrokenNotifier : public SessionNotifier {
public:
    void postSessionStartedNotification(const QString&) override {
        if (broken.exchange(false)) throw std::runtime_error("the notifier broke");
    }
    std::atomic<bool> broken{true};
};

QString orNone(const std::optional<QString>& text) { return text ? *text : QStringLiteral("(none)"); }

// A plain TCP client, so the test sees exactly when the host closes it.
struct RawClient {
    int fd = -1;
    // From 127.0.0.`source` (beyond 255: on into 127.0.1.0 and up).
    explicit RawClient(std::uint16_t port, std::uint32_t source = 1) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + source);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~RawClient() {
        if (fd >= 0) ::close(fd);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    // The host closed its end (end of stream or reset).
    bool closedByHost() const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        char byte;
        return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
    }
};

// Where stallers connect from: each its own address, a new address for every connection (more
// than any record of the host holds), or half of them each way.
enum class Sources { fixed, everNew, mixed };

// Strangers (from 127.0.0.2 on) that open a pairing, say nothing more (or, `headerOnly`, only
// the header of their next message once the host's commitment came), and open the next the
// moment the host closes theirs.
class Stallers {
public:
    Stallers(std::uint16_t port, int count, Sources sources = Sources::fixed, bool headerOnly = false) {
        const DeviceIdentity stranger = quill::testing::makeIdentity(9);
        const Bytes start = frame::encode(
            toBytes(PairingMessage(PairStart(stranger.signingPublicKey(), stranger.agreementPublicKey(), "?")).encode()));
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, port, start, sources, headerOnly, i](std::stop_token stop) {
                const bool moves = sources == Sources::everNew || (sources == Sources::mixed && i % 2 == 1);
                while (!stop.stop_requested()) {
                    RawClient client(port, moves ? kFresh + fresh_++ : static_cast<std::uint32_t>(2 + i));
                    if (client.fd < 0 || ::send(client.fd, start.data(), start.size(), MSG_NOSIGNAL) < 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        continue;
                    }
                    ++opened;
                    char buffer[4096];
                    bool begun = false;
                    while (!stop.stop_requested()) {
                        pollfd p{client.fd, POLLIN, 0};
                        if (::poll(&p, 1, 50) != 1) continue;
                        if (::recv(client.fd, buffer, sizeof buffer, 0) <= 0) break;
                        const std::uint8_t header[4] = {0, 0, 0, 100};
                        if (headerOnly && !std::exchange(begun, true)) ::send(client.fd, header, 4, MSG_NOSIGNAL);
                    }
                }
            });
    }
    std::atomic<int> opened{0};

private:
    static constexpr std::uint32_t kFresh = 1 << 16;  // 127.1.0.0 on
    std::atomic<std::uint32_t> fresh_{0};
    std::vector<std::jthread> threads_;  // last: they use `opened`
};

}  // namespace

TEST(HostModelAdmission, ACopiedOfferOnANewConnectionIsRefusedAsAReplay) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller alice = h.pairedController(3, "Alice");
    const std::string text = EnvelopeSealer::seal(SignallingMessage(Offer("S-1", "sdp", SessionMode::control, {})),
                                                  alice.identity, alice.hostRecord)
                                 .encode();
    const Bytes sealed(text.begin(), text.end());

    // The link is made first so it reads what the host answers; the offer goes out as raw bytes.
    auto firstChannel = FrameChannel::connectLocal(*m.listenerPort());
    alice.link = std::make_shared<EnvelopeLink>(firstChannel, alice.identity, alice.store);
    firstChannel->send(sealed);
    auto answer = alice.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    ASSERT_TRUE(pumpUntil([&] { return m.activeSession() && !m.sessionTasks().empty(); }));
    const auto running = m.activeSession();

    // Someone on the network sends the same bytes again.
    auto copy = FrameChannel::connectLocal(*m.listenerPort());
    copy->send(sealed);
    const QString expected =
        QStringLiteral("Rejected a LAN connection: ") + QString::fromStdString(EnvelopeError::replayed().description());
    ASSERT_TRUE(pumpUntil([&] { return m.connectionMessage() == expected; })) << orNone(m.connectionMessage()).toStdString();
    EXPECT_EQ(m.activeSession(), running);
    EXPECT_EQ(h.sessions->size(), 1u);
    EXPECT_TRUE(m.isSessionReserved());

    // A sealed first message that is not an offer is closed without a word, and the running
    // session keeps its reservation.
    Controller bob = h.pairedController(5, "Bob");
    bob.connect(*m.listenerPort());
    bob.send(Answer("S-1", "sdp", {}));
    EXPECT_FALSE(bob.reply(2));
    EXPECT_EQ(m.connectionMessage(), expected);
    EXPECT_TRUE(m.isSessionReserved());
    EXPECT_EQ(m.activeSession(), running);
    EXPECT_EQ(h.sessions->size(), 1u);
}

TEST(HostModelAdmission, FailuresClearTheReservationSoTheNextRequestIsAdmitted) {
    struct Case {
        const char* name;
        std::function<void(ModelHarness&, HostEnvironment&)> adjust;
        bool attended;
        bool offer;  // false: the first message is an answer
        const char* error;  // the connection message afterwards, as a prefix; none when empty
        const char* bye;    // the bye the controller hears, when the session was made
    };
    const Case cases[] = {
        {"session not made",
         [](ModelHarness&, HostEnvironment& env) {
             auto make = env.makeSession;
             auto once = std::make_shared<bool>(true);
             env.makeSession = [make, once](DeviceIdentity i, std::shared_ptr<PeerStore> s, SessionConfiguration c) {
                 if (std::exchange(*once, false)) throw std::runtime_error("no media engine");
                 return make(std::move(i), std::move(s), std::move(c));
             };
         },
         false, true, "Could not create a session: no media engine", ""},
        {"negotiation fails",
         [](ModelHarness& h, HostEnvironment&) {
             auto list = h.sessions;
             *h.onSessionMade = [list] {
                 if (list->size() == 1) list->back().pc->setRemoteError = "unusable offer";
             };
         },
         false, true, "Session setup failed: ", ""},
        {"first message not an offer", [](ModelHarness&, HostEnvironment&) {}, false, false, "", ""},
        {"prompt throws",
         [](ModelHarness&, HostEnvironment& env) { env.prompt = std::make_shared<BrokenPrompt>(); },
         true, true, "Rejected a LAN connection: the prompt broke", ""},
        {"start of an admitted session throws",
         [](ModelHarness&, HostEnvironment& env) { env.notifier = std::make_shared<BrokenNotifier>(); },
         false, true, "Rejected a LAN connection: the notifier broke", "Session failed: the notifier broke"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ModelHarness h;
        HostModel& m = h.start([&](HostEnvironment& env) { k.adjust(h, env); });
        PeerPermissions permissions = PeerPermissions::defaults();
        permissions.attendedOnly = k.attended;
        Controller c = h.pairedController(3, "Alice", permissions);
        c.connect(*m.listenerPort());
        if (k.offer)
            c.send(Offer("S-1", "sdp", SessionMode::control, {}));
        else
            c.send(Answer("S-1", "sdp", {}));

        if (*k.bye) {
            EXPECT_EQ(byeReason(c), k.bye);
        } else {
            // Nothing but the end of the connection.
            EXPECT_FALSE(c.reply(3));
        }
        if (*k.error) {
            ASSERT_TRUE(pumpUntil([&] { return m.connectionMessage().has_value(); }));
            EXPECT_TRUE(m.connectionMessage()->startsWith(k.error)) << m.connectionMessage()->toStdString();
        } else {
            pumpFor(0.1);
            EXPECT_FALSE(m.connectionMessage()) << m.connectionMessage()->toStdString();
        }
        ASSERT_TRUE(pumpUntil([&] { return !m.isSessionReserved() && !m.activeSession(); }));

        // The host is free for the next request.
        Controller again = h.pairedController(5, "Bob");
        MadeSession next = h.connectSession(again, SessionMode::control, "S-2");
        EXPECT_TRUE(next.session);
        EXPECT_EQ(m.activePeerName(), "Bob");
    }
}

TEST(HostModelAdmission, AControllerThatLeavesWhileItsSessionIsSetUpIsAnsweredWhenItComesBack) {
    // Its first session answered, not yet connected, and its WebRTC teardown held up: the
    // controller says bye, hangs up, or its connection does not come up in time; it offers
    // again at once, or even before the host has heard its bye.
    enum Ends { bye, hangUp, timeOut, offerFirst };
    // Held teardowns end with each case, whatever its outcome: later ones count on none running.
    struct Release {
        std::shared_ptr<std::vector<MadeSession>> made;
        ~Release() {
            for (const MadeSession& s : *made) s.pc->holdClose = false;
        }
    };
    for (const Ends ends : {bye, hangUp, timeOut, offerFirst}) {
        SCOPED_TRACE(ends == bye ? "bye" : ends == hangUp ? "hang-up" : ends == timeOut ? "time-out" : "offer first");
        ModelHarness h;
        *h.holdConnection = true;
        HostModel& m = h.start([&](HostEnvironment& env) {
            if (ends != timeOut) return;
            env.makeSession = [make = env.makeSession, first = std::make_shared<bool>(true)](
                                  DeviceIdentity i, std::shared_ptr<PeerStore> s, SessionConfiguration c) {
                if (std::exchange(*first, false)) c.connectionTimeout = 0.2;
                return make(std::move(i), std::move(s), std::move(c));
            };
        });
        auto list = h.sessions;
        *h.onSessionMade = [list] { list->back().pc->holdClose = list->size() == 1; };
        const Release release{list};
        Controller c = h.pairedController(3, "Alice");
        c.offer(*m.listenerPort(), Offer("S-1", "offer-sdp", SessionMode::control, {}));
        auto answer = c.reply();
        ASSERT_TRUE(answer && answer->get<Answer>());
        Controller again = c;
        if (ends == offerFirst) {
            *h.holdConnection = false;
            again.offer(*m.listenerPort(), Offer("S-2", "offer-sdp", SessionMode::control, {}));
            pumpFor(0.2);
            EXPECT_EQ(h.sessions->size(), 1u);
        }
        if (ends == bye || ends == offerFirst) c.send(Bye("S-1", "done"));
        if (ends != timeOut) c.link->close();
        if (ends == offerFirst) {
            auto second = again.reply();
            EXPECT_TRUE(second && second->get<Answer>()) << (second ? second->typeName() : "nothing");
            continue;
        }
        EXPECT_TRUE(pumpUntil([&] { return !m.isSessionReserved(); }, 3));
        // Its teardown has begun (held, on a thread of its own).
        EXPECT_TRUE(pumpUntil([&] { return h.sessions->front().pc->closeCount == 1; }));
        *h.holdConnection = false;
        EXPECT_TRUE(h.connectSession(c, SessionMode::control, "S-2").session);
    }
    // One that keeps leaving while every teardown is held up: beyond the teardowns the host lets
    // go on, the host stays busy until they end, so they never pile up.
    ModelHarness h;
    *h.holdConnection = true;
    HostModel& m = h.start();
    auto list = h.sessions;
    *h.onSessionMade = [list] { list->back().pc->holdClose = true; };
    std::optional<Release> release(std::in_place, list);
    Controller c = h.pairedController(3, "Alice");
    const std::size_t most = HostSession::kMostTearingDown;
    for (std::size_t i = 1; i <= most + 1; ++i) {
        ASSERT_TRUE(pumpUntil([&] { return !m.isSessionReserved(); }, 3)) << i;
        c.offer(*m.listenerPort(), Offer("S-" + std::to_string(i), "offer-sdp", SessionMode::control, {}));
        auto answer = c.reply();
        ASSERT_TRUE(answer && answer->get<Answer>()) << i;
        c.link->close();
    }
    pumpFor(0.3);
    EXPECT_TRUE(m.isSessionReserved());
    c.offer(*m.listenerPort(), Offer("S-busy", "offer-sdp", SessionMode::control, {}));
    auto busy = c.reply();
    ASSERT_TRUE(busy && busy->get<Reject>());
    EXPECT_EQ(busy->get<Reject>()->reason(), "The host is already handling another session");
    release.reset();
    EXPECT_TRUE(pumpUntil([&] { return !m.isSessionReserved(); }, 3));
}

TEST(HostModelAdmission, IdleConnectionsCannotKeepAControllerOut) {
    // Every waiting place taken by idle sockets from as many addresses: the controller gets in;
    // if its offer had not come when it was judged, the longest silent gave way to it.
    {
        ModelHarness h;
        HostModel& m = h.start([](HostEnvironment& env) { env.timing.firstFrameLimit = 30; });
        const std::uint16_t port = *m.listenerPort();
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < 64; ++i) {
            idle.push_back(std::make_unique<RawClient>(port, static_cast<std::uint8_t>(2 + i)));
            ASSERT_GE(idle.back()->fd, 0);
            if (i == 0) pumpFor(0.2);  // the first is the oldest
        }
        pumpFor(0.5);
        Controller c = h.pairedController(3, "Alice");
        MadeSession s = h.connectSession(c);
        EXPECT_TRUE(s.session);
        pumpFor(0.2);
        int stillOpen = 0;
        for (const auto& client : idle) stillOpen += client->closedByHost() ? 0 : 1;
        EXPECT_GE(stillOpen, 63);
        EXPECT_TRUE(stillOpen == 64 || idle.front()->closedByHost());
    }
    // Addresses that misbehaved before (here: closed without a first frame) give way to a
    // controller that has not sent its offer yet, however many of their connections follow it.
    {
        ModelHarness h;
        HostModel& m = h.start([](HostEnvironment& env) { env.timing.firstFrameLimit = 30; });
        const std::uint16_t port = *m.listenerPort();
        for (int i = 0; i < 64; ++i) RawClient(port, static_cast<std::uint8_t>(2 + i));
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < 63; ++i) idle.push_back(std::make_unique<RawClient>(port, static_cast<std::uint8_t>(2 + i)));
        Controller c = h.pairedController(3, "Alice");
        c.connect(port);
        pumpFor(0.3);
        for (int i = 0; i < 128; ++i) idle.push_back(std::make_unique<RawClient>(port, static_cast<std::uint8_t>(2 + i % 64)));
        pumpFor(0.3);
        c.send(Offer("S-1", "offer-sdp", SessionMode::control, {}));
        auto answer = c.reply();
        EXPECT_TRUE(answer && answer->get<Answer>());
    }
    // One address holds only a few places; the one beyond them is closed at once.
    ModelHarness h;
    HostModel& m = h.start([](HostEnvironment& env) { env.timing.firstFrameLimit = 30; });
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 8; ++i) idle.push_back(std::make_unique<RawClient>(*m.listenerPort()));
    pumpFor(0.5);
    RawClient extra(*m.listenerPort());
    ASSERT_GE(extra.fd, 0);
    ASSERT_TRUE(pumpUntil([&] { return extra.closedByHost(); }, 2));
    for (const auto& client : idle) EXPECT_FALSE(client->closedByHost());
}

TEST(HostModelAdmission, AnOversizedFirstFrameIsClosedUnread) {
    ModelHarness h;
    HostModel& m = h.start([](HostEnvironment& env) { env.timing.firstFrameLimit = 30; });
    // Whether the host closes the channel within a few seconds.
    auto closedByHost = [](FrameChannelPtr channel) {
        auto f = std::async(std::launch::async, [channel] {
            try {
                return !channel->nextFrame(3);
            } catch (...) {
                return true;
            }
        });
        pumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 5);
        return f.get();
    };
    // Beyond the limit the frame is refused from its header, its body never awaited: closed
    // at once, and nothing is reported.
    RawClient beyond(*m.listenerPort());
    const Bytes header = {0, 2, 0, 1};  // 128 KiB and a byte
    ASSERT_EQ(::send(beyond.fd, header.data(), header.size(), 0), 4);
    EXPECT_TRUE(pumpUntil([&] { return beyond.closedByHost(); }, 3));
    pumpFor(0.1);
    EXPECT_FALSE(m.connectionMessage()) << m.connectionMessage()->toStdString();

    // Junk within the limit is still read, and refused with its decoding error.
    auto within = FrameChannel::connectLocal(*m.listenerPort());
    within->send(Bytes(100 * 1024, 'x'));
    ASSERT_TRUE(pumpUntil([&] { return m.connectionMessage().has_value(); }));
    EXPECT_TRUE(m.connectionMessage()->startsWith(QStringLiteral("Rejected a LAN connection: ")));
    EXPECT_TRUE(closedByHost(within));

    // An offer with the largest session description a controller may send still fits.
    std::string sdp;
    while (sdp.size() < 64 * 1024 - 40) sdp += "a=candidate:1 1 udp 2122260223 192.0.2.1 54400 typ host\r\n";
    Controller c = h.pairedController(3, "Alice");
    c.offer(*m.listenerPort(), Offer("S-1", sdp, SessionMode::control, {}));
    auto answer = c.reply();
    EXPECT_TRUE(answer && answer->get<Answer>());
}

// A view request gets a view session whatever the permissions; once the host user allowed it as
// such, a hello asking for control does not turn control on.
TEST(HostModelAdmission, AViewRequestGetsAViewSession) {
    for (const bool attended : {true, false}) {
        SCOPED_TRACE(attended ? "allowed in the prompt" : "unattended");
        ModelHarness h;
        h.start();
        h.prompt->answer = true;
        PeerPermissions permissions = PeerPermissions::defaults();
        permissions.attendedOnly = attended;
        ASSERT_TRUE(permissions.control);
        Controller c = h.pairedController(3, "Alice", permissions);
        MadeSession s = h.connectSession(c, SessionMode::view);
        ASSERT_TRUE(s.session);
        EXPECT_EQ(h.prompt->asked.size(), attended ? 1u : 0u);
        ASSERT_TRUE(pumpUntil([&] { return h.model->activeActivityID().has_value(); }));
        EXPECT_EQ(h.activityLog->entries().at(0).mode, "view");
        s.connector->receiveControl(rolestest::keyEvent(4));
        s.connector->receiveControl(rolestest::ping(8));
        ASSERT_TRUE(pumpUntil([&] {
            for (const auto& sent : s.sentControl())
                if (rolestest::describe(sent) == "pong 8") return true;
            return false;
        }));
        EXPECT_EQ(h.sink->count(), 0u);
        // The controller then asks for control in its hello.
        s.connector->receiveControl(rolestest::hello(false));
        s.connector->receiveControl(rolestest::keyEvent(4));
        s.connector->receiveControl(rolestest::ping(9));
        ASSERT_TRUE(pumpUntil([&] {
            for (const auto& sent : s.sentControl())
                if (rolestest::describe(sent) == "pong 9") return true;
            return false;
        }));
        if (attended)
            EXPECT_EQ(h.sink->count(), 0u);
        else
            EXPECT_TRUE(pumpUntil([&] { return h.sink->count() > 0; }));
    }
}

TEST(HostModelAdmission, ControlSwitchedOffDuringTheNegotiationEndsTheSession) {
    ModelHarness h;
    HostModel& m = h.start();
    Controller c = h.pairedController(3, "Alice");
    *h.holdConnection = true;
    c.offer(*m.listenerPort(), Offer("S-1", "sdp", SessionMode::control, {}));
    auto answer = c.reply();
    ASSERT_TRUE(answer && answer->get<Answer>());
    m.setPermission(PermissionFlag::control, false, c.record);
    h.openChannels();
    *h.holdConnection = false;
    EXPECT_EQ(byeReason(c), "permissions changed by the host user");
    ASSERT_TRUE(pumpUntil([&] { return !m.isSessionReserved(); }));
    EXPECT_FALSE(m.activeSession());
    EXPECT_TRUE(h.captures->empty());
    EXPECT_EQ(h.sink->count(), 0u);

    // With the record as it now stands, the next request is admitted as a view session.
    MadeSession s = h.connectSession(c, SessionMode::control, "S-2");
    EXPECT_TRUE(s.session);
    ASSERT_TRUE(pumpUntil([&] { return m.activeActivityID().has_value(); }));
    EXPECT_EQ(h.activityLog->entries().at(0).mode, "view");
}

// However many stallers there are, however fast they come back and from however many addresses,
// a real controller pairs each time, soon after both users confirmed, also from an address whose
// earlier exchange was left unanswered.
TEST(HostModelAdmission, StallersThatReconnectAtOnceNeverKeepARealControllerFromPairing) {
    struct Row {
        Sources sources;
        int count;
        bool headerOnly;
    };
    std::vector<Row> rows;
    for (const Sources sources : {Sources::fixed, Sources::everNew, Sources::mixed})
        for (const int count : {8, 32, 64}) rows.push_back({sources, count, false});
    rows.push_back({Sources::everNew, 64, true});
    rows.push_back({Sources::mixed, 32, true});
    const DeviceIdentity earlier = quill::testing::makeIdentity(19);
    const Bytes earlierStart = frame::encode(
        toBytes(PairingMessage(PairStart(earlier.signingPublicKey(), earlier.agreementPublicKey(), "Dana")).encode()));
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.count) + " stallers, sources " + std::to_string(static_cast<int>(row.sources)) +
                     (row.headerOnly ? ", sending a header" : ""));
        ModelHarness h;
        HostModel& m = h.start();
        // The controller's address offended (its last exchange left without an answer): an
        // offence only demotes among equals, and an exchange that answers outranks every staller.
        {
            RawClient left(*m.listenerPort(), 1);
            ASSERT_EQ(::send(left.fd, earlierStart.data(), earlierStart.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(earlierStart.size()));
            char commit[512];
            ASSERT_GT(::recv(left.fd, commit, sizeof commit, 0), 0);
        }
        Stallers stallers(*m.listenerPort(), row.count, row.sources, row.headerOnly);
        ASSERT_TRUE(pumpUntil([&] { return stallers.opened >= row.count; }, 10));
        int paired = 0;
        for (int i = 0; i < 10; ++i) {
            ControllerPairing controller(quill::testing::makeIdentity(static_cast<std::uint8_t>(20 + 2 * i)),
                                         std::make_shared<InMemoryPeerStore>(), "Dana");
            auto channel = FrameChannel::connectLocal(*m.listenerPort());
            auto result = std::async(std::launch::async, [&] { return controller.startComparison(*channel); });
            auto ended = [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
            // Both users see the code (however long a loaded machine takes to get there), then
            // confirm: the pairing completes within 10 s of that.
            if (pumpUntil([&] { return (m.pairing()->isAwaitingConfirmation() && controller.isAwaitingConfirmation()) || ended(); }, 30) &&
                !ended()) {
                controller.confirmComparison();
                m.pairing()->confirmComparison();
                // The host has saved it once the model lists it: the next exchange finds it idle.
                if (pumpUntil([&] { return ended() && m.peers().size() == static_cast<std::size_t>(paired + 1); }, 10)) ++paired;
            }
            channel->close();
            result.wait();
        }
        EXPECT_GE(paired, 9);
        // The window came up for the controller's requests, not once per staller.
        EXPECT_LE(h.windows->shows["pairing"], 1 + 2 * 10);
        // Quitting ends the stallers' exchanges too: none is left on a worker.
        bool quit = false;
        auto quitting = [&]() -> QCoro::Task<> {
            co_await m.prepareToQuit();
            quit = true;
        };
        auto task = quitting();
        EXPECT_TRUE(pumpUntil([&] { return quit; }));
    }
}

// Strangers' pairing openers that go nowhere end before the model hears of them: QR requests
// that fail their checks at once, a comparison whose peer stays silent after the host's
// commitment once the read limit passes (nothing else happening meanwhile). Each counts against
// its address, and none opens, raises or changes a window. A good QR request still pairs.
TEST(HostModelAdmission, StrangersPairingOpenersThatGoNowhereNeverReachTheScreen) {
    ModelHarness h;
    HostModel& m = h.start([](HostEnvironment& env) { env.pairingReadLimit = 1.0; });
    const std::uint16_t port = *m.listenerPort();
    const DeviceIdentity stranger = quill::testing::makeIdentity(11);
    auto requestFor = [&](const PairingLink& link) {
        const Bytes nonce = crypto::randomBytes(32);
        const Bytes mac = crypto::hmacSha256(link.secret, pairRequestTranscript(stranger.fingerprint(), link.fingerprint, nonce));
        return PairRequest(stranger.signingPublicKey(), stranger.agreementPublicKey(), "Mallory", nonce, mac);
    };
    auto wire = [](const PairingMessage& message) { return frame::encode(toBytes(message.encode())); };
    const auto status = m.pairingStatusMessage();
    struct Row {
        const char* name;
        std::function<Bytes()> first;  // made when the row runs
        bool silent = false;           // a comparison left unanswered
    };
    const Row rows[] = {
        {"wrong MAC",
         [&] {
             PairRequest r = requestFor(*m.pairing()->activeLink());
             r.mac[0] ^= 1;
             return wire(r);
         }},
        {"bad keys",
         [&] {
             PairRequest r = requestFor(*m.pairing()->activeLink());
             r.controllerSigningPub = Bytes(32, 0xFF);
             return wire(r);
         }},
        {"silent after the commitment",
         [&] { return wire(PairStart(stranger.signingPublicKey(), stranger.agreementPublicKey(), "Mallory")); }, true},
        {"expired link",
         [&] {
             const auto issued = m.pairing()->issueLink({}, std::chrono::system_clock::now() - std::chrono::seconds(301));
             return wire(requestFor(issued));
         }},
    };
    std::uint32_t source = 2;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RawClient client(port, source);
        const std::string address = "127.0.0." + std::to_string(source++);
        const Bytes first = row.first();
        ASSERT_EQ(::send(client.fd, first.data(), first.size(), MSG_NOSIGNAL), static_cast<ssize_t>(first.size()));
        // Read to the end: a PairCancel (or, for the silent one, the commitment) may come first.
        std::optional<std::chrono::steady_clock::time_point> heard;
        auto ended = [&] {
            char buffer[512];
            for (;;) {
                const auto n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0 && !heard) heard = std::chrono::steady_clock::now();
                if (n > 0) continue;
                return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            }
        };
        ASSERT_TRUE(pumpUntil(ended, 8));
        if (row.silent) {
            ASSERT_TRUE(heard);
            EXPECT_GE(std::chrono::steady_clock::now() - *heard, std::chrono::milliseconds(500)) << "closed before its limit";
        }
        pumpFor(0.1);
        EXPECT_GT(m.pairing()->offences()->weight(address, SteadyClock::now()), -INFINITY);
        EXPECT_EQ(h.windows->shows["pairing"], 0);
        EXPECT_EQ(orNone(m.pairingStatusMessage()).toStdString(), orNone(status).toStdString());
        EXPECT_FALSE(m.isAwaitingPairingConfirmation());
    }

    // A good one pairs, and brings the window up.
    const PairingLink link = m.pairing()->issueLink({}, std::chrono::system_clock::now());
    auto channel = FrameChannel::connectLocal(port);
    auto paired = std::async(std::launch::async, [&] {
        ControllerPairing pairing(quill::testing::makeIdentity(12), std::make_shared<InMemoryPeerStore>(), "Dana's phone");
        return pairing.startLink(link, "Test Host", *channel);
    });
    ASSERT_TRUE(pumpUntil([&] { return m.isAwaitingPairingConfirmation(); }));
    EXPECT_GT(h.windows->shows["pairing"], 0);
    m.pairing()->confirmComparison();
    ASSERT_TRUE(pumpUntil([&] { return paired.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10));
    EXPECT_EQ(paired.get().fingerprint, h.hostIdentity.fingerprint());
    EXPECT_TRUE(pumpUntil([&] { return m.peers().size() == 1; }));
}
