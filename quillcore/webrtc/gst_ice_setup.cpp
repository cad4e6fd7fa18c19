#include "quillcore/webrtc/gst_ice_setup.h"

#include <arpa/inet.h>
#include <gst/webrtc/webrtc.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quillcore/webrtc/gst_glue.h"

namespace quill::gst {
namespace {

// Connectivity checks every 10 ms instead of 20 (5 is the floor ICE allows): about 30 ms
// less from answer to open channels.
constexpr guint kIceCheckPacingMs = 5;

std::vector<std::string> localAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !(a->ifa_flags & IFF_UP)) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
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

}  // namespace

void configureIceAgent(GstElement* webrtc) {
    if (!hasProperty(webrtc, "ice-agent")) return;
    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (!ice) return;
    for (const auto& address : localAddresses()) {
        gboolean ok = FALSE;
        g_signal_emit_by_name(ice, "add-local-ip-address", address.c_str(), &ok);
    }
    GObject* agent = nullptr;
    if (hasProperty(ice, "agent")) g_object_get(ice, "agent", &agent, nullptr);
    if (agent) {
        if (hasProperty(agent, "upnp")) g_object_set(agent, "upnp", FALSE, nullptr);
        if (hasProperty(agent, "stun-pacing-timer")) g_object_set(agent, "stun-pacing-timer", kIceCheckPacingMs, nullptr);
        if (hasProperty(agent, "keepalive-conncheck")) g_object_set(agent, "keepalive-conncheck", TRUE, nullptr);
        g_object_unref(agent);
    }
    gst_object_unref(ice);
}

}  // namespace quill::gst
