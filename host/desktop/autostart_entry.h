#pragma once

#include <QString>
#include <optional>

#include "quillcore/base/error.h"

namespace quill::host {

// Registering or removing the login item failed; the text is the system's.
class LoginItemError : public Error {
public:
    explicit LoginItemError(std::string text) : text(std::move(text)) {}
    std::string description() const override { return text; }
    bool operator==(const LoginItemError&) const = default;
    std::string text;
};

// Starting the host when the user logs in.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual void registerItem() = 0;    // throws LoginItemError
    virtual void unregisterItem() = 0;  // throws LoginItemError; nothing registered is success
    virtual bool isEnabled() const = 0;
};

// An XDG autostart entry, <config home>/autostart/quillmate-host.desktop.
class AutostartEntry : public LoginItemService {
public:
    // configHome: $XDG_CONFIG_HOME (default ~/.config); executable: this program.
    explicit AutostartEntry(std::optional<QString> configHome = std::nullopt,
                            std::optional<QString> executable = std::nullopt);

    QString filePath() const { return filePath_; }
    // <config home>/autostart, the folder the desktop reads these entries from.
    QString directoryPath() const { return directory_; }

    void registerItem() override;
    void unregisterItem() override;
    // The file exists and reads as a desktop entry that is neither hidden nor switched off.
    bool isEnabled() const override;

    // The file written for `executable`.
    static QByteArray desktopFileContents(const QString& executable);
    // `executable` as the Exec key's value: quoted and escaped as desktop entries require.
    static QString execValue(const QString& executable);

private:
    QString directory_;
    QString filePath_;
    QString executable_;
};

}  // namespace quill::host
