#include "host/desktop/url_opener.h"

#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>

#include "host/desktop/dbus_reply.h"

namespace quill::host {

std::optional<QUrl> urlFromText(const QString& text) {
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) return std::nullopt;
    return url;
}

DesktopUrlOpener::DesktopUrlOpener(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {}

void DesktopUrlOpener::openUrl(const QUrl& url) { QDesktopServices::openUrl(url); }

void DesktopUrlOpener::revealFile(const QString& path) {
    QString absolute = QFileInfo(path).absoluteFilePath();
    // File managers are commonly started on demand through the bus, so auto-start stays on.
    QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                    QStringLiteral("/org/freedesktop/FileManager1"),
                                                    QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    m << QStringList{QUrl::fromLocalFile(absolute).toString(QUrl::FullyEncoded)} << QString();
    onReply(bus_.asyncCall(m), this, [this, absolute](const QDBusPendingCall& done) {
        bool failed = done.isError();
        if (failed) QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(absolute).absolutePath()));
        emit revealed(absolute, failed);
    });
}

}  // namespace quill::host
