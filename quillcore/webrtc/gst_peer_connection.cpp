#include "quillcore/webrtc/gst_peer_connection.h"

#include <arpa/inet.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string_view>

#if QUILL_HAVE_LIBYUV
#include <libyuv/convert_from_argb.h>
#endif

#include "quillcore/base/diagnostics.h"
#include "quillcore/webrtc/codec_factory.h"
#include "quillcore/webrtc/serial_worker.h"

namespace quill {

const char* iceConnectionStateName(IceConnectionState state) {
    switch (state) {
        case IceConnectionState::newState: return "new";
        case IceConnectionState::checking: return "checking";
        case IceConnectionState::connected: return "connected";
        case IceConnectionState::completed: return "completed";
        case IceConnectionState::failed: return "failed";
        case IceConnectionState::disconnected: return "disconnected";
        case IceConnectionState::closed: return "closed";
    }
    return "unknown";
}

namespace {

using Clock = std::chrono::steady_clock;

// How long the peer may stay silent before the connection counts as disconnected. Both sides
// send RTCP at least every `kRtcpInterval`, so a live peer is never silent this long.
constexpr auto kSilenceLimit = std::chrono::milliseconds(3000);
constexpr auto kLivenessPeriod = std::chrono::milliseconds(250);
constexpr guint64 kRtcpIntervalNs = 500 * GST_MSECOND;
// Receive jitter buffer; webrtcbin's 200 ms default is far too much for a remote desktop.
constexpr guint kJitterLatencyMs = 50;
constexpr double kPromiseTimeoutSeconds = 10.0;
constexpr guint kIceCheckPacingMs = 10;

std::int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

bool hasProperty(gpointer object, const char* name) {
    return g_object_class_find_property(G_OBJECT_GET_CLASS(object), name) != nullptr;
}

template <class T>
gulong connectWeak(gpointer object, const char* signal, GCallback callback, std::weak_ptr<T> weak) {
    return g_signal_connect_data(
        object, signal, callback, new std::weak_ptr<T>(std::move(weak)),
        [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<T>*>(data); }, GConnectFlags(0));
}

template <class T>
std::shared_ptr<T> lockWeak(gpointer data) {
    return static_cast<std::weak_ptr<T>*>(data)->lock();
}

std::string errorText(const GError* error, const char* fallback) {
    if (error && error->message && *error->message) return error->message;
    return fallback;
}

// Emits a promise-taking action and waits (bounded) for its reply, off GStreamer's threads.
// `replied` false: interrupted or timed out. `reply` is a copy, owned by the caller.
struct PromiseOutcome {
    bool replied = false;
    GstStructure* reply = nullptr;
    ~PromiseOutcome() {
        if (reply) gst_structure_free(reply);
    }
    // A reply with an "error" field is a failure even when the GError itself is missing.
    std::optional<std::string> error() const {
        if (!replied) return std::string("WebRTC did not answer in time");
        if (!reply || !gst_structure_has_field(reply, "error")) return std::nullopt;
        GError* err = nullptr;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &err, nullptr);
        std::string text = errorText(err, "WebRTC reported an error");
        if (err) g_error_free(err);
        return text;
    }
};

struct PromiseWait {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool replied = false;
    GstStructure* reply = nullptr;
};

void callWithPromise(const std::function<void(GstPromise*)>& emit, PromiseOutcome& outcome) {
    auto wait = std::make_shared<PromiseWait>();
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise* p, gpointer data) {
            GstThreadScope scope;
            auto& w = *static_cast<std::shared_ptr<PromiseWait>*>(data);
            GstPromiseResult result = gst_promise_wait(p);
            std::lock_guard lock(w->mutex);
            if (w->done) return;
            w->done = true;
            if (result == GST_PROMISE_RESULT_REPLIED) {
                w->replied = true;
                const GstStructure* r = gst_promise_get_reply(p);
                w->reply = r ? gst_structure_copy(r) : nullptr;
            }
            w->cv.notify_all();
        },
        new std::shared_ptr<PromiseWait>(wait),
        [](gpointer data) { delete static_cast<std::shared_ptr<PromiseWait>*>(data); });
    emit(promise);
    {
        std::unique_lock lock(wait->mutex);
        wait->cv.wait_for(lock, std::chrono::duration<double>(kPromiseTimeoutSeconds), [&] { return wait->done; });
        if (!wait->done) wait->done = true;  // a late reply is dropped
        outcome.replied = wait->replied;
        outcome.reply = wait->reply;
        wait->reply = nullptr;
    }
    gst_promise_interrupt(promise);
    gst_promise_unref(promise);
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string camelCase(const char* hyphenated) {
    std::string out;
    bool up = false;
    for (const char* p = hyphenated; *p; ++p) {
        if (*p == '-') {
            up = true;
            continue;
        }
        out.push_back(up ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : *p);
        up = false;
    }
    return out;
}

// Every address of an interface that is up, loopback included: libnice skips loopback
// unless told, and the sessions must work on it.
std::vector<std::string> localAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !(a->ifa_flags & IFF_UP)) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ifa_addr->sa_family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(a->ifa_addr);
            if (IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) continue;  // needs a scope libnice cannot take here
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        } else {
            continue;
        }
        if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
    }
    freeifaddrs(list);
    return out;
}

GstCaps* codecCaps(const std::string& name, int clockRate, int payloadType,
                   const std::map<std::string, std::string>& parameters) {
    GstStructure* s = gst_structure_new("application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name",
                                        G_TYPE_STRING, name.c_str(), "clock-rate", G_TYPE_INT, clockRate, "payload",
                                        G_TYPE_INT, payloadType, nullptr);
    for (const auto& [k, v] : parameters) gst_structure_set(s, k.c_str(), G_TYPE_STRING, v.c_str(), nullptr);
    GstCaps* caps = gst_caps_new_empty();
    gst_caps_append_structure(caps, s);
    return caps;
}

std::optional<SessionDescription> toDescription(GstWebRTCSessionDescription* desc) {
    if (!desc || !desc->sdp) return std::nullopt;
    gchar* text = gst_sdp_message_as_text(desc->sdp);
    SessionDescription out{desc->type == GST_WEBRTC_SDP_TYPE_OFFER ? SdpType::offer : SdpType::answer,
                           text ? text : ""};
    g_free(text);
    return out;
}

// ---------------------------------------------------------------------------------------------

class GstPc;

class GstDc final : public DataChannel, public std::enable_shared_from_this<GstDc> {
public:
    GstDc(GstWebRTCDataChannel* channel, std::weak_ptr<GstPc> owner)
        : channel_(static_cast<GstWebRTCDataChannel*>(gst_object_ref(channel))), owner_(std::move(owner)) {
        gchar* label = nullptr;
        g_object_get(channel_, "label", &label, nullptr);
        label_ = label ? label : "";
        g_free(label);
    }

    ~GstDc() override {
        for (gulong id : handlers_)
            if (g_signal_handler_is_connected(channel_, id)) g_signal_handler_disconnect(channel_, id);
        gst_object_unref(channel_);
    }

    void connectSignals() {
        std::weak_ptr<GstDc> weak = weak_from_this();
        handlers_.push_back(connectWeak(channel_, "on-message-data", G_CALLBACK(onMessageData), weak));
        handlers_.push_back(connectWeak(channel_, "on-message-string", G_CALLBACK(onMessageString), weak));
        handlers_.push_back(connectWeak(channel_, "notify::ready-state", G_CALLBACK(onReadyState), weak));
    }

    std::string label() const override { return label_; }

    DataChannelState readyState() const override {
        GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CONNECTING;
        g_object_get(channel_, "ready-state", &state, nullptr);
        switch (state) {
            case GST_WEBRTC_DATA_CHANNEL_STATE_OPEN: return DataChannelState::open;
            case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING: return DataChannelState::closing;
            case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED: return DataChannelState::closed;
            default: return DataChannelState::connecting;
        }
    }

    bool send(const Bytes& data, bool isBinary) override;

    void close() override;

    void setDelegate(std::weak_ptr<DataChannelDelegate> delegate) override {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }

private:
    std::shared_ptr<DataChannelDelegate> delegate() {
        std::lock_guard lock(mutex_);
        return delegate_.lock();
    }

    void post(std::function<void(DataChannelDelegate&, const std::shared_ptr<DataChannel>&)> call) {
        SerialWorker::events().post([weak = weak_from_this(), call = std::move(call)] {
            auto self = weak.lock();
            if (!self) return;
            if (auto d = self->delegate()) call(*d, self);
        });
    }

    static void onMessageData(GstWebRTCDataChannel*, GBytes* data, gpointer user) {
        GstThreadScope scope;
        auto self = lockWeak<GstDc>(user);
        if (!self) return;
        Bytes bytes;
        if (data) {
            gsize size = 0;
            auto* p = static_cast<const std::uint8_t*>(g_bytes_get_data(data, &size));
            if (p) bytes.assign(p, p + size);
        }
        self->post([bytes = std::move(bytes)](DataChannelDelegate& d, const std::shared_ptr<DataChannel>& ch) {
            d.dataChannelDidReceiveMessage(ch, bytes, true);
        });
    }

    static void onMessageString(GstWebRTCDataChannel*, const gchar* text, gpointer user) {
        GstThreadScope scope;
        auto self = lockWeak<GstDc>(user);
        if (!self) return;
        Bytes bytes;
        if (text) bytes.assign(text, text + std::strlen(text));
        self->post([bytes = std::move(bytes)](DataChannelDelegate& d, const std::shared_ptr<DataChannel>& ch) {
            d.dataChannelDidReceiveMessage(ch, bytes, false);
        });
    }

    static void onReadyState(GstWebRTCDataChannel*, GParamSpec*, gpointer user) {
        GstThreadScope scope;
        auto self = lockWeak<GstDc>(user);
        if (!self) return;
        self->post([](DataChannelDelegate& d, const std::shared_ptr<DataChannel>& ch) { d.dataChannelDidChangeState(ch); });
    }

    GstWebRTCDataChannel* channel_;
    std::weak_ptr<GstPc> owner_;
    std::string label_;
    std::vector<gulong> handlers_;
    std::mutex mutex_;
    std::weak_ptr<DataChannelDelegate> delegate_;
    std::atomic<bool> closeRequested_{false};
};

// ---------------------------------------------------------------------------------------------

class GstRemoteTrack final : public RemoteVideoTrack {
public:
    // A slow consumer keeps at most this many decoded frames waiting.
    static constexpr std::size_t kMaxPending = 3;

    explicit GstRemoteTrack(std::string id) : id_(std::move(id)), frames_(AsyncStream<PixelBufferPtr>::make()) {}

    std::string trackId() const override { return id_; }
    AsyncStreamPtr<PixelBufferPtr> frames() const override { return frames_; }
    std::uint64_t decodedFrameCount() const override { return decoded_.load(); }

    void deliver(PixelBufferPtr frame) {
        decoded_.fetch_add(1);
        if (frames_->pending() < kMaxPending) frames_->push(std::move(frame));
    }
    void finish() { frames_->finish(); }

private:
    std::string id_;
    AsyncStreamPtr<PixelBufferPtr> frames_;
    std::atomic<std::uint64_t> decoded_{0};
};

// ---------------------------------------------------------------------------------------------

class GstVideoSourceImpl final : public VideoSource {
public:
    void adaptOutputFormat(int width, int height, int fps) override {
        std::lock_guard lock(mutex_);
        width_ = width;
        height_ = height;
        fps_ = fps;
    }

    void captureFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs) override {
        if (!frame || !frame->data() || frame->width() <= 0 || frame->height() <= 0 ||
            frame->stride() < frame->width() * 4)
            return;
        GstElement* appsrc = nullptr;
        bool newCaps = false;
        {
            std::lock_guard lock(mutex_);
            if (!appsrc_ || !active_) return;
            // A time stamp behind the last one is a capture that started its clock again: it
            // starts a new count instead of holding every frame back until the old time.
            if (maxFps_ > 0 && lastTimeStamp_ && timeStampNs >= *lastTimeStamp_) {
                // A little slack so that a capture clock at exactly the limit is not halved.
                const double minGap = 0.9e9 / maxFps_;
                if (static_cast<double>(timeStampNs - *lastTimeStamp_) < minGap) return;
            }
            lastTimeStamp_ = timeStampNs;
            if (frame->width() != capsWidth_ || frame->height() != capsHeight_) {
                capsWidth_ = frame->width();
                capsHeight_ = frame->height();
                newCaps = true;
            }
            appsrc = static_cast<GstElement*>(gst_object_ref(appsrc_));
        }
        if (newCaps) setCaps(appsrc, frame->width(), frame->height());
        push(appsrc, frame, timeStampNs);
        gst_object_unref(appsrc);
    }

    // The first frame through the chain, so that caps reach webrtcbin before the answer.
    void primeWithBlackFrame() {
        GstElement* appsrc = nullptr;
        int w = 0, h = 0;
        {
            std::lock_guard lock(mutex_);
            if (!appsrc_) return;
            w = width_;
            h = height_;
            capsWidth_ = w;
            capsHeight_ = h;
            appsrc = static_cast<GstElement*>(gst_object_ref(appsrc_));
        }
        std::vector<std::uint8_t> black(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0);
        setCaps(appsrc, w, h);
        auto frame = PixelBuffer::fromVector(w, h, std::move(black));
        // x264 gives out a frame when the next one comes in: two frames make the first one leave.
        push(appsrc, frame, std::nullopt);
        push(appsrc, frame, std::nullopt);
        gst_object_unref(appsrc);
    }

    void attach(GstElement* appsrc) {
        std::lock_guard lock(mutex_);
        appsrc_ = static_cast<GstElement*>(gst_object_ref(appsrc));
    }

    void detach() {
        GstElement* old = nullptr;
        {
            std::lock_guard lock(mutex_);
            old = appsrc_;
            appsrc_ = nullptr;
        }
        if (old) gst_object_unref(old);
    }

    void setLimits(bool active, double maxFps) {
        std::lock_guard lock(mutex_);
        active_ = active;
        maxFps_ = maxFps;
    }

    int width() const {
        std::lock_guard lock(mutex_);
        return width_;
    }
    int height() const {
        std::lock_guard lock(mutex_);
        return height_;
    }
    int fps() const {
        std::lock_guard lock(mutex_);
        return fps_;
    }

    ~GstVideoSourceImpl() override { detach(); }

private:
#if QUILL_HAVE_LIBYUV
    // Frames enter as I420 made by libyuv (SIMD, about 1 ms per 1080p frame); videoconvert
    // has no fast path from BGRx and spends about 6 ms of CPU on the same frame. BT.601,
    // limited range, is also what WebRTC receivers assume.
    static void setCaps(GstElement* appsrc, int w, int h) {
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, w,
                                            "height", G_TYPE_INT, h, "framerate", GST_TYPE_FRACTION, 0, 1,
                                            "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, "colorimetry",
                                            G_TYPE_STRING, "bt601", nullptr);
        gst_app_src_set_caps(GST_APP_SRC(appsrc), caps);
        gst_caps_unref(caps);
    }

    void push(GstElement* appsrc, const PixelBufferPtr& frame, std::optional<std::int64_t> timeStampNs) {
        GstVideoInfo info;
        gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, static_cast<guint>(frame->width()),
                                  static_cast<guint>(frame->height()));
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
        if (!buffer) return;
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
            gst_buffer_unref(buffer);
            return;
        }
        auto plane = [&](int i) { return map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, i); };
        libyuv::ARGBToI420(frame->data(), frame->stride(), plane(0), GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), plane(1),
                           GST_VIDEO_INFO_PLANE_STRIDE(&info, 1), plane(2), GST_VIDEO_INFO_PLANE_STRIDE(&info, 2),
                           frame->width(), frame->height());
        gst_buffer_unmap(buffer, &map);
        GST_BUFFER_PTS(buffer) = presentationTime(appsrc, timeStampNs);
        gst_app_src_push_buffer(GST_APP_SRC(appsrc), buffer);
    }
#else
    static void setCaps(GstElement* appsrc, int w, int h) {
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", "width", G_TYPE_INT, w,
                                            "height", G_TYPE_INT, h, "framerate", GST_TYPE_FRACTION, 0, 1,
                                            "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        gst_app_src_set_caps(GST_APP_SRC(appsrc), caps);
        gst_caps_unref(caps);
    }

    // The frame's own memory goes down the pipeline: nothing is copied before videoconvert.
    void push(GstElement* appsrc, const PixelBufferPtr& frame, std::optional<std::int64_t> timeStampNs) {
        const std::size_t size = frame->byteCount();
        auto* keep = new PixelBufferPtr(frame);
        GstBuffer* buffer = gst_buffer_new_wrapped_full(
            GST_MEMORY_FLAG_READONLY, const_cast<std::uint8_t*>(frame->data()), size, 0, size, keep,
            [](gpointer data) { delete static_cast<PixelBufferPtr*>(data); });
        gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
        gint strides[GST_VIDEO_MAX_PLANES] = {frame->stride()};
        gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRx,
                                       static_cast<guint>(frame->width()), static_cast<guint>(frame->height()), 1,
                                       offsets, strides);
        GST_BUFFER_PTS(buffer) = presentationTime(appsrc, timeStampNs);
        gst_app_src_push_buffer(GST_APP_SRC(appsrc), buffer);
    }
#endif

    // The caller's time stamps, moved onto the pipeline's running time and kept increasing.
    GstClockTime presentationTime(GstElement* appsrc, std::optional<std::int64_t> timeStampNs) {
        GstClockTime running = 0;
        if (GstClock* clock = gst_element_get_clock(appsrc)) {
            GstClockTime now = gst_clock_get_time(clock);
            GstClockTime base = gst_element_get_base_time(appsrc);
            running = now > base ? now - base : 0;
            gst_object_unref(clock);
        }
        std::lock_guard lock(mutex_);
        GstClockTime pts = running;
        if (timeStampNs) {
            if (!offsetNs_ || (lastTimeStampNs_ && *timeStampNs < *lastTimeStampNs_))
                offsetNs_ = static_cast<std::int64_t>(running) - *timeStampNs;
            lastTimeStampNs_ = *timeStampNs;
            const std::int64_t mapped = *timeStampNs + *offsetNs_;
            pts = mapped > 0 ? static_cast<GstClockTime>(mapped) : 0;
        }
        if (lastPts_ != GST_CLOCK_TIME_NONE && pts <= lastPts_) pts = lastPts_ + 1;
        lastPts_ = pts;
        return pts;
    }

    mutable std::mutex mutex_;
    int width_ = 0;
    int height_ = 0;
    int fps_ = 0;
    int capsWidth_ = 0;
    int capsHeight_ = 0;
    GstElement* appsrc_ = nullptr;
    bool active_ = true;
    double maxFps_ = 0;
    std::optional<std::int64_t> lastTimeStamp_;
    std::optional<std::int64_t> offsetNs_;
    std::optional<std::int64_t> lastTimeStampNs_;  // the last one mapped to a presentation time
    GstClockTime lastPts_ = GST_CLOCK_TIME_NONE;
};

class GstSender final : public RtpSender {
public:
    GstSender(GstElement* encoder, std::shared_ptr<GstVideoSourceImpl> source)
        : encoder_(static_cast<GstElement*>(gst_object_ref(encoder))), source_(std::move(source)) {
        parameters_.encodings.push_back(RtpEncodingParameters{});
    }
    ~GstSender() override { gst_object_unref(encoder_); }

    RtpParameters parameters() const override {
        std::lock_guard lock(mutex_);
        return parameters_;
    }

    // No sender parameters exist in webrtcbin: the limits go on the encoder and the source.
    void setParameters(const RtpParameters& parameters) override {
        {
            std::lock_guard lock(mutex_);
            parameters_ = parameters;
        }
        if (parameters.encodings.empty()) return;
        const auto& e = parameters.encodings.front();
        if (e.maxBitrateBps && *e.maxBitrateBps > 0) {
            const std::int64_t kbps = std::clamp<std::int64_t>(*e.maxBitrateBps / 1000, 1, 2048000);
            g_object_set(encoder_, "bitrate", static_cast<guint>(kbps), nullptr);
        }
        source_->setLimits(e.isActive, e.maxFramerate.value_or(0));
    }

private:
    GstElement* encoder_;
    std::shared_ptr<GstVideoSourceImpl> source_;
    mutable std::mutex mutex_;
    RtpParameters parameters_;
};

class GstTransceiver final : public RtpTransceiver {
public:
    explicit GstTransceiver(GstWebRTCRTPTransceiver* t) : t_(static_cast<GstWebRTCRTPTransceiver*>(gst_object_ref(t))) {}
    ~GstTransceiver() override { gst_object_unref(t_); }

    bool setCodecPreferences(const std::vector<CodecCapability>& codecs, std::string& error) override {
        if (codecs.empty()) {
            error = "no video codec can be received";
            return false;
        }
        GstCaps* caps = gst_caps_new_empty();
        int pt = 96;
        std::vector<int> media;
        for (const auto& c : codecs) {
            if (pt > 127) break;
            const std::string name = lower(c.name);
            if (name == "rtx") continue;  // made below, one per codec
            if (name != "red" && name != "ulpfec") media.push_back(pt);
            gst_caps_append(caps, codecCaps(c.name, c.clockRate, pt++, c.parameters));
        }
        // webrtcbin offers retransmission for the first codec only; the peer may answer
        // another, so every codec gets its own.
        for (int apt : media) {
            if (pt > 127) break;
            gst_caps_append(caps, codecCaps("rtx", 90000, pt++, {{"apt", std::to_string(apt)}}));
        }
        g_object_set(t_, "codec-preferences", caps, nullptr);
        gst_caps_unref(caps);
        return true;
    }

private:
    GstWebRTCRTPTransceiver* t_;
};

// ---------------------------------------------------------------------------------------------

class GstPc final : public PeerConnection, public std::enable_shared_from_this<GstPc> {
public:
    GstPc(const QuillVideoEncoderFactory& encoders, const QuillVideoDecoderFactory& decoders)
        : encoders_(encoders), decoders_(decoders), liveness_(std::make_shared<std::atomic<std::int64_t>>(0)) {}

    ~GstPc() override { close(); }

    bool start(const RtcConfiguration& configuration) {
        pipeline_ = gst_pipeline_new(nullptr);
        webrtc_ = gst_element_factory_make("webrtcbin", nullptr);
        if (!pipeline_ || !webrtc_) {
            if (webrtc_) gst_object_unref(webrtc_);
            if (pipeline_) gst_object_unref(pipeline_);
            pipeline_ = webrtc_ = nullptr;
            return false;
        }
        gst_object_ref_sink(pipeline_);
        gst_util_set_object_arg(G_OBJECT(webrtc_), "bundle-policy", "max-bundle");
        g_object_set(webrtc_, "latency", kJitterLatencyMs, nullptr);
        for (const auto& server : configuration.iceServers) {
            bool set = false;
            for (const auto& url : server.urls) {
                if (lower(url).rfind("stun:", 0) == 0) {
                    std::string stun = "stun://" + url.substr(5);
                    g_object_set(webrtc_, "stun-server", stun.c_str(), nullptr);
                    set = true;
                    break;
                }
            }
            if (set) break;
        }
        gst_bin_add(GST_BIN(pipeline_), webrtc_);

        GstBus* bus = gst_element_get_bus(pipeline_);
        gst_bus_set_sync_handler(bus, onBusMessage, nullptr, nullptr);
        gst_object_unref(bus);

        std::weak_ptr<GstPc> weak = weak_from_this();
        remember(pipeline_, connectWeak(pipeline_, "deep-element-added", G_CALLBACK(onDeepElementAdded), weak));
        remember(webrtc_, connectWeak(webrtc_, "notify::ice-connection-state", G_CALLBACK(onIceState), weak));
        remember(webrtc_, connectWeak(webrtc_, "on-data-channel", G_CALLBACK(onDataChannel), weak));
        remember(webrtc_, connectWeak(webrtc_, "pad-added", G_CALLBACK(onPadAdded), weak));

        configureIceAgent();

        if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            teardownNow(pipeline_);
            pipeline_ = webrtc_ = nullptr;
            return false;
        }
        return true;
    }

    void setDelegate(std::weak_ptr<PeerConnectionDelegate> delegate) override {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }

    bool isClosed() const {
        std::lock_guard lock(mutex_);
        return closed_ || !webrtc_;
    }

    std::shared_ptr<DataChannel> createDataChannel(const std::string& label, const DataChannelInit& init) override {
        if (isClosed()) return nullptr;
        GstStructure* options = gst_structure_new("options", "ordered", G_TYPE_BOOLEAN, init.ordered ? TRUE : FALSE,
                                                  "max-retransmits", G_TYPE_INT, init.maxRetransmits,
                                                  "max-packet-lifetime", G_TYPE_INT, init.maxPacketLifeTime, nullptr);
        GstWebRTCDataChannel* channel = nullptr;
        g_signal_emit_by_name(webrtc_, "create-data-channel", label.c_str(), options, &channel);
        gst_structure_free(options);
        if (!channel) return nullptr;
        auto wrapper = adopt(channel);
        gst_object_unref(channel);
        return wrapper;
    }

    std::shared_ptr<RtpTransceiver> addTransceiver(MediaKind kind, TransceiverDirection direction) override {
        if (isClosed() || kind != MediaKind::video) return nullptr;
        GstWebRTCRTPTransceiverDirection d = GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY;
        switch (direction) {
            case TransceiverDirection::sendOnly: d = GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY; break;
            case TransceiverDirection::recvOnly: d = GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY; break;
            case TransceiverDirection::sendRecv: d = GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDRECV; break;
            case TransceiverDirection::inactive: d = GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_INACTIVE; break;
        }
        GstWebRTCRTPTransceiver* t = nullptr;
        g_signal_emit_by_name(webrtc_, "add-transceiver", d, nullptr, &t);
        if (!t) return nullptr;
        if (hasProperty(t, "do-nack")) g_object_set(t, "do-nack", TRUE, nullptr);
        auto out = std::make_shared<GstTransceiver>(t);
        gst_object_unref(t);
        return out;
    }

    DescriptionResult createOffer() override { return createDescription("create-offer", "offer"); }
    DescriptionResult createAnswer() override { return createDescription("create-answer", "answer"); }

    std::optional<std::string> setLocalDescription(const SessionDescription& d) override {
        return setDescription("set-local-description", d);
    }
    std::optional<std::string> setRemoteDescription(const SessionDescription& d) override {
        if (auto refused = gstsdp::refusedRemoteDescription(d.sdp)) return refused;
        // webrtcbin cannot run a bundle whose first section carries no RTP: it takes the
        // sections in another order and gives its answer back in the offer's order. Every
        // bundled section shares one transport, so only the text changes.
        if (d.type == SdpType::offer) {
            if (auto reordered = gstsdp::rtpSectionsFirst(d.sdp)) {
                {
                    std::lock_guard lock(mutex_);
                    remoteMidOrder_ = reordered->mids;
                }
                return setDescription("set-remote-description", SessionDescription{d.type, reordered->sdp});
            }
        }
        return setDescription("set-remote-description", d);
    }

    std::optional<std::string> addIceCandidate(const IceCandidate& candidate) override {
        if (isClosed()) return std::string("the connection is closed");
        if (candidate.sdpMLineIndex < 0) return std::string("invalid m-line index");
        std::string text = candidate.sdp;
        if (text.rfind("a=", 0) == 0) text.erase(0, 2);
        guint index = static_cast<guint>(candidate.sdpMLineIndex);
        std::vector<std::string> order;
        {
            std::lock_guard lock(mutex_);
            order = remoteMidOrder_;
        }
        // The peer counts its sections in its own order.
        if (index < order.size()) index = localIndexOfMid(order[index]);
        g_signal_emit_by_name(webrtc_, "add-ice-candidate", index, text.c_str());
        return std::nullopt;
    }

    IceGatheringState iceGatheringState() const override {
        if (isClosed()) return IceGatheringState::newState;
        GstWebRTCICEGatheringState s = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
        g_object_get(webrtc_, "ice-gathering-state", &s, nullptr);
        switch (s) {
            case GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE: return IceGatheringState::complete;
            case GST_WEBRTC_ICE_GATHERING_STATE_GATHERING: return IceGatheringState::gathering;
            default: return IceGatheringState::newState;
        }
    }

    std::optional<SessionDescription> localDescription() const override {
        if (isClosed()) return std::nullopt;
        GstWebRTCSessionDescription* desc = nullptr;
        g_object_get(webrtc_, "local-description", &desc, nullptr);
        auto out = toDescription(desc);
        if (desc) gst_webrtc_session_description_free(desc);
        std::vector<std::string> order;
        {
            std::lock_guard lock(mutex_);
            order = remoteMidOrder_;
        }
        if (out && out->type == SdpType::answer && !order.empty()) out->sdp = gstsdp::inMidOrder(out->sdp, order);
        return out;
    }

    std::shared_ptr<VideoSource> makeScreenVideoSource() override { return std::make_shared<GstVideoSourceImpl>(); }

    std::shared_ptr<RtpSender> addVideoTrack(const std::shared_ptr<VideoSource>& source, const std::string& trackId,
                                             const std::vector<std::string>& streamIds) override;

    void requestStatistics(std::function<void(std::optional<StatsReport>)> completion) override;

    void close() override {
        std::vector<std::pair<gpointer, gulong>> handlers;
        GstElement* pipeline = nullptr;
        std::shared_ptr<GstVideoSourceImpl> source;
        std::shared_ptr<GstRemoteTrack> track;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            closed_ = true;
            handlers.swap(handlers_);
            pipeline = pipeline_;
            source = videoSource_;
            track = remoteTrack_;
        }
        for (auto& [object, id] : handlers)
            if (g_signal_handler_is_connected(object, id)) g_signal_handler_disconnect(object, id);
        if (source) source->detach();
        if (track) track->finish();
        if (!pipeline) return;
        // Stopping webrtcbin on one of its own threads deadlocks; the teardown thread does it,
        // and we wait for it unless we are on such a thread ourselves.
        auto& worker = SerialWorker::teardown();
        if (GstThreadScope::active() || worker.isCurrentThread()) {
            worker.post([pipeline] { teardownNow(pipeline); });
        } else {
            worker.runAndWait([pipeline] { teardownNow(pipeline); });
        }
    }

private:
    static void teardownNow(GstElement* pipeline) {
        GstBus* bus = gst_element_get_bus(pipeline);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }

    void remember(gpointer object, gulong id) {
        std::lock_guard lock(mutex_);
        handlers_.emplace_back(object, id);
    }

    std::shared_ptr<PeerConnectionDelegate> delegate() {
        std::lock_guard lock(mutex_);
        return delegate_.lock();
    }

    void postToDelegate(std::function<void(PeerConnectionDelegate&)> call) {
        SerialWorker::events().post([weak = weak_from_this(), call = std::move(call)] {
            auto self = weak.lock();
            if (!self || self->isClosed()) return;
            if (auto d = self->delegate()) call(*d);
        });
    }

    std::shared_ptr<GstDc> adopt(GstWebRTCDataChannel* channel) {
        auto wrapper = std::make_shared<GstDc>(channel, weak_from_this());
        wrapper->connectSignals();
        std::lock_guard lock(mutex_);
        channels_.push_back(wrapper);
        return wrapper;
    }

    void configureIceAgent() {
        GstWebRTCICE* ice = nullptr;
        if (!hasProperty(webrtc_, "ice-agent")) return;
        g_object_get(webrtc_, "ice-agent", &ice, nullptr);
        if (!ice) return;
        for (const auto& address : localAddresses()) {
            gboolean ok = FALSE;
            g_signal_emit_by_name(ice, "add-local-ip-address", address.c_str(), &ok);
        }
        if (hasProperty(ice, "agent")) {
            GObject* agent = nullptr;
            g_object_get(ice, "agent", &agent, nullptr);
            if (agent) {
                if (hasProperty(agent, "upnp")) g_object_set(agent, "upnp", FALSE, nullptr);
                // Connectivity checks every 10 ms instead of 20 (5 is the floor ICE allows):
                // about 30 ms less from answer to open channels.
                if (hasProperty(agent, "stun-pacing-timer"))
                    g_object_set(agent, "stun-pacing-timer", kIceCheckPacingMs, nullptr);
                // Lets ICE still end in failed when the peer is gone for good.
                if (hasProperty(agent, "keepalive-conncheck")) g_object_set(agent, "keepalive-conncheck", TRUE, nullptr);
                g_object_unref(agent);
            }
        }
        gst_object_unref(ice);
    }

    DescriptionResult createDescription(const char* action, const char* field) {
        DescriptionResult result;
        if (isClosed()) {
            result.error = "the connection is closed";
            return result;
        }
        PromiseOutcome outcome;
        callWithPromise([&](GstPromise* p) { g_signal_emit_by_name(webrtc_, action, nullptr, p); }, outcome);
        if (outcome.replied && outcome.reply && gst_structure_has_field(outcome.reply, field)) {
            GstWebRTCSessionDescription* desc = nullptr;
            gst_structure_get(outcome.reply, field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr);
            result.description = toDescription(desc);
            if (desc) gst_webrtc_session_description_free(desc);
        }
        result.error = outcome.error();
        return result;
    }

    std::optional<std::string> setDescription(const char* action, const SessionDescription& d) {
        if (isClosed()) return std::string("the connection is closed");
        GstSDPMessage* sdp = nullptr;
        if (d.sdp.empty()) return std::string("the session description is empty");
        if (gst_sdp_message_new_from_text(d.sdp.c_str(), &sdp) != GST_SDP_OK || !sdp) {
            if (sdp) gst_sdp_message_free(sdp);
            return std::string("the session description could not be read");
        }
        // webrtcbin asserts on descriptions without media or with an m-line of no format.
        if (gst_sdp_message_medias_len(sdp) == 0) {
            gst_sdp_message_free(sdp);
            return std::string("the session description has no media");
        }
        if (gst_sdp_message_medias_len(sdp) > gstsdp::kMaxMediaSections) {
            gst_sdp_message_free(sdp);
            return std::string("the session description has too many media sections");
        }
        for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
            const GstSDPMedia* m = gst_sdp_message_get_media(sdp, i);
            if (!m || !gst_sdp_media_get_media(m) || gst_sdp_media_formats_len(m) == 0) {
                gst_sdp_message_free(sdp);
                return std::string("the session description has an invalid media section");
            }
        }
        leadBundleWithMedia(sdp);
        GstWebRTCSessionDescription* desc = gst_webrtc_session_description_new(
            d.type == SdpType::offer ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
        PromiseOutcome outcome;
        callWithPromise([&](GstPromise* p) { g_signal_emit_by_name(webrtc_, action, desc, p); }, outcome);
        gst_webrtc_session_description_free(desc);
        return outcome.error();
    }

    // Where a section of the peer's offer sits in the order webrtcbin was given.
    guint localIndexOfMid(const std::string& mid) const {
        GstWebRTCSessionDescription* remote = nullptr;
        g_object_get(webrtc_, "remote-description", &remote, nullptr);
        guint found = 0;
        if (remote && remote->sdp) {
            for (guint i = 0; i < gst_sdp_message_medias_len(remote->sdp); ++i) {
                const gchar* m = gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(remote->sdp, i), "mid");
                if (m && mid == m) found = i;
            }
        }
        if (remote) gst_webrtc_session_description_free(remote);
        return found;
    }

    // webrtcbin runs a bundle's RTP over the transport of the group's first section and
    // aborts the process when that one carries no RTP (an offer with the data channels first).
    // Naming an RTP section first in the group changes nothing else: every bundled section
    // shares one transport.
    static void leadBundleWithMedia(GstSDPMessage* sdp) {
        std::map<std::string, std::string> kindOfMid;
        for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
            const GstSDPMedia* m = gst_sdp_message_get_media(sdp, i);
            if (const gchar* mid = gst_sdp_media_get_attribute_val(m, "mid")) kindOfMid[mid] = gst_sdp_media_get_media(m);
        }
        for (guint i = 0; i < gst_sdp_message_attributes_len(sdp); ++i) {
            const GstSDPAttribute* a = gst_sdp_message_get_attribute(sdp, i);
            if (!a->key || std::strcmp(a->key, "group") != 0 || !a->value) continue;
            std::istringstream in(a->value);
            std::string semantics, mid;
            in >> semantics;
            if (semantics != "BUNDLE") continue;
            std::vector<std::string> mids;
            while (in >> mid) mids.push_back(mid);
            auto media = std::find_if(mids.begin(), mids.end(), [&](const std::string& m) {
                auto k = kindOfMid.find(m);
                return k != kindOfMid.end() && (k->second == "video" || k->second == "audio");
            });
            if (media == mids.begin() || media == mids.end()) continue;
            std::rotate(mids.begin(), media, media + 1);
            std::string value = "BUNDLE";
            for (const auto& m : mids) value += " " + m;
            GstSDPAttribute replacement;
            gst_sdp_attribute_set(&replacement, "group", value.c_str());
            gst_sdp_message_replace_attribute(sdp, i, &replacement);
        }
    }

    // GStreamer callbacks ------------------------------------------------------------------

    static GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer) {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* err = nullptr;
            gst_message_parse_error(message, &err, nullptr);
            coreDiagnostic(std::string("WebRTC pipeline error from ") + GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) +
                           ": " + errorText(err, "unknown"));
            if (err) g_error_free(err);
        }
        gst_message_unref(message);
        return GST_BUS_DROP;
    }

    static void onDeepElementAdded(GstBin*, GstBin*, GstElement* element, gpointer user) {
        GstThreadScope scope;
        auto self = lockWeak<GstPc>(user);
        if (!self) return;
        GstElementFactory* f = gst_element_get_factory(element);
        if (!f) return;
        const std::string name = GST_OBJECT_NAME(f);
        if (name == "nicesrc") {
            // Every packet from the peer passes here; its silence is how a vanished peer shows.
            GstPad* pad = gst_element_get_static_pad(element, "src");
            if (!pad) return;
            gst_pad_add_probe(
                pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                [](GstPad*, GstPadProbeInfo*, gpointer data) {
                    (*static_cast<std::shared_ptr<std::atomic<std::int64_t>>*>(data))->store(monotonicNs());
                    return GST_PAD_PROBE_OK;
                },
                new std::shared_ptr<std::atomic<std::int64_t>>(self->liveness_),
                [](gpointer data) { delete static_cast<std::shared_ptr<std::atomic<std::int64_t>>*>(data); });
            gst_object_unref(pad);
        } else if (name == "rtpsession") {
            // Regular RTCP both ways keeps a silent screen from looking like a lost peer.
            if (hasProperty(element, "rtcp-min-interval"))
                g_object_set(element, "rtcp-min-interval", kRtcpIntervalNs, nullptr);
        }
    }

    static void onIceState(GstElement* webrtc, GParamSpec*, gpointer user) {
        GstThreadScope scope;
        auto self = lockWeak<GstPc>(user);
        if (!self) return;
        GstWebRTCICEConnectionState s = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
        g_object_get(webrtc, "ice-connection-state", &s, nullptr);
        IceConnectionState state = IceConnectionState::newState;
        switch (s) {
            case GST_WEBRTC_ICE_CONNECTION_STATE_NEW: state = IceConnectionState::newState; break;
            case GST_WEBRTC_ICE_CONNECTION_STATE_CHECKING: state = IceConnectionState::checking; break;
            case GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED: state = IceConnectionState::connected; break;
            case GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED: state = IceConnectionState::completed; break;
            case GST_WEBRTC_ICE_CONNECTION_STATE_FAILED: state = IceConnectionState::failed; break;
            case GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED: state = IceConnectionState::disconnected; break;
            case GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED: state = IceConnectionState::closed; break;
        }
        SerialWorker::events().post([weak = std::weak_ptr<GstPc>(self), state] {
            if (auto pc = weak.lock()) pc->iceStateChanged(state);
        });
    }

    // On the events thread.
    void iceStateChanged(IceConnectionState state) {
        bool startLiveness = false;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            iceState_ = state;
            silenceReported_ = false;
            if ((state == IceConnectionState::connected || state == IceConnectionState::completed) &&
                !livenessStarted_) {
                livenessStarted_ = true;
                startLiveness = true;
                liveness_->store(monotonicNs());
            }
        }
        if (startLiveness) scheduleLiveness();
        if (auto d = delegate()) d->peerConnectionDidChangeIceConnectionState(state);
    }

    void scheduleLiveness() {
        SerialWorker::events().postAfter(kLivenessPeriod, [weak = weak_from_this()] {
            if (auto pc = weak.lock()) pc->livenessTick();
        });
    }

    // ICE itself does not notice a peer that went silent: report it from the traffic.
    void livenessTick() {
        std::optional<IceConnectionState> report;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            const bool up = iceState_ == IceConnectionState::connected || iceState_ == IceConnectionState::completed;
            const auto silentFor = std::chrono::nanoseconds(monotonicNs() - liveness_->load());
            if (up) {
                if (silentFor > kSilenceLimit && !silenceReported_) {
                    silenceReported_ = true;
                    report = IceConnectionState::disconnected;
                } else if (silentFor <= kSilenceLimit && silenceReported_) {
                    silenceReported_ = false;
                    report = iceState_;
                }
            }
        }
        if (report)
            if (auto d = delegate()) d->peerConnectionDidChangeIceConnectionState(*report);
        scheduleLiveness();
    }

    static void onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer user) {
        GstThreadScope scope;
        auto self = lockWeak<GstPc>(user);
        if (!self || !channel || self->isClosed()) return;
        auto wrapper = self->adopt(channel);
        self->postToDelegate([wrapper](PeerConnectionDelegate& d) { d.peerConnectionDidOpenDataChannel(wrapper); });
    }

    static void onPadAdded(GstElement*, GstPad* pad, gpointer user) {
        GstThreadScope scope;
        auto self = lockWeak<GstPc>(user);
        if (!self || GST_PAD_DIRECTION(pad) != GST_PAD_SRC || self->isClosed()) return;
        self->attachReceiveBranch(pad);
    }

    void attachReceiveBranch(GstPad* pad);
    StatsReport adaptStats(StatsReport report, double newestMs);

    const QuillVideoEncoderFactory& encoders_;
    const QuillVideoDecoderFactory& decoders_;
    GstElement* pipeline_ = nullptr;  // set by start(), then only read
    GstElement* webrtc_ = nullptr;
    std::shared_ptr<std::atomic<std::int64_t>> liveness_;
    std::atomic<std::uint64_t> encodedFrames_{0};

    mutable std::mutex mutex_;
    bool closed_ = false;
    std::weak_ptr<PeerConnectionDelegate> delegate_;
    std::vector<std::pair<gpointer, gulong>> handlers_;
    std::vector<std::shared_ptr<GstDc>> channels_;
    std::shared_ptr<GstVideoSourceImpl> videoSource_;
    std::shared_ptr<GstRemoteTrack> remoteTrack_;
    std::string sentEncodingName_;
    std::string receivedEncodingName_;
    std::vector<std::string> remoteMidOrder_;  // the remote offer's own order, when we changed it
    IceConnectionState iceState_ = IceConnectionState::newState;
    bool livenessStarted_ = false;
    bool silenceReported_ = false;
};

bool GstDc::send(const Bytes& data, bool isBinary) {
    // An empty message closes the channel in webrtcbin, and sending on a channel that is not
    // open crashes it: neither ever reaches it.
    if (data.empty() || closeRequested_.load()) return false;
    // After the pipeline stopped, a channel may still read as open: nothing goes out then.
    auto owner = owner_.lock();
    if (!owner || owner->isClosed() || readyState() != DataChannelState::open) return false;
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

void GstDc::close() {
    if (closeRequested_.exchange(true)) return;
    auto owner = owner_.lock();
    if (!owner) return;
    const auto state = readyState();
    if (state == DataChannelState::closed || state == DataChannelState::closing) return;
    gst_webrtc_data_channel_close(channel_);
}

// ---------------------------------------------------------------------------------------------

void GstPc::attachReceiveBranch(GstPad* pad) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    std::string media, encoding;
    if (caps && gst_caps_get_size(caps) > 0) {
        const GstStructure* s = gst_caps_get_structure(caps, 0);
        if (const gchar* m = gst_structure_get_string(s, "media")) media = m;
        if (const gchar* e = gst_structure_get_string(s, "encoding-name")) encoding = e;
    }
    if (caps) gst_caps_unref(caps);

    auto decoder = media == "video" ? decoders_.createDecoder(encoding) : std::nullopt;
    GstElement* bin = pipeline_;
    if (!decoder) {
        // Whatever we cannot show still has to go somewhere, or it stalls the shared receive path.
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "async", FALSE, "sync", FALSE, nullptr);
        gst_bin_add(GST_BIN(bin), sink);
        gst_element_sync_state_with_parent(sink);
        GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
        gst_pad_link(pad, sinkPad);
        gst_object_unref(sinkPad);
        return;
    }
    // The decoder sits behind a queue and swallows its own errors: a failing decode branch
    // would otherwise stall webrtcbin's shared receive path, data channels included.
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    GstElement* depay = gst_element_factory_make(decoder->depayloader.c_str(), nullptr);
    GstElement* dec = gst_element_factory_make(decoder->decoder.c_str(), nullptr);
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    if (!queue || !depay || !dec || !convert || !filter || !sink) {
        for (GstElement* e : {queue, depay, dec, convert, filter, sink})
            if (e) gst_object_unref(gst_object_ref_sink(e));
        return;
    }
    g_object_set(queue, "max-size-buffers", 200u, "max-size-bytes", 0u, "max-size-time", guint64(0), nullptr);
    gst_util_set_object_arg(G_OBJECT(queue), "leaky", "downstream");
    if (hasProperty(dec, "max-errors")) g_object_set(dec, "max-errors", -1, nullptr);
    // After a loss that retransmission could not mend, ask the sender for a key frame.
    if (hasProperty(depay, "request-keyframe")) g_object_set(depay, "request-keyframe", TRUE, nullptr);
    GstCaps* bgrx = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", nullptr);
    g_object_set(filter, "caps", bgrx, nullptr);
    gst_caps_unref(bgrx);
    g_object_set(sink, "sync", FALSE, "max-buffers", 2u, "drop", TRUE, "emit-signals", FALSE, nullptr);

    auto track = std::make_shared<GstRemoteTrack>(encoding + "-" + std::to_string(reinterpret_cast<std::uintptr_t>(pad)));
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* appsink, gpointer data) -> GstFlowReturn {
        GstThreadScope scope;
        GstSample* sample = gst_app_sink_pull_sample(appsink);
        if (!sample) return GST_FLOW_OK;
        auto t = static_cast<std::weak_ptr<GstRemoteTrack>*>(data)->lock();
        GstVideoInfo info;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstCaps* c = gst_sample_get_caps(sample);
        if (t && buffer && c && gst_video_info_from_caps(&info, c)) {
            GstVideoFrame frame;
            if (gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
                const int w = GST_VIDEO_FRAME_WIDTH(&frame);
                const int h = GST_VIDEO_FRAME_HEIGHT(&frame);
                const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
                const auto* src = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
                std::vector<std::uint8_t> copy(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
                for (int y = 0; y < h; ++y)
                    std::memcpy(copy.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w) * 4,
                                src + static_cast<std::ptrdiff_t>(y) * stride, static_cast<std::size_t>(w) * 4);
                gst_video_frame_unmap(&frame);
                t->deliver(PixelBuffer::fromVector(w, h, std::move(copy)));
            }
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, new std::weak_ptr<GstRemoteTrack>(track),
                               [](gpointer data) { delete static_cast<std::weak_ptr<GstRemoteTrack>*>(data); });

    gst_bin_add_many(GST_BIN(bin), queue, depay, dec, convert, filter, sink, nullptr);
    if (!gst_element_link_many(queue, depay, dec, convert, filter, sink, nullptr)) {
        coreDiagnostic("could not build the video receive branch");
        return;
    }
    for (GstElement* e : {sink, filter, convert, dec, depay, queue}) gst_element_sync_state_with_parent(e);
    GstPad* queueSink = gst_element_get_static_pad(queue, "sink");
    gst_pad_link(pad, queueSink);
    gst_object_unref(queueSink);
    {
        std::lock_guard lock(mutex_);
        remoteTrack_ = track;
        receivedEncodingName_ = encoding;
    }
    postToDelegate([track](PeerConnectionDelegate& d) { d.peerConnectionDidAddReceiver(track); });
}

std::shared_ptr<RtpSender> GstPc::addVideoTrack(const std::shared_ptr<VideoSource>& source, const std::string&,
                                                const std::vector<std::string>& streamIds) {
    auto src = std::dynamic_pointer_cast<GstVideoSourceImpl>(source);
    if (!src || isClosed()) return nullptr;
    const int width = src->width(), height = src->height(), fps = src->fps();
    if (width <= 0 || height <= 0 || fps <= 0 || width > 16384 || height > 16384) return nullptr;

    // The codec and payload type come from the offer itself: left alone, webrtcbin may answer
    // a codec we do not send, and a payload-type mismatch aborts the process.
    GstWebRTCSessionDescription* remote = nullptr;
    g_object_get(webrtc_, "remote-description", &remote, nullptr);
    auto remoteText = toDescription(remote);
    if (remote) gst_webrtc_session_description_free(remote);
    if (!remoteText) return nullptr;
    auto offered = gstsdp::offeredVideoCodecs(remoteText->sdp);
    if (!offered) return nullptr;
    auto chosen = gstsdp::chooseH264(*offered);
    auto encoderName = encoders_.createEncoder(VideoCodecInfo{"H264", {}});
    if (!chosen || !encoderName) return nullptr;

    std::string profile = "constrained-baseline";
    if (auto it = chosen->fmtp.find("profile-level-id"); it != chosen->fmtp.end() && it->second.size() == 6) {
        const std::string idc = lower(it->second.substr(0, 2));
        if (idc == "4d") profile = "main";
        else if (idc == "64") profile = "high";
    }

    GstElement* appsrc = gst_element_factory_make("appsrc", nullptr);
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* scale = gst_element_factory_make("videoscale", nullptr);
    GstElement* rawFilter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    GstElement* encoder = gst_element_factory_make(encoderName->c_str(), nullptr);
    GstElement* h264Filter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* pay = gst_element_factory_make("rtph264pay", nullptr);
    std::vector<GstElement*> chain{appsrc, convert, scale, rawFilter, queue, encoder, h264Filter, pay};
    if (std::any_of(chain.begin(), chain.end(), [](GstElement* e) { return e == nullptr; })) {
        for (GstElement* e : chain)
            if (e) gst_object_unref(gst_object_ref_sink(e));
        return nullptr;
    }
    g_object_set(appsrc, "is-live", TRUE, "format", GST_FORMAT_TIME, "block", FALSE, "do-timestamp", FALSE, nullptr);
    // At most two frames wait for the encoder, whatever their size; older ones give way.
    g_object_set(appsrc, "max-bytes", guint64(0), nullptr);
    if (hasProperty(appsrc, "max-buffers")) g_object_set(appsrc, "max-buffers", guint64(2), nullptr);
    if (hasProperty(appsrc, "leaky-type")) gst_util_set_object_arg(G_OBJECT(appsrc), "leaky-type", "downstream");
    for (GstElement* e : {convert, scale})
        if (hasProperty(e, "n-threads")) g_object_set(e, "n-threads", 2u, nullptr);
    GstCaps* raw = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, width,
                                       "height", G_TYPE_INT, height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1,
                                       nullptr);
    g_object_set(rawFilter, "caps", raw, nullptr);
    gst_caps_unref(raw);
    g_object_set(queue, "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time", guint64(0), nullptr);
    gst_util_set_object_arg(G_OBJECT(queue), "leaky", "downstream");
    gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
    gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "ultrafast");
    g_object_set(encoder, "key-int-max", guint(fps * 2), "bframes", 0u, nullptr);
    GstCaps* h264 = gst_caps_new_simple("video/x-h264", "profile", G_TYPE_STRING, profile.c_str(), "stream-format",
                                        G_TYPE_STRING, "byte-stream", nullptr);
    g_object_set(h264Filter, "caps", h264, nullptr);
    gst_caps_unref(h264);
    g_object_set(pay, "pt", guint(chosen->payloadType), "config-interval", -1, nullptr);
    if (hasProperty(pay, "aggregate-mode")) gst_util_set_object_arg(G_OBJECT(pay), "aggregate-mode", "zero-latency");

    // Count the encoded frames ourselves: webrtcbin's statistics have no frame counters.
    GstPad* encoded = gst_element_get_static_pad(encoder, "src");
    gst_pad_add_probe(
        encoded, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
            if (auto pc = static_cast<std::weak_ptr<GstPc>*>(data)->lock()) pc->encodedFrames_.fetch_add(1);
            return GST_PAD_PROBE_OK;
        },
        new std::weak_ptr<GstPc>(weak_from_this()), [](gpointer d) { delete static_cast<std::weak_ptr<GstPc>*>(d); });
    gst_object_unref(encoded);

    gst_bin_add_many(GST_BIN(pipeline_), appsrc, convert, scale, rawFilter, queue, encoder, h264Filter, pay, nullptr);
    auto removeChain = [&] {
        for (GstElement* e : chain) {
            gst_element_set_state(e, GST_STATE_NULL);
            gst_bin_remove(GST_BIN(pipeline_), e);
        }
    };
    if (!gst_element_link_many(appsrc, convert, scale, rawFilter, queue, encoder, h264Filter, pay, nullptr)) {
        removeChain();
        return nullptr;
    }

    // The answerer's transceiver comes from a requested sink pad with the chosen codec; it
    // pairs with the offer's video m-line when the answer is made.
    std::map<std::string, std::string> params{{"packetization-mode", "1"}};
    GstCaps* prefs = codecCaps("H264", 90000, chosen->payloadType, params);
    GstPadTemplate* templ = gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(webrtc_), "sink_%u");
    GstPad* sinkPad = templ ? gst_element_request_pad(webrtc_, templ, nullptr, prefs) : nullptr;
    if (!sinkPad) {
        gst_caps_unref(prefs);
        removeChain();
        return nullptr;
    }
    if (!streamIds.empty() && hasProperty(sinkPad, "msid")) g_object_set(sinkPad, "msid", streamIds.front().c_str(), nullptr);
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(sinkPad, "transceiver", &transceiver, nullptr);
    if (transceiver) {
        gst_util_set_object_arg(G_OBJECT(transceiver), "direction", "sendonly");
        if (hasProperty(transceiver, "do-nack")) g_object_set(transceiver, "do-nack", TRUE, nullptr);
        g_object_set(transceiver, "codec-preferences", prefs, nullptr);
        gst_object_unref(transceiver);
    }
    gst_caps_unref(prefs);
    GstPad* paySrc = gst_element_get_static_pad(pay, "src");
    const bool linked = gst_pad_link(paySrc, sinkPad) == GST_PAD_LINK_OK;
    gst_object_unref(paySrc);
    if (!linked) {
        gst_element_release_request_pad(webrtc_, sinkPad);
        gst_object_unref(sinkPad);
        removeChain();
        return nullptr;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) gst_element_sync_state_with_parent(*it);

    src->attach(appsrc);
    {
        std::lock_guard lock(mutex_);
        videoSource_ = src;
        sentEncodingName_ = chosen->name;
    }
    // Without caps on the pad the answer would name SSRC 0: push one frame through and wait.
    src->primeWithBlackFrame();
    GstPad* payloaded = gst_element_get_static_pad(pay, "src");
    const auto until = Clock::now() + std::chrono::seconds(3);
    while (!gst_pad_has_current_caps(payloaded) && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    gst_object_unref(payloaded);
    gst_object_unref(sinkPad);
    return std::make_shared<GstSender>(encoder, src);
}

// Statistics ---------------------------------------------------------------------------------

namespace {

const char* statsTypeName(GstWebRTCStatsType type) {
    switch (type) {
        case GST_WEBRTC_STATS_CODEC: return "codec";
        case GST_WEBRTC_STATS_INBOUND_RTP: return "inbound-rtp";
        case GST_WEBRTC_STATS_OUTBOUND_RTP: return "outbound-rtp";
        case GST_WEBRTC_STATS_REMOTE_INBOUND_RTP: return "remote-inbound-rtp";
        case GST_WEBRTC_STATS_REMOTE_OUTBOUND_RTP: return "remote-outbound-rtp";
        case GST_WEBRTC_STATS_CSRC: return "csrc";
        case GST_WEBRTC_STATS_PEER_CONNECTION: return "peer-connection";
        case GST_WEBRTC_STATS_DATA_CHANNEL: return "data-channel";
        case GST_WEBRTC_STATS_STREAM: return "stream";
        case GST_WEBRTC_STATS_TRANSPORT: return "transport";
        case GST_WEBRTC_STATS_CANDIDATE_PAIR: return "candidate-pair";
        case GST_WEBRTC_STATS_LOCAL_CANDIDATE: return "local-candidate";
        case GST_WEBRTC_STATS_REMOTE_CANDIDATE: return "remote-candidate";
        case GST_WEBRTC_STATS_CERTIFICATE: return "certificate";
    }
    return "unknown";
}

struct StatsBuild {
    StatsReport report;
    double newestMs = 0;
};

gboolean addStatsField(GQuark field, const GValue* value, gpointer data) {
    auto& entry = *static_cast<StatsEntry*>(data);
    const char* name = g_quark_to_string(field);
    if (std::strcmp(name, "type") == 0) return TRUE;
    const std::string key = camelCase(name);
    if (G_VALUE_HOLDS_STRING(value)) {
        if (const gchar* s = g_value_get_string(value)) entry.values[key] = std::string(s);
    } else if (G_VALUE_HOLDS_BOOLEAN(value)) {
        entry.values[key] = g_value_get_boolean(value) == TRUE;
    } else if (G_VALUE_HOLDS_ENUM(value) || G_VALUE_HOLDS(value, GST_TYPE_STRUCTURE)) {
        // nested or enumerated values are not read
    } else if (g_value_type_transformable(G_VALUE_TYPE(value), G_TYPE_DOUBLE)) {
        GValue d = G_VALUE_INIT;
        g_value_init(&d, G_TYPE_DOUBLE);
        if (g_value_transform(value, &d)) entry.values[key] = g_value_get_double(&d);
        g_value_unset(&d);
    }
    return TRUE;
}

gboolean addStatsEntry(GQuark field, const GValue* value, gpointer data) {
    auto& build = *static_cast<StatsBuild*>(data);
    if (!G_VALUE_HOLDS(value, GST_TYPE_STRUCTURE)) return TRUE;
    const GstStructure* s = gst_value_get_structure(value);
    if (!s) return TRUE;
    StatsEntry entry;
    GstWebRTCStatsType type{};
    if (gst_structure_get_enum(s, "type", GST_TYPE_WEBRTC_STATS_TYPE, reinterpret_cast<gint*>(&type)))
        entry.type = statsTypeName(type);
    gst_structure_foreach(s, addStatsField, &entry);
    double ts = 0;
    if (gst_structure_get_double(s, "timestamp", &ts)) {
        if (entry.type == "peer-connection" || build.newestMs == 0) build.newestMs = std::max(build.newestMs, ts);
    }
    build.report.entries.emplace(g_quark_to_string(field), std::move(entry));
    return TRUE;
}

template <class T>
std::optional<T> valueAs(const StatsEntry& e, const std::string& key) {
    auto it = e.values.find(key);
    if (it == e.values.end()) return std::nullopt;
    if (auto p = std::get_if<T>(&it->second)) return *p;
    return std::nullopt;
}

}  // namespace

void GstPc::requestStatistics(std::function<void(std::optional<StatsReport>)> completion) {
    if (isClosed()) {
        completion(std::nullopt);
        return;
    }
    struct Request {
        std::function<void(std::optional<StatsReport>)> completion;
        std::weak_ptr<GstPc> pc;
    };
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise* p, gpointer data) {
            GstThreadScope scope;
            auto& request = *static_cast<Request*>(data);
            if (!request.completion) return;
            auto completion = std::move(request.completion);
            request.completion = nullptr;
            auto pc = request.pc.lock();
            if (gst_promise_wait(p) != GST_PROMISE_RESULT_REPLIED || !pc) {
                completion(std::nullopt);
                return;
            }
            const GstStructure* reply = gst_promise_get_reply(p);
            if (!reply || gst_structure_has_field(reply, "error")) {
                completion(std::nullopt);
                return;
            }
            StatsBuild build;
            gst_structure_foreach(reply, addStatsEntry, &build);
            completion(pc->adaptStats(std::move(build.report), build.newestMs));
        },
        new Request{std::move(completion), weak_from_this()}, [](gpointer data) { delete static_cast<Request*>(data); });
    g_signal_emit_by_name(webrtc_, "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}


// webrtcbin's report differs from the W3C one: both video directions appear on each side, it
// has no frame counters, and loss and round-trip time sit on the remote-inbound entry.
StatsReport GstPc::adaptStats(StatsReport report, double newestMs) {
    bool sender = false;
    std::shared_ptr<GstRemoteTrack> track;
    std::string receivedEncoding;
    {
        std::lock_guard lock(mutex_);
        sender = videoSource_ != nullptr;
        track = remoteTrack_;
        receivedEncoding = receivedEncodingName_;
    }
    report.timestampUs = (newestMs > 0 ? newestMs : static_cast<double>(monotonicNs()) / 1e6) * 1000.0;
    std::optional<double> rtt, fraction, lost;
    for (const auto& [id, e] : report.entries) {
        if (e.type != "remote-inbound-rtp") continue;
        rtt = valueAs<double>(e, "roundTripTime");
        fraction = valueAs<double>(e, "fractionLost");
        lost = valueAs<double>(e, "packetsLost");
    }
    gststats::keepMediaStream(report, sender);
    for (auto& [id, e] : report.entries) {
        if (e.type == "candidate-pair" && rtt && !e.values.count("currentRoundTripTime"))
            e.values["currentRoundTripTime"] = *rtt;
        const bool video = valueAs<std::string>(e, "kind") == std::string("video");
        if (!video) continue;
        if (sender && e.type == "outbound-rtp") {
            e.values["framesEncoded"] = static_cast<double>(encodedFrames_.load());
            if (fraction && !e.values.count("fractionLost")) e.values["fractionLost"] = *fraction;
            if (lost && !e.values.count("packetsLost")) e.values["packetsLost"] = *lost;
        } else if (!sender && e.type == "inbound-rtp") {
            e.values["framesReceived"] = static_cast<double>(track ? track->decodedFrameCount() : 0);
            if (auto codecId = valueAs<std::string>(e, "codecId"); codecId && !receivedEncoding.empty()) {
                auto c = report.entries.find(*codecId);
                if (c != report.entries.end() && !c->second.values.count("mimeType"))
                    c->second.values["mimeType"] = "video/" + receivedEncoding;
            }
        }
    }
    return report;
}

}  // namespace

namespace gststats {

void keepMediaStream(StatsReport& report, bool sender) {
    const std::string used = sender ? "outbound-rtp" : "inbound-rtp";
    const std::string unused = sender ? "inbound-rtp" : "outbound-rtp";
    const char* packetsKey = sender ? "packetsSent" : "packetsReceived";
    auto isVideo = [](const StatsEntry& e) { return valueAs<std::string>(e, "kind") == std::string("video"); };
    std::string media;
    double most = -1;
    for (const auto& [id, e] : report.entries) {
        if (e.type != used || !isVideo(e)) continue;
        const double packets = valueAs<double>(e, packetsKey).value_or(0);
        if (packets > most) {
            most = packets;
            media = id;
        }
    }
    for (auto it = report.entries.begin(); it != report.entries.end();) {
        const bool drop = isVideo(it->second) && (it->second.type == unused || (it->second.type == used && it->first != media));
        it = drop ? report.entries.erase(it) : std::next(it);
    }
}

}  // namespace gststats

std::shared_ptr<PeerConnection> makeGstPeerConnection(const RtcConfiguration& configuration,
                                                      const QuillVideoEncoderFactory& encoders,
                                                      const QuillVideoDecoderFactory& decoders) {
    auto pc = std::make_shared<GstPc>(encoders, decoders);
    if (!pc->start(configuration)) return nullptr;
    return pc;
}

namespace gstsdp {

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::optional<int> parsePayloadType(const std::string& text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v > 127) return std::nullopt;
    return v;
}

}  // namespace

std::optional<std::vector<OfferedCodec>> offeredVideoCodecs(const std::string& sdp) {
    auto lines = splitLines(sdp);
    std::size_t start = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind("m=video ", 0) == 0) {
            start = i;
            break;
        }
    if (start == lines.size()) return std::nullopt;
    std::vector<OfferedCodec> codecs;
    {
        std::istringstream m(lines[start].substr(2));
        std::string media, port, proto, fmt;
        m >> media >> port >> proto;
        while (m >> fmt)
            if (auto pt = parsePayloadType(fmt)) codecs.push_back(OfferedCodec{*pt, "", 0, {}});
    }
    auto find = [&](int pt) -> OfferedCodec* {
        for (auto& c : codecs)
            if (c.payloadType == pt) return &c;
        return nullptr;
    };
    for (std::size_t i = start + 1; i < lines.size() && lines[i].rfind("m=", 0) != 0; ++i) {
        const std::string& l = lines[i];
        if (l.rfind("a=rtpmap:", 0) == 0) {
            auto space = l.find(' ');
            if (space == std::string::npos) continue;
            auto pt = parsePayloadType(l.substr(9, space - 9));
            OfferedCodec* c = pt ? find(*pt) : nullptr;
            if (!c) continue;
            std::string enc = l.substr(space + 1);
            auto slash = enc.find('/');
            c->name = enc.substr(0, slash);
            if (slash != std::string::npos) c->clockRate = std::atoi(enc.c_str() + slash + 1);
        } else if (l.rfind("a=fmtp:", 0) == 0) {
            auto space = l.find(' ');
            if (space == std::string::npos) continue;
            auto pt = parsePayloadType(l.substr(7, space - 7));
            OfferedCodec* c = pt ? find(*pt) : nullptr;
            if (!c) continue;
            std::istringstream params(l.substr(space + 1));
            std::string item;
            while (std::getline(params, item, ';')) {
                while (!item.empty() && item.front() == ' ') item.erase(item.begin());
                auto eq = item.find('=');
                if (eq == std::string::npos) continue;
                c->fmtp[lower(item.substr(0, eq))] = item.substr(eq + 1);
            }
        }
    }
    std::vector<OfferedCodec> named;
    for (auto& c : codecs)
        if (!c.name.empty()) named.push_back(std::move(c));
    return named;
}

std::optional<OfferedCodec> chooseH264(const std::vector<OfferedCodec>& codecs) {
    auto isH264 = [](const OfferedCodec& c) { return lower(c.name) == "h264" && c.clockRate == 90000; };
    auto mode1 = [](const OfferedCodec& c) {
        auto it = c.fmtp.find("packetization-mode");
        return it != c.fmtp.end() && it->second == "1";
    };
    auto baseline = [](const OfferedCodec& c) {
        auto it = c.fmtp.find("profile-level-id");
        if (it == c.fmtp.end()) return true;  // absent means baseline
        return it->second.size() == 6 && lower(it->second.substr(0, 2)) == "42";
    };
    for (const auto& c : codecs)
        if (isH264(c) && mode1(c) && baseline(c)) return c;
    for (const auto& c : codecs)
        if (isH264(c) && mode1(c)) return c;
    for (const auto& c : codecs)
        if (isH264(c)) return c;
    return std::nullopt;
}

namespace {

struct Sections {
    std::string head;
    std::vector<std::string> media;
};

Sections splitSections(const std::string& sdp) {
    Sections out;
    std::size_t start = sdp.rfind("m=", 0) == 0 ? 0 : sdp.find("\nm=");
    if (start == std::string::npos) {
        out.head = sdp;
        return out;
    }
    if (start != 0) ++start;
    out.head = sdp.substr(0, start);
    while (start < sdp.size()) {
        std::size_t next = sdp.find("\nm=", start);
        std::size_t end = next == std::string::npos ? sdp.size() : next + 1;
        out.media.push_back(sdp.substr(start, end - start));
        start = end;
    }
    return out;
}

std::string midOf(const std::string& section) {
    auto p = section.find("a=mid:");
    if (p == std::string::npos) return {};
    auto e = section.find_first_of("\r\n", p);
    return section.substr(p + 6, e == std::string::npos ? std::string::npos : e - p - 6);
}

bool carriesRtp(const std::string& section) {
    return section.rfind("m=video ", 0) == 0 || section.rfind("m=audio ", 0) == 0;
}

std::vector<std::string> splitWords(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::size_t end = i;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
        if (end > i) words.emplace_back(text.substr(i, end - i));
        i = end;
    }
    return words;
}

// The BUNDLE group line with `first` moved to the front. Plain scanning: the line comes from
// the peer and may be of any length.
std::string leadGroupWith(const std::string& head, const std::string& first) {
    constexpr std::string_view group = "a=group:BUNDLE";
    for (std::size_t start = 0; start < head.size();) {
        std::size_t end = head.find_first_of("\r\n", start);
        if (end == std::string::npos) end = head.size();
        const std::string_view line(head.data() + start, end - start);
        if (line.substr(0, group.size()) == group &&
            (line.size() == group.size() || line[group.size()] == ' ' || line[group.size()] == '\t')) {
            std::vector<std::string> mids = splitWords(line.substr(group.size()));
            auto it = std::find(mids.begin(), mids.end(), first);
            if (it == mids.end()) return head;
            std::rotate(mids.begin(), it, it + 1);
            std::string out = head.substr(0, start);
            out += group;
            for (const auto& mid : mids) out.append(" ").append(mid);
            out.append(head, end, std::string::npos);
            return out;
        }
        start = end + 1;
    }
    return head;
}

}  // namespace

std::optional<std::string> refusedRemoteDescription(const std::string& sdp) {
    if (sdp.size() > kMaxRemoteDescriptionBytes) return std::string("the session description is too long");
    // GStreamer reads up to a NUL, the reordering of sections reads past it.
    if (sdp.find('\0') != std::string::npos) return std::string("the session description could not be read");
    GstSDPMessage* message = nullptr;
    if (gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK || !message) {
        if (message) gst_sdp_message_free(message);
        return std::nullopt;  // the full check reports it
    }
    const guint sections = gst_sdp_message_medias_len(message);
    gst_sdp_message_free(message);
    if (sections > kMaxMediaSections) return std::string("the session description has too many media sections");
    return std::nullopt;
}

std::optional<Reordered> rtpSectionsFirst(const std::string& sdp) {
    Sections s = splitSections(sdp);
    if (s.media.empty() || carriesRtp(s.media.front())) return std::nullopt;
    auto firstRtp = std::find_if(s.media.begin(), s.media.end(), carriesRtp);
    if (firstRtp == s.media.end()) return std::nullopt;
    Reordered out;
    for (const auto& m : s.media) out.mids.push_back(midOf(m));
    std::vector<std::string> ordered = s.media;
    std::stable_partition(ordered.begin(), ordered.end(), carriesRtp);
    out.sdp = leadGroupWith(s.head, midOf(*firstRtp));
    for (const auto& m : ordered) out.sdp += m;
    return out;
}

std::string inMidOrder(const std::string& sdp, const std::vector<std::string>& mids) {
    Sections s = splitSections(sdp);
    std::vector<std::string> ordered;
    for (const auto& mid : mids)
        for (const auto& m : s.media)
            if (midOf(m) == mid) ordered.push_back(m);
    for (const auto& m : s.media)
        if (std::find(mids.begin(), mids.end(), midOf(m)) == mids.end()) ordered.push_back(m);
    std::string out = s.head;
    for (const auto& m : ordered) out += m;
    return out;
}

}  // namespace gstsdp
}  // namespace quill
