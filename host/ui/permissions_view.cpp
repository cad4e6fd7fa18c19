#include "host/ui/permissions_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "host/ui/view_support.h"

namespace quill::host::ui {

namespace {

QColor grantedColor() { return QColor(0x28, 0xa7, 0x45); }
QColor missingColor() { return QColor(0xf0, 0x8a, 0x00); }

}  // namespace

PermissionRow::PermissionRow(QString title, QString detail, std::function<void()> request,
                             std::function<void()> openSettings, QWidget* parent)
    : QWidget(parent), title_(std::move(title)) {
    setObjectName(QStringLiteral("permissionRow"));
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(14);
    h->setAlignment(Qt::AlignTop);
    auto* sizer = plainLabel();
    applyTextStyle(sizer, TextStyle::title2);
    const int side = QFontMetrics(sizer->font()).height();
    delete sizer;
    mark_ = new QLabel;
    mark_->setObjectName(QStringLiteral("mark"));
    mark_->setFixedSize(side, side);
    h->addWidget(mark_, 0, Qt::AlignTop);

    auto* v = new QVBoxLayout;
    v->setSpacing(6);
    auto* titleLabel = plainLabel(title_);
    applyTextStyle(titleLabel, TextStyle::headline);
    v->addWidget(titleLabel);
    auto* detailLabel = plainLabel(detail);
    detailLabel->setWordWrap(true);
    setTextColor(detailLabel, secondaryColor());
    v->addWidget(detailLabel);
    auto* buttons = new QHBoxLayout;
    request_ = new QPushButton(QStringLiteral("Request Access"));
    settings_ = new QPushButton(QStringLiteral("Open System Settings"));
    buttons->addWidget(request_);
    buttons->addWidget(settings_);
    buttons->addStretch();
    v->addLayout(buttons);
    h->addLayout(v, 1);
    connect(request_, &QPushButton::clicked, this, [request = std::move(request)] {
        if (request) request();
    });
    connect(settings_, &QPushButton::clicked, this, [open = std::move(openSettings)] {
        if (open) open();
    });
    setGranted(false);
    shown_ = true;
}

void PermissionRow::setGranted(bool granted) {
    if (shown_ && granted == granted_) return;
    granted_ = granted;
    const QString symbol = granted ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("exclamationmark.circle.fill");
    mark_->setPixmap(symbolPixmap(symbol, mark_->width(), granted ? grantedColor() : missingColor()));
    mark_->setProperty("symbol", symbol);
    mark_->setAccessibleName(title_ + (granted ? QStringLiteral(" granted") : QStringLiteral(" required")));
    request_->setVisible(!granted);
}

PermissionsView::PermissionsView(HostModel& model, PermissionRequests requests, QWidget* parent)
    : HostView(parent), model_(&model), requests_(std::move(requests)) {
    setObjectName(QStringLiteral("PermissionsView"));
    setMinimumSize(540, 390);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(20);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    auto* heading = plainLabel(QStringLiteral("Quillmate Host needs two system permissions"));
    applyTextStyle(heading, TextStyle::title2, true);
    layout->addWidget(heading);
    auto* explanation = plainLabel(QStringLiteral(
        "These permissions let a paired controller see your screen and use the keyboard and pointer. "
        "The host keeps running and advertising while either one is missing."));
    explanation->setWordWrap(true);
    setTextColor(explanation, secondaryColor());
    layout->addWidget(explanation);

    // Each request is followed at once by a re-check.
    QPointer<HostModel> guard(&model);
    auto requestThenRefresh = [guard](std::function<void()> request) {
        return [guard, request] {
            if (request) request();
            if (guard) guard->refreshPermissions();
        };
    };
    auto openSettings = [this, guard](QString list) {
        return [this, guard, list] {
            if (guard && requests_.settingsURL) guard->openURL(requests_.settingsURL(list));
        };
    };
    screen_ = new PermissionRow(QStringLiteral("Screen Recording"),
                                QStringLiteral("Allows Quillmate Host to capture the screen for a paired controller."),
                                requestThenRefresh(requests_.requestScreenRecording),
                                openSettings(QStringLiteral("Privacy_ScreenCapture")));
    screen_->setObjectName(QStringLiteral("screenRecording"));
    layout->addWidget(screen_);
    accessibility_ = new PermissionRow(
        QStringLiteral("Accessibility"),
        QStringLiteral("Allows Quillmate Host to apply keyboard and pointer input from an authorised controller."),
        requestThenRefresh(requests_.requestAccessibility), openSettings(QStringLiteral("Privacy_Accessibility")));
    accessibility_->setObjectName(QStringLiteral("accessibility"));
    layout->addWidget(accessibility_);

    error_ = plainLabel();
    error_->setObjectName(QStringLiteral("startupError"));
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setTextColor(error_, errorColor());
    layout->addWidget(error_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    checkAgain_ = new QPushButton(QStringLiteral("Check Again"));
    done_ = new QPushButton(QStringLiteral("Done"));
    done_->setDefault(true);
    buttons->addWidget(checkAgain_);
    buttons->addWidget(done_);
    layout->addLayout(buttons);
    layout->addStretch();
    connect(checkAgain_, &QPushButton::clicked, this, [guard] {
        if (guard) guard->refreshPermissions();
    });
    auto finish = [this, guard] {
        if (!done_->isEnabled() || !guard) return;
        if (auto windows = guard->windowManager()) windows->close(QStringLiteral("permissions"));
    };
    connect(done_, &QPushButton::clicked, this, finish);
    returnKey_ = new QShortcut(QKeySequence(Qt::Key_Return), this);
    enterKey_ = new QShortcut(QKeySequence(Qt::Key_Enter), this);
    for (QShortcut* key : {returnKey_, enterKey_}) {
        key->setContext(Qt::WindowShortcut);
        connect(key, &QShortcut::activated, this, finish);
    }

    for (auto signal : {&HostModel::screenRecordingGrantedChanged, &HostModel::accessibilityGrantedChanged,
                        &HostModel::startupErrorChanged})
        connect(&model, signal, this, &PermissionsView::render);
    render();
}

void PermissionsView::render() {
    HostModel* model = model_;
    if (!model) return;
    screen_->setGranted(model->screenRecordingGranted());
    accessibility_->setGranted(model->accessibilityGranted());
    const std::optional<QString>& error = model->startupError();
    error_->setVisible(error.has_value());
    error_->setText(error.value_or(QString()));
    const bool both = model->screenRecordingGranted() && model->accessibilityGranted();
    done_->setEnabled(both);
    returnKey_->setEnabled(both);
    enterKey_->setEnabled(both);
}

}  // namespace quill::host::ui
