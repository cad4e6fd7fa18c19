#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "host/desktop/cursor_image.h"
#include "host/desktop/display_info.h"
#include "host/runtime/task.h"
#include "quillcore/base/bytes.h"
#include "quillcore/control/control_message.h"

namespace quill {
class HostSession;
}

namespace quill::host {

// Sends the system cursor to the controller (the captured video carries none): its shape when
// the image or hot spot changes, its position when the pointer, its display or the shape in use
// changes. Samples every 33 ms on the main thread while the session is connected; once the
// session leaves the connected state the sampling ends for the rest of that session.
class CursorBroadcaster : public QObject {
    Q_OBJECT
public:
    struct Position {
        std::uint32_t displayID = 0;
        float x = 0;
        float y = 0;
        std::uint64_t shapeID = 0;
        bool visible = true;
        bool operator==(const Position&) const = default;
    };

    struct ShapeSnapshot {
        std::uint64_t shapeID = 0;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint32_t hotX = 0;
        std::uint32_t hotY = 0;
        Bytes png;
        Bytes digest;
    };

    // Where a sampling loop sends to: whether the session is connected, and the send (which
    // may throw; failures are dropped).
    struct Target {
        std::function<bool()> isConnected;
        std::function<void(const Quillmate_V0_Envelope&)> send;
    };

    CursorBroadcaster(std::shared_ptr<CursorImageSource> source, std::shared_ptr<const DisplaySource> displays,
                      double period = 0.033, QObject* parent = nullptr);
    ~CursorBroadcaster() override;

    // Stops a running loop (resetting what was recorded as sent) and starts a new one.
    void start(std::shared_ptr<HostSession> session);
    void start(Target target);
    // Ends the loop and forgets what was sent, so the next start sends shape and position afresh.
    void stop();
    // One sampling step.
    void sample(const Target& target);

    ShapeSnapshot* cachedShape() { return cached_ ? &*cached_ : nullptr; }
    std::uint64_t currentShapeID() const { return currentShapeID_; }
    const std::optional<Bytes>& lastShapeDigest() const { return lastShapeDigest_; }
    const std::optional<Position>& lastPosition() const { return lastPosition_; }
    bool isRunning() const { return !task_.isFinished(); }

    // SHA-256 of the PNG bytes followed by "hotX:hotY".
    static Bytes shapeDigest(ByteView png, std::uint32_t hotX, std::uint32_t hotY);
    // The digest's first 8 bytes, big-endian; never 0.
    static std::uint64_t shapeID(ByteView digest);
    // PNG of a premultiplied ARGB image; empty when it cannot be made.
    static Bytes pngOf(const CursorImage& image);
    std::optional<ShapeSnapshot> snapshotShape(const CursorImage& image);
    // The first display whose bounds hold the point, else the main display.
    DisplayDescriptor displayContaining(double x, double y) const;

private:
    std::shared_ptr<CursorImageSource> source_;
    std::shared_ptr<const DisplaySource> displays_;
    double period_;

    TaskHandle task_;
    std::uint64_t currentShapeID_ = 0;
    std::optional<Bytes> lastShapeDigest_;
    std::optional<Position> lastPosition_;
    // The last image's snapshot, by the server's cursor serial: an unchanged cursor is not
    // encoded and hashed again 30 times a second.
    std::optional<std::uint32_t> cachedSerial_;
    std::optional<ShapeSnapshot> cached_;
};

}  // namespace quill::host
