// A controller that only watches, as another maker's would: its RTP session sends RTCP at
// RFC 3550's 5 s and it sends nothing else once its session is up. Run by the whole-session
// namespace test in side b:
//
//   receiving_controller FILE SECONDS
//
// FILE holds four lines: the controller's stored keys, the host's peer record, the host's
// address and its port. Runs one session, held SECONDS once connected and ended with a bye.
// Prints what it saw; exits 0 when the session connected and showed the screen.

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "quillcore/base/diagnostics.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/session/controller_session.h"
#include "quillcore/webrtc/peer_connection_factory.h"

using namespace quill;
using Clock = std::chrono::steady_clock;

namespace {

const char* kindName(SessionConnectionState::Kind kind) {
    switch (kind) {
        case SessionConnectionState::Kind::failed: return "failed";
        case SessionConnectionState::Kind::idle: return "idle";
        case SessionConnectionState::Kind::connecting: return "connecting";
        case SessionConnectionState::Kind::connected: return "connected";
        case SessionConnectionState::Kind::disconnected: return "disconnected";
        case SessionConnectionState::Kind::closed: return "closed";
    }
    return "?";
}

// One session: connects, takes in what the host sends without answering, says bye.
bool runSession(const DeviceIdentity& identity, const PeerRecord& host, const net::TcpEndpoint& endpoint,
                double seconds) {
    const SessionConfiguration config({}, SessionMode::control, 2'000'000, 30, 640, 480, 10, 15, 20);
    auto store = std::make_shared<InMemoryPeerStore>(std::vector{host});
    auto session = ControllerSession::make(host, identity, store, config);
    const auto began = Clock::now();
    try {
        session->start(endpoint);
    } catch (const std::exception& e) {
        std::cout << "session failed to start: " << e.what() << std::endl;
        return false;
    }
    std::cout << "session connected after "
              << std::chrono::duration<double>(Clock::now() - began).count() << " s" << std::endl;
    // What arrives is taken in, never answered: the streams would otherwise hold every frame.
    std::atomic<std::uint64_t> frames{0};
    std::jthread video([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            if (auto track = session->remoteVideoTrack()) {
                while (!stop.stop_requested())
                    if (track->frames()->next(0.2).hasItem()) ++frames;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    session->messages->detach();
    session->bulkMessages->detach();
    std::string states;
    for (const auto until = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < until;) {
        auto state = session->states->next(0.2);
        if (state.hasItem()) states += std::string(" ") + kindName(state.value->kind());
    }
    video.request_stop();
    video.join();
    session->close("done");
    std::cout << "session ended with bye after "
              << std::chrono::duration<double>(Clock::now() - began).count() << " s, frames " << frames.load()
              << ", states seen:" << (states.empty() ? " none" : states) << std::endl;
    return frames > 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: receiving_controller FILE SECONDS" << std::endl;
        return 2;
    }
    setDiagnosticSink([](std::string_view line) { std::cerr << line << std::endl; });
    try {
        std::ifstream in(argv[1]);
        std::string keys, record, address, port;
        if (!std::getline(in, keys) || !std::getline(in, record) || !std::getline(in, address) || !std::getline(in, port)) {
            std::cout << "FAILED: cannot read " << argv[1] << std::endl;
            return 1;
        }
        const DeviceIdentity identity(StoredIdentityKeys::decode(toBytes(keys)));
        const PeerRecord host = PeerRecord::decode(toBytes(record));
        const net::TcpEndpoint endpoint{address, static_cast<std::uint16_t>(std::stoul(port))};
        // A receiver of another make: RTCP at the standard's pace, not ours.
        PeerConnectionFactory::shared().setRtcpInterval(5.0);
        const bool ok = runSession(identity, host, endpoint, std::atof(argv[2]));
        std::cout << (ok ? "OK" : "FAILED") << std::endl;
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::cout << "FAILED: " << e.what() << std::endl;
        return 1;
    }
}
