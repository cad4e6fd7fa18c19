#pragma once

// The real host binary in a private home, on the display and in the network namespace the
// harness gives, with one paired controller already in its keychain; and what a stranger on the
// LAN can throw at it. Shared by the binary's tests and the churn benchmark.

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "quillcore/crypto/crypto.h"
#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"
#include "quillcore/net/tcp_listener.h"
#include "quillcore/session/controller_session.h"

namespace quill::hostprocess {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline DeviceIdentity randomIdentity() {
    return DeviceIdentity(StoredIdentityKeys(crypto::randomBytes(32), crypto::randomBytes(32)));
}

inline PeerRecord recordOf(const DeviceIdentity& identity, std::string name) {
    return PeerRecord{identity.fingerprint(), identity.signingPublicKey(), identity.agreementPublicKey(),
                      std::move(name), "", 0, PeerPermissions::defaults()};
}

// Waits (at most `limit`) until `done` holds.
template <class F>
bool eventually(F&& done, Clock::duration limit = 10s) {
    for (const auto until = Clock::now() + limit; !done(); std::this_thread::sleep_for(20ms))
        if (Clock::now() >= until) return false;
    return true;
}

class HostProcess {
public:
    HostProcess() {
        namespace fs = std::filesystem;
        for (const char* dir : {"home", "run", "data", "config"}) fs::create_directories(folder_.path() / dir);
        fs::permissions(folder_.path() / "run", fs::perms::owner_all);
        // The host's identity and its paired controller, where the host reads them.
        auto keychain = std::make_shared<FileKeychain>(folder_.path() / "data" / "quillmate" / "keychain");
        KeychainKeyStore keys(keychain, std::string(KeychainKeyStore::defaultService), "device-identity");
        hostIdentity = DeviceIdentity::loadOrCreate(keys);
        KeychainPeerStore(keychain, std::string(KeychainPeerStore::defaultService)).save(recordOf(controller, "Ana"));
        controllerStore = std::make_shared<InMemoryPeerStore>(std::vector{recordOf(hostIdentity, "Host")});

        const std::string root = folder_.path().string();
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
            ::setenv("HOME", (root + "/home").c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
            ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
            ::execl(QUILL_HOST_BINARY, QUILL_HOST_BINARY, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (!eventually([&] { return (port = listeningPort()) != 0 || !running(); }, 20s) || !port)
            throw std::runtime_error("the host did not start listening");
    }
    ~HostProcess() {
        if (pid <= 0 || !running()) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Asks the host to stop; its exit status once it has gone within `limit`, none otherwise.
    std::optional<int> terminate(Clock::duration limit) {
        ::kill(pid, SIGTERM);
        eventually([&] { return !running(); }, limit);
        if (status_ && WIFEXITED(*status_)) return WEXITSTATUS(*status_);
        return status_ ? std::optional(-1) : std::nullopt;
    }
    bool running() {
        if (status_) return false;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid) return true;
        status_ = status;
        return false;
    }
    std::size_t descriptors() const {
        std::error_code ignored;
        auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
        return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
    }
    std::size_t residentKiB() const { return statusField("VmRSS:"); }

    // A paired controller's session, negotiating over `channel`.
    std::shared_ptr<ControllerSession> session() const {
        const SessionConfiguration config({}, SessionMode::control, 2'000'000, 30, 640, 480, 10, 15, 20);
        return ControllerSession::make(recordOf(hostIdentity, "Host"), controller, controllerStore, config);
    }

    DeviceIdentity controller = randomIdentity();
    DeviceIdentity hostIdentity = controller;
    std::shared_ptr<InMemoryPeerStore> controllerStore;
    pid_t pid = -1;
    std::uint16_t port = 0;

private:
    std::size_t statusField(const std::string& name) const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name, 0) == 0) return std::stoul(line.substr(name.size()));
        return 0;
    }
    // The port of the host's listening socket (the namespace is the harness's own).
    std::uint16_t listeningPort() const {
        std::set<std::string> sockets;
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
            const auto target = std::filesystem::read_symlink(fd.path(), ignored).string();
            if (target.rfind("socket:[", 0) == 0) sockets.insert(target.substr(8, target.size() - 9));
        }
        for (const char* table : {"tcp6", "tcp"}) {
            std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
            std::string line;
            std::getline(in, line);
            while (std::getline(in, line)) {
                std::istringstream fields(line);
                std::string slot, local, remote, state, skip, inode;
                fields >> slot >> local >> remote >> state;
                for (int i = 0; i < 5; ++i) fields >> skip;
                fields >> inode;
                if (state == "0A" && sockets.count(inode))
                    return static_cast<std::uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
            }
        }
        return 0;
    }

    quill::testing::TempFolder folder_;
    std::optional<int> status_;
};

// A fresh offer of the framework's controller session, sealed for the host: the first frame its
// session would send. The session is left negotiating with nobody; drop it when done.
struct CapturedOffer {
    Bytes frame;
    std::shared_ptr<ControllerSession> session;
    std::future<void> started;
};
inline CapturedOffer captureOffer(const HostProcess& host) {
    auto listener = net::TcpListener::create();
    std::promise<std::uint16_t> port;
    std::promise<net::TcpConnectionPtr> accepted;
    listener->setStateHandler([&](const net::TcpListener::StateUpdate& u) {
        if (u.state == net::TcpListener::State::ready) port.set_value(*u.port);
    });
    listener->setConnectionHandler([&](net::TcpConnectionPtr c) { accepted.set_value(std::move(c)); });
    listener->start();
    CapturedOffer offer{{}, host.session(), {}};
    auto channel = FrameChannel::connectLocal(port.get_future().get());
    offer.started = std::async(std::launch::async, [s = offer.session, channel] {
        try {
            s->start(channel);
        } catch (const std::exception&) {
        }
    });
    auto server = FrameChannel::make(accepted.get_future().get());
    listener->setConnectionHandler(nullptr);
    offer.frame = server->nextFrame(20.0).value_or(Bytes{});
    return offer;
}

// Sends `first` as the first frame of a new connection; the host's first reply, if one comes
// within `limit` seconds.
inline std::optional<Bytes> firstReply(std::uint16_t port, const Bytes& first, double limit) {
    auto channel = FrameChannel::connectLocal(port);
    try {
        channel->send(first);
        auto reply = channel->nextFrame(limit);
        channel->close();
        return reply;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A stranger's churn: new connections from 127.0.0.2 to 127.0.0.(1 + addresses), `perSecond`
// of them until `stop`, each sending `first` (if any) and left open for `hold` before it closes.
// Returns how many were made.
inline std::size_t churn(std::uint16_t port, int addresses, double perSecond, const std::atomic<bool>& stop,
                         const Bytes& first = {}, Clock::duration hold = 50ms) {
    std::size_t made = 0;
    std::deque<std::pair<int, Clock::time_point>> open;
    const auto began = Clock::now();
    while (!stop) {
        const double due = perSecond * std::chrono::duration<double>(Clock::now() - began).count();
        if (static_cast<double>(made) >= due) {
            std::this_thread::sleep_for(200us);
        } else {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<std::uint32_t>(made % addresses));
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            if (!first.empty()) {
                pollfd connected{fd, POLLOUT, 0};
                if (::poll(&connected, 1, 50) == 1)
                    [[maybe_unused]] auto sent = ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
            }
            open.emplace_back(fd, Clock::now() + hold);
            ++made;
        }
        while (!open.empty() && (open.front().second <= Clock::now() || open.size() > 4096)) {
            ::close(open.front().first);
            open.pop_front();
        }
    }
    for (auto& [fd, until] : open) ::close(fd);
    return made;
}

// One envelope from a sender the host never paired with.
inline Bytes strangersEnvelope(const HostProcess& host) {
    const std::string text =
        EnvelopeSealer::seal(SignallingMessage(Offer("S-x", "v=0", SessionMode::view, {})), randomIdentity(),
                             recordOf(host.hostIdentity, "Host"))
            .encode();
    return frame::encode(toBytes(text));
}

}  // namespace quill::hostprocess
