#pragma once

#include <QPlainTextEdit>
#include <QPointer>

#include "host/model/host_model.h"
#include "host/ui/window_manager.h"

class QFrame;
class QLabel;
class QPushButton;
class QShortcut;

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
