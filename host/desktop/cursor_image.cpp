#include "host/desktop/cursor_image.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include "host/desktop/x11_connection.h"

namespace quill::host {

X11CursorImageSource::X11CursorImageSource(const std::string& displayName)
    : X11CursorImageSource(std::make_shared<X11Connection>(displayName)) {}

X11CursorImageSource::X11CursorImageSource(std::shared_ptr<X11Connection> connection)
    : connection_(std::move(connection)) {
    if (!connection_->hasExtension(&xcb_xfixes_id)) return;
    // XFixes answers cursor requests only after the client announced its version.
    auto cookie = xcb_xfixes_query_version(connection_->get(), XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION);
    XcbReply<xcb_xfixes_query_version_reply_t> reply(
        xcb_xfixes_query_version_reply(connection_->get(), cookie, nullptr));
    xfixesReady_ = reply && reply->major_version >= 1;
}

X11CursorImageSource::~X11CursorImageSource() = default;

std::optional<CursorImage> X11CursorImageSource::currentCursor() {
    if (!xfixesReady_ || connection_->hasError()) return std::nullopt;
    auto cookie = xcb_xfixes_get_cursor_image(connection_->get());
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(
        xcb_xfixes_get_cursor_image_reply(connection_->get(), cookie, nullptr));
    if (!reply) return std::nullopt;
    const std::uint32_t* data = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    const int length = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
    const std::size_t count = std::size_t(reply->width) * reply->height;
    if (!data || length < 0 || std::size_t(length) < count) return std::nullopt;
    CursorImage image;
    image.width = reply->width;
    image.height = reply->height;
    image.hotX = reply->xhot;
    image.hotY = reply->yhot;
    image.serial = reply->cursor_serial;
    image.pixels.assign(data, data + count);
    return image;
}

std::optional<PointerLocation> X11CursorImageSource::pointerLocation() {
    if (connection_->hasError()) return std::nullopt;
    auto cookie = xcb_query_pointer(connection_->get(), connection_->root());
    XcbReply<xcb_query_pointer_reply_t> reply(xcb_query_pointer_reply(connection_->get(), cookie, nullptr));
    if (!reply) return std::nullopt;
    return PointerLocation{double(reply->root_x), double(reply->root_y)};
}

}  // namespace quill::host
