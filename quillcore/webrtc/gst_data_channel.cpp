#include "quillcore/webrtc/gst_data_channel.h"

#include <cstring>

#include "quillcore/base/quick_wake.h"
#include "quillcore/base/serial_worker.h"

namespace quill::gst {

std::shared_ptr<GstDataChannel> GstDataChannel::make(GstWebRTCDataChannel* channel, std::shared_ptr<CallGate> gate) {
    auto self = std::make_shared<GstDataChannel>(channel, std::move(gate));
    std::weak_ptr<GstDataChannel> weak = self;
    self->handlers_ = {connectWeak(channel, "on-message-data", G_CALLBACK(onMessageData), weak),
                       connectWeak(channel, "on-message-string", G_CALLBACK(onMessageString), weak),
                       connectWeak(channel, "notify::ready-state", G_CALLBACK(onReadyState), weak)};
    return self;
}

GstDataChannel::GstDataChannel(GstWebRTCDataChannel* channel, std::shared_ptr<CallGate> gate)
    : channel_(static_cast<GstWebRTCDataChannel*>(gst_object_ref(channel))), gate_(std::move(gate)) {
    gchar* label = nullptr;
    g_object_get(channel_, "label", &label, nullptr);
    label_ = label ? label : "";
    g_free(label);
}

GstDataChannel::~GstDataChannel() {
    for (gulong id : handlers_)
        if (g_signal_handler_is_connected(channel_, id)) g_signal_handler_disconnect(channel_, id);
    gst_object_unref(channel_);
}

DataChannelState GstDataChannel::readyState() const {
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CONNECTING;
    g_object_get(channel_, "ready-state", &state, nullptr);
    switch (state) {
        case GST_WEBRTC_DATA_CHANNEL_STATE_OPEN: return DataChannelState::open;
        case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING: return DataChannelState::closing;
        case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED: return DataChannelState::closed;
        default: return DataChannelState::connecting;
    }
}

bool GstDataChannel::send(const Bytes& data, bool isBinary) {
    // An empty message closes the channel in webrtcbin, and sending on a channel that is not
    // open crashes it: neither ever reaches it.
    if (data.empty() || closeRequested_.load()) return false;
    CallGate::Pass pass(*gate_);
    if (!pass || readyState() != DataChannelState::open) return false;
    GError* err = nullptr;
    gboolean ok = FALSE;
    if (isBinary) {
        GBytes* bytes = g_bytes_new(data.data(), data.size());
        ok = gst_webrtc_data_channel_send_data_full(channel_, bytes, &err);
        g_bytes_unref(bytes);
    } else {
        std::string text(data.begin(), data.end());
        ok = gst_webrtc_data_channel_send_string_full(channel_, text.c_str(), &err);
    }
    if (err) g_error_free(err);
    return ok == TRUE;
}

void GstDataChannel::close() {
    if (closeRequested_.exchange(true)) return;
    CallGate::Pass pass(*gate_);
    if (!pass) return;
    const auto state = readyState();
    if (state == DataChannelState::closed || state == DataChannelState::closing) return;
    gst_webrtc_data_channel_close(channel_);
}

void GstDataChannel::setDelegate(std::weak_ptr<DataChannelDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

void GstDataChannel::post(Call call) {
    SerialWorker::events().post([weak = weak_from_this(), call = std::move(call)] {
        auto self = weak.lock();
        if (!self) return;
        std::shared_ptr<DataChannelDelegate> delegate;
        {
            std::lock_guard lock(self->mutex_);
            delegate = self->delegate_.lock();
        }
        if (delegate) call(*delegate, self);
    });
}

void GstDataChannel::onMessageData(GstWebRTCDataChannel*, GBytes* data, gpointer user) {
    GstThreadScope scope;
    // webrtcbin's own thread, which hands received messages on.
    static thread_local const bool hinted = (preferQuickWakeUps(), true);
    (void)hinted;
    auto self = lockWeak<GstDataChannel>(user);
    if (!self) return;
    Bytes bytes;
    gsize size = 0;
    if (auto* p = data ? static_cast<const std::uint8_t*>(g_bytes_get_data(data, &size)) : nullptr)
        bytes.assign(p, p + size);
    self->post([bytes = std::move(bytes)](DataChannelDelegate& d, const std::shared_ptr<DataChannel>& ch) {
        d.dataChannelDidReceiveMessage(ch, bytes, true);
    });
}

void GstDataChannel::onMessageString(GstWebRTCDataChannel*, const gchar* text, gpointer user) {
    GstThreadScope scope;
    auto self = lockWeak<GstDataChannel>(user);
    if (!self) return;
    Bytes bytes;
    if (text) bytes.assign(text, text + std::strlen(text));
    self->post([bytes = std::move(bytes)](DataChannelDelegate& d, const std::shared_ptr<DataChannel>& ch) {
        d.dataChannelDidReceiveMessage(ch, bytes, false);
    });
}

void GstDataChannel::onReadyState(GstWebRTCDataChannel*, GParamSpec*, gpointer user) {
    GstThreadScope scope;
    if (auto self = lockWeak<GstDataChannel>(user))
        self->post([](DataChannelDelegate& d, const std::shared_ptr<DataChannel>& ch) { d.dataChannelDidChangeState(ch); });
}

}  // namespace quill::gst
