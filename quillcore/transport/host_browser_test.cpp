#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "quillcore/base/base64.h"
#include "quillcore/net/dnssd_fake.h"
#include "quillcore/transport/host_advertiser.h"
#include "quillcore/transport/host_browser.h"

using namespace quill;
using namespace std::chrono_literals;

namespace {

dnssd::ResolvedService record(std::vector<std::string> txt, std::string name = "Remote", std::uint16_t port = 7000) {
    return {std::move(name), "_quillmate._tcp", "local", "", "10.9.8.7", false, 2, port, dnssd::TxtRecord(std::move(txt))};
}

const Bytes kFingerprint(32, 0x5A);
const std::string kFp = "fp=" + Base64URL::encode(kFingerprint);

// Waits in the background until the browser counts `count` waiting calls.
std::future<std::optional<DiscoveredHost>> waitInBackground(HostBrowser& browser, Bytes fp, double timeout,
                                                             std::size_t count) {
    auto call = std::async(std::launch::async, [&browser, fp, timeout] { return browser.waitForHost(fp, timeout); });
    for (int i = 0; i < 500 && browser.pendingWaits() < count; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_GE(browser.pendingWaits(), count);
    return call;
}

struct Browsing {
    std::shared_ptr<dnssd::FakeNetwork> network = dnssd::FakeNetwork::make();
    HostBrowser browser{network->browserFactory()};
};

}  // namespace

TEST(HostBrowser, OnlyUsableRecordsBecomeHosts) {
    const struct {
        std::vector<std::string> txt;
        std::optional<std::string> name;  // none: skipped
        Bytes fingerprint = kFingerprint;
    } cases[] = {
        {HostAdvertiser::txtRecord("Den", kFingerprint).strings(), "Den"},  // what an advertiser publishes
        {{kFp, "v=0"}, "Quillmate Host"},
        {{kFp, "v=0", "name"}, "Quillmate Host"},                       // no text
        {{"fp=+/+/", "v=0"}, "Quillmate Host", Bytes{0xFB, 0xFF, 0xBF}},  // the standard alphabet too
        {{"fp=", "v=0"}, "Quillmate Host", Bytes{}},                     // any length
        {{"fp=AA==", "v=0"}, "Quillmate Host", Bytes{0}},                // padded
        {{kFp, "v=0", "name=\xFF\xFE"}, "Quillmate Host"},               // a name that is not UTF-8
        {{"fp=\xFF\xFE", "v=0"}, std::nullopt}, {{"fp=AA.A", "v=0"}, std::nullopt},
        {{}, std::nullopt},    {{"v=0", "name=X"}, std::nullopt}, {{"fp", "v=0"}, std::nullopt},
        {{"fp=A", "v=0"}, std::nullopt}, {{kFp}, std::nullopt},   {{kFp, "v=1"}, std::nullopt},
        {{kFp, "v=00"}, std::nullopt},   {{kFp, "v"}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto host = c.name ? std::optional(DiscoveredHost{*c.name, c.fingerprint, {"10.9.8.7", 7000}}) : std::nullopt;
        EXPECT_EQ(HostBrowser::discoveredHost(record(c.txt)), host) << ::testing::PrintToString(c.txt);
    }
    // A link-local address means nothing without its interface.
    auto linkLocal = record({kFp, "v=0"});
    linkLocal.address = "fe80::1";
    linkLocal.ipv6 = true;
    linkLocal.interfaceIndex = 1;
    EXPECT_EQ(HostBrowser::discoveredHost(linkLocal)->endpoint.host, "fe80::1%lo");
}

TEST(HostBrowser, WaitersAreCompletedByTheirHostTheirTimeoutAFailureOrStop) {
    Browsing b;
    EXPECT_FALSE(b.browser.lastProblem());
    b.network->announce(record({"fp=AAAA", "v=0"}));
    b.network->settle();
    EXPECT_FALSE(b.browser.waitForHost(Bytes(3, 0), 0.1));  // waiting does not start browsing
    b.browser.start();
    // Two waiters for one fingerprint both get it; a waiter whose time ran out got none and
    // left, and the host found after it is still recorded and announced.
    EXPECT_FALSE(b.browser.waitForHost(kFingerprint, 0.2));
    auto first = waitInBackground(b.browser, kFingerprint, 30, 1);
    auto second = waitInBackground(b.browser, kFingerprint, 30, 2);
    auto other = waitInBackground(b.browser, Bytes(32, 1), 0.5, 3);
    b.network->announce(record({kFp, "v=0", "name=Found"}, "Found"));
    EXPECT_EQ(first.get()->name, "Found");
    EXPECT_EQ(second.get()->name, "Found");
    EXPECT_FALSE(other.get());
    EXPECT_EQ(b.browser.pendingWaits(), 0u);

    // A failure ends every wait and the stream (what was announced stays readable), and stop
    // ends browsing for good; the hosts found stay known.
    auto failing = waitInBackground(b.browser, Bytes(32, 2), 60, 1);
    b.network->failBrowsers("Bad state");
    ASSERT_EQ(failing.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(failing.get());
    EXPECT_EQ(b.browser.lastProblem(), "failed: Bad state");
    EXPECT_EQ(b.browser.hosts->next(1.0).value->fingerprint, Bytes(3, 0));
    EXPECT_EQ(b.browser.hosts->next(1.0).value->name, "Found");
    EXPECT_TRUE(b.browser.hosts->next(1.0).finished());
    auto waiting = waitInBackground(b.browser, Bytes(32, 2), 60, 1);
    b.browser.stop();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    b.browser.start();  // does nothing any more
    EXPECT_EQ(b.network->liveBrowsers(), 0);
    EXPECT_TRUE(b.browser.waitForHost(kFingerprint, 0));
}

// Records from the LAN cannot grow what the browser holds without bound: the known hosts
// forget the one recorded longest ago, and the unread stream keeps the newest record of each
// host, at most kMaxKnownHosts of them.
TEST(HostBrowser, RecordsFromTheNetworkAreHeldWithinBounds) {
    Browsing b;
    b.browser.start();
    auto fpText = [](std::size_t i) { return "fp=" + Base64URL::encode(Bytes{std::uint8_t(i >> 8), std::uint8_t(i)}); };
    // One host changing 20,000 times while nobody reads: one unread item, its newest record;
    // a host that goes away stays known, silently.
    for (std::uint16_t port = 1; port <= 20'000; ++port) b.network->announce(record({fpText(0), "v=0"}, "Host 0", port));
    b.network->settle();
    EXPECT_EQ(b.browser.hosts->pending(), 1u);
    EXPECT_EQ(b.browser.hosts->tryNext()->endpoint.port, 20'000);
    b.network->removeAnnounced("Host 0", "_quillmate._tcp");
    b.network->settle();
    EXPECT_EQ(b.browser.hosts->pending(), 0u);

    const std::size_t count = HostBrowser::kMaxKnownHosts + 10;
    for (std::size_t i = 1; i < count; ++i) {
        b.network->announce(record({fpText(i), "v=0"}, "Host " + std::to_string(i), static_cast<std::uint16_t>(i)));
        if (i % 100 == 0) b.network->announce(record({fpText(0), "v=0"}, "Host 0"));  // host 0 stays recent
    }
    b.network->settle();
    ASSERT_EQ(b.browser.hosts->pending(), HostBrowser::kMaxKnownHosts);
    EXPECT_EQ(b.browser.hosts->tryNext()->endpoint.port, 11);  // the oldest unread gave way
    // The ten over the limit made room by forgetting the ten recorded longest ago.
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes fp = *Base64URL::decode(fpText(i).substr(3));
        ASSERT_EQ(b.browser.waitForHost(fp, 0).has_value(), i == 0 || i > 10) << i;
    }
}
