#include "quillcore/transport/connection_intake.h"

#include <cmath>
#include <filesystem>

#include "quillcore/transport/frame_test_support.h"

namespace quill {
namespace {

using namespace quill::testing;

// A plain client socket from 127.0.0.`source` to 127.0.0.1:`port`.
int connectTo(std::uint16_t port, std::uint8_t source = 1) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK - 1 + source)}, {}};
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("connect");
    return fd;
}

// An intake on a listener of its own.
struct Intake {
    explicit Intake(ConnectionIntake::Limits limits, std::shared_ptr<OffenceRecord> offences = nullptr,
                    std::function<void()> onReady = {})
        : intake(ConnectionIntake::make(limits, std::move(onReady), std::move(offences))) {
        std::promise<std::uint16_t> ready;
        listener->setStateHandler([&ready](const net::TcpListener::StateUpdate& u) {
            if (u.state == net::TcpListener::State::ready) ready.set_value(*u.port);
        });
        listener->setConnectionHandler([i = intake](net::TcpConnectionPtr c) { i->add(std::move(c)); });
        listener->start();
        port = ready.get_future().get();
        listener->setStateHandler(nullptr);
    }
    ~Intake() { listener->cancel(); }
    std::shared_ptr<ConnectionIntake> intake;
    net::TcpListenerPtr listener = net::TcpListener::create();
    std::uint16_t port = 0;
};

Bytes joined(Bytes a, const Bytes& b) {
    append(a, b);
    return a;
}

void write(int fd, const Bytes& bytes) {
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("write");
}

// The intake reads first frames itself, straight from the sockets: however the bytes fall, the
// frame comes whole, what follows it stays for the connection's own reader, and what is no
// frame within the limits is refused.
TEST(ConnectionIntake, ReadsTheFirstFrameHoweverItArrivesAndLeavesTheRestToTheReader) {
    ConnectionIntake::Limits limits;
    limits.maxFirstFrame = 2000;
    Intake fixture(limits);
    auto& intake = fixture.intake;
    const std::uint16_t at = fixture.port;

    const Bytes body = pattern(1500, 7), next = toBytes("next");
    const struct {
        const char* name;
        std::function<void(int)> send;
        std::optional<Bytes> first;  // none: refused
    } cases[] = {
        {"whole, the next frame in the same write", [&](int fd) { write(fd, joined(wire(body), wire(next))); }, body},
        {"the header split, the body in pauses",
         [&](int fd) {
             const Bytes all = wire(body);
             std::size_t from = 0;
             for (const std::size_t to : {std::size_t{2}, std::size_t{4}, std::size_t{600}, all.size()}) {
                 write(fd, Bytes(all.begin() + static_cast<std::ptrdiff_t>(from), all.begin() + static_cast<std::ptrdiff_t>(to)));
                 from = to;
                 std::this_thread::sleep_for(20ms);
             }
         },
         body},
        {"empty", [&](int fd) { write(fd, wire({})); }, Bytes{}},
        {"over the limit, judged from its header", [&](int fd) { write(fd, header(2001)); }, std::nullopt},
        {"ended halfway", [&](int fd) { 
             write(fd, joined(header(10), toBytes("abc")));
             ::shutdown(fd, SHUT_WR);
         },
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = connectTo(at);
        c.send(fd);
        std::vector<ConnectionIntake::FirstFrame> taken;
        const bool came = eventually([&] {
            for (auto& f : intake->take()) taken.push_back(std::move(f));
            return !taken.empty() || (!c.first && intake->size() == 0);
        });
        if (c.first) {
            ASSERT_TRUE(came);
            ASSERT_EQ(taken.size(), 1u);
            EXPECT_EQ(taken[0].frame, *c.first);
            EXPECT_EQ(taken[0].host, "127.0.0.1");
            auto channel = FrameChannel::make(taken[0].connection, taken[0].frame);
            EXPECT_EQ(channel->nextFrame(5.0), *c.first);
            if (c.name == cases[0].name) {
                EXPECT_EQ(channel->nextFrame(5.0), next);
            }
            channel->send(toBytes("reply"));
            EXPECT_EQ(::recv(fd, Bytes(9).data(), 9, MSG_WAITALL), 9) << "the connection goes on";
        } else {
            EXPECT_TRUE(came && taken.empty());
            char byte;
            EXPECT_LE(::recv(fd, &byte, 1, 0), 0) << "closed";
        }
        ::close(fd);
    }
}

// A failure on the intake's own thread costs no more than what it was doing: an owner whose
// wake-up throws leaves the intake taking the next frames.
TEST(ConnectionIntake, AFailureOnItsThreadCostsOnlyWhatItWasDoing) {
    std::atomic<int> woken{0};
    Intake fixture({}, nullptr, [&] {
        if (woken++ == 0) throw std::runtime_error("the owner is out of memory");
    });
    for (const char* text : {"first", "second"}) {
        const int fd = connectTo(fixture.port);
        write(fd, wire(toBytes(text)));
        std::vector<ConnectionIntake::FirstFrame> taken;
        EXPECT_TRUE(eventually([&] {
            for (auto& f : fixture.intake->take()) taken.push_back(std::move(f));
            return !taken.empty();
        })) << text;
        ::close(fd);
    }
    EXPECT_GE(woken.load(), 2);
}

// Silent connections from many addresses: when the waiting places run out the longest silent
// gives way to a newcomer, an address beyond its share is refused, neither counts against an
// address, and only silence past the limit does.
TEST(ConnectionIntake, TheLongestSilentGivesWayAndOnlySilencePastTheLimitOffends) {
    auto offences = std::make_shared<OffenceRecord>();
    ConnectionIntake::Limits limits;
    limits.waiting = 4;
    limits.perAddress = 2;
    limits.firstFrameLimit = 1.0;
    Intake fixture(limits, offences);
    auto closed = [](int fd) {
        char byte;
        return eventually([&] { return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 || errno == ECONNRESET; }, 2s);
    };
    auto open = [](int fd) {
        char byte;
        return ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    };
    // One address has two places at most: a third is refused at once.
    std::vector<int> silent;
    auto connectSilent = [&](std::uint8_t source) {
        silent.push_back(connectTo(fixture.port, source));
        eventually([&] { return static_cast<std::ptrdiff_t>(fixture.intake->size()) == std::count_if(silent.begin(), silent.end(), open); });
        return silent.back();
    };
    connectSilent(2);
    connectSilent(2);
    EXPECT_TRUE(closed(connectSilent(2)));
    // Full: the address holding the most places gives way first, its longest silent; then the
    // longest silent of any.
    connectSilent(3);
    connectSilent(4);
    connectSilent(5);
    EXPECT_TRUE(closed(silent[0]));
    EXPECT_TRUE(open(silent[1]));
    connectSilent(6);
    EXPECT_TRUE(closed(silent[1]));
    for (std::size_t i = 3; i < silent.size(); ++i) EXPECT_TRUE(open(silent[i])) << i;
    EXPECT_EQ(offences->weight("127.0.0.2", SteadyClock::now()), -INFINITY) << "turned away for want of room";
    // A peer that speaks at once is taken however full the places are.
    const int speaker = connectTo(fixture.port, 7);
    write(speaker, wire(toBytes("offer")));
    std::vector<ConnectionIntake::FirstFrame> taken;
    ASSERT_TRUE(eventually([&] {
        for (auto& f : fixture.intake->take()) taken.push_back(std::move(f));
        return !taken.empty();
    }));
    EXPECT_EQ(taken[0].host, "127.0.0.7");
    // Silent past the limit: closed, and an offence of each address.
    for (std::size_t i = 3; i < silent.size(); ++i) EXPECT_TRUE(closed(silent[i])) << i;
    // (127.0.0.3 may have given way to the speaker, if its frame came after it was judged.)
    for (const char* host : {"127.0.0.4", "127.0.0.5", "127.0.0.6"})
        EXPECT_GT(offences->weight(host, SteadyClock::now()), -INFINITY) << host;
    for (int fd : silent) ::close(fd);
    ::close(speaker);
}

// Whole first frames wait for the owner; when their places run out, those of addresses that
// misbehaved elsewhere (the record is shared with the pairing) give way to a peer that did
// not, which is not blamed for what it displaced.
TEST(ConnectionIntake, AddressesThatOffendedElsewhereGiveWayInTheReadyQueue) {
    auto offences = std::make_shared<OffenceRecord>();
    const auto now = SteadyClock::now();
    for (const char* host : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) offences->note(host, now);
    ConnectionIntake::Limits limits;
    limits.ready = 4;
    Intake fixture(limits, offences);
    // The peer that behaves comes first: it is the oldest when room must be made.
    const int controller = connectTo(fixture.port);
    write(controller, wire(toBytes("controller")));
    std::this_thread::sleep_for(50ms);
    std::vector<int> clients;
    for (std::uint8_t source = 2; source <= 5; ++source) {
        clients.push_back(connectTo(fixture.port, source));
        write(clients.back(), wire(Bytes{source}));
    }
    // Five whole frames for four places: one of the offenders' connections is reset.
    auto reset = [](int fd) {
        char byte;
        return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 || errno == ECONNRESET;
    };
    ASSERT_TRUE(eventually([&] { return std::any_of(clients.begin(), clients.end(), reset); }));
    const auto taken = fixture.intake->take();
    EXPECT_EQ(taken.size(), 4u);
    EXPECT_TRUE(std::any_of(taken.begin(), taken.end(), [](const auto& f) { return f.frame == toBytes("controller"); }));
    EXPECT_FALSE(reset(controller));
    EXPECT_EQ(offences->weight("127.0.0.1", SteadyClock::now()), -INFINITY);
    ::close(controller);
    for (int fd : clients) ::close(fd);
}

// A burst of connections the intake refuses is reset in full, on its closing thread or, beyond
// that thread's room, at once; none stays open, also when the intake goes while resets wait.
TEST(ConnectionIntake, EveryConnectionRefusedInABurstIsResetAndItsDescriptorFreed) {
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
    };
    { Intake warmUp(ConnectionIntake::Limits{}); }  // the process's I/O thread and its descriptors
    const auto before = openDescriptors();
    constexpr int kBurst = 300;
    for (const bool intakeGoes : {false, true}) {
        SCOPED_TRACE(intakeGoes ? "the intake goes at once" : "the intake stays");
        ConnectionIntake::Limits limits;
        limits.waiting = 4;
        limits.perAddress = 1;
        auto fixture = std::make_unique<Intake>(limits);
        std::vector<int> clients;
        for (int i = 0; i < kBurst; ++i) clients.push_back(connectTo(fixture->port, static_cast<std::uint8_t>(2 + i % 4)));
        if (intakeGoes) fixture.reset();
        std::vector<bool> ended(clients.size());
        auto resetCount = [&] {
            for (std::size_t i = 0; i < clients.size(); ++i) {
                char byte;
                // One the listener accepts after its owner went is closed, not reset.
                if (!ended[i])
                    ended[i] = ::recv(clients[i], &byte, 1, MSG_DONTWAIT) < 0 ? errno == ECONNRESET : intakeGoes;
            }
            return static_cast<int>(std::count(ended.begin(), ended.end(), true));
        };
        // Four places, one per address: the rest are refused.
        const int expected = intakeGoes ? kBurst : kBurst - 4;
        EXPECT_TRUE(eventually([&] { return resetCount() >= expected; })) << resetCount() << " of " << expected;
        for (int fd : clients) ::close(fd);
        fixture.reset();
        EXPECT_TRUE(eventually([&] { return openDescriptors() <= before; })) << openDescriptors() << " open, " << before << " before";
    }
}

}  // namespace
}  // namespace quill
