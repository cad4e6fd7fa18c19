#include "host/ui/quillmate_host_app.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include "host/runtime/task.h"
#include "host/ui/activity_log_view.h"
#include "host/ui/paired_devices_view.h"
#include "host/ui/pairing_view.h"
#include "host/ui/permissions_view.h"

namespace quill::host::ui {

QWidget* QuillmateHostApp::makeView(const QString& id, HostModel& model, const PermissionRequests& requests) {
    if (id == QLatin1String("pairing")) return new PairingView(model);
    if (id == QLatin1String("peers")) return new PairedDevicesView(model);
    if (id == QLatin1String("activity")) return new ActivityLogView(model);
    if (id == QLatin1String("permissions")) return new PermissionsView(model, requests);
    return nullptr;
}

QuillmateHostApp::QuillmateHostApp(HostEnvironment environment, Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    // exit(), not quit(): quit() asks every window to close first, and the menu window refuses.
    if (!options_.terminate) options_.terminate = [] { QCoreApplication::exit(0); };
    if (!environment.windowManager) {
        windows_ = std::make_shared<WidgetWindowManager>();
        environment.windowManager = windows_;
    }
    if (!environment.prompt) environment.prompt = std::make_shared<MessageBoxSessionPrompt>();
    // The model's start-up is queued, so its first window finds the content factory in place.
    model_ = std::make_unique<HostModel>(std::move(environment));
    if (windows_) {
        HostModel* model = model_.get();
        PermissionRequests requests = options_.permissionRequests;
        windows_->setContentFactory(
            [model, requests](const QString& id) -> QWidget* { return makeView(id, *model, requests); });
    }
    QPointer<QuillmateHostApp> self(this);
    menu_ = std::make_unique<StatusMenu>(*model_, options_.openLoginItemsSettings, [self] {
        if (self) self->quit();
    });
    menuBarItem_ = std::make_unique<MenuBarItem>(*menu_, options_.useTray);
    // The windows open beside the menu window, which is otherwise the only way back to them.
    if (windows_)
        windows_->setKeepClear([this]() -> QRect {
            MenuWindow* window = menuBarItem_ ? menuBarItem_->window() : nullptr;
            return window && window->isVisible() ? window->frameGeometry() : QRect();
        });
}

void QuillmateHostApp::report(const QString& windowId, const QString& text) {
    if (!windows_ || windowId.isEmpty() || !windows_->showStatus(windowId, text)) menu_->showNote(text);
}

QuillmateHostApp::~QuillmateHostApp() {
    menuBarItem_.reset();
    menu_.reset();
    model_.reset();
}

void QuillmateHostApp::quit() {
    if (quitting_) return;
    quitting_ = true;
    // Whatever happens to the ordered end, the application leaves shortly after the bound.
    const int bound = static_cast<int>((model_->timing().quitBound + 1.0) * 1000);
    QTimer::singleShot(bound, this, [this] { terminateOnce(); });
    QPointer<QuillmateHostApp> self(this);
    QPointer<HostModel> model(model_.get());
    spawn(this, [self, model]() -> QCoro::Task<> {
        if (model) co_await model->prepareToQuit();
        if (self) self->terminateOnce();
    });
}

void QuillmateHostApp::terminateOnce() {
    if (terminated_) return;
    terminated_ = true;
    options_.terminate();
}

}  // namespace quill::host::ui
