#pragma once

// A private Xvfb for one test process, and a small X client that draws and records events.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

namespace quill::host::testing {

// Starts `Xvfb -displayfd` on a display number the server picks. Tests that share the screen,
// the pointer or the keyboard focus cannot run side by side on one server, so each gets its own.
class XvfbServer {
public:
    explicit XvfbServer(const std::string& screen = "1920x1080x24", const std::vector<std::string>& extra = {}) {
        int fds[2];
        if (pipe(fds) != 0) return;
        // Everything the child needs is built before fork: it may only exec.
        std::vector<std::string> args = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset", "-nolisten", "tcp",
                                         "-screen", "0", screen};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            dup2(open("/dev/null", O_WRONLY), 2);
            execvp("Xvfb", argv.data());
            _exit(127);
        }
        close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        std::string number;
        for (char c; poll(&p, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n';) number += c;
        close(fds[0]);
        if (!number.empty()) display_ = ":" + number;
    }
    ~XvfbServer() { kill(); }
    bool running() const { return !display_.empty(); }
    pid_t pid() const { return pid_; }
    const std::string& display() const { return display_; }
    void kill() {
        if (pid_ > 0) ::kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// Skips (or, in CI, fails) when no X server can be started.
#define QUILL_REQUIRE_XVFB(server)                                                                  \
    do {                                                                                            \
        const char* ci = std::getenv("CI");                                                         \
        if (!(server).running() && ci && std::string(ci) == "true") FAIL() << "Xvfb did not start"; \
        if (!(server).running()) GTEST_SKIP() << "Xvfb did not start";                              \
    } while (0)

// One full-screen window that takes the keyboard focus and records the input events it gets.
class TestClient {
public:
    struct Event {
        std::uint8_t type;  // XCB_KEY_PRESS, ...
        std::uint8_t detail;
        int x, y;  // root coordinates
        std::uint16_t state;
    };

    explicit TestClient(const std::string& display)
        : connection(xcb_connect(display.c_str(), nullptr)),
          screen(xcb_setup_roots_iterator(xcb_get_setup(connection)).data), window(xcb_generate_id(connection)) {
        const std::uint32_t values[] = {screen->black_pixel, 1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                        XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION};
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, screen->width_in_pixels,
                          screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(connection, window);
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        sync();
    }
    ~TestClient() { xcb_disconnect(connection); }

    void sync() { std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr)); }
    void fill(int x, int y, int w, int h, std::uint32_t rgb) {
        const xcb_gcontext_t gc = xcb_generate_id(connection);
        xcb_create_gc(connection, gc, window, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t r{std::int16_t(x), std::int16_t(y), std::uint16_t(w), std::uint16_t(h)};
        xcb_poly_fill_rectangle(connection, window, gc, 1, &r);
        xcb_free_gc(connection, gc);
        sync();
    }

    // Collects input events until `enough` says so or `seconds` pass.
    std::vector<Event> collect(double seconds, const std::function<bool(const std::vector<Event>&)>& enough = {}) {
        for (auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
             std::chrono::steady_clock::now() < until && !(enough && enough(events));) {
            pollfd p{xcb_get_file_descriptor(connection), POLLIN, 0};
            xcb_generic_event_t* e = xcb_poll_for_event(connection);
            if (!e) poll(&p, 1, 5);
            // Key, button and motion events share one layout.
            const auto* k = reinterpret_cast<xcb_key_press_event_t*>(e);
            if (e && (e->response_type & 0x7f) >= XCB_KEY_PRESS && (e->response_type & 0x7f) <= XCB_MOTION_NOTIFY)
                events.push_back({std::uint8_t(e->response_type & 0x7f), k->detail, k->root_x, k->root_y, k->state});
            std::free(e);
        }
        return events;
    }

    std::vector<Event> events;
    xcb_connection_t* connection;
    xcb_screen_t* screen;
    xcb_window_t window;
};

inline std::size_t countOf(const std::vector<TestClient::Event>& events, std::uint8_t type, int detail = -1) {
    std::size_t n = 0;
    for (const auto& e : events) n += e.type == type && (detail < 0 || e.detail == detail);
    return n;
}

}  // namespace quill::host::testing
