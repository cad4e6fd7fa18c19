#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

namespace quill::host {

// The URL a text forms, or nothing: it must be a valid URL in the strict sense, with a scheme.
std::optional<QUrl> urlFromText(const QString& text);

// Hands URLs and files to the desktop.
class UrlOpener {
public:
    // Told once what became of a request: nothing when the desktop took it, else why not (a
    // reason that reads on after "could not open it: ").
    using Done = std::function<void(std::optional<QString> problem)>;

    virtual ~UrlOpener() = default;
    // Opens the URL with the desktop's handler.
    virtual void openUrl(const QUrl& url, Done done = {}) = 0;
    // Shows the file selected in the file manager, or at least its folder. The file need not exist.
    virtual void revealFile(const QString& path, Done done = {}) = 0;
};

// The desktop's launcher (xdg-open), and org.freedesktop.FileManager1.ShowItems for revealing,
// falling back to opening the folder when no file manager answers.
class DesktopUrlOpener : public QObject, public UrlOpener {
    Q_OBJECT
public:
    explicit DesktopUrlOpener(QDBusConnection bus = QDBusConnection::sessionBus(),
                              QString launcher = QStringLiteral("xdg-open"), QObject* parent = nullptr);

    void openUrl(const QUrl& url, Done done = {}) override;
    void revealFile(const QString& path, Done done = {}) override;

    // A launcher still running after this long has started the application in its own place:
    // it has not failed.
    static constexpr int launchWaitMilliseconds = 5000;

private:
    QDBusConnection bus_;
    QString launcher_;
};

}  // namespace quill::host
