#pragma once

#include <QPointer>
#include <functional>

#include "host/model/host_model.h"
#include "host/ui/window_manager.h"

class QLabel;
class QPushButton;
class QShortcut;

namespace quill::host::ui {

// What the permissions window asks of the desktop: a request for each permission (answered by
// a re-check right after) and the address of the page that explains or grants it.
struct PermissionRequests {
    std::function<void()> requestScreenRecording;
    std::function<void()> requestAccessibility;
    // The settings page for a privacy list ("Privacy_ScreenCapture", "Privacy_Accessibility").
    std::function<QString(const QString& list)> settingsURL;
};

// One permission: its mark, title, detail and buttons.
class PermissionRow : public QWidget {
    Q_OBJECT
public:
    PermissionRow(QString title, QString detail, std::function<void()> request, std::function<void()> openSettings,
                  QWidget* parent = nullptr);
    void setGranted(bool granted);
    bool granted() const { return granted_; }
    QLabel* mark() const { return mark_; }
    QPushButton* requestButton() const { return request_; }
    QPushButton* settingsButton() const { return settings_; }

private:
    QString title_;
    bool granted_ = false;
    bool shown_ = false;
    QLabel* mark_ = nullptr;
    QPushButton* request_ = nullptr;
    QPushButton* settings_ = nullptr;
};

// The "permissions" window: whether screen capture and input injection are allowed, with
// requests, settings pages, a re-check and Done.
class PermissionsView : public HostView {
    Q_OBJECT
public:
    PermissionsView(HostModel& model, PermissionRequests requests, QWidget* parent = nullptr);

    PermissionRow* screenRecordingRow() const { return screen_; }
    PermissionRow* accessibilityRow() const { return accessibility_; }

private:
    void render();

    QPointer<HostModel> model_;
    PermissionRequests requests_;
    PermissionRow* screen_ = nullptr;
    PermissionRow* accessibility_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* checkAgain_ = nullptr;
    QPushButton* done_ = nullptr;
    QShortcut* returnKey_ = nullptr;
    QShortcut* enterKey_ = nullptr;
};

}  // namespace quill::host::ui
