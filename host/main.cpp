// Quillmate Host: the tray application that lets a paired controller see and use this desktop.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "host/ui/app_services.h"
#include "host/ui/quillmate_host_app.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
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
