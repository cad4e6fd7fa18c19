#include "quillcore/transport/connection_intake.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <filesystem>
#include <fstream>
#include <deque>
#include <map>
#include <random>
#include <set>

#include "quillcore/transport/frame_test_support.h"

// Sanitizers whose allocators keep their own memory: what a flood freed is not given back.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_HWADDRESS__)
#define QUILL_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#define QUILL_OWN_ALLOCATOR                                                                                   \
    (__has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer) || \
     __has_feature(hwaddress_sanitizer))
#else
#define QUILL_OWN_ALLOCATOR 0
#endif

// Allocations on the intake's own thread fail, every `failEvery`-th, while it is set.
namespace {
std::atomic<int> failEvery{0};
std::atomic<unsigned> allocations{0};
bool onIntakeThread() {
    char name[16] = {};
    ::prctl(PR_GET_NAME, name);
    return std::string_view(name) == "quill-intake";
}
}  // namespace

void* operator new(std::size_t size) {
    if (const int every = failEvery.load(std::memory_order_relaxed); every > 0 && onIntakeThread() &&
                                                                     ++allocations % static_cast<unsigned>(every) == 0)
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // this operator new is malloc's
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

// An intake on a listener of its own; `receiveBuffer`: the accepted sockets' SO_RCVBUF, when set.
struct Intake {
    explicit Intake(ConnectionIntake::Limits limits, std::shared_ptr<OffenceRecord> offences = nullptr,
                    std::function<void()> onReady = {}, int receiveBuffer = 0)
        : intake(ConnectionIntake::make(limits, std::move(onReady), std::move(offences))) {
        std::promise<std::uint16_t> ready;
        listener->setStateHandler([&ready](const net::TcpListener::StateUpdate& u) {
            if (u.state == net::TcpListener::State::ready) ready.set_value(*u.port);
        });
        listener->setConnectionHandler([i = intake, receiveBuffer](net::TcpConnectionPtr c) {
            if (receiveBuffer > 0)
                ::setsockopt(c->unstartedDescriptor(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            i->add(std::move(c));
        });
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

// Whether the intake ended `fd`'s connection (closed or reset); does not wait.
bool ended(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}
// Whether it still waits, silent.
bool waiting(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}
// The first frames taken from `intake` until one came (at most a few seconds).
std::vector<ConnectionIntake::FirstFrame> takeSome(ConnectionIntake& intake) {
    std::vector<ConnectionIntake::FirstFrame> taken;
    eventually([&] {
        for (auto& f : intake.take()) taken.push_back(std::move(f));
        return !taken.empty();
    });
    return taken;
}

// This process's resident memory.
[[maybe_unused]] std::size_t residentKiB() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

// This process's open descriptors (the listing's own included).
std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
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
    // Far beyond the wait below: a frame is refused for what its peer sent, never by running out its limit.
    limits.firstFrameLimit = 100;

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
        {"exactly the largest taken", [&](int fd) { write(fd, wire(pattern(2000, 3))); }, pattern(2000, 3)},
        {"over the limit, judged from its header", [&](int fd) { write(fd, header(2001)); }, std::nullopt},
        {"ended halfway", [&](int fd) { 
             write(fd, joined(header(10), toBytes("abc")));
             ::shutdown(fd, SHUT_WR);
         },
         std::nullopt},
    };
    // Bodies left in their sockets until whole, and bodies read as they come.
    for (const std::uint32_t inSocket : {limits.inSocket, 0u})
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + std::string(inSocket ? ", in its socket" : ", read as it comes"));
        limits.inSocket = inSocket;
        Intake fixture(limits);
        auto& intake = fixture.intake;
        const int fd = connectTo(fixture.port);
        c.send(fd);
        std::vector<ConnectionIntake::FirstFrame> taken;
        const bool came = eventually([&] {
            for (auto& f : intake->take()) taken.push_back(std::move(f));
            // Refused: gone from the intake, its connection ended (not merely not handed over yet).
            return !taken.empty() || (!c.first && intake->size() == 0 && ended(fd));
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
            EXPECT_TRUE(came && taken.empty()) << "closed";
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

    // No memory on its thread, again and again: each connection is taken or reset, none is
    // left hanging, and once memory comes back the next frame is taken.
    for (const int every : {2, 3, 7}) {
        SCOPED_TRACE("every " + std::to_string(every) + "th allocation fails");
        failEvery = every;
        std::vector<int> clients;
        for (int i = 0; i < 60; ++i) {
            clients.push_back(connectTo(fixture.port, static_cast<std::uint8_t>(2 + i % 50)));
            // The intake may reset it before it is all written.
            const Bytes frame = wire(pattern(100 + static_cast<std::size_t>(i) * 700, 1));
            [[maybe_unused]] auto sent = ::send(clients.back(), frame.data(), frame.size(), MSG_NOSIGNAL);
        }
        std::size_t taken = 0;
        std::vector<bool> ended(clients.size());
        EXPECT_TRUE(eventually([&] {
            taken += fixture.intake->take().size();
            for (std::size_t i = 0; i < clients.size(); ++i) {
                char byte;
                if (!ended[i]) ended[i] = ::recv(clients[i], &byte, 1, MSG_DONTWAIT) == 0 || errno == ECONNRESET;
            }
            return taken + static_cast<std::size_t>(std::count(ended.begin(), ended.end(), true)) >= clients.size();
        })) << taken << " taken";
        failEvery = 0;
        for (int fd : clients) ::close(fd);
        const int fd = connectTo(fixture.port);
        write(fd, wire(toBytes("after")));
        EXPECT_TRUE(eventually([&] {
            for (auto& f : fixture.intake->take())
                if (f.frame == toBytes("after")) return true;
            return false;
        }));
        ::close(fd);
    }
}

// Whether the peer of a taken first frame left: it ended its side or reset, never while it
// only stays silent or sends more.
TEST(ConnectionIntake, APeerLeftOnlyWhenItEndedOrReset) {
    Intake fixture({});
    const struct {
        const char* name;
        std::function<void(int&)> then;
        bool left;
    } rows[] = {
        {"silent", [](int&) {}, false},
        {"sends more", [](int& fd) { write(fd, toBytes("more")); }, false},
        {"ended its side", [](int& fd) { ::shutdown(fd, SHUT_WR); }, true},
        {"closed", [](int& fd) { ::close(std::exchange(fd, -1)); }, true},
        {"reset",
         [](int& fd) {
             const linger abort{1, 0};
             ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
             ::close(std::exchange(fd, -1));
         },
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        int fd = connectTo(fixture.port);
        write(fd, wire(toBytes("first")));
        auto taken = takeSome(*fixture.intake);
        ASSERT_EQ(taken.size(), 1u);
        row.then(fd);
        if (row.left) EXPECT_TRUE(eventually([&] { return taken[0].peerLeft(); }));
        else {
            std::this_thread::sleep_for(50ms);
            EXPECT_FALSE(taken[0].peerLeft());
        }
        if (fd >= 0) ::close(fd);
    }
}

// Connections handed over while the intake's thread is busy: 64 wait for it; the one after
// waits a quarter second for room and is then reset.
TEST(ConnectionIntake, SixtyFourWaitToBeJudgedAndTheNextIsResetAfterAQuarterSecond) {
    std::mutex busy;
    std::unique_lock hold(busy);
    ConnectionIntake::Limits limits;
    limits.perAddress = 200;
    Intake fixture(limits, nullptr, [&] { std::lock_guard wait(busy); });
    const int first = connectTo(fixture.port);
    write(first, wire(toBytes("wakes the owner, which holds the intake's thread")));
    std::this_thread::sleep_for(200ms);
    std::vector<int> clients;
    for (int i = 0; i < 66; ++i) clients.push_back(connectTo(fixture.port, static_cast<std::uint8_t>(2 + i)));
    bool last = false, beforeLast = false;
    EXPECT_TRUE(eventually([&] { return (beforeLast = beforeLast || ended(clients[64])) && (last = last || ended(clients[65])); }, 3s));
    for (int i = 0; i < 64; ++i) EXPECT_TRUE(waiting(clients[static_cast<std::size_t>(i)])) << i;
    hold.unlock();
    EXPECT_TRUE(eventually([&] { return fixture.intake->size() >= 64; }));
    for (int fd : clients) ::close(fd);
    ::close(first);
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

// A newcomer has its grace before silence can cost it its place: a controller whose first frame
// comes a round trip late is taken while silent connections keep coming; past their grace the
// silent give way as before. When the newcomers' own places run out, the oldest of them is
// judged early.
TEST(ConnectionIntake, ANewcomerKeepsItsPlaceThroughItsGrace) {
    auto offences = std::make_shared<OffenceRecord>();
    ConnectionIntake::Limits limits;
    limits.waiting = 1;
    limits.grace = 0.4;
    Intake fixture(limits, offences);
    const auto began = SteadyClock::now();
    const int controller = connectTo(fixture.port, 2);
    std::vector<int> silent;
    for (std::uint8_t source = 3; source < 23; ++source) silent.push_back(connectTo(fixture.port, source));
    std::this_thread::sleep_for(200ms);
    write(controller, wire(toBytes("offer")));
    const auto taken = takeSome(*fixture.intake);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].host, "127.0.0.2");
    if (SteadyClock::now() - began < 350ms) {
        for (int fd : silent) EXPECT_TRUE(waiting(fd)) << "within its grace";
    }
    // Past it, one place for the silent: the rest gave way, no offence of theirs.
    EXPECT_TRUE(eventually([&] { return std::count_if(silent.begin(), silent.end(), waiting) == 1; }));
    EXPECT_EQ(offences->weight("127.0.0.3", SteadyClock::now()), -INFINITY);
    for (int fd : silent) ::close(fd);
    ::close(controller);

    limits.grace = 5;
    limits.newcomers = 2;
    Intake few(limits);
    std::vector<int> four;
    for (std::uint8_t source = 2; source < 6; ++source) four.push_back(connectTo(few.port, source));
    // Two within their grace, one owing: the oldest gave way.
    EXPECT_TRUE(eventually([&] { return few.intake->size() == 3 && ended(four[0]); }));
    for (std::size_t i = 1; i < four.size(); ++i) EXPECT_TRUE(waiting(four[i])) << i;
    for (int fd : four) ::close(fd);

    // Partial frames fill every place: a newcomer still keeps its grace, among others that came
    // after it (a sixteenth of the places is kept for newcomers), and the oldest partial frames
    // give way to them.
    limits.newcomers = 48;
    Intake full(limits);
    std::vector<int> partial;
    for (std::uint8_t source = 3; source < 3 + 48; ++source) {
        partial.push_back(connectTo(full.port, source));
        write(partial.back(), joined(header(3000), pattern(10, source)));
    }
    ASSERT_TRUE(eventually([&] { return full.intake->partialFrames() == 48; }));
    const int late = connectTo(full.port, 2);
    std::vector<int> after{connectTo(full.port, 60), connectTo(full.port, 61)};
    EXPECT_TRUE(eventually([&] { return std::count_if(partial.begin(), partial.end(), ended) == 3; }));
    EXPECT_TRUE(ended(partial[0]) && ended(partial[1]) && ended(partial[2]));
    write(late, wire(toBytes("offer")));
    ASSERT_EQ(takeSome(*full.intake).at(0).host, "127.0.0.2");
    for (int fd : partial) ::close(fd);
    for (int fd : after) ::close(fd);
    ::close(late);
}

// A connection that sent part of its first frame has shown more than silence: however many
// silent connections come, owe and give way, and however full the newcomers' places are, it
// waits for the rest of its frame (a segment late by a retransmission or two), and only its own
// limit closes it, an offence.
TEST(ConnectionIntake, AFrameInPiecesNeverGivesWayToSilence) {
    const Bytes offer = pattern(4159, 9), all = wire(offer);
    const struct {
        const char* name;
        std::size_t sent;      // of `all`, before the silent come
        std::size_t newcomers; // places for newcomers and partial frames
        bool rest;             // the rest comes; else it runs out its limit
        std::uint8_t silent = 20;
    } rows[] = {
        {"half its body, then twenty silent past their grace", all.size() / 2, 8192, true},
        {"two bytes of its header", 2, 8192, true},
        {"the newcomers' places full: the silent are judged early", all.size() / 2, 2, true},
        {"and its limit still holds", all.size() / 2, 8192, false},
        {"alone, nothing else to wake the intake: its limit still holds", all.size() / 2, 8192, false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto offences = std::make_shared<OffenceRecord>();
        ConnectionIntake::Limits limits;
        limits.waiting = 1;
        limits.grace = 0.05;
        limits.newcomers = row.newcomers;
        limits.firstFrameLimit = row.rest ? 20 : 1.5;
        Intake fixture(limits, offences);
        const int controller = connectTo(fixture.port, 2);
        write(controller, Bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(row.sent)));
        ASSERT_TRUE(eventually([&] { return fixture.intake->size() == 1 && fixture.intake->take().empty(); }));
        std::vector<int> silent;
        for (std::uint8_t source = 3; source < 3 + row.silent; ++source) silent.push_back(connectTo(fixture.port, source));
        // Past their grace, one place for the silent: the rest gave way.
        EXPECT_TRUE(silent.empty() || eventually([&] { return std::count_if(silent.begin(), silent.end(), waiting) == 1; }));
        if (row.rest) {
            EXPECT_TRUE(waiting(controller));
            write(controller, Bytes(all.begin() + static_cast<std::ptrdiff_t>(row.sent), all.end()));
            const auto taken = takeSome(*fixture.intake);
            ASSERT_EQ(taken.size(), 1u);
            EXPECT_EQ(taken[0].frame, offer);
            EXPECT_EQ(offences->weight("127.0.0.2", SteadyClock::now()), -INFINITY);
        } else {
            EXPECT_TRUE(eventually([&] { return ended(controller); }));
            EXPECT_GT(offences->weight("127.0.0.2", SteadyClock::now()), -INFINITY);
        }
        for (int fd : silent) ::close(fd);
        ::close(controller);
    }

    // When the places run out among partial frames alone, the oldest gives way, whatever those
    // that came later show: an offer's first half (1,381 of 2,762 bytes) outlasts the strangers
    // that came after it with more of their frames, and only one before it gives way.
    ConnectionIntake::Limits limits;
    limits.newcomers = 3;
    Intake fixture(limits);
    const Bytes split = wire(pattern(2762, 9));
    const Bytes sent[] = {joined(header(3000), pattern(2999, 2)), Bytes(split.begin(), split.begin() + 1385),
                          joined(header(2100), pattern(2048, 3)), joined(header(4095), pattern(4094, 4))};
    std::vector<int> clients;
    for (const Bytes& bytes : sent) {
        clients.push_back(connectTo(fixture.port, static_cast<std::uint8_t>(2 + clients.size())));
        write(clients.back(), bytes);
        ASSERT_TRUE(eventually([&] { return fixture.intake->partialFrames() == std::min<std::size_t>(clients.size(), 3); }));
    }
    EXPECT_TRUE(eventually([&] { return ended(clients[0]); }));
    for (std::size_t i = 1; i < clients.size(); ++i) EXPECT_TRUE(waiting(clients[i])) << i;
    write(clients[1], Bytes(split.begin() + 1385, split.end()));
    const auto taken = takeSome(*fixture.intake);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].host, "127.0.0.3");
    for (int fd : clients) ::close(fd);
}

// Partial bodies share a budget, counted by the memory each holds for what came: when more is
// needed, the one that has shown least gives way (AdmissionRule::partialToFree), without blame,
// and a small frame that keeps coming is taken whatever else is under way. Each write is read
// before the next: the order is part of the row.
TEST(ConnectionIntake, PartialBodiesHoldABoundedShareOfMemory) {
    // Small writes, each read whole: a body read in one go holds just its bytes.
    const Bytes large = header(100'000), small = header(3000), medium = header(10'000);
    const struct {
        const char* name;
        std::size_t budget;
        std::vector<std::pair<std::uint8_t, Bytes>> writes;  // from 127.0.0.`first`
        std::vector<const char*> offenders;
        std::set<std::uint8_t> gaveWay;
        std::size_t held;               // partialBytes() at the end
        std::set<std::uint8_t> whole;   // whose frames were taken
        std::uint32_t inSocket = 0;     // bodies shorter wait in their sockets
        std::size_t places = 8192;      // for newcomers and partial frames
        int receiveBuffer = 0;          // the accepted sockets' SO_RCVBUF; 0: the system's
    } rows[] = {
        {"equal claims within a round trip: the later gives way, unread",
         3000, {{2, joined(medium, pattern(2000, 2))}, {3, joined(medium, pattern(2000, 3))}}, {}, {3}, 2000, {}},
        {"a small frame in two segments outlasts a larger claim all but sent",
         8000, {{2, joined(small, pattern(1500, 2))}, {3, joined(header(8000), pattern(7000, 3))}, {2, pattern(1500, 4)}},
         {}, {3}, 0, {2}},
        {"a trickle holds only what came", 3000, {{2, joined(large, pattern(100, 2))}, {2, pattern(1, 3)}}, {}, {}, 200, {}},
        {"bodies up to the budget all stay",
         3000, {{2, joined(medium, pattern(1000, 2))}, {3, joined(medium, pattern(2000, 3))}}, {}, {}, 3000, {}},
        {"a byte beyond it: one gives way",
         3000, {{2, joined(medium, pattern(1000, 2))}, {3, joined(medium, pattern(2000, 3))}, {4, joined(large, pattern(1, 4))}},
         {}, {4}, 3000, {}},
        {"a frame that comes whole in one read is taken however full, whatever it claimed",
         3000, {{2, joined(header(1000), pattern(900, 2))}, {3, wire(pattern(2500, 3))}}, {"127.0.0.3"}, {2}, 0, {3}},
        {"claims under 16 KiB are one class: an offer in two segments outlasts a smaller claim all but sent",
         4500, {{2, joined(header(4159), pattern(2080, 2))}, {3, joined(header(4095), pattern(4094, 3))}, {2, pattern(2079, 4)}},
         {}, {3}, 0, {2}},
        {"made whole while others hold the budget, not the last of them: the others make room, whatever it claimed",
         101'500, {{2, joined(large, pattern(1000, 2))}, {3, joined(header(20'000), pattern(2000, 3))}, {4, joined(small, pattern(500, 4))},
                   {2, pattern(99'000, 5)}, {4, pattern(2500, 6)}},
         {}, {3}, 0, {2, 4}},
        {"under 16 KiB a body waits in its socket, holding no memory however little there is: an offer in two segments",
         3000, {{2, joined(header(4159), pattern(2080, 2))}, {3, joined(large, pattern(2500, 3))}, {2, pattern(2079, 4)}},
         {}, {}, 2500, {2}, 16 * 1024},
        {"a body of exactly 16 KiB holds memory for what came; a byte shorter, it waits in its socket",
         100'000, {{2, joined(header(16 * 1024 - 1), pattern(1000, 2))}, {3, joined(header(16 * 1024), pattern(1000, 3))}},
         {}, {}, 1000, {}, 16 * 1024},
        {"a socket whose receive buffer cannot hold the body unread has it read as it comes",
         100'000, {{2, joined(header(4159), pattern(1000, 2))}}, {}, {}, 1000, {}, 16 * 1024, 8192, 4096},
        {"a body that grew twice gives way once: the next to give way for memory is another",
         4000, {{2, joined(large, pattern(1000, 2))}, {2, pattern(1000, 3)}, {3, joined(medium, pattern(1500, 3))},
                {4, joined(medium, pattern(1000, 4))}, {5, joined(medium, pattern(2000, 5))}},
         {}, {2, 5}, 2500, {}},
        {"for a place the larger claim gives way first, from a header in pieces or a whole one with some body; no offence",
         100'000, {{2, joined(small, pattern(10, 2))}, {3, Bytes(large.begin(), large.begin() + 2)}, {4, joined(large, pattern(10, 4))},
                   {3, joined(Bytes(large.begin() + 2, large.end()), pattern(10, 3))}, {5, joined(small, pattern(10, 5))},
                   {6, joined(small, pattern(10, 6))}},
         {}, {3, 4}, 0, {}, 16 * 1024, 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto offences = std::make_shared<OffenceRecord>();
        for (const char* host : row.offenders) offences->note(host, SteadyClock::now());
        ConnectionIntake::Limits limits;
        limits.maxFirstFrame = 100'000;
        limits.bodyBytes = row.budget;
        limits.inSocket = row.inSocket;
        limits.newcomers = row.places;
        limits.firstFrameLimit = 100;  // beyond the waits: only the rows' own reasons close a frame
        Intake fixture(limits, offences, {}, row.receiveBuffer);
        std::map<std::uint8_t, int> clients;
        std::vector<ConnectionIntake::FirstFrame> taken;
        auto gone = [&] {
            std::set<std::uint8_t> sources;
            for (const auto& [source, fd] : clients)
                if (ended(fd)) sources.insert(source);
            return sources;
        };
        for (const auto& [source, bytes] : row.writes) {
            auto [client, fresh] = clients.try_emplace(source, -1);
            if (fresh) client->second = connectTo(fixture.port, source);
            const std::size_t held = fixture.intake->partialBytes(), frames = fixture.intake->partialFrames(),
                              before = gone().size();
            write(client->second, bytes);
            ASSERT_TRUE(eventually([&] {
                for (auto& f : fixture.intake->take()) taken.push_back(std::move(f));
                return fixture.intake->partialBytes() != held || fixture.intake->partialFrames() != frames ||
                       gone().size() != before || !taken.empty();
            }));
        }
        EXPECT_TRUE(eventually([&] {
            for (auto& f : fixture.intake->take()) taken.push_back(std::move(f));
            return gone() == row.gaveWay && taken.size() == row.whole.size();
        })) << ::testing::PrintToString(gone()) << " gave way, " << taken.size() << " taken";
        EXPECT_EQ(fixture.intake->partialBytes(), row.held);
        std::set<std::uint8_t> whole;
        for (const auto& f : taken) whole.insert(static_cast<std::uint8_t>(std::stoi(f.host.substr(f.host.rfind('.') + 1))));
        EXPECT_EQ(whole, row.whole);
        for (const std::uint8_t source : row.gaveWay)
            EXPECT_EQ(offences->weight("127.0.0." + std::to_string(source), SteadyClock::now()), -INFINITY) << "no offence";
        // Nothing more comes: the intake's thread sleeps, bodies waiting in their sockets too
        // (a partial frame's limit wakes it once a second).
        const std::size_t passes = fixture.intake->passes();
        std::this_thread::sleep_for(50ms);
        EXPECT_LE(fixture.intake->passes() - passes, 10u) << "wake-ups while nothing came";
        for (const auto& [source, fd] : clients) ::close(fd);
    }

    // Churn: headers in pieces, bodies growing again and again, frames made whole, peers that
    // leave, frames giving way for places and for memory, in random order. A frame taken is one
    // its peer sent whole, the bodies never hold more than their budget, and once every peer is
    // gone nothing is held or counted.
    {
        ConnectionIntake::Limits limits;
        limits.newcomers = 12;
        limits.bodyBytes = 30'000;
        limits.maxFirstFrame = 100'000;
        Intake fixture(limits);
        std::mt19937 random(1);
        struct Peer {
            int fd;
            Bytes all;
            std::size_t sent = 0;
        };
        std::vector<Peer> peers;
        std::vector<int> done;
        std::vector<Bytes> sentWhole;
        std::size_t taken = 0, peak = 0;
        const auto takeAll = [&] {
            for (auto& f : fixture.intake->take()) {
                EXPECT_NE(std::find(sentWhole.begin(), sentWhole.end(), f.frame), sentWhole.end());
                ++taken;
            }
        };
        for (int step = 0; step < 600; ++step) {
            const auto action = random() % 8;
            if (peers.empty() || action < 2) {
                const std::size_t claims[] = {3000, 20'000, 50'000};
                peers.push_back({connectTo(fixture.port, static_cast<std::uint8_t>(2 + random() % 20)),
                                 wire(pattern(claims[random() % 3], static_cast<std::uint8_t>(step)))});
            } else {
                const std::size_t i = random() % peers.size();
                Peer& p = peers[i];
                if (action == 2) {
                    ::close(p.fd);  // it leaves
                } else {
                    // A few bytes of the header at a time, then up to 9,000 of the body; the intake
                    // may have closed it meanwhile.
                    const std::size_t n = std::min<std::size_t>(p.sent < 4 ? 1 + random() % 3 : 1 + random() % 9000, p.all.size() - p.sent);
                    [[maybe_unused]] auto sent = ::send(p.fd, p.all.data() + p.sent, n, MSG_NOSIGNAL);
                    p.sent += n;
                    if (p.sent == p.all.size()) done.push_back(p.fd), sentWhole.emplace_back(p.all.begin() + 4, p.all.end());
                }
                if (action == 2 || p.sent == p.all.size()) {
                    std::swap(p, peers.back());
                    peers.pop_back();
                }
            }
            std::this_thread::sleep_for(1ms);
            takeAll();
            peak = std::max(peak, fixture.intake->partialBytes());
        }
        for (const Peer& p : peers) ::close(p.fd);
        for (int fd : done) ::close(fd);
        EXPECT_TRUE(eventually([&] {
            takeAll();
            return fixture.intake->size() == 0 && fixture.intake->partialBytes() == 0 && fixture.intake->partialFrames() == 0;
        })) << fixture.intake->size() << " held, " << fixture.intake->partialBytes() << " bytes";
        EXPECT_GT(taken, 0u);
        EXPECT_LE(peak, limits.bodyBytes);
        EXPECT_GT(peak, limits.bodyBytes / 2) << "the bodies reached their budget";
    }

    // A flood's bodies give their memory back to the system once it is over (the allocator
    // would keep it); a sanitizer's allocator keeps its own.
#if !QUILL_OWN_ALLOCATOR
    ConnectionIntake::Limits limits;
    limits.perAddress = 250;
    limits.maxFirstFrame = 100'000;
    Intake fixture(limits);
    const std::size_t before = residentKiB();
    std::vector<int> flood;
    for (int i = 0; i < 300; ++i) {
        flood.push_back(connectTo(fixture.port, static_cast<std::uint8_t>(2 + i % 250)));
        write(flood.back(), joined(header(100'000), pattern(90'000, static_cast<std::uint8_t>(i))));
    }
    ASSERT_TRUE(eventually([&] { return fixture.intake->partialBytes() >= 24u << 20; }));
    EXPECT_GE(residentKiB(), before + (16u << 10));
    // Connections that came after it and stay hold memory above the bodies'.
    std::vector<int> after;
    for (std::uint8_t source = 2; source < 22; ++source) after.push_back(connectTo(fixture.port, source));
    ASSERT_TRUE(eventually([&] { return fixture.intake->size() == flood.size() + after.size(); }));
    for (int fd : flood) ::close(fd);
    EXPECT_TRUE(eventually([&] { return fixture.intake->partialBytes() == 0 && residentKiB() < before + (8u << 10); }))
        << residentKiB() - before << " KiB more than before";
    for (int fd : after) ::close(fd);
#endif
}

// Whole first frames wait for the owner; when their places (by count or by bytes) run out,
// those of addresses that misbehaved elsewhere (the record is shared with the pairing) give
// way to a peer that did not, which is not blamed for what it displaced: the one whose address
// offended most, else the longest waiting.
TEST(ConnectionIntake, AddressesThatOffendedElsewhereGiveWayInTheReadyQueue) {
    const struct {
        const char* name;
        std::size_t ready, readyBytes;
        int offencesOf4;  // offences of 127.0.0.4; one each for .2, .3 and .5
        std::size_t resetIndex;  // of the offenders' connections, from .2
    } rows[] = {
        {"four places, equal offences: the longest waiting", 4, 1 << 20, 1, 0},
        {"four places, .4 offended most", 4, 1 << 20, 3, 2},
        {"by bytes, equal offences", 100, 4 * 1000, 1, 0},
        {"by bytes, .4 offended most", 100, 4 * 1000, 3, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto offences = std::make_shared<OffenceRecord>();
        const auto now = SteadyClock::now();
        for (const char* host : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) offences->note(host, now);
        for (int i = 1; i < row.offencesOf4; ++i) offences->note("127.0.0.4", now);
        ConnectionIntake::Limits limits;
        limits.ready = row.ready;
        limits.readyBytes = row.readyBytes;
        Intake fixture(limits, offences);
        // The peer that behaves comes first: it is the oldest when room must be made.
        const int controller = connectTo(fixture.port);
        write(controller, wire(pattern(1000, 9)));
        std::this_thread::sleep_for(50ms);
        std::vector<int> clients;
        for (std::uint8_t source = 2; source <= 5; ++source) {
            clients.push_back(connectTo(fixture.port, source));
            write(clients.back(), wire(pattern(1000, source)));
            std::this_thread::sleep_for(20ms);
        }
        // Five whole frames for four places: one of the offenders' connections is reset.
        ASSERT_TRUE(eventually([&] { return !waiting(clients[row.resetIndex]); }));
        for (std::size_t i = 0; i < clients.size(); ++i) EXPECT_EQ(waiting(clients[i]), i != row.resetIndex) << i;
        const auto taken = fixture.intake->take();
        EXPECT_EQ(taken.size(), 4u);
        EXPECT_TRUE(std::any_of(taken.begin(), taken.end(), [](const auto& f) { return f.frame == pattern(1000, 9); }));
        EXPECT_TRUE(waiting(controller));
        EXPECT_EQ(offences->weight("127.0.0.1", SteadyClock::now()), -INFINITY);
        ::close(controller);
        for (int fd : clients) ::close(fd);
    }
}

// A burst of connections the intake refuses is reset in full, on its closing thread or, beyond
// that thread's room, at once; none stays open, also when the intake goes while resets wait.
TEST(ConnectionIntake, EveryConnectionRefusedInABurstIsResetAndItsDescriptorFreed) {
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

// The intake's descriptors stay within half of the open-file limit, whatever it is: a child
// process at a limit of 1,024 (soft and hard) runs a listener and an intake whose owner takes
// nothing, while this process floods it with silent connections, whole first frames and partial
// ones. There a
// bystander thread holds every descriptor the intake must leave over and opens one more again
// and again: it never finds the table full, and the count of open descriptors stays within half.
TEST(ConnectionIntake, ItsDescriptorsStayWithinHalfTheOpenFileLimit) {
    constexpr rlim_t kFiles = 1024;
    if (std::getenv("QUILL_INTAKE_CHILD")) {
        const rlimit files{kFiles, kFiles};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
        ConnectionIntake::Limits limits;
        limits.grace = 5;  // newcomers pile up whatever the rate
        Intake fixture(limits);
        const std::size_t baseline = openDescriptors();
        // Beyond the intake's half: one for the bystander's own, one for the count's listing.
        std::vector<int> held(kFiles - kFiles / 2 - baseline - 1);
        for (int& fd : held) ASSERT_GE(fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
        std::atomic<bool> stop{false};
        std::atomic<int> refused{0};
        std::size_t peak = 0;
        std::jthread bystander([&] {
            for (int fd; !stop;) (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0 ? void(++refused) : void(::close(fd));
        });
        std::jthread counter([&] {
            for (; !stop; std::this_thread::sleep_for(1ms)) try {
                    peak = std::max(peak, openDescriptors() - held.size());
                } catch (const std::exception&) {
                    ++refused;  // the listing found the table full
                }
        });
        std::printf("intake-port %u\n", fixture.port);
        std::fflush(stdout);
        for (char byte; ::read(STDIN_FILENO, &byte, 1) > 0;) {
        }
        stop = true;
        bystander.join(), counter.join();
        EXPECT_EQ(refused, 0);
        EXPECT_LE(peak, baseline + kFiles / 2);
        return;
    }
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;  // the flood holds a few thousand sockets
    ::setrlimit(RLIMIT_NOFILE, &files);
    int in[2], out[2];
    ASSERT_TRUE(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0);
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_adddup2(&io, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&io, out[1], STDOUT_FILENO);
    std::string self = std::filesystem::read_symlink("/proc/self/exe"), marker = "QUILL_INTAKE_CHILD=1",
                filter = "--gtest_filter=ConnectionIntake.ItsDescriptorsStayWithinHalfTheOpenFileLimit";
    std::vector<char*> argv{self.data(), filter.data(), nullptr}, env{marker.data()};
    for (char** e = environ; *e; ++e) env.push_back(*e);
    env.push_back(nullptr);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, self.c_str(), &io, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&io);
    ASSERT_EQ(spawned, 0);
    ::close(in[0]), ::close(out[1]);
    FILE* output = ::fdopen(out[0], "r");
    std::string said;
    unsigned port = 0;
    for (char line[512]; !port && std::fgets(line, sizeof line, output);) said += line, std::sscanf(line, "intake-port %u", &port);
    // Silent connections and whole first frames from ever-new addresses, as fast as one thread
    // goes, for two seconds; each held until four thousand more came.
    std::deque<int> open;
    const Bytes whole = wire(toBytes("whole")), partial = joined(header(1000), pattern(10, 1));
    std::size_t made = 0;
    for (const auto until = Clock::now() + 2s; port && Clock::now() < until; ++made) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, 0, {htonl((127u << 24 | 1u << 16) + static_cast<std::uint32_t>(made % 60'000))}, {}};
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        address = {AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (made % 3) [[maybe_unused]] auto sent = ::send(fd, made % 3 == 1 ? whole.data() : partial.data(), 
                                                          made % 3 == 1 ? whole.size() : partial.size(), MSG_NOSIGNAL);
        for (open.push_back(fd); open.size() > 4000; open.pop_front()) ::close(open.front());
    }
    for (int fd : open) ::close(fd);
    EXPECT_GT(made, 4000u);
    ::close(in[1]);  // the child's cue to end
    for (char line[512]; std::fgets(line, sizeof line, output);) said += line;
    std::fclose(output);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(port && WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
}

}  // namespace
}  // namespace quill
