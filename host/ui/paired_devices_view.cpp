#include "host/ui/paired_devices_view.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "host/ui/view_support.h"

namespace quill::host::ui {

const std::array<QString, 5>& PairedDevicesView::permissionLabels() {
    static const std::array<QString, 5> labels = {QStringLiteral("View"), QStringLiteral("Control"),
                                                  QStringLiteral("Clipboard"), QStringLiteral("Files"),
                                                  QStringLiteral("Ask every time")};
    return labels;
}

namespace {

bool flagOf(const PeerPermissions& p, int index) {
    switch (index) {
        case 0: return p.view;
        case 1: return p.control;
        case 2: return p.clipboard;
        case 3: return p.files;
        default: return p.attendedOnly;
    }
}

}  // namespace

PairedDevicesView::PairedDevicesView(HostModel& model, QWidget* parent) : HostView(parent), model_(&model) {
    setObjectName(QStringLiteral("PairedDevicesView"));
    setMinimumSize(760, 480);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);

    refreshAction_ = new QAction(symbolIcon(QStringLiteral("arrow.clockwise"), palette().color(QPalette::WindowText)),
                                 QStringLiteral("Refresh"), this);
    refreshAction_->setProperty("symbol", QStringLiteral("arrow.clockwise"));
    connect(refreshAction_, &QAction::triggered, this, [this] {
        if (model_) model_->refreshPeers();
    });

    placeholder_ = new QWidget;
    placeholder_->setObjectName(QStringLiteral("placeholder"));
    auto* empty = new QVBoxLayout(placeholder_);
    empty->setSpacing(8);
    empty->addStretch();
    auto* symbol = symbolLabel(QStringLiteral("person.crop.circle.badge.questionmark"), 48, secondaryColor());
    empty->addWidget(symbol, 0, Qt::AlignHCenter);
    auto* emptyTitle = plainLabel(QStringLiteral("No paired devices"));
    applyTextStyle(emptyTitle, TextStyle::title2, true);
    empty->addWidget(emptyTitle, 0, Qt::AlignHCenter);
    auto* emptyText = plainLabel(QStringLiteral("Open Pair a device from the menu to add one."));
    setTextColor(emptyText, secondaryColor());
    empty->addWidget(emptyText, 0, Qt::AlignHCenter);
    empty->addStretch();
    layout->addWidget(placeholder_, 1);

    list_ = new QWidget;
    list_->setObjectName(QStringLiteral("deviceList"));
    listLayout_ = new QVBoxLayout(list_);
    listLayout_->setContentsMargins(16, 8, 16, 8);
    listLayout_->setSpacing(0);
    listLayout_->addStretch();
    layout->addWidget(list_, 1);

    // lastSeenText reads the activity entries, so the rows follow both lists.
    connect(&model, &HostModel::peersChanged, this, &PairedDevicesView::render);
    connect(&model, &HostModel::activityEntriesChanged, this, &PairedDevicesView::render);
    connect(&model, &HostModel::activeActivityIDChanged, this, &PairedDevicesView::render);
    render();
}

PairedDevicesView::Row PairedDevicesView::makeRow(const PeerRecord& record) {
    Row row;
    row.record = record;
    row.widget = new QWidget;
    row.widget->setObjectName(QStringLiteral("deviceRow"));
    auto* v = new QVBoxLayout(row.widget);
    v->setSpacing(12);
    v->setContentsMargins(0, 8, 0, 8);

    auto* top = new QHBoxLayout;
    auto* names = new QVBoxLayout;
    names->setSpacing(3);
    row.name = plainLabel();
    row.name->setObjectName(QStringLiteral("name"));
    applyTextStyle(row.name, TextStyle::headline);
    row.pairedAt = plainLabel();
    row.pairedAt->setObjectName(QStringLiteral("pairedAt"));
    applyTextStyle(row.pairedAt, TextStyle::caption);
    setTextColor(row.pairedAt, secondaryColor());
    names->addWidget(row.name);
    names->addWidget(row.pairedAt);
    top->addLayout(names);
    top->addStretch();
    row.revoke = new QPushButton(QStringLiteral("Revoke"));
    setTextColor(row.revoke, errorColor());
    QPalette destructive = row.revoke->palette();
    destructive.setColor(QPalette::ButtonText, errorColor());
    row.revoke->setPalette(destructive);
    top->addWidget(row.revoke, 0, Qt::AlignTop);
    v->addLayout(top);

    row.lastSession = plainLabel();
    row.lastSession->setObjectName(QStringLiteral("lastSession"));
    applyTextStyle(row.lastSession, TextStyle::caption);
    setTextColor(row.lastSession, secondaryColor());
    v->addWidget(row.lastSession);

    auto* boxes = new QHBoxLayout;
    boxes->setSpacing(16);
    const Bytes fingerprint = record.fingerprint;
    for (int i = 0; i < 5; ++i) {
        auto* box = new QCheckBox(literalActionText(permissionLabels()[i]));
        row.boxes[i] = box;
        connect(box, &QCheckBox::clicked, this,
                [this, fingerprint, i](bool checked) { switchPermission(fingerprint, i, checked); });
        boxes->addWidget(box);
    }
    boxes->addStretch();
    v->addLayout(boxes);
    connect(row.revoke, &QPushButton::clicked, this, [this, fingerprint] { revoke(fingerprint); });

    auto* line = new QFrame(row.widget);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    v->addWidget(line);
    return row;
}

void PairedDevicesView::fillRow(Row& row, const PeerRecord& record) {
    row.record = record;
    row.name->setText(QString::fromStdString(record.name));
    row.pairedAt->setText(QStringLiteral("Paired ") + abbreviatedDate(fromSecondsSince2001(record.pairedAt)));
    row.lastSession->setText(QStringLiteral("Last session: ") + (model_ ? model_->lastSeenText(record) : QString()));
    for (int i = 0; i < 5; ++i) {
        // The stored value, whatever the box did when it was clicked.
        QSignalBlocker quiet(row.boxes[i]);
        row.boxes[i]->setChecked(flagOf(record.permissions, i));
    }
}

void PairedDevicesView::render() {
    HostModel* model = model_;
    if (!model) return;
    const std::vector<PeerRecord>& peers = model->peers();
    placeholder_->setVisible(peers.empty());
    list_->setVisible(!peers.empty());

    bool sameRows = peers.size() == rows_.size();
    for (std::size_t i = 0; sameRows && i < peers.size(); ++i) sameRows = peers[i].fingerprint == rows_[i].record.fingerprint;
    if (!sameRows) {
        // Rows may go while one of their own buttons is still in its click handler.
        for (Row& row : rows_) {
            listLayout_->removeWidget(row.widget);
            row.widget->hide();
            row.widget->deleteLater();
        }
        rows_.clear();
        for (const PeerRecord& record : peers) {
            rows_.push_back(makeRow(record));
            listLayout_->insertWidget(listLayout_->count() - 1, rows_.back().widget);
        }
    }
    for (std::size_t i = 0; i < peers.size(); ++i) fillRow(rows_[i], peers[i]);
}

PairedDevicesView::Row* PairedDevicesView::rowFor(const Bytes& fingerprint) {
    for (Row& row : rows_)
        if (row.record.fingerprint == fingerprint) return &row;
    return nullptr;
}

void PairedDevicesView::switchPermission(const Bytes& fingerprint, int index, bool enabled) {
    HostModel* model = model_;
    Row* row = rowFor(fingerprint);
    if (!model || !row) return;
    const PeerRecord record = row->record;
    model->setPermission(static_cast<PermissionFlag>(index), enabled, record);
    // A save that failed changes no list: show the stored values again.
    render();
}

void PairedDevicesView::revoke(const Bytes& fingerprint) {
    HostModel* model = model_;
    Row* row = rowFor(fingerprint);
    if (!model || !row) return;
    const PeerRecord record = row->record;
    model->revoke(record);
}

}  // namespace quill::host::ui
