// Real DNS-SD between two network namespaces (scripts/harness/netns): this process runs in
// side a, the peer program and avahi-browse run in side b through nsenter.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quillcore/base/base64.h"
#include "quillcore/crypto/crypto.h"
#include "quillcore/net/dnssd.h"
#include "quillcore/transport/frame_channel.h"
#include "quillcore/transport/host_advertiser.h"
#include "quillcore/transport/host_browser.h"
#include "tests/netns_support.h"

using namespace quill;
using namespace std::chrono_literals;

namespace {

using netns::env;
using netns::inPeer;
using netns::runFor;

// "\032" and "\." forms of avahi-browse's parsable output, back to bytes.
std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
        } else if (i + 3 < text.size() && isdigit(text[i + 1]) && isdigit(text[i + 2]) && isdigit(text[i + 3])) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
            i += 3;
        } else {
            out += text[++i];
        }
    }
    return out;
}

// The quoted TXT strings at the end of a resolved line.
std::vector<std::string> txtStrings(const std::string& field) {
    std::vector<std::string> strings;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '"') continue;
        std::string raw;
        for (++i; i < field.size() && field[i] != '"'; ++i) {
            if (field[i] == '\\' && i + 1 < field.size()) raw += field[i++];
            raw += field[i];
        }
        strings.push_back(unescape(raw));
    }
    return strings;
}

struct Resolved {
    std::string interface, protocol, name, host, address, port;
    std::vector<std::string> txt;
};

// avahi-browse -rpt in side b: every resolved "_quillmate._tcp" service.
std::vector<Resolved> browseFromPeer() {
    const auto result = runFor(inPeer({"avahi-browse", "-rpt", "_quillmate._tcp"}), 20);
    std::vector<Resolved> found;
    std::size_t start = 0;
    while (start < result.output.size()) {
        auto end = result.output.find('\n', start);
        if (end == std::string::npos) end = result.output.size();
        const auto line = result.output.substr(start, end - start);
        start = end + 1;
        if (line.rfind("=;", 0) != 0) continue;
        std::vector<std::string> fields;
        std::size_t from = 0;
        for (int i = 0; i < 9; ++i) {
            const auto semicolon = line.find(';', from);
            fields.push_back(line.substr(from, semicolon - from));
            from = semicolon == std::string::npos ? line.size() : semicolon + 1;
        }
        fields.push_back(line.substr(from));
        found.push_back({fields[1], fields[2], unescape(fields[3]), fields[6], fields[7], fields[8],
                         txtStrings(fields[9])});
    }
    return found;
}

std::vector<Resolved> waitForServices(const std::function<bool(const Resolved&)>& match, std::size_t atLeast = 1) {
    std::vector<Resolved> matching;
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < until) {
        matching.clear();
        for (auto& service : browseFromPeer()) {
            if (match(service)) matching.push_back(service);
        }
        if (matching.size() >= atLeast) break;
        std::this_thread::sleep_for(300ms);
    }
    return matching;
}

// Names carry the process id: a record of an earlier run may still sit in the other side's cache.
std::string fresh(const std::string& name) { return name + " " + std::to_string(::getpid()); }

std::string quote(const std::vector<std::string>& strings) {
    std::string out;
    for (const auto& s : strings) out += "[" + s + "] ";
    return out;
}

}  // namespace

TEST(DiscoveryNetns, TheOtherNamespaceSeesTheServiceAndReachesTheHostThroughIt) {
    REQUIRE_NETNS();
    const Bytes fingerprint = crypto::randomBytes(32);
    const std::string fp = Base64URL::encode(fingerprint);
    const std::string name = fresh("Quill Test Host");

    std::promise<FrameChannelPtr> accepted;
    std::once_flag once;
    HostAdvertiser advertiser(name, fingerprint, [&](net::TcpConnectionPtr connection) {
        auto channel = FrameChannel::make(std::move(connection));
        std::call_once(once, [&] { accepted.set_value(channel); });
    });
    const auto port = advertiser.start();

    // avahi-browse, an independent reader, sees exactly our three TXT entries.
    auto services = waitForServices([&](const Resolved& s) { return s.name == name && s.protocol == "IPv4"; });
    ASSERT_FALSE(services.empty()) << "avahi-browse in the other namespace did not resolve the service";
    for (const auto& service : services) {
        EXPECT_EQ(service.address, env("QUILL_NETNS_LOCAL_ADDR"));
        EXPECT_EQ(service.port, std::to_string(port));
        std::multiset<std::string> txt(service.txt.begin(), service.txt.end());
        EXPECT_EQ(txt, (std::multiset<std::string>{"fp=" + fp, "v=0", "name=" + name})) << quote(service.txt);
    }
    EXPECT_FALSE(advertiser.publicationProblem());

    // The host browser over there finds it and a frame channel to what it found works.
    auto server = std::async(std::launch::async, [&]() -> std::string {
        auto future = accepted.get_future();
        if (future.wait_for(40s) != std::future_status::ready) return "no connection";
        auto channel = future.get();
        auto frame = channel->nextFrame(20.0);
        if (!frame) return "no frame";
        channel->send(toBytes("welcome"));
        return toString(*frame);
    });
    const auto peer = runFor(inPeer({QUILL_DISCOVERY_PEER, "browse", fp, name}), 60);
    EXPECT_EQ(peer.status, 0) << peer.output;
    // The IPv4 address, or side a's link-local IPv6 one when that copy was resolved first.
    const bool viaIPv4 =
        peer.output.find("host " + name + "|" + env("QUILL_NETNS_LOCAL_ADDR") + "|" + std::to_string(port)) !=
        std::string::npos;
    const bool viaIPv6 = peer.output.find("host " + name + "|fe80:") != std::string::npos &&
                         peer.output.find("%qveth-b|" + std::to_string(port)) != std::string::npos;
    EXPECT_TRUE(viaIPv4 || viaIPv6) << peer.output;
    EXPECT_EQ(server.get(), "hello");
}

TEST(DiscoveryNetns, TakenAndOverlongNamesArePublishedWithinTheLimits) {
    REQUIRE_NETNS();
    const std::string twin = fresh("Twin Host");
    HostAdvertiser first(twin, crypto::randomBytes(32), {});
    HostAdvertiser second(twin, crypto::randomBytes(32), {});
    std::string longName;
    for (int i = 0; i < 150; ++i) longName += "\xC3\xA9";  // 300 bytes of "é"
    const Bytes longFingerprint = crypto::randomBytes(32);
    HostAdvertiser overlong(longName, longFingerprint, {});
    const std::string notUtf8 = "Odd \xFF\xFE Host";  // D-Bus takes only UTF-8 strings
    const Bytes oddFingerprint = crypto::randomBytes(32);
    HostAdvertiser odd(notUtf8, oddFingerprint, {});
    first.start();
    second.start();
    overlong.start();
    odd.start();

    auto twins = waitForServices(
        [&](const Resolved& s) { return s.protocol == "IPv4" && s.name.rfind(twin, 0) == 0; }, 2);
    std::set<std::string> names;
    for (const auto& found : twins) {
        names.insert(found.name);
        EXPECT_NE(std::find(found.txt.begin(), found.txt.end(), "name=" + twin), found.txt.end()) << quote(found.txt);
    }
    EXPECT_EQ(names, (std::set<std::string>{twin, twin + " #2"}));

    const std::string fp = "fp=" + Base64URL::encode(longFingerprint);
    auto longOnes = waitForServices([&](const Resolved& s) {
        return s.protocol == "IPv4" && std::find(s.txt.begin(), s.txt.end(), fp) != s.txt.end();
    });
    ASSERT_EQ(longOnes.size(), 1u);
    const auto& published = longOnes[0];
    EXPECT_EQ(published.name, longName.substr(0, 62));  // 31 whole characters
    EXPECT_TRUE(dnssd::isValidUtf8(published.name));
    const auto txtName = std::find_if(published.txt.begin(), published.txt.end(),
                                      [](const std::string& s) { return s.rfind("name=", 0) == 0; });
    ASSERT_NE(txtName, published.txt.end());
    EXPECT_EQ(*txtName, "name=" + longName.substr(0, 250));  // the whole TXT string is 255 bytes
    EXPECT_FALSE(overlong.publicationProblem());

    const std::string oddFp = "fp=" + Base64URL::encode(oddFingerprint);
    auto odds = waitForServices([&](const Resolved& s) {
        return s.protocol == "IPv4" && std::find(s.txt.begin(), s.txt.end(), oddFp) != s.txt.end();
    });
    ASSERT_EQ(odds.size(), 1u);
    EXPECT_EQ(odds[0].name, "Odd \xEF\xBF\xBD\xEF\xBF\xBD Host");
    EXPECT_NE(std::find(odds[0].txt.begin(), odds[0].txt.end(), "name=" + notUtf8), odds[0].txt.end())
        << quote(odds[0].txt);
}

TEST(DiscoveryNetns, AHostOfTheSameNameElsewhereMakesTheLaterOneTakeAnotherName) {
    REQUIRE_NETNS();
    const std::string name = fresh("Shared Name");
    HostAdvertiser here(name, crypto::randomBytes(32), {});
    here.start();
    ASSERT_FALSE(waitForServices([&](const Resolved& s) { return s.name == name; }).empty());

    // The same name published from the other namespace collides while it is probed.
    auto there = std::async(std::launch::async, [&] {
        return runFor(inPeer({QUILL_DISCOVERY_PEER, "publish", name, "10"}), 60);
    });
    auto both = waitForServices(
        [&](const Resolved& s) { return s.protocol == "IPv4" && s.name.rfind(name, 0) == 0; }, 2);
    std::set<std::string> names;
    for (const auto& service : both) {
        names.insert(service.name);
        EXPECT_NE(std::find(service.txt.begin(), service.txt.end(), "name=" + name), service.txt.end())
            << quote(service.txt);
    }
    EXPECT_EQ(names, (std::set<std::string>{name, name + " #2"}));
    const auto peer = there.get();
    EXPECT_EQ(peer.status, 0) << peer.output;
    EXPECT_NE(peer.output.find("as \"" + name + " #2\""), std::string::npos) << peer.output;
    EXPECT_FALSE(here.publicationProblem());
}

TEST(DiscoveryNetns, AHostThatComesBackOnAnotherPortIsKnownAtItsNewPort) {
    REQUIRE_NETNS();
    const Bytes fingerprint = crypto::randomBytes(32);
    HostBrowser browser;
    browser.start();
    std::uint16_t firstPort = 0;
    {
        HostAdvertiser first(fresh("Restarting Host"), fingerprint, {});
        firstPort = first.start();
        const auto found = browser.waitForHost(fingerprint, 30);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->endpoint.port, firstPort);
    }
    // The host restarts: a new advertiser, a new port (the old one stays taken, so the system
    // cannot hand it out again). What a later wait returns at once must not be the dead port.
    const int holder = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    int dualStack = 0;
    ::setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &dualStack, sizeof dualStack);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(firstPort);
    bool held = false;
    for (int i = 0; i < 100 && !held; ++i) {  // the old listener closes on the I/O thread
        held = ::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (!held) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(held);
    std::promise<void> reached;
    std::once_flag once;
    HostAdvertiser second(fresh("Restarting Host"), fingerprint, [&](net::TcpConnectionPtr) {
        std::call_once(once, [&] { reached.set_value(); });
    });
    const auto secondPort = second.start();
    ASSERT_NE(secondPort, firstPort);
    std::optional<DiscoveredHost> known;
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < until) {
        known = browser.waitForHost(fingerprint, 0);
        if (known && known->endpoint.port == secondPort) break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(known);
    EXPECT_EQ(known->endpoint.port, secondPort);
    auto channel = FrameChannel::connect(known->endpoint);
    EXPECT_EQ(reached.get_future().wait_for(10s), std::future_status::ready);
    ::close(holder);
}

TEST(DiscoveryNetns, WithoutADaemonTheAdvertiserListensAndPublishesOnceTheDaemonComes) {
    REQUIRE_NETNS();
    // Its own pid, network and mount namespaces, so the daemons it starts and stops are its
    // own and die with it.
    const auto isolated = runFor({"unshare", "--pid", "--fork", "--kill-child", "--net", "--mount", "--mount-proc",
                                  "--propagation", "private", "--", QUILL_DISCOVERY_PEER, "isolated"},
                                 150);
    EXPECT_EQ(isolated.status, 0) << isolated.output;
    EXPECT_NE(isolated.output.find("problem without a bus: Daemon not running"), std::string::npos)
        << isolated.output;
}
