#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "quillcore/base/base64.h"
#include "quillcore/net/dnssd_fake.h"
#include "quillcore/transport/host_advertiser.h"
#include "quillcore/transport/host_browser.h"

using namespace quill;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

dnssd::ResolvedService record(std::vector<std::string> txt, std::string name = "Remote", std::uint16_t port = 7000) {
    dnssd::ResolvedService service;
    service.name = std::move(name);
    service.type = "_quillmate._tcp";
    service.domain = "local";
    service.address = "10.9.8.7";
    service.interfaceIndex = 2;
    service.port = port;
    service.txt = dnssd::TxtRecord(std::move(txt));
    return service;
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

}  // namespace

TEST(HostBrowser, OnlyUsableRecordsBecomeHosts) {
    const struct {
        std::vector<std::string> txt;
        std::optional<std::string> name;  // none: skipped
        Bytes fingerprint = kFingerprint;
    } cases[] = {
        {HostAdvertiser::txtRecord("Den", kFingerprint).strings(), "Den"},  // what an advertiser publishes
        {{kFp, "v=0"}, "Quillmate Host"},
        {{kFp, "v=0", "name"}, "Quillmate Host"},          // no text
        {{kFp, "v=0", "name=\xFF"}, "Quillmate Host"},     // not UTF-8
        {{"fp=AA==", "v=0"}, "Quillmate Host", Bytes{0}},  // padding and the standard alphabet decode too
        {{"fp=+/+/", "v=0"}, "Quillmate Host", Bytes{0xFB, 0xFF, 0xBF}},
        {{"fp=", "v=0"}, "Quillmate Host", Bytes{}},  // any length
        {{}, std::nullopt},
        {{"v=0", "name=X"}, std::nullopt},
        {{"fp", "v=0"}, std::nullopt},
        {{"fp=\xFF\xFE", "v=0"}, std::nullopt},
        {{"fp=A", "v=0"}, std::nullopt},
        {{"fp=AA.A", "v=0"}, std::nullopt},
        {{kFp}, std::nullopt},
        {{kFp, "v=1"}, std::nullopt},
        {{kFp, "v=00"}, std::nullopt},
        {{kFp, "v"}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto host = HostBrowser::discoveredHost(record(c.txt));
        SCOPED_TRACE(::testing::PrintToString(c.txt));
        ASSERT_EQ(host.has_value(), c.name.has_value());
        if (!host) continue;
        EXPECT_EQ(host->name, *c.name);
        EXPECT_EQ(host->fingerprint, c.fingerprint);
        EXPECT_EQ(host->endpoint, (net::TcpEndpoint{"10.9.8.7", 7000}));
    }
    // A link-local address means nothing without its interface.
    auto linkLocal = record({kFp, "v=0"});
    linkLocal.address = "fe80::1";
    linkLocal.ipv6 = true;
    linkLocal.interfaceIndex = 1;
    EXPECT_EQ(HostBrowser::discoveredHost(linkLocal)->endpoint.host, "fe80::1%lo");
    linkLocal.address = "2001:db8::1";
    EXPECT_EQ(HostBrowser::discoveredHost(linkLocal)->endpoint.host, "2001:db8::1");
    EXPECT_EQ(DiscoveredHost::loopback("A", kFingerprint, 5000).endpoint, (net::TcpEndpoint{"127.0.0.1", 5000}));
}

TEST(HostBrowser, AChangedRecordIsAnnouncedAgainAndReplacesTheKnownOne) {
    auto network = dnssd::FakeNetwork::make();
    HostBrowser browser(network->browserFactory());
    browser.start();
    network->announce(record({kFp, "v=0", "name=Old"}, "Remote", 7000));
    network->announce(record({"fp=AAAA", "v=1"}, "Skipped"));
    network->announce(record({kFp, "v=0", "name=New"}, "Remote", 7001));
    network->announce(record({kFp, "v=0", "name=Twin"}, "Twin", 7002));  // the later one is known
    network->removeAnnounced("Twin", "_quillmate._tcp");                  // and stays known, silently
    network->settle();
    for (const auto* name : {"Old", "New", "Twin"}) EXPECT_EQ(browser.hosts->next(5.0).value->name, name);
    EXPECT_TRUE(browser.hosts->next(0.05).timedOut());
    const auto known = browser.waitForHost(kFingerprint, 0);
    ASSERT_TRUE(known);
    EXPECT_EQ(known->name, "Twin");
    EXPECT_EQ(known->endpoint.port, 7002);
}

TEST(HostBrowser, WaitersAreCompletedByTheirHostOrTheirTimeout) {
    auto network = dnssd::FakeNetwork::make();
    HostBrowser browser(network->browserFactory());
    browser.start();
    const auto before = Clock::now();
    for (double none : {0.0, -1.0, std::nan("")}) EXPECT_FALSE(browser.waitForHost(kFingerprint, none));
    EXPECT_LT(Clock::now() - before, 1s);

    // Two waiters for one fingerprint both get it; a waiter whose time ran out got none and
    // left, and the host found after it is still recorded and announced.
    EXPECT_FALSE(browser.waitForHost(kFingerprint, 0.2));
    EXPECT_GE(Clock::now() - before, 190ms);
    auto a = waitInBackground(browser, kFingerprint, 30, 1);
    auto b = waitInBackground(browser, kFingerprint, 30, 2);
    auto other = waitInBackground(browser, Bytes(32, 1), 0.5, 3);
    network->announce(record({kFp, "v=0", "name=Found"}));
    for (auto* found : {&a, &b}) {
        ASSERT_EQ(found->wait_for(5s), std::future_status::ready);
        EXPECT_EQ(found->get()->name, "Found");
    }
    EXPECT_FALSE(other.get());
    EXPECT_EQ(browser.pendingWaits(), 0u);
    EXPECT_EQ(browser.hosts->next(5.0).value->name, "Found");
}

TEST(HostBrowser, StopEndsEveryWaitAndTheStreamForGood) {
    auto network = dnssd::FakeNetwork::make();
    HostBrowser browser(network->browserFactory());
    network->announce(record({kFp, "v=0"}));
    network->settle();
    EXPECT_FALSE(browser.waitForHost(kFingerprint, 0.1));  // waiting does not start browsing
    browser.start();
    ASSERT_TRUE(browser.waitForHost(kFingerprint, 5));

    auto waiting = waitInBackground(browser, Bytes(32, 2), 60, 1);
    browser.stop();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    EXPECT_TRUE(browser.hosts->next(1.0).hasItem());  // what was announced stays readable
    EXPECT_TRUE(browser.hosts->next(1.0).finished());

    browser.start();  // does nothing any more
    EXPECT_EQ(network->liveBrowsers(), 0);
    EXPECT_TRUE(browser.waitForHost(kFingerprint, 0));  // still known
}

TEST(HostBrowser, WaitingForTheDaemonAndFailingAreReportedAsLastProblem) {
    auto network = dnssd::FakeNetwork::make();
    network->setDaemonRunning(false);
    HostBrowser browser(network->browserFactory());
    EXPECT_FALSE(browser.lastProblem());
    browser.start();
    network->settle();
    EXPECT_EQ(browser.lastProblem(), "waiting: Daemon not running");

    // Waiters keep waiting while the daemon is away and are served when it comes; a restart
    // does not announce an unchanged host again.
    auto waiting = waitInBackground(browser, kFingerprint, 30, 1);
    network->announce(record({kFp, "v=0"}));
    network->settle();
    EXPECT_EQ(waiting.wait_for(0s), std::future_status::timeout);
    network->setDaemonRunning(true);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
    network->setDaemonRunning(false);
    network->setDaemonRunning(true);
    network->settle();
    EXPECT_TRUE(browser.hosts->next(1.0).hasItem());
    EXPECT_TRUE(browser.hosts->next(0.1).timedOut());
    EXPECT_EQ(browser.lastProblem(), "waiting: Daemon not running");  // never cleared

    auto failing = waitInBackground(browser, Bytes(32, 3), 30, 1);
    network->failBrowsers("Bad state");
    ASSERT_EQ(failing.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(failing.get());
    EXPECT_EQ(browser.lastProblem(), "failed: Bad state");
    EXPECT_TRUE(browser.hosts->next(1.0).finished());
}

TEST(HostBrowser, RecordsFromTheNetworkCannotGrowTheKnownHostsWithoutBound) {
    auto network = dnssd::FakeNetwork::make();
    HostBrowser browser(network->browserFactory());
    browser.start();
    browser.hosts->detach();
    auto fingerprintOf = [](std::size_t i) {
        Bytes fp(32, 0);
        fp[0] = static_cast<std::uint8_t>(i >> 8);
        fp[1] = static_cast<std::uint8_t>(i);
        return fp;
    };
    const std::size_t count = HostBrowser::kMaxKnownHosts + 10;
    for (std::size_t i = 0; i < count; ++i) {
        network->announce(record({"fp=" + Base64URL::encode(fingerprintOf(i)), "v=0"}, "Host " + std::to_string(i)));
        if (i % 100 == 0) {  // the first host is seen again now and then, so it stays recent
            network->announce(record({"fp=" + Base64URL::encode(fingerprintOf(0)), "v=0"}, "Host 0",
                                     static_cast<std::uint16_t>(7000 + i)));
        }
    }
    network->settle();
    EXPECT_TRUE(browser.waitForHost(fingerprintOf(0), 0));
    // The ten over the limit made room by forgetting the ten recorded longest ago.
    for (std::size_t i = 1; i < count; ++i) ASSERT_EQ(browser.waitForHost(fingerprintOf(i), 0).has_value(), i > 10) << i;
}
