#include "host/ui/pairing_view.h"

#include <QFormLayout>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QShortcut>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <cmath>
#include <QVBoxLayout>
#include <QWindow>

#include "host/runtime/task.h"
#include "host/ui/view_support.h"

namespace quill::host::ui {

LinkBox::LinkBox(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    // No margin: one above the first line would show a strip of the next line below the last
    // once the link scrolls.
    document()->setDocumentMargin(0);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A link has no words: its lines are filled to the end.
    setWordWrapMode(QTextOption::WrapAnywhere);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; }"));
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    connect(this, &QPlainTextEdit::textChanged, this, &LinkBox::fit);
}

QList<qreal> LinkBox::lineHeights(int width, int most) const {
    // Laid out the way the text area lays out its one paragraph.
    QTextLayout layout(toPlainText(), font());
    QTextOption option;
    option.setWrapMode(wordWrapMode());
    layout.setTextOption(option);
    layout.beginLayout();
    QList<qreal> heights;
    while (heights.size() < most) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLeadingIncluded(true);
        line.setLineWidth(width - 2 * frameWidth() - 2 * document()->documentMargin());
        heights.append(line.height());
    }
    layout.endLayout();
    return heights;
}

int LinkBox::heightForWidth(int width) const {
    // Whole lines only: a part of a further line would show, and bring a scroll bar with it. The
    // text area wants a pixel to spare below the bottom margin before it counts the last line as
    // shown.
    qreal height = 2 * document()->documentMargin();
    for (qreal line : lineHeights(width, maxLines)) height += line;
    return static_cast<int>(std::ceil(height)) + 1 + 2 * frameWidth();
}

void LinkBox::fit() {
    // A link that fits has no scroll bar; a longer one always has one. Left to come and go with
    // the text, a bar that came while the box was still short took the width of a line's end,
    // which then wrapped onto a line the box had no room for: the bar stayed, over a hidden end.
    setVerticalScrollBarPolicy(lineHeights(width(), maxLines + 1).size() > maxLines ? Qt::ScrollBarAlwaysOn
                                                                                     : Qt::ScrollBarAlwaysOff);
    updateGeometry();
}

void LinkBox::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    // Its lines follow its width: so does its height.
    if (event->size().width() != event->oldSize().width()) fit();
}

QSize LinkBox::sizeHint() const { return {QPlainTextEdit::sizeHint().width(), heightForWidth(width())}; }

QSize LinkBox::minimumSizeHint() const { return {0, heightForWidth(width())}; }

void ConfirmArming::setFocused(bool focused, Clock::time_point now) {
    if (focused == focused_) return;
    focused_ = focused;
    restart(now);
}

void ConfirmArming::setShown(const std::optional<QString>& shown, Clock::time_point now) {
    if (shown == shown_) return;
    shown_ = shown;
    restart(now);
}

void ConfirmArming::restart(Clock::time_point now) {
    if (focused_ && shown_)
        since_ = now;
    else
        since_.reset();
}

std::optional<ConfirmArming::Clock::time_point> ConfirmArming::armsAt() const {
    if (!since_) return std::nullopt;
    return *since_ + delay_;
}

bool PairingView::isFailureMessage(const QString& message) {
    return message.contains(QStringLiteral("failed")) || message.contains(QStringLiteral("Failed"));
}

QString PairingView::countdownText(qint64 seconds) {
    return QStringLiteral("New code in %1s").arg(seconds);
}

QString PairingView::requestText(const QString& name) {
    return name + QStringLiteral(" is requesting permission to pair with this computer.");
}

PairingView::PairingView(HostModel& model, QWidget* parent) : HostView(parent), model_(&model) {
    setObjectName(QStringLiteral("PairingView"));
    setMinimumSize(480, 620);
    auto* layout = new QVBoxLayout(this);
    // Tight enough that the QR code, a wrapped link, a status line and the rows below all fit the
    // 520 x 700 window without a scroll bar.
    layout->setSpacing(12);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    auto* title = plainLabel(QStringLiteral("Pair a device"));
    applyTextStyle(title, TextStyle::title, true);
    layout->addWidget(title);

    instruction_ = plainLabel(QStringLiteral(
        "Scan this code with Quillmate on iPhone or iPad, or choose numeric comparison on a Mac. "
        "The code expires every five minutes."));
    instruction_->setObjectName(QStringLiteral("instruction"));
    instruction_->setWordWrap(true);
    setTextColor(instruction_, secondaryColor());
    layout->addWidget(instruction_);

    // The approval box, while a controller waits for the host user.
    approvalBox_ = new QFrame;
    approvalBox_->setObjectName(QStringLiteral("approvalBox"));
    approvalBox_->setStyleSheet(
        QStringLiteral("QFrame#approvalBox { background: rgba(255, 149, 0, 26); border-radius: 14px; }"));
    auto* box = new QVBoxLayout(approvalBox_);
    box->setSpacing(16);
    box->setContentsMargins(18, 18, 18, 18);
    auto* heading = new QHBoxLayout;
    heading->setSpacing(8);
    auto* shieldSize = plainLabel();
    applyTextStyle(shieldSize, TextStyle::title2, true);
    const int symbolSide = QFontMetrics(shieldSize->font()).height();
    delete shieldSize;
    heading->addWidget(symbolLabel(QStringLiteral("lock.shield"), symbolSide, palette().color(QPalette::WindowText)));
    auto* approveTitle = plainLabel(QStringLiteral("Approve this device"));
    applyTextStyle(approveTitle, TextStyle::title2, true);
    heading->addWidget(approveTitle);
    heading->addStretch();
    box->addLayout(heading);
    requestLabel_ = plainLabel();
    requestLabel_->setObjectName(QStringLiteral("requestText"));
    requestLabel_->setWordWrap(true);
    box->addWidget(requestLabel_);

    codeBox_ = new QFrame;
    codeBox_->setObjectName(QStringLiteral("codeBox"));
    codeBox_->setStyleSheet(
        QStringLiteral("QFrame#codeBox { background: rgba(120, 120, 128, 46); border-radius: 12px; }"));
    auto* codeLayout = new QVBoxLayout(codeBox_);
    codeLayout->setContentsMargins(0, 18, 0, 18);
    codeLabel_ = plainLabel();
    codeLabel_->setObjectName(QStringLiteral("comparisonCode"));
    QFont codeFont(QStringLiteral("Monospace"));
    codeFont.setStyleHint(QFont::Monospace);
    codeFont.setPointSize(42);
    codeFont.setBold(true);
    codeLabel_->setFont(codeFont);
    codeLabel_->setAlignment(Qt::AlignCenter);
    codeLayout->addWidget(codeLabel_);
    box->addWidget(codeBox_);
    codeHint_ = plainLabel(
        QStringLiteral("Check that this code matches the one shown on the controller before you confirm."));
    codeHint_->setWordWrap(true);
    setTextColor(codeHint_, secondaryColor());
    box->addWidget(codeHint_);
    qrHint_ = plainLabel(QStringLiteral("This request came from the QR pairing code."));
    qrHint_->setWordWrap(true);
    setTextColor(qrHint_, secondaryColor());
    box->addWidget(qrHint_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"));
    confirmButton_ = new QPushButton(QStringLiteral("Confirm Pairing"));
    confirmButton_->setDefault(true);
    buttons->addWidget(cancelButton_);
    buttons->addWidget(confirmButton_);
    box->addLayout(buttons);
    layout->addWidget(approvalBox_);
    connect(cancelButton_, &QPushButton::clicked, this, &PairingView::cancel);
    connect(confirmButton_, &QPushButton::clicked, this, &PairingView::confirm);
    // Confirm waits for its second of focus; Cancel never waits.
    armTimer_ = new QTimer(this);
    armTimer_->setSingleShot(true);
    armTimer_->setTimerType(Qt::PreciseTimer);
    connect(armTimer_, &QTimer::timeout, this, &PairingView::updateArming);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &PairingView::updateArming);
    // Return confirms while the box is shown and armed; Escape is the cancel role. The keys stay
    // taken while unarmed, so that Return never reaches another button.
    returnKey_ = new QShortcut(QKeySequence(Qt::Key_Return), this);
    enterKey_ = new QShortcut(QKeySequence(Qt::Key_Enter), this);
    for (QShortcut* key : {returnKey_, enterKey_}) {
        key->setContext(Qt::WindowShortcut);
        connect(key, &QShortcut::activated, this, &PairingView::confirm);
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), approvalBox_);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, [this] {
        if (approvalBox_->isVisibleTo(this)) cancel();
    });

    // The QR items, otherwise.
    qrFrame_ = new QWidget;
    auto* qrRow = new QHBoxLayout(qrFrame_);
    qrRow->setContentsMargins(0, 0, 0, 0);
    qrImage_ = new QLabel;
    qrImage_->setObjectName(QStringLiteral("qrImage"));
    qrImage_->setAccessibleName(QStringLiteral("Pairing QR code"));
    qrImage_->setFixedSize(qrSide + 28, qrSide + 28);
    qrImage_->setAlignment(Qt::AlignCenter);
    qrImage_->setStyleSheet(QStringLiteral("QLabel#qrImage { background: white; border-radius: 14px; padding: 14px; }"));
    qrRow->addStretch();
    qrRow->addWidget(qrImage_);
    qrRow->addStretch();
    layout->addWidget(qrFrame_);
    countdown_ = plainLabel();
    countdown_->setObjectName(QStringLiteral("countdown"));
    applyTextStyle(countdown_, TextStyle::headline);
    countdown_->setAlignment(Qt::AlignCenter);
    layout->addWidget(countdown_);
    url_ = new LinkBox;
    url_->setObjectName(QStringLiteral("pairingURL"));
    QFont urlFont = styledFont(TextStyle::caption, font());
    urlFont.setFamily(QStringLiteral("Monospace"));
    urlFont.setStyleHint(QFont::Monospace);
    url_->setFont(urlFont);
    setTextColor(url_, secondaryColor());
    layout->addWidget(url_);
    // In place of the QR items while sharing is paused: the host then takes no pairing request.
    pausedNote_ = plainLabel(QStringLiteral(
        "Sharing is paused, so no device can pair now. Turn off \u201cPause sharing\u201d in the menu to show a "
        "pairing code."));
    pausedNote_->setObjectName(QStringLiteral("pausedNote"));
    pausedNote_->setWordWrap(true);
    layout->addWidget(pausedNote_);

    status_ = plainLabel();
    status_->setObjectName(QStringLiteral("pairingStatus"));
    status_->setWordWrap(true);
    layout->addWidget(status_);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    auto* rows = new QFormLayout;
    rows->setLabelAlignment(Qt::AlignLeft);
    deviceID_ = plainLabel();
    deviceID_->setObjectName(QStringLiteral("deviceID"));
    deviceID_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    hostName_ = plainLabel();
    hostName_->setObjectName(QStringLiteral("hostName"));
    hostName_->setTextInteractionFlags(Qt::NoTextInteraction);
    rows->addRow(plainLabel(QStringLiteral("Device ID")), deviceID_);
    rows->addRow(plainLabel(QStringLiteral("Host name")), hostName_);
    layout->addLayout(rows);

    auto* rotateRow = new QHBoxLayout;
    rotateButton_ = new QPushButton(QStringLiteral("Rotate Pairing Code"));
    rotateRow->addWidget(rotateButton_);
    rotateRow->addStretch();
    layout->addLayout(rotateRow);
    layout->addStretch();
    connect(rotateButton_, &QPushButton::clicked, this, [this] {
        QPointer<HostModel> model = model_;
        if (!model) return;
        spawn(model, [model]() -> QCoro::Task<> {
            if (model) co_await model->refreshPairingLink();
        });
    });

    for (auto signal : {&HostModel::isAwaitingPairingConfirmationChanged, &HostModel::pendingPairingNameChanged,
                        &HostModel::comparisonCodeChanged, &HostModel::pairingQRCodeChanged,
                        &HostModel::pairingSecondsRemainingChanged, &HostModel::pairingURLChanged,
                        &HostModel::pairingStatusMessageChanged, &HostModel::formattedDeviceIDChanged,
                        &HostModel::sharingPausedChanged})
        connect(&model, signal, this, &PairingView::render);
    render();
}

void PairingView::render() {
    HostModel* model = model_;
    if (!model) return;
    const bool awaiting = model->isAwaitingPairingConfirmation();
    approvalBox_->setVisible(awaiting);
    returnKey_->setEnabled(awaiting);
    enterKey_->setEnabled(awaiting);
    requestLabel_->setText(requestText(model->pendingPairingName()));
    const std::optional<QString>& code = model->comparisonCode();
    codeBox_->setVisible(code.has_value());
    codeHint_->setVisible(code.has_value());
    qrHint_->setVisible(!code.has_value());
    codeLabel_->setText(code.value_or(QString()));
    // What Confirm would approve, as the user reads it.
    arming_.setShown(awaiting ? std::optional<QString>(requestLabel_->text() + QLatin1Char('\n') + codeLabel_->text())
                              : std::nullopt,
                     ConfirmArming::Clock::now());
    updateArming();

    // A code shown while paused would lead a controller to a host that is not listening; and
    // what the code is for would speak of a code that is not there.
    const bool paused = model->sharingPaused();
    const bool qrItems = !awaiting && !paused;
    instruction_->setVisible(!paused);
    pausedNote_->setVisible(!awaiting && paused);
    rotateButton_->setVisible(!paused);
    const std::shared_ptr<const QImage>& image = model->pairingQRCode();
    qrFrame_->setVisible(qrItems && image && !image->isNull());
    if (image && !image->isNull())
        // Each module stays a sharp square: no smoothing.
        qrImage_->setPixmap(QPixmap::fromImage(*image).scaled(qrSide, qrSide, Qt::IgnoreAspectRatio,
                                                              Qt::FastTransformation));
    else
        qrImage_->clear();
    countdown_->setVisible(qrItems);
    countdown_->setText(countdownText(model->pairingSecondsRemaining()));
    const std::optional<QString>& url = model->pairingURL();
    url_->setVisible(qrItems && url.has_value());
    if (url_->toPlainText() != url.value_or(QString())) url_->setPlainText(url.value_or(QString()));

    const std::optional<QString>& status = model->pairingStatusMessage();
    status_->setVisible(status.has_value());
    status_->setText(status.value_or(QString()));
    if (status) setTextColor(status_, isFailureMessage(*status) ? errorColor() : secondaryColor());

    deviceID_->setText(model->formattedDeviceID());
    hostName_->setText(model->hostName());
}

void PairingView::updateArming() {
    const auto now = ConfirmArming::Clock::now();
    const QWidget* top = window();
    arming_.setFocused(top->isVisible() && !top->isMinimized() && top->isActiveWindow(), now);
    const bool armed = arming_.armed(now);
    confirmButton_->setEnabled(armed);
    armTimer_->stop();
    if (const auto at = arming_.armsAt(); at && !armed)
        armTimer_->start(std::chrono::ceil<std::chrono::milliseconds>(*at - now));
}

void PairingView::answerComparison(bool confirmed) {
    HostModel* model = model_;
    if (!model) return;
    std::shared_ptr<HostPairing> pairing = model->pairing();
    if (!pairing) return;
    QPointer<HostModel> guard(model);
    // The code on show when the user clicked: only that exchange is confirmed or refused.
    const std::optional<QString> shownCode = model->comparisonCode();
    spawn(model, [guard, pairing, confirmed, shownCode]() -> QCoro::Task<> {
        if (!guard) co_return;
        if (confirmed)
            co_await guard->confirmComparison(pairing, shownCode);
        else
            co_await guard->rejectComparison(pairing, shownCode);
    });
}

void PairingView::confirm() {
    updateArming();
    if (!arming_.armed(ConfirmArming::Clock::now())) return;
    answerComparison(true);
}

void PairingView::cancel() { answerComparison(false); }

void PairingView::windowClosing() {
    HostModel* model = model_;
    if (!model || !model->isAwaitingPairingConfirmation()) return;
    cancel();
}

}  // namespace quill::host::ui
