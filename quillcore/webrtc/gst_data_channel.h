#pragma once

#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quillcore/webrtc/gst_glue.h"
#include "quillcore/webrtc/peer_connection.h"

namespace quill::gst {

// A webrtcbin data channel. Sends and closes pass the connection's gate, so none of them
// runs while the pipeline is torn down.
class GstDataChannel final : public DataChannel, public std::enable_shared_from_this<GstDataChannel> {
public:
    static std::shared_ptr<GstDataChannel> make(GstWebRTCDataChannel* channel, std::shared_ptr<CallGate> gate);
    GstDataChannel(GstWebRTCDataChannel* channel, std::shared_ptr<CallGate> gate);
    ~GstDataChannel() override;

    std::string label() const override { return label_; }
    DataChannelState readyState() const override;
    bool send(const Bytes& data, bool isBinary) override;
    void close() override;
    void setDelegate(std::weak_ptr<DataChannelDelegate> delegate) override;

private:
    using Call = std::function<void(DataChannelDelegate&, const std::shared_ptr<DataChannel>&)>;
    void post(Call call);
    static void onMessageData(GstWebRTCDataChannel*, GBytes* data, gpointer user);
    static void onMessageString(GstWebRTCDataChannel*, const gchar* text, gpointer user);
    static void onReadyState(GstWebRTCDataChannel*, GParamSpec*, gpointer user);

    GstWebRTCDataChannel* const channel_;
    const std::shared_ptr<CallGate> gate_;
    std::string label_;
    std::vector<gulong> handlers_;
    std::mutex mutex_;
    std::weak_ptr<DataChannelDelegate> delegate_;
    std::atomic<bool> closeRequested_{false};
};

}  // namespace quill::gst
