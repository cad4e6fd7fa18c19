#include "quillcore/webrtc/gst_stats.h"

#include <gst/webrtc/webrtc.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "quillcore/webrtc/gst_glue.h"

namespace quill::gst {
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

struct Build {
    StatsReport report;
    double newestMs = 0;
};

gboolean addField(GQuark field, const GValue* value, gpointer data) {
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

gboolean addEntry(GQuark field, const GValue* value, gpointer data) {
    auto& build = *static_cast<Build*>(data);
    if (!G_VALUE_HOLDS(value, GST_TYPE_STRUCTURE)) return TRUE;
    const GstStructure* s = gst_value_get_structure(value);
    if (!s) return TRUE;
    StatsEntry entry;
    GstWebRTCStatsType type{};
    if (gst_structure_get_enum(s, "type", GST_TYPE_WEBRTC_STATS_TYPE, reinterpret_cast<gint*>(&type)))
        entry.type = statsTypeName(type);
    gst_structure_foreach(s, addField, &entry);
    double ts = 0;
    if (gst_structure_get_double(s, "timestamp", &ts) && (entry.type == "peer-connection" || build.newestMs == 0))
        build.newestMs = std::max(build.newestMs, ts);
    build.report.entries.emplace(g_quark_to_string(field), std::move(entry));
    return TRUE;
}

}  // namespace

StatsReport statsReport(const GstStructure* reply) {
    Build build;
    gst_structure_foreach(reply, addEntry, &build);
    const double ms = build.newestMs > 0 ? build.newestMs : static_cast<double>(monotonicNs()) / 1e6;
    build.report.timestampUs = ms * 1000.0;
    return std::move(build.report);
}

}  // namespace quill::gst
