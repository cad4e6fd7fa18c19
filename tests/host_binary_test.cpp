// The host binary as a user runs it, on its own display and network: quitting never hangs, and a
// stranger on the LAN can neither take it down nor keep it from pairing.
#include <gtest/gtest.h>

#include "host/desktop/x11_connection.h"
#include "host/desktop/xtest_event_sink.h"
#include "quillcore/pairing/controller_pairing.h"
#include "quillcore/webrtc/peer_connection_factory.h"
#include "tests/host_process.h"

namespace quill {
namespace {

using namespace hostprocess;

struct Pairing {
    std::shared_ptr<ControllerPairing> controller =
        std::make_shared<ControllerPairing>(makeIdentity(7), std::make_shared<InMemoryPeerStore>(), "Dana");
    FrameChannelPtr channel;
    std::future<PeerRecord> result;

    // Starts a comparison and waits until both sides show the code. The host refuses a new one
    // while it still saves the last, which takes as long as the disk makes it: the controller
    // tries again a moment later, as its user would.
    explicit Pairing(const HostProcess& host) {
        for (const auto until = Clock::now() + 20s; !controller->isAwaitingConfirmation() && Clock::now() < until;) {
            if (channel) {
                channel->close();
                std::this_thread::sleep_for(200ms);
            }
            channel = FrameChannel::connectLocal(host.port);
            result = std::async(std::launch::async, [c = controller, ch = channel] { return c->startComparison(*ch); });
            eventually([&] { return controller->isAwaitingConfirmation() || result.wait_for(0s) == std::future_status::ready; }, 15s);
        }
    }
    ~Pairing() { channel->close(); }

    // Both users confirm: the host user with Return in the pairing window, as often as it takes
    // for the window to show the request.
    bool completes() {
        if (!controller->isAwaitingConfirmation()) return false;
        controller->confirmComparison();
        host::XTestEventSink keyboard(std::make_shared<host::X11Connection>());
        eventually(
            [&] {
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

TEST(HostBinary, QuitEndsAPairingThatWaitsForTheHostUser) {
    HostProcess host;
    Pairing pairing(host);
    ASSERT_TRUE(pairing.controller->isAwaitingConfirmation());
    EXPECT_EQ(host.terminate(5s), 0) << "the host did not end in order within 5 s";
    ASSERT_EQ(pairing.result.wait_for(1s), std::future_status::ready);
    try {
        pairing.result.get();
        ADD_FAILURE() << "paired";
    } catch (const PairingError& e) {
        EXPECT_EQ(e, PairingError::remoteCancelled("pairing failed"));
    }
}

TEST(HostBinary, QuitEndsANegotiationThatWaitsForItsController) {
    PeerConnectionFactory::shared();
    HostProcess host;
    CapturedOffer offer = captureOffer(host);
    ASSERT_FALSE(offer.frame.empty());
    // The host answers, then waits for a controller that never goes on.
    auto channel = FrameChannel::connectLocal(host.port);
    channel->send(offer.frame);
    ASSERT_TRUE(channel->nextFrame(20.0));
    EXPECT_EQ(host.terminate(5s), 0) << "the host did not end in order within 5 s";
    offer.session->close("done");
}

// The stranger's flood is judged by what the host does under it, whatever rate this machine
// lets the test reach.
TEST(HostBinary, AStrangersFloodNeitherTakesItDownNorKeepsItFromPairing) {
    raiseDescriptorLimit();
    PeerConnectionFactory::shared();
    HostProcess host;
    const std::size_t idleDescriptors = host.descriptors(), idleKiB = host.residentKiB();
    // Connections from 1,024 addresses that never send, each held a quarter second, and
    // envelopes from a sender the host does not know.
    std::atomic<bool> stop{false};
    std::thread churner([&] { churn(host.port, 1024, 2000, stop, {}, 250ms); });
    std::thread sender([&] { churn(host.port, 1024, 400, stop, strangersEnvelope(host), 5ms); });
    std::size_t descriptors = 0, kiB = 0;
    for (auto until = Clock::now() + 1500ms; Clock::now() < until; std::this_thread::sleep_for(20ms)) {
        descriptors = std::max(descriptors, host.descriptors());
        kiB = std::max(kiB, host.residentKiB());
    }
    // Strangers get a fixed share of descriptors and memory, whatever their rate.
    EXPECT_LT(descriptors, idleDescriptors + 150) << "from " << idleDescriptors;
    EXPECT_LT(kiB, idleKiB + 32 * 1024) << "from " << idleKiB;

    auto answered = [&] {
        CapturedOffer offer = captureOffer(host);
        const bool replied = replies(host.port, offer.frame, 5);
        offer.session->close("done");
        return replied;
    };
    EXPECT_TRUE(answered()) << "during the flood";
    EXPECT_TRUE(Pairing(host).completes()) << "during the flood";
    stop = true;
    churner.join();
    sender.join();
    EXPECT_TRUE(host.running());
    EXPECT_TRUE(answered()) << "after the flood";
    EXPECT_TRUE(Pairing(host).completes()) << "after the flood";
    EXPECT_EQ(host.terminate(5s), 0);
}

}  // namespace
}  // namespace quill
