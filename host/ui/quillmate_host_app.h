#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>

#include "host/model/host_model.h"
#include "host/model/host_model_prompt.h"
#include "host/ui/permissions_view.h"
#include "host/ui/status_menu.h"
#include "host/ui/window_manager.h"

namespace quill::host::ui {

// The application: the one host model, its windows, the menu and where the menu lives, and the
// way out. Created once, on the main thread, after the QApplication.
class QuillmateHostApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        PermissionRequests permissionRequests;
        std::function<void()> openLoginItemsSettings;
        // Leaves the event loop; QCoreApplication::exit(0) by default.
        std::function<void()> terminate;
        // Tray icon or menu window; by default a tray icon while the desktop has a tray.
        std::optional<bool> useTray;
    };

    // Fills in the window manager and the session prompt unless `environment` brings its own.
    QuillmateHostApp(HostEnvironment environment, Options options, QObject* parent = nullptr);
    ~QuillmateHostApp() override;

    HostModel& model() { return *model_; }
    StatusMenu& menu() { return *menu_; }
    MenuBarItem& menuBarItem() { return *menuBarItem_; }
    // The windows, when the application made them (not when the environment brought its own).
    WidgetWindowManager* windows() const { return windows_.get(); }

    // Shows what became of a request in the status line of the window `windowId`, or in the
    // menu when that window is not on screen (or the identifier is empty).
    void report(const QString& windowId, const QString& text);

    // The content of the window `id` over `model`.
    static QWidget* makeView(const QString& id, HostModel& model, const PermissionRequests& requests);

    // Ends an active session in order (bye, activity entry closed, input released), waiting no
    // longer than the model's quit bound, then leaves. A second call changes nothing.
    void quit();
    bool isQuitting() const { return quitting_; }

private:
    void terminateOnce();

    Options options_;
    std::shared_ptr<WidgetWindowManager> windows_;
    std::unique_ptr<HostModel> model_;
    std::unique_ptr<StatusMenu> menu_;
    std::unique_ptr<MenuBarItem> menuBarItem_;
    bool quitting_ = false;
    bool terminated_ = false;
};

}  // namespace quill::host::ui
