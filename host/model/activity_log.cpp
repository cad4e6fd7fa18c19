#include "host/model/activity_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

#include "quillcore/base/json.h"
#include "quillcore/base/private_files.h"

namespace quill::host {

namespace {

using namespace std::chrono;

const char* const kFileName = "activity.jsonl";

// "2025-03-01T10:02:11Z": UTC, the fraction dropped.
std::string formatDate(SystemTime t) {
    auto secs = floor<seconds>(t);
    auto day = floor<days>(secs);
    year_month_day ymd(day);
    hh_mm_ss hms(secs - day);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                  static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
    return buf;
}

bool digitsAt(std::string_view s, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int v = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

// An internet date-time: YYYY-MM-DDTHH:MM:SS, an optional fraction, then Z or +hh:mm / -hh:mm.
// Nothing else: no zone-less local times, no week dates, no leap second.
std::optional<SystemTime> parseDate(std::string_view s) {
    int y, mo, d, h, mi, se;
    if (!digitsAt(s, 0, 4, y) || s.size() < 19 || s[4] != '-' || !digitsAt(s, 5, 2, mo) || s[7] != '-' ||
        !digitsAt(s, 8, 2, d) || s[10] != 'T' || !digitsAt(s, 11, 2, h) || s[13] != ':' || !digitsAt(s, 14, 2, mi) ||
        s[16] != ':' || !digitsAt(s, 17, 2, se))
        return std::nullopt;
    year_month_day ymd{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
    if (!ymd.ok() || h > 23 || mi > 59 || se > 59) return std::nullopt;
    std::size_t pos = 19;
    std::int64_t nanos = 0;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        std::size_t first = pos;
        std::int64_t scale = 100'000'000;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            nanos += (s[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == first) return std::nullopt;
    }
    if (pos >= s.size()) return std::nullopt;
    std::int64_t offsetSeconds = 0;
    if (s[pos] == 'Z') {
        ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
        int oh, om;
        if (!digitsAt(s, pos + 1, 2, oh) || pos + 3 >= s.size() || s[pos + 3] != ':' || !digitsAt(s, pos + 4, 2, om) ||
            oh > 23 || om > 59)
            return std::nullopt;
        offsetSeconds = (oh * 3600 + om * 60) * (s[pos] == '-' ? -1 : 1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;
    std::int64_t secs = sys_days(ymd).time_since_epoch().count() * 86400 + h * 3600 + mi * 60 + se - offsetSeconds;
    // The clock holds about ±292 years around 1970 in nanoseconds; beyond that a date cannot be kept.
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 1'000'000'000 - 1;
    if (secs > kLimit || secs < -kLimit) return std::nullopt;
    return SystemTime(duration_cast<SystemTime::duration>(seconds(secs) + nanoseconds(nanos)));
}

// 8-4-4-4-12 hexadecimal digits, either case.
bool isCanonicalUuid(std::string_view s) {
    if (s.size() != 36) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        char c = s[i];
        if (dash) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

std::string utf8(const QString& s) {
    QByteArray b = s.toUtf8();
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

QString fileName(const QString& path) { return QFileInfo(path).fileName(); }

std::string sizeText(qint64 bytes) {
    constexpr qint64 kMB = 1024 * 1024;
    return bytes >= kMB && bytes % kMB == 0 ? std::to_string(bytes / kMB) + " MB" : std::to_string(bytes) + " bytes";
}

}  // namespace

QString defaultActivityLogDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Quillmate Host");
}

QByteArray encodeActivityEntry(const ActivityEntry& e) {
    // Keys in case-insensitive order, which puts "endedAt" before "endReason".
    json::OrderedJson o = json::OrderedJson::object();
    if (e.endedAt) o["endedAt"] = formatDate(*e.endedAt);
    if (e.endReason) o["endReason"] = utf8(*e.endReason);
    o["fingerprint"] = utf8(e.fingerprint);
    o["id"] = utf8(e.id.toString(QUuid::WithoutBraces).toUpper());
    o["mode"] = utf8(e.mode);
    o["peerName"] = utf8(e.peerName);
    o["remoteAddress"] = utf8(e.remoteAddress);
    o["startedAt"] = formatDate(e.startedAt);
    std::string text = json::dumpEscapingSlashes(o);
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

std::optional<ActivityEntry> decodeActivityEntry(QByteArrayView line) {
    try {
        json::Json obj = json::parse(std::string_view(line.data(), static_cast<std::size_t>(line.size())));
        json::requireObject(obj);
        std::string id = json::requireString(obj, "id");
        if (!isCanonicalUuid(id)) return std::nullopt;
        auto started = parseDate(json::requireString(obj, "startedAt"));
        if (!started) return std::nullopt;
        ActivityEntry e;
        e.id = QUuid::fromString(QLatin1StringView(id.data(), static_cast<qsizetype>(id.size())));
        e.peerName = QString::fromStdString(json::requireString(obj, "peerName"));
        e.fingerprint = QString::fromStdString(json::requireString(obj, "fingerprint"));
        e.startedAt = *started;
        if (auto ended = json::optionalString(obj, "endedAt")) {
            e.endedAt = parseDate(*ended);
            if (!e.endedAt) return std::nullopt;
        }
        e.mode = QString::fromStdString(json::requireString(obj, "mode"));
        e.remoteAddress = QString::fromStdString(json::requireString(obj, "remoteAddress"));
        if (auto reason = json::optionalString(obj, "endReason")) e.endReason = QString::fromStdString(*reason);
        return e;
    } catch (const Error&) {
        return std::nullopt;
    }
}

std::optional<std::int64_t> activityDurationSeconds(const ActivityEntry& e) {
    if (!e.endedAt) return std::nullopt;
    // The same cut as formatDate's: the difference of the stored seconds.
    const auto lasted = floor<seconds>(*e.endedAt) - floor<seconds>(e.startedAt);
    return std::max<std::int64_t>(lasted.count(), 0);
}

ActivityLog::ActivityLog(std::optional<QString> directory, qint64 maximumFileBytes)
    : maximumFileBytes_(maximumFileBytes),
      directory_(directory ? *directory : defaultActivityLogDirectory()),
      filePath_(QDir(directory_).filePath(QString::fromLatin1(kFileName))) {}

QList<ActivityEntry> ActivityLog::entries() {
    std::lock_guard lock(mutex_);
    return entriesLocked();
}

void ActivityLog::write(const QList<ActivityEntry>& list) {
    std::lock_guard lock(mutex_);
    writeLocked(list);
}

void ActivityLog::append(const ActivityEntry& entry) {
    std::lock_guard lock(mutex_);
    QList<ActivityEntry> list = entriesLocked();
    list.append(entry);
    writeLocked(list);
}

void ActivityLog::finish(const QUuid& id, SystemTime endedAt, const QString& reason) {
    std::lock_guard lock(mutex_);
    QList<ActivityEntry> list = entriesLocked();
    for (auto& e : list) {
        if (e.id != id) continue;
        e.endedAt = endedAt;
        e.endReason = reason;
        writeLocked(list);
        return;
    }
}

void ActivityLog::prune(SystemTime now) {
    std::lock_guard lock(mutex_);
    QList<ActivityEntry> list = entriesLocked();
    auto cutoff = now - duration_cast<SystemTime::duration>(duration<double>(kRetentionSeconds));
    QList<ActivityEntry> kept;
    for (const auto& e : list)
        if (e.endedAt.value_or(e.startedAt) >= cutoff) kept.append(e);
    if (kept.size() < list.size()) writeLocked(kept);
}

QList<ActivityEntry> ActivityLog::entriesLocked() {
    if (cached_) return *cached_;
    const QFileInfo info(filePath_);
    if (!info.exists()) {
        cached_ = QList<ActivityEntry>();
        return *cached_;
    }
    auto unreadable = [this](const std::string& why) {
        return ActivityLogError("The file “" + utf8(fileName(filePath_)) + "” could not be read: " + why);
    };
    const std::string tooLarge = "it is larger than " + sizeText(maximumFileBytes_);
    // Opening a pipe would wait for a writer for ever, and a device may never end.
    if (!info.isFile()) throw unreadable("it is not a regular file");
    if (info.size() > maximumFileBytes_) throw unreadable(tooLarge);
    QFile file(filePath_);
    if (!file.open(QIODevice::ReadOnly)) throw unreadable(utf8(file.errorString()));
    QByteArray bytes = file.read(maximumFileBytes_ + 1);
    if (file.error() != QFileDevice::NoError) throw unreadable(utf8(file.errorString()));
    if (bytes.size() > maximumFileBytes_) throw unreadable(tooLarge);
    // A log an older version left open to other users is made private.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (info.permissions() & others) file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    openFolderLocked();
    QList<ActivityEntry> list;
    // Pieces between line feeds; empty ones are skipped, a last line without one counts.
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0) end = bytes.size();
        if (end > start) {
            if (auto entry = decodeActivityEntry(QByteArrayView(bytes).sliced(start, end - start)))
                list.append(std::move(*entry));
        }
        start = end + 1;
    }
    cached_ = list;
    return list;
}

bool ActivityLog::makeFolder() {
    std::lock_guard lock(mutex_);
    return openFolderLocked().fd >= 0;
}

ActivityLog::Folder::~Folder() {
    if (fd >= 0) ::close(fd);
}

ActivityLog::Folder ActivityLog::openFolderLocked() {
    const QByteArray path = QFile::encodeName(directory_);
    if (privatefiles::makeFolders(std::filesystem::path(path.toStdString())) != 0) return {};
    Folder folder(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Controller names and addresses are the user's own: a folder left open to others is closed.
    if (folder.fd >= 0 && privatefiles::makePrivate(folder.fd) != 0) return {};
    return folder;
}

void ActivityLog::writeLocked(const QList<ActivityEntry>& list) {
    const Folder folder = openFolderLocked();
    if (folder.fd < 0)
        throw ActivityLogError("The folder “" + utf8(QFileInfo(directory_).fileName()) + "” could not be created.");
    QByteArray buffer;
    for (const auto& e : list) {
        buffer += encodeActivityEntry(e);
        buffer += '\n';
    }
    const std::string saveFailed = "The file “" + utf8(fileName(filePath_)) + "” could not be saved: ";
    if (buffer.size() > maximumFileBytes_)
        throw ActivityLogError(saveFailed + "it would be larger than " + sizeText(maximumFileBytes_));
    // Temporary file plus rename: a reader or a crash sees the old file or the new one, whole.
    const std::string temp = "." + std::string(kFileName) + ".tmp";
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(buffer.constData()), static_cast<std::size_t>(buffer.size()));
    int error = privatefiles::writeSyncedFile(folder.fd, temp, bytes);
    if (!error && ::renameat(folder.fd, temp.c_str(), folder.fd, kFileName) != 0) {
        error = errno;
        ::unlinkat(folder.fd, temp.c_str(), 0);
    }
    if (error) throw ActivityLogError(saveFailed + std::strerror(error));
    ::fsync(folder.fd);  // the rename lasts once the folder is on disk; the new file is in place either way
    cached_ = list;
}

}  // namespace quill::host
