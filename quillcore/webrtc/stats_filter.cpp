#include "quillcore/webrtc/stats_filter.h"

namespace quill::statsfilter {
namespace {

template <class T>
std::optional<T> valueAs(const StatsEntry& e, const std::string& key) {
    auto it = e.values.find(key);
    if (it == e.values.end()) return std::nullopt;
    if (auto p = std::get_if<T>(&it->second)) return *p;
    return std::nullopt;
}

bool isVideo(const StatsEntry& e) { return valueAs<std::string>(e, "kind") == std::string("video"); }

void keepMediaStream(StatsReport& report, bool sender) {
    const std::string used = sender ? "outbound-rtp" : "inbound-rtp";
    const std::string unused = sender ? "inbound-rtp" : "outbound-rtp";
    const char* packetsKey = sender ? "packetsSent" : "packetsReceived";
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
        const auto& [id, e] = *it;
        const bool drop = isVideo(e) && (e.type == unused || (e.type == used && id != media));
        it = drop ? report.entries.erase(it) : std::next(it);
    }
}

}  // namespace

StatsReport adapted(StatsReport report, const LocalCounts& counts) {
    std::optional<double> rtt, fraction, lost;
    for (const auto& [id, e] : report.entries) {
        if (e.type != "remote-inbound-rtp") continue;
        rtt = valueAs<double>(e, "roundTripTime");
        fraction = valueAs<double>(e, "fractionLost");
        lost = valueAs<double>(e, "packetsLost");
    }
    keepMediaStream(report, counts.sender);
    for (auto& [id, e] : report.entries) {
        if (e.type == "candidate-pair" && rtt && !e.values.count("currentRoundTripTime"))
            e.values["currentRoundTripTime"] = *rtt;
        if (!isVideo(e)) continue;
        if (counts.sender && e.type == "outbound-rtp") {
            e.values["framesEncoded"] = counts.framesEncoded;
            if (fraction && !e.values.count("fractionLost")) e.values["fractionLost"] = *fraction;
            if (lost && !e.values.count("packetsLost")) e.values["packetsLost"] = *lost;
        } else if (!counts.sender && e.type == "inbound-rtp") {
            e.values["framesReceived"] = counts.framesDecoded;
            auto codecId = valueAs<std::string>(e, "codecId");
            auto codec = codecId ? report.entries.find(*codecId) : report.entries.end();
            if (codec != report.entries.end() && !counts.receivedEncoding.empty() && !codec->second.values.count("mimeType"))
                codec->second.values["mimeType"] = "video/" + counts.receivedEncoding;
        }
    }
    return report;
}

}  // namespace quill::statsfilter
