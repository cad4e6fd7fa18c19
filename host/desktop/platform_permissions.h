#pragma once

#include <string>

namespace quill::host {

// The host's two system permissions, as the desktop grants them.
class PermissionProbe {
public:
    virtual ~PermissionProbe() = default;
    // Whether the screen can be captured.
    virtual bool screenRecordingGranted() const = 0;
    // Whether input can be injected.
    virtual bool accessibilityGranted() const = 0;
};

// On X11 nothing is granted or refused per application: the answers are what the server
// lets this client do. Screen recording: an image of the screen can be read (through shared
// memory or plainly). Accessibility: the server offers XTEST. Each probe opens a fresh
// connection, so a server that went away answers false.
class X11PermissionProbe : public PermissionProbe {
public:
    explicit X11PermissionProbe(std::string displayName = {}) : displayName_(std::move(displayName)) {}
    bool screenRecordingGranted() const override;
    bool accessibilityGranted() const override;

private:
    std::string displayName_;
};

}  // namespace quill::host
