#pragma once

// Shared by the WebRTC tests and benchmarks: a controller core and a host core in one
// process, negotiated directly over an in-memory signalling link.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <string>
#include <thread>

#include "quillcore/session/session_core.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace quill::webrtctest {

using namespace std::chrono_literals;

// One end of an in-memory signalling link; what one end sends, the other reads.
class MemoryLink : public SignallingLink {
public:
    static std::pair<std::shared_ptr<MemoryLink>, std::shared_ptr<MemoryLink>> pair() {
        auto a = std::make_shared<MemoryLink>();
        auto b = std::make_shared<MemoryLink>();
        a->peer_ = b;
        b->peer_ = a;
        return {a, b};
    }
    std::optional<SignallingMessage> next() override { return inbox_->next(); }
    void close() override { inbox_->finish(); }
    void send(SignallingMessage message) {
        if (auto p = peer_.lock()) p->inbox_->push(std::move(message));
    }

private:
    AsyncStreamPtr<SignallingMessage> inbox_ = AsyncStream<SignallingMessage>::make();
    std::weak_ptr<MemoryLink> peer_;
};

inline SessionConfiguration configuration(std::int64_t width = 1280, std::int64_t height = 720, std::int64_t fps = 30) {
    const std::int64_t bitrate = std::clamp<std::int64_t>(width * height * 60 / 8, 12'000'000, 60'000'000);
    return SessionConfiguration({}, SessionMode::control, bitrate, fps, width, height, 10, 15, 20);
}

struct Pair {
    std::shared_ptr<SessionCore> controller;
    std::shared_ptr<SessionCore> host;
    std::shared_ptr<MemoryLink> controllerLink;
    std::shared_ptr<MemoryLink> hostLink;
    std::string offer;
    std::string answer;

    void closeAll() {
        if (controllerLink) controllerLink->close();
        if (hostLink) hostLink->close();
        if (controller) controller->close();
        if (host) host->close();
    }
};

// Runs the two roles' calls in their order: the host pumps before it answers, the controller
// after it applied the answer; both then wait for the connection.
inline Pair connectPair(const SessionConfiguration& config, const std::string& sessionID = "SESSION") {
    Pair p;
    p.controller = SessionCore::make(config, true);
    p.host = SessionCore::make(config, false);
    std::tie(p.controllerLink, p.hostLink) = MemoryLink::pair();
    p.controller->setSessionID(sessionID);
    p.host->setSessionID(sessionID);
    p.host->startPump(p.hostLink);
    p.offer = p.controller->makeOffer();
    p.answer = p.host->answer(p.offer);
    p.controller->setRemote(SessionDescription{SdpType::answer, p.answer});
    p.controller->startPump(p.controllerLink);
    auto hostWait = std::async(std::launch::async, [host = p.host] { host->waitUntilConnected(); });
    p.controller->waitUntilConnected();
    hostWait.get();
    return p;
}

// A frame of one colour; BGRx.
inline PixelBufferPtr solidFrame(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    for (std::size_t i = 0; i < px.size(); i += 4) {
        px[i] = b;
        px[i + 1] = g;
        px[i + 2] = r;
        px[i + 3] = 255;
    }
    return PixelBuffer::fromVector(width, height, std::move(px));
}

// A frame with a diagonal pattern shifted by `phase`: content the encoder has to work on.
inline PixelBufferPtr movingFrame(int width, int height, int phase) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 4;
            const int v = (x + y + phase * 16) & 0xFF;
            px[i] = static_cast<std::uint8_t>(v);
            px[i + 1] = static_cast<std::uint8_t>((x * 3 + phase * 8) & 0xFF);
            px[i + 2] = static_cast<std::uint8_t>((y * 5) & 0xFF);
            px[i + 3] = 255;
        }
    return PixelBuffer::fromVector(width, height, std::move(px));
}

// A frame of one colour as a screen capture gives it: the padding byte zero and rows longer
// than the pixels, their tails filled with bytes that must never be shown.
inline PixelBufferPtr capturedFrame(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    const int stride = width * 4 + 64;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(stride) * height, 0xAB);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = bytes->data() + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4;
            p[0] = b;
            p[1] = g;
            p[2] = r;
            p[3] = 0;
        }
    const std::uint8_t* data = bytes->data();
    return std::make_shared<const PixelBuffer>(width, height, stride, std::shared_ptr<const void>(bytes, bytes.get()), data);
}

// A frame that carries `number` (16 bits) as a row of black and white blocks.
inline PixelBufferPtr codedFrame(int width, int height, std::uint32_t number) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 128);
    const int block = width / 20;
    for (int bit = 0; bit < 16; ++bit) {
        const std::uint8_t v = (number >> bit) & 1 ? 255 : 0;
        for (int y = height / 4; y < height / 4 + block; ++y)
            for (int x = block * (bit + 2); x < block * (bit + 3); ++x) {
                const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 4;
                px[i] = px[i + 1] = px[i + 2] = v;
            }
    }
    return PixelBuffer::fromVector(width, height, std::move(px));
}

// The number a coded frame carries.
inline std::uint32_t readCode(const PixelBuffer& f) {
    const int block = f.width() / 20;
    std::uint32_t number = 0;
    for (int bit = 0; bit < 16; ++bit) {
        const int x = block * (bit + 2) + block / 2, y = f.height() / 4 + block / 2;
        const std::uint8_t* p = f.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(f.stride()) +
                                static_cast<std::size_t>(x) * 4;
        if (p[1] > 128) number |= 1u << bit;
    }
    return number;
}

struct Rgb {
    int r, g, b;
};

// Distinct colours that survive H.264 and the colour conversions well apart.
inline const std::vector<Rgb>& palette() {
    static const std::vector<Rgb> colours{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255},
                                          {255, 255, 0}, {0, 255, 255}, {255, 0, 255}, {0, 0, 0}};
    return colours;
}

inline Rgb centre(const PixelBuffer& f) {
    const std::uint8_t* p = f.data() + static_cast<std::size_t>(f.height() / 2) * static_cast<std::size_t>(f.stride()) +
                            static_cast<std::size_t>(f.width() / 2) * 4;
    return {p[2], p[1], p[0]};
}

// The palette index whose colour is within `tolerance` on every channel, or -1.
inline int paletteIndex(const Rgb& c, int tolerance = 40) {
    const auto& colours = palette();
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const auto& p = colours[i];
        if (std::abs(p.r - c.r) <= tolerance && std::abs(p.g - c.g) <= tolerance && std::abs(p.b - c.b) <= tolerance)
            return static_cast<int>(i);
    }
    return -1;
}

inline std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A peer in another process, joined by pipes.
class PeerProcess {
public:
    // `arguments` follow the role: width, height and frame rate for a host.
    PeerProcess(const char* peerPath, const char* role, std::vector<std::string> arguments = {}) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> args{peerPath, role};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            execv(peerPath, argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toPeer_ = fdopen(in[1], "w");
        fromPeer_ = fdopen(out[0], "r");
    }
    // Ends the peer's input; a host then reports its frames and CPU time.
    void endInput() {
        if (toPeer_) fclose(toPeer_);
        toPeer_ = nullptr;
    }
    std::string readLine() {
        char line[256] = {};
        if (!fromPeer_ || !std::fgets(line, sizeof line, fromPeer_)) return {};
        return line;
    }
    ~PeerProcess() {
        if (toPeer_) fclose(toPeer_);
        if (fromPeer_) fclose(fromPeer_);
        if (pid_ > 0) {
            kill(pid_, SIGCONT);
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void send(const std::string& text) {
        std::fprintf(toPeer_, "%zu\n", text.size());
        std::fwrite(text.data(), 1, text.size(), toPeer_);
        std::fflush(toPeer_);
    }
    std::string receive() {
        std::size_t size = 0;
        if (std::fscanf(fromPeer_, "%zu", &size) != 1) return {};
        std::fgetc(fromPeer_);
        std::string text(size, '\0');
        if (std::fread(text.data(), 1, size, fromPeer_) != size) return {};
        return text;
    }
    void signal(int sig) { kill(pid_, sig); }
    // Waits for the peer to exit by itself.
    void wait() {
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    void reap() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    FILE* toPeer_ = nullptr;
    FILE* fromPeer_ = nullptr;
};

}  // namespace quill::webrtctest
