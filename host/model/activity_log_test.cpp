#include "host/model/activity_log.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QSet>
#include <csignal>
#include <latch>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace quill::host;
using namespace std::chrono;
using quill::SystemTime;

namespace {

SystemTime at(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    return SystemTime(sys_days(year_month_day{year(y), month(mo), day(d)}) + hours(h) + minutes(mi) + seconds(s) +
                      milliseconds(ms));
}

const SystemTime kStart = at(2025, 3, 1, 10, 2, 11);
const char* const kId1 = "7d444840-9dc0-11d1-b245-5ffdce74fad2";
const char* const kId2 = "0b9c0a62-3d55-4bd0-9b0f-1a7cd7d1c001";

ActivityEntry entry(const char* id, SystemTime started, std::optional<SystemTime> ended = std::nullopt,
                    const char* name = "Pat's phone") {
    return {QUuid::fromString(QLatin1StringView(id)), QString::fromUtf8(name), "q2w3e4r5t6y7u8i9o0p1a2s3d4f5g6h7j8k9l0zxcvb",
            started, ended, "control", "192.168.1.20:51000",
            ended ? std::optional<QString>("Session closed by the controller") : std::nullopt};
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : "<unreadable>";
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
}

// Runs `change` and tells whether it rewrote the file (its contents or its modification time).
template <class F>
bool rewrites(const QString& path, F&& change) {
    const QByteArray before = readAll(path);
    QFile f(path);
    const QDateTime old = QDateTime::fromSecsSinceEpoch(1'000'000'000);
    if (!f.open(QIODevice::ReadWrite) || !f.setFileTime(old, QFileDevice::FileModificationTime)) return true;
    change();
    return readAll(path) != before || QFileInfo(path).fileTime(QFileDevice::FileModificationTime) != old;
}

// The description of the ActivityLogError `f` throws.
template <class F>
std::string errorOf(F&& f) {
    try { f(); } catch (const ActivityLogError& e) { return e.description(); }
    return "nothing thrown";
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

TEST(ActivityEntryJson, StoredFormIsByteExactAndReadBack) {
    EXPECT_EQ(encodeActivityEntry(entry(kId1, kStart + milliseconds(700), std::nullopt, "a/b é")),
              QByteArray("{\"fingerprint\":\"q2w3e4r5t6y7u8i9o0p1a2s3d4f5g6h7j8k9l0zxcvb\",\"id\":\"7D444840-9DC0-11D1-B245-"
                         "5FFDCE74FAD2\",\"mode\":\"control\",\"peerName\":\"a\\/b \xC3\xA9\",\"remoteAddress\":\"192.168.1."
                         "20:51000\",\"startedAt\":\"2025-03-01T10:02:11Z\"}"));
    ActivityEntry closed = entry(kId1, kStart, at(2025, 12, 31, 23, 59, 59, 999));
    closed.endReason = QStringLiteral("Session failed: \"quoted\" \\ back\nline\ttab\x01");
    EXPECT_TRUE(encodeActivityEntry(closed).startsWith(
        "{\"endedAt\":\"2025-12-31T23:59:59Z\",\"endReason\":\"Session failed: \\\"quoted\\\" \\\\ back\\nline\\ttab\\u0001\","
        "\"fingerprint\":"));
    // A time before 1970 with a fraction is cut to the second before it, not after.
    EXPECT_TRUE(encodeActivityEntry(entry(kId1, at(1969, 12, 31, 23, 59, 59, 500))).contains("\"1969-12-31T23:59:59Z\""));
    ActivityEntry expected = closed;
    expected.endedAt = at(2025, 12, 31, 23, 59, 59);
    EXPECT_EQ(decodeActivityEntry(encodeActivityEntry(closed)), expected);
    // Keys in another order, unknown keys, nulls for the optional values, a lower-case id;
    // offsets are applied and fractions read exactly.
    EXPECT_EQ(decodeActivityEntry(
                  R"({"startedAt":"2025-03-01T12:32:11+02:30","remoteAddress":"r","peerName":"p","mode":"view","id":"7d444840-9dc0-11d1-b245-5ffdce74fad2","fingerprint":"f","extra":[1,2],"endedAt":"2025-03-01T10:02:11.25Z","endReason":null})"),
              (ActivityEntry{QUuid::fromString(QLatin1StringView(kId1)), "p", "f", kStart, kStart + milliseconds(250), "view", "r", {}}));
}

// The file keeps whole seconds; a duration shown while the host runs must not change when the
// host restarts and reads the entry back, whatever fractions its times had.
TEST(ActivityEntryJson, DurationIsTheSameFromMemoryAndFromTheFile) {
    struct Row {
        SystemTime started;
        microseconds lasted;
        std::optional<std::int64_t> seconds;
    };
    const SystemTime before1970 = at(1969, 12, 31, 23, 59, 59);
    const Row rows[] = {
        {kStart, 7'499'900us, 7},
        {kStart + 600ms, 7'500'000us, 8},  // 10:02:11.6 to 10:02:19.1
        {kStart + 499'900us, 4'500'100us, 5},
        {kStart + 500ms, 4'500'000us, 5},
        {kStart + 500'100us, 5'499'900us, 6},
        {kStart + 999'900us, 200us, 1},  // across a second's edge
        {kStart + 200ms, 500'000us, 0},
        {kStart + 500ms, -499'900us, 0},  // the clock was set back during the session
        {before1970 + 500ms, 500'000us, 1},
        {kStart + 750ms, 3'600'500'000us, 3601},
        {kStart + 300ms, 0us, std::nullopt},  // still open
    };
    QList<ActivityEntry> written;
    for (const Row& row : rows) {
        ActivityEntry e = entry(kId1, row.started, row.started + row.lasted);
        if (!row.seconds) e.endedAt.reset();
        e.id = QUuid::createUuid();
        written.append(e);
    }
    QTemporaryDir tmp;
    ActivityLog(tmp.path()).write(written);
    const QList<ActivityEntry> read = ActivityLog(tmp.path()).entries();
    ASSERT_EQ(read.size(), written.size());
    for (qsizetype i = 0; i < read.size(); ++i) {
        EXPECT_EQ(activityDurationSeconds(written[i]), rows[i].seconds) << "row " << i;
        EXPECT_EQ(activityDurationSeconds(read[i]), rows[i].seconds) << "row " << i;
    }
}

TEST(ActivityLog, ReadsSkippingBadLinesWritesWholeFilesAndChangesOnlyWhatItMust) {
    QTemporaryDir tmp;
    ActivityLog missing(tmp.filePath("deeper/Quillmate Host"));
    EXPECT_TRUE(missing.entries().isEmpty());
    missing.prune(kStart);
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("deeper")));  // nothing is made before a write

    ActivityLog log(tmp.path());
    const SystemTime now = kStart + hours(24 * 40), cutoff = now - seconds(2'592'000);
    ActivityEntry atCutoff = entry(kId1, cutoff - hours(5), cutoff);  // ended exactly at the cut-off
    ActivityEntry older = entry(kId2, cutoff - hours(5), cutoff - seconds(1));
    ActivityEntry openOld = entry("e3b0c442-98fc-1c14-9afb-f4c8996fb924", cutoff - seconds(1));  // judged by its start
    ActivityEntry open = entry("11111111-2222-3333-4444-555555555555", cutoff + milliseconds(640));
    // Lines that are not entries are skipped, each kind of them; a last line needs no line feed.
    auto line = [](const std::string& start, const std::string& id = kId1, const std::string& rest = R"("remoteAddress":"r")") {
        return R"({"fingerprint":"f","id":")" + id + R"(","mode":"view","peerName":"p",)" + rest + R"(,"startedAt":")" +
               start + "\"}\n";
    };
    const std::string t = "2025-03-01T10:02:11Z";
    const std::string bad = "\n{\"broken\": \n" + line("2025-03-01T10:02:11") + line("2025-03-01 10:02:11Z") +
                            line("2025-02-29T10:02:11Z") + line("2025-13-01T10:02:11Z") + line("2025-03-01T24:00:00Z") +
                            line("2025-03-01T10:02:60Z") + line("2025-03-01T10:02:11.Z") + line("2025-03-01T10:02:11+0200") +
                            line("2025-03-01T10:02:11Z ") + line("9999-12-31T23:59:59Z") + line("yesterday") +
                            line(t, "{7D444840-9DC0-11D1-B245-5FFDCE74FAD2}") + line(t, "7D444840-9DC0-11D1-B245-5FFDCE74FAD") +
                            line(t, kId1, R"("r":1)") + line(t, kId1, R"("remoteAddress":"r","endedAt":"soon")") +
                            line(t, kId1, R"("remoteAddress":"r","endReason":7)") + line(t, kId1, "\"remoteAddress\":\"\xff\"");
    ASSERT_TRUE(decodeActivityEntry(QByteArray::fromStdString(line(t))));
    writeBytes(log.filePath(), encodeActivityEntry(atCutoff) + "\r\n" + QByteArray::fromStdString(bad) +
                                   encodeActivityEntry(older) + "\n" + encodeActivityEntry(openOld));
    EXPECT_EQ(log.entries(), (QList<ActivityEntry>{atCutoff, older, openOld}));
    log.append(open);
    EXPECT_EQ(readAll(log.filePath()), encodeActivityEntry(atCutoff) + "\n" + encodeActivityEntry(older) + "\n" +
                                           encodeActivityEntry(openOld) + "\n" + encodeActivityEntry(open) + "\n");
    // Within this run the list in memory is the truth: exact times, and another writer's
    // change is neither seen nor kept.
    EXPECT_EQ(ActivityLog(tmp.path()).entries().last().startedAt, cutoff);
    writeBytes(log.filePath(), "");
    EXPECT_EQ(log.entries(), (QList<ActivityEntry>{atCutoff, older, openOld, open}));

    EXPECT_FALSE(rewrites(log.filePath(), [&] { log.finish(QUuid::createUuid(), now, "whatever"); }));
    log.finish(open.id, now, "The controller stopped responding");
    open.endedAt = now + seconds(1);
    open.endReason = "Session closed by the controller";
    log.finish(open.id, *open.endedAt, *open.endReason);  // a later end wins
    log.prune(now);
    open.startedAt = cutoff;
    EXPECT_EQ(ActivityLog(tmp.path()).entries(), (QList<ActivityEntry>{atCutoff, open}));
    ActivityLog fresh(tmp.path());
    EXPECT_FALSE(rewrites(log.filePath(), [&] { fresh.prune(now); }));  // nothing more to drop
    log.write({});
    EXPECT_EQ(readAll(log.filePath()), "");
}

TEST(ActivityLog, FolderAndFileAreTheUsersOnly) {
    QTemporaryDir tmp;
    const mode_t saved = ::umask(022);
    ActivityLog made(tmp.filePath("made"));
    EXPECT_TRUE(made.makeFolder());
    EXPECT_EQ(modeOf(tmp.filePath("made")), 0700u);
    made.append(entry(kId1, kStart));
    EXPECT_EQ(modeOf(made.filePath()), 0600u);
    // A log an older version left open to others is closed on its first read.
    writeBytes(tmp.filePath("old/activity.jsonl"), encodeActivityEntry(entry(kId1, kStart)) + "\n");
    ASSERT_EQ(::chmod(QFile::encodeName(tmp.filePath("old")).constData(), 0755), 0);
    ASSERT_EQ(modeOf(tmp.filePath("old/activity.jsonl")), 0644u);
    EXPECT_EQ(ActivityLog(tmp.filePath("old")).entries().size(), 1);
    EXPECT_EQ(modeOf(tmp.filePath("old")), 0700u);
    EXPECT_EQ(modeOf(tmp.filePath("old/activity.jsonl")), 0600u);
    ::umask(saved);
}

TEST(ActivityLog, FailuresThrowKeepTheFileWholeAndTheNextCallTriesAgain) {
    QTemporaryDir tmp;
    ActivityLog log(tmp.path());
    // A damaged file far beyond any real log, and a pipe (it would wait for a writer for
    // ever), are refused rather than read; the file stays as it is.
    writeBytes(log.filePath(), "x");
    ASSERT_TRUE(QFile(log.filePath()).resize(ActivityLog::kMaximumFileBytes + 1));
    EXPECT_EQ(errorOf([&] { log.entries(); }), "The file “activity.jsonl” could not be read: it is larger than 32 MB");
    EXPECT_EQ(QFileInfo(log.filePath()).size(), ActivityLog::kMaximumFileBytes + 1);
    ASSERT_TRUE(QFile::remove(log.filePath()));
    ASSERT_EQ(mkfifo(QFile::encodeName(log.filePath()).constData(), 0600), 0);
    EXPECT_THROW(log.prune(kStart), ActivityLogError);
    ASSERT_TRUE(QFile::remove(log.filePath()));
    writeBytes(log.filePath(), encodeActivityEntry(entry(kId2, kStart)) + "\n");
    EXPECT_EQ(log.entries().size(), 1);

    writeBytes(tmp.filePath("file"), "not a folder");
    EXPECT_EQ(errorOf([&] { ActivityLog(tmp.filePath("file/sub")).append(entry(kId1, kStart)); }),
              "The folder “sub” could not be created.");
    // A write that would make a file larger than the reader accepts fails and changes nothing.
    const qint64 twoLines = 2 * (encodeActivityEntry(entry(kId1, kStart)).size() + 1);
    ActivityLog small(tmp.filePath("small"), twoLines);
    small.write({entry(kId1, kStart), entry(kId2, kStart)});
    EXPECT_FALSE(rewrites(small.filePath(), [&] { EXPECT_THROW(small.append(entry(kId1, kStart)), ActivityLogError); }));
    EXPECT_EQ(small.entries().size(), 2);

    // A write that runs out of room (a file-size limit) fails part way: the old file and the
    // list stay, and no temporary file is left.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(twoLines - 20);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    std::string error;
    const bool rewritten = rewrites(log.filePath(), [&] { error = errorOf([&] { log.append(entry(kId1, kStart)); }); });
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(error, "The file “activity.jsonl” could not be saved: File too large");
    EXPECT_FALSE(rewritten);
    EXPECT_EQ(log.entries().size(), 1);
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"activity.jsonl", "file"}));
}

// Sessions end on other threads while one starts: every entry appended at once is kept whole.
TEST(ActivityLog, ConcurrentAppendsAreEachWholeAndNoneIsLost) {
    QTemporaryDir tmp;
    ActivityLog log(tmp.path());
    constexpr int kThreads = 6, kEach = 15;
    std::latch go(kThreads);
    QList<ActivityEntry> appended[kThreads];
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                go.arrive_and_wait();
                for (int i = 0; i < kEach; ++i) {
                    ActivityEntry e = entry(kId1, kStart + seconds(t * 100 + i));
                    e.id = QUuid::createUuid();
                    appended[t].append(e);
                    log.append(e);
                }
            });
    }
    const QList<QByteArray> lines = readAll(log.filePath()).split('\n');
    ASSERT_EQ(lines.size(), kThreads * kEach + 1);  // each line ends with a line feed
    QSet<QUuid> written;
    for (const QByteArray& line : lines.first(kThreads * kEach)) {
        const auto decoded = decodeActivityEntry(line);
        ASSERT_TRUE(decoded) << line.toStdString();
        written.insert(decoded->id);
    }
    for (const auto& list : appended)
        for (const ActivityEntry& e : list) EXPECT_TRUE(written.contains(e.id)) << e.id.toString().toStdString();
    EXPECT_EQ(ActivityLog(tmp.path()).entries(), log.entries());
}
