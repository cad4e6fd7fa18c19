#pragma once

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <memory>
#include <optional>

#include "host/model/host_model.h"

namespace quill::host::ui {

// The host's menu: its status, the four windows, sharing, open at login, ending the session and
// quitting. Its entries follow the model; the label (title and symbol) tells whether a session
// is active.
class StatusMenu : public QObject {
    Q_OBJECT
public:
    // `openLoginItemsSettings` shows where login items live; `quit` ends the application.
    StatusMenu(HostModel& model, std::function<void()> openLoginItemsSettings, std::function<void()> quit,
               QObject* parent = nullptr);
    ~StatusMenu() override;

    QMenu* menu() const { return menu_.get(); }
    QString title() const;
    // The symbol's name: "display", or "rectangle.inset.filled.and.person.filled" in a session.
    QString symbol() const;
    QIcon icon() const;

    QAction* quitAction() const { return quit_; }
    // Shows `text` in the menu's own line (empty: hides it), for what became of a request.
    void showNote(const QString& text);

signals:
    void labelChanged();

private:
    void update();
    QAction* addText(const QString& name);
    QAction* addButton(const QString& text, std::function<void()> action);

    QPointer<HostModel> model_;
    std::unique_ptr<QMenu> menu_;
    QAction* status_ = nullptr;
    QAction* detail_ = nullptr;
    QAction* error_ = nullptr;
    QAction* pause_ = nullptr;
    QAction* openAtLogin_ = nullptr;
    QAction* settingsMessage_ = nullptr;
    QAction* note_ = nullptr;
    QAction* sessionSeparator_ = nullptr;
    QAction* endSession_ = nullptr;
    QAction* deviceID_ = nullptr;
    QAction* quit_ = nullptr;
    // Made once: Qt's pixmap cache keeps every pixmap of an icon it painted until it fills up,
    // so icons made anew at each session's start and end would pile up there.
    const QIcon idleIcon_, sessionIcon_;
    bool sessionLabel_ = false;
};

// A small window holding the menu, for desktops without a system tray, at the top of the
// screen: it stays open (closing it does nothing), so the menu is always reachable.
class MenuWindow : public QWidget {
    Q_OBJECT
public:
    explicit MenuWindow(StatusMenu& menu, QWidget* parent = nullptr);
    QToolButton* button() const { return button_; }

    // Its distance from the top of the screen.
    static constexpr int topMargin = 12;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void updateLabel();
    void placeAtTop(const QRect& area);

    StatusMenu& menu_;
    QToolButton* button_ = nullptr;
};

// Where the menu lives: a tray icon when the desktop has a system tray, else the menu window.
// Unless told which, the menu follows the tray: a tray that comes later (a panel that starts
// after the host at login) takes it over from the window, and the window comes back when the
// tray goes.
class MenuBarItem : public QObject {
    Q_OBJECT
public:
    MenuBarItem(StatusMenu& menu, std::optional<bool> useTray, QObject* parent = nullptr);
    ~MenuBarItem() override;

    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    MenuWindow* window() const { return window_; }

    // How often the menu looks whether a tray came or went.
    static constexpr int trayCheckMilliseconds = 1000;

private:
    void place(bool inTray);
    void showTray();
    void showWindow();

    StatusMenu& menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QPointer<MenuWindow> window_;
};

}  // namespace quill::host::ui
