#include "host/desktop/platform_permissions.h"

#include <xcb/xtest.h>

#include "host/desktop/x11_connection.h"

namespace quill::host {

bool X11PermissionProbe::screenRecordingGranted() const {
    try {
        X11Connection x(displayName_);
        xcb_connection_t* c = x.get();
        XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.root(), 0, 0, 1, 1, ~0u), nullptr));
        return image && xcb_get_image_data_length(image.get()) > 0;
    } catch (const X11Error&) {
        return false;
    }
}

bool X11PermissionProbe::accessibilityGranted() const {
    try {
        X11Connection x(displayName_);
        if (!x.hasExtension(&xcb_test_id)) return false;
        XcbReply<xcb_test_get_version_reply_t> version(
            xcb_test_get_version_reply(x.get(), xcb_test_get_version(x.get(), 2, 2), nullptr));
        return version != nullptr;
    } catch (const X11Error&) {
        return false;
    }
}

}  // namespace quill::host
