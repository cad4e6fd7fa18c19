// Quillmate Host: the tray application that lets a paired controller see and use this desktop.
#include <QApplication>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <malloc.h>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

#include "host/runtime/worker.h"
#include "host/ui/app_services.h"
#include "host/ui/quillmate_host_app.h"
#include "host/ui/single_instance.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace {

int stopPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(stopPipe[1], &byte, 1);
}

// SIGTERM and SIGINT are read on a thread of their own, so they work even while the main thread
// is stuck: the first asks the application to quit in order; if the process is still here after
// the bound, held keys and buttons are released and it leaves at once. The same bound covers the
// teardown after the event loop ended. Never destroyed: it watches over the static destructors too.
class StopWatch {
public:
    // How long leaving waits for the X server to confirm that it let go of held input.
    static constexpr double releaseWait = 1.0;

    StopWatch(std::function<void()> quitInOrder, std::shared_ptr<quill::host::InputInjector> injector, double bound)
        : quitInOrder_(std::move(quitInOrder)), injector_(std::move(injector)), bound_(bound) {
        // Started now: by the time it is needed a stuck thread may hold the allocator's lock.
        if (injector_ && ::pipe2(release_, O_CLOEXEC) == 0) {
            if (::pipe2(released_, O_CLOEXEC) == 0)
                std::thread([this] { releaseWhenAsked(); }).detach();
            else
                release_[1] = -1;
        }
        std::thread([this] { run(); }).detach();
    }

    // The event loop ended: stop requests no longer reach the application, and the process
    // leaves within the bound whatever its teardown does.
    void leaving() {
        {
            std::lock_guard lock(mutex_);
            quitInOrder_ = nullptr;
            if (!deadline_) deadline_ = Clock::now() + bound();
        }
        onSignal(0);  // wakes the thread to count down
    }

private:
    using Clock = std::chrono::steady_clock;
    Clock::duration bound() const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bound_));
    }

    void run() {
        for (;;) {
            int wait = -1;
            {
                std::lock_guard lock(mutex_);
                if (deadline_) {
                    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now());
                    if (left.count() <= 0) break;
                    wait = static_cast<int>(left.count());
                }
            }
            pollfd request{stopPipe[0], POLLIN, 0};
            if (::poll(&request, 1, wait) <= 0) continue;
            char bytes[16];
            if (::read(stopPipe[0], bytes, sizeof bytes) > 0) requested();
        }
        // From here nothing waits without a bound: the stuck thread may hold any lock (stdio's,
        // the diagnostics', the injector's) and the X server may not answer.
        static constexpr char line[] = "Quillmate Host: did not end in order in time; leaving now\n";
        [[maybe_unused]] auto written = ::write(STDOUT_FILENO, line, sizeof line - 1);
        const char go = 1;
        if (release_[1] >= 0 && ::write(release_[1], &go, 1) == 1) {
            pollfd released{released_[0], POLLIN, 0};
            ::poll(&released, 1, static_cast<int>(releaseWait * 1000) + 100);
        }
        ::_exit(1);
    }

    void releaseWhenAsked() {
        char byte = 0;
        ssize_t got = 0;
        do got = ::read(release_[0], &byte, 1);
        while (got < 0 && errno == EINTR);
        if (got != 1) return;
        injector_->releaseForExit(releaseWait);
        std::fflush(nullptr);
        [[maybe_unused]] auto written = ::write(released_[1], &byte, 1);
    }

    void requested() {
        std::lock_guard lock(mutex_);
        if (deadline_) return;
        deadline_ = Clock::now() + bound();
        if (quitInOrder_) quitInOrder_();
    }

    std::mutex mutex_;
    std::function<void()> quitInOrder_;
    std::optional<Clock::time_point> deadline_;
    const std::shared_ptr<quill::host::InputInjector> injector_;
    const double bound_;
    int release_[2] = {-1, -1};
    int released_[2] = {-1, -1};
};

// Each connection holds a descriptor. The intake bounds how many strangers get; the soft limit
// only has to leave room above that, so it goes as high as it may.
void raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        quill::diagnostic("Quillmate Host: could not raise the open-file limit");
}

// Qt aborts when its X display does not answer, with a message that blames the installation:
// say which display could not be opened instead. Only where Qt would use X.
bool displayOpens() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::string_view(platform).substr(0, 3) != "xcb") return true;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        std::fputs("Quillmate Host could not open an X display: DISPLAY is not set.\n", stderr);
        return false;
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool opened = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (!opened) std::fprintf(stderr, "Quillmate Host could not open the X display \"%s\" named in DISPLAY.\n", display);
    return opened;
}

}  // namespace

int main(int argc, char** argv) {
    // Frame buffers are pooled (capture's shared memory, the video's conversion buffers), so no
    // large block is allocated per frame; but every session still allocates and frees large ones
    // (the encoder's pictures) from GStreamer threads. With glibc's defaults its growing mmap
    // threshold and one arena per thread keep them: over 40 MB more per session. Large blocks
    // straight from mmap keep the process level from the first session on, at no cost per frame.
    // Arenas are few but not one: with one, the threads that take in and screen a flood of
    // strangers' envelopes waited on each other's allocations, the screening fell behind and a
    // paired controller's offers were crowded out (half of them at 20,000 forged envelopes a
    // second; all answered with eight). Free memory at the top of an arena stays there: returned
    // at once, it came back as page faults with the next frame's encoded picture. A session's
    // teardown returns it, once.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    mallopt(M_ARENA_MAX, 8);
    mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
    raiseOpenFileLimit();

    // Before anything that advertises, listens or writes: a second copy must change nothing.
    const auto instance = quill::host::ui::SingleInstanceLock::acquire(quill::host::ui::SingleInstanceLock::defaultPath());
    if (instance.outcome() == quill::host::ui::SingleInstanceLock::Outcome::heldElsewhere) {
        std::fputs("Quillmate Host is already running.\n", stderr);
        return 1;
    }
    // scripts/run asks this before it starts a virtual display for a copy that could not run.
    if (argc > 1 && std::string_view(argv[1]) == "--check-running") return 0;
    if (instance.outcome() == quill::host::ui::SingleInstanceLock::Outcome::unavailable)
        quill::diagnostic("Quillmate Host: cannot make sure no other copy is running: " + instance.problem());
    if (!displayOpens()) return 1;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmate Host"));
    QApplication::setDesktopFileName(QStringLiteral("quillmate-host"));
    QApplication::setQuitOnLastWindowClosed(false);

    // GStreamer and the DTLS certificate, before any controller's first session needs them.
    quill::PeerConnectionFactory::shared();

    quill::host::ui::DesktopServices services;
    services.didFinishLaunching();

    quill::host::ui::QuillmateHostApp::Options options;
    options.permissionRequests = services.permissionRequests();
    options.openLoginItemsSettings = [&services] { services.openLoginItemsSettings(); };
    quill::host::HostEnvironment environment = services.environment();
    const auto injector = environment.inputInjector;
    quill::host::ui::QuillmateHostApp host(std::move(environment), std::move(options));
    services.setReport([&host](const QString& window, const QString& text) { host.report(window, text); });

    // Interrupted or asked to stop from outside: leave the way Quit does, so that a running
    // session ends in order and no key or button stays held on this desktop.
    const double bound = host.model().timing().quitBound + 3.0;
    StopWatch* watch = nullptr;
    if (::pipe2(stopPipe, O_CLOEXEC) == 0) {
        watch = new StopWatch(
            [&host] { QMetaObject::invokeMethod(&host, [&host] { host.quit(); }, Qt::QueuedConnection); }, injector,
            bound);
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }

    const int status = app.exec();
    if (watch) watch->leaving();
    // Before the static destructors stop the network thread that their sends wait for.
    quill::host::waitForWorkers(bound);
    return status;
}
