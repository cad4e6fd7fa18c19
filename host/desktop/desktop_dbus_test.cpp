#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDesktopServices>
#include <QTemporaryDir>
#include <QUrl>
#include <QVariantMap>
#include <memory>

#include "host/desktop/notifier.h"
#include "host/desktop/url_opener.h"
#include "host/runtime/test_support.h"

using namespace quill::host;
using quill::host::testing::pumpUntil;

namespace {

struct NotifyCall {
    QString app;
    uint replacesId;
    QString icon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int timeout;
};

// A notification server, on a bus connection of its own.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<NotifyCall> calls;
    QStringList capabilities{"body", "body-markup", "sound"};
    int capabilityQueries = 0;

public slots:
    Q_SCRIPTABLE QStringList GetCapabilities() {
        ++capabilityQueries;
        return capabilities;
    }
    Q_SCRIPTABLE uint Notify(const QString& app, uint replacesId, const QString& icon, const QString& summary,
                             const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout) {
        calls.append({app, replacesId, icon, summary, body, actions, hints, timeout});
        return 100 + static_cast<uint>(calls.size());
    }
};

// A file manager that only records what it was asked to show.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QList<QStringList> shown;
    QStringList startupIds;

public slots:
    Q_SCRIPTABLE void ShowItems(const QStringList& uris, const QString& startupId) {
        shown.append(uris);
        startupIds.append(startupId);
    }
};

// Registers `object` under `service` on a fresh connection; gone when this is destroyed.
class ServiceOnBus {
public:
    ServiceOnBus(QObject* object, const QString& service, const QString& path)
        : name_("fake-" + service), bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name_)),
          service_(service) {
        ok_ = bus_.isConnected() && bus_.registerObject(path, object, QDBusConnection::ExportScriptableSlots) &&
              bus_.registerService(service);
    }
    ~ServiceOnBus() {
        bus_.unregisterService(service_);
        QDBusConnection::disconnectFromBus(name_);
    }
    bool ok() const { return ok_; }

private:
    QString name_;
    QDBusConnection bus_;
    QString service_;
    bool ok_ = false;
};

// Records a notifier's answers.
struct Answers {
    QList<std::pair<QString, uint>> list;
    explicit Answers(DBusNotifier& notifier) {
        QObject::connect(&notifier, &DBusNotifier::notificationAnswered,
                         [this](const QString& id, uint serverId) { list.append({id, serverId}); });
    }
    qsizetype size() const { return list.size(); }
};

struct Reveals {
    QList<std::pair<QString, bool>> list;
    explicit Reveals(DesktopUrlOpener& opener) {
        QObject::connect(&opener, &DesktopUrlOpener::revealed,
                         [this](const QString& path, bool fellBack) { list.append({path, fellBack}); });
    }
    qsizetype size() const { return list.size(); }
};

// Catches what QDesktopServices would open.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class DBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (qgetenv("DBUS_SESSION_BUS_ADDRESS").isEmpty() || !QDBusConnection::sessionBus().isConnected()) {
            if (qgetenv("CI") == "true") FAIL() << "no session bus (run under dbus-run-session)";
            GTEST_SKIP() << "no session bus (run under dbus-run-session)";
        }
    }
};

}  // namespace

TEST_F(DBusTest, EachSessionPostsItsOwnNotificationWithTheFixedFields) {
    FakeNotifications server;
    ServiceOnBus registration(&server, "org.freedesktop.Notifications", "/org/freedesktop/Notifications");
    ASSERT_TRUE(registration.ok());

    DBusNotifier notifier;
    Answers answered(notifier);
    notifier.requestAuthorization();
    notifier.postSessionStartedNotification("Pat's iPad");
    QString first = notifier.lastIdentifier();
    notifier.postSessionStartedNotification("Sam's Mac");
    QString second = notifier.lastIdentifier();
    ASSERT_TRUE(pumpUntil([&] { return answered.size() == 2; }));

    EXPECT_EQ(server.capabilityQueries, 1);
    ASSERT_EQ(server.calls.size(), 2);
    for (const auto& call : server.calls) {
        EXPECT_EQ(call.app, "Quillmate Host");
        EXPECT_EQ(call.replacesId, 0u);
        EXPECT_EQ(call.icon, "");
        EXPECT_EQ(call.summary, "Quillmate session started");
        EXPECT_TRUE(call.actions.isEmpty());
        EXPECT_EQ(call.hints.value("sound-name").toString(), "message-new-instant");
        EXPECT_EQ(call.timeout, -1);
    }
    EXPECT_EQ(server.calls[0].body, "Pat's iPad is viewing this computer.");
    EXPECT_EQ(server.calls[1].body, "Sam's Mac is viewing this computer.");
    EXPECT_NE(first, second);
    EXPECT_EQ(answered.list[0].first, first);
    EXPECT_EQ(answered.list[0].second, 101u);
    EXPECT_EQ(answered.list[1].first, second);
    EXPECT_EQ(answered.list[1].second, 102u);
}

TEST_F(DBusTest, PeerNamesAreEscapedWhereTheServerReadsMarkupAndOnlyThere) {
    {
        FakeNotifications server;  // lists body-markup
        ServiceOnBus registration(&server, "org.freedesktop.Notifications", "/org/freedesktop/Notifications");
        ASSERT_TRUE(registration.ok());
        DBusNotifier notifier;
        Answers answered(notifier);
        // Posted before anything is known: the capabilities are asked first.
        notifier.postSessionStartedNotification("<b>x</b>&y");
        notifier.postSessionStartedNotification("");
        ASSERT_TRUE(pumpUntil([&] { return answered.size() == 2; }));
        ASSERT_EQ(server.calls.size(), 2);
        EXPECT_EQ(server.calls[0].body, "&lt;b&gt;x&lt;/b&gt;&amp;y is viewing this computer.");
        EXPECT_EQ(server.calls[1].body, " is viewing this computer.");
        EXPECT_EQ(server.capabilityQueries, 1);
    }
    {
        FakeNotifications server;
        server.capabilities = {"body", "sound"};  // shows bodies as plain text
        ServiceOnBus registration(&server, "org.freedesktop.Notifications", "/org/freedesktop/Notifications");
        ASSERT_TRUE(registration.ok());
        DBusNotifier notifier;
        Answers answered(notifier);
        notifier.requestAuthorization();
        notifier.postSessionStartedNotification("<b>x</b>&y");
        ASSERT_TRUE(pumpUntil([&] { return answered.size() == 1; }));
        ASSERT_EQ(server.calls.size(), 1);
        EXPECT_EQ(server.calls[0].body, "<b>x</b>&y is viewing this computer.");
    }
}

TEST_F(DBusTest, WithoutANotificationServiceOrABusNothingHappens) {
    // No service on the bus, and none is started on demand.
    DBusNotifier notifier;
    Answers answered(notifier);
    notifier.requestAuthorization();
    notifier.postSessionStartedNotification("Pat");
    ASSERT_TRUE(pumpUntil([&] { return answered.size() == 1; }));
    EXPECT_EQ(answered.list[0].second, 0u);
    EXPECT_FALSE(QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"));

    // A bus that cannot be reached.
    QDBusConnection nowhere = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/quill-bus"), "nowhere");
    ASSERT_FALSE(nowhere.isConnected());
    DBusNotifier cutOff(nowhere);
    Answers cutOffAnswered(cutOff);
    cutOff.requestAuthorization();
    cutOff.postSessionStartedNotification("Pat");
    cutOff.postSessionStartedNotification("Sam");
    ASSERT_TRUE(pumpUntil([&] { return cutOffAnswered.size() == 2; }));
    EXPECT_EQ(cutOffAnswered.list[0].second, 0u);
    QDBusConnection::disconnectFromBus("nowhere");
}

TEST_F(DBusTest, RevealAsksTheFileManagerToShowTheFile) {
    FakeFileManager manager;
    ServiceOnBus registration(&manager, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1");
    ASSERT_TRUE(registration.ok());
    OpenedUrls opened;
    QDesktopServices::setUrlHandler("file", &opened, "open");

    QTemporaryDir tmp;
    QString path = tmp.path() + "/Quillmate Host/activity.jsonl";  // need not exist
    DesktopUrlOpener opener;
    Reveals revealed(opener);
    opener.revealFile(path);
    ASSERT_TRUE(pumpUntil([&] { return revealed.size() == 1; }));
    QDesktopServices::unsetUrlHandler("file");

    EXPECT_FALSE(revealed.list[0].second);
    ASSERT_EQ(manager.shown.size(), 1);
    EXPECT_EQ(manager.shown[0], QStringList{"file://" + QString(QUrl::toPercentEncoding(tmp.path(), "/")) +
                                            "/Quillmate%20Host/activity.jsonl"});
    EXPECT_EQ(manager.startupIds, QStringList{""});
    EXPECT_TRUE(opened.urls.isEmpty());
}

TEST_F(DBusTest, RevealWithoutAFileManagerOpensTheFolderInstead) {
    OpenedUrls opened;
    QDesktopServices::setUrlHandler("file", &opened, "open");
    QTemporaryDir tmp;
    DesktopUrlOpener opener;
    Reveals revealed(opener);
    opener.revealFile(tmp.path() + "/Quillmate Host/activity.jsonl");
    ASSERT_TRUE(pumpUntil([&] { return revealed.size() == 1; }, 30.0));
    QDesktopServices::unsetUrlHandler("file");
    EXPECT_TRUE(revealed.list[0].second);
    EXPECT_EQ(opened.urls, QList<QUrl>{QUrl::fromLocalFile(tmp.path() + "/Quillmate Host")});

    // No bus at all: the same.
    QDBusConnection nowhere = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/quill-bus"), "nowhere2");
    DesktopUrlOpener cutOff(nowhere);
    Reveals cutOffRevealed(cutOff);
    QDesktopServices::setUrlHandler("file", &opened, "open");
    cutOff.revealFile(tmp.path() + "/elsewhere/activity.jsonl");
    ASSERT_TRUE(pumpUntil([&] { return cutOffRevealed.size() == 1; }));
    QDesktopServices::unsetUrlHandler("file");
    QDBusConnection::disconnectFromBus("nowhere2");
    EXPECT_TRUE(cutOffRevealed.list[0].second);
    EXPECT_EQ(opened.urls.last(), QUrl::fromLocalFile(tmp.path() + "/elsewhere"));

    // Plain URLs go straight to the desktop's handler.
    OpenedUrls web;
    QDesktopServices::setUrlHandler("https", &web, "open");
    opener.openUrl(QUrl("https://example.com/help#accessibility"));
    QDesktopServices::unsetUrlHandler("https");
    EXPECT_EQ(web.urls, QList<QUrl>{QUrl("https://example.com/help#accessibility")});
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "desktop_dbus_test.moc"
