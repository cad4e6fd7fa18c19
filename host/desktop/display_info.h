#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quill::host {

class X11Connection;

struct DisplaySize {
    int width = 0;
    int height = 0;
    bool operator==(const DisplaySize&) const = default;
};

// A rectangle in global display coordinates: the root window's pixels, y down.
struct DisplayRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool isEmpty() const { return !(width > 0) || !(height > 0); }
    bool operator==(const DisplayRect&) const = default;
};

// One display that can be captured: a connected output that shows part of the root window.
struct DisplayDescriptor {
    std::uint32_t id = 0;  // the RandR output, or 1 for the whole root when RandR is missing
    DisplayRect bounds;
    // The pixel size of the current mode; none when the server reports no mode.
    std::optional<DisplaySize> mode;
    bool operator==(const DisplayDescriptor&) const = default;
};

struct DisplayList {
    std::vector<DisplayDescriptor> displays;  // in the server's order
    std::uint32_t primaryID = 0;              // 0 when the server names no primary output

    // The primary display when it is listed, else the first; null for an empty list.
    const DisplayDescriptor* main() const;
    const DisplayDescriptor* find(std::uint32_t id) const;
};

// The video size a session asks for: the main display's mode, at least 640 x 480; 1920 x 1080
// when there is no mode.
DisplaySize preferredVideoSize(std::optional<DisplaySize> mainDisplayMode);

// Where displays come from. Every call reads the current layout, so a display that was
// unplugged or resized is seen at once.
class DisplaySource {
public:
    virtual ~DisplaySource() = default;
    virtual DisplayList currentDisplays() const = 0;

    // The main display's ID, 0 when there is none.
    std::uint32_t mainDisplayID() const;
    // The bounds of a display; empty for an unknown ID.
    DisplayRect bounds(std::uint32_t id) const;
    DisplayRect mainDisplayBounds() const;
    // The pixel size of the main display's current mode, if it has one.
    std::optional<DisplaySize> mainDisplayMode() const;
};

// The display layout of an X server through RandR. Without RandR (or with a RandR that lists
// nothing usable) the whole root window is one display, ID 1, without a mode.
// A layout read within the last `maximumAge` seconds is reused (0: read it every time).
class X11DisplaySource : public DisplaySource {
public:
    explicit X11DisplaySource(std::shared_ptr<X11Connection> connection, double maximumAge = 0);
    // A layout read again only once the server announced a change, so that the injector's
    // pointer messages wait for the server only after the layout changed, and see the change
    // at once. It reads the connection's events: the connection must be its own.
    static std::shared_ptr<X11DisplaySource> followingChanges(std::shared_ptr<X11Connection> connection);

    DisplayList currentDisplays() const override;

private:
    DisplayList read() const;

    std::shared_ptr<X11Connection> connection_;
    const std::chrono::steady_clock::duration maximumAge_;
    bool followsChanges_ = false;
    mutable std::mutex lock_;
    mutable std::optional<std::pair<std::chrono::steady_clock::time_point, DisplayList>> cached_;
};

// A layout fixed by its owner (tests, and hosts that run without a display server).
class StaticDisplaySource : public DisplaySource {
public:
    explicit StaticDisplaySource(DisplayList list) : list_(std::move(list)) {}
    DisplayList currentDisplays() const override { return list_; }
    void setDisplays(DisplayList list) { list_ = std::move(list); }

private:
    DisplayList list_;
};

}  // namespace quill::host
