#include "host/desktop/platform_permissions.h"

#include <xcb/xtest.h>

#include "host/desktop/x11_connection.h"

namespace quill::host {

X11PermissionProbe::X11PermissionProbe(std::string displayName) : displayName_(std::move(displayName)) {}

X11PermissionProbe::~X11PermissionProbe() = default;

template <class Probe>
bool X11PermissionProbe::ask(Probe probe) const {
    std::lock_guard guard(lock_);
    // A connection that broke since the last probe shows it on its first request: ask again
    // on a new one, so a server that restarted answers at once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (!connection_ || connection_->hasError()) connection_ = std::make_unique<X11Connection>(displayName_);
            const bool granted = probe(*connection_);
            if (!connection_->hasError()) return granted;
        } catch (const X11Error&) {
            connection_.reset();
            return false;
        }
        connection_.reset();
    }
    return false;
}

bool X11PermissionProbe::screenRecordingGranted() const {
    return ask([](X11Connection& x) {
        xcb_connection_t* c = x.get();
        XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.root(), 0, 0, 1, 1, ~0u), nullptr));
        return image && xcb_get_image_data_length(image.get()) > 0;
    });
}

bool X11PermissionProbe::accessibilityGranted() const {
    return ask([](X11Connection& x) {
        if (!x.hasExtension(&xcb_test_id)) return false;
        XcbReply<xcb_test_get_version_reply_t> version(
            xcb_test_get_version_reply(x.get(), xcb_test_get_version(x.get(), 2, 2), nullptr));
        return version != nullptr;
    });
}

}  // namespace quill::host
