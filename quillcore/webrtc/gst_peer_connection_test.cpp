#include "quillcore/webrtc/gst_peer_connection.h"
#include "quillcore/webrtc/sdp_text.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "quillcore/webrtc/peer_connection_factory.h"

namespace quill {
namespace {

using namespace std::chrono_literals;

int threadCount() {
    int n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (auto* e = readdir(dir))
        if (e->d_name[0] != '.') ++n;
    closedir(dir);
    return n;
}

const std::string kHead = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";

// `count` video sections, each with a transport of its own (no BUNDLE group).
std::string videoSections(unsigned count) {
    std::string sdp = kHead;
    for (unsigned i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        sdp += "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=mid:" + n + "\r\na=ice-ufrag:frag" + n +
               "\r\na=ice-pwd:abcdefghijklmnopqrstuvwxyz012345\r\n"
               "a=fingerprint:sha-256 00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:"
               "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF\r\n"
               "a=setup:actpass\r\na=recvonly\r\na=rtcp-mux\r\na=rtpmap:96 H264/90000\r\n"
               "a=fmtp:96 packetization-mode=1;profile-level-id=42e01f\r\n";
    }
    return sdp;
}

TEST(RemoteDescriptionLimits, SizeAndSectionCountAreCheckedAtTheirBounds) {
    EXPECT_FALSE(sdptext::refusedRemoteDescription(videoSections(sdptext::kMaxMediaSections)));
    EXPECT_EQ(sdptext::refusedRemoteDescription(videoSections(sdptext::kMaxMediaSections + 1)),
              "the session description has too many media sections");

    std::string full = videoSections(2);
    const std::string filler = "a=x-filler:";
    full += filler + std::string(sdptext::kMaxRemoteDescriptionBytes - full.size() - filler.size() - 2, 'f') + "\r\n";
    ASSERT_EQ(full.size(), sdptext::kMaxRemoteDescriptionBytes);
    EXPECT_FALSE(sdptext::refusedRemoteDescription(full));
    EXPECT_EQ(sdptext::refusedRemoteDescription(full + "\n"), "the session description is too long");
    // Text GStreamer cannot read is left to the full check, which names it.
    EXPECT_FALSE(sdptext::refusedRemoteDescription("garbage"));
    EXPECT_EQ(sdptext::refusedRemoteDescription(""), "the session description is empty");
    // GStreamer would stop reading at a NUL; the sections behind it must not count for nothing.
    const std::string hidden = videoSections(1) + std::string(1, '\0') + videoSections(8).substr(kHead.size());
    EXPECT_EQ(sdptext::refusedRemoteDescription(hidden), "the session description could not be read");
}

TEST(RemoteDescriptionLimits, AnOfferOfManySectionsIsRefusedBeforeWebrtcbinBuildsTransports) {
    auto pc = PeerConnectionFactory::shared().createPeerConnection({});
    ASSERT_TRUE(pc);
    const int before = threadCount();
    EXPECT_EQ(pc->setRemoteDescription({SdpType::offer, videoSections(16)}),
              "the session description has too many media sections");
    std::this_thread::sleep_for(200ms);
    // webrtcbin makes about three threads per transport: 16 sections would add dozens.
    EXPECT_LT(threadCount() - before, 8);

    std::string huge = videoSections(1) + "a=x-filler:" + std::string(1 << 20, 'f') + "\r\n";
    EXPECT_EQ(pc->setRemoteDescription({SdpType::answer, huge}), "the session description is too long");
    pc->close();
}

TEST(RemoteDescriptionLimits, AHugeBundleLineIsReorderedWithoutRecursion) {
    std::string group = "a=group:BUNDLE";
    for (int i = 0; i < 150'000; ++i) group += " m" + std::to_string(i);
    group += " 0 1";
    ASSERT_GT(group.size(), std::size_t{1} << 20);
    const std::string offer = kHead + group + "\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:0\r\n" +
                              "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:1\r\n";
    auto reordered = sdptext::preparedForWebrtcbin(offer, true);
    EXPECT_EQ(reordered.mids, (std::vector<std::string>{"0", "1"}));
    const std::string head = reordered.sdp.substr(0, reordered.sdp.find("m="));
    ASSERT_EQ(head.size(), kHead.size() + group.size() + 2);
    // "1" leads; every other mid keeps its place.
    EXPECT_EQ(head.substr(kHead.size(), 22), "a=group:BUNDLE 1 m0 m1");
    EXPECT_EQ(head.substr(head.size() - 12), " m149999 0\r\n");
    EXPECT_LT(reordered.sdp.find("m=video"), reordered.sdp.find("m=application"));

    // One line of a megabyte with no line break at all.
    const std::string unbroken = kHead + "a=group:BUNDLE " + std::string(1 << 20, 'x') +
                                 "\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:0\r\n"
                                 "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:1\r\n";
    auto unchanged = sdptext::preparedForWebrtcbin(unbroken, true);
    EXPECT_EQ(unchanged.sdp.size(), unbroken.size());
}

}  // namespace
}  // namespace quill
