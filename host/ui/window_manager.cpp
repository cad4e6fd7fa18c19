#include "host/ui/window_manager.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>
#include <xcb/xcb.h>

#include "host/desktop/x11_connection.h"
#include "host/ui/view_support.h"

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
    contentArea_ = new QScrollArea;
    contentArea_->setObjectName(QStringLiteral("contentArea"));
    contentArea_->setWidgetResizable(true);
    contentArea_->setFrameShape(QFrame::NoFrame);
    contentArea_->setWidget(content);
    // The foot: messages wrap, so the whole of one can be read at any width.
    foot_ = new QWidget;
    foot_->setObjectName(QStringLiteral("foot"));
    auto* foot = new QHBoxLayout(foot_);
    foot->setContentsMargins(12, 6, 12, 8);
    foot->setSpacing(12);
    status_ = plainLabel();
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_->hide();
    foot->addWidget(status_, 1);
    closeButton_ = new QPushButton(QStringLiteral("Close"));
    closeButton_->hide();
    foot->addWidget(closeButton_, 0, Qt::AlignRight | Qt::AlignBottom);
    connect(closeButton_, &QPushButton::clicked, this, &QWidget::close);
    auto* body = new QWidget;
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(contentArea_, 1);
    column->addWidget(foot_);
    setCentralWidget(body);
    updateFoot();
    auto* closeKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
    closeKey->setContext(Qt::WindowShortcut);
    connect(closeKey, &QShortcut::activated, this, &QWidget::close);
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
    int height = content.height();
    if (toolbar_) height += toolbar_->sizeHint().height();
    if (!foot_->isHidden()) height += foot_->sizeHint().height();
    return {content.width(), height};
}

void HostWindow::updateFoot() { foot_->setVisible(!status_->isHidden() || !closeButton_->isHidden()); }

void HostWindow::showStatus(const QString& text) {
    // The content keeps its room above it and scrolls when short of it.
    status_->setText(text);
    status_->setVisible(!text.isEmpty());
    updateFoot();
}

QString HostWindow::status() const { return status_->text(); }

void HostWindow::unminimiseHidden() {
    // A window manager focuses a window it brings back from the minimised state, and Qt maps
    // the window as it leaves that state; a new native window is a new window to the manager,
    // which goes by its user time when it is shown.
    hide();
    overrideWindowState(windowState() & ~Qt::WindowMinimized);
    destroy();
}

void HostWindow::fitWhenShown() {
    fitPending_ = true;
    if (QWindow* handle = windowHandle()) handle->installEventFilter(this);
}

bool HostWindow::eventFilter(QObject* watched, QEvent* event) {
    // On screen: a window manager maps its frame first, so the frame is where it leaves it.
    if (fitPending_ && watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed()) {
        fitPending_ = false;
        fitIntoWorkArea();
    }
    return QMainWindow::eventFilter(watched, event);
}

namespace {

// What a top-level window covers on the X screen (the frame a window manager put around it, else
// the window itself) and the window's own size, as the server has them now: Qt learns of the
// frame's place only later. None off X11.
std::optional<std::pair<QRect, QSize>> onScreen(const QWindow* window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c) return std::nullopt;
    auto geometry = [c](xcb_window_t w) {
        return XcbReply<xcb_get_geometry_reply_t>(xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr));
    };
    xcb_window_t top = xcb_window_t(window->winId());
    const auto own = geometry(top);
    for (;;) {
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, top), nullptr));
        if (!tree) return std::nullopt;
        if (tree->parent == tree->root) break;
        top = tree->parent;
    }
    const auto frame = geometry(top);
    if (!own || !frame) return std::nullopt;
    // In the device independent pixels the screen's work area is given in.
    const qreal ratio = window->devicePixelRatio();
    const int border = 2 * frame->border_width;
    return std::pair(QRect(qRound(frame->x / ratio), qRound(frame->y / ratio), qRound((frame->width + border) / ratio),
                           qRound((frame->height + border) / ratio)),
                     QSize(qRound(own->width / ratio), qRound(own->height / ratio)));
}

}  // namespace

void HostWindow::fitIntoWorkArea() {
    const auto shown = onScreen(windowHandle());
    if (!shown || !screen()) return;
    const auto& [frame, client] = *shown;
    const QRect area = screen()->availableGeometry();
    if (area.contains(frame)) return;
    const QSize edges = frame.size() - client;
    const QSize fitted = frame.size().boundedTo(area.size());
    setMinimumSize(minimumSize().boundedTo(fitted - edges));
    resize(fitted - edges);
    // A window's position is its frame's.
    move(std::clamp(frame.x(), area.left(), area.left() + area.width() - fitted.width()),
         std::clamp(frame.y(), area.top(), area.top() + area.height() - fitted.height()));
}

void HostWindow::setCloseButtonShown(bool shown) {
    closeButton_->setVisible(shown);
    updateFoot();
}

bool windowManagerRunning() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    return !c || windowManagerRunning(c);
}

bool windowManagerRunning(xcb_connection_t* c) {
    // A running manager names a window of its own on the root window, which names itself in
    // turn; a manager that ended leaves a name that points nowhere or elsewhere.
    static const char name[] = "_NET_SUPPORTING_WM_CHECK";
    XcbReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE) return false;
    auto named = [&](xcb_window_t window) -> xcb_window_t {
        // A window that is no more is an answer here, not an error for the event queue.
        xcb_generic_error_t* error = nullptr;
        XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, window, atom->atom, XCB_ATOM_WINDOW, 0, 1), &error));
        std::free(error);
        if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 4)
            return XCB_WINDOW_NONE;
        return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
    };
    const xcb_window_t manager = named(xcb_setup_roots_iterator(xcb_get_setup(c)).data->root);
    return manager != XCB_WINDOW_NONE && named(manager) == manager;
}

void HostView::showStatus(const QString& text) {
    if (auto* host = qobject_cast<HostWindow*>(window())) host->showStatus(text);
}

void HostWindow::closeEvent(QCloseEvent* event) {
    if (isVisible()) {
        // Remembered for the next show(), which may find the work area smaller than now.
        const auto shown = onScreen(windowHandle());
        closedFrame_ = shown ? shown->first : frameGeometry();
        closedFrameMargins_ = windowHandle() ? windowHandle()->frameMargins() : QMargins();
        if (view_) view_->windowClosing();
    }
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

void WidgetWindowManager::show(const QString& id, const QString& title, WindowSize size) { open(id, title, size, true); }

void WidgetWindowManager::present(const QString& id, const QString& title, WindowSize size) { open(id, title, size, false); }

namespace {

// A window manager frames a window only once it maps it; until then one it framed already tells
// how large the frame will be.
QMargins expectedFrameMargins(const HostWindow* window) {
    if (const QWindow* own = window->windowHandle(); own && !own->frameMargins().isNull()) return own->frameMargins();
    if (!window->closedFrameMargins().isNull()) return window->closedFrameMargins();
    for (const QWindow* other : QGuiApplication::topLevelWindows())
        if (other != window->windowHandle() && other->type() == Qt::Window && other->isExposed() && !other->frameMargins().isNull())
            return other->frameMargins();
    return {};
}

// Maps, raises and, when asked, activates `window`. Qt's X11 platform reads the window property
// when it maps the window (QWidget copies the attribute into it only when the window is made):
// with it, the window goes up with _NET_WM_USER_TIME 0 in place of the time of the user's last
// input. Without a window manager nothing but activateWindow() moves the X input focus.
void bringUp(HostWindow* window, bool activate) {
    if (window->isMinimized()) {
        if (activate)
            window->showNormal();
        else
            window->unminimiseHidden();
    }
    window->setAttribute(Qt::WA_ShowWithoutActivating, !activate);
    if (QWindow* handle = window->windowHandle()) handle->setProperty("_q_showWithoutActivating", !activate);
    window->show();
    window->raise();
    if (activate) window->activateWindow();
}

}  // namespace

void WidgetWindowManager::open(const QString& id, const QString& title, WindowSize size, bool activate) {
    const bool ownCloseButton = !(windowManagerCheck_ && windowManagerCheck_());
    HostWindow* window = this->window(id);
    if (window) {
        window->setCloseButtonShown(ownCloseButton);
        // The same window, where the user left it; but one closed where the work area no longer
        // holds it whole (a panel came meanwhile), or where the menu window now is (a panel sent
        // it down), comes back as a new one would.
        const bool closed = window->isHidden();
        const std::optional<QRect> frame = window->closedFrame();
        const QScreen* screen = frame ? QGuiApplication::screenAt(frame->center()) : nullptr;
        if (!closed || (screen && screen->availableGeometry().contains(*frame) && !frame->intersects(keepClear()))) {
            bringUp(window, activate);
            if (closed) window->fitWhenShown();
            return;
        }
    } else {
        windows_.erase(id);
        QWidget* content = factory_ ? factory_(id) : nullptr;
        if (!content) content = new QWidget;
        window = new HostWindow(id, content);
        window->setWindowTitle(title);
        window->setCloseButtonShown(ownCloseButton);
        windows_[id] = window;
    }
    place(window, size);
    bringUp(window, activate);
    window->fitWhenShown();
}

void WidgetWindowManager::place(HostWindow* window, WindowSize size) const {
    // The size asked for is the content's; a toolbar comes on top of it.
    const QSize frame = window->sizeForContent(QSize(size.width, size.height));
    window->resize(frame);
    // Never smaller than what the content needs, nor than the smaller of the asked size and the
    // least size every window keeps, where the work area has room for that.
    const QSize least(std::min(size.width, minimumWidth), std::min(size.height, minimumHeight));
    window->setMinimumSize(least.expandedTo(window->sizeForContent(window->content()->minimumSize())));
    if (QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
        // Placed with its frame, before its native window exists: then the position asked for is
        // the frame's, wherever the window manager puts the window inside it.
        const QMargins margins = expectedFrameMargins(window);
        const QSize edges(margins.left() + margins.right(), margins.top() + margins.bottom());
        const QRect area = screen->availableGeometry();
        // Whole on a small screen: the content scrolls where the window is smaller than it.
        const QSize room = area.size();
        const QRect place = placement((frame + edges).boundedTo(room), (window->minimumSize() + edges).boundedTo(room),
                                      (least + edges).boundedTo(room), area, keepClear());
        window->setMinimumSize(window->minimumSize().boundedTo(place.size() - edges));
        window->resize(place.size() - edges);
        window->move(place.topLeft());
    }
}

QRect WidgetWindowManager::placement(QSize size, QSize least, QSize floor, QRect area, QRect keepClear) {
    // Moved into `room` as far as it goes, its top left corner first.
    auto inside = [](QRect room, QPoint p, QSize s) {
        return QPoint(std::max(room.left(), std::min(p.x(), room.left() + room.width() - s.width())),
                      std::max(room.top(), std::min(p.y(), room.top() + room.height() - s.height())));
    };
    auto centred = [&](QSize s) { return area.topLeft() + QPoint((area.width() - s.width()) / 2, (area.height() - s.height()) / 2); };
    const QRect middle(inside(area, centred(size), size), size);
    if (keepClear.isEmpty()) return middle;
    const int gap = 12;
    const QRect clear = keepClear.adjusted(-gap, -gap, gap, gap);
    // Below, above, right and left of it: at its size where that room holds it, else as large as
    // the room, down to `least`, and again down to `floor`.
    const QRect rooms[] = {QRect(QPoint(area.left(), clear.bottom() + 1), area.bottomRight()),
                           QRect(area.topLeft(), QPoint(area.right(), clear.top() - 1)),
                           QRect(QPoint(clear.right() + 1, area.top()), area.bottomRight()),
                           QRect(area.topLeft(), QPoint(clear.left() - 1, area.bottom()))};
    std::vector<QRect> places = {middle};
    for (QSize smallest : {least, floor})
        for (const QRect& room : rooms) {
            const QSize fitted = size.boundedTo(room.size()).expandedTo(smallest).boundedTo(size);
            places.emplace_back(inside(area, inside(room, centred(fitted), fitted), fitted), fitted);
        }
    // Smaller than `least` only where that covers less.
    auto rank = [&](const QRect& r) {
        const QRect covered = r.intersected(clear);
        return std::tuple(qint64(covered.width()) * covered.height(),
                          qint64(size.width()) * size.height() - qint64(r.width()) * r.height(),
                          (r.topLeft() - middle.topLeft()).manhattanLength());
    };
    return *std::min_element(places.begin(), places.end(), [&](const QRect& a, const QRect& b) { return rank(a) < rank(b); });
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
