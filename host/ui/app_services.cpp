#include "host/ui/app_services.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>

#include "host/desktop/cursor_image.h"
#include "host/desktop/display_info.h"
#include "host/desktop/display_keep_awake.h"
#include "host/desktop/input_injector.h"
#include "host/desktop/local_addresses.h"
#include "host/desktop/notifier.h"
#include "host/desktop/platform_permissions.h"
#include "host/desktop/qr_code_image.h"
#include "host/desktop/url_opener.h"
#include "host/desktop/x11_connection.h"
#include "host/desktop/xtest_event_sink.h"
#include "host/model/host_model_capture.h"
#include "host/ui/autostart_control.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/keychain/file_keychain.h"

namespace quill::host::ui {

namespace {

class NotifierAdapter final : public SessionNotifier {
public:
    explicit NotifierAdapter(std::shared_ptr<DBusNotifier> notifier) : notifier_(std::move(notifier)) {}
    void postSessionStartedNotification(const QString& peerName) override {
        notifier_->postSessionStartedNotification(peerName);
    }

private:
    std::shared_ptr<DBusNotifier> notifier_;
};

class AutostartLoginItem final : public LoginItem {
public:
    explicit AutostartLoginItem(std::shared_ptr<AutostartControl> control) : control_(std::move(control)) {}
    bool isEnabled() const override { return control_->isEnabled(); }
    void setEnabled(bool enabled) override { control_->setEnabled(enabled); }

private:
    std::shared_ptr<AutostartControl> control_;
};

class DesktopWorkspace final : public Workspace {
public:
    DesktopWorkspace(std::shared_ptr<DesktopUrlOpener> opener, std::function<void(QString, QString)> report)
        : opener_(std::move(opener)), report_(std::move(report)) {}
    // The model opens addresses for the permissions window only: the pages of its settings buttons.
    void openURL(const QString& text) override {
        auto report = report_;
        if (auto url = urlFromText(text)) {
            // Where the page is, so that it can be opened by other means.
            const QString where = url->isLocalFile() ? url->toLocalFile() : url->toString(QUrl::RemoveFragment);
            opener_->openUrl(*url, [report, where](std::optional<QString> problem) {
                if (problem)
                    report(QStringLiteral("permissions"),
                           QStringLiteral("Could not open the page about these permissions (%1): %2.").arg(where, *problem));
            });
        }
    }
    void revealFile(const QString& path) override {
        auto report = report_;
        opener_->revealFile(path, [report, path](std::optional<QString> problem) {
            if (problem)
                report(QStringLiteral("activity"), QStringLiteral("Could not show the log (%1): %2.").arg(path, *problem));
        });
    }

private:
    std::shared_ptr<DesktopUrlOpener> opener_;
    std::function<void(QString, QString)> report_;
};

// What each permission needs on an X11 desktop; opened in place of a settings page, which
// this desktop does not have.
const char kPermissionsHelp[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Quillmate Host: permissions</title>
<style>body{font-family:sans-serif;max-width:44em;margin:2em auto;line-height:1.45}h2{margin-top:1.6em}</style>
</head><body>
<h1>Quillmate Host: permissions</h1>
<p>On this computer nothing is granted to single applications: the host can do what the X display
server it runs on lets its clients do. It checks again every half second, so a change shows at once.</p>
<h2 id="Privacy_ScreenCapture">Screen Recording</h2>
<p>Held when the host can read an image of the screen from the X server named by the
<code>DISPLAY</code> variable (through the MIT-SHM extension, or plainly). It is missing when the
host runs without an X display, or in a Wayland session without X access. Log in to an X11 session
(on the login screen, choose a session "on Xorg"), or start the host on the X display you want to share.</p>
<h2 id="Privacy_Accessibility">Accessibility</h2>
<p>Held when the X server offers the XTEST extension, through which the host applies the keyboard
and pointer input of an authorised controller. Every X.Org server has it unless it was switched off
in its configuration (<code>Option "XTEST" "off"</code> or a <code>-extension XTEST</code> argument);
remove that setting and restart the server.</p>
</body></html>
)";

}  // namespace

std::string operatingSystemText() {
    const QString pretty = QSysInfo::prettyProductName();
    return (pretty.isEmpty() ? QStringLiteral("Linux") : pretty).toStdString();
}

DesktopServices::DesktopServices(DesktopPaths paths)
    : paths_(std::move(paths)),
      report_(std::make_shared<Report>()),
      notifier_(std::make_shared<DBusNotifier>()),
      opener_(std::make_shared<DesktopUrlOpener>(QDBusConnection::sessionBus(),
                                                 paths_.launcher.value_or(QStringLiteral("xdg-open")))),
      autostart_(std::make_shared<AutostartControl>(paths_.configHome)) {
    try {
        x11_ = std::make_shared<X11Connection>();
    } catch (const std::exception& e) {
        // The host still runs (pairing, the windows); capture and input report themselves missing.
        diagnostic(std::string("Quillmate Host: no X display for input and the cursor: ") + e.what());
    }
}

DesktopServices::~DesktopServices() = default;

HostEnvironment DesktopServices::environment() const {
    HostEnvironment env;
    auto keychain = std::make_shared<FileKeychain>(paths_.keychainRoot
                                                       ? std::filesystem::path(paths_.keychainRoot->toStdString())
                                                       : FileKeychain::defaultRoot());
    // Served from memory: a stranger naming any sender costs no read of the keychain.
    env.peerStore = std::make_shared<CachingPeerStore>(
        std::make_shared<KeychainPeerStore>(keychain, std::string(KeychainPeerStore::defaultService)));
    env.keyStore =
        std::make_shared<KeychainKeyStore>(keychain, std::string(KeychainKeyStore::defaultService), "device-identity");
    env.activityLog = std::make_shared<ActivityLog>(paths_.activityFolder);

    env.permissions = std::make_shared<X11PermissionProbe>();
    if (x11_) {
        // The cursor's position and every pointer message need the layout: one a quarter
        // second old is recent enough.
        constexpr double layoutAge = 0.25;
        // The main thread's: the layout, keep-awake and the cursor.
        env.displays = std::make_shared<X11DisplaySource>(x11_, layoutAge);
        env.keepAwake = std::make_shared<DisplayKeepAwake>(std::make_shared<X11PowerBackend>(x11_));
        env.cursorSource = std::make_shared<X11CursorImageSource>(x11_);
        // The input thread's, on connections of its own: its waits for the server never hold
        // up the main thread's requests, and it never reads their events. Its layout follows
        // the server's announcements, so no pointer message waits for it to be read again.
        try {
            const std::string& display = x11_->displayName();
            env.inputInjector = std::make_shared<InputInjector>(
                std::make_shared<XTestEventSink>(std::make_shared<X11Connection>(display)),
                X11DisplaySource::followingChanges(std::make_shared<X11Connection>(display)));
        } catch (const std::exception& e) {
            diagnostic(std::string("Quillmate Host: input cannot be applied: ") + e.what());
        }
    }
    env.notifier = std::make_shared<NotifierAdapter>(notifier_);
    env.loginItem = std::make_shared<AutostartLoginItem>(autostart_);
    env.workspace = std::make_shared<DesktopWorkspace>(opener_, reporter());
    env.localAddresses = [](std::uint16_t port) {
        std::vector<std::string> out;
        for (const QString& address : localAddresses(port)) out.push_back(address.toStdString());
        return out;
    };
    env.makeQRCode = [](const QString& text, double scale) -> std::shared_ptr<const QImage> {
        std::optional<QImage> image = makeQRCodeImage(text, scale);
        if (!image) return nullptr;
        return std::make_shared<const QImage>(std::move(*image));
    };
    env.makeCaptureEngine = screenCaptureEngineFactory();
    env.operatingSystem = operatingSystemText();
    return env;
}

void DesktopServices::didFinishLaunching() { notifier_->requestAuthorization(); }

std::function<void(QString, QString)> DesktopServices::reporter() const {
    return [report = report_](const QString& window, const QString& text) {
        if (*report) (*report)(window, text);
    };
}

PermissionRequests DesktopServices::permissionRequests() const {
    PermissionRequests requests;
    // Nothing to ask for on X11: say so. The re-check that follows reads the server anew.
    auto report = reporter();
    requests.requestScreenRecording = [report] {
        report(QStringLiteral("permissions"),
               QStringLiteral("This computer has no access to grant: the host can record the screen whenever "
                              "it can read the X display. \u201cOpen System Settings\u201d tells more."));
    };
    requests.requestAccessibility = [report] {
        report(QStringLiteral("permissions"),
               QStringLiteral("This computer has no access to grant: the host can apply input whenever the X "
                              "server offers XTEST. \u201cOpen System Settings\u201d tells more."));
    };
    requests.settingsURL = [this](const QString& list) { return settingsURL(list); };
    return requests;
}

QString DesktopServices::settingsURL(const QString& list) const {
    const QString folder = paths_.cacheFolder ? *paths_.cacheFolder
                                              : QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                                                    QStringLiteral("/quillmate-host");
    const QString path = folder + QStringLiteral("/permissions.html");
    QDir().mkpath(folder);
    const QByteArray page(kPermissionsHelp);
    QFile file(path);
    const bool current = file.open(QIODevice::ReadOnly) && file.readAll() == page;
    file.close();
    if (!current) {
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(page) != page.size() || !out.commit()) {
            reporter()(QStringLiteral("permissions"),
                       QStringLiteral("Could not write the page %1: %2").arg(path, out.errorString()));
            return {};
        }
    }
    QUrl url = QUrl::fromLocalFile(path);
    url.setFragment(list);
    return url.toString(QUrl::FullyEncoded);
}

void DesktopServices::openLoginItemsSettings() {
    const QString folder = autostart_->directoryPath();
    QDir().mkpath(folder);
    auto report = reporter();
    opener_->openUrl(QUrl::fromLocalFile(folder), [report, folder](std::optional<QString> problem) {
        if (problem) report({}, QStringLiteral("Could not open the folder of login items (%1): %2.").arg(folder, *problem));
    });
}

void DesktopServices::setReport(Report report) { *report_ = std::move(report); }

}  // namespace quill::host::ui
