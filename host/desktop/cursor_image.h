#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quill::host {

class X11Connection;

// The system cursor as the display server draws it.
struct CursorImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t hotX = 0;
    std::uint32_t hotY = 0;
    // Premultiplied ARGB, one 32-bit value per pixel, row by row.
    std::vector<std::uint32_t> pixels;
    // Changes whenever the server's cursor image changes.
    std::uint32_t serial = 0;
};

struct PointerLocation {
    double x = 0;  // global display coordinates
    double y = 0;
};

// Where the cursor's shape and the pointer's position come from.
class CursorImageSource {
public:
    virtual ~CursorImageSource() = default;
    // None when the server cannot give the cursor.
    virtual std::optional<CursorImage> currentCursor() = 0;
    // None when the position cannot be read.
    virtual std::optional<PointerLocation> pointerLocation() = 0;
};

// XFixes cursor image and QueryPointer on the root window.
class X11CursorImageSource : public CursorImageSource {
public:
    // Opens its own connection; throws X11Error when the server cannot be reached.
    explicit X11CursorImageSource(const std::string& displayName = {});
    explicit X11CursorImageSource(std::shared_ptr<X11Connection> connection);
    ~X11CursorImageSource() override;

    std::optional<CursorImage> currentCursor() override;
    std::optional<PointerLocation> pointerLocation() override;

private:
    std::shared_ptr<X11Connection> connection_;
    bool xfixesReady_ = false;
};

}  // namespace quill::host
