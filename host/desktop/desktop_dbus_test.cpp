// Notifications and file reveal against fake services on a private session bus, and the real
// launcher path with a stand-in launcher.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QTemporaryDir>
#include <QVariantMap>

#include "host/desktop/notifier.h"
#include "host/desktop/url_opener.h"
#include "host/runtime/test_support.h"
#include "quillcore/base/diagnostics.h"

using namespace quill::host;
using quill::host::testing::pumpUntil;

namespace {

// A notification server and a file manager that record what they are asked.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList capabilities, bodies;
    int queries = 0;
public slots:
    Q_SCRIPTABLE QStringList GetCapabilities() { return ++queries, capabilities; }
    Q_SCRIPTABLE uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                             const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout) {
        // Every field but the body is fixed.
        const bool fixed = app == "Quillmate Host" && replaces == 0 && icon.isEmpty() && summary == "Quillmate session started" &&
                           actions.isEmpty() && hints.value("sound-name") == "message-new-instant" && timeout == -1;
        bodies << (fixed ? body : "<unexpected fields>");
        return 100 + bodies.size();
    }
};

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
public slots:
    Q_SCRIPTABLE void ShowItems(const QStringList& uris, const QString& startupId) { shown << uris << startupId; }
};

// Registers `object` under `service` on a connection of its own, for as long as this lives.
struct ServiceOnBus {
    ServiceOnBus(QObject* object, const QString& service) {
        const QString path = "/" + QString(service).replace('.', '/');
        EXPECT_TRUE(bus.registerObject(path, object, QDBusConnection::ExportScriptableSlots) && bus.registerService(service));
    }
    ~ServiceOnBus() { QDBusConnection::disconnectFromBus(bus.name()); }
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-" + QString::number(quintptr(this)));
};

class DBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QDBusConnection::sessionBus().isConnected() && qgetenv("CI") == "true") FAIL() << "no session bus";
        if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus (run under dbus-run-session)";
    }
    QDBusConnection nowhere = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "nowhere");
};

// Posts to `notifier` and waits for the answers (server ids; 0 for a failed call).
QList<uint> post(DBusNotifier& notifier, const QStringList& names) {
    QList<uint> answers;
    QObject context;
    QObject::connect(&notifier, &DBusNotifier::notificationAnswered, &context, [&](const QString&, uint id) { answers << id; });
    for (const QString& name : names) notifier.postSessionStartedNotification(name);
    pumpUntil([&] { return answers.size() == names.size(); });
    return answers;
}

}  // namespace

TEST_F(DBusTest, PeerNamesAreEscapedWhereTheServerReadsMarkupAndOnlyThere) {
    struct Row {
        QStringList capabilities, bodies;
    };
    for (const Row& row : {Row{{"body", "body-markup"}, {"&lt;b&gt;x&lt;/b&gt;&amp;y is viewing this computer.", " is viewing this computer."}},
                           Row{{"body"}, {"<b>x</b>&y is viewing this computer.", " is viewing this computer."}}}) {
        FakeNotifications server;
        server.capabilities = row.capabilities;
        ServiceOnBus registration(&server, "org.freedesktop.Notifications");
        DBusNotifier notifier;
        // Posted before anything is known: the capabilities are asked first, once.
        EXPECT_EQ(post(notifier, {"<b>x</b>&y", ""}), (QList<uint>{101, 102}));
        EXPECT_EQ(server.bodies, row.bodies);
        EXPECT_EQ(server.queries, 1);
    }
    // No service, and none started on demand; a bus that cannot be reached: nothing happens.
    DBusNotifier alone, cutOff(nowhere);
    EXPECT_EQ(post(alone, {"Pat"}), QList<uint>{0});
    EXPECT_FALSE(QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"));
    EXPECT_EQ(post(cutOff, {"Pat", "Sam"}), (QList<uint>{0, 0}));
    const QString id = newNotificationIdentifier();
    EXPECT_TRUE(id.startsWith("session-") && id.size() == 44 && id.mid(8) == id.mid(8).toUpper() && id != newNotificationIdentifier());
}

TEST_F(DBusTest, RevealAsksTheFileManagerElseTheLauncherAndTellsWhatBecameOfIt) {
    QTemporaryDir tmp;
    // A launcher that records what it opens, and fails for what it is told to fail.
    const QString launcher = tmp.filePath("launcher"), log = tmp.filePath("opened");
    QFile script(launcher);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    script.write(("#!/bin/sh\necho \"$1\" >> '" + log + "'\ncase \"$1\" in *fail*) echo 'no handler here' >&2; exit 4;; esac\n").toUtf8());
    script.close();
    auto opened = [&] {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts) : QStringList();
    };
    auto outcome = [](auto start) {  // what the opener tells of one request
        std::optional<std::optional<QString>> done;
        start([&](std::optional<QString> problem) { done.emplace(problem); });
        pumpUntil([&] { return done.has_value(); }, 10);
        return done.value_or(QString("<no answer>"));
    };
    const QString file = tmp.path() + "/Quillmate Host/activity.jsonl";  // need not exist
    const QString folder = QUrl::fromLocalFile(tmp.path() + "/Quillmate Host").toString(QUrl::FullyEncoded);
    DesktopUrlOpener opener(QDBusConnection::sessionBus(), launcher), cutOff(nowhere, launcher);
    {
        FakeFileManager manager;
        ServiceOnBus registration(&manager, "org.freedesktop.FileManager1");
        EXPECT_EQ(outcome([&](auto done) { opener.revealFile(file, done); }), std::nullopt);
        EXPECT_EQ(manager.shown, (QStringList{"file://" + QUrl::toPercentEncoding(tmp.path(), "/") + "/Quillmate%20Host/activity.jsonl", ""}));
        EXPECT_TRUE(opened().isEmpty());
    }
    // No file manager, or no bus at all: the folder opens instead.
    EXPECT_EQ(outcome([&](auto done) { opener.revealFile(file, done); }), std::nullopt);
    EXPECT_EQ(outcome([&](auto done) { cutOff.revealFile(file, done); }), std::nullopt);
    EXPECT_EQ(opened(), (QStringList{folder, folder}));
    // A launcher that fails, or none at all: said in the host's words; the launcher's own go
    // to the host's output.
    std::vector<std::string> said;
    quill::setDiagnosticSink([&](std::string_view line) { said.emplace_back(line); });
    EXPECT_EQ(outcome([&](auto done) { cutOff.revealFile(tmp.path() + "/fail/x", done); }),
              "no file manager answered, and its folder could not be opened either: the program set to open it failed");
    DesktopUrlOpener missing(nowhere, tmp.filePath("no-such-launcher"));
    EXPECT_EQ(outcome([&](auto done) { missing.openUrl(QUrl("https://example.com/"), done); }),
              "no-such-launcher, which opens files and pages on this desktop, is not installed");
    quill::setDiagnosticSink({});
    EXPECT_EQ(said, std::vector<std::string>{"Quillmate Host: launcher file://" + QUrl::toPercentEncoding(tmp.path(), "/").toStdString() +
                                             "/fail: no handler here"});
    EXPECT_EQ(opened().size(), 3);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "desktop_dbus_test.moc"
