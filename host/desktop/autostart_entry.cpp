#include "host/desktop/autostart_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

namespace quill::host {

namespace {

std::string utf8(const QString& s) { return s.toStdString(); }

QString thisProgram() {
    QString target = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return target.isEmpty() ? QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget() : target;
}

}  // namespace

AutostartEntry::AutostartEntry(std::optional<QString> configHome, std::optional<QString> executable)
    : directory_((configHome ? *configHome : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)) +
                 QStringLiteral("/autostart")),
      filePath_(directory_ + QStringLiteral("/quillmate-host.desktop")),
      executable_(executable ? *executable : thisProgram()) {}

QString AutostartEntry::execValue(const QString& executable) {
    // An argument holding a reserved character is double-quoted, with " ` $ \ escaped inside.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = executable.isEmpty();
    for (QChar c : executable)
        if (reserved.contains(c)) quote = true;
    QString arg;
    if (quote) {
        arg += u'"';
        for (QChar c : executable) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') arg += u'\\';
            arg += c;
        }
        arg += u'"';
    } else {
        arg = executable;
    }
    // "%" starts a field code; the value is then a string, whose own escapes come last.
    arg.replace(u'%', QStringLiteral("%%"));
    QString value;
    for (QChar c : arg) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else
            value += c;
    }
    return value;
}

QByteArray AutostartEntry::desktopFileContents(const QString& executable) {
    QString text = QStringLiteral(
                       "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Quillmate Host\n"
                       "Exec=") +
                   execValue(executable) + QStringLiteral("\nX-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

void AutostartEntry::registerItem() {
    if (!QDir().mkpath(directory_))
        throw LoginItemError("The folder “" + utf8(directory_) + "” could not be created.");
    QByteArray contents = desktopFileContents(executable_);
    QSaveFile file(filePath_);
    // Unbuffered, so a short write is seen before the file is put in place.
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(contents) == contents.size();
    int writeErrno = errno;
    if (!written || !file.commit()) {
        std::string why = utf8(file.errorString());
        if (file.error() == QFileDevice::NoError || why.empty() || why == "Unknown error") why = std::strerror(writeErrno);
        throw LoginItemError(why);
    }
}

void AutostartEntry::unregisterItem() {
    QFileInfo info(filePath_);
    if (!info.exists() && !info.isSymLink()) return;
    QFile file(filePath_);
    if (!file.remove()) {
        std::string why = utf8(file.errorString());
        if (info.isDir()) why = "“" + utf8(filePath_) + "” is a folder, not a file.";
        throw LoginItemError(why);
    }
}

bool AutostartEntry::isEnabled() const {
    QFile file(filePath_);
    if (!QFileInfo(filePath_).isFile() || !file.open(QIODevice::ReadOnly)) return false;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    bool hidden = false;
    bool switchedOff = false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup) continue;
        qsizetype eq = line.indexOf('=');
        if (eq < 0) return false;  // not a desktop entry
        QByteArray key = line.left(eq).trimmed();
        QByteArray value = line.mid(eq + 1).trimmed();
        if (key == "Hidden") hidden = value == "true";
        if (key == "X-GNOME-Autostart-enabled") switchedOff = value == "false";
    }
    return sawMainGroup && !hidden && !switchedOff;
}

}  // namespace quill::host
