#include "host/desktop/display_info.h"

#include <algorithm>
#include <cstdlib>

#include <xcb/randr.h>

#include "host/desktop/x11_connection.h"

namespace quill::host {

const DisplayDescriptor* DisplayList::main() const {
    if (displays.empty()) return nullptr;
    if (const DisplayDescriptor* primary = find(primaryID)) return primary;
    return &displays.front();
}

const DisplayDescriptor* DisplayList::find(std::uint32_t id) const {
    if (id == 0) return nullptr;
    for (const auto& display : displays)
        if (display.id == id) return &display;
    return nullptr;
}

DisplaySize preferredVideoSize(std::optional<DisplaySize> mode) {
    DisplaySize size = mode ? DisplaySize{std::max(mode->width, 640), mode->height} : DisplaySize{1920, 1080};
    size.height = std::max(size.height, 480);
    return size;
}

std::uint32_t DisplaySource::mainDisplayID() const {
    DisplayList list = currentDisplays();
    const DisplayDescriptor* main = list.main();
    return main ? main->id : 0;
}

DisplayRect DisplaySource::bounds(std::uint32_t id) const {
    DisplayList list = currentDisplays();
    const DisplayDescriptor* display = list.find(id);
    return display ? display->bounds : DisplayRect{};
}

DisplayRect DisplaySource::mainDisplayBounds() const {
    DisplayList list = currentDisplays();
    const DisplayDescriptor* main = list.main();
    return main ? main->bounds : DisplayRect{};
}

std::optional<DisplaySize> DisplaySource::mainDisplayMode() const {
    DisplayList list = currentDisplays();
    const DisplayDescriptor* main = list.main();
    return main ? main->mode : std::nullopt;
}

X11DisplaySource::X11DisplaySource(std::shared_ptr<X11Connection> connection, double maximumAge)
    : connection_(std::move(connection)),
      maximumAge_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(maximumAge > 0 && maximumAge < 3600 ? maximumAge : 0))) {}

std::shared_ptr<X11DisplaySource> X11DisplaySource::followingChanges(std::shared_ptr<X11Connection> connection) {
    auto source = std::make_shared<X11DisplaySource>(connection);
    source->followsChanges_ = true;
    // Without RandR the root window, and so the layout, never changes.
    if (connection->hasExtension(&xcb_randr_id)) {
        xcb_randr_select_input(connection->get(), connection->root(),
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        connection->flush();
    }
    return source;
}

DisplayList X11DisplaySource::currentDisplays() const {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard guard(lock_);
    if (followsChanges_) {
        // Only what was selected arrives here (and errors, which cost no more than a read).
        bool changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_->get())) {
            changed = true;
            std::free(event);
        }
        if (changed || connection_->hasError()) cached_.reset();
        if (!cached_) cached_.emplace(now, read());
        return cached_->second;
    }
    if (cached_ && now - cached_->first < maximumAge_) return cached_->second;
    DisplayList list = read();
    if (maximumAge_.count() > 0) cached_.emplace(now, list);
    return list;
}

namespace {

DisplayList rootOnly(const X11Connection& x) {
    DisplayList list;
    const xcb_screen_t* screen = x.screen();
    if (screen->width_in_pixels > 0 && screen->height_in_pixels > 0)
        list.displays.push_back({1, {0, 0, double(screen->width_in_pixels), double(screen->height_in_pixels)}, std::nullopt});
    return list;
}

}  // namespace

DisplayList X11DisplaySource::read() const {
    X11Connection& x = *connection_;
    if (x.hasError() || !x.hasExtension(&xcb_randr_id)) return x.hasError() ? DisplayList{} : rootOnly(x);
    xcb_connection_t* c = x.get();

    // Ask for everything at once, then read the answers: one round trip per stage.
    auto resourcesCookie = xcb_randr_get_screen_resources_current(c, x.root());
    auto primaryCookie = xcb_randr_get_output_primary(c, x.root());
    XcbReply<xcb_randr_get_screen_resources_current_reply_t> resources(
        xcb_randr_get_screen_resources_current_reply(c, resourcesCookie, nullptr));
    XcbReply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(c, primaryCookie, nullptr));
    if (!resources) return x.hasError() ? DisplayList{} : rootOnly(x);

    const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
    const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    const xcb_timestamp_t stamp = resources->config_timestamp;
    std::vector<xcb_randr_get_output_info_cookie_t> outputCookies;
    outputCookies.reserve(std::size_t(outputCount));
    for (int i = 0; i < outputCount; ++i) outputCookies.push_back(xcb_randr_get_output_info(c, outputs[i], stamp));

    struct Candidate {
        xcb_randr_output_t output;
        xcb_randr_get_crtc_info_cookie_t crtc;
    };
    std::vector<Candidate> candidates;
    for (int i = 0; i < outputCount; ++i) {
        XcbReply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(c, outputCookies[std::size_t(i)], nullptr));
        if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE) continue;
        candidates.push_back({outputs[i], xcb_randr_get_crtc_info(c, info->crtc, stamp)});
    }

    DisplayList list;
    list.primaryID = primary ? primary->output : 0;
    for (const Candidate& candidate : candidates) {
        XcbReply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(c, candidate.crtc, nullptr));
        if (!crtc || crtc->width == 0 || crtc->height == 0) continue;
        DisplayDescriptor display;
        display.id = candidate.output;
        display.bounds = {double(crtc->x), double(crtc->y), double(crtc->width), double(crtc->height)};
        if (crtc->mode != XCB_NONE) display.mode = DisplaySize{crtc->width, crtc->height};
        list.displays.push_back(display);
    }
    if (x.hasError()) return {};
    if (list.displays.empty()) return rootOnly(x);
    return list;
}

}  // namespace quill::host
