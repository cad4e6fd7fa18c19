#include "quillcore/session/session_core_stats.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <sstream>

namespace quill::sessionstats {
namespace {

const StatValue* find(const StatsEntry& entry, const std::string& key) {
    auto it = entry.values.find(key);
    return it == entry.values.end() ? nullptr : &it->second;
}

std::string numberText(double v) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << v;
    return out.str();
}

double nonNegative(double v) { return std::isnan(v) || v < 0 ? 0 : v; }

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

const StatsEntry* entryById(const StatsReport& report, const std::optional<std::string>& id) {
    if (!id) return nullptr;
    auto it = report.entries.find(*id);
    return it == report.entries.end() ? nullptr : &it->second;
}

}  // namespace

std::optional<std::string> statString(const StatsEntry& entry, const std::string& key) {
    const StatValue* v = find(entry, key);
    if (!v) return std::nullopt;
    if (auto s = std::get_if<std::string>(v)) return *s;
    if (auto d = std::get_if<double>(v)) return numberText(*d);
    return std::nullopt;
}

std::optional<double> statNumber(const StatsEntry& entry, const std::string& key) {
    const StatValue* v = find(entry, key);
    if (!v) return std::nullopt;
    if (auto d = std::get_if<double>(v)) return *d;
    if (auto s = std::get_if<std::string>(v)) {
        if (s->empty() || std::isspace(static_cast<unsigned char>(s->front()))) return std::nullopt;
        static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
        char* end = nullptr;
        const double value = strtod_l(s->c_str(), &end, cLocale);
        if (end != s->c_str() + s->size()) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

const StatsEntry* selectedCandidatePair(const StatsReport& report) {
    for (const auto& [id, e] : report.entries) {
        if (e.type != "transport") continue;
        const StatValue* v = find(e, "selectedCandidatePairId");
        const std::string* pairId = v ? std::get_if<std::string>(v) : nullptr;
        if (const StatsEntry* pair = pairId ? entryById(report, *pairId) : nullptr) return pair;
    }
    for (const auto& [id, e] : report.entries) {
        if (e.type != "candidate-pair") continue;
        const StatValue* nominated = find(e, "nominated");
        const double* n = nominated ? std::get_if<double>(nominated) : nullptr;
        if (!n || *n == 0) continue;
        const StatValue* state = find(e, "state");
        const std::string* s = state ? std::get_if<std::string>(state) : nullptr;
        if (s && *s == "succeeded") return &e;
    }
    return nullptr;
}

SessionPath classifyPath(const StatsEntry* local, const StatsEntry* remote) {
    if (!local || !remote) return SessionPath::unknown;
    auto type = [](const StatsEntry& e) {
        const StatValue* v = find(e, "candidateType");
        const std::string* s = v ? std::get_if<std::string>(v) : nullptr;
        return s ? *s : std::string();
    };
    auto address = [](const StatsEntry& e) {
        for (const char* key : {"address", "ip"}) {
            const StatValue* v = find(e, key);
            if (const std::string* s = v ? std::get_if<std::string>(v) : nullptr) return *s;
        }
        return std::string();
    };
    const std::string lt = type(*local), rt = type(*remote);
    const std::string la = address(*local), ra = address(*remote);
    if (lt == "relay" || rt == "relay") return SessionPath::relay;
    auto loopback = [](const std::string& a) { return a == "::1" || a == "localhost" || startsWith(a, "127."); };
    if (loopback(la) || loopback(ra)) return SessionPath::loopback;
    if (la.find(':') != std::string::npos || ra.find(':') != std::string::npos) return SessionPath::ipv6;
    if (lt == "host" && rt == "host") return SessionPath::lan;
    auto punched = [](const std::string& t) { return t == "srflx" || t == "prflx"; };
    if (punched(lt) || punched(rt)) return SessionPath::holePunch;
    return SessionPath::unknown;
}

std::optional<std::string> codecName(const StatsEntry& codec) {
    const StatValue* v = find(codec, "mimeType");
    const std::string* mime = v ? std::get_if<std::string>(v) : nullptr;
    if (!mime) return std::nullopt;
    std::optional<std::string> last;
    std::string piece;
    std::istringstream in(*mime);
    while (std::getline(in, piece, '/'))
        if (!piece.empty()) last = piece;
    return last;
}

Condensed condense(const StatsReport& report, const std::optional<StatsBaseline>& previous,
                   const std::string& fallbackCodec) {
    SessionPath path = SessionPath::unknown;
    std::optional<double> rtt;
    if (const StatsEntry* pair = selectedCandidatePair(report)) {
        path = classifyPath(entryById(report, statString(*pair, "localCandidateId")),
                            entryById(report, statString(*pair, "remoteCandidateId")));
        if (auto r = statNumber(*pair, "currentRoundTripTime")) rtt = *r * 1000.0;
    }

    const StatsEntry* video = nullptr;
    for (const auto& [id, e] : report.entries) {
        if (e.type != "inbound-rtp" && e.type != "outbound-rtp") continue;
        const StatValue* kindValue = find(e, "kind");
        const bool kindUsable =
            kindValue && (std::holds_alternative<std::string>(*kindValue) || std::holds_alternative<double>(*kindValue));
        auto kind = kindUsable ? statString(e, "kind") : statString(e, "mediaType");
        if (kind == std::string("video")) {
            video = &e;
            break;
        }
    }

    const double now = report.timestampUs / 1000.0;
    double bytes = 0, frames = 0;
    if (video) {
        bytes = statNumber(*video, "bytesReceived").value_or(statNumber(*video, "bytesSent").value_or(0));
        frames = statNumber(*video, "framesReceived").value_or(statNumber(*video, "framesEncoded").value_or(0));
    }
    double elapsed = 1.0, oldBytes = bytes, oldFrames = frames;
    if (previous) {
        elapsed = std::max((now - previous->timestampMs) / 1000.0, 0.001);
        oldBytes = previous->bytes;
        oldFrames = previous->frames;
    }
    double fps = nonNegative(frames - oldFrames) / elapsed;
    double loss = 0;
    std::optional<std::string> codec;
    if (video) {
        if (auto reported = statNumber(*video, "framesPerSecond")) fps = *reported;
        const double f = statNumber(*video, "fractionLost").value_or(0);
        const double lost = statNumber(*video, "packetsLost").value_or(0);
        auto count = statNumber(*video, "packetsReceived");
        if (!count) count = statNumber(*video, "packetsSent");
        if (!count) loss = f;
        else if (f > 0) loss = f;
        else if (*count > 0) loss = lost / *count;
        if (const StatsEntry* c = entryById(report, statString(*video, "codecId"))) codec = codecName(*c);
    }
    loss = nonNegative(loss);
    if (!codec) codec = fallbackCodec;
    const double kbps = nonNegative((bytes - oldBytes) * 8.0 / elapsed / 1000.0);
    return Condensed{SessionStats(path, rtt, kbps, fps, loss, codec), StatsBaseline{now, bytes, frames}};
}

}  // namespace quill::sessionstats
