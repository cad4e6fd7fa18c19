#pragma once

// Helpers shared by the files of HostModel; not for other code.

#include <QDateTime>
#include <QString>
#include <QUuid>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/model/activity_log.h"
#include "quillcore/base/clock.h"

namespace quill::host::detail {

inline QString qs(const std::string& text) { return QString::fromStdString(text); }

// The activity log as the model uses it. Each call blocks; the model runs them on its serial
// activity worker.
std::vector<ActivityEntry> activityEntries(std::shared_ptr<ActivityLog> log);
void activityPrune(std::shared_ptr<ActivityLog> log, SystemTime now);
void activityAppend(std::shared_ptr<ActivityLog> log, ActivityEntry entry);
void activityFinish(std::shared_ptr<ActivityLog> log, QUuid id, SystemTime endedAt, QString reason);

ActivityEntry makeActivityEntry(const QUuid& id, const QString& peerName, const QString& fingerprint,
                                SystemTime startedAt, const QString& mode, const QString& remoteAddress);
QUuid activityID(const ActivityEntry& entry);
SystemTime activityStartedAt(const ActivityEntry& entry);
bool activityEnded(const ActivityEntry& entry);
QString activityFingerprint(const ActivityEntry& entry);

}  // namespace quill::host::detail
