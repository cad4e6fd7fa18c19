#include "quillcore/webrtc/gst_liveness.h"

#include <cstring>

#include "quillcore/webrtc/gst_glue.h"

namespace quill::gst {
namespace {

using Traffic = std::shared_ptr<std::atomic<std::int64_t>>;

bool isUp(IceConnectionState s) { return s == IceConnectionState::connected || s == IceConnectionState::completed; }

}  // namespace

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
                (*static_cast<Traffic*>(data))->store(monotonicNs());
                return GST_PAD_PROBE_OK;
            },
            new Traffic(lastTraffic_), [](gpointer data) { delete static_cast<Traffic*>(data); });
        gst_object_unref(pad);
    } else if (std::strcmp(name, "rtpsession") == 0 && hasProperty(element, "rtcp-min-interval")) {
        g_object_set(element, "rtcp-min-interval", kRtcpIntervalNs, nullptr);
    }
}

bool Liveness::iceChanged(IceConnectionState state) {
    std::lock_guard lock(mutex_);
    ice_ = state;
    silenceReported_ = false;
    if (!isUp(state) || started_) return false;
    started_ = true;
    lastTraffic_->store(monotonicNs());
    return true;
}

std::optional<IceConnectionState> Liveness::tick() {
    std::lock_guard lock(mutex_);
    if (!isUp(ice_)) return std::nullopt;
    const bool silent = std::chrono::nanoseconds(monotonicNs() - lastTraffic_->load()) > kSilenceLimit;
    if (silent == silenceReported_) return std::nullopt;
    silenceReported_ = silent;
    return silent ? IceConnectionState::disconnected : ice_;
}

}  // namespace quill::gst
