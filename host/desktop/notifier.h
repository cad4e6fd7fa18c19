#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace quill::host {

// Tells the desktop's user that a controller started to view the screen.
class Notifier {
public:
    virtual ~Notifier() = default;
    // At launch: asks the notification service what it supports. The answer only decides how
    // bodies are escaped; failures are dropped.
    virtual void requestAuthorization() = 0;
    // Returns at once; the notification is handed over afterwards. Failures are dropped and
    // session start never waits for it.
    virtual void postSessionStartedNotification(const QString& peerName) = 0;
};

QString sessionNotificationTitle();                        // "Quillmate session started"
QString sessionNotificationBody(const QString& peerName);  // name + " is viewing this computer."
QString newNotificationIdentifier();                       // "session-" + an upper-case UUID

// Escapes the characters that a notification server reading body markup would interpret.
QString escapeNotificationMarkup(const QString& text);

// org.freedesktop.Notifications over D-Bus. The service is never auto-started: a desktop
// without one simply shows nothing. Each notification is new (replaces_id 0).
class DBusNotifier : public QObject, public Notifier {
    Q_OBJECT
public:
    explicit DBusNotifier(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    void requestAuthorization() override;
    void postSessionStartedNotification(const QString& peerName) override;

    // The identifier of the last notification posted (for logs and tests).
    QString lastIdentifier() const { return lastIdentifier_; }

signals:
    // The service answered a Notify call with its own id (0: the call failed).
    void notificationAnswered(const QString& identifier, uint serverId);

private:
    enum class Markup { unknown, asking, escaped, plain };
    void sendNotify(const QString& identifier, const QString& peerName);
    void askCapabilities();

    QDBusConnection bus_;
    Markup markup_ = Markup::unknown;
    QList<std::pair<QString, QString>> waiting_;  // (identifier, name) until the capabilities are known
    QString lastIdentifier_;
};

}  // namespace quill::host
