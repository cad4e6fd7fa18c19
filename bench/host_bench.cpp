// The host application as users run it (quillmate-host in a process of its own, with private
// folders), driven by a controller of this process on loopback, against the X server in
// $DISPLAY. Run it in a private network namespace on a 1920x1080 display:
//   scripts/harness/webrtc scripts/harness/x11 build/bench/host_bench
// QUILL_HOST_BINARY names another host build (an older one, for before-and-after figures);
// QUILL_BENCH_CPUS the two processors the measured processes (the host, the bare pipeline) are
// pinned to (default 0,1). Keep the controller and the X server off them, for instance:
//   QUILL_BENCH_CPUS=6,7 taskset -c 2-5 scripts/harness/webrtc scripts/harness/x11 build/bench/host_bench
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <xcb/xcb.h>

#include "host/desktop/hid_keycodes.h"
#include "tests/proc_stat.h"
#include "host/desktop/x11_connection.h"
#include "host/desktop/x11_test_support.h"
#include "host/desktop/xtest_event_sink.h"
#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/identity/key_store.h"
#include "quillcore/keychain/file_keychain.h"
#include "quillcore/session/controller_session.h"
#include "quillcore/webrtc/peer_connection_factory.h"
#include "bench/webrtc_peer.h"

namespace quill::host {
namespace {

using namespace std::chrono_literals;
using hostprocess::statFields;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// CPU time (all threads) and minor page faults of a process, from /proc; and the CPU time of
// each thread, by name and number.
struct Usage {
    double cpuSeconds = 0;
    double minorFaults = 0;
    std::map<std::pair<std::string, long>, double> byThread;
    Clock::time_point at;

    static Usage of(pid_t pid) {
        Usage u;
        u.at = Clock::now();
        const double tick = double(sysconf(_SC_CLK_TCK));
        const std::string proc = "/proc/" + std::to_string(pid);
        std::error_code error;
        for (const auto& task : fs::directory_iterator(proc + "/task", error)) {
            std::string name;
            const auto f = statFields(task.path().string() + "/stat", &name);
            if (f.size() >= 13)
                u.byThread[{name, std::stol(task.path().filename().string())}] =
                    (std::stod(f[11]) + std::stod(f[12])) / tick;
        }
        const auto f = statFields(proc + "/stat");
        if (f.size() < 13) return u;
        u.minorFaults = std::stod(f[7]);
        u.cpuSeconds = (std::stod(f[11]) + std::stod(f[12])) / tick;
        return u;
    }
    // Share of one core, and faults per second, since `earlier`.
    std::pair<double, double> since(const Usage& earlier) const {
        const double seconds = std::chrono::duration<double>(at - earlier.at).count();
        return {(cpuSeconds - earlier.cpuSeconds) / seconds, (minorFaults - earlier.minorFaults) / seconds};
    }
    // CPU seconds since `earlier`: of the thread that feeds the encoder (in the host it also
    // payloads, encrypts and sends what the encoder made), of x264's own threads (named after
    // the thread that opened the encoder, so the busiest name; the feeding thread is the oldest
    // of them), of the screen capture's thread, and of every other thread of the process.
    std::array<double, 4> splitSince(const Usage& earlier) const {
        std::map<std::string, double> byName;
        std::map<std::string, std::pair<long, double>> oldest;
        for (const auto& [thread, seconds] : byThread) {
            const auto before = earlier.byThread.find(thread);
            const double spent = seconds - (before == earlier.byThread.end() ? 0 : before->second);
            byName[thread.first] += spent;
            auto [it, first] = oldest.try_emplace(thread.first, thread.second, spent);
            if (!first && thread.second < it->second.first) it->second = {thread.second, spent};
        }
        std::string encoder;
        for (const auto& [name, spent] : byName)
            if (name != "host.capture" && (encoder.empty() || spent > byName.at(encoder))) encoder = name;
        const double feeding = encoder.empty() ? 0 : oldest.at(encoder).second;
        const double encoding = encoder.empty() ? 0 : byName.at(encoder) - feeding;
        const double capture = byName["host.capture"];  // 0 when it has no such thread
        return {feeding, encoding, capture, cpuSeconds - earlier.cpuSeconds - feeding - encoding - capture};
    }
};

double residentMegabytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}

void pinToBenchCpus() {
    const char* list = std::getenv("QUILL_BENCH_CPUS");
    std::istringstream in(list ? list : "0,1");
    cpu_set_t set;
    CPU_ZERO(&set);
    for (std::string cpu; std::getline(in, cpu, ',');) CPU_SET(std::stoi(cpu), &set);
    sched_setaffinity(0, sizeof set, &set);
}

// A child process with its input on a pipe (closing it ends a bare pipeline) and its output
// in a file, or on a pipe the caller reads when no file is named.
class Child {
public:
    Child(std::vector<std::string> args, const std::vector<std::string>& environment, const fs::path& log = {}) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env = environment;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string logPath = log;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            ::close(in[1]);
            ::close(out[0]);
            if (logPath.empty()) {
                dup2(out[1], 1);
            } else {
                const int file = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(file, 1);
                dup2(file, 2);
            }
            pinToBenchCpus();
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = fdopen(out[0], "r");
    }
    ~Child() {
        if (input_ >= 0) ::close(input_);
        if (output_) fclose(output_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) std::this_thread::sleep_for(50ms);
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // Sends a line and returns the line the child answers with.
    std::string ask(const std::string& line) {
        if (input_ < 0 || !output_ || write(input_, (line + "\n").data(), line.size() + 1) < 0) return {};
        char answer[256] = {};
        return std::fgets(answer, sizeof answer, output_) ? answer : "";
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    FILE* output_ = nullptr;
};

std::vector<std::string> inheritedEnvironment(const std::vector<std::string>& replaced) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (std::none_of(replaced.begin(), replaced.end(), [&](const std::string& r) { return r.rfind(name + "=", 0) == 0; }))
            env.push_back(entry);
    }
    env.insert(env.end(), replaced.begin(), replaced.end());
    return env;
}

// The real host with private folders, holding an identity and one paired controller.
struct Host {
    DeviceIdentity identity = quill::testing::makeIdentity(11);
    DeviceIdentity controller = quill::testing::makeIdentity(13);
    fs::path folder, runtime;
    std::unique_ptr<Child> process;
    std::uint16_t port = 0;

    Host() {
        char name[] = "/tmp/quill-host-bench-XXXXXX";
        folder = mkdtemp(name);
        for (const char* sub : {"home", "data", "config"}) fs::create_directories(folder / sub);
        // A runtime folder is in memory, as on a desktop.
        char runtimeName[] = "/dev/shm/quill-host-bench-XXXXXX";
        runtime = mkdtemp(runtimeName);
        auto keychain = std::make_shared<FileKeychain>(folder / "data/quillmate/keychain");
        KeychainKeyStore(keychain, std::string(KeychainKeyStore::defaultService), "device-identity")
            .save(identity.storedKeys());
        PeerRecord record = quill::testing::recordOf(controller, "Bench controller");
        record.permissions = PeerPermissions::defaults();
        KeychainPeerStore(keychain, std::string(KeychainPeerStore::defaultService)).save(record);
        const char* binary = std::getenv("QUILL_HOST_BINARY");
        process = std::make_unique<Child>(
            std::vector<std::string>{binary ? binary : QUILL_HOST_BINARY},
            inheritedEnvironment({"HOME=" + (folder / "home").string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                                  "XDG_DATA_HOME=" + (folder / "data").string(),
                                  "XDG_CONFIG_HOME=" + (folder / "config").string()}),
            folder / "host.log");
        for (int i = 0; i < 400 && !(port = listeningPort()); ++i) std::this_thread::sleep_for(50ms);
    }
    ~Host() {
        process.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        fs::remove_all(runtime, ignored);
    }

    // The port of the host's listening socket (the only process listening in this namespace
    // whose socket the host holds).
    std::uint16_t listeningPort() const {
        std::set<std::string> inodes;
        std::error_code error;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(process->pid()) + "/fd", error)) {
            const std::string target = fs::read_symlink(fd.path(), error).string();
            if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
        }
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            std::ifstream in(table);
            std::string line;
            std::getline(in, line);
            while (std::getline(in, line)) {
                std::istringstream fields(line);
                std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
                fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
                if (state == "0A" && inodes.contains(inode))
                    return std::uint16_t(std::stoul(local.substr(local.rfind(':') + 1), nullptr, 16));
            }
        }
        return 0;
    }

    std::shared_ptr<ControllerSession> connect() const {
        auto store = std::make_shared<InMemoryPeerStore>(std::vector{quill::testing::recordOf(identity, "Bench host")});
        const SessionConfiguration config({}, SessionMode::control, 15'552'000, 60, 1920, 1080, 10, 15, 20);
        auto session = ControllerSession::make(quill::testing::recordOf(identity, "Bench host"), controller, store, config);
        session->start(port);
        return session;
    }
};

// Changes the whole screen every 1/60 s: sixteen full-screen images, each carrying its number
// (see codedFrame), copied by the server in turn into a window that also takes the keyboard
// focus. Keeps when each number was last put on the screen.
class ChangingScreen {
public:
    static constexpr std::uint32_t kImages = 16;  // a number comes back every 267 ms, far beyond any latency

    explicit ChangingScreen(testing::TestClient& client) : client_(client) {
        xcb_connection_t* c = client.connection;
        const int w = client.screen->width_in_pixels, h = client.screen->height_in_pixels;
        gc_ = xcb_generate_id(c);
        xcb_create_gc(c, gc_, client.window, 0, nullptr);
        for (std::uint32_t k = 1; k <= kImages; ++k) {
            const xcb_pixmap_t pixmap = xcb_generate_id(c);
            xcb_create_pixmap(c, client.screen->root_depth, pixmap, client.window, std::uint16_t(w), std::uint16_t(h));
            const PixelBufferPtr image = webrtctest::codedFrame(w, h, k);
            for (int y = 0; y < h; y += 64) {
                const int rows = std::min(64, h - y);
                xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc_, std::uint16_t(w), std::uint16_t(rows), 0,
                              std::int16_t(y), 0, client.screen->root_depth, std::uint32_t(rows * image->stride()),
                              image->data() + std::size_t(y) * std::size_t(image->stride()));
            }
            pixmaps_.push_back(pixmap);
        }
        client.sync();
    }
    void run(bool on) {
        if (!on) {
            thread_ = {};
            return;
        }
        thread_ = std::jthread([this](std::stop_token stop) {
            xcb_connection_t* c = client_.connection;
            auto next = Clock::now();
            for (std::size_t k = 0; !stop.stop_requested(); ++k) {
                askedAt_[k % kImages] = Clock::now();
                xcb_copy_area(c, pixmaps_[k % kImages], client_.window, gc_, 0, 0, 0, 0, client_.screen->width_in_pixels,
                              client_.screen->height_in_pixels);
                // The server answers in order: once this reply is here, the image is on the screen.
                std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
                shownAt_[k % kImages] = Clock::now();
                ++changes_;
                std::this_thread::sleep_until(next += std::chrono::microseconds(16667));
            }
        });
    }
    long changes() const { return changes_; }
    // Milliseconds since the image with this number was last asked of the server, and since the
    // server had put it on the screen; negative for none.
    std::pair<double, double> msSince(std::uint32_t number, Clock::time_point now) const {
        if (number < 1 || number > kImages) return {-1, -1};
        auto since = [&](Clock::time_point at) {
            return at == Clock::time_point{} ? -1 : std::chrono::duration<double, std::milli>(now - at).count();
        };
        return {since(askedAt_[number - 1]), since(shownAt_[number - 1])};
    }

private:
    testing::TestClient& client_;
    xcb_gcontext_t gc_ = 0;
    std::vector<xcb_pixmap_t> pixmaps_;
    std::array<std::atomic<Clock::time_point>, kImages> askedAt_{}, shownAt_{};
    std::atomic<long> changes_{0};
    std::jthread thread_;
};

// Decoded frames are taken as they come, as a controller's view would. While recording, each
// frame's time since its image was asked of the server and since it was on the screen is kept.
struct Viewer {
    Viewer(std::shared_ptr<ControllerSession> session, const ChangingScreen& screen) : session(std::move(session)) {
        thread = std::jthread([this, &screen](std::stop_token stop) {
            std::shared_ptr<RemoteVideoTrack> track;
            while (!stop.stop_requested() && !(track = this->session->remoteVideoTrack())) std::this_thread::sleep_for(10ms);
            while (track && !stop.stop_requested()) {
                auto frame = track->frames()->next(0.1);
                if (!frame.hasItem()) continue;
                const auto now = Clock::now();
                ++decoded;
                std::lock_guard guard(lock);
                if (!recording) continue;
                const auto [asked, shown] = screen.msSince(webrtctest::readCode(**frame.value), now);
                if (asked >= 0 && shown >= 0) {
                    sinceAsked.push_back(asked);
                    latencies.push_back(shown);
                }
            }
        });
    }
    bool waitForFrames(int count, double seconds = 20) {
        for (auto until = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < until;) {
            if (decoded >= count) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    void record(bool on) {
        std::lock_guard guard(lock);
        recording = on;
    }
    ~Viewer() {
        thread.request_stop();
        thread.join();
        session->close("done");
    }
    std::shared_ptr<ControllerSession> session;
    std::atomic<int> decoded{0};
    std::mutex lock;
    bool recording = false;        // guarded by lock
    std::vector<double> latencies;  // since shown; guarded by lock
    std::vector<double> sinceAsked;  // guarded by lock
    std::jthread thread;
};

// The display (its screen changing every frame, or still) and the host on it.
struct Stage {
    explicit Stage(bool changing) : screen((PeerConnectionFactory::shared(), client)) { screen.run(changing); }
    bool ready(benchmark::State& state) const {
        if (host.port) return true;
        state.SkipWithError(("the host did not start listening; see " + (host.folder / "host.log").string()).c_str());
        return false;
    }
    testing::TestClient client{std::getenv("DISPLAY")};
    ChangingScreen screen;
    Host host;
};

long framesEncoded(Child& bare) {
    long frames = -1;
    std::sscanf(bare.ask("frames").c_str(), "frames %ld", &frames);
    return frames;
}

// The host at 1920x1080 and 60 fps with a screen that changes every frame, and the bare pipeline
// under the same load, one after the other, three times (medians of the three):
// - screen_fps, delivered_fps, bare_fps: the screen's changes, the frames the controller decoded,
//   the frames the bare pipeline encoded, per second;
// - change_to_decoded_ms (p95 too): from a change on the screen (the X server has made it) to
//   the controller's decoded frame that shows it, the host's screen capture included;
//   asked_to_decoded_ms: the same from the moment the change was asked of the X server, so with
//   the server's own drawing time;
// - host_cpu_ms_per_frame against bare_cpu_ms_per_frame (host_to_bare), and shares of one core;
//   each split into *_feeding_ms_per_frame (the thread that feeds x264, where the host also
//   payloads, encrypts and sends), *_x264_ms_per_frame (the encoder's own threads),
//   *_capture_ms_per_frame (grab and conversion) and *_other_ms_per_frame (every other thread:
//   the host's event loop, cursor, RTCP, SCTP);
// - minor page faults per second of both;
// each measured over eight seconds after ten of warm-up; and the machine's load meanwhile.
void BM_HostVersusBarePipeline(benchmark::State& state) {
    Stage stage(true);
    if (!stage.ready(state)) return;
    Host& host = stage.host;
    std::vector<double> screenFps, deliveredFps, bareFps, latency, latencyP95, asked, load, hostCpu, hostFaults, hostMsPerFrame,
        bareCpu, bareFaults, bareMsPerFrame;
    // Milliseconds per frame of the feeding thread, x264's threads, the capture thread and the rest.
    std::array<std::vector<double>, 4> hostSplit, bareSplit;
    auto addSplit = [](std::array<std::vector<double>, 4>& split, const Usage& to, const Usage& from, double frames) {
        const auto seconds = to.splitSince(from);
        for (std::size_t i = 0; i < split.size(); ++i) split[i].push_back(frames > 0 ? 1000 * seconds[i] / frames : 0);
    };
    // Measured in the steady state: the first seconds of a session still find new pages for
    // the packets that wait for retransmission and the encoder's pictures.
    constexpr auto kWarmUp = 10s;
    constexpr double kSeconds = 8;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            {
                Viewer viewer(host.connect(), stage.screen);
                if (!viewer.waitForFrames(30)) {
                    state.SkipWithError("no video at the controller");
                    return;
                }
                std::this_thread::sleep_for(kWarmUp);
                const Usage from = Usage::of(host.process->pid());
                const int decodedFrom = viewer.decoded;
                const long changesFrom = stage.screen.changes();
                viewer.record(true);
                std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
                viewer.record(false);
                const Usage to = Usage::of(host.process->pid());
                const auto [cpu, faults] = to.since(from);
                const double seconds = std::chrono::duration<double>(to.at - from.at).count();
                const int decoded = viewer.decoded - decodedFrom;
                hostCpu.push_back(cpu);
                hostFaults.push_back(faults);
                deliveredFps.push_back(decoded / seconds);
                screenFps.push_back(double(stage.screen.changes() - changesFrom) / seconds);
                hostMsPerFrame.push_back(decoded ? 1000 * cpu * seconds / decoded : 0);
                addSplit(hostSplit, to, from, decoded);
                std::lock_guard guard(viewer.lock);
                std::sort(viewer.latencies.begin(), viewer.latencies.end());
                latency.push_back(median(viewer.latencies));
                if (!viewer.latencies.empty()) latencyP95.push_back(viewer.latencies[viewer.latencies.size() * 95 / 100]);
                asked.push_back(median(viewer.sinceAsked));
                std::ifstream("/proc/loadavg") >> load.emplace_back();
            }
            std::this_thread::sleep_for(1s);
            Child bare({QUILL_BARE_PIPELINE, "15552", "60"}, inheritedEnvironment({}));
            std::this_thread::sleep_for(kWarmUp);
            const Usage from = Usage::of(bare.pid());
            const long framesFrom = framesEncoded(bare);
            std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
            const long frames = framesEncoded(bare) - framesFrom;
            const Usage to = Usage::of(bare.pid());
            const auto [cpu, faults] = to.since(from);
            const double seconds = std::chrono::duration<double>(to.at - from.at).count();
            bareCpu.push_back(cpu);
            bareFaults.push_back(faults);
            bareFps.push_back(double(frames) / seconds);
            bareMsPerFrame.push_back(frames > 0 ? 1000 * cpu * seconds / double(frames) : 0);
            addSplit(bareSplit, to, from, double(frames));
        }
    }
    state.counters["screen_fps"] = median(screenFps);
    state.counters["delivered_fps"] = median(deliveredFps);
    state.counters["bare_fps"] = median(bareFps);
    state.counters["change_to_decoded_ms"] = median(latency);
    state.counters["change_to_decoded_p95_ms"] = median(latencyP95);
    state.counters["asked_to_decoded_ms"] = median(asked);
    state.counters["load_1min"] = median(load);
    state.counters["host_cpu_pct"] = 100 * median(hostCpu);
    state.counters["bare_cpu_pct"] = 100 * median(bareCpu);
    state.counters["host_cpu_ms_per_frame"] = median(hostMsPerFrame);
    state.counters["bare_cpu_ms_per_frame"] = median(bareMsPerFrame);
    state.counters["host_to_bare"] = median(hostMsPerFrame) / median(bareMsPerFrame);
    state.counters["host_faults_per_s"] = median(hostFaults);
    state.counters["bare_faults_per_s"] = median(bareFaults);
    const char* parts[] = {"feeding", "x264", "capture", "other"};
    for (std::size_t i = 0; i < hostSplit.size(); ++i) {
        state.counters[std::string("host_") + parts[i] + "_ms_per_frame"] = median(hostSplit[i]);
        state.counters[std::string("bare_") + parts[i] + "_ms_per_frame"] = median(bareSplit[i]);
    }
}
BENCHMARK(BM_HostVersusBarePipeline)->Iterations(1)->Unit(benchmark::kSecond);

// Ten sessions one after the other on a changing screen, each streaming for two seconds: the
// host's resident memory after the first, and its growth from there to the tenth and at most, and
// from the fifth to the tenth.
void BM_HostMemoryOverSessions(benchmark::State& state) {
    Stage stage(true);
    if (!stage.ready(state)) return;
    Host& host = stage.host;
    std::vector<double> rss;
    for (auto _ : state) {
        for (int session = 0; session < 10; ++session) {
            {
                Viewer viewer(host.connect(), stage.screen);
                if (!viewer.waitForFrames(30)) {
                    state.SkipWithError("no video at the controller");
                    return;
                }
                std::this_thread::sleep_for(2s);
            }
            std::this_thread::sleep_for(1s);
            rss.push_back(residentMegabytes(host.process->pid()));
        }
    }
    state.counters["rss_mb_after_1"] = rss.front();
    state.counters["rss_mb_growth_1_to_10"] = rss.back() - rss.front();
    state.counters["rss_mb_growth_max"] = *std::max_element(rss.begin(), rss.end()) - rss.front();
    state.counters["rss_mb_growth_5_to_10"] = rss.back() - rss[4];
}
BENCHMARK(BM_HostMemoryOverSessions)->Iterations(1)->Unit(benchmark::kSecond);

// A session on a still screen: the host's share of one core over five seconds.
void BM_HostOnAStillScreen(benchmark::State& state) {
    Stage stage(false);
    if (!stage.ready(state)) return;
    Host& host = stage.host;
    for (auto _ : state) {
        Viewer viewer(host.connect(), stage.screen);
        viewer.waitForFrames(1);
        std::this_thread::sleep_for(2s);
        const Usage from = Usage::of(host.process->pid());
        std::this_thread::sleep_for(5s);
        state.counters["host_cpu_pct"] = 100 * Usage::of(host.process->pid()).since(from).first;
    }
}
BENCHMARK(BM_HostOnAStillScreen)->Iterations(1)->Unit(benchmark::kSecond);

// A key message sent by the controller until the focused window receives the key press, while
// the screen changes every frame and the video streams (argument 1) or on a still screen (0),
// two hundred times: median and 95th percentile, and the load of the machine meanwhile. Half a
// ping's round trip is the share of the network path (loopback, DTLS, SCTP) in it; the same key
// through XTEST from this process is the X server's share.
void BM_ControlMessageToInjectedEvent(benchmark::State& state) {
    Stage stage(state.range(0) != 0);
    if (!stage.ready(state)) return;
    Viewer viewer(stage.host.connect(), stage.screen);
    viewer.waitForFrames(state.range(0) != 0 ? 30 : 1);
    std::this_thread::sleep_for(1s);
    const std::uint8_t keycode = *xKeycode(0x04);
    // Milliseconds from `send(true)` until the window has the key press.
    auto time = [&](int count, const std::function<void(bool down)>& send, std::vector<double>& into) {
        for (int i = 0; i < count; ++i) {
            stage.client.events.clear();
            const auto sent = Clock::now();
            send(true);
            stage.client.collect(2, [&](const auto& e) { return testing::countOf(e, XCB_KEY_PRESS, keycode) > 0; });
            into.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            send(false);
            stage.client.collect(2, [&](const auto& e) { return testing::countOf(e, XCB_KEY_RELEASE, keycode) > 0; });
            std::this_thread::sleep_for(10ms);
        }
    };
    std::vector<double> latencies, roundTrips, serverOnly;
    double load = 0;
    for (auto _ : state) {
        time(
            200,
            [&](bool down) {
                Quillmate_V0_Envelope e;
                e.mutable_key()->set_usb_hid_usage(0x04);
                e.mutable_key()->set_down(down);
                viewer.session->sendControl(e);
            },
            latencies);
        std::ifstream("/proc/loadavg") >> load;
        // The same key through XTEST from this process: the X server's own share.
        XTestEventSink direct(std::make_shared<X11Connection>(std::getenv("DISPLAY")),
                              (stage.host.runtime / "direct").string());
        time(100, [&](bool down) { direct.post(KeyboardEvent{keycode, down, 0, {}}); }, serverOnly);
        for (std::uint64_t i = 1; i <= 50; ++i) {
            const auto sent = Clock::now();
            Quillmate_V0_Envelope ping;
            ping.mutable_ping()->set_t(i);
            viewer.session->sendControl(ping);
            while (auto reply = viewer.session->messages->next(2.0).value)
                if (reply->has_pong() && reply->pong().t() == i) break;
            roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        }
    }
    state.counters["median_ms"] = median(latencies);
    std::sort(latencies.begin(), latencies.end());
    state.counters["p95_ms"] = latencies[latencies.size() * 95 / 100];
    state.counters["half_ping_ms"] = median(roundTrips) / 2;
    state.counters["xtest_alone_ms"] = median(serverOnly);
    std::sort(serverOnly.begin(), serverOnly.end());
    state.counters["xtest_alone_p95_ms"] = serverOnly[serverOnly.size() * 95 / 100];
    state.counters["load_1min"] = load;
}
BENCHMARK(BM_ControlMessageToInjectedEvent)->ArgName("streaming")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quill::host
