#include "host/desktop/url_opener.h"

#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <memory>
#include <utility>

#include "host/desktop/dbus_reply.h"
#include "quillcore/base/diagnostics.h"

namespace quill::host {

namespace {

// The last thing a launcher said.
QString lastLine(const QByteArray& output) {
    const QList<QByteArray> lines = output.trimmed().split('\n');
    return QString::fromLocal8Bit(lines.last().trimmed()).left(300);
}

// Why a launcher failed, in the host's words, from its exit status (xdg-open's statuses); its
// own words are written for whoever reads the host's output.
QString launcherProblem(const QString& launcher, int code) {
    switch (code) {
        case 2: return QStringLiteral("it does not exist");
        case 3: return QStringLiteral("no program on this computer is set to open it");
        case 4: return QStringLiteral("the program set to open it failed");
        default: return QStringLiteral("%1, which opens files and pages on this desktop, failed").arg(launcher);
    }
}

}  // namespace

std::optional<QUrl> urlFromText(const QString& text) {
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) return std::nullopt;
    return url;
}

DesktopUrlOpener::DesktopUrlOpener(QDBusConnection bus, QString launcher, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), launcher_(std::move(launcher)) {}

void DesktopUrlOpener::openUrl(const QUrl& url, Done done) {
    // What the launcher says goes to the host's output only when it fails.
    auto* process = new QProcess(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    struct State {
        Done done;
        QByteArray output;
        bool settled = false;
    };
    auto state = std::make_shared<State>(State{std::move(done), {}, false});
    auto settle = [state](std::optional<QString> problem) {
        if (std::exchange(state->settled, true)) return;
        if (state->done) state->done(std::move(problem));
    };
    // Read all along, so a chatty application never blocks on a full pipe; keep only a tail.
    connect(process, &QProcess::readyRead, this, [process, state] {
        state->output = (state->output + process->readAll()).right(4096);
    });
    const QString name = QFileInfo(launcher_).fileName();
    connect(process, &QProcess::errorOccurred, this, [name, process, settle](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        settle(QStringLiteral("%1, which opens files and pages on this desktop, is not installed").arg(name));
        process->deleteLater();
    });
    connect(process, &QProcess::finished, this,
            [name, url, process, state, settle](int code, QProcess::ExitStatus status) {
                state->output += process->readAll();
                if (status == QProcess::NormalExit && code == 0) {
                    settle(std::nullopt);
                } else {
                    if (const QString said = lastLine(state->output); !said.isEmpty())
                        diagnostic(QStringLiteral("Quillmate Host: %1 %2: %3")
                                       .arg(name, url.toString(QUrl::FullyEncoded), said)
                                       .toStdString());
                    settle(launcherProblem(name, status == QProcess::NormalExit ? code : -1));
                }
                process->deleteLater();
            });
    QTimer::singleShot(launchWaitMilliseconds, process, [settle] { settle(std::nullopt); });
    process->start(launcher_, {url.toString(QUrl::FullyEncoded)});
}

void DesktopUrlOpener::revealFile(const QString& path, Done done) {
    QString absolute = QFileInfo(path).absoluteFilePath();
    // File managers are commonly started on demand through the bus, so auto-start stays on.
    QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                    QStringLiteral("/org/freedesktop/FileManager1"),
                                                    QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    m << QStringList{QUrl::fromLocalFile(absolute).toString(QUrl::FullyEncoded)} << QString();
    onReply(bus_.asyncCall(m), this, [this, absolute, done = std::move(done)](const QDBusPendingCall& call) {
        if (!call.isError()) {
            if (done) done(std::nullopt);
            return;
        }
        openUrl(QUrl::fromLocalFile(QFileInfo(absolute).absolutePath()), [done](std::optional<QString> problem) {
            if (done)
                done(problem ? std::optional<QString>(
                                   QStringLiteral("no file manager answered, and its folder could not be opened either: ") + *problem)
                             : std::nullopt);
        });
    });
}

}  // namespace quill::host
