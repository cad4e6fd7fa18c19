// The activity table and the paired devices' "Last session" line over entries an earlier run
// left open.
#include <QLabel>
#include <QTableView>

#include "host/model/locale_dates.h"
#include "host/ui/activity_log_view.h"
#include "host/ui/paired_devices_view.h"
#include "host/ui/ui_test_support.h"
#include "quillcore/base/base64.h"

using namespace quill;
using namespace quill::host;
using namespace quill::host::ui;

TEST(ActivityViews, AnEntryLeftOpenByAnEarlierRunIsShownAsEndedAtAnUnknownTime) {
    ui::testing::startApplication("offscreen");
    host::testing::ModelHarness h;
    host::testing::Controller alice = h.pairedController(3, "Alice");
    const SystemTime started = std::chrono::system_clock::from_time_t(1'800'000'000);
    h.activityLog->write({{QUuid::createUuid(), "Alice", QString::fromStdString(Base64URL::encode(alice.record.fingerprint)),
                           started, std::nullopt, "control", "10.0.0.2:5000", std::nullopt}});
    HostModel& m = h.start();
    ActivityLogView activity(m);
    PairedDevicesView peers(m);
    const QAbstractItemModel* rows = activity.table()->model();
    ASSERT_EQ(rows->rowCount(), 1);
    EXPECT_EQ(rows->index(0, 2).data().toString(), QStringLiteral("\u2014"));
    const QString ended = QStringLiteral("the host stopped during the session");
    EXPECT_EQ(rows->index(0, 5).data().toString(), ended);
    // Too long for its column, so the whole text is its tooltip.
    EXPECT_EQ(rows->index(0, 5).data(Qt::ToolTipRole).toString(), ended);
    EXPECT_EQ(peers.findChild<QLabel*>("lastSession")->text(), "Last session: " + abbreviatedDateAndShortTime(started));
}
