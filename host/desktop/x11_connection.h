#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <xcb/xcb.h>

#include "quillcore/base/error.h"

namespace quill::host {

// A failure of the X server connection or of one of its requests.
class X11Error : public Error {
public:
    explicit X11Error(std::string text) : text(std::move(text)) {}
    std::string description() const override { return text; }
    bool operator==(const X11Error&) const = default;
    std::string text;
};

// Frees what xcb allocates for a reply.
struct FreeDeleter {
    void operator()(void* p) const noexcept;
};
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

// One connection to the X server and its default screen. Each component that works from its
// own thread opens its own: an xcb connection is thread-safe, but a reply read out of order on
// a shared one stalls the other thread.
class X11Connection {
public:
    // `displayName` empty means $DISPLAY. Throws X11Error when the server cannot be reached.
    explicit X11Connection(const std::string& displayName = {});
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    // The display this connection reached, as named ($DISPLAY when no name was given).
    const std::string& displayName() const { return displayName_; }

    // Whether the server offers an extension (the answer is cached by xcb).
    bool hasExtension(xcb_extension_t* extension) const;
    // Throws X11Error with `what` when the connection has failed.
    void checkConnection(const char* what) const;
    bool hasError() const { return xcb_connection_has_error(connection_) != 0; }
    // Waits for a checked request; throws X11Error naming `what` when the server refused it.
    void check(xcb_void_cookie_t cookie, const char* what) const;
    void flush() const { xcb_flush(connection_); }

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    std::string displayName_;
};

// "request failed (X error 8)" and the like.
std::string describeXError(const char* what, const xcb_generic_error_t* error);

}  // namespace quill::host
