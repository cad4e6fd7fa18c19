#pragma once

// The benchmarks' host in a process of its own (webrtc_bench_peer), and the changing content it
// sends.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "tests/webrtc_support.h"

namespace quill::webrtctest {

// A diagonal pattern shifted by `phase`: content the encoder has to work on.
inline PixelBufferPtr movingFrame(int width, int height, int phase) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 255);
    for (std::size_t i = 0; i < px.size(); i += 4) {
        const auto x = static_cast<int>(i / 4 % width), y = static_cast<int>(i / 4 / width);
        px[i] = static_cast<std::uint8_t>(x + y + phase * 16), px[i + 1] = static_cast<std::uint8_t>(x * 3 + phase * 8);
        px[i + 2] = static_cast<std::uint8_t>(y * 5);
    }
    return PixelBuffer::fromVector(width, height, std::move(px));
}

// A frame that carries `number` (16 bits) as a row of black and white blocks over a moving
// picture the encoder has to work on.
inline PixelBufferPtr codedFrame(int width, int height, std::uint32_t number) {
    auto moving = movingFrame(width, height, static_cast<int>(number));
    std::vector<std::uint8_t> px(moving->data(), moving->data() + moving->byteCount());
    const int block = width / 20;
    for (int bit = 0; bit < 16; ++bit)
        for (int y = height / 4; y < height / 4 + block; ++y)
            for (int x = block * (bit + 2); x < block * (bit + 3); ++x) {
                const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 4;
                px[i] = px[i + 1] = px[i + 2] = (number >> bit) & 1 ? 255 : 0;
            }
    return PixelBuffer::fromVector(width, height, std::move(px));
}

inline std::uint32_t readCode(const PixelBuffer& f) {
    const int block = f.width() / 20;
    std::uint32_t number = 0;
    for (int bit = 0; bit < 16; ++bit) {
        const int x = block * (bit + 2) + block / 2, y = f.height() / 4 + block / 2;
        if (f.data()[static_cast<std::size_t>(y) * static_cast<std::size_t>(f.stride()) + static_cast<std::size_t>(x) * 4 + 1] > 128)
            number |= 1u << bit;
    }
    return number;
}

// The process's factory, keeping the connections it made so that a test can reach them.
struct RecordingProvider : PeerConnectionProvider {
    std::shared_ptr<PeerConnection> createPeerConnection(const RtcConfiguration& c) override {
        auto pc = PeerConnectionFactory::shared().createPeerConnection(c);
        std::lock_guard lock(mutex);
        return made.emplace_back(pc);
    }
    std::vector<CodecCapability> videoCodecPreferences() const override {
        return PeerConnectionFactory::shared().videoCodecPreferences();
    }
    std::string preferredCodec() const override { return PeerConnectionFactory::shared().preferredCodec(); }
    std::mutex mutex;
    std::vector<std::shared_ptr<PeerConnection>> made;
};

// The host in another process (webrtc_bench_peer), joined by pipes that carry blocks: a line with
// the length, then the text. `arguments` follow the role: width, height and frame rate.
class PeerProcess {
public:
    PeerProcess(const char* path, const char* role, std::vector<std::string> arguments = {}) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
        arguments.insert(arguments.begin(), {path, role});
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            dup2(in[0], 0), dup2(out[1], 1), ::close(in[1]), ::close(out[0]);
            execv(path, argv.data());
            _exit(127);
        }
        ::close(in[0]), ::close(out[1]);
        toPeer_ = fdopen(in[1], "w"), fromPeer_ = fdopen(out[0], "r");
    }
    ~PeerProcess() {
        endInput();
        fclose(fromPeer_);
        if (pid_ > 0) reap();
    }
    void send(const std::string& text) { std::fprintf(toPeer_, "%zu\n%s", text.size(), text.c_str()), std::fflush(toPeer_); }
    std::string receive() {
        std::size_t size = 0;
        if (std::fscanf(fromPeer_, "%zu", &size) != 1) return {};
        std::fgetc(fromPeer_);
        std::string text(size, '\0');
        return std::fread(text.data(), 1, size, fromPeer_) == size ? text : std::string();
    }
    // Ends the peer's input: a host then writes one line of figures and exits.
    void endInput() {
        if (toPeer_) fclose(std::exchange(toPeer_, nullptr));
    }
    std::string readLine() {
        char line[256] = {};
        return std::fgets(line, sizeof line, fromPeer_) ? line : "";
    }
    void signal(int sig) { kill(pid_, sig); }
    void wait() { waitpid(std::exchange(pid_, -1), nullptr, 0); }
    void reap() { kill(pid_, SIGCONT), kill(pid_, SIGKILL), wait(); }

private:
    pid_t pid_ = -1;
    FILE *toPeer_ = nullptr, *fromPeer_ = nullptr;
};

}  // namespace quill::webrtctest
