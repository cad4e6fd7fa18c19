#include "quillcore/webrtc/gst_liveness.h"

#include <cstring>
#include <utility>

#include "quillcore/webrtc/gst_glue.h"

namespace quill::gst {
namespace {

bool isUp(IceConnectionState s) { return s == IceConnectionState::connected || s == IceConnectionState::completed; }

}  // namespace

Liveness::Liveness(std::chrono::nanoseconds rtcpInterval, Clock now)
    : rtcpInterval_(rtcpInterval), traffic_(std::make_shared<Traffic>()) {
    traffic_->now = now ? std::move(now) : Clock(monotonicNs);
}

void Liveness::elementAdded(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory) return;
    const char* name = GST_OBJECT_NAME(factory);
    if (std::strcmp(name, "nicesrc") == 0) {
        GstPad* pad = gst_element_get_static_pad(element, "src");
        if (!pad) return;
        gst_pad_add_probe(
            pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
            [](GstPad*, GstPadProbeInfo*, gpointer data) {
                (*static_cast<std::shared_ptr<Traffic>*>(data))->seen();
                return GST_PAD_PROBE_OK;
            },
            new std::shared_ptr<Traffic>(traffic_), [](gpointer data) { delete static_cast<std::shared_ptr<Traffic>*>(data); });
        gst_object_unref(pad);
    } else if (std::strcmp(name, "rtpsession") == 0 && hasProperty(element, "rtcp-min-interval")) {
        g_object_set(element, "rtcp-min-interval", static_cast<guint64>(rtcpInterval_.count()), nullptr);
    }
}

void Liveness::trafficSeen() { traffic_->seen(); }

bool Liveness::iceChanged(IceConnectionState state) {
    std::lock_guard lock(mutex_);
    const bool wasUp = isUp(ice_);
    ice_ = state;
    silenceReported_ = false;
    if (!isUp(state)) return false;
    // ICE that comes back up has just had the peer's answer: the silence counts from here.
    if (!wasUp) traffic_->seen();
    return !std::exchange(started_, true);
}

std::optional<IceConnectionState> Liveness::tick() {
    std::lock_guard lock(mutex_);
    if (!isUp(ice_)) return std::nullopt;
    const auto quiet = std::chrono::nanoseconds(traffic_->now() - traffic_->last.load(std::memory_order_relaxed));
    const bool silent = quiet > kSilenceLimit;
    if (silent == silenceReported_) return std::nullopt;
    silenceReported_ = silent;
    return silent ? IceConnectionState::disconnected : ice_;
}

}  // namespace quill::gst
