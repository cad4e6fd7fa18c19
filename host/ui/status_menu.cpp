#include "host/ui/status_menu.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "host/runtime/task.h"
#include "host/ui/view_support.h"

namespace quill::host::ui {

namespace {

const QString kSessionSymbol = QStringLiteral("rectangle.inset.filled.and.person.filled");
const QString kIdleSymbol = QStringLiteral("display");

}  // namespace

StatusMenu::StatusMenu(HostModel& model, std::function<void()> openLoginItemsSettings, std::function<void()> quit,
                       QObject* parent)
    : QObject(parent),
      model_(&model),
      menu_(std::make_unique<QMenu>()),
      idleIcon_(outlinedSymbolIcon(kIdleSymbol)),
      sessionIcon_(outlinedSymbolIcon(kSessionSymbol)) {
    menu_->setObjectName(QStringLiteral("statusMenu"));
    menu_->setToolTipsVisible(false);
    status_ = addText(QStringLiteral("status"));
    detail_ = addText(QStringLiteral("detail"));
    error_ = addText(QStringLiteral("startupError"));
    menu_->addSeparator();

    QPointer<HostModel> guard(&model);
    addButton(QStringLiteral("Pair a device\u2026"), [guard] {
        if (guard && guard->windowManager())
            guard->windowManager()->show(QStringLiteral("pairing"), QStringLiteral("Pair a Device"), {520, 700});
    });
    addButton(QStringLiteral("Paired devices\u2026"), [guard] {
        if (!guard) return;
        guard->refreshPeers();
        if (guard->windowManager())
            guard->windowManager()->show(QStringLiteral("peers"), QStringLiteral("Paired Devices"), {820, 540});
    });
    addButton(QStringLiteral("Activity log\u2026"), [guard] {
        if (guard) guard->showActivityLog();
    });
    addButton(QStringLiteral("Permissions\u2026"), [guard] {
        if (guard && guard->windowManager())
            guard->windowManager()->show(QStringLiteral("permissions"), QStringLiteral("Permissions"), {580, 430});
    });
    menu_->addSeparator();

    // The check marks follow the model's flags only: a click asks the model, then shows its answer.
    pause_ = menu_->addAction(QStringLiteral("Pause sharing"));
    pause_->setCheckable(true);
    connect(pause_, &QAction::triggered, this, [this] {
        if (model_) model_->setSharingPaused(!model_->sharingPaused());
        update();
    });
    openAtLogin_ = menu_->addAction(QStringLiteral("Open at login"));
    openAtLogin_->setCheckable(true);
    connect(openAtLogin_, &QAction::triggered, this, [this] {
        if (model_) model_->setLaunchAtLogin(!model_->launchAtLogin());
        update();
    });
    addButton(QStringLiteral("Open Login Items Settings\u2026"), [this, open = std::move(openLoginItemsSettings)] {
        showNote({});
        if (open) open();
    });
    settingsMessage_ = addText(QStringLiteral("settingsMessage"));
    // What became of a request to the desktop that the menu made.
    note_ = addText(QStringLiteral("note"));
    note_->setVisible(false);

    sessionSeparator_ = menu_->addSeparator();
    endSession_ = addButton(QStringLiteral("End active session"), [guard] {
        if (!guard) return;
        // The session chosen now, not whichever is active when the task runs.
        std::shared_ptr<HostSession> session = guard->activeSession();
        if (!session) return;
        spawn(guard, [guard, session]() -> QCoro::Task<> {
            if (guard) co_await guard->endSession(session);
        });
    });
    menu_->addSeparator();
    deviceID_ = addText(QStringLiteral("deviceID"));
    quit_ = addButton(QStringLiteral("Quit Quillmate Host"), std::move(quit));
    quit_->setShortcut(QKeySequence::Quit);
    quit_->setShortcutContext(Qt::ApplicationShortcut);

    for (auto signal : {&HostModel::statusChanged, &HostModel::startupErrorChanged, &HostModel::settingsMessageChanged,
                        &HostModel::formattedDeviceIDChanged, &HostModel::sharingPausedChanged,
                        &HostModel::launchAtLoginChanged, &HostModel::activePeerNameChanged,
                        &HostModel::activeSessionChanged})
        connect(&model, signal, this, &StatusMenu::update);
    connect(menu_.get(), &QMenu::aboutToShow, this, &StatusMenu::update);
    update();
}

StatusMenu::~StatusMenu() = default;

QAction* StatusMenu::addText(const QString& name) {
    QAction* action = menu_->addAction(QString());
    action->setObjectName(name);
    action->setEnabled(false);
    return action;
}

QAction* StatusMenu::addButton(const QString& text, std::function<void()> run) {
    QAction* action = menu_->addAction(text);
    connect(action, &QAction::triggered, this, [run = std::move(run)] {
        if (run) run();
    });
    return action;
}

QString StatusMenu::title() const {
    return sessionLabel_ ? QStringLiteral("Quillmate Host, session active") : QStringLiteral("Quillmate Host");
}

QString StatusMenu::symbol() const { return sessionLabel_ ? kSessionSymbol : kIdleSymbol; }

QIcon StatusMenu::icon() const { return sessionLabel_ ? sessionIcon_ : idleIcon_; }

void StatusMenu::showNote(const QString& text) {
    note_->setText(literalActionText(text));
    note_->setVisible(!text.isEmpty());
}

void StatusMenu::update() {
    HostModel* model = model_;
    if (!model) return;
    status_->setText(literalActionText(model->statusText()));
    const std::optional<QString> detail = model->statusDetail();
    detail_->setVisible(detail.has_value());
    detail_->setText(literalActionText(detail.value_or(QString())));
    error_->setVisible(model->startupError().has_value());
    error_->setText(literalActionText(model->startupError().value_or(QString())));
    pause_->setChecked(model->sharingPaused());
    openAtLogin_->setChecked(model->launchAtLogin());
    settingsMessage_->setVisible(model->settingsMessage().has_value());
    settingsMessage_->setText(literalActionText(model->settingsMessage().value_or(QString())));
    const bool active = model->activePeerName().has_value();
    sessionSeparator_->setVisible(active);
    endSession_->setVisible(active);
    deviceID_->setText(literalActionText(QStringLiteral("Device ID ") + model->formattedDeviceID()));
    if (active != sessionLabel_) {
        sessionLabel_ = active;
        emit labelChanged();
    }
}

MenuWindow::MenuWindow(StatusMenu& menu, QWidget* parent) : QWidget(parent), menu_(menu) {
    setObjectName(QStringLiteral("menuWindow"));
    setWindowTitle(QStringLiteral("Quillmate Host"));
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    button_ = new QToolButton;
    button_->setObjectName(QStringLiteral("menuButton"));
    button_->setMenu(menu.menu());
    button_->setPopupMode(QToolButton::InstantPopup);
    button_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button_->setIconSize(QSize(22, 22));
    button_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    layout->addWidget(button_);
    // The menu's shortcut (quit) works while this window has the focus.
    addAction(menu.quitAction());
    connect(&menu, &StatusMenu::labelChanged, this, &MenuWindow::updateLabel);
    updateLabel();
    setMinimumWidth(260);
    adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        placeAtTop(screen->availableGeometry());
        // It stays open while a panel that starts later (at login) takes room from the work area:
        // it moves back out from under it.
        connect(screen, &QScreen::availableGeometryChanged, this, [this](const QRect& area) {
            if (!area.contains(frameGeometry())) placeAtTop(area);
        });
    }
}

void MenuWindow::placeAtTop(const QRect& area) {
    // At the top of the screen, in the middle, where the other windows open beside it, not over
    // it; without a window manager (a virtual display) it would sit in the top left corner.
    move(area.left() + (area.width() - frameGeometry().width()) / 2, area.top() + topMargin);
}

void MenuWindow::updateLabel() {
    button_->setText(menu_.title());
    button_->setIcon(menu_.icon());
    button_->setProperty("symbol", menu_.symbol());
    button_->setAccessibleName(menu_.title());
    button_->setToolTip(menu_.title());
    setWindowIcon(menu_.icon());
}

void MenuWindow::closeEvent(QCloseEvent* event) {
    // The only way to the menu stays open: minimised, it is lost on a desktop without a task
    // bar. It goes only when a tray takes the menu.
    event->ignore();
}

MenuBarItem::MenuBarItem(StatusMenu& menu, std::optional<bool> useTray, QObject* parent)
    : QObject(parent), menu_(menu) {
    place(useTray.value_or(QSystemTrayIcon::isSystemTrayAvailable()));
    if (useTray.has_value()) return;
    // Qt tells of no tray that comes or goes, so ask now and then: a panel that starts after the
    // host (at login) takes the menu, and one that quits or crashes gives it back to the window.
    auto* trayCheck = new QTimer(this);
    connect(trayCheck, &QTimer::timeout, this, [this] { place(QSystemTrayIcon::isSystemTrayAvailable()); });
    trayCheck->start(trayCheckMilliseconds);
}

void MenuBarItem::place(bool inTray) {
    if (inTray && !tray_)
        showTray();
    else if (!inTray && !window_)
        showWindow();
}

void MenuBarItem::showWindow() {
    tray_.reset();
    window_ = new MenuWindow(menu_);
    window_->show();
}

void MenuBarItem::showTray() {
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setContextMenu(menu_.menu());
    auto label = [this] {
        tray_->setIcon(menu_.icon());
        tray_->setToolTip(menu_.title());
    };
    label();
    connect(&menu_, &StatusMenu::labelChanged, tray_.get(), label);
    // A plain click opens the same menu as the context click.
    connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) menu_.menu()->popup(QCursor::pos());
    });
    tray_->show();
    // Later, not now: the menu may be open from the window's button.
    if (window_) window_->deleteLater();
    window_ = nullptr;
}

MenuBarItem::~MenuBarItem() { delete window_.data(); }

}  // namespace quill::host::ui
