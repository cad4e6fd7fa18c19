#pragma once

#include <QAbstractTableModel>
#include <QPointer>

#include "host/model/host_model.h"
#include "host/ui/window_manager.h"

class QTableView;

namespace quill::host::ui {

// The model's activity entries as read-only table rows.
class ActivityTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ActivityTableModel(HostModel& model, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    static const QStringList& headers();
    // The text of one cell; `running` tells an open entry of the session running now from one
    // left open by a host that stopped.
    static QString cellText(const ActivityEntry& entry, int column, bool running = true);

private:
    QPointer<HostModel> model_;
};

// The "activity" window: every session the log holds, newest first, with Refresh and Reveal Log.
class ActivityLogView : public HostView {
    Q_OBJECT
public:
    explicit ActivityLogView(HostModel& model, QWidget* parent = nullptr);

    QList<QAction*> toolbarActions() const override { return {refresh_, reveal_}; }
    QTableView* table() const { return table_; }

    // "Active" while the entry's session runs, "—" for one open whose host stopped (its end is
    // unknown), else the whole seconds it lasted: "1 hr, 2 min, 5 sec".
    static QString durationText(const ActivityEntry& entry, bool running = true);
    static QString durationText(std::int64_t seconds);

private:
    // The longest texts the host writes in a column, which the column is made wide enough for.
    static QStringList longestTexts(int column);

    QPointer<HostModel> model_;
    ActivityTableModel* rows_ = nullptr;
    QTableView* table_ = nullptr;
    QAction* refresh_ = nullptr;
    QAction* reveal_ = nullptr;
};

}  // namespace quill::host::ui
