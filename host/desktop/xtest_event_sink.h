#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include <xcb/xcb.h>

#include "host/desktop/input_injector.h"

namespace quill::host {

class X11Connection;

// Delivers input events to the X server through XTEST. Modifier flags become held modifier
// keys; a key held here never auto-repeats (the controller repeats keys itself); text without
// a key is typed on a spare keycode that is bound to the character for the moment. Everything
// held is released by releaseAll() and when the sink is destroyed.
// Auto-repeat is a setting of the whole server, and nothing lets go of XTEST's keys and buttons
// when their client is gone, so what is held is also recorded in a file: a sink made after a
// process that died holding keys releases them and turns their repeat back on.
// One caller at a time, except for releaseForExit(). The connection should be the sink's own:
// finish() drains its event queue.
class XTestEventSink : public InputEventSink {
public:
    // `record` is that file; empty means defaultRecord(the connection's display).
    // Throws X11Error when the server has no XTEST.
    explicit XTestEventSink(std::shared_ptr<X11Connection> connection, std::string record = {});
    ~XTestEventSink() override;

    void post(const InputEvent& event) override;
    void releaseAll() override;
    // Also while another thread waits inside post() for the server. Once the server confirmed
    // the release the record goes; until then it stays for the next start.
    bool releaseForExit(double timeout) override;

    // In $XDG_RUNTIME_DIR beside the one-copy lock (else in the data folder), one per display.
    static std::string defaultRecord(const std::string& displayName);

    // Pixels per scroll click for pixel-unit scrolling.
    static constexpr int pixelsPerScrollClick = 40;
    // Bounds the clicks one scroll event can produce.
    static constexpr int maximumScrollClicks = 64;
    // Bounds the characters typed from one text event.
    static constexpr std::size_t maximumTextCharacters = 256;

private:
    // Everything that changes what the server holds, or the record, runs under exitLock_ and
    // never waits for the server there: postMouse, postScroll, syncModifiers, the key
    // functions, fake, setKeyRepeat, writeRecord, releaseHeld, restoreSpareKeycodes.
    void postMouse(const MouseEvent& event);
    void postKey(const KeyboardEvent& event);
    void postScroll(const ScrollWheelEvent& event);
    void typeText(const std::string& utf8);
    void syncModifiers(std::uint64_t flags, std::uint8_t eventKeycode);
    void pressKey(std::uint8_t keycode);
    void releaseKey(std::uint8_t keycode);
    void releaseHeld();
    void tapKey(std::uint8_t keycode);
    // These two return the request's sequence number.
    unsigned fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0);
    unsigned setKeyRepeat(std::uint8_t keycode, bool on);
    void restoreRecorded();
    void askServerState();
    void takeServerState(bool wait);
    template <class Cookie>
    void forget(std::optional<Cookie>& query);
    bool autoRepeats(std::uint8_t keycode) const { return autoRepeats_[keycode / 8] & (1u << (keycode % 8)); }
    static std::string keyItem(std::uint8_t keycode, bool repeatOff);
    void writeRecord();
    void dropRecord();
    void confirmReleases(bool wait);
    void findSpareKeycodes();
    void restoreSpareKeycodes();
    void finish();

    std::shared_ptr<X11Connection> connection_;
    std::mutex exitLock_;
    bool closed_ = false;  // by releaseForExit(): nothing more is sent
    std::string record_;
    // Released items of the record (as written there), each with the sequence number of the
    // request that completed its release; they stay listed until the answer to confirmQuery_.
    std::map<std::string, unsigned> released_;
    std::optional<xcb_get_input_focus_cookie_t> confirmQuery_;
    int recordFd_ = -1;
    std::size_t recordLength_ = 0;
    // The server's auto-repeat keys and Caps Lock, as of the last key event: asked for after
    // each one and read at the next, so that no key waits for a round trip. The posting
    // thread's own: releaseForExit() leaves them alone.
    std::array<std::uint8_t, 32> autoRepeats_{};
    bool capsLocked_ = false;
    bool lockUnknown_ = false;
    std::optional<xcb_get_keyboard_control_cookie_t> repeatQuery_;
    std::optional<xcb_query_pointer_cookie_t> lockQuery_;
    std::uint8_t minKeycode_ = 8;
    std::uint8_t maxKeycode_ = 255;
    std::map<std::uint8_t, bool> heldKeys_;  // keycode -> whether it auto-repeated before
    std::set<std::uint8_t> heldButtons_;
    double scrollRemainder1_ = 0;
    double scrollRemainder2_ = 0;
    bool spareSearched_ = false;
    std::vector<std::uint8_t> spareKeycodes_;
    std::set<std::uint8_t> boundSpares_;
    std::size_t nextSpare_ = 0;
};

}  // namespace quill::host
