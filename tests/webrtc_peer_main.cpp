// The other side of a WebRTC session in a process of its own, so that a test can stop or
// kill it. Usage: webrtc_test_peer host|controller. The SDP texts travel over stdin and
// stdout, each as a line with its length followed by the text. The host side sends frames
// until its input ends; either side then exits.
#include <iostream>
#include <string>

#include "quillcore/base/diagnostics.h"
#include "tests/webrtc_support.h"

using namespace quill;
using namespace quill::webrtctest;

namespace {

std::string readBlock() {
    std::size_t size = 0;
    if (!(std::cin >> size)) return {};
    std::cin.get();
    std::string text(size, '\0');
    std::cin.read(text.data(), static_cast<std::streamsize>(size));
    return text;
}

void writeBlock(const std::string& text) {
    std::cout << text.size() << '\n' << text << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
    setDiagnosticSink([](std::string_view line) { std::cerr << line << '\n'; });
    const std::string role = argc > 1 ? argv[1] : "host";
    PeerConnectionFactory::shared();
    auto config = configuration(320, 240, 30);
    std::shared_ptr<SessionCore> core;
    try {
        if (role == "host") {
            core = SessionCore::make(config, false);
            writeBlock(core->answer(readBlock()));
        } else {
            core = SessionCore::make(config, true);
            writeBlock(core->makeOffer());
            core->setRemote(SessionDescription{SdpType::answer, readBlock()});
        }
        core->waitUntilConnected();
    } catch (const std::exception& e) {
        std::cerr << "peer: " << e.what() << '\n';
        return 1;
    }
    std::atomic<bool> inputEnded{false};
    std::thread watcher([&] {
        std::string rest;
        while (std::getline(std::cin, rest)) {
        }
        inputEnded = true;
    });
    auto frame = solidFrame(320, 240, 0, 128, 255);
    while (!inputEnded) {
        if (role == "host") core->sendVideoFrame(frame, nowNs());
        std::this_thread::sleep_for(33ms);
    }
    watcher.join();
    core->close();
    return 0;
}
