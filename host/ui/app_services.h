#pragma once

// The real desktop behind the host model: the keychain files, the X server, the session bus,
// the autostart entry and the network. The application entry builds this once.

#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "host/model/host_model.h"
#include "host/ui/permissions_view.h"

namespace quill::host {
class DBusNotifier;
class DesktopUrlOpener;
class X11Connection;
}  // namespace quill::host

namespace quill::host::ui {

class AutostartControl;

// Where the services keep their files; empty members mean the user's usual folders.
struct DesktopPaths {
    std::optional<QString> keychainRoot;   // default: the keychain's own default
    std::optional<QString> activityFolder; // default: $XDG_DATA_HOME/Quillmate Host
    std::optional<QString> configHome;     // default: $XDG_CONFIG_HOME
    std::optional<QString> cacheFolder;    // default: the cache folder of this application
    std::optional<QString> launcher;       // default: xdg-open
};

class DesktopServices {
public:
    explicit DesktopServices(DesktopPaths paths = {});
    ~DesktopServices();
    DesktopServices(const DesktopServices&) = delete;
    DesktopServices& operator=(const DesktopServices&) = delete;

    // Everything the model needs except the window manager and the session prompt, which
    // belong to the user interface.
    HostEnvironment environment() const;

    // At launch: asks the notification service what it supports (the answer only decides
    // how bodies are escaped).
    void didFinishLaunching();

    // Where the services say what became of a request they could not carry out: in the window
    // `windowId` ("permissions", "activity"), or in the menu for an empty identifier.
    using Report = std::function<void(const QString& windowId, const QString& text)>;
    void setReport(Report report);

    PermissionRequests permissionRequests() const;
    // Shows the folder of login items (creating it first).
    void openLoginItemsSettings();

    // Whether the X server could be reached for input, displays and the cursor.
    bool hasDisplay() const { return static_cast<bool>(x11_); }

    // The page the "Open System Settings" buttons open: what the permission needs on this
    // desktop, at the anchor of the list (`list`).
    QString settingsURL(const QString& list) const;

private:
    std::function<void(QString, QString)> reporter() const;

    DesktopPaths paths_;
    // Shared with the callbacks handed out, which may outlive a later setReport().
    std::shared_ptr<Report> report_;
    std::shared_ptr<X11Connection> x11_;
    std::shared_ptr<DBusNotifier> notifier_;
    std::shared_ptr<DesktopUrlOpener> opener_;
    std::shared_ptr<AutostartControl> autostart_;
};

// This system's name and version, as the hello names it ("Debian GNU/Linux 12 (bookworm)").
std::string operatingSystemText();

}  // namespace quill::host::ui
