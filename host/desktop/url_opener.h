#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

namespace quill::host {

// The URL a text forms, or nothing: it must be a valid URL in the strict sense, with a scheme.
std::optional<QUrl> urlFromText(const QString& text);

// Hands URLs and files to the desktop.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // Opens the URL with the desktop's handler; the result is not reported.
    virtual void openUrl(const QUrl& url) = 0;
    // Shows the file selected in the file manager, or at least its folder. The file need not exist.
    virtual void revealFile(const QString& path) = 0;
};

// QDesktopServices, and org.freedesktop.FileManager1.ShowItems for revealing, falling back to
// opening the folder when no file manager answers.
class DesktopUrlOpener : public QObject, public UrlOpener {
    Q_OBJECT
public:
    explicit DesktopUrlOpener(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    void openUrl(const QUrl& url) override;
    void revealFile(const QString& path) override;

signals:
    // A reveal was handled: by the file manager, or (fellBack) by opening the folder.
    void revealed(const QString& path, bool fellBack);

private:
    QDBusConnection bus_;
};

}  // namespace quill::host
