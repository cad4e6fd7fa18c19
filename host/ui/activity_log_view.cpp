#include "host/ui/activity_log_view.h"

#include <QAction>
#include <QDateTime>
#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

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
    return durationText(*activityDurationSeconds(entry));
}

QStringList ActivityLogView::longestTexts(int column) {
    ActivityEntry entry;
    switch (column) {
        case 1: {
            // Month names and the hours' digits differ in width: the widest is a late hour's in
            // one of the months.
            QStringList dates;
            for (int month = 1; month <= 12; ++month) {
                const QDateTime time(QDate(2026, month, 28), QTime(22, 58, 58));
                entry.startedAt = SystemTime(std::chrono::milliseconds(time.toMSecsSinceEpoch()));
                dates << ActivityTableModel::cellText(entry, column);
            }
            return dates;
        }
        case 2: return {durationText(24 * 3600 - 1)};
        case 3:
            entry.mode = QStringLiteral("control");
            return {ActivityTableModel::cellText(entry, column)};
        case 4: return {QStringLiteral("255.255.255.255:65535")};
        case 5:
            // What the host writes when a session ends (HostModel::watchSession and the callers of
            // finishSession), and what it shows for an entry without an end; a failure's text has
            // no bound, and its tooltip shows it whole.
            return {QStringLiteral("Session closed by the controller"), QStringLiteral("The controller stopped responding"),
                    QStringLiteral("session ended by the host user"), QStringLiteral("Connection closed"),
                    ActivityTableModel::cellText(entry, column, false), ActivityTableModel::cellText(entry, column, true)};
        default: return {};
    }
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
    QHeaderView* header = table_->horizontalHeader();
    header->setSectionsClickable(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Each column is as wide as the longest text the host writes there; the names, which have
    // no longest, take what is left.
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    const int cellMargins = 2 * (table_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table_) + 1) + 1;
    const int headerMargins = 2 * table_->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header) + 1;
    const QFontMetrics cells(table_->font()), headings(header->font());
    for (int column = 1; column < rows_->columnCount(); ++column) {
        int width = headings.horizontalAdvance(ActivityTableModel::headers()[column]) + headerMargins;
        for (const QString& text : longestTexts(column))
            width = std::max(width, cells.horizontalAdvance(text) + cellMargins);
        table_->setColumnWidth(column, width + cells.averageCharWidth());
    }
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
