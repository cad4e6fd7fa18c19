#include "quillcore/webrtc/gst_peer_connection.h"

#include <malloc.h>
#include <string_view>

#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include "quillcore/base/diagnostics.h"
#include "quillcore/base/quick_wake.h"
#include "quillcore/webrtc/codec_factory.h"
#include "quillcore/webrtc/gst_data_channel.h"
#include "quillcore/webrtc/gst_glue.h"
#include "quillcore/webrtc/gst_ice_setup.h"
#include "quillcore/webrtc/gst_liveness.h"
#include "quillcore/webrtc/gst_promise.h"
#include "quillcore/webrtc/gst_receive_branch.h"
#include "quillcore/webrtc/gst_rtp_sender.h"
#include "quillcore/webrtc/gst_stats.h"
#include "quillcore/webrtc/sdp_text.h"
#include "quillcore/base/serial_worker.h"
#include "quillcore/webrtc/stats_filter.h"

namespace quill {
namespace {

using namespace gst;

// Receive jitter buffer; webrtcbin's 200 ms default is far too much for a remote desktop.
constexpr guint kJitterLatencyMs = 50;
constexpr double kPromiseTimeoutSeconds = 10.0;
// How long a close waits for webrtcbin's queued tasks; each takes milliseconds.
constexpr double kTaskDrainSeconds = 5.0;

IceConnectionState iceStateOf(GstWebRTCICEConnectionState s) {
    switch (s) {
        case GST_WEBRTC_ICE_CONNECTION_STATE_NEW: return IceConnectionState::newState;
        case GST_WEBRTC_ICE_CONNECTION_STATE_CHECKING: return IceConnectionState::checking;
        case GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED: return IceConnectionState::connected;
        case GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED: return IceConnectionState::completed;
        case GST_WEBRTC_ICE_CONNECTION_STATE_FAILED: return IceConnectionState::failed;
        case GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED: return IceConnectionState::disconnected;
        case GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED: return IceConnectionState::closed;
    }
    return IceConnectionState::newState;
}

std::optional<SessionDescription> toDescription(GstWebRTCSessionDescription* desc) {
    if (!desc || !desc->sdp) return std::nullopt;
    gchar* text = gst_sdp_message_as_text(desc->sdp);
    SessionDescription out{desc->type == GST_WEBRTC_SDP_TYPE_OFFER ? SdpType::offer : SdpType::answer, text ? text : ""};
    g_free(text);
    return out;
}

// webrtcbin asserts on descriptions without media or with an m-line of no format.
std::optional<std::string> unusable(const GstSDPMessage* sdp) {
    const guint count = gst_sdp_message_medias_len(sdp);
    if (count == 0) return std::string("the session description has no media");
    if (count > sdptext::kMaxMediaSections) return std::string("the session description has too many media sections");
    for (guint i = 0; i < count; ++i) {
        const GstSDPMedia* m = gst_sdp_message_get_media(sdp, i);
        if (!m || !gst_sdp_media_get_media(m) || gst_sdp_media_formats_len(m) == 0)
            return std::string("the session description has an invalid media section");
    }
    return std::nullopt;
}

// Calls `use` with the pad `name` of each element inside webrtcbin that `factory` made.
template <class Use>
void forEachPadOf(GstElement* webrtc, const char* factory, const char* name, Use use) {
    GstIterator* it = gst_bin_iterate_all_by_element_factory_name(GST_BIN(webrtc), factory);
    GValue item = G_VALUE_INIT;
    while (it && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        if (GstPad* pad = gst_element_get_static_pad(GST_ELEMENT(g_value_get_object(&item)), name)) {
            use(pad);
            gst_object_unref(pad);
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    if (it) gst_iterator_free(it);
}

// A channel's send waits in the SCTP encoder while the association's send buffer is full, and
// stopping the pipeline waits for that send: with a peer that vanished, until SCTP gives up on
// the association minutes later. Flushing the encoder from downstream returns such sends at once.
void flushDataChannelSends(GstElement* webrtc) {
    forEachPadOf(webrtc, "sctpenc", "src", [](GstPad* src) { gst_pad_send_event(src, gst_event_new_flush_start()); });
}

// The SCTP decoder makes a pad inside its input for each stream the peer opens or resets, and
// stopping it removes its pads before it waits for that input: a pad made meanwhile is freed
// under the input. So its input is cut first, and the one in progress waited for.
void stopDataChannelInput(GstElement* webrtc) {
    forEachPadOf(webrtc, "sctpdec", "sink", [](GstPad* sink) {
        gst_pad_add_probe(
            sink, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
            [](GstPad*, GstPadProbeInfo*, gpointer) { return GST_PAD_PROBE_DROP; }, nullptr, nullptr);
        GST_PAD_STREAM_LOCK(sink);
        GST_PAD_STREAM_UNLOCK(sink);
    });
}

// webrtcbin runs its tasks (statistics among them) later, in order, on a thread of its own, and
// a statistics task reads the RTP sessions that stopping the pipeline resets. A last request,
// queued behind every task before it, tells when they are all done. Not on a GStreamer thread.
void teardownNow(GstElement* pipeline, GstElement* webrtc) {
    Reply last = awaitReply([&](GstPromise* p) { g_signal_emit_by_name(webrtc, "get-stats", nullptr, p); },
                            kTaskDrainSeconds);
    if (last.timedOut()) coreDiagnostic("WebRTC tasks still running at close");
    flushDataChannelSends(webrtc);
    stopDataChannelInput(webrtc);
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    // The pipeline held most of the heap. What it freed lies between blocks that live on, so it
    // stays resident, and each new session's layout reached a little higher: back to the system
    // now, once a session, not on a frame's path.
    malloc_trim(0);
}

// Every call into the pipeline holds a pass of `gate_`: once close() began none starts, and the
// teardown waits for the ones in progress (a description call until webrtcbin has carried it
// out). `pipeline_` and `webrtc_` are set by start() and valid while a pass is held.
class GstPc final : public PeerConnection, public std::enable_shared_from_this<GstPc> {
public:
    GstPc(const QuillVideoEncoderFactory& encoders, const QuillVideoDecoderFactory& decoders,
          std::chrono::nanoseconds rtcpInterval)
        : encoders_(encoders), decoders_(decoders), liveness_(rtcpInterval) {}
    ~GstPc() override { close(); }

    bool start(const RtcConfiguration& configuration);

    void setDelegate(std::weak_ptr<PeerConnectionDelegate> delegate) override {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }

    std::shared_ptr<DataChannel> createDataChannel(const std::string& label, const DataChannelInit& init) override;
    std::shared_ptr<RtpTransceiver> addTransceiver(MediaKind kind, TransceiverDirection direction) override;
    DescriptionResult createOffer() override { return createDescription("create-offer", "offer"); }
    DescriptionResult createAnswer() override { return createDescription("create-answer", "answer"); }
    std::optional<std::string> setLocalDescription(const SessionDescription& d) override {
        return setDescription("set-local-description", d);
    }
    std::optional<std::string> setRemoteDescription(const SessionDescription& d) override;
    std::optional<std::string> addIceCandidate(const IceCandidate& candidate) override;
    IceGatheringState iceGatheringState() const override;
    std::optional<SessionDescription> localDescription() const override;
    std::shared_ptr<VideoSource> makeScreenVideoSource() override { return std::make_shared<GstVideoSource>(); }
    std::shared_ptr<RtpSender> addVideoTrack(const std::shared_ptr<VideoSource>& source, const std::string& trackId,
                                             const std::vector<std::string>& streamIds) override;
    void requestStatistics(std::function<void(std::optional<StatsReport>)> completion) override;
    void close() override;

private:
    std::shared_ptr<PeerConnectionDelegate> delegate() {
        std::lock_guard lock(mutex_);
        return delegate_.lock();
    }
    void postToDelegate(std::function<void(PeerConnectionDelegate&)> call);
    void remember(gpointer object, gulong id) {
        std::lock_guard lock(mutex_);
        handlers_.emplace_back(object, id);
    }
    std::shared_ptr<GstDataChannel> adopt(GstWebRTCDataChannel* channel);
    // Registers a statistics request, so that close() answers it at once: webrtcbin drops it
    // unanswered when it shuts down with the request queued.
    void trackStatistics(const std::shared_ptr<PromiseCall>& call);
    DescriptionResult createDescription(const char* action, const char* field);
    std::optional<std::string> setDescription(const char* action, const SessionDescription& d);
    guint localIndexOfMid(const std::string& mid) const;
    void iceStateChanged(IceConnectionState state);
    void scheduleLiveness();
    void livenessTick();

    static GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer);
    static void onDeepElementAdded(GstBin*, GstBin*, GstElement* element, gpointer user);
    static void onIceState(GstElement* webrtc, GParamSpec*, gpointer user);
    static void onGatheringState(GstElement* webrtc, GParamSpec*, gpointer user);
    static void onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer user);
    static void onPadAdded(GstElement*, GstPad* pad, gpointer user);

    const QuillVideoEncoderFactory& encoders_;
    const QuillVideoDecoderFactory& decoders_;
    const std::shared_ptr<CallGate> gate_ = std::make_shared<CallGate>();
    GstElement* pipeline_ = nullptr;
    GstElement* webrtc_ = nullptr;
    Liveness liveness_;

    mutable std::mutex mutex_;
    std::weak_ptr<PeerConnectionDelegate> delegate_;
    std::vector<std::pair<gpointer, gulong>> handlers_;
    std::vector<std::weak_ptr<PromiseCall>> pendingStats_;
    std::vector<std::shared_ptr<GstDataChannel>> channels_;
    std::shared_ptr<GstVideoSource> videoSource_;
    std::shared_ptr<GstSender> sender_;
    std::shared_ptr<GstRemoteTrack> remoteTrack_;
    std::string receivedEncodingName_;
    std::vector<std::string> remoteMidOrder_;  // the remote offer's own order, when we changed it
};

bool GstPc::start(const RtcConfiguration& configuration) {
    pipeline_ = gst_pipeline_new(nullptr);
    webrtc_ = gst_element_factory_make("webrtcbin", nullptr);
    if (!pipeline_ || !webrtc_) {
        if (webrtc_) gst_object_unref(gst_object_ref_sink(webrtc_));
        if (pipeline_) gst_object_unref(gst_object_ref_sink(pipeline_));
        pipeline_ = webrtc_ = nullptr;
        gate_->close();
        return false;
    }
    gst_object_ref_sink(pipeline_);
    gst_util_set_object_arg(G_OBJECT(webrtc_), "bundle-policy", "max-bundle");
    g_object_set(webrtc_, "latency", kJitterLatencyMs, nullptr);
    for (const auto& server : configuration.iceServers) {
        auto stun = std::find_if(server.urls.begin(), server.urls.end(),
                                 [](const std::string& url) { return lower(url).rfind("stun:", 0) == 0; });
        if (stun == server.urls.end()) continue;
        g_object_set(webrtc_, "stun-server", ("stun://" + stun->substr(5)).c_str(), nullptr);
        break;
    }
    gst_bin_add(GST_BIN(pipeline_), webrtc_);

    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, onBusMessage, nullptr, nullptr);
    gst_object_unref(bus);

    std::weak_ptr<GstPc> weak = weak_from_this();
    remember(pipeline_, connectWeak(pipeline_, "deep-element-added", G_CALLBACK(onDeepElementAdded), weak));
    remember(webrtc_, connectWeak(webrtc_, "notify::ice-connection-state", G_CALLBACK(onIceState), weak));
    remember(webrtc_, connectWeak(webrtc_, "notify::ice-gathering-state", G_CALLBACK(onGatheringState), weak));
    remember(webrtc_, connectWeak(webrtc_, "on-data-channel", G_CALLBACK(onDataChannel), weak));
    remember(webrtc_, connectWeak(webrtc_, "pad-added", G_CALLBACK(onPadAdded), weak));
    configureIceAgent(webrtc_);

    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        close();
        return false;
    }
    return true;
}

std::shared_ptr<DataChannel> GstPc::createDataChannel(const std::string& label, const DataChannelInit& init) {
    CallGate::Pass pass(*gate_);
    if (!pass) return nullptr;
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

std::shared_ptr<RtpTransceiver> GstPc::addTransceiver(MediaKind kind, TransceiverDirection direction) {
    CallGate::Pass pass(*gate_);
    if (!pass || kind != MediaKind::video) return nullptr;
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

std::optional<std::string> GstPc::setRemoteDescription(const SessionDescription& d) {
    if (auto refused = sdptext::refusedRemoteDescription(d.sdp)) return refused;
    auto prepared = sdptext::preparedForWebrtcbin(d.sdp, d.type == SdpType::offer);
    if (!prepared.mids.empty()) {
        std::lock_guard lock(mutex_);
        remoteMidOrder_ = prepared.mids;
    }
    return setDescription("set-remote-description", SessionDescription{d.type, std::move(prepared.sdp)});
}

std::optional<std::string> GstPc::addIceCandidate(const IceCandidate& candidate) {
    CallGate::Pass pass(*gate_);
    if (!pass) return std::string("the connection is closed");
    if (candidate.sdpMLineIndex < 0) return std::string("invalid m-line index");
    std::string text = candidate.sdp;
    if (text.rfind("a=", 0) == 0) text.erase(0, 2);
    auto index = static_cast<guint>(candidate.sdpMLineIndex);
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

IceGatheringState gatheringStateOf(GstElement* webrtc) {
    GstWebRTCICEGatheringState s = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(webrtc, "ice-gathering-state", &s, nullptr);
    switch (s) {
        case GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE: return IceGatheringState::complete;
        case GST_WEBRTC_ICE_GATHERING_STATE_GATHERING: return IceGatheringState::gathering;
        default: return IceGatheringState::newState;
    }
}

IceGatheringState GstPc::iceGatheringState() const {
    CallGate::Pass pass(*gate_);
    return pass ? gatheringStateOf(webrtc_) : IceGatheringState::newState;
}

std::optional<SessionDescription> GstPc::localDescription() const {
    std::optional<SessionDescription> out;
    {
        CallGate::Pass pass(*gate_);
        if (!pass) return std::nullopt;
        GstWebRTCSessionDescription* desc = nullptr;
        g_object_get(webrtc_, "local-description", &desc, nullptr);
        out = toDescription(desc);
        if (desc) gst_webrtc_session_description_free(desc);
    }
    std::vector<std::string> order;
    {
        std::lock_guard lock(mutex_);
        order = remoteMidOrder_;
    }
    if (out && out->type == SdpType::answer && !order.empty()) out->sdp = sdptext::inMidOrder(out->sdp, order);
    return out;
}

std::shared_ptr<RtpSender> GstPc::addVideoTrack(const std::shared_ptr<VideoSource>& source, const std::string&,
                                                const std::vector<std::string>& streamIds) {
    auto src = std::dynamic_pointer_cast<GstVideoSource>(source);
    CallGate::Pass pass(*gate_);
    if (!src || !pass) return nullptr;
    // The codec and payload type come from the offer itself: left alone, webrtcbin may answer
    // a codec we do not send.
    GstWebRTCSessionDescription* remote = nullptr;
    g_object_get(webrtc_, "remote-description", &remote, nullptr);
    auto remoteText = toDescription(remote);
    if (remote) gst_webrtc_session_description_free(remote);
    auto offered = remoteText ? sdptext::offeredVideoCodecs(remoteText->sdp) : std::nullopt;
    auto chosen = offered ? sdptext::chooseH264(*offered) : std::nullopt;
    auto encoder = encoders_.createEncoder(VideoCodecInfo{"H264", {}});
    if (!chosen || !encoder) return nullptr;
    auto sender = addVideoSender(pipeline_, webrtc_, *chosen, *encoder, src, streamIds.empty() ? "" : streamIds.front());
    if (!sender) return nullptr;
    std::lock_guard lock(mutex_);
    videoSource_ = src;
    sender_ = sender;
    return sender;
}

void GstPc::requestStatistics(std::function<void(std::optional<StatsReport>)> completion) {
    // A request that gets no report (the connection closed) is answered on a thread of the
    // layer too, never on the caller's.
    auto nothing = [](std::function<void(std::optional<StatsReport>)> completion) {
        SerialWorker::events().post([completion = std::move(completion)] { completion(std::nullopt); });
    };
    CallGate::Pass pass(*gate_);
    if (!pass) return nothing(std::move(completion));
    auto call = PromiseCall::make([weak = weak_from_this(), completion = std::move(completion), nothing](
                                      std::optional<const GstStructure*> reply) mutable {
        auto pc = weak.lock();
        if (!pc || !reply || !*reply || gst_structure_has_field(*reply, "error")) return nothing(std::move(completion));
        statsfilter::LocalCounts counts;
        {
            std::lock_guard lock(pc->mutex_);
            counts.sender = pc->sender_ != nullptr;
            counts.framesEncoded = pc->sender_ ? pc->sender_->framesEncoded() : 0;
            counts.framesDecoded = pc->remoteTrack_ ? static_cast<double>(pc->remoteTrack_->decodedFrameCount()) : 0;
            counts.receivedEncoding = pc->receivedEncodingName_;
        }
        completion(statsfilter::adapted(statsReport(*reply), counts));
    });
    trackStatistics(call);
    GstPromise* promise = call->promise();
    g_signal_emit_by_name(webrtc_, "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}

void GstPc::close() {
    if (!gate_->close()) return;
    std::vector<std::pair<gpointer, gulong>> handlers;
    std::vector<std::weak_ptr<PromiseCall>> pending;
    std::shared_ptr<GstVideoSource> source;
    std::shared_ptr<GstRemoteTrack> remote;
    {
        std::lock_guard lock(mutex_);
        handlers.swap(handlers_);
        pending.swap(pendingStats_);
        source = videoSource_;
        remote = remoteTrack_;
    }
    // A description call keeps its pass until webrtcbin answered: the action it queued may add
    // elements, which must not happen during the teardown. Statistics requests are answered
    // with nothing now; their tasks end before the teardown stops the pipeline.
    for (const auto& weak : pending)
        if (auto call = weak.lock()) call->cancel();
    for (auto& [object, id] : handlers)
        if (g_signal_handler_is_connected(object, id)) g_signal_handler_disconnect(object, id);
    if (source) source->detach();
    if (remote) remote->finish();
    if (!pipeline_) return;
    // Stopping webrtcbin on one of its own threads deadlocks; the teardown thread does it once
    // the calls in progress have left, and we wait for it unless we are on such a thread.
    auto teardown = [pipeline = pipeline_, webrtc = webrtc_, gate = gate_] {
        gate->waitUntilIdle();
        teardownNow(pipeline, webrtc);
    };
    auto& worker = SerialWorker::teardown();
    if (GstThreadScope::active() || worker.isCurrentThread()) worker.post(teardown);
    else worker.runAndWait(teardown);
}

void GstPc::postToDelegate(std::function<void(PeerConnectionDelegate&)> call) {
    SerialWorker::events().post([weak = weak_from_this(), call = std::move(call)] {
        auto self = weak.lock();
        if (!self || self->gate_->isClosed()) return;
        if (auto d = self->delegate()) call(*d);
    });
}

std::shared_ptr<GstDataChannel> GstPc::adopt(GstWebRTCDataChannel* channel) {
    auto wrapper = GstDataChannel::make(channel, gate_);
    std::lock_guard lock(mutex_);
    channels_.push_back(wrapper);
    return wrapper;
}

void GstPc::trackStatistics(const std::shared_ptr<PromiseCall>& call) {
    {
        std::lock_guard lock(mutex_);
        if (!gate_->isClosed()) {
            std::erase_if(pendingStats_, [](const std::weak_ptr<PromiseCall>& w) {
                auto c = w.lock();
                return !c || c->answered();
            });
            pendingStats_.push_back(call);
            return;
        }
    }
    call->cancel();
}

DescriptionResult GstPc::createDescription(const char* action, const char* field) {
    DescriptionResult result;
    CallGate::Pass pass(*gate_);
    if (!pass) {
        result.error = "the connection is closed";
        return result;
    }
    Reply reply = awaitReply([&](GstPromise* p) { g_signal_emit_by_name(webrtc_, action, nullptr, p); },
                             kPromiseTimeoutSeconds);
    if (reply.structure() && gst_structure_has_field(reply.structure(), field)) {
        GstWebRTCSessionDescription* desc = nullptr;
        gst_structure_get(reply.structure(), field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr);
        result.description = toDescription(desc);
        if (desc) gst_webrtc_session_description_free(desc);
    }
    result.error = reply.error();
    return result;
}

std::optional<std::string> GstPc::setDescription(const char* action, const SessionDescription& d) {
    if (d.sdp.empty()) return std::string("the session description is empty");
    CallGate::Pass pass(*gate_);
    if (!pass) return std::string("the connection is closed");
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new_from_text(d.sdp.c_str(), &sdp) != GST_SDP_OK || !sdp) {
        if (sdp) gst_sdp_message_free(sdp);
        return std::string("the session description could not be read");
    }
    if (auto why = unusable(sdp)) {
        gst_sdp_message_free(sdp);
        return why;
    }
    GstWebRTCSessionDescription* desc = gst_webrtc_session_description_new(
        d.type == SdpType::offer ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    Reply reply = awaitReply([&](GstPromise* p) { g_signal_emit_by_name(webrtc_, action, desc, p); },
                             kPromiseTimeoutSeconds);
    gst_webrtc_session_description_free(desc);
    return reply.error();
}

// Where a section of the peer's offer sits in the order webrtcbin was given. A pass is held.
guint GstPc::localIndexOfMid(const std::string& mid) const {
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

// On the events thread.
void GstPc::iceStateChanged(IceConnectionState state) {
    if (gate_->isClosed()) return;
    if (liveness_.iceChanged(state)) scheduleLiveness();
    if (auto d = delegate()) d->peerConnectionDidChangeIceConnectionState(state);
}

void GstPc::scheduleLiveness() {
    SerialWorker::events().postAfter(Liveness::kPeriod, [weak = weak_from_this()] {
        if (auto pc = weak.lock()) pc->livenessTick();
    });
}

void GstPc::livenessTick() {
    if (gate_->isClosed()) return;
    if (auto report = liveness_.tick())
        if (auto d = delegate()) d->peerConnectionDidChangeIceConnectionState(*report);
    scheduleLiveness();
}

namespace {

std::string_view factoryName(GstElement* element) {
    GstElementFactory* factory = element ? gst_element_get_factory(element) : nullptr;
    return factory ? GST_OBJECT_NAME(factory) : "";
}

// The element that feeds `element`'s sink pad, past caps filters; a new reference or null.
GstElement* upstreamOf(GstElement* element) {
    gst_object_ref(element);
    for (int step = 0; element && step < 4; ++step) {
        GstPad* sink = gst_element_get_static_pad(element, "sink");
        GstPad* peer = sink ? gst_pad_get_peer(sink) : nullptr;
        GstElement* upstream = peer ? gst_pad_get_parent_element(peer) : nullptr;
        if (peer) gst_object_unref(peer);
        if (sink) gst_object_unref(sink);
        gst_object_unref(element);
        element = upstream;
        if (factoryName(element) != "capsfilter") return element;
    }
    if (element) gst_object_unref(element);
    return nullptr;
}

// The threads that data channel messages take through the pipeline, both ways: the socket's
// reader and the queue behind it, SCTP's and DTLS's queues, and the channels' own sources, which
// webrtcbin holds (the video's source is outside it). They share SCTP's and DTLS's locks, so one
// that holds a lock must not wait behind the encoder either.
bool carriesDataChannels(GstElement* element) {
    const std::string_view name = factoryName(element);
    if (name == "nicesrc" || name == "sctpdec" || name == "sctpenc" || name == "dtlsenc") return true;
    if (name == "queue") {
        GstElement* upstream = upstreamOf(element);
        const bool afterSocket = factoryName(upstream) == "nicesrc";
        if (upstream) gst_object_unref(upstream);
        return afterSocket;
    }
    if (name != "appsrc") return false;
    for (GstObject* parent = gst_object_get_parent(GST_OBJECT(element)); parent;) {
        const bool webrtcbin = GST_IS_ELEMENT(parent) && factoryName(GST_ELEMENT(parent)) == "webrtcbin";
        GstObject* next = webrtcbin ? nullptr : gst_object_get_parent(parent);
        gst_object_unref(parent);
        if (webrtcbin) return true;
        parent = next;
    }
    return false;
}

}  // namespace

GstBusSyncReply GstPc::onBusMessage(GstBus*, GstMessage* message, gpointer) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_STREAM_STATUS) {
        // Posted by a streaming thread as it enters and leaves its element's task. Control
        // messages must not wait behind the encoder on their way; the threads come from a
        // pool, so they leave the hint behind with the task.
        GstStreamStatusType type = GST_STREAM_STATUS_TYPE_CREATE;
        GstElement* owner = nullptr;
        gst_message_parse_stream_status(message, &type, &owner);
        if (owner && (type == GST_STREAM_STATUS_TYPE_ENTER || type == GST_STREAM_STATUS_TYPE_LEAVE) &&
            carriesDataChannels(owner))
            preferQuickWakeUps(type == GST_STREAM_STATUS_TYPE_ENTER);
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* err = nullptr;
        gst_message_parse_error(message, &err, nullptr);
        coreDiagnostic(std::string("WebRTC pipeline error from ") + GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) + ": " +
                       errorText(err, "unknown"));
        if (err) g_error_free(err);
    }
    gst_message_unref(message);
    return GST_BUS_DROP;
}

void GstPc::onDeepElementAdded(GstBin*, GstBin*, GstElement* element, gpointer user) {
    GstThreadScope scope;
    if (auto self = lockWeak<GstPc>(user)) self->liveness_.elementAdded(element);
}

void GstPc::onIceState(GstElement* webrtc, GParamSpec*, gpointer user) {
    GstThreadScope scope;
    auto self = lockWeak<GstPc>(user);
    if (!self) return;
    GstWebRTCICEConnectionState s = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "ice-connection-state", &s, nullptr);
    SerialWorker::events().post([weak = std::weak_ptr<GstPc>(self), state = iceStateOf(s)] {
        if (auto pc = weak.lock()) pc->iceStateChanged(state);
    });
}

void GstPc::onGatheringState(GstElement* webrtc, GParamSpec*, gpointer user) {
    GstThreadScope scope;
    if (auto self = lockWeak<GstPc>(user))
        self->postToDelegate([state = gatheringStateOf(webrtc)](PeerConnectionDelegate& d) {
            d.peerConnectionDidChangeIceGatheringState(state);
        });
}

void GstPc::onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer user) {
    GstThreadScope scope;
    auto self = lockWeak<GstPc>(user);
    if (!self || !channel || self->gate_->isClosed()) return;
    auto wrapper = self->adopt(channel);
    self->postToDelegate([wrapper](PeerConnectionDelegate& d) { d.peerConnectionDidOpenDataChannel(wrapper); });
}

void GstPc::onPadAdded(GstElement*, GstPad* pad, gpointer user) {
    GstThreadScope scope;
    auto self = lockWeak<GstPc>(user);
    if (!self || GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    CallGate::Pass pass(*self->gate_);
    if (!pass) return;
    auto branch = attachReceiveBranch(self->pipeline_, pad, self->decoders_);
    if (!branch.track) return;
    {
        std::lock_guard lock(self->mutex_);
        self->remoteTrack_ = branch.track;
        self->receivedEncodingName_ = branch.encoding;
    }
    self->postToDelegate([track = branch.track](PeerConnectionDelegate& d) { d.peerConnectionDidAddReceiver(track); });
}

}  // namespace

std::shared_ptr<PeerConnection> makeGstPeerConnection(const RtcConfiguration& configuration,
                                                      const QuillVideoEncoderFactory& encoders,
                                                      const QuillVideoDecoderFactory& decoders,
                                                      std::chrono::nanoseconds rtcpInterval) {
    auto pc = std::make_shared<GstPc>(encoders, decoders, rtcpInterval);
    if (!pc->start(configuration)) return nullptr;
    return pc;
}

}  // namespace quill
