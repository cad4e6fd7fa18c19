#include "host/desktop/url_opener.h"

#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <memory>
#include <utility>

#include "host/desktop/dbus_reply.h"

namespace quill::host {

namespace {

// The last thing a launcher said, as the reason it gives.
QString lastLine(const QByteArray& output) {
    const QList<QByteArray> lines = output.trimmed().split('\n');
    return QString::fromLocal8Bit(lines.last().trimmed()).left(300);
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
    // What the launcher says becomes the reason of a failure, never noise on the host's terminal.
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
    connect(process, &QProcess::errorOccurred, this, [this, process, settle](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        settle(launcher_ + QStringLiteral(" is not available"));
        process->deleteLater();
    });
    connect(process, &QProcess::finished, this,
            [this, process, state, settle](int code, QProcess::ExitStatus status) {
                state->output += process->readAll();
                if (status == QProcess::NormalExit && code == 0)
                    settle(std::nullopt);
                else if (const QString said = lastLine(state->output); !said.isEmpty())
                    settle(said);
                else
                    settle(launcher_ + QStringLiteral(" failed (status %1)").arg(code));
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
                done(problem ? std::optional<QString>(QStringLiteral("no file manager answered, and the folder could not be opened: ") +
                                                      *problem)
                             : std::nullopt);
        });
    });
}

}  // namespace quill::host
