#pragma once

// What the host model needs of the desktop and of the user interface, as small interfaces:
// the application entry plugs the real ones in, tests plug in fakes.

#include <QImage>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "quillcore/signalling/session_mode.h"

namespace quill::host {

struct WindowSize {
    int width = 0;
    int height = 0;
    bool operator==(const WindowSize&) const = default;
};

// One window per purpose, opened and closed by identifier: "pairing", "peers", "activity",
// "permissions". show() brings an existing window to the front.
class HostWindowManager {
public:
    virtual ~HostWindowManager() = default;
    virtual void show(const QString& id, const QString& title, WindowSize size) = 0;
    // As show(), but the keyboard focus stays where the user has it: for windows the network
    // brings up, so that keys typed for another window never land in them.
    virtual void present(const QString& id, const QString& title, WindowSize size) = 0;
    virtual void close(const QString& id) = 0;
    virtual bool isVisible(const QString& id) const = 0;
};

// The screen capture of one session. start() and stop() block (they run on a worker);
// frames() is read under the engine's own lock from any thread.
class CaptureEngine {
public:
    virtual ~CaptureEngine() = default;
    virtual void start(const std::set<std::uint32_t>& excludingWindowIDs) = 0;
    virtual void stop() = 0;
    virtual std::int64_t frames() const = 0;
    // Who hears of a capture that dies after its start (called on the capture thread, with the
    // close reason for the session). Without one the engine closes its session itself.
    virtual void onStopped(std::function<void(const std::string& reason)> handler) { (void)handler; }
};

// The "Quillmate session started" notification. Returns at once; failures are dropped.
class SessionNotifier {
public:
    virtual ~SessionNotifier() = default;
    virtual void postSessionStartedNotification(const QString& peerName) = 0;
};

// The "Open at login" registration. setEnabled throws a quill::Error (or std::exception) with a
// readable text when it cannot be changed.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    virtual bool isEnabled() const = 0;
    virtual void setEnabled(bool enabled) = 0;
};

// Asks the host user whether a controller marked "Ask every time" may connect. Never blocks
// the main thread: the answer comes back through the coroutine.
class SessionPrompt {
public:
    virtual ~SessionPrompt() = default;
    virtual QCoro::Task<bool> askToAllowSession(QString peerName, SessionMode mode) = 0;
};

// Opening addresses and showing files in the desktop's file browser.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual void openURL(const QString& url) = 0;
    virtual void revealFile(const QString& path) = 0;
};

using LocalAddressesFunction = std::function<std::vector<std::string>(std::uint16_t port)>;
using QRCodeFunction = std::function<std::shared_ptr<const QImage>(const QString& text, double scale)>;

// The periods and limits the model runs on; tests shorten them.
struct HostTiming {
    double maintenancePeriod = 0.5;
    double watchdogDelay = 15.0;
    double captureRetryPause = 1.0;
    int captureAttempts = 4;
    double replacementPoll = 0.05;
    int replacementPolls = 60;
    double statisticsPeriod = 1.0;
    double cursorPeriod = 0.033;
    double rejectWait = 5.0;
    // A connection that sends no first frame in this time is closed.
    double firstFrameLimit = 10.0;
    // How long quitting waits for an active session to finish in order.
    double quitBound = 2.0;
};

}  // namespace quill::host
