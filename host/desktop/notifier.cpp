#include "host/desktop/notifier.h"

#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QUuid>
#include <QVariantMap>

#include "host/desktop/dbus_reply.h"

namespace quill::host {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

QDBusMessage call(const QString& method) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    m.setAutoStartService(false);
    return m;
}
}  // namespace

QString sessionNotificationTitle() { return QStringLiteral("Quillmate session started"); }

QString sessionNotificationBody(const QString& peerName) { return peerName + QStringLiteral(" is viewing this computer."); }

QString newNotificationIdentifier() {
    return QStringLiteral("session-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString escapeNotificationMarkup(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'&')
            out += QStringLiteral("&amp;");
        else if (c == u'<')
            out += QStringLiteral("&lt;");
        else if (c == u'>')
            out += QStringLiteral("&gt;");
        else
            out += c;
    }
    return out;
}

DBusNotifier::DBusNotifier(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {}

void DBusNotifier::requestAuthorization() {
    if (markup_ == Markup::unknown) askCapabilities();
}

void DBusNotifier::askCapabilities() {
    markup_ = Markup::asking;
    onReply(bus_.asyncCall(call(QStringLiteral("GetCapabilities"))), this, [this](const QDBusPendingCall& done) {
        QDBusPendingReply<QStringList> reply = done;
        if (reply.isError()) {
            // Not known: escape, so that markup in a peer's name is never interpreted.
            markup_ = Markup::unknown;
        } else {
            markup_ = reply.value().contains(QStringLiteral("body-markup")) ? Markup::escaped : Markup::plain;
        }
        for (const auto& [identifier, name] : std::exchange(waiting_, {})) sendNotify(identifier, name);
    });
}

void DBusNotifier::postSessionStartedNotification(const QString& peerName) {
    QString identifier = newNotificationIdentifier();
    lastIdentifier_ = identifier;
    if (markup_ == Markup::unknown || markup_ == Markup::asking) {
        waiting_.append({identifier, peerName});
        if (markup_ == Markup::unknown) askCapabilities();
        return;
    }
    sendNotify(identifier, peerName);
}

void DBusNotifier::sendNotify(const QString& identifier, const QString& peerName) {
    // The name comes from a peer: only a server known to show markup literally gets it raw.
    QString body = sessionNotificationBody(peerName);
    if (markup_ != Markup::plain) body = escapeNotificationMarkup(body);
    QDBusMessage m = call(QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    m << QStringLiteral("Quillmate Host") << uint(0) << QString() << sessionNotificationTitle() << body << QStringList()
      << hints << qint32(-1);
    onReply(bus_.asyncCall(m), this, [this, identifier](const QDBusPendingCall& done) {
        QDBusPendingReply<uint> reply = done;
        emit notificationAnswered(identifier, reply.isError() ? 0u : reply.value());
    });
}

}  // namespace quill::host
