// Quillmate Host: the tray application that lets a paired controller see and use this desktop.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/ui/app_services.h"
#include "host/ui/quillmate_host_app.h"
#include "host/ui/single_instance.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    // Frame buffers are pooled (capture's shared memory, the video's conversion buffers), so no
    // large block is allocated per frame; but every session still allocates and frees large ones
    // (the encoder's pictures) from GStreamer threads. With glibc's defaults its growing mmap
    // threshold and one arena per thread keep them: over 40 MB more per session. Large blocks
    // straight from mmap and two arenas keep the process level, at no cost per frame.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    mallopt(M_ARENA_MAX, 2);

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
    quill::host::ui::QuillmateHostApp host(services.environment(), std::move(options));
    services.setReport([&host](const QString& window, const QString& text) { host.report(window, text); });

    // Interrupted or asked to stop from outside: leave the way Quit does, so that a running
    // session ends in order and no key or button stays held on this desktop.
    std::unique_ptr<QSocketNotifier> stopRequests;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        stopRequests = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(stopRequests.get(), &QSocketNotifier::activated, &host, [&host] {
            char byte;
            [[maybe_unused]] auto read = ::read(signalPipe[0], &byte, 1);
            host.quit();
        });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }

    return app.exec();
}
