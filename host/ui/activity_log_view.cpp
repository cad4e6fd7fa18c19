#include "host/ui/activity_log_view.h"

#include <QAction>
#include <QHeaderView>
#include <QTableView>
#include <QVBoxLayout>
#include <cmath>

#include "host/runtime/task.h"
#include "host/ui/view_support.h"

namespace quill::host::ui {

ActivityTableModel::ActivityTableModel(HostModel& model, QObject* parent) : QAbstractTableModel(parent), model_(&model) {
    // Whether an open entry is running depends on the active entry too.
    for (auto signal : {&HostModel::activityEntriesChanged, &HostModel::activeActivityIDChanged})
        connect(&model, signal, this, [this] {
            beginResetModel();
            endResetModel();
        });
}

const QStringList& ActivityTableModel::headers() {
    static const QStringList list = {QStringLiteral("Controller"), QStringLiteral("Started"),
                                     QStringLiteral("Duration"),   QStringLiteral("Mode"),
                                     QStringLiteral("Remote address"), QStringLiteral("Ended")};
    return list;
}

int ActivityTableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || !model_) return 0;
    return static_cast<int>(model_->activityEntries().size());
}

int ActivityTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(headers().size());
}

QString ActivityTableModel::cellText(const ActivityEntry& entry, int column, bool running) {
    switch (column) {
        case 0: return entry.peerName;
        case 1: return abbreviatedDateAndStandardTime(entry.startedAt);
        case 2: return ActivityLogView::durationText(entry, running);
        case 3: return entry.mode.isEmpty() ? entry.mode : entry.mode.left(1).toUpper() + entry.mode.mid(1);
        case 4: return entry.remoteAddress;
        case 5:
            if (!entry.endedAt && !running) return QStringLiteral("the host stopped during the session");
            return entry.endReason.value_or(QStringLiteral("Session active"));
        default: return {};
    }
}

QVariant ActivityTableModel::data(const QModelIndex& index, int role) const {
    // The tooltip shows the whole text of a cell too narrow for it.
    if (!model_ || !index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
    const auto& entries = model_->activityEntries();
    if (index.row() < 0 || static_cast<std::size_t>(index.row()) >= entries.size()) return {};
    const ActivityEntry& entry = entries[static_cast<std::size_t>(index.row())];
    return cellText(entry, index.column(), model_->isActivityRunning(entry));
}

QVariant ActivityTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= headers().size())
        return {};
    return headers()[section];
}

QString ActivityLogView::durationText(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t hours = seconds / 3600;
    const std::int64_t minutes = seconds % 3600 / 60;
    const std::int64_t rest = seconds % 60;
    QStringList parts;
    if (hours) parts << QStringLiteral("%1 hr").arg(hours);
    if (minutes) parts << QStringLiteral("%1 min").arg(minutes);
    if (rest || parts.isEmpty()) parts << QStringLiteral("%1 sec").arg(rest);
    return parts.join(QStringLiteral(", "));
}

QString ActivityLogView::durationText(const ActivityEntry& entry, bool running) {
    if (!entry.endedAt) return running ? QStringLiteral("Active") : QStringLiteral("\u2014");
    const double seconds = std::chrono::duration<double>(*entry.endedAt - entry.startedAt).count();
    return durationText(seconds > 0 ? static_cast<std::int64_t>(std::trunc(seconds)) : 0);
}

ActivityLogView::ActivityLogView(HostModel& model, QWidget* parent) : HostView(parent), model_(&model) {
    setObjectName(QStringLiteral("ActivityLogView"));
    setMinimumSize(860, 460);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    rows_ = new ActivityTableModel(model, this);
    table_ = new QTableView;
    table_->setObjectName(QStringLiteral("activityTable"));
    table_->setModel(rows_);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setFocusPolicy(Qt::NoFocus);
    table_->setSortingEnabled(false);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setSectionsClickable(false);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const int widths[] = {150, 200, 130, 70, 160};
    for (int i = 0; i < 5; ++i) table_->setColumnWidth(i, widths[i]);
    layout->addWidget(table_);

    const QColor ink = palette().color(QPalette::WindowText);
    refresh_ = new QAction(symbolIcon(QStringLiteral("arrow.clockwise"), ink), QStringLiteral("Refresh"), this);
    refresh_->setProperty("symbol", QStringLiteral("arrow.clockwise"));
    reveal_ = new QAction(symbolIcon(QStringLiteral("folder"), ink), QStringLiteral("Reveal Log"), this);
    reveal_->setProperty("symbol", QStringLiteral("folder"));
    connect(refresh_, &QAction::triggered, this, [this] {
        QPointer<HostModel> guard = model_;
        if (!guard) return;
        spawn(guard, [guard]() -> QCoro::Task<> {
            if (guard) co_await guard->reloadActivity();
        });
    });
    connect(reveal_, &QAction::triggered, this, [this] {
        if (model_) model_->revealActivityLog();
    });
}

}  // namespace quill::host::ui
