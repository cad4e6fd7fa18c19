#include "host/desktop/display_keep_awake.h"

#include <xcb/screensaver.h>

#include "host/desktop/x11_connection.h"

namespace quill::host {

void DisplayKeepAwake::hold() {
    backend_->declareUserActivity(userActivityName, userActivityType);
    if (holding_) return;
    if (auto id = backend_->createAssertion(assertionType, assertionLevel, assertionName)) {
        assertionID_ = *id;
        holding_ = true;
    }
}

void DisplayKeepAwake::release() {
    if (!holding_) return;
    backend_->releaseAssertion(assertionID_);
    holding_ = false;
    assertionID_ = 0;
}

X11PowerBackend::X11PowerBackend(std::shared_ptr<X11Connection> connection) : connection_(std::move(connection)) {}

void X11PowerBackend::declareUserActivity(const std::string&, std::uint32_t) {
    if (connection_->hasError()) return;
    xcb_force_screen_saver(connection_->get(), XCB_SCREEN_SAVER_RESET);
    connection_->flush();
}

std::optional<std::uint32_t> X11PowerBackend::createAssertion(const std::string&, std::uint32_t, const std::string&) {
    if (connection_->hasError() || !connection_->hasExtension(&xcb_screensaver_id)) return std::nullopt;
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_screensaver_query_version_reply_t> version(
        xcb_screensaver_query_version_reply(c, xcb_screensaver_query_version(c, 1, 1), nullptr));
    if (!version || (version->server_major_version == 1 && version->server_minor_version < 1)) return std::nullopt;
    XcbReply<xcb_generic_error_t> error(xcb_request_check(c, xcb_screensaver_suspend_checked(c, 1)));
    if (error || connection_->hasError()) return std::nullopt;
    // IDs only tell assertions apart; never 0, which means "none".
    if (++lastID_ == 0) lastID_ = 1;
    return lastID_;
}

void X11PowerBackend::releaseAssertion(std::uint32_t) {
    if (connection_->hasError()) return;
    xcb_screensaver_suspend(connection_->get(), 0);
    connection_->flush();
}

}  // namespace quill::host
