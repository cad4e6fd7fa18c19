#pragma once

#include <QPlainTextEdit>
#include <QPointer>
#include <chrono>
#include <optional>

#include "host/model/host_model.h"
#include "host/ui/window_manager.h"

class QFrame;
class QLabel;
class QPushButton;
class QShortcut;
class QTimer;

namespace quill::host::ui {

// The pairing link: selectable, wrapped anywhere, and as tall as its whole lines at its width
// (at most three; a longer link scrolls line by line).
class LinkBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LinkBox(QWidget* parent = nullptr);
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    static constexpr int maxLines = 3;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // The heights of the text's lines at the box width `width` without a scroll bar, as many as
    // `most`.
    QList<qreal> lineHeights(int width, int most) const;
    // Sets the scroll bar and the height for the text at the present width.
    void fit();
};

// When a confirmation counts: only once the window has held the keyboard focus, with the same
// request on show, for `delay` without a break; a change of either starts the count again. Keys
// and clicks meant for another window then never approve a request that has just come up.
class ConfirmArming {
public:
    using Clock = std::chrono::steady_clock;

    explicit ConfirmArming(Clock::duration delay = std::chrono::seconds(1)) : delay_(delay) {}
    // Whether the window has the keyboard focus, from `now` on.
    void setFocused(bool focused, Clock::time_point now);
    // What a confirmation would approve (the request and its code), from `now` on; nothing while
    // no request waits.
    void setShown(const std::optional<QString>& shown, Clock::time_point now);
    bool armed(Clock::time_point now) const { return since_ && now - *since_ >= delay_; }
    // When it arms if nothing changes meanwhile; nothing while it cannot.
    std::optional<Clock::time_point> armsAt() const;

private:
    void restart(Clock::time_point now);

    Clock::duration delay_;
    bool focused_ = false;
    std::optional<QString> shown_;
    // Since when both have held.
    std::optional<Clock::time_point> since_;
};

// The "pairing" window: the QR code with its countdown and link, or, while a controller waits
// for the host user, the approval box with the comparison code. Everything shown comes from the
// model; the buttons start model tasks.
class PairingView : public HostView {
    Q_OBJECT
public:
    explicit PairingView(HostModel& model, QWidget* parent = nullptr);

    void windowClosing() override;

    // The status line's colour rule: red when the message says something failed.
    static bool isFailureMessage(const QString& message);
    static QString countdownText(qint64 seconds);
    static QString requestText(const QString& name);

    static constexpr int qrSide = 280;

private:
    void render();
    // Feeds the focus and the time to the arming rule; Confirm is enabled while it is armed.
    void updateArming();
    void confirm();
    void cancel();
    void answerComparison(bool confirmed);

    QPointer<HostModel> model_;
    QLabel* instruction_ = nullptr;
    QFrame* approvalBox_ = nullptr;
    QLabel* requestLabel_ = nullptr;
    QFrame* codeBox_ = nullptr;
    QLabel* codeLabel_ = nullptr;
    QLabel* codeHint_ = nullptr;
    QLabel* qrHint_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* confirmButton_ = nullptr;
    QShortcut* returnKey_ = nullptr;
    QShortcut* enterKey_ = nullptr;
    ConfirmArming arming_;
    QTimer* armTimer_ = nullptr;
    QWidget* qrFrame_ = nullptr;
    QLabel* qrImage_ = nullptr;
    QLabel* countdown_ = nullptr;
    LinkBox* url_ = nullptr;
    QLabel* pausedNote_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* deviceID_ = nullptr;
    QLabel* hostName_ = nullptr;
    QPushButton* rotateButton_ = nullptr;
};

}  // namespace quill::host::ui
