#include "host/model/activity_log.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace quill::host;
using namespace std::chrono;
using quill::SystemTime;

namespace {

SystemTime at(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    return SystemTime(sys_days(year_month_day{year(y), month(mo), day(d)}) + hours(h) + minutes(mi) + seconds(s) +
                      milliseconds(ms));
}

const SystemTime kStart = at(2025, 3, 1, 10, 2, 11);
const QString kFingerprint = QStringLiteral("q2w3e4r5t6y7u8i9o0p1a2s3d4f5g6h7j8k9l0zxcvb");

ActivityEntry entry(const char* id, SystemTime started, std::optional<SystemTime> ended = std::nullopt,
                    const char* name = "Pat's phone") {
    ActivityEntry e;
    e.id = QUuid::fromString(QLatin1StringView(id));
    e.peerName = QString::fromUtf8(name);
    e.fingerprint = kFingerprint;
    e.startedAt = started;
    e.endedAt = ended;
    e.mode = QStringLiteral("control");
    e.remoteAddress = QStringLiteral("192.168.1.20:51000");
    if (ended) e.endReason = QStringLiteral("Session closed by the controller");
    return e;
}

const char* const kId1 = "7d444840-9dc0-11d1-b245-5ffdce74fad2";
const char* const kId2 = "0b9c0a62-3d55-4bd0-9b0f-1a7cd7d1c001";
const char* const kId3 = "e3b0c442-98fc-1c14-9afb-f4c8996fb924";

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "<unreadable>";
    return f.readAll();
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// Marks a file as written long ago, so a rewrite shows in its modification time.
void ageFile(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(QDateTime::fromSecsSinceEpoch(1'000'000'000), QFileDevice::FileModificationTime));
}
QDateTime modified(const QString& path) { return QFileInfo(path).fileTime(QFileDevice::FileModificationTime); }

}  // namespace

TEST(ActivityEntryJson, StoredFormIsByteExact) {
    ActivityEntry open = entry(kId1, kStart + milliseconds(700), std::nullopt, "a/b é");
    EXPECT_EQ(encodeActivityEntry(open),
              QByteArray("{\"fingerprint\":\"q2w3e4r5t6y7u8i9o0p1a2s3d4f5g6h7j8k9l0zxcvb\",\"id\":\"7D444840-9DC0-11D1-B245-"
                         "5FFDCE74FAD2\",\"mode\":\"control\",\"peerName\":\"a\\/b \xC3\xA9\",\"remoteAddress\":\"192.168.1."
                         "20:51000\",\"startedAt\":\"2025-03-01T10:02:11Z\"}"));

    ActivityEntry closed = entry(kId1, kStart, at(2025, 12, 31, 23, 59, 59, 999));
    closed.endReason = QStringLiteral("Session failed: \"quoted\" \\ back\nline\ttab\x01");
    closed.remoteAddress = QStringLiteral("[2001:db8::5]:5000");
    EXPECT_EQ(encodeActivityEntry(closed),
              QByteArray("{\"endedAt\":\"2025-12-31T23:59:59Z\",\"endReason\":\"Session failed: \\\"quoted\\\" \\\\ back\\n"
                         "line\\ttab\\u0001\",\"fingerprint\":\"q2w3e4r5t6y7u8i9o0p1a2s3d4f5g6h7j8k9l0zxcvb\",\"id\":\"7D444840-"
                         "9DC0-11D1-B245-5FFDCE74FAD2\",\"mode\":\"control\",\"peerName\":\"Pat's phone\",\"remoteAddress\":\"[2001:"
                         "db8::5]:5000\",\"startedAt\":\"2025-03-01T10:02:11Z\"}"));

    // A time before 1970 with a fraction is cut to the second before it, not after.
    ActivityEntry old = entry(kId1, at(1969, 12, 31, 23, 59, 59, 500));
    EXPECT_TRUE(encodeActivityEntry(old).contains("\"startedAt\":\"1969-12-31T23:59:59Z\""));

    auto back = decodeActivityEntry(encodeActivityEntry(closed));
    ASSERT_TRUE(back);
    ActivityEntry expected = closed;
    expected.endedAt = at(2025, 12, 31, 23, 59, 59);
    EXPECT_EQ(*back, expected);
}

TEST(ActivityEntryJson, ReaderAcceptsWhatTheFormAllows) {
    // Keys in another order, unknown keys, nulls for the optional values, a lower-case id.
    auto e = decodeActivityEntry(
        R"({"startedAt":"2025-03-01T10:02:11Z","remoteAddress":"r","peerName":"p","mode":"view","id":"7d444840-9dc0-11d1-b245-5ffdce74fad2","fingerprint":"f","extra":[1,2],"endedAt":null,"endReason":null})");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, QUuid::fromString(QLatin1StringView(kId1)));
    EXPECT_EQ(e->mode, "view");
    EXPECT_FALSE(e->endedAt);
    EXPECT_FALSE(e->endReason);

    // Offsets are applied; fractions are read exactly.
    auto offset = decodeActivityEntry(
        R"({"fingerprint":"f","id":"7D444840-9DC0-11D1-B245-5FFDCE74FAD2","mode":"view","peerName":"p","remoteAddress":"r","startedAt":"2025-03-01T12:32:11+02:30","endedAt":"2025-03-01T10:02:11.25Z"})");
    ASSERT_TRUE(offset);
    EXPECT_EQ(offset->startedAt, kStart);
    EXPECT_EQ(*offset->endedAt, kStart + milliseconds(250));
}

TEST(ActivityEntryJson, ReaderRejectsEachKindOfBadLine) {
    const std::string good =
        R"("fingerprint":"f","id":"7D444840-9DC0-11D1-B245-5FFDCE74FAD2","mode":"view","peerName":"p","remoteAddress":"r")";
    auto withStart = [&](const std::string& start) { return "{" + good + ",\"startedAt\":\"" + start + "\"}"; };
    ASSERT_TRUE(decodeActivityEntry(QByteArray::fromStdString(withStart("2025-03-01T10:02:11Z"))));

    std::vector<std::string> bad = {
        "not json",
        "[1,2,3]",
        "{" + good + "}",                                              // no startedAt
        withStart("2025-03-01T10:02:11"),                              // a local time: no zone
        withStart("2025-03-01 10:02:11Z"),                             // no T
        withStart("2025-02-29T10:02:11Z"),                             // not a leap year
        withStart("2025-13-01T10:02:11Z"),                             // month 13
        withStart("2025-03-01T24:00:00Z"),                             // hour 24
        withStart("2025-03-01T10:02:60Z"),                             // leap second
        withStart("2025-03-01T10:02:11.Z"),                            // empty fraction
        withStart("2025-03-01T10:02:11+0200"),                         // offset without colon
        withStart("2025-03-01T10:02:11Z "),                            // trailing text inside the string
        withStart("9999-12-31T23:59:59Z"),                             // beyond what the clock holds
        withStart("yesterday"),
        R"({"fingerprint":"f","id":"7D444840-9DC0-11D1-B245-5FFDCE74FAD2","mode":"view","peerName":"p","startedAt":"2025-03-01T10:02:11Z"})",  // no remoteAddress
        R"({"fingerprint":"f","id":"7D444840-9DC0-11D1-B245-5FFDCE74FAD2","mode":5,"peerName":"p","remoteAddress":"r","startedAt":"2025-03-01T10:02:11Z"})",
        R"({"fingerprint":"f","id":"{7D444840-9DC0-11D1-B245-5FFDCE74FAD2}","mode":"view","peerName":"p","remoteAddress":"r","startedAt":"2025-03-01T10:02:11Z"})",
        R"({"fingerprint":"f","id":"7D444840-9DC0-11D1-B245-5FFDCE74FAD","mode":"view","peerName":"p","remoteAddress":"r","startedAt":"2025-03-01T10:02:11Z"})",
        R"({"fingerprint":"f","id":"7D444840-9DC0-11D1-B245-5FFDCE74FAD2","mode":"view","peerName":"p","remoteAddress":"r","startedAt":"2025-03-01T10:02:11Z","endedAt":"soon"})",
        R"({"fingerprint":"f","id":"7D444840-9DC0-11D1-B245-5FFDCE74FAD2","mode":"view","peerName":"p","remoteAddress":"r","startedAt":"2025-03-01T10:02:11Z","endReason":7})",
        "{\"fingerprint\":\"f\xff\",\"id\":\"7D444840-9DC0-11D1-B245-5FFDCE74FAD2\",\"mode\":\"view\",\"peerName\":\"p\","
        "\"remoteAddress\":\"r\",\"startedAt\":\"2025-03-01T10:02:11Z\"}",  // not UTF-8
    };
    for (const auto& line : bad) EXPECT_FALSE(decodeActivityEntry(QByteArray::fromStdString(line))) << line;
}

TEST(ActivityLog, NoFileIsAnEmptyLogAndNothingIsCreatedUntilTheFirstAppend) {
    QTemporaryDir tmp;
    QString dir = tmp.filePath("deeper/Quillmate Host");
    ActivityLog log(dir);
    EXPECT_EQ(log.filePath(), dir + "/activity.jsonl");
    EXPECT_TRUE(log.entries().isEmpty());
    log.prune(kStart);
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("deeper")));

    ActivityEntry e = entry(kId1, kStart);
    log.append(e);
    EXPECT_EQ(readAll(log.filePath()), encodeActivityEntry(e) + "\n");
    EXPECT_EQ(log.entries(), QList<ActivityEntry>{e});
}

TEST(ActivityLog, DefaultFolderFollowsXdgDataHome) {
    QByteArray saved = qgetenv("XDG_DATA_HOME");
    QTemporaryDir tmp;
    qputenv("XDG_DATA_HOME", tmp.path().toUtf8());
    EXPECT_EQ(defaultActivityLogDirectory(), tmp.path() + "/Quillmate Host");
    EXPECT_EQ(ActivityLog().filePath(), tmp.path() + "/Quillmate Host/activity.jsonl");
    qunsetenv("XDG_DATA_HOME");
    EXPECT_EQ(defaultActivityLogDirectory(), QDir::homePath() + "/.local/share/Quillmate Host");
    if (!saved.isNull()) qputenv("XDG_DATA_HOME", saved);
}

TEST(ActivityLog, BadLinesAreSkippedAndTheNextWriteDropsOnlyThem) {
    QTemporaryDir tmp;
    ActivityLog log(tmp.path());
    ActivityEntry a = entry(kId1, kStart);
    ActivityEntry b = entry(kId2, kStart + seconds(60), kStart + seconds(90));
    writeBytes(log.filePath(), "\n\n" + encodeActivityEntry(a) + "\r\n{\"broken\": \n" + "garbage\xff\n\n" +
                                   encodeActivityEntry(b));  // the last line has no line feed
    EXPECT_EQ(log.entries(), (QList<ActivityEntry>{a, b}));

    ActivityEntry c = entry(kId3, kStart + seconds(120));
    log.append(c);
    EXPECT_EQ(readAll(log.filePath()),
              encodeActivityEntry(a) + "\n" + encodeActivityEntry(b) + "\n" + encodeActivityEntry(c) + "\n");
}

TEST(ActivityLog, EmptyFilesAndEmptyWrites) {
    QTemporaryDir tmp;
    writeBytes(tmp.filePath("a/activity.jsonl"), "");
    writeBytes(tmp.filePath("b/activity.jsonl"), "\n\n\n");
    EXPECT_TRUE(ActivityLog(tmp.filePath("a")).entries().isEmpty());
    EXPECT_TRUE(ActivityLog(tmp.filePath("b")).entries().isEmpty());

    ActivityLog log(tmp.filePath("c"));
    log.append(entry(kId1, kStart));
    log.write({});
    EXPECT_TRUE(QFileInfo::exists(log.filePath()));
    EXPECT_EQ(QFileInfo(log.filePath()).size(), 0);
    EXPECT_TRUE(log.entries().isEmpty());
}

TEST(ActivityLog, FinishClosesTheFirstMatchAndAnUnknownIdTouchesNothing) {
    QTemporaryDir tmp;
    ActivityLog log(tmp.path());
    ActivityEntry a = entry(kId1, kStart);
    ActivityEntry b = entry(kId2, kStart + seconds(5));
    log.write({a, b});
    QByteArray before = readAll(log.filePath());
    ageFile(log.filePath());
    QDateTime stamp = modified(log.filePath());

    log.finish(QUuid::fromString(QLatin1StringView(kId3)), kStart + seconds(9), "whatever");
    EXPECT_EQ(readAll(log.filePath()), before);
    EXPECT_EQ(modified(log.filePath()), stamp);

    log.finish(b.id, kStart + seconds(30), "The controller stopped responding");
    log.finish(b.id, kStart + seconds(40), "Session closed by the controller");  // a later end wins
    auto list = ActivityLog(tmp.path()).entries();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0], a);
    EXPECT_EQ(list[1].endedAt, kStart + seconds(40));
    EXPECT_EQ(list[1].endReason, "Session closed by the controller");
}

TEST(ActivityLog, PruneKeepsTheCutOffDropsOlderJudgesOpenEntriesByStartAndWritesOnlyWhenNeeded) {
    QTemporaryDir tmp;
    ActivityLog log(tmp.path());
    SystemTime now = kStart + hours(24 * 40);
    SystemTime cutoff = now - seconds(2'592'000);
    ActivityEntry atCutoff = entry(kId1, cutoff - hours(5), cutoff);             // ended exactly at the cut-off
    ActivityEntry olderByASecond = entry(kId2, cutoff - hours(5), cutoff - seconds(1));
    ActivityEntry openOld = entry(kId3, cutoff - seconds(1));                     // open: judged by its start
    ActivityEntry openRecent = entry("11111111-2222-3333-4444-555555555555", cutoff);
    log.write({atCutoff, olderByASecond, openOld, openRecent});

    log.prune(now);
    EXPECT_EQ(log.entries(), (QList<ActivityEntry>{atCutoff, openRecent}));
    EXPECT_EQ(ActivityLog(tmp.path()).entries(), (QList<ActivityEntry>{atCutoff, openRecent}));

    // Nothing more to drop: the file is left alone.
    QByteArray before = readAll(log.filePath());
    ageFile(log.filePath());
    QDateTime stamp = modified(log.filePath());
    ActivityLog fresh(tmp.path());
    fresh.prune(now);
    EXPECT_EQ(readAll(log.filePath()), before);
    EXPECT_EQ(modified(log.filePath()), stamp);
}

TEST(ActivityLog, TheListInMemoryIsTheTruthAfterTheFirstRead) {
    QTemporaryDir tmp;
    ActivityLog log(tmp.path());
    ActivityEntry precise = entry(kId1, kStart + milliseconds(640));
    log.append(precise);
    // Within this run the exact time is kept; the file holds whole seconds.
    EXPECT_EQ(log.entries().at(0).startedAt, kStart + milliseconds(640));
    EXPECT_EQ(ActivityLog(tmp.path()).entries().at(0).startedAt, kStart);

    // Another writer's change is not seen, and is overwritten by the next write.
    writeBytes(log.filePath(), encodeActivityEntry(entry(kId2, kStart)) + "\n");
    EXPECT_EQ(log.entries(), QList<ActivityEntry>{precise});
    log.append(entry(kId3, kStart));
    auto onDisk = ActivityLog(tmp.path()).entries();
    ASSERT_EQ(onDisk.size(), 2);
    EXPECT_EQ(onDisk[0].id, precise.id);
    EXPECT_EQ(onDisk[1].id, QUuid::fromString(QLatin1StringView(kId3)));
}

TEST(ActivityLog, AReadFailureThrowsAndTheNextCallTriesAgain) {
    QTemporaryDir tmp;
    ActivityLog log(tmp.path());
    ASSERT_TRUE(QDir().mkpath(log.filePath()));  // a folder where the file should be
    EXPECT_THROW(log.entries(), ActivityLogError);
    EXPECT_THROW(log.append(entry(kId1, kStart)), ActivityLogError);

    ASSERT_TRUE(QDir(log.filePath()).removeRecursively());

    // A damaged file far beyond any real log, and a pipe, are refused rather than read (a pipe
    // would wait for a writer for ever); the file stays as it is.
    writeBytes(log.filePath(), encodeActivityEntry(entry(kId2, kStart)) + "\n");
    QFile big(log.filePath());
    ASSERT_TRUE(big.resize(ActivityLog::kMaximumFileBytes + 1));
    try {
        log.entries();
        FAIL() << "no error";
    } catch (const ActivityLogError& e) {
        EXPECT_EQ(e.description(), "The file “activity.jsonl” could not be read: it is larger than 32 MB");
    }
    EXPECT_EQ(QFileInfo(log.filePath()).size(), ActivityLog::kMaximumFileBytes + 1);
    ASSERT_TRUE(QFile::remove(log.filePath()));
    ASSERT_EQ(mkfifo(log.filePath().toLocal8Bit().constData(), 0600), 0);
    EXPECT_THROW(log.prune(kStart), ActivityLogError);
    ASSERT_TRUE(QFile::remove(log.filePath()));

    writeBytes(log.filePath(), encodeActivityEntry(entry(kId2, kStart)) + "\n");
    EXPECT_EQ(log.entries().size(), 1);
}

TEST(ActivityLog, AFailedWriteKeepsTheOldFileWholeAndTheOldListInMemory) {
    QTemporaryDir tmp;
    ActivityLog blocked(tmp.filePath("file/sub"));
    writeBytes(tmp.filePath("file"), "not a folder");
    try {
        blocked.append(entry(kId1, kStart));
        FAIL() << "no error";
    } catch (const ActivityLogError& e) {
        EXPECT_EQ(e.description(), "The folder “sub” could not be created.");
    }
    EXPECT_TRUE(blocked.entries().isEmpty());

    // A write that would make a file larger than the reader accepts fails and changes nothing.
    const ActivityEntry one = entry(kId1, kStart);
    const qint64 twoLines = 2 * (encodeActivityEntry(one).size() + 1);
    ActivityLog small(tmp.filePath("small"), twoLines);
    small.append(one);
    small.append(entry(kId2, kStart));
    const QByteArray full = readAll(small.filePath());
    try {
        small.append(entry(kId3, kStart));
        FAIL() << "no error";
    } catch (const ActivityLogError& e) {
        EXPECT_EQ(e.description(), "The file “activity.jsonl” could not be saved: it would be larger than " +
                                       std::to_string(twoLines) + " bytes");
    }
    EXPECT_EQ(readAll(small.filePath()), full);
    EXPECT_EQ(small.entries().size(), 2);
    EXPECT_EQ(ActivityLog(tmp.filePath("small"), twoLines).entries().size(), 2);

    // A write that runs out of room (a file-size limit) fails part way: the old file stays.
    ActivityLog log(tmp.filePath("log"));
    ActivityEntry a = entry(kId1, kStart);
    log.append(a);
    QByteArray before = readAll(log.filePath());
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(before.size() + 20);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    bool threw = false;
    try {
        log.append(entry(kId2, kStart + seconds(1)));
    } catch (const ActivityLogError& e) {
        threw = true;
        EXPECT_NE(e.description().find("“activity.jsonl” could not be saved"), std::string::npos) << e.description();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_EQ(readAll(log.filePath()), before);
    EXPECT_EQ(log.entries(), QList<ActivityEntry>{a});
    EXPECT_EQ(QDir(tmp.filePath("log")).entryList(QDir::Files | QDir::Hidden), QStringList{"activity.jsonl"});
}

TEST(ActivityLog, ConcurrentAppendsAreEachWholeAndNoneIsLost) {
    QTemporaryDir tmp;
    ActivityLog log(tmp.path());
    constexpr int kThreads = 6;
    constexpr int kEach = 15;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kEach; ++i) {
                ActivityEntry e = entry(kId1, kStart + seconds(t * 100 + i));
                e.id = QUuid::createUuid();
                log.append(e);
            }
        });
    }
    for (auto& th : threads) th.join();
    auto list = ActivityLog(tmp.path()).entries();
    EXPECT_EQ(list.size(), kThreads * kEach);
    EXPECT_EQ(list, log.entries());
}
