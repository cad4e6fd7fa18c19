#pragma once

// The real host binary in a private home, on the display and in the network namespace the
// harness gives, with one paired controller already in its keychain; and what a stranger on the
// LAN can throw at it. Shared by the binary's tests and the churn benchmark.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "host/desktop/x11_connection.h"
#include "host/desktop/xtest_event_sink.h"
#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"
#include "quillcore/pairing/controller_pairing.h"
#include "quillcore/session/controller_session.h"
#include "quillcore/transport/frame_test_support.h"
#include "tests/proc_stat.h"

namespace quill::hostprocess {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quill::testing::makeIdentity;
using quill::testing::recordOf;

// Waits (at most `limit`) until `done` holds.
template <class F>
bool eventually(F&& done, Clock::duration limit = 10s) {
    for (const auto until = Clock::now() + limit; !done(); std::this_thread::sleep_for(20ms))
        if (Clock::now() >= until) return false;
    return true;
}

struct HostOptions {
    std::string display;         // empty: the harness's $DISPLAY
    bool hardFileLimit = false;  // the hard open-file limit at 1,024 too, so that the host keeps it
    bool keepOutput = false;     // its output goes to output(), not to this process's
};

class HostProcess {
public:
    explicit HostProcess(const std::string& display = {}) : HostProcess(HostOptions{display}) {}
    explicit HostProcess(const HostOptions& options) {
        const std::string& display = options.display;
        const std::string root = folder_.path().string();
        for (const char* dir : {"/home", "/run", "/data", "/config"}) ::mkdir((root + dir).c_str(), 0700);
        // The host's identity and its paired controller, where the host reads them.
        auto keychain = std::make_shared<FileKeychain>(folder_.path() / "data" / "quillmate" / "keychain");
        KeychainKeyStore keys(keychain, std::string(KeychainKeyStore::defaultService), "device-identity");
        keys.save(hostIdentity.storedKeys());
        KeychainPeerStore(keychain, std::string(KeychainPeerStore::defaultService)).save(recordOf(controller, "Ana"));
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
            // The descriptors a desktop session gives, whatever the caller raised its own to.
            rlimit files{};
            ::getrlimit(RLIMIT_NOFILE, &files);
            files.rlim_cur = std::min<rlim_t>(files.rlim_cur, 1024);
            if (options.hardFileLimit) files.rlim_max = files.rlim_cur;
            ::setrlimit(RLIMIT_NOFILE, &files);
            if (options.keepOutput) {
                const int log = ::open((root + "/output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                ::dup2(log, STDOUT_FILENO);
                ::dup2(log, STDERR_FILENO);
            }
            for (const auto& [name, dir] : {std::pair{"HOME", "/home"}, {"XDG_RUNTIME_DIR", "/run"},
                                            {"XDG_DATA_HOME", "/data"}, {"XDG_CONFIG_HOME", "/config"}})
                ::setenv(name, (root + dir).c_str(), 1);
            if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
            ::execl(QUILL_HOST_BINARY, QUILL_HOST_BINARY, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (!eventually([&] { return (port = listeningPort()) != 0 || !running(); }, 20s) || !port)
            throw std::runtime_error("the host did not start listening");
    }
    ~HostProcess() {
        if (!running()) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }

    // Asks the host to stop; its exit status once it has gone within `limit`, none otherwise.
    std::optional<int> terminate(Clock::duration limit) {
        ::kill(pid, SIGTERM);
        eventually([&] { return !running(); }, limit);
        if (!status_) return std::nullopt;
        return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
    }
    bool running() {
        int status = 0;
        if (!status_ && ::waitpid(pid, &status, WNOHANG) == pid) status_ = status;
        return !status_;
    }
    std::size_t descriptors() const {
        auto it = std::filesystem::directory_iterator(proc() + "/fd");
        return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
    }
    // CPU time of the host's main thread (the user interface's), from /proc.
    double mainThreadCpuSeconds() const {
        const auto f = statFields(proc() + "/task/" + std::to_string(pid) + "/stat");
        if (f.size() < 13) return 0;
        return (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    std::size_t residentKiB() const { return statusValue("VmRSS:"); }
    std::size_t threads() const { return statusValue("Threads:"); }

    // A paired controller's session.
    std::shared_ptr<ControllerSession> session() const {
        const SessionConfiguration config({}, SessionMode::control, 2'000'000, 30, 640, 480, 10, 15, 20);
        auto store = std::make_shared<InMemoryPeerStore>(std::vector{recordOf(hostIdentity, "Host")});
        return ControllerSession::make(recordOf(hostIdentity, "Host"), controller, store, config);
    }

    // What it wrote, when started with keepOutput.
    std::string output() const {
        std::ifstream in(folder_.path() / "output");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // The host's $XDG_RUNTIME_DIR.
    std::filesystem::path runtimeFolder() const { return folder_.path() / "run"; }
    // The host's $XDG_DATA_HOME, where its Activity Log lives.
    std::filesystem::path dataFolder() const { return folder_.path() / "data"; }

    const DeviceIdentity controller = makeIdentity(3), hostIdentity = makeIdentity(1);
    pid_t pid = -1;
    std::uint16_t port = 0;

private:
    std::string proc() const { return "/proc/" + std::to_string(pid); }
    // A number of the host's /proc status file, by its key ("VmRSS:").
    std::size_t statusValue(const std::string& key) const {
        std::ifstream in(proc() + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(key, 0) == 0) return std::stoul(line.substr(key.size()));
        return 0;
    }
    // The port of the host's listening socket, read from its namespace's table.
    std::uint16_t listeningPort() const {
        std::set<std::string> sockets;
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator(proc() + "/fd", ignored)) {
            const auto target = std::filesystem::read_symlink(fd.path(), ignored).string();
            if (target.rfind("socket:[", 0) == 0) sockets.insert(target.substr(8, target.size() - 9));
        }
        for (const char* table : {"/net/tcp6", "/net/tcp"}) {
            std::ifstream in(proc() + table);
            for (std::string line; std::getline(in, line);) {
                std::istringstream fields(line);
                std::string field[10];
                for (auto& f : field) fields >> f;
                if (field[3] == "0A" && sockets.count(field[9]))
                    return static_cast<std::uint16_t>(std::stoul(field[1].substr(field[1].find(':') + 1), nullptr, 16));
            }
        }
        return 0;
    }

    quill::testing::TempFolder folder_;
    std::optional<int> status_;
};

// The top-level window on show titled `title` (of process `pid`, when given: other tests may
// show theirs on the same display); 0 when there is none.
inline xcb_window_t shownWindow(const host::X11Connection& x, const std::string& title, pid_t pid = 0) {
    xcb_connection_t* c = x.get();
    host::XcbReply<xcb_intern_atom_reply_t> pidAtom(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 11, "_NET_WM_PID"), nullptr));
    host::XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, x.root()), nullptr));
    if (!tree || !pidAtom) return 0;
    auto property = [&](xcb_window_t w, xcb_atom_t atom, xcb_atom_t type) {
        return host::XcbReply<xcb_get_property_reply_t>(
            xcb_get_property_reply(c, xcb_get_property(c, 0, w, atom, type, 0, 64), nullptr));
    };
    const xcb_window_t* windows = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        host::XcbReply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, windows[i]), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
        if (pid > 0) {
            const auto owner = property(windows[i], pidAtom->atom, XCB_ATOM_CARDINAL);
            if (!owner || xcb_get_property_value_length(owner.get()) != 4 ||
                *static_cast<const std::uint32_t*>(xcb_get_property_value(owner.get())) != static_cast<std::uint32_t>(pid))
                continue;
        }
        const auto name = property(windows[i], XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY);
        if (name && std::string(static_cast<const char*>(xcb_get_property_value(name.get())),
                                static_cast<std::size_t>(xcb_get_property_value_length(name.get()))) == title)
            return windows[i];
    }
    return 0;
}

// Gives the X input focus to the top-level window on show titled `title`, unless it has it.
inline void focusWindow(const host::X11Connection& x, const std::string& title) {
    const xcb_window_t window = shownWindow(x, title);
    if (!window) return;
    xcb_connection_t* c = x.get();
    host::XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!focus || focus->focus != window) xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
    x.flush();
}

// A new controller pairing with the host, its users confirming.
struct Pairing {
    std::shared_ptr<ControllerPairing> controller =
        std::make_shared<ControllerPairing>(makeIdentity(7), std::make_shared<InMemoryPeerStore>(), "Dana");
    FrameChannelPtr channel;
    std::future<PeerRecord> result;
    int tries = 0;  // connections it took to reach the code

    // Starts a comparison and waits until both sides show the code. The host refuses a new one
    // while it still saves the last, which takes as long as the disk makes it: the controller
    // tries again a moment later, as its user would.
    // `delay`: its first frame goes that long after its connection (a controller a round trip away).
    explicit Pairing(const HostProcess& host, Clock::duration delay = {}) {
        for (const auto until = Clock::now() + 20s; !controller->isAwaitingConfirmation() && Clock::now() < until; ++tries) {
            if (channel) {
                channel->close();
                std::this_thread::sleep_for(200ms);
            }
            channel = FrameChannel::connectLocal(host.port);
            std::this_thread::sleep_for(delay);
            result = std::async(std::launch::async, [c = controller, ch = channel] { return c->startComparison(*ch); });
            eventually([&] { return controller->isAwaitingConfirmation() || result.wait_for(0s) == std::future_status::ready; }, 15s);
        }
    }
    ~Pairing() { channel->close(); }

    // Both users confirm: the host user with Return in the pairing window, as often as it takes
    // for the window to show the request. A request brings the window up without the keyboard
    // focus, so the user gives it the focus first, and Confirm counts once it has held it for a
    // second.
    bool completes() {
        if (!controller->isAwaitingConfirmation()) return false;
        controller->confirmComparison();
        host::XTestEventSink keyboard(std::make_shared<host::X11Connection>());
        host::X11Connection x;
        eventually(
            [&] {
                focusWindow(x, "Pair a Device");
                keyboard.post(host::KeyboardEvent{36, true, 0, {}});
                keyboard.post(host::KeyboardEvent{36, false, 0, {}});
                return result.wait_for(250ms) == std::future_status::ready;
            },
            15s);
        try {
            return result.wait_for(0s) == std::future_status::ready && !result.get().fingerprint.empty();
        } catch (const std::exception&) {
            return false;
        }
    }
};

// A fresh offer of the framework's controller session, sealed for the host: the first frame its
// session would send. The session is left negotiating with nobody; close it when done.
struct CapturedOffer {
    Bytes frame;
    std::shared_ptr<ControllerSession> session;
    std::future<void> started;
};
inline CapturedOffer captureOffer(const HostProcess& host) {
    auto [channel, server] = quill::testing::connectedChannels();
    CapturedOffer offer{{}, host.session(), {}};
    offer.started = std::async(std::launch::async, [s = offer.session, channel = channel] {
        try {
            s->start(channel);
        } catch (const std::exception&) {
        }
    });
    offer.frame = server->nextFrame(20.0).value_or(Bytes{});
    return offer;
}

// One frame on a new connection, written `delay` after the connect (a controller a round trip
// away), in two segments `gap` apart when given, timed: how long the connection took to be
// established, and whether a reply came within `limit` seconds.
struct Probe {
    double connectSeconds = 0;
    bool replied = false;
    double seconds = 0;  // from the connect's start to the reply
};
// A socket to `port` on loopback whose connect, sends and receives give up after `limit`
// seconds, and whether it connected.
inline std::pair<int, bool> connectWithin(std::uint16_t port, double limit) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval wait{static_cast<time_t>(limit), static_cast<suseconds_t>((limit - std::floor(limit)) * 1e6)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    return {fd, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0};
}

inline Probe timeReply(std::uint16_t port, const Bytes& first, double limit, Clock::duration delay = {},
                       Clock::duration gap = {}) {
    Probe p;
    const auto began = Clock::now();
    auto [fd, connected] = connectWithin(port, limit);
    p.connectSeconds = std::chrono::duration<double>(Clock::now() - began).count();
    const Bytes wire = frame::encode(first);
    if (connected) std::this_thread::sleep_for(delay);
    const std::size_t split = gap > Clock::duration{} ? wire.size() / 2 : 0;
    if (connected && split) {
        const int on = 1;  // each segment goes when it is written
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connected = ::send(fd, wire.data(), split, MSG_NOSIGNAL) == static_cast<ssize_t>(split);
        std::this_thread::sleep_for(gap);
    }
    const auto rest = static_cast<ssize_t>(wire.size() - split);
    if (connected && ::send(fd, wire.data() + split, wire.size() - split, MSG_NOSIGNAL) == rest) {
        std::uint8_t header[4];
        p.replied = ::recv(fd, header, sizeof header, MSG_WAITALL) == 4;
    }
    p.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    ::close(fd);
    return p;
}

// Whether the host replies within `limit` seconds to a new connection whose first frame is
// `first`, written `delay` after the connect.
inline bool replies(std::uint16_t port, const Bytes& first, double limit, Clock::duration delay = {}) {
    return timeReply(port, first, limit, delay).replied;
}

// A churn holds many sockets open at once: this process may open as many as the system lets
// it (the host it starts keeps a desktop session's limit).
inline void raiseDescriptorLimit() {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
}

// A stranger's churn: new connections from 127.0.0.2 to 127.0.0.(1 + addresses) (on into
// 127.0.1.0 and up beyond 254), in turn, `perSecond` of them (as many as this thread can make
// when not positive) until `stop`, each sending `first` (if any) once connected and closed after
// `hold` unless the host closed it first. Churns side by side split the addresses: this one,
// `lane` of `lanes`, takes every lanes-th. Returns how many connections were established (those
// the host reset at once included): a connect that never completed (the host's backlog was
// full) does not count.
inline std::size_t churn(std::uint16_t port, int addresses, double perSecond, const std::atomic<bool>& stop,
                         const Bytes& first = {}, Clock::duration hold = 50ms, int lane = 0, int lanes = 1) {
    // Connects still pending are given up after this long, and at most this many are pending.
    constexpr auto kConnectLimit = 2s;
    constexpr std::size_t kMaxPending = 512;
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::unordered_map<int, Clock::time_point> pending;
    std::deque<std::pair<int, Clock::time_point>> open;
    std::size_t started = 0, established = 0;
    auto closeNow = [](int fd) {
        const linger abort{1, 0};  // a reset: no lingering state on either side
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd);
    };
    auto connected = [&](int fd) {
        ++established;
        if (!first.empty()) [[maybe_unused]] auto sent = ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
        open.emplace_back(fd, Clock::now() + hold);
    };
    for (const auto began = Clock::now(); !stop;) {
        const auto now = Clock::now();
        while (pending.size() < kMaxPending &&
               (perSecond <= 0 || static_cast<double>(started) < perSecond * std::chrono::duration<double>(now - began).count())) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) break;
            const auto from = static_cast<std::uint32_t>((started++ * static_cast<std::size_t>(lanes) + static_cast<std::size_t>(lane)) %
                                                         static_cast<std::size_t>(addresses));
            sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK + 1 + from)}, {}};
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            address = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                connected(fd);
            } else if (errno == EINPROGRESS) {
                epoll_event event{EPOLLOUT, {.fd = fd}};
                ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
                pending.emplace(fd, now + kConnectLimit);
            } else {
                closeNow(fd);
            }
        }
        epoll_event events[64];
        const int ready = ::epoll_wait(poller, events, 64, 1);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
            pending.erase(fd);
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == 0) {
                connected(fd);
            } else {
                // Reset by the host once it was established: it counts.
                if (error == ECONNRESET) ++established;
                closeNow(fd);
            }
        }
        for (auto it = pending.begin(); it != pending.end();)
            if (it->second <= now) {
                closeNow(it->first);
                it = pending.erase(it);
            } else {
                ++it;
            }
        for (; !open.empty() && (open.front().second <= now || open.size() > 4096); open.pop_front())
            closeNow(open.front().first);
    }
    for (auto& [fd, until] : pending) closeNow(fd);
    for (auto& [fd, until] : open) closeNow(fd);
    ::close(poller);
    return established;
}

// Where stallers connect from: each from an address of its own, from a new address for every
// connection (more than any record of the host holds), or half of them each way.
enum class Sources { fixed, everNew, mixed };

// Stallers: `count` connections (from 127.0.0.2 on, or `after` addresses later: stallers side
// by side) that send `first` and nothing more (or, `headerOnly`, only the header of a next frame
// once the host replied), and connect again the moment the host closes them, until `stop`.
// Returns how many connections they made.
inline std::size_t stall(std::uint16_t port, int count, const std::atomic<bool>& stop, const Bytes& first,
                         Sources sources = Sources::fixed, bool headerOnly = false, std::uint32_t after = 0) {
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    struct Staller {
        std::uint32_t lane;  // which of the `count`
        bool replied = false;
    };
    std::unordered_map<int, Staller> stallers;  // by socket
    std::size_t made = 0;
    std::uint32_t fresh = 1 << 16;  // 127.1.0.0 on
    auto open = [&](std::uint32_t lane) {
        const bool moves = sources == Sources::everNew || (sources == Sources::mixed && lane % 2 == 1);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK + (moves ? fresh++ : lane))}, {}};
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        address = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        epoll_event event{EPOLLOUT | EPOLLIN | EPOLLRDHUP, {.fd = fd}};
        ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
        stallers[fd] = {lane};
        ++made;
    };
    for (int i = 0; i < count; ++i) open(after + static_cast<std::uint32_t>(1 + i));
    const std::uint8_t header[4] = {0, 0, 0, 100};
    while (!stop) {
        epoll_event events[64];
        const int ready = ::epoll_wait(poller, events, 64, 10);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            char buffer[4096];
            bool closed = events[i].events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP);
            if (!closed && (events[i].events & EPOLLIN)) {
                closed = ::recv(fd, buffer, sizeof buffer, 0) <= 0;
                if (!closed && headerOnly && !std::exchange(stallers[fd].replied, true))
                    [[maybe_unused]] auto sent = ::send(fd, header, sizeof header, MSG_NOSIGNAL);
            }
            if (!closed && (events[i].events & EPOLLOUT)) {
                [[maybe_unused]] auto sent = ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
                epoll_event event{EPOLLIN | EPOLLRDHUP, {.fd = fd}};
                ::epoll_ctl(poller, EPOLL_CTL_MOD, fd, &event);
            }
            if (closed) {
                const std::uint32_t lane = stallers[fd].lane;
                stallers.erase(fd);
                ::close(fd);
                open(lane);
            }
        }
    }
    for (auto& [fd, staller] : stallers) ::close(fd);
    ::close(poller);
    return made;
}

// What a churn of strangers made: connections established, and bytes sent.
struct Made {
    std::size_t connections = 0;
    std::size_t bytes = 0;
};

// Tricklers: `count` connections, each from a new address, that send the header of a first
// frame of `claim` bytes and `sent` bytes of it, then one byte `every` later and so on (never when
// zero), and connect again the moment the host closes them (no more than `perSecond` connections
// a second when positive), until `stop`. `lane` of `lanes` side by side take addresses of their
// own.
inline Made trickle(std::uint16_t port, int count, const std::atomic<bool>& stop, std::uint32_t claim = 128 * 1024,
                    std::size_t sent = 100, std::uint32_t lane = 0, std::uint32_t lanes = 1, double perSecond = 0,
                    Clock::duration every = 60ms) {
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::unordered_map<int, std::uint64_t> open;  // by socket, the connection's serial
    struct Due {
        int fd;
        std::uint64_t serial;
        Clock::time_point at;
    };
    std::deque<Due> due;  // the next byte of each, in time order
    Made made;
    std::uint32_t fresh = (1 << 16) + lane;  // 127.1.0.0 on
    Bytes start = quill::testing::header(claim);
    start.resize(start.size() + std::min<std::size_t>(sent, claim), 'x');
    auto connectOne = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK + fresh % (1 << 22))}, {}};
        fresh += lanes;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        address = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        epoll_event event{EPOLLOUT | EPOLLRDHUP, {.fd = fd}};
        ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
        ++made.connections;
    };
    const auto send = [&](int fd, const void* data, std::size_t size) {
        if (const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL); n > 0) made.bytes += static_cast<std::size_t>(n);
    };
    int owed = count;  // connections to make again, as the rate allows
    for (const auto began = Clock::now(); !stop;) {
        for (; owed > 0 && (perSecond <= 0 || static_cast<double>(made.connections) <
                                                  perSecond * std::chrono::duration<double>(Clock::now() - began).count());
             --owed)
            connectOne();
        epoll_event events[64];
        const int ready = ::epoll_wait(poller, events, 64, 5);
        const auto now = Clock::now();
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (events[i].events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
                open.erase(fd);
                ::close(fd);
                ++owed;
            } else if (!open.count(fd)) {
                send(fd, start.data(), start.size());
                epoll_event event{EPOLLRDHUP, {.fd = fd}};
                ::epoll_ctl(poller, EPOLL_CTL_MOD, fd, &event);
                open.emplace(fd, made.connections);
                if (every > Clock::duration{}) due.push_back({fd, made.connections, now + every});
            }
        }
        for (; !due.empty() && due.front().at <= now; due.pop_front()) {
            const Due next = due.front();
            // Closed meanwhile (its descriptor may be another's by now).
            if (auto it = open.find(next.fd); it == open.end() || it->second != next.serial) continue;
            send(next.fd, "x", 1);
            due.push_back({next.fd, next.serial, next.at + every});
        }
    }
    for (const auto& [fd, serial] : open) ::close(fd);
    ::close(poller);
    return made;
}

// Paced strangers: `perSecond` new connections a second (`lane` of `lanes` side by side)
// whatever the host closes, each from the next of `addresses` addresses (127.0.0.2 on), sending
// `first` once connected and held `hold` unless the host closes it first (its socket is closed
// here then, so that only what the host holds costs descriptors), until `stop`.
inline Made pace(std::uint16_t port, int addresses, double perSecond, const std::atomic<bool>& stop, const Bytes& first,
                 Clock::duration hold, std::uint32_t lane = 0, std::uint32_t lanes = 1) {
    constexpr auto kConnectLimit = 2s;  // a connect still pending is given up then
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    struct Open {
        std::uint64_t serial;
        bool connected = false;
    };
    std::unordered_map<int, Open> open;  // by socket
    // When each connect is given up, and each connection's hold ends, in time order; an entry
    // whose socket went meanwhile (its descriptor may be another's) is passed over.
    using Due = std::tuple<Clock::time_point, int, std::uint64_t>;
    std::deque<Due> connecting, holding;
    Made made;
    std::uint64_t started = 0;
    const auto end = [&](int fd) {
        const linger abort{1, 0};  // a reset: no lingering state on either side
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd);
        open.erase(fd);
    };
    const auto expire = [&](std::deque<Due>& due, Clock::time_point now, bool connected) {
        for (; !due.empty() && std::get<0>(due.front()) <= now; due.pop_front()) {
            const auto [at, fd, serial] = due.front();
            if (auto it = open.find(fd); it != open.end() && it->second.serial == serial && it->second.connected == connected)
                end(fd);
        }
    };
    for (const auto began = Clock::now(); !stop;) {
        auto now = Clock::now();
        while (static_cast<double>(started) < perSecond * std::chrono::duration<double>(now - began).count()) {
            const std::uint64_t serial = started++;
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) break;
            const auto from = static_cast<std::uint32_t>((serial * lanes + lane) % static_cast<std::uint64_t>(addresses));
            sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK + 1 + from)}, {}};
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            address = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            epoll_event event{EPOLLOUT | EPOLLRDHUP, {.fd = fd}};
            ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
            open[fd] = {serial};
            connecting.emplace_back(now + kConnectLimit, fd, serial);
        }
        epoll_event events[256];
        const int ready = ::epoll_wait(poller, events, 256, 1);
        now = Clock::now();
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            auto it = open.find(fd);
            if (it == open.end()) continue;
            if (events[i].events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
                // Reset by the host at once counts: it was established.
                if (!it->second.connected && !(events[i].events & EPOLLERR)) ++made.connections;
                end(fd);
            } else if (!it->second.connected) {
                it->second.connected = true;
                ++made.connections;
                if (const ssize_t n = ::send(fd, first.data(), first.size(), MSG_NOSIGNAL); n > 0) made.bytes += static_cast<std::size_t>(n);
                epoll_event event{EPOLLRDHUP, {.fd = fd}};
                ::epoll_ctl(poller, EPOLL_CTL_MOD, fd, &event);
                holding.emplace_back(now + hold, fd, it->second.serial);
            }
        }
        expire(connecting, now, false);
        expire(holding, now, true);
    }
    for (const auto& [fd, o] : open) ::close(fd);
    ::close(poller);
    return made;
}

// Fresh offers of the paired controller (each its own session and envelope), made from one
// captured session description, so that a benchmark can send many without a session of its own
// for each.
class OfferSource {
public:
    explicit OfferSource(const HostProcess& host) : host_(host) {
        CapturedOffer captured = captureOffer(host);
        EnvelopeReceiver receiver(host.hostIdentity,
                                  std::make_shared<InMemoryPeerStore>(std::vector{recordOf(host.controller, "Ana")}));
        const OpenedEnvelope opened = receiver.open(Envelope::decode(ByteView(captured.frame)), std::chrono::system_clock::now());
        offer_ = *opened.message.get<Offer>();
        captured.session->close("done");
    }
    // The first frame of a new session.
    Bytes next() {
        const Offer offer("S-" + std::to_string(++made_), offer_->sdp(), offer_->mode(), offer_->capabilities());
        return toBytes(EnvelopeSealer::seal(SignallingMessage(offer), host_.controller, recordOf(host_.hostIdentity, "Host")).encode());
    }

private:
    const HostProcess& host_;
    std::optional<Offer> offer_;
    int made_ = 0;
};

// `sealed` (an encoded envelope) under the same sender, its signature broken.
inline Bytes withBrokenSignature(const Bytes& sealed) {
    Envelope envelope = Envelope::decode(ByteView(sealed));
    envelope.sig.at(0) ^= 0x01;
    return toBytes(envelope.encode());
}

// One envelope from a sender the host never paired with.
inline Bytes strangersEnvelope(const HostProcess& host) {
    const auto sealed = EnvelopeSealer::seal(SignallingMessage(Offer("S-x", "v=0", SessionMode::view, {})),
                                             makeIdentity(9), recordOf(host.hostIdentity, "Host"));
    return frame::encode(toBytes(sealed.encode()));
}

}  // namespace quill::hostprocess
