// The activity log as the model uses it.
#include "host/model/host_model_internal.h"

namespace quill::host::detail {

std::vector<ActivityEntry> activityEntries(std::shared_ptr<ActivityLog> log) {
    const QList<ActivityEntry> entries = log->entries();
    return std::vector<ActivityEntry>(entries.begin(), entries.end());
}

void activityPrune(std::shared_ptr<ActivityLog> log, SystemTime now) { log->prune(now); }

void activityAppend(std::shared_ptr<ActivityLog> log, ActivityEntry entry) { log->append(entry); }

void activityFinish(std::shared_ptr<ActivityLog> log, QUuid id, SystemTime endedAt, QString reason) {
    log->finish(id, endedAt, reason);
}

ActivityEntry makeActivityEntry(const QUuid& id, const QString& peerName, const QString& fingerprint,
                                SystemTime startedAt, const QString& mode, const QString& remoteAddress) {
    ActivityEntry entry;
    entry.id = id;
    entry.peerName = peerName;
    entry.fingerprint = fingerprint;
    entry.startedAt = startedAt;
    entry.mode = mode;
    entry.remoteAddress = remoteAddress;
    return entry;
}

QUuid activityID(const ActivityEntry& entry) { return entry.id; }

SystemTime activityStartedAt(const ActivityEntry& entry) { return entry.startedAt; }

bool activityEnded(const ActivityEntry& entry) { return entry.endedAt.has_value(); }

QString activityFingerprint(const ActivityEntry& entry) { return entry.fingerprint; }

}  // namespace quill::host::detail
