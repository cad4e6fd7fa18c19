#pragma once

#include <QString>
#include <memory>
#include <optional>

namespace quill::host::ui {

// "Open at login" as the desktop keeps it: the XDG autostart entry of this program.
class AutostartControl {
public:
    // configHome: $XDG_CONFIG_HOME by default; executable: this program by default.
    explicit AutostartControl(std::optional<QString> configHome = std::nullopt,
                              std::optional<QString> executable = std::nullopt);
    ~AutostartControl();
    AutostartControl(const AutostartControl&) = delete;
    AutostartControl& operator=(const AutostartControl&) = delete;

    bool isEnabled() const;
    // Writes or removes the entry; throws a quill::Error with the system's text on failure.
    void setEnabled(bool enabled);
    // The folder the desktop reads login items from.
    QString directoryPath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quill::host::ui
