#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUuid>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "quillcore/base/clock.h"
#include "quillcore/base/error.h"

namespace quill::host {

// One session in the activity log. Equality covers all fields; `id` identifies the entry.
struct ActivityEntry {
    QUuid id;
    QString peerName;
    QString fingerprint;  // the controller's fingerprint, Base64URL
    SystemTime startedAt;
    std::optional<SystemTime> endedAt;
    QString mode;  // "control" or "view"
    QString remoteAddress;
    std::optional<QString> endReason;

    bool operator==(const ActivityEntry&) const = default;
};

// A file operation of the activity log failed.
class ActivityLogError : public Error {
public:
    explicit ActivityLogError(std::string text) : text(std::move(text)) {}
    std::string description() const override { return text; }
    bool operator==(const ActivityLogError&) const = default;
    std::string text;
};

// $XDG_DATA_HOME (default ~/.local/share) + "/Quillmate Host": the folder of the log, also
// the one the host reveals to the user.
QString defaultActivityLogDirectory();

// The stored form of one entry: one compact JSON object, keys in the fixed order, absent
// optional values left out, UTC dates in whole seconds, "/" escaped. No line feed.
QByteArray encodeActivityEntry(const ActivityEntry& entry);
// One line of the file; nullopt when it is not a valid entry.
std::optional<ActivityEntry> decodeActivityEntry(QByteArrayView line);

// The whole seconds an ended entry lasted (0 when it ended before it started); nullopt while it
// has no end. Counted between its times as the file keeps them, to the second, so that an entry
// shows the same duration while the host runs and after it restarts.
std::optional<std::int64_t> activityDurationSeconds(const ActivityEntry& entry);

// The JSON-lines activity log. Operations are synchronous and run one at a time (the log locks
// itself for each whole operation), so the host calls them on one worker queue and awaits them.
// After the first successful read or write the list in memory is the truth: the file is only
// written from then on.
class ActivityLog {
public:
    // With no directory the log lives in defaultActivityLogDirectory(). Touches nothing on disk.
    explicit ActivityLog(std::optional<QString> directory = std::nullopt, qint64 maximumFileBytes = kMaximumFileBytes);

    QString filePath() const { return filePath_; }

    // All entries, in file order. A missing file is an empty log (nothing is created); lines
    // that do not decode are skipped.
    QList<ActivityEntry> entries();
    // Replaces the whole log (folder created, file replaced atomically).
    void write(const QList<ActivityEntry>& entries);
    void append(const ActivityEntry& entry);
    // Closes the first entry with this id; an unknown id changes nothing.
    void finish(const QUuid& id, SystemTime endedAt, const QString& reason);
    // Drops entries that ended (or, still open, started) more than 30 days before `now`.
    void prune(SystemTime now);
    // Makes the log's folder (private, as the file is); false when it cannot be made.
    bool makeFolder();

    static constexpr double kRetentionSeconds = 2'592'000.0;
    // Thirty days of sessions take a few hundred kilobytes. A file beyond this size (or one that
    // is not a regular file, such as a pipe or a device) is damaged and is refused as unreadable
    // instead of being read into memory; a write that would pass it fails, so the log never
    // grows into a file it would refuse to read.
    static constexpr qint64 kMaximumFileBytes = 32 * 1024 * 1024;

private:
    struct Folder {
        Folder() = default;
        explicit Folder(int fd) : fd(fd) {}
        Folder(Folder&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
        Folder& operator=(Folder&&) = delete;
        ~Folder();
        int fd = -1;
    };
    // The log's folder, made when missing and made private when it is not; fd -1 on failure.
    Folder openFolderLocked();
    QList<ActivityEntry> entriesLocked();
    void writeLocked(const QList<ActivityEntry>& entries);

    std::mutex mutex_;
    const qint64 maximumFileBytes_;
    QString directory_;
    QString filePath_;
    std::optional<QList<ActivityEntry>> cached_;
};

}  // namespace quill::host
