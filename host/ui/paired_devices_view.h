#pragma once

#include <QPointer>
#include <array>
#include <vector>

#include "host/model/host_model.h"
#include "host/ui/window_manager.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace quill::host::ui {

// The "peers" window: every paired controller with its pairing date, last session and five
// permission check boxes, and a revoke button; a placeholder when nothing is paired.
class PairedDevicesView : public HostView {
    Q_OBJECT
public:
    explicit PairedDevicesView(HostModel& model, QWidget* parent = nullptr);

    QList<QAction*> toolbarActions() const override { return {refreshAction_}; }

    // The check boxes' labels, in the order of PermissionFlag.
    static const std::array<QString, 5>& permissionLabels();

private:
    struct Row {
        PeerRecord record;
        QWidget* widget = nullptr;
        QLabel* name = nullptr;
        QLabel* pairedAt = nullptr;
        QLabel* lastSession = nullptr;
        QPushButton* revoke = nullptr;
        std::array<QCheckBox*, 5> boxes{};
    };

    void render();
    Row makeRow(const PeerRecord& record);
    void fillRow(Row& row, const PeerRecord& record);
    Row* rowFor(const Bytes& fingerprint);
    void switchPermission(const Bytes& fingerprint, int index, bool enabled);
    void revoke(const Bytes& fingerprint);

    QPointer<HostModel> model_;
    QAction* refreshAction_ = nullptr;
    QWidget* placeholder_ = nullptr;
    QWidget* list_ = nullptr;
    QVBoxLayout* listLayout_ = nullptr;
    std::vector<Row> rows_;
};

}  // namespace quill::host::ui
