#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace quill::host {

class X11Connection;

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
// memory or plainly). Accessibility: the server offers XTEST. The probes run twice a second on
// the main thread, so they share one connection and open a new one only when it broke; a
// server that went away answers false.
class X11PermissionProbe : public PermissionProbe {
public:
    explicit X11PermissionProbe(std::string displayName = {});
    ~X11PermissionProbe() override;
    bool screenRecordingGranted() const override;
    bool accessibilityGranted() const override;

private:
    template <class Probe>
    bool ask(Probe probe) const;

    std::string displayName_;
    mutable std::mutex lock_;
    mutable std::unique_ptr<X11Connection> connection_;  // guarded by lock_
};

}  // namespace quill::host
