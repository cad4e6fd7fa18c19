#include "host/ui/window_manager.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QToolBar>
#include <algorithm>

namespace quill::host::ui {

HostWindow::HostWindow(const QString& id, QWidget* content)
    : id_(id), content_(content), view_(qobject_cast<HostView*>(content)) {
    setObjectName(QStringLiteral("window-") + id);
    // Closing only hides the window: its content and state stay for the next show().
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    // The views ask for room of their own; a smaller window scrolls instead of cutting them off.
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(content);
    setCentralWidget(scroll);
    if (view_) {
        const QList<QAction*> actions = view_->toolbarActions();
        if (!actions.isEmpty()) {
            auto* toolbar = addToolBar(QString());
            toolbar->setObjectName(QStringLiteral("toolbar"));
            toolbar->setMovable(false);
            toolbar->setFloatable(false);
            toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
            toolbar->setContextMenuPolicy(Qt::PreventContextMenu);
            toolbar->addActions(actions);
            toolbar->toggleViewAction()->setVisible(false);
            toolbar_ = toolbar;
        }
    }
}

QSize HostWindow::sizeForContent(QSize content) const {
    return toolbar_ ? QSize(content.width(), content.height() + toolbar_->sizeHint().height()) : content;
}

void HostWindow::showStatus(const QString& text) {
    // Drawn as plain text; the content keeps its room above it and scrolls when short of it.
    statusBar()->setSizeGripEnabled(false);
    statusBar()->showMessage(text);
}

QString HostWindow::status() const {
    auto* bar = findChild<QStatusBar*>(QString(), Qt::FindDirectChildrenOnly);
    return bar ? bar->currentMessage() : QString();
}

void HostView::showStatus(const QString& text) {
    if (auto* host = qobject_cast<HostWindow*>(window())) host->showStatus(text);
}

void HostWindow::closeEvent(QCloseEvent* event) {
    if (isVisible() && view_) view_->windowClosing();
    QMainWindow::closeEvent(event);
}

WidgetWindowManager::~WidgetWindowManager() {
    for (auto& [id, window] : windows_)
        if (window) delete window.data();
}

HostWindow* WidgetWindowManager::window(const QString& id) const {
    auto it = windows_.find(id);
    return it == windows_.end() ? nullptr : it->second.data();
}

void WidgetWindowManager::show(const QString& id, const QString& title, WindowSize size) {
    if (HostWindow* existing = window(id)) {
        // The same window, where the user left it.
        if (existing->isMinimized()) existing->showNormal();
        existing->show();
        existing->raise();
        existing->activateWindow();
        return;
    }
    windows_.erase(id);
    QWidget* content = factory_ ? factory_(id) : nullptr;
    if (!content) content = new QWidget;
    auto* window = new HostWindow(id, content);
    window->setWindowTitle(title);
    // The size asked for is the content's; a toolbar comes on top of it.
    const QSize frame = window->sizeForContent(QSize(size.width, size.height));
    window->resize(frame);
    // Never smaller than what the content needs, nor than the smaller of the asked size and the
    // least size every window keeps.
    const QSize least(std::min(size.width, minimumWidth), std::min(size.height, minimumHeight));
    window->setMinimumSize(least.expandedTo(window->sizeForContent(content->minimumSize())));
    if (QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window->move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
    }
    windows_[id] = window;
    window->show();
    window->raise();
    window->activateWindow();
}

void WidgetWindowManager::close(const QString& id) {
    auto it = windows_.find(id);
    if (it == windows_.end()) return;
    QPointer<HostWindow> window = it->second;
    windows_.erase(it);
    if (window) {
        window->close();
        window->deleteLater();
    }
}

bool WidgetWindowManager::showStatus(const QString& id, const QString& text) {
    if (!isVisible(id)) return false;
    window(id)->showStatus(text);
    return true;
}

bool WidgetWindowManager::isVisible(const QString& id) const {
    HostWindow* w = window(id);
    return w && w->isVisible() && !w->isMinimized();
}

}  // namespace quill::host::ui
