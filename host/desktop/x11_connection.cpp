#include "host/desktop/x11_connection.h"

#include <cstdlib>

namespace quill::host {

void FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

namespace {

const char* connectionErrorText(int code) {
    switch (code) {
    case XCB_CONN_ERROR: return "the connection to the X server failed";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "the X server lacks a required extension";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory talking to the X server";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "a request to the X server was too long";
    case XCB_CONN_CLOSED_PARSE_ERR: return "the X display name could not be parsed";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "the X display has no such screen";
    default: return "the X server could not be reached";
    }
}

}  // namespace

std::string describeXError(const char* what, const xcb_generic_error_t* error) {
    std::string text = std::string(what) + " failed";
    if (error) text += " (X error " + std::to_string(error->error_code) + ")";
    return text;
}

X11Connection::X11Connection(const std::string& displayName) {
    int screenNumber = 0;
    connection_ = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (int code = xcb_connection_has_error(connection_); code != 0) {
        xcb_disconnect(connection_);
        connection_ = nullptr;
        throw X11Error(connectionErrorText(code));
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; it.rem > 0 && i < screenNumber; ++i) xcb_screen_next(&it);
    if (it.rem <= 0) {
        xcb_disconnect(connection_);
        connection_ = nullptr;
        throw X11Error(connectionErrorText(XCB_CONN_CLOSED_INVALID_SCREEN));
    }
    screen_ = it.data;
    const char* fromEnvironment = std::getenv("DISPLAY");
    displayName_ = !displayName.empty() ? displayName : fromEnvironment ? fromEnvironment : "";
}

X11Connection::~X11Connection() {
    if (connection_) xcb_disconnect(connection_);
}

bool X11Connection::hasExtension(xcb_extension_t* extension) const {
    const xcb_query_extension_reply_t* reply = xcb_get_extension_data(connection_, extension);
    return reply && reply->present;
}

void X11Connection::checkConnection(const char* what) const {
    if (int code = xcb_connection_has_error(connection_); code != 0)
        throw X11Error(std::string(what) + ": " + connectionErrorText(code));
}

void X11Connection::check(xcb_void_cookie_t cookie, const char* what) const {
    XcbReply<xcb_generic_error_t> error(xcb_request_check(connection_, cookie));
    if (error) throw X11Error(describeXError(what, error.get()));
    checkConnection(what);
}

}  // namespace quill::host
