// A stranger's flood against the host binary, while a paired controller sends a fresh offer
// every 100 ms (its first frame a set delay after its connect, as on Wi-Fi), then ten new
// controllers pair (to the code) and the paired one opens a whole session. Floods: connections
// that never send, envelopes from a sender the host never paired with, PairStarts closed at
// once, copies of the paired controller's own offer, envelopes under its identity with a broken
// signature, first frames of 128 KiB all but their last bytes, and QR requests with a wrong MAC;
// from 64 to 60,000 addresses (more than any record the host keeps), at set rates and at the
// most this machine drives (rate 0); and tricklers (a count of them in place of addresses: the
// header of a 128 KiB frame, 100 bytes, then a byte every 60 ms, again from a new address the
// moment the host closes them), and strangers whose claims are no larger than the offer's (4,095
// and 8,191 bytes), all but the last byte sent at once, then a byte 60 ms later, again from a new
// address once closed (a count of them, at most `rate` connections a second), or never the last
// byte (stallers). The controller's offer may come in two segments `gap_ms` apart, and the host
// may run with a hard open-file limit of 1,024 (`open_files`), its output searched for "Too many
// open files".
// Reported per run: the established connections per second, the strangers' bits a second, the
// share of offers answered within 1 s of their last byte (answered_within_1s), those that were
// not because their connection itself took a second or more (the system's queue of new
// connections was full and dropped it once) and the others, the slowest answer, the pairings
// that reached the code on their first connection, how long the session took to come up, the
// host's main thread's share of a core, its peak descriptors and resident memory (and, after
// partial frames, its memory a minute later), and the connections the system dropped because
// the host's accept queue was full, and the lines saying a table was full.
// The closing summary names, per flood and address count, the highest rate at which at least
// 99 % of the offers were answered within 1 s. Run it inside
// scripts/harness/webrtc and scripts/harness/x11: the host needs a display and a private
// network.
//
// Stallers: 8, 32 and 64 connections send a PairStart, say nothing more (or only the header of
// their next message) and connect again the moment the host closes them, from addresses of their
// own, from a new address each time or half of each, while a real controller pairs 10 times.
// Reported: the pairings that reached the code on the first connection and completed within 10 s
// of the host user's confirmation, and the slowest completion.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "quillcore/crypto/crypto.h"
#include "quillcore/webrtc/peer_connection_factory.h"
#include "tests/host_process.h"

using namespace quill;
using namespace quill::hostprocess;

namespace {

enum Flood {
    silent,
    strangersEnvelopes,
    pairStarts,
    replays,
    brokenSignatures,
    partialFrames,
    badLinkRequests,
    tricklers,
    smallTricklers,
    offerClassTricklers,
    smallStallers,
    // Paced: new connections at a steady rate whatever the host closes, each showing all but
    // the end of a first frame and held until the host closes it. Claim, and bytes shown:
    pacedHalf,        // 2,100, 2,048
    pacedQuarter,     // 2,100, 1,024
    pacedSmall,       // 4,095, 4,094
    pacedOfferClass,  // 8,191, 8,190
    pacedOfferSize,   // 4,159, 4,158
    pacedByte,        // one byte of a header
    pacedLargest,     // 16,383, 16,382: the largest body left in its socket
    // A pool of `addresses` connections from fixed addresses, each sending one byte of a header
    // and connecting again the moment the host closes it: the rate is what the host's closes make.
    pooledByte
};

// What paced strangers send: the first bytes of a first frame of this claim, its header's among them.
Bytes pacedStart(Flood flood) {
    const auto [claim, sent] = [&]() -> std::pair<std::uint32_t, std::size_t> {
        switch (flood) {
            case pacedHalf: return {2100, 4 + 2048};
            case pacedQuarter: return {2100, 4 + 1024};
            case pacedSmall: return {4095, 4 + 4094};
            case pacedOfferClass: return {8191, 4 + 8190};
            case pacedByte: return {4159, 1};
            case pacedLargest: return {16383, 4 + 16382};
            default: return {4159, 4 + 4158};
        }
    }();
    Bytes start = quill::testing::header(claim);
    start.resize(sent, 'x');
    return start;
}

// A counter of the kernel's TCP extensions in this network namespace ("ListenOverflows": a
// connection that found the host's accept queue full and was dropped, SYN or handshake end).
double tcpExtension(const std::string& name) {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        std::istringstream n(names), v(values);
        std::string key, value;
        while (n >> key && v >> value)
            if (key == name) return std::stod(value);
    }
    return 0;
}

// The pages the system's TCP sockets hold ("TCP: ... mem N" in /proc/net/sockstat).
double tcpMemoryPages() {
    std::ifstream in("/proc/net/sockstat");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("TCP:", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        for (std::string key, value; fields >> key >> value;)
            if (key == "mem") return std::stod(value);
    }
    return 0;
}

struct Point {
    double rate;  // asked for; 0: as fast as it goes
    double established;
    double answered;
};
std::map<std::tuple<int, int, long, long>, std::vector<Point>> points;  // by flood, addresses, delay and gap

void Churn(benchmark::State& state) {
    const auto flood = static_cast<Flood>(state.range(0));
    const int addresses = static_cast<int>(state.range(1));
    const double rate = static_cast<double>(state.range(2));
    const auto delay = std::chrono::milliseconds(state.range(3));
    const auto gap = std::chrono::milliseconds(state.range(4));
    const bool lowLimit = state.range(5) != 0;
    raiseDescriptorLimit();
    PeerConnectionFactory::shared();
    HostProcess host(HostOptions{{}, lowLimit, true});
    OfferSource offers(host);
    const Bytes spent = offers.next();
    if (!replies(host.port, spent, 20)) state.SkipWithError("the host did not answer");
    const DeviceIdentity stranger = makeIdentity(9);
    Bytes first;
    switch (flood) {
        case silent: break;
        case strangersEnvelopes: first = strangersEnvelope(host); break;
        case pairStarts:
            first = frame::encode(
                toBytes(PairingMessage(PairStart(stranger.signingPublicKey(), stranger.agreementPublicKey(), "?")).encode()));
            break;
        // The paired controller's own offer, overheard and sent again.
        case replays: first = frame::encode(spent); break;
        case brokenSignatures: first = frame::encode(withBrokenSignature(offers.next())); break;
        // A first frame as large as the host takes, all but its last bytes.
        case partialFrames: {
            first = quill::testing::header(128 * 1024);
            first.resize(first.size() + 128 * 1024 - 64, 'x');
            break;
        }
        // QR requests with a MAC of the stranger's own making.
        case tricklers: break;
        case badLinkRequests:
            first = frame::encode(toBytes(PairingMessage(PairRequest(stranger.signingPublicKey(), stranger.agreementPublicKey(), "?",
                                                                     crypto::randomBytes(32), crypto::randomBytes(32)))
                                              .encode()));
            break;
    }
    // Silent ones stay until the host closes them (the churn keeps 4,096 at most).
    const auto hold = flood == pairStarts ? 0ms : flood == partialFrames ? 2s : flood == silent ? 10s : 50ms;
    const int threads = std::max(2u, std::thread::hardware_concurrency() / 2);
    constexpr int kProbes = 100, kPairings = 10;
    double established = 0, slowest = 0, mainThread = 0;
    int answered = 0, lateFromTheQueue = 0, lateFromTheHost = 0;
    int pairedFirstTry = 0;
    double sessionSeconds = 0;
    std::size_t strangersBytes = 0;
    double strangersMbits = 0;  // what the strangers sent, on average
    const std::size_t kiBBefore = host.residentKiB();
    std::atomic<std::size_t> peakKiB{kiBBefore}, peakFds{0};
    const double tcpPagesBefore = tcpMemoryPages();
    std::atomic<double> peakTcpPages{tcpPagesBefore};
    const double overflowsBefore = tcpExtension("ListenOverflows");
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::vector<std::future<std::size_t>> churners;
        std::vector<std::future<Made>> tricklers;
        if (flood == Flood::tricklers)
            tricklers.push_back(std::async(std::launch::async, [&] { return trickle(host.port, addresses, stop); }));
        // Claims no larger than the offer's, all but their last byte sent at once: lanes side by
        // side, so that the strangers' pace is theirs and not one thread's.
        const std::uint32_t claim = flood == offerClassTricklers ? 8191 : 4095;
        for (int i = 0; (flood == smallTricklers || flood == offerClassTricklers || flood == smallStallers) && i < threads; ++i)
            tricklers.push_back(std::async(std::launch::async, [&, i] {
                return trickle(host.port, addresses / threads, stop, claim, claim - 1, static_cast<std::uint32_t>(i),
                               static_cast<std::uint32_t>(threads), rate / threads, flood == smallStallers ? 0ms : 60ms);
            }));
        for (int i = 0; flood == pooledByte && i < threads; ++i)
            tricklers.push_back(std::async(std::launch::async, [&, i] {
                const int lane = addresses / threads;
                const std::size_t made =
                    stall(host.port, lane, stop, Bytes(1, 0), Sources::fixed, false, static_cast<std::uint32_t>(i * lane));
                return Made{made, made};
            }));
        if (flood >= pacedHalf && flood != pooledByte) {
            const Bytes start = pacedStart(flood);
            for (int i = 0; i < threads; ++i)
                tricklers.push_back(std::async(std::launch::async, [&, i, start] {
                    return pace(host.port, addresses, rate / threads, stop, start, 11s, static_cast<std::uint32_t>(i),
                                static_cast<std::uint32_t>(threads));
                }));
        }
        for (int i = 0; tricklers.empty() && i < threads; ++i)
            churners.push_back(std::async(std::launch::async, [&, i] {
                return churn(host.port, addresses, rate / threads, stop, first, hold, i, threads);
            }));
        const auto began = Clock::now();
        std::atomic<bool> sampled{false};
        auto sampler = std::async(std::launch::async, [&] {
            for (; !sampled; std::this_thread::sleep_for(20ms)) {
                peakKiB = std::max<std::size_t>(peakKiB, host.residentKiB());
                peakFds = std::max<std::size_t>(peakFds, host.descriptors());
                peakTcpPages = std::max<double>(peakTcpPages, tcpMemoryPages());
            }
        });
        // The main thread's share over a second of flood alone, before the probes.
        const double mainBefore = host.mainThreadCpuSeconds();
        std::this_thread::sleep_for(1s);
        mainThread = (host.mainThreadCpuSeconds() - mainBefore) / std::chrono::duration<double>(Clock::now() - began).count();
        for (int probe = 0; probe < kProbes; ++probe) {
            const auto sent = Clock::now();
            const Probe p = timeReply(host.port, offers.next(), 5, delay, gap);
            slowest = std::max(slowest, p.replied ? p.seconds : 5.0);
            // Within a second of what the controller itself took to send it.
            const bool inTime = p.replied && p.seconds <= 1.0 + std::chrono::duration<double>(delay + gap).count();
            answered += inTime ? 1 : 0;
            // A connection that took a second or more was dropped by the system's full queue of
            // new connections and tried again; anything else late is the host's.
            if (!inTime) ++(p.connectSeconds >= 1.0 ? lateFromTheQueue : lateFromTheHost);
            std::this_thread::sleep_until(sent + 100ms);
        }
        for (int i = 0; i < kPairings; ++i) {
            Pairing pairing(host, delay);
            pairedFirstTry += pairing.controller->isAwaitingConfirmation() && pairing.tries == 1 ? 1 : 0;
            pairing.controller->rejectComparison();
        }
        // A whole session of the paired controller, both data channels open.
        {
            const auto start = Clock::now();
            auto session = host.session();
            try {
                session->start(host.port);
                sessionSeconds = std::chrono::duration<double>(Clock::now() - start).count();
            } catch (const std::exception& e) {
                sessionSeconds = 99;
                std::fprintf(stderr, "flood %d: the session did not come up: %s\n", static_cast<int>(flood), e.what());
                if (std::getenv("QUILL_BENCH_HOST_OUTPUT")) std::fprintf(stderr, "%s\n", host.output().c_str());
            }
            session->close("done");
        }
        stop = true;
        std::size_t made = 0;
        for (auto& c : churners) made += c.get();
        for (auto& t : tricklers) {
            const Made m = t.get();
            made += m.connections;
            strangersBytes += m.bytes;
        }
        sampled = true;
        sampler.get();
        const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
        established = static_cast<double>(made) / seconds;
        strangersMbits = static_cast<double>(strangersBytes) * 8 / 1e6 / seconds;
    }
    if (!host.running()) state.SkipWithError("the host died");
    state.counters["established_per_s"] = established;
    state.counters["answered_within_1s"] = static_cast<double>(answered) / kProbes;
    if (strangersBytes) state.counters["strangers_mbit_per_s"] = strangersMbits;
    state.counters["late_connects"] = lateFromTheQueue;
    state.counters["late_by_the_host"] = lateFromTheHost;
    state.counters["slowest_answer_s"] = slowest;
    state.counters["paired_first_try_of_10"] = pairedFirstTry;
    state.counters["session_up_s"] = sessionSeconds;
    state.counters["main_thread_share"] = mainThread;
    state.counters["peak_host_fds"] = static_cast<double>(peakFds);
    state.counters["listen_overflows"] = tcpExtension("ListenOverflows") - overflowsBefore;
    state.counters["first_frame_delay_ms"] = static_cast<double>(delay.count());
    state.counters["segment_gap_ms"] = static_cast<double>(gap.count());
    state.counters["hard_limit_1024"] = lowLimit;
    const std::string output = host.output();
    double tooMany = 0;
    for (std::size_t at = 0; (at = output.find("Too many open files", at)) != std::string::npos; ++at) ++tooMany;
    state.counters["too_many_open_files"] = tooMany;
    state.counters["rss_before_mb"] = static_cast<double>(kiBBefore) / 1024;
    state.counters["peak_rss_mb"] = static_cast<double>(peakKiB) / 1024;
    // What the system's TCP sockets hold over what they held before (every socket here, both
    // ends): unread bytes queued in the host's sockets are most of it.
    state.counters["peak_tcp_mem_over_mb"] = (peakTcpPages - tcpPagesBefore) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1e6;
    // What the host gives back once the flood is over.
    if (flood == partialFrames) {
        std::this_thread::sleep_for(60s);
        state.counters["rss_60s_after_mb"] = static_cast<double>(host.residentKiB()) / 1024;
    }
    if (!lowLimit)
        points[{flood, addresses, static_cast<long>(delay.count()), static_cast<long>(gap.count())}].push_back(
        {rate, established, static_cast<double>(answered) / kProbes});
}
BENCHMARK(Churn)
    ->ArgNames({"flood", "addresses", "rate", "delay_ms", "gap_ms", "open_files"})
    ->ArgsProduct({{silent, strangersEnvelopes, pairStarts}, {64, 1024, 60000}, {5000, 20000, 0}, {20, 50}, {0}, {0}})
    ->ArgsProduct({{replays, brokenSignatures}, {1024, 60000}, {5000, 20000}, {20}, {0}, {0}})
    ->ArgsProduct({{partialFrames}, {60000}, {5000, 0}, {20}, {0}, {0}})
    ->ArgsProduct({{partialFrames}, {60000}, {5000, 20000}, {20}, {20}, {0}})
    ->Args({partialFrames, 60000, 5000, 20, 50, 0})
    ->Args({tricklers, 2000, 0, 20, 20, 0})
    // An offer whose second segment is late (a slow link, a retransmission or two).
    ->ArgsProduct({{silent}, {60000}, {5000, 20000}, {20}, {100, 250, 600}, {0}})
    ->ArgsProduct({{partialFrames}, {60000}, {5000}, {20}, {100, 250, 600}, {0}})
    ->ArgsProduct({{tricklers}, {2000}, {0}, {20}, {100, 250, 600}, {0}})
    // Claims no larger than the offer's, up to what a gigabit link carries.
    // Claims no larger than the offer's, up to what a gigabit link carries (rate: connections a
    // second; 28,000 of 4,095 bytes or 14,000 of 8,191 bytes are about 940 Mbit/s).
    ->ArgsProduct({{smallTricklers}, {2500, 4000}, {14000, 21000, 28000, 0}, {20}, {20, 250}, {0}})
    ->ArgsProduct({{offerClassTricklers}, {1250, 2000}, {7000, 10800, 14000, 0}, {20}, {20, 250}, {0}})
    // Where the line lies: the same claims never finished, each held until the host closes it.
    ->ArgsProduct({{smallStallers}, {16000}, {2000, 4000, 6000, 8000}, {20}, {20, 250}, {0}})
    ->Args({smallStallers, 16000, 8000, 20, 0, 0})
    // Paced strangers that never finish, up to 20,000 new a second (each held until the host
    // closes it): the offer keeps its place for the places divided by their rate.
    ->ArgsProduct({{pacedHalf}, {60000}, {6000, 8000, 10000, 14000, 20000, 25000, 30000, 35000, 40000}, {20}, {20, 250}, {0}})
    ->ArgsProduct({{pacedHalf, pacedQuarter, pacedSmall, pacedOfferClass}, {60000}, {10000}, {20}, {600}, {0}})
    ->ArgsProduct({{pacedHalf}, {60000}, {12000, 14000}, {20}, {600}, {0}})
    ->ArgsProduct({{pacedHalf}, {60000}, {20000, 40000}, {20}, {0}, {0}})
    ->ArgsProduct({{pacedQuarter}, {60000}, {10000, 20000}, {20}, {20, 250}, {0}})
    ->ArgsProduct({{pacedSmall}, {60000}, {11200, 14500, 20000}, {20}, {20, 250}, {0}})
    ->ArgsProduct({{pacedOfferClass}, {60000}, {14000, 20000}, {20}, {20, 250}, {0}})
    ->ArgsProduct({{pacedOfferClass}, {60000}, {25000, 30000, 35000}, {20}, {250}, {0}})
    ->ArgsProduct({{pacedOfferClass}, {60000}, {12000, 14000}, {20}, {600}, {0}})
    ->ArgsProduct({{pacedOfferSize}, {60000}, {400, 600, 800, 1000, 1200}, {20}, {250}, {1}})
    // The same with one byte of a header each: what a frame shows no longer counts for its place,
    // so the line is in new connections a second, whatever they send.
    ->ArgsProduct({{pacedByte}, {60000}, {10000, 12000, 13000, 14000}, {20}, {600}, {0}})
    ->ArgsProduct({{pacedByte}, {60000}, {25000, 30000, 35000}, {20}, {250}, {0}})
    ->ArgsProduct({{pacedByte}, {60000}, {40000}, {20}, {20}, {0}})
    ->ArgsProduct({{pacedByte}, {60000}, {600, 800, 1000}, {20}, {250}, {1}})
    ->ArgsProduct({{pooledByte}, {9000}, {0}, {0, 20}, {0, 20, 250, 600}, {0}})
    // What bodies left in their sockets cost the system at most.
    ->ArgsProduct({{pacedLargest}, {60000}, {10000, 20000}, {20}, {250}, {0}})
    ->ArgsProduct({{badLinkRequests}, {1024, 60000}, {10000, 0}, {20}, {0}, {0}})
    ->Args({silent, 60000, 20000, 0, 0, 1024})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

void Stallers(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const auto sources = static_cast<Sources>(state.range(1));
    const bool headerOnly = state.range(2) != 0;
    raiseDescriptorLimit();
    HostProcess host;
    const DeviceIdentity stranger = makeIdentity(9);
    const Bytes start = frame::encode(
        toBytes(PairingMessage(PairStart(stranger.signingPublicKey(), stranger.agreementPublicKey(), "?")).encode()));
    constexpr int kPairings = 10;
    int paired = 0;
    double slowest = 0;
    std::size_t made = 0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        auto stallers = std::async(std::launch::async, [&] { return stall(host.port, count, stop, start, sources, headerOnly); });
        std::this_thread::sleep_for(1s);
        for (int i = 0; i < kPairings; ++i) {
            Pairing pairing(host);
            const auto confirmed = Clock::now();
            const bool completed = pairing.completes();
            const double seconds = std::chrono::duration<double>(Clock::now() - confirmed).count();
            if (completed) slowest = std::max(slowest, seconds);
            paired += completed && pairing.tries == 1 && seconds <= 10 ? 1 : 0;
            // The host saves the pairing before it takes the next.
            std::this_thread::sleep_for(500ms);
        }
        stop = true;
        made = stallers.get();
    }
    if (!host.running()) state.SkipWithError("the host died");
    state.counters["paired_of_10"] = paired;
    state.counters["slowest_completion_s"] = slowest;
    state.counters["staller_connections"] = static_cast<double>(made);
}
BENCHMARK(Stallers)
    ->ArgNames({"stallers", "sources", "header_only"})
    ->ArgsProduct({{8, 32, 64, 256}, {static_cast<int>(Sources::fixed), static_cast<int>(Sources::everNew), static_cast<int>(Sources::mixed)}, {0}})
    ->Args({64, static_cast<int>(Sources::everNew), 1})
    ->Args({64, static_cast<int>(Sources::mixed), 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// One offer on a new connection, its reply read and, for an answer, a Bye sent before the
// connection is closed: a controller that hangs up during the setup.
struct Exchange {
    enum { none, answer, busy, other } reply = none;
    double seconds = 0;  // from the connect's start to the reply
};
Exchange offerAndLeave(const HostProcess& host, const Bytes& offer, double limit) {
    Exchange e;
    const auto began = Clock::now();
    const auto [fd, connected] = connectWithin(host.port, limit);
    const Bytes wire = frame::encode(offer);
    std::uint8_t header[4];
    if (connected &&
        ::send(fd, wire.data(), wire.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(wire.size()) &&
        ::recv(fd, header, sizeof header, MSG_WAITALL) == 4) {
        e.seconds = std::chrono::duration<double>(Clock::now() - began).count();
        Bytes body(frame::parseHeader(header));
        e.reply = Exchange::other;
        if (::recv(fd, body.data(), body.size(), MSG_WAITALL) == static_cast<ssize_t>(body.size())) {
            const auto hostRecord = recordOf(host.hostIdentity, "Host");
            EnvelopeReceiver receiver(host.controller, std::make_shared<InMemoryPeerStore>(std::vector{hostRecord}));
            try {
                const SignallingMessage reply = receiver.open(Envelope::decode(ByteView(body)), std::chrono::system_clock::now()).message;
                if (const Answer* answer = reply.get<Answer>()) {
                    e.reply = Exchange::answer;
                    const auto bye = EnvelopeSealer::seal(SignallingMessage(Bye(answer->sessionID(), "done")), host.controller, hostRecord);
                    const Bytes byeWire = frame::encode(toBytes(bye.encode()));
                    [[maybe_unused]] auto sent = ::send(fd, byeWire.data(), byeWire.size(), MSG_NOSIGNAL);
                } else if (const Reject* reject = reply.get<Reject>()) {
                    e.reply = reject->reason() == "The host is already handling another session" ? Exchange::busy : Exchange::other;
                }
            } catch (const std::exception&) {
            }
        }
    }
    ::close(fd);
    return e;
}

// A controller that hangs up during the setup and comes straight back: `offers` offers, each
// `pause_ms` after the last one's Bye and the end of its connection, while `stallers` strangers
// from addresses of their own hold all but the last byte of a 4,095-byte first frame and
// connect again whenever the host closes them. Reported: the offers answered within 1 s, those
// told the host is busy, and the slowest reply.
void ComesBack(benchmark::State& state) {
    const int stallers = static_cast<int>(state.range(0));
    const auto pause = std::chrono::milliseconds(state.range(1));
    const int count = static_cast<int>(state.range(2));
    raiseDescriptorLimit();
    PeerConnectionFactory::shared();
    HostProcess host;
    OfferSource offers(host);
    Bytes start = quill::testing::header(4095);
    start.resize(start.size() + 4094, 'x');
    int answered = 0, busy = 0;
    double slowest = 0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        auto flood = std::async(std::launch::async, [&] { return stallers ? stall(host.port, stallers, stop, start) : 0; });
        std::this_thread::sleep_for(1s);
        for (int i = 0; i < count; ++i) {
            const Exchange e = offerAndLeave(host, offers.next(), 5);
            answered += e.reply == Exchange::answer && e.seconds <= 1 ? 1 : 0;
            busy += e.reply == Exchange::busy ? 1 : 0;
            slowest = std::max(slowest, e.reply == Exchange::none ? 5 : e.seconds);
            std::this_thread::sleep_for(pause);
        }
        stop = true;
        flood.get();
    }
    if (!host.running()) state.SkipWithError("the host died");
    state.counters["answered_within_1s"] = answered;
    state.counters["told_busy"] = busy;
    state.counters["offers"] = count;
    state.counters["slowest_reply_s"] = slowest;
}
BENCHMARK(ComesBack)
    ->ArgNames({"stallers", "pause_ms", "offers"})
    ->Args({3000, 500, 300})
    ->Args({3000, 0, 300})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

void summarize() {
    std::printf(
        "\nThe highest flood at which >= 99%% of a paired controller's offers were answered within 1 s of their last byte:\n");
    for (const auto& [key, runs] : points) {
        const auto [flood, addresses, delay, gap] = key;
        static const char* const kinds[] = {"connections that never send", "strangers' envelopes", "PairStarts, then closed",
                                            "replays of its own offer", "its identity, bad signatures", "partial 128 KiB frames",
                                            "QR requests, wrong MAC", "tricklers",
                                            "tricklers, 4,095-byte claims", "tricklers, 8,191-byte claims",
                                            "stallers, 4,095-byte claims", "paced, 2,048 of 2,100 bytes",
                                            "paced, 1,024 of 2,100 bytes", "paced, 4,094 of 4,095 bytes",
                                            "paced, 8,190 of 8,191 bytes", "paced, 4,158 of 4,159 bytes",
                                            "paced, one header byte", "paced, 16,382 of 16,383 bytes",
                                            "pool, one header byte"};
        const Point* held = nullptr;
        const Point* most = nullptr;  // the run at the most this machine drives
        for (const Point& p : runs) {
            if (p.rate == 0) most = &p;
            if (p.answered >= 0.99 && (!held || p.established > held->established)) held = &p;
        }
        std::printf("  %-29s from %5d addresses, first frame after %3ld ms (%3ld ms between its halves): ", kinds[flood], addresses,
                    delay, gap);
        if (most && most == held)
            std::printf("no rate this machine drives breaks it (at its most, %.0f/s: %.0f %%)\n", most->established,
                        100 * most->answered);
        else if (held)
            std::printf("%.0f connections/s (at the most this machine drives, %.0f/s: %.0f %%)\n", held->established,
                        most ? most->established : 0.0, most ? 100 * most->answered : 0.0);
        else
            std::printf("none of the rates tried\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summarize();
    return 0;
}
