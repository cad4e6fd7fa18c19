#include "quillcore/webrtc/sdp_text.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string_view>

namespace quill::sdptext {
namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

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

// The head with the first group member that names an RTP section moved to the front of the
// BUNDLE line. Plain scanning: the line comes from the peer and may be of any length.
std::string bundleLedByRtp(const std::string& head, const std::vector<std::string>& rtpMids) {
    constexpr std::string_view group = "a=group:BUNDLE";
    for (std::size_t start = 0; start < head.size();) {
        std::size_t end = head.find_first_of("\r\n", start);
        if (end == std::string::npos) end = head.size();
        const std::string_view line(head.data() + start, end - start);
        if (line.substr(0, group.size()) == group &&
            (line.size() == group.size() || line[group.size()] == ' ' || line[group.size()] == '\t')) {
            std::vector<std::string> mids = splitWords(line.substr(group.size()));
            auto rtp = std::find_if(mids.begin(), mids.end(), [&](const std::string& m) {
                return std::find(rtpMids.begin(), rtpMids.end(), m) != rtpMids.end();
            });
            if (rtp == mids.begin() || rtp == mids.end()) return head;
            std::rotate(mids.begin(), rtp, rtp + 1);
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

std::optional<std::vector<OfferedCodec>> offeredVideoCodecs(const std::string& sdp) {
    auto lines = splitLines(sdp);
    auto video = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("m=video ", 0) == 0; });
    if (video == lines.end()) return std::nullopt;
    std::vector<OfferedCodec> codecs;
    {
        std::istringstream m(video->substr(2));
        std::string media, port, proto, fmt;
        m >> media >> port >> proto;
        while (m >> fmt)
            if (auto pt = parsePayloadType(fmt)) codecs.push_back(OfferedCodec{*pt, "", 0, {}});
    }
    // The codec an attribute line "a=<prefix><pt> <rest>" is about, and its <rest>.
    auto about = [&](const std::string& l, std::size_t prefix, std::string& rest) -> OfferedCodec* {
        auto space = l.find(' ');
        if (space == std::string::npos) return nullptr;
        auto pt = parsePayloadType(l.substr(prefix, space - prefix));
        if (!pt) return nullptr;
        rest = l.substr(space + 1);
        for (auto& c : codecs)
            if (c.payloadType == *pt) return &c;
        return nullptr;
    };
    for (auto it = video + 1; it != lines.end() && it->rfind("m=", 0) != 0; ++it) {
        std::string rest;
        if (it->rfind("a=rtpmap:", 0) == 0) {
            if (OfferedCodec* c = about(*it, 9, rest)) {
                auto slash = rest.find('/');
                c->name = rest.substr(0, slash);
                if (slash != std::string::npos) c->clockRate = std::atoi(rest.c_str() + slash + 1);
            }
        } else if (it->rfind("a=fmtp:", 0) == 0) {
            if (OfferedCodec* c = about(*it, 7, rest)) {
                std::istringstream params(rest);
                std::string item;
                while (std::getline(params, item, ';')) {
                    while (!item.empty() && item.front() == ' ') item.erase(item.begin());
                    auto eq = item.find('=');
                    if (eq != std::string::npos) c->fmtp[lower(item.substr(0, eq))] = item.substr(eq + 1);
                }
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

std::string h264Profile(const OfferedCodec& codec) {
    auto it = codec.fmtp.find("profile-level-id");
    const std::string idc = it != codec.fmtp.end() && it->second.size() == 6 ? lower(it->second.substr(0, 2)) : "";
    if (idc == "4d") return "main";
    if (idc == "64") return "high";
    return "constrained-baseline";
}

std::optional<std::string> refusedRemoteDescription(const std::string& sdp) {
    if (sdp.empty()) return std::string("the session description is empty");
    if (sdp.size() > kMaxRemoteDescriptionBytes) return std::string("the session description is too long");
    // GStreamer reads up to a NUL, the reordering of sections reads past it.
    if (sdp.find('\0') != std::string::npos) return std::string("the session description could not be read");
    if (splitSections(sdp).media.size() > kMaxMediaSections)
        return std::string("the session description has too many media sections");
    return std::nullopt;
}

Prepared preparedForWebrtcbin(const std::string& sdp, bool isOffer) {
    Sections s = splitSections(sdp);
    std::vector<std::string> rtpMids;
    for (const auto& m : s.media)
        if (carriesRtp(m)) rtpMids.push_back(midOf(m));
    Prepared out;
    out.sdp = bundleLedByRtp(s.head, rtpMids);
    if (isOffer && !s.media.empty() && !carriesRtp(s.media.front()) && !rtpMids.empty()) {
        for (const auto& m : s.media) out.mids.push_back(midOf(m));
        std::stable_partition(s.media.begin(), s.media.end(), carriesRtp);
    }
    for (const auto& m : s.media) out.sdp += m;
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

}  // namespace quill::sdptext
