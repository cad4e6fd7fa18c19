#include "host/desktop/xtest_event_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <utility>

#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include "host/desktop/x11_connection.h"

namespace quill::host {

namespace {

// X keycodes (evdev + 8) of the modifier keys, left key first.
struct ModifierKeys {
    std::uint64_t flag;
    std::uint8_t left, right;
};
constexpr ModifierKeys kModifiers[] = {
    {EventFlags::shift, 50, 62},
    {EventFlags::control, 37, 105},
    {EventFlags::alternate, 64, 108},
    {EventFlags::command, 133, 134},
};
constexpr std::uint8_t kCapsLock = 66;

std::uint8_t xButton(std::uint32_t button) {
    switch (button) {
    case 0: return 1;
    case 1: return 3;
    default: return 2;
    }
}

bool isDown(MouseEventType type) {
    return type == MouseEventType::leftMouseDown || type == MouseEventType::rightMouseDown ||
           type == MouseEventType::otherMouseDown;
}
bool isUp(MouseEventType type) {
    return type == MouseEventType::leftMouseUp || type == MouseEventType::rightMouseUp ||
           type == MouseEventType::otherMouseUp;
}

// The code points of UTF-8 text; malformed bytes are skipped.
std::vector<char32_t> codePoints(const std::string& text) {
    std::vector<char32_t> out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + std::size_t(length) > n) {
            ++i;
            continue;
        }
        char32_t cp = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        bool ok = true;
        for (int k = 1; k < length; ++k) {
            if ((s[i + std::size_t(k)] & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (s[i + std::size_t(k)] & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            ++i;
            continue;
        }
        out.push_back(cp);
        i += std::size_t(length);
    }
    return out;
}

// The keysym that types a code point; 0 for controls that type nothing.
std::uint32_t keysymFor(char32_t cp) {
    if (cp == '\n' || cp == '\r') return 0xff0d;  // Return
    if (cp == '\t') return 0xff09;                // Tab
    if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) return 0;
    if (cp < 0x100) return std::uint32_t(cp);
    return 0x1000000 + std::uint32_t(cp);
}

}  // namespace

std::string XTestEventSink::defaultRecord(const std::string& displayName) {
    std::string name = "quillmate-host.key-repeat" + displayName;
    std::replace(name.begin(), name.end(), '/', '_');
    namespace fs = std::filesystem;
    auto absolute = [](const char* variable) -> fs::path {
        const char* value = std::getenv(variable);
        return value && value[0] == '/' ? fs::path(value) : fs::path();
    };
    std::error_code error;
    if (fs::path runtime = absolute("XDG_RUNTIME_DIR"); !runtime.empty() && fs::is_directory(runtime, error))
        return runtime / name;
    fs::path data = absolute("XDG_DATA_HOME");
    if (data.empty()) data = fs::path(std::getenv("HOME") ? std::getenv("HOME") : "") / ".local/share";
    return data / "Quillmate Host" / name;
}

XTestEventSink::XTestEventSink(std::shared_ptr<X11Connection> connection, std::string record)
    : connection_(std::move(connection)),
      record_(record.empty() ? defaultRecord(connection_->displayName()) : std::move(record)) {
    xcb_connection_t* c = connection_->get();
    if (!connection_->hasExtension(&xcb_test_id)) throw X11Error("the X server has no XTEST extension");
    XcbReply<xcb_test_get_version_reply_t> version(xcb_test_get_version_reply(c, xcb_test_get_version(c, 2, 2), nullptr));
    if (!version) throw X11Error("the X server's XTEST extension did not answer");
    const xcb_setup_t* setup = xcb_get_setup(c);
    minKeycode_ = setup->min_keycode;
    maxKeycode_ = setup->max_keycode;
    restoreRecorded();
    askServerState();
    takeServerState(true);
}

void XTestEventSink::askServerState() {
    xcb_connection_t* c = connection_->get();
    if (!repeatQuery_) repeatQuery_ = xcb_get_keyboard_control(c);
    if (!lockQuery_) lockQuery_ = xcb_query_pointer(c, connection_->root());
}

void XTestEventSink::takeServerState(bool wait) {
    xcb_connection_t* c = connection_->get();
    // Not waiting: an answer still on its way is left for the next event.
    auto answer = [&](auto& cookie) -> void* {
        void* reply = nullptr;
        if (!cookie) return nullptr;
        const bool done = wait ? (reply = xcb_wait_for_reply(c, cookie->sequence, nullptr), true)
                               : xcb_poll_for_reply(c, cookie->sequence, &reply, nullptr) != 0;
        if (done) cookie.reset();
        return reply;
    };
    if (XcbReply<xcb_get_keyboard_control_reply_t> control(
            static_cast<xcb_get_keyboard_control_reply_t*>(answer(repeatQuery_)));
        control)
        std::copy(std::begin(control->auto_repeats), std::end(control->auto_repeats), autoRepeats_.begin());
    if (XcbReply<xcb_query_pointer_reply_t> pointer(static_cast<xcb_query_pointer_reply_t*>(answer(lockQuery_))); pointer)
        capsLocked_ = (pointer->mask & XCB_MOD_MASK_LOCK) != 0;
}

// An answer asked for before this sink changed the state would undo the change here.
template <class Cookie>
void XTestEventSink::forget(std::optional<Cookie>& query) {
    if (query) xcb_discard_reply(connection_->get(), query->sequence);
    query.reset();
}

// The record lists what is held, one item a line: a key whose repeat this sink turned off as
// its keycode alone (all that records of earlier versions hold), another held key as "k" and
// its keycode, a held button as "b" and its number.
void XTestEventSink::restoreRecorded() {
    std::ifstream in(record_);
    if (!in) return;
    for (std::string item; in >> item;) {
        const bool repeatOff = item[0] >= '0' && item[0] <= '9';
        const char* digits = item.data() + (repeatOff ? 0 : 1);
        int number = 0;
        const auto [end, error] = std::from_chars(digits, item.data() + item.size(), number);
        if (error != std::errc() || end != item.data() + item.size()) continue;
        if (item[0] == 'b' && number >= 1 && number <= 3) {
            fake(XCB_BUTTON_RELEASE, std::uint8_t(number));
        } else if ((repeatOff || item[0] == 'k') && number >= minKeycode_ && number <= maxKeycode_) {
            fake(XCB_KEY_RELEASE, std::uint8_t(number));
            if (repeatOff) setKeyRepeat(std::uint8_t(number), true);
        }
    }
    connection_->flush();
    std::error_code ignored;
    std::filesystem::remove(record_, ignored);
}

std::string XTestEventSink::keyItem(std::uint8_t keycode, bool repeatOff) {
    return (repeatOff ? "" : "k") + std::to_string(keycode);
}

void XTestEventSink::writeRecord() {
    // Once closed for the exit, the record keeps all that was held until the server confirmed
    // that it let go.
    if (closed_) return;
    std::set<std::string> listed;
    for (const auto& [keycode, repeated] : heldKeys_) listed.insert(keyItem(keycode, repeated));
    for (std::uint8_t button : heldButtons_) listed.insert("b" + std::to_string(button));
    for (const auto& [item, sequence] : released_) listed.insert(item);
    std::string items;
    for (const std::string& item : listed) items += item + "\n";
    // Written over in place, as it changes with every press: one write, no new file. Spaces
    // cover the rest of a longer earlier record, so a process killed at any point leaves
    // whole items only.
    if (recordFd_ < 0 && !items.empty()) recordFd_ = ::open(record_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (recordFd_ < 0) return;
    const std::size_t length = items.size();
    items.resize(std::max(length, recordLength_), ' ');
    if (::pwrite(recordFd_, items.data(), items.size(), 0) == ssize_t(items.size())) recordLength_ = items.size();
}

void XTestEventSink::dropRecord() {
    if (recordFd_ < 0) return;
    ::close(recordFd_);
    recordFd_ = -1;
    std::error_code ignored;
    std::filesystem::remove(record_, ignored);
}

XTestEventSink::~XTestEventSink() {
    {
        std::lock_guard lock(exitLock_);
        // Without a working connection (or after an exit the server did not confirm) the
        // record stays for the next start.
        if (!closed_ && !connection_->hasError()) {
            releaseHeld();
            restoreSpareKeycodes();
            dropRecord();
        }
        if (recordFd_ >= 0) ::close(recordFd_);
    }
    forget(repeatQuery_);
    forget(lockQuery_);
    forget(confirmQuery_);
    connection_->flush();
}

void XTestEventSink::post(const InputEvent& event) {
    if (connection_->hasError()) return;
    if (const auto* key = std::get_if<KeyboardEvent>(&event)) {
        postKey(*key);
    } else {
        std::lock_guard lock(exitLock_);
        if (closed_) return;
        if (const auto* mouse = std::get_if<MouseEvent>(&event))
            postMouse(*mouse);
        else
            postScroll(std::get<ScrollWheelEvent>(event));
    }
    finish();
}

void XTestEventSink::releaseAll() {
    if (connection_->hasError()) return;
    {
        std::lock_guard lock(exitLock_);
        if (closed_) return;
        releaseHeld();
    }
    finish();
    // Ends with a record that lists nothing once the server answers.
    confirmReleases(true);
}

void XTestEventSink::releaseHeld() {
    for (std::uint8_t button : heldButtons_) released_["b" + std::to_string(button)] = fake(XCB_BUTTON_RELEASE, button);
    heldButtons_.clear();
    while (!heldKeys_.empty()) releaseKey(heldKeys_.begin()->first);
    scrollRemainder1_ = scrollRemainder2_ = 0;
}

bool XTestEventSink::releaseForExit(double timeout) {
    xcb_connection_t* c = connection_->get();
    xcb_get_input_focus_cookie_t answered;
    {
        std::lock_guard lock(exitLock_);
        if (closed_ || connection_->hasError()) return false;
        closed_ = true;
        releaseHeld();
        restoreSpareKeycodes();
        // The answer to this one says that the server carried out the releases.
        answered = xcb_get_input_focus(c);
        xcb_flush(c);
    }
    // Polled: the input thread may be waiting for a reply on this connection, and then it is
    // the one that reads this answer.
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout > 0 ? std::min(timeout, 60.0) : 0);
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    while (xcb_poll_for_reply(c, answered.sequence, &reply, &error) == 0 && !connection_->hasError() &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const bool confirmed = reply != nullptr;
    std::free(reply);
    std::free(error);
    if (confirmed) {
        std::lock_guard lock(exitLock_);
        dropRecord();
    }
    return confirmed;
}

void XTestEventSink::finish() {
    xcb_connection_t* c = connection_->get();
    confirmReleases(false);
    xcb_flush(c);
    // Errors of unchecked requests land in the event queue, which nobody else reads.
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) std::free(event);
}

// A press is recorded before it is sent. A release leaves the record only once the server
// answered a request sent after it: a server that is stopped when a client goes drops all that
// client sent and it has not read yet.
void XTestEventSink::confirmReleases(bool wait) {
    xcb_connection_t* c = connection_->get();
    if (confirmQuery_) {
        void* reply = nullptr;
        const unsigned sequence = confirmQuery_->sequence;
        if (wait)
            reply = xcb_wait_for_reply(c, sequence, nullptr);
        else if (xcb_poll_for_reply(c, sequence, &reply, nullptr) == 0)
            return;
        confirmQuery_.reset();
        if (!reply) return;
        std::free(reply);
        std::lock_guard lock(exitLock_);
        std::erase_if(released_, [&](const auto& item) { return static_cast<int>(sequence - item.second) > 0; });
        writeRecord();
    }
    std::lock_guard lock(exitLock_);
    if (!released_.empty() && !closed_) confirmQuery_ = xcb_get_input_focus(c);
}

unsigned XTestEventSink::fake(std::uint8_t type, std::uint8_t detail, std::int16_t x, std::int16_t y) {
    return xcb_test_fake_input(connection_->get(), type, detail, XCB_CURRENT_TIME,
                               type == XCB_MOTION_NOTIFY ? connection_->root() : XCB_NONE, x, y, 0)
        .sequence;
}

void XTestEventSink::postMouse(const MouseEvent& event) {
    const xcb_screen_t* screen = connection_->screen();
    auto toPixel = [](double v, int size) {
        double r = std::floor(v);
        if (!(r >= 0)) return std::int16_t(0);
        return std::int16_t(std::min<double>(r, std::max(0, size - 1)));
    };
    fake(XCB_MOTION_NOTIFY, 0, toPixel(event.x, screen->width_in_pixels), toPixel(event.y, screen->height_in_pixels));
    const std::uint8_t button = xButton(event.button);
    if (isDown(event.type)) {
        if (heldButtons_.insert(button).second) writeRecord();
        fake(XCB_BUTTON_PRESS, button);
    } else if (isUp(event.type) && heldButtons_.erase(button)) {
        released_["b" + std::to_string(button)] = fake(XCB_BUTTON_RELEASE, button);
    }
}

unsigned XTestEventSink::setKeyRepeat(std::uint8_t keycode, bool on) {
    const std::uint32_t values[] = {keycode, on ? XCB_AUTO_REPEAT_MODE_ON : XCB_AUTO_REPEAT_MODE_OFF};
    const unsigned sequence =
        xcb_change_keyboard_control(connection_->get(), XCB_KB_KEY | XCB_KB_AUTO_REPEAT_MODE, values).sequence;
    // The exit's release leaves the server state to the input thread, which reads it outside
    // the lock (taking the lock there would make the exit wait for an X reply); once closed,
    // nothing reads it again.
    if (closed_) return sequence;
    forget(repeatQuery_);
    const std::uint8_t bit = std::uint8_t(1u << (keycode % 8));
    autoRepeats_[keycode / 8] = on ? autoRepeats_[keycode / 8] | bit : autoRepeats_[keycode / 8] & ~bit;
    return sequence;
}

void XTestEventSink::pressKey(std::uint8_t keycode) {
    if (keycode < minKeycode_ || keycode > maxKeycode_) return;
    if (!heldKeys_.contains(keycode)) {
        // The server would repeat a key held by XTEST for as long as the controller holds it,
        // and for ever when its release never arrives: switch repeat off for this key.
        const bool repeated = autoRepeats(keycode);
        heldKeys_[keycode] = repeated;
        writeRecord();
        if (repeated) setKeyRepeat(keycode, false);
    } else {
        // The controller repeats a held key by pressing it again. The server drops a press of
        // a key that is down and does not repeat, so repeat it the way X itself does.
        fake(XCB_KEY_RELEASE, keycode);
    }
    fake(XCB_KEY_PRESS, keycode);
}

void XTestEventSink::releaseKey(std::uint8_t keycode) {
    auto held = heldKeys_.find(keycode);
    if (held == heldKeys_.end()) return;
    const bool repeated = held->second;
    heldKeys_.erase(held);
    unsigned sequence = fake(XCB_KEY_RELEASE, keycode);
    if (repeated) sequence = setKeyRepeat(keycode, true);
    released_[keyItem(keycode, repeated)] = sequence;
}

void XTestEventSink::tapKey(std::uint8_t keycode) {
    fake(XCB_KEY_PRESS, keycode);
    fake(XCB_KEY_RELEASE, keycode);
}

void XTestEventSink::syncModifiers(std::uint64_t flags, std::uint8_t eventKeycode) {
    for (const ModifierKeys& m : kModifiers) {
        if (eventKeycode == m.left || eventKeycode == m.right) continue;  // the event sets this one itself
        const bool want = (flags & m.flag) != 0;
        const bool have = heldKeys_.contains(m.left) || heldKeys_.contains(m.right);
        if (want && !have) pressKey(m.left);
        if (!want && have) {
            releaseKey(m.left);
            releaseKey(m.right);
        }
    }
    if (eventKeycode == kCapsLock) {
        // The key sets the lock itself; the next key event waits to learn where it is.
        forget(lockQuery_);
        lockUnknown_ = true;
        return;
    }
    // Caps Lock is a lock, not a held key: tap it when the server's lock differs.
    if (capsLocked_ != ((flags & EventFlags::alphaShift) != 0)) {
        tapKey(kCapsLock);
        forget(lockQuery_);
        capsLocked_ = !capsLocked_;
    }
}

void XTestEventSink::postKey(const KeyboardEvent& event) {
    if (event.keycode == 0) {
        if (event.down && !event.text.empty()) typeText(event.text);
        return;
    }
    takeServerState(std::exchange(lockUnknown_, false));
    {
        std::lock_guard lock(exitLock_);
        if (closed_) return;
        syncModifiers(event.flags, event.keycode);
        if (event.down)
            pressKey(event.keycode);
        else
            releaseKey(event.keycode);
    }
    askServerState();
}

void XTestEventSink::findSpareKeycodes() {
    spareSearched_ = true;
    xcb_connection_t* c = connection_->get();
    const int count = maxKeycode_ - minKeycode_ + 1;
    XcbReply<xcb_get_keyboard_mapping_reply_t> mapping(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, minKeycode_, std::uint8_t(count)), nullptr));
    if (!mapping || mapping->keysyms_per_keycode == 0) return;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int per = mapping->keysyms_per_keycode;
    if (xcb_get_keyboard_mapping_keysyms_length(mapping.get()) < count * per) return;
    // From the top, where no physical key sits.
    for (int k = count - 1; k >= 0 && spareKeycodes_.size() < 4; --k) {
        if (std::all_of(syms + k * per, syms + (k + 1) * per, [](xcb_keysym_t s) { return s == 0; }))
            spareKeycodes_.push_back(std::uint8_t(minKeycode_ + k));
    }
}

void XTestEventSink::typeText(const std::string& utf8) {
    if (!spareSearched_) findSpareKeycodes();
    if (spareKeycodes_.empty()) return;
    xcb_connection_t* c = connection_->get();
    std::size_t typed = 0;
    for (char32_t cp : codePoints(utf8)) {
        if (typed++ >= maximumTextCharacters) break;
        const std::uint32_t keysym = keysymFor(cp);
        if (keysym == 0) continue;
        // Rotate over the spare keys: a client still reading the previous character looks it
        // up on a key that has not been rebound yet. Bindings stay until released, since a
        // client translates the key only when it reads the event.
        const std::uint8_t keycode = spareKeycodes_[nextSpare_++ % spareKeycodes_.size()];
        const xcb_keysym_t syms[2] = {keysym, keysym};
        {
            std::lock_guard lock(exitLock_);
            if (closed_) return;
            boundSpares_.insert(keycode);
            xcb_change_keyboard_mapping(c, 1, keycode, 2, syms);
        }
        // The server may need a moment to apply the new mapping before the key is pressed.
        XcbReply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        std::lock_guard lock(exitLock_);
        if (closed_) return;
        tapKey(keycode);
    }
}

void XTestEventSink::restoreSpareKeycodes() {
    if (connection_->hasError()) return;
    const xcb_keysym_t none[2] = {0, 0};
    for (std::uint8_t keycode : boundSpares_) xcb_change_keyboard_mapping(connection_->get(), 1, keycode, 2, none);
    boundSpares_.clear();
}

void XTestEventSink::postScroll(const ScrollWheelEvent& event) {
    auto clicks = [&](std::int32_t wheel, double& remainder) -> std::int64_t {
        if (event.units == ScrollUnit::line) return wheel;
        remainder += wheel;
        const double whole = std::trunc(remainder / pixelsPerScrollClick);
        remainder -= whole * pixelsPerScrollClick;
        if (std::fabs(whole) > maximumScrollClicks) remainder = 0;
        return std::int64_t(whole);
    };
    auto emit = [&](std::int64_t count, std::uint8_t positive, std::uint8_t negative) {
        const std::uint8_t button = count > 0 ? positive : negative;
        const std::int64_t n = std::min<std::int64_t>(count < 0 ? -count : count, maximumScrollClicks);
        for (std::int64_t i = 0; i < n; ++i) {
            fake(XCB_BUTTON_PRESS, button);
            fake(XCB_BUTTON_RELEASE, button);
        }
    };
    emit(clicks(event.wheel1, scrollRemainder1_), 4, 5);  // up, down
    emit(clicks(event.wheel2, scrollRemainder2_), 6, 7);  // left, right
}

}  // namespace quill::host
