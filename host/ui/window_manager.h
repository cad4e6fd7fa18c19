#pragma once

#include <QAction>
#include <QList>
#include <QMainWindow>
#include <QMargins>
#include <QPointer>
#include <QRect>
#include <QString>
#include <functional>
#include <map>
#include <optional>

class QLabel;
class QPushButton;
class QScrollArea;
struct xcb_connection_t;

#include "host/model/host_model_services.h"

namespace quill::host::ui {

// The content of one window: a view over the model. A view may put commands in its window's
// toolbar, and hears when its window is being closed.
class HostView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    virtual QList<QAction*> toolbarActions() const { return {}; }
    // The window is about to go off screen (closed by the user or by the program).
    virtual void windowClosing() {}
    // Says what became of something the user asked for, in the window's status line.
    void showStatus(const QString& text);
};

// A top-level window holding one view; closing it hides it (Qt keeps closed windows). Its foot
// holds the status line and, where no window manager draws a title bar to close it with, a
// Close button. Ctrl+W closes it too.
class HostWindow : public QMainWindow {
    Q_OBJECT
public:
    HostWindow(const QString& id, QWidget* content);
    const QString& id() const { return id_; }
    // The view, when the content is one.
    HostView* view() const { return view_; }
    QWidget* content() const { return content_; }
    // The area the content scrolls in, between the toolbar and the foot.
    QScrollArea* contentArea() const { return contentArea_; }
    // The window size whose content area is `content`.
    QSize sizeForContent(QSize content) const;
    // The status line, shown from the first message on: wrapped, never cut off.
    void showStatus(const QString& text);
    QString status() const;
    void setCloseButtonShown(bool shown);
    QPushButton* closeButton() const { return closeButton_; }
    // Out of the minimised state, hidden, with its native window gone: the next show() maps a
    // new one.
    void unminimiseHidden();
    // Once it is on screen (a window manager's frame is known only then, and the manager may
    // have placed it on its own): moved, and made smaller where it must, so that its frame lies
    // within the work area.
    void fitWhenShown();
    // Where its frame was, and the frame's edges, when it was last closed: none before.
    const std::optional<QRect>& closedFrame() const { return closedFrame_; }
    QMargins closedFrameMargins() const { return closedFrameMargins_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateFoot();
    void fitIntoWorkArea();

    QString id_;
    QWidget* content_ = nullptr;
    HostView* view_ = nullptr;
    QWidget* toolbar_ = nullptr;
    QScrollArea* contentArea_ = nullptr;
    QWidget* foot_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    bool fitPending_ = false;
    std::optional<QRect> closedFrame_;
    QMargins closedFrameMargins_;
};

// Whether a window manager runs on the display (one that follows the EWMH and draws title
// bars). Other platforms than X11 decorate windows themselves: true there.
bool windowManagerRunning();
// The same on another connection's display.
bool windowManagerRunning(xcb_connection_t* connection);

// One window per identifier: show() creates it the first time and afterwards brings the same
// window back to the front (one the user closed where it was, unless the work area no longer
// holds it whole there or it would cover the place kept clear: then placed as a new one);
// close() closes it and forgets it, so the next show() builds a new one. The content of a new
// window comes from the content factory, given the identifier.
class WidgetWindowManager : public HostWindowManager {
public:
    using ContentFactory = std::function<QWidget*(const QString& id)>;

    WidgetWindowManager() = default;
    ~WidgetWindowManager() override;
    WidgetWindowManager(const WidgetWindowManager&) = delete;
    WidgetWindowManager& operator=(const WidgetWindowManager&) = delete;

    void setContentFactory(ContentFactory factory) { factory_ = std::move(factory); }
    // The place new windows leave uncovered where they can (the menu window), in screen
    // coordinates; an empty rectangle for none.
    void setKeepClear(std::function<QRect()> keepClear) { keepClear_ = std::move(keepClear); }
    // Asked whenever a window is shown: whether a window manager gives it a title bar (else the
    // window shows a Close button of its own). windowManagerRunning() by default.
    void setWindowManagerCheck(std::function<bool()> check) { windowManagerCheck_ = std::move(check); }

    void show(const QString& id, const QString& title, WindowSize size) override;
    // Shown and raised, never activated: no activateWindow(), and a newly mapped window carries
    // _NET_WM_USER_TIME 0, which tells a window manager not to focus it.
    void present(const QString& id, const QString& title, WindowSize size) override;
    void close(const QString& id) override;
    // Stored and on screen: a minimised window does not count as visible.
    bool isVisible(const QString& id) const override;
    // Shows `text` in the status line of the window `id` when it is visible; false otherwise.
    bool showStatus(const QString& id, const QString& text);

    // The stored window for an identifier, or null.
    HostWindow* window(const QString& id) const;

    static constexpr int minimumWidth = 420;
    static constexpr int minimumHeight = 360;

    // Where a new window of `size` goes in `area`: in the middle, unless that covers
    // `keepClear`; then beside it, as near the middle as the area allows. Where it only fits
    // beside it smaller, it is made smaller, down to `least`, or down to `floor` (its content
    // then scrolls) where only that keeps `keepClear` uncovered; where not even that fits, it
    // covers as little as it must.
    static QRect placement(QSize size, QSize least, QSize floor, QRect area, QRect keepClear);

private:
    void open(const QString& id, const QString& title, WindowSize size, bool activate);
    // Sized and placed as a new window of `size`, before its native window exists.
    void place(HostWindow* window, WindowSize size) const;
    QRect keepClear() const { return keepClear_ ? keepClear_() : QRect(); }

    ContentFactory factory_;
    std::function<QRect()> keepClear_;
    std::function<bool()> windowManagerCheck_ = [] { return windowManagerRunning(); };
    std::map<QString, QPointer<HostWindow>> windows_;
};

}  // namespace quill::host::ui
