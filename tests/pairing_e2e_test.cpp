// A controller and a host pair over loopback TCP, each with its own identity and file-backed
// keychain in a temporary folder. The host side is served the way the host service does it:
// the first frame of a connection, taken from the channel's stream, decides the exchange.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "quillcore/keychain/file_keychain.h"
#include "quillcore/keychain/keychain_test_support.h"
#include "quillcore/pairing/controller_pairing.h"
#include "quillcore/pairing/host_pairing.h"
#include "quillcore/pairing/pairing_test_support.h"

namespace quill {
namespace {

using namespace pairing_test;
using namespace std::chrono_literals;
using Kind = PairingError::Kind;

// One device: its identity and paired peers in a keychain folder of its own.
struct Device {
    quill::testing::TempFolder folder;
    std::shared_ptr<FileKeychain> keychain = std::make_shared<FileKeychain>(folder.path());
    DeviceIdentity identity = [this] {
        KeychainKeyStore keys(keychain, std::string(KeychainKeyStore::defaultService), "device-identity");
        return DeviceIdentity::loadOrCreate(keys);
    }();
    std::shared_ptr<KeychainPeerStore> peers =
        std::make_shared<KeychainPeerStore>(keychain, std::string(KeychainPeerStore::defaultService));

    // Read back from the files through a store of its own, as a later run would.
    std::vector<PeerRecord> storedPeers() const {
        KeychainPeerStore fresh(std::make_shared<FileKeychain>(folder.path()),
                                std::string(KeychainPeerStore::defaultService));
        return fresh.all();
    }
};

// The host service's part: accept, look at the first frame, hand the channel to pairing.
class HostSide {
public:
    explicit HostSide(Device& device, double readLimit = HostPairing::defaultReadLimit)
        : pairing(device.identity, device.peers, "Desk", readLimit) {}

    std::future<PeerRecord> serveNext() {
        return std::async(std::launch::async, [this] {
            FrameChannelPtr channel = loopback.accept();
            if (!channel) throw std::runtime_error("no connection");
            return serveOn(channel);
        });
    }
    std::future<PeerRecord> serve(FrameChannelPtr channel) {
        return std::async(std::launch::async, [this, channel] { return serveOn(channel); });
    }

    std::string endpoint() { return "127.0.0.1:" + std::to_string(loopback.port()); }

    Loopback loopback;
    HostPairing pairing;

private:
    PeerRecord serveOn(FrameChannelPtr channel) {
        struct Closer {
            FrameChannelPtr channel;
            ~Closer() { channel->close(); }
        } closer{channel};
        auto first = channel->frames->next(10.0);
        channel->frames->detach();
        if (!first.hasItem()) throw PairingError(Kind::connectionClosed);
        PairingMessage message = PairingMessage::decode(*first.value);
        if (message.is<PairStart>()) return pairing.acceptComparison(*channel);
        if (message.is<PairRequest>()) return pairing.acceptLink(*channel, std::chrono::system_clock::now());
        throw std::runtime_error("not a pairing request");
    }
};

// Forwards frames between a controller and the host, letting a test rewrite what the host
// sends: an attacker on the path.
class Tamperer {
public:
    Tamperer(std::uint16_t hostPort, std::function<PairingMessage(PairingMessage)> rewrite)
        : rewrite_(std::move(rewrite)) {
        worker_ = std::thread([this, hostPort] {
            front_channel_ = front_.accept();
            back_channel_ = FrameChannel::connectLocal(hostPort);
            if (!front_channel_) return;
            std::thread up([this] { pump(*front_channel_, *back_channel_, false); });
            pump(*back_channel_, *front_channel_, true);
            up.join();
        });
    }
    ~Tamperer() {
        worker_.join();
    }
    std::uint16_t port() { return front_.port(); }

private:
    void pump(FrameChannel& from, FrameChannel& to, bool towardController) {
        try {
            while (auto frame = from.nextFrame(15.0)) {
                if (towardController) frame = toBytes(rewrite_(PairingMessage::decode(*frame)).encode());
                to.send(*frame);
            }
        } catch (const std::exception&) {
        }
        to.close();
        from.close();
    }

    Loopback front_;
    std::function<PairingMessage(PairingMessage)> rewrite_;
    FrameChannelPtr front_channel_, back_channel_;
    std::thread worker_;
};

std::future<PeerRecord> startComparison(ControllerPairing& pairing, FrameChannelPtr channel) {
    return std::async(std::launch::async, [&pairing, channel] { return pairing.startComparison(*channel); });
}

std::future<PeerRecord> startLink(ControllerPairing& pairing, PairingLink link, FrameChannelPtr channel) {
    return std::async(std::launch::async,
                      [&pairing, link, channel] { return pairing.startLink(link, "Desk (from the code)", *channel); });
}

// The scanned URL's first endpoint.
FrameChannelPtr connectTo(const PairingLink& link) {
    const std::string& ep = link.endpoints.at(0);
    auto colon = ep.rfind(':');
    return FrameChannel::connect(ep.substr(0, colon), static_cast<std::uint16_t>(std::stoi(ep.substr(colon + 1))));
}

PairingError errorOf(std::future<PeerRecord>& result) {
    auto error = pairingErrorOf([&] { result.get(); });
    return error.value_or(PairingError::invalidMessage("<no pairing error>"));
}

// Both users compare the codes their devices show and accept, after `thinking`.
void bothUsersConfirm(HostPairing& host, ControllerPairing& controller,
                      std::chrono::milliseconds thinking = std::chrono::milliseconds(0)) {
    ASSERT_TRUE(eventually([&] { return host.isAwaitingConfirmation() && controller.isAwaitingConfirmation(); }));
    std::this_thread::sleep_for(thinking);
    auto hostCode = host.comparisonCode();
    auto controllerCode = controller.comparisonCode();
    ASSERT_TRUE(hostCode && controllerCode);
    EXPECT_EQ(*hostCode, *controllerCode);
    EXPECT_EQ(hostCode->groupedText().size(), 7u);
    host.confirmComparison();
    controller.confirmComparison();
}

// Each side stored the other, with the default permissions, in files only their owner reads.
void expectPaired(const Device& host, const PeerRecord& hostsRecord, const Device& controller,
                  const PeerRecord& controllersRecord) {
    EXPECT_EQ(hostsRecord.fingerprint, controller.identity.fingerprint());
    EXPECT_EQ(hostsRecord.signingPublicKey, controller.identity.signingPublicKey());
    EXPECT_EQ(hostsRecord.permissions, PeerPermissions::defaults());
    EXPECT_EQ(controllersRecord.fingerprint, host.identity.fingerprint());
    EXPECT_EQ(controllersRecord.agreementPublicKey, host.identity.agreementPublicKey());
    EXPECT_EQ(controllersRecord.permissions, PeerPermissions::defaults());
    EXPECT_EQ(host.storedPeers(), std::vector<PeerRecord>{hostsRecord});
    EXPECT_EQ(controller.storedPeers(), std::vector<PeerRecord>{controllersRecord});
}

TEST(PairingEndToEnd, ComparisonAndQrLinkPairBothDevices) {
    for (const bool byLink : {false, true}) {
        SCOPED_TRACE(byLink ? "QR link" : "comparison");
        Device hostDevice, controllerDevice;
        HostSide host(hostDevice);
        ControllerPairing controller(controllerDevice.identity, controllerDevice.peers, "Ana's iPad");
        auto served = host.serveNext();
        std::future<PeerRecord> started;
        if (byLink) {
            PairingLink shown = host.pairing.issueLink({host.endpoint()}, std::chrono::system_clock::now());
            std::string problem;
            auto scanned = PairingLink::fromURL(shown.url(), &problem);
            ASSERT_TRUE(scanned) << problem;
            started = startLink(controller, *scanned, connectTo(*scanned));
            ASSERT_TRUE(eventually([&] { return host.pairing.isAwaitingConfirmation(); }));
            EXPECT_FALSE(host.pairing.comparisonCode());
            EXPECT_FALSE(controller.isAwaitingConfirmation());
            host.pairing.confirmComparison();
        } else {
            started = startComparison(controller, FrameChannel::connectLocal(host.loopback.port()));
            bothUsersConfirm(host.pairing, controller);
        }
        PeerRecord hostsRecord = served.get();
        PeerRecord controllersRecord = started.get();
        expectPaired(hostDevice, hostsRecord, controllerDevice, controllersRecord);
        EXPECT_EQ(hostsRecord.name, "Ana's iPad");
        EXPECT_EQ(controllersRecord.name, byLink ? "Desk (from the code)" : "Desk");
    }
}

TEST(PairingEndToEnd, RefusalsLeaveBothStoresUntouched) {
    auto flipCommit = [](PairingMessage m) {
        if (const auto* commit = m.get<PairCommit>()) {
            PairCommit changed = *commit;
            changed.commit[0] ^= 0x01;
            return PairingMessage(changed);
        }
        return m;
    };
    DeviceIdentity impostor = newIdentity();
    auto impostorKeys = [&impostor](PairingMessage m) {
        if (const auto* accept = m.get<PairAccept>()) {
            PairAccept changed = *accept;
            changed.hostSigningPub = impostor.signingPublicKey();
            changed.hostAgreementPub = impostor.agreementPublicKey();
            return PairingMessage(changed);
        }
        return m;
    };
    auto hostUser = [](bool accepts) {
        return [accepts](HostPairing& host, ControllerPairing&) {
            ASSERT_TRUE(eventually([&] { return host.isAwaitingConfirmation(); }));
            accepts ? host.confirmComparison() : host.rejectComparison();
        };
    };
    enum Route { comparison, link, wrongSecret, expiredLink };
    const struct {
        const char* name;
        Route route;
        std::function<PairingMessage(PairingMessage)> rewrite;  // an attacker on the path, if any
        std::function<void(HostPairing&, ControllerPairing&)> users;
        PairingError hostError;
        PairingError controllerError;
    } refusals[] = {
        {"the host user rejects", comparison, {}, hostUser(false), PairingError(Kind::cancelled),
         PairingError::remoteCancelled("pairing failed")},
        {"the controller user rejects", comparison, {},
         [](HostPairing&, ControllerPairing& controller) {
             ASSERT_TRUE(eventually([&] { return controller.isAwaitingConfirmation(); }));
             controller.rejectComparison();
         },
         PairingError::remoteCancelled("pairing failed"), PairingError(Kind::cancelled)},
        {"the commitment is tampered with on the way", comparison, flipCommit, {},
         PairingError::remoteCancelled("pairing failed"), PairingError(Kind::commitMismatch)},
        {"a wrong link secret", wrongSecret, {}, {}, PairingError(Kind::invalidMAC),
         PairingError::remoteCancelled("QR pairing failed")},
        {"an expired link", expiredLink, {}, {}, PairingError(Kind::expiredSecret),
         PairingError::remoteCancelled("QR pairing failed")},
        {"a host whose keys do not match the link's fingerprint", link, impostorKeys, hostUser(true),
         PairingError::remoteCancelled("QR pairing failed"), PairingError(Kind::peerIdentityMismatch)},
    };

    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        Device hostDevice, controllerDevice;
        HostSide host(hostDevice);
        ControllerPairing controller(controllerDevice.identity, controllerDevice.peers, "Ana's iPad");
        std::optional<Tamperer> attacker;
        if (refusal.rewrite) attacker.emplace(host.loopback.port(), refusal.rewrite);
        auto channel = FrameChannel::connectLocal(attacker ? attacker->port() : host.loopback.port());

        auto served = host.serveNext();
        std::future<PeerRecord> started;
        if (refusal.route == comparison) {
            started = startComparison(controller, channel);
        } else {
            const auto issuedAt = std::chrono::system_clock::now() - (refusal.route == expiredLink ? 301s : 0s);
            PairingLink scanned = *PairingLink::fromURL(host.pairing.issueLink({host.endpoint()}, issuedAt).url());
            if (refusal.route == wrongSecret) scanned.secret[3] ^= 0x40;
            started = startLink(controller, scanned, channel);
        }
        const auto began = std::chrono::steady_clock::now();
        if (refusal.users) refusal.users(host.pairing, controller);
        PairingError hostError = errorOf(served), controllerError = errorOf(started);
        // Refused for its own reason, not ended by the host user's decision limit meanwhile.
        EXPECT_LT(std::chrono::steady_clock::now() - began,
                  std::chrono::duration<double>(HostPairing::defaultDecisionLimit / 2));
        EXPECT_EQ(hostError, refusal.hostError) << hostError.description();
        EXPECT_EQ(controllerError, refusal.controllerError) << controllerError.description();
        EXPECT_TRUE(hostDevice.storedPeers().empty());
        EXPECT_TRUE(controllerDevice.storedPeers().empty());
        EXPECT_FALSE(host.pairing.isAwaitingConfirmation());
    }
}

TEST(PairingEndToEnd, SecondPairingWhileOneRunsIsRefusedAndTheFirstCompletes) {
    Device hostDevice, first, second;
    HostSide host(hostDevice);
    ControllerPairing firstPairing(first.identity, first.peers, "first");
    ControllerPairing secondPairing(second.identity, second.peers, "second");

    PairingLink link = *PairingLink::fromURL(host.pairing.issueLink({host.endpoint()}, std::chrono::system_clock::now()).url());

    auto served = host.serveNext();
    auto started = startComparison(firstPairing, FrameChannel::connectLocal(host.loopback.port()));
    ASSERT_TRUE(eventually([&] { return host.pairing.isAwaitingConfirmation(); }));

    // By comparison and by the code alike: the host sends nothing and closes the connection.
    auto servedSecond = host.serveNext();
    auto startedSecond = startComparison(secondPairing, FrameChannel::connectLocal(host.loopback.port()));
    EXPECT_EQ(errorOf(servedSecond), PairingError(Kind::alreadyInProgress));
    EXPECT_EQ(errorOf(startedSecond), PairingError(Kind::connectionClosed));
    auto servedLink = host.serveNext();
    auto startedLink = startLink(secondPairing, link, connectTo(link));
    EXPECT_EQ(errorOf(servedLink), PairingError(Kind::alreadyInProgress));
    EXPECT_EQ(errorOf(startedLink), PairingError(Kind::connectionClosed));
    EXPECT_TRUE(host.pairing.activeLink()) << "the refused request did not spend the code";

    bothUsersConfirm(host.pairing, firstPairing);
    EXPECT_EQ(served.get().name, "first");
    EXPECT_EQ(started.get().name, "Desk");
    EXPECT_TRUE(second.storedPeers().empty());
    auto stored = hostDevice.storedPeers();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].fingerprint, first.identity.fingerprint());
}

// A stranger on the LAN that opens a pairing from 127.0.0.`source` and then says nothing more.
class Staller {
public:
    Staller(std::uint16_t port, std::uint8_t source, const Bytes& start) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + source);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            [[maybe_unused]] auto sent = ::send(fd_, start.data(), start.size(), MSG_NOSIGNAL);
    }
    ~Staller() { ::close(fd_); }
    // The host ended the connection.
    bool closedByHost() const {
        char buffer[4096];
        for (;;) {
            const auto got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got <= 0) return got == 0 || errno != EAGAIN;
        }
    }

private:
    int fd_;
};

TEST(PairingEndToEnd, StallingStrangersNeverKeepARealControllerFromPairing) {
    Device hostDevice, controllerDevice;
    HostSide host(hostDevice);
    DeviceIdentity stranger = newIdentity();
    const Bytes stall = frame::encode(
        toBytes(PairingMessage(PairStart(stranger.signingPublicKey(), stranger.agreementPublicKey(), "?")).encode()));

    // The host serves every connection on a thread of its own, as the host service does.
    std::atomic<bool> serving{true};
    std::mutex mutex;
    std::vector<std::future<PeerRecord>> served;
    std::thread acceptor([&] {
        while (serving)
            if (auto channel = host.loopback.accept(1)) {
                std::lock_guard lock(mutex);
                served.push_back(host.serve(channel));
            }
    });
    // Meanwhile a stranger stalls a new pairing every 50 ms, from ever other addresses.
    std::atomic<bool> stalling{true};
    std::vector<std::unique_ptr<Staller>> stallers;
    std::thread strangers([&] {
        for (std::uint8_t source = 2; stalling; source = static_cast<std::uint8_t>((source - 1) % 200 + 2)) {
            stallers.push_back(std::make_unique<Staller>(host.loopback.port(), source, stall));
            std::this_thread::sleep_for(50ms);
        }
    });

    int paired = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::this_thread::sleep_for(200ms);  // the host saves the last record meanwhile
        ControllerPairing controller(controllerDevice.identity, controllerDevice.peers, "Ana's iPad");
        auto channel = FrameChannel::connectLocal(host.loopback.port());
        auto started = startComparison(controller, channel);
        bothUsersConfirm(host.pairing, controller);
        const bool ended = started.wait_for(10s) == std::future_status::ready;
        channel->close();
        try {
            started.get();
            paired += ended ? 1 : 0;
        } catch (const std::exception&) {
        }
    }
    stalling = false;
    strangers.join();
    EXPECT_GE(paired, 9);
    // Stalled exchanges gave way to newer ones: only a few were still open.
    const auto open = std::count_if(stallers.begin(), stallers.end(), [](const auto& s) { return !s->closedByHost(); });
    EXPECT_LE(open, static_cast<long>(HostPairing::maxBeforeDecision) + 1) << "of " << stallers.size();
    // And every exchange ends by itself within the limit of the reads before the decision.
    serving = false;
    acceptor.join();
    for (auto& f : served) EXPECT_EQ(f.wait_for(std::chrono::duration<double>(HostPairing::beforeDecisionLimit) + 3s),
                                     std::future_status::ready);
}

// TCP may split a frame anywhere, so a frame begun is no error; a peer that stalls inside one,
// in its header or its body, is ended by the read limit as surely as one that stalls between frames.
TEST(PairingEndToEnd, APeerStalledInsideAFrameIsEndedByTheReadLimit) {
    constexpr double readLimit = 0.5;
    Device hostDevice;
    HostSide host(hostDevice, readLimit);
    const DeviceIdentity stranger = newIdentity();
    const Bytes start = frame::encode(
        toBytes(PairingMessage(PairStart(stranger.signingPublicKey(), stranger.agreementPublicKey(), "?")).encode()));
    Bytes halfNonce = frame::encode(toBytes(PairingMessage(PairNonce(Bytes(32, 7))).encode()));
    halfNonce.resize(halfNonce.size() / 2);
    const std::pair<const char*, Bytes> stalls[] = {
        {"between frames", {}}, {"inside a header", Bytes{0, 0}}, {"inside a body", halfNonce}};
    for (const auto& [name, tail] : stalls) {
        SCOPED_TRACE(name);
        const auto began = std::chrono::steady_clock::now();
        auto served = host.serveNext();
        Bytes sent = start;
        append(sent, tail);
        Staller staller(host.loopback.port(), 1, sent);  // goes first, which ends a read that never would
        ASSERT_EQ(served.wait_for(std::chrono::duration<double>(readLimit) + 10s), std::future_status::ready);
        EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::duration<double>(readLimit));
        EXPECT_EQ(errorOf(served), PairingError(Kind::connectionClosed));
        EXPECT_TRUE(eventually([&] { return staller.closedByHost(); }));
    }
    EXPECT_TRUE(hostDevice.storedPeers().empty());
}

}  // namespace
}  // namespace quill
