// The host side of a WebRTC session in a process of its own, so that a benchmark can measure its
// own CPU time and page faults.
//   webrtc_bench_peer host|controller [width height fps]
// Blocks over stdin and stdout (see PeerProcess): "ready" once the factory exists, then the SDP
// texts. A host sends changing frames at `fps` until its input ends, then writes one line
// "frames <count> cpu_us <microseconds> minflt <page faults>". Either side returns each control
// message; a line "open <n>" in its input has it open n more data channels at once.
#include <malloc.h>
#include <sys/resource.h>

#include <iostream>

#include "bench/webrtc_peer.h"
#include "quillcore/base/diagnostics.h"

using namespace quill;
using namespace quill::webrtctest;

int main(int argc, char** argv) {
    // The allocator as the host application sets it, so that a benchmark sees its page faults.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
    // Standard output carries the exchange.
    setDiagnosticSink([](std::string_view line) { std::cerr << line << std::endl; });
    const bool host = argc > 1 && std::string(argv[1]) == "host";
    const int width = argc > 4 ? std::atoi(argv[2]) : 320, height = argc > 4 ? std::atoi(argv[3]) : 240;
    const int fps = std::max(argc > 4 ? std::atoi(argv[4]) : 30, 1);
    auto write = [](const std::string& text) { std::cout << text.size() << '\n' << text << std::flush; };
    auto read = [] {
        std::size_t size = 0;
        std::cin >> size, std::cin.get();
        std::string text(size, '\0');
        std::cin.read(text.data(), static_cast<std::streamsize>(size));
        return text;
    };
    PeerConnectionFactory::shared();
    write("ready");
    auto provider = std::make_shared<RecordingProvider>();
    auto core = SessionCore::make(configuration(width, height, fps), !host, provider);
    try {
        if (host) write(core->answer(read()));
        else write(core->makeOffer()), core->setRemote(SessionDescription{SdpType::answer, read()});
        core->waitUntilConnected();
    } catch (const std::exception& e) {
        std::cerr << "peer: " << e.what() << '\n';
        return 1;
    }
    std::atomic<bool> inputEnded{false};
    std::jthread watcher([&] {
        for (std::string line; std::getline(std::cin, line);) {
            if (line.rfind("open ", 0) != 0) continue;
            for (int i = 0, n = std::atoi(line.c_str() + 5); i < n; ++i) {
                const std::string labels[] = {"ctl", "bulk", std::string(60 * 1024, static_cast<char>('a' + i % 26)), "x" + std::to_string(i)};
                provider->made.at(0)->createDataChannel(labels[i % 4], {});
            }
        }
        inputEnded = true;
    });
    std::jthread echo([&] {
        while (auto message = core->messages->next()) {
            try {
                core->sendControl(*message);
            } catch (const std::exception&) {
            }
        }
    });
    std::vector<PixelBufferPtr> frames;
    for (int k = 0; host && k < 8; ++k) frames.push_back(movingFrame(width, height, k));
    auto usage = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return std::make_pair((u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1'000'000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec,
                              u.ru_minflt);
    };
    const auto start = usage();
    long sent = 0;
    const auto period = std::chrono::nanoseconds(1s) / fps;
    for (auto next = std::chrono::steady_clock::now(); !inputEnded; std::this_thread::sleep_until(next += period))
        if (host) core->sendVideoFrame(frames[static_cast<std::size_t>(sent++ % 8)], nowNs());
    const auto end = usage();
    if (host)
        std::cout << "frames " << sent << " cpu_us " << end.first - start.first << " minflt " << end.second - start.second
                  << std::endl;
    core->close();
}
