// The other side of a WebRTC session in a process of its own, so that a test can stop or
// kill it and a benchmark can measure the host's own CPU time.
//   webrtc_test_peer host|controller [width height fps]
// Blocks travel over stdin and stdout, each as a line with its length followed by the text: the
// host first says "ready" once its factory exists, then the SDP texts follow. The host side
// sends frames at `fps` until its input ends, then writes one line
// "frames <count> cpu_us <microseconds> minflt <page faults>" and exits; the controller side
// just exits.
#include <malloc.h>
#include <sys/resource.h>

#include <cstdlib>
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

void writeBlock(const std::string& text) { std::cout << text.size() << '\n' << text << std::flush; }

rusage usage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u;
}

long cpuMicroseconds(const rusage& u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1'000'000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

}  // namespace

int main(int argc, char** argv) {
    // The allocator as the host application sets it, so that a benchmark sees the host's page
    // faults.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    mallopt(M_ARENA_MAX, 2);
    setDiagnosticSink([](std::string_view line) { std::cerr << line << '\n'; });
    const std::string role = argc > 1 ? argv[1] : "host";
    const int width = argc > 4 ? std::atoi(argv[2]) : 320;
    const int height = argc > 4 ? std::atoi(argv[3]) : 240;
    const int fps = argc > 4 ? std::atoi(argv[4]) : 30;
    PeerConnectionFactory::shared();
    auto config = configuration(width, height, fps);
    std::shared_ptr<SessionCore> core;
    try {
        if (role == "host") {
            writeBlock("ready");
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
    // Frames whose content changes every time, as a screen in use does.
    std::vector<PixelBufferPtr> frames;
    if (role == "host")
        for (int k = 0; k < 8; ++k) frames.push_back(movingFrame(width, height, k));
    const rusage atStart = usage();
    long sent = 0;
    const auto period = std::chrono::nanoseconds(1'000'000'000 / std::max(fps, 1));
    auto next = std::chrono::steady_clock::now();
    while (!inputEnded) {
        if (role == "host") {
            core->sendVideoFrame(frames[static_cast<std::size_t>(sent % 8)], nowNs());
            ++sent;
        }
        next += period;
        std::this_thread::sleep_until(next);
    }
    watcher.join();
    const rusage atEnd = usage();
    if (role == "host")
        std::cout << "frames " << sent << " cpu_us " << (cpuMicroseconds(atEnd) - cpuMicroseconds(atStart)) << " minflt "
                  << (atEnd.ru_minflt - atStart.ru_minflt) << std::endl;
    core->close();
    return 0;
}
