#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "quillcore/base/base64.h"
#include "quillcore/net/dnssd_fake.h"
#include "quillcore/transport/frame_channel.h"
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
    service.hostName = "remote.local";
    service.address = "10.9.8.7";
    service.interfaceIndex = 2;
    service.port = port;
    service.txt = dnssd::TxtRecord(std::move(txt));
    return service;
}

const Bytes kFingerprint(32, 0x5A);
const std::string kFp = "fp=" + Base64URL::encode(kFingerprint);

}  // namespace

TEST(HostBrowser, FindsAnAdvertisedHostAndAFrameChannelReachesIt) {
    auto network = dnssd::FakeNetwork::make();
    std::promise<FrameChannelPtr> accepted;
    HostAdvertiser advertiser("Living Room", kFingerprint,
                              [&](net::TcpConnectionPtr connection) {
                                  accepted.set_value(FrameChannel::make(std::move(connection)));
                              },
                              {{}, network->publisherFactory()});
    const auto port = advertiser.start();

    HostBrowser browser(network->browserFactory());
    browser.start();
    const auto host = browser.waitForHost(kFingerprint, 10);
    ASSERT_TRUE(host);
    EXPECT_EQ(host->name, "Living Room");
    EXPECT_EQ(host->fingerprint, kFingerprint);
    EXPECT_EQ(host->endpoint.port, port);
    auto announced = browser.hosts->next(5.0);
    ASSERT_TRUE(announced.hasItem());
    EXPECT_EQ(*announced.value, *host);

    auto channel = FrameChannel::connect(host->endpoint);
    channel->send(toBytes("ping"));
    auto future = accepted.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    auto server = future.get();
    EXPECT_EQ(server->nextFrame(5.0), toBytes("ping"));
    server->send(toBytes("pong"));
    EXPECT_EQ(channel->nextFrame(5.0), toBytes("pong"));
}

TEST(HostBrowser, OnlyUsableRecordsBecomeHosts) {
    auto host = HostBrowser::discoveredHost(record({kFp, "v=0", "name=Den"}));
    ASSERT_TRUE(host);
    EXPECT_EQ(host->name, "Den");
    EXPECT_EQ(host->fingerprint, kFingerprint);
    EXPECT_EQ(host->endpoint, (net::TcpEndpoint{"10.9.8.7", 7000}));

    EXPECT_EQ(HostBrowser::discoveredHost(record({kFp, "v=0"}))->name, "Quillmate Host");
    EXPECT_EQ(HostBrowser::discoveredHost(record({kFp, "v=0", "name"}))->name, "Quillmate Host");
    EXPECT_EQ(HostBrowser::discoveredHost(record({kFp, "v=0", "name=\xFF"}))->name, "Quillmate Host");
    // Padding and the standard alphabet decode too; any length is accepted.
    EXPECT_EQ(HostBrowser::discoveredHost(record({"fp=AA==", "v=0"}))->fingerprint, Bytes{0});
    EXPECT_EQ(HostBrowser::discoveredHost(record({"fp=+/+/", "v=0"}))->fingerprint, (Bytes{0xFB, 0xFF, 0xBF}));
    EXPECT_EQ(HostBrowser::discoveredHost(record({"fp=", "v=0"}))->fingerprint, Bytes{});

    for (const auto& txt : std::vector<std::vector<std::string>>{
             {},                     // no TXT entries
             {"v=0", "name=X"},      // no fp
             {"fp", "v=0"},          // fp without a value
             {"fp=\xFF\xFE", "v=0"}, // fp not text
             {"fp=A", "v=0"},        // fp not base64
             {"fp=AA.A", "v=0"},
             {kFp},                  // no v
             {kFp, "v=1"},
             {kFp, "v=00"},
             {kFp, "v"},
         }) {
        EXPECT_FALSE(HostBrowser::discoveredHost(record(txt))) << ::testing::PrintToString(txt);
    }

    // Link-local addresses carry their interface.
    auto linkLocal = record({kFp, "v=0"});
    linkLocal.address = "fe80::1";
    linkLocal.ipv6 = true;
    linkLocal.interfaceIndex = 1;
    EXPECT_EQ(HostBrowser::discoveredHost(linkLocal)->endpoint.host, "fe80::1%lo");
    linkLocal.address = "2001:db8::1";
    EXPECT_EQ(HostBrowser::discoveredHost(linkLocal)->endpoint.host, "2001:db8::1");
}

TEST(HostBrowser, AChangedRecordIsAnnouncedAgainAndReplacesTheKnownOne) {
    auto network = dnssd::FakeNetwork::make();
    HostBrowser browser(network->browserFactory());
    browser.start();
    network->announce(record({kFp, "v=0", "name=Old"}, "Remote", 7000));
    network->announce(record({"fp=AAAA", "v=1"}, "Skipped"));  // never announced
    network->announce(record({kFp, "v=0", "name=New"}, "Remote", 7001));
    network->settle();

    auto first = browser.hosts->next(5.0);
    auto second = browser.hosts->next(5.0);
    ASSERT_TRUE(first.hasItem());
    ASSERT_TRUE(second.hasItem());
    EXPECT_EQ(first.value->name, "Old");
    EXPECT_EQ(second.value->name, "New");
    EXPECT_EQ(second.value->endpoint.port, 7001);
    EXPECT_TRUE(browser.hosts->next(0.05).timedOut());
    EXPECT_EQ(browser.waitForHost(kFingerprint, 0)->name, "New");

    // Another service with the same fingerprint: the later one is the known one.
    network->announce(record({kFp, "v=0", "name=Twin"}, "Twin", 7002));
    network->settle();
    EXPECT_EQ(browser.waitForHost(kFingerprint, 0)->name, "Twin");

    // A host that goes away stays known; its going is not announced.
    network->removeAnnounced("Twin", "_quillmate._tcp");
    network->settle();
    EXPECT_EQ(browser.waitForHost(kFingerprint, 0)->name, "Twin");
    auto third = browser.hosts->next(5.0);  // "Twin"
    EXPECT_TRUE(browser.hosts->next(0.05).timedOut());
    EXPECT_EQ(third.value->name, "Twin");
}

TEST(HostBrowser, WaitersAreCompletedByTheirHostOrTheirTimeout) {
    auto network = dnssd::FakeNetwork::make();
    HostBrowser browser(network->browserFactory());
    browser.start();

    // Unknown with no time left: none at once.
    auto before = Clock::now();
    EXPECT_FALSE(browser.waitForHost(kFingerprint, 0));
    EXPECT_FALSE(browser.waitForHost(kFingerprint, -1));
    EXPECT_FALSE(browser.waitForHost(kFingerprint, std::nan("")));
    EXPECT_LT(Clock::now() - before, 1s);

    // A waiter whose time runs out gets none; the host found later is still recorded.
    before = Clock::now();
    EXPECT_FALSE(browser.waitForHost(kFingerprint, 0.2));
    EXPECT_GE(Clock::now() - before, 190ms);

    auto a = std::async(std::launch::async, [&] { return browser.waitForHost(kFingerprint, 30); });
    auto b = std::async(std::launch::async, [&] { return browser.waitForHost(kFingerprint, 30); });
    auto other = std::async(std::launch::async, [&] { return browser.waitForHost(Bytes(32, 1), 0.5); });
    std::this_thread::sleep_for(100ms);
    network->announce(record({kFp, "v=0", "name=Found"}));
    ASSERT_EQ(a.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(b.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(a.get()->name, "Found");
    EXPECT_EQ(b.get()->name, "Found");
    EXPECT_FALSE(other.get());
    EXPECT_EQ(browser.hosts->next(5.0).value->name, "Found");
}

TEST(HostBrowser, StopEndsEveryWaitAndTheStreamForGood) {
    auto network = dnssd::FakeNetwork::make();
    HostBrowser browser(network->browserFactory());
    // Waiting does not start browsing, and the known host stays known after stop().
    network->announce(record({kFp, "v=0"}));
    network->settle();
    EXPECT_FALSE(browser.waitForHost(kFingerprint, 0.1));
    browser.start();
    ASSERT_TRUE(browser.waitForHost(kFingerprint, 5));

    auto waiting = std::async(std::launch::async, [&] { return browser.waitForHost(Bytes(32, 2), 60); });
    std::this_thread::sleep_for(100ms);
    const auto before = Clock::now();
    browser.stop();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    EXPECT_LT(Clock::now() - before, 5s);
    EXPECT_TRUE(browser.hosts->next(1.0).hasItem());  // what was announced before stays readable
    EXPECT_TRUE(browser.hosts->next(1.0).finished());

    browser.start();  // does nothing any more
    EXPECT_EQ(network->liveBrowsers(), 0);
    network->announce(record({"fp=AAAA", "v=0"}, "Late"));
    network->settle();
    EXPECT_FALSE(browser.waitForHost(Bytes{0, 0, 0}, 0.1));
    EXPECT_TRUE(browser.waitForHost(kFingerprint, 0));
}

TEST(HostBrowser, FailureAndWaitingAreReportedAsLastProblem) {
    auto network = dnssd::FakeNetwork::make();
    network->setDaemonRunning(false);
    HostBrowser browser(network->browserFactory());
    EXPECT_FALSE(browser.lastProblem());
    browser.start();
    network->settle();
    EXPECT_EQ(browser.lastProblem(), "waiting: Daemon not running");

    // Waiters keep waiting while the daemon is away, and are served when it comes.
    auto waiting = std::async(std::launch::async, [&] { return browser.waitForHost(kFingerprint, 30); });
    network->announce(record({kFp, "v=0"}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(waiting.wait_for(0s), std::future_status::timeout);
    network->setDaemonRunning(true);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
    EXPECT_EQ(browser.lastProblem(), "waiting: Daemon not running");  // never cleared

    // A daemon restart does not announce an unchanged host again.
    network->setDaemonRunning(false);
    network->setDaemonRunning(true);
    network->settle();
    EXPECT_TRUE(browser.hosts->next(1.0).hasItem());
    EXPECT_TRUE(browser.hosts->next(0.1).timedOut());

    auto failing = std::async(std::launch::async, [&] { return browser.waitForHost(Bytes(32, 3), 30); });
    std::this_thread::sleep_for(100ms);
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
        // The first host is seen again now and then, so it stays among the most recent.
        if (i % 100 == 0) {
            network->announce(record({"fp=" + Base64URL::encode(fingerprintOf(0)), "v=0", "name=again"},
                                     "Host 0", static_cast<std::uint16_t>(7000 + i)));
        }
    }
    network->settle();
    EXPECT_TRUE(browser.waitForHost(fingerprintOf(0), 0));
    // The ten over the limit made room by forgetting the ten recorded longest ago.
    for (std::size_t i = 1; i <= 10; ++i) EXPECT_FALSE(browser.waitForHost(fingerprintOf(i), 0)) << i;
    for (std::size_t i = 11; i < count; ++i) ASSERT_TRUE(browser.waitForHost(fingerprintOf(i), 0)) << i;
}
