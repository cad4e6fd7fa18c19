// Whole sessions across the two-namespace test network (scripts/harness/netns, with Xvfb in side
// a): the real host binary in side a, a controller of another make in side b. That controller
// only watches, so it sends nothing but RTCP at RFC 3550's 5 s; it is there all along, and its
// bye must be what ends each session in the host's Activity Log.

#include <gtest/gtest.h>

#include <fstream>

#include "host/desktop/x11_test_support.h"
#include "host/model/activity_log.h"
#include "tests/host_process.h"
#include "tests/netns_support.h"

namespace quill {
namespace {

using namespace hostprocess;

using netns::env;

// The host's Activity Log as it stands on disk.
QList<host::ActivityEntry> activity(const HostProcess& host) {
    return host::ActivityLog(QString::fromStdString((host.dataFolder() / "Quillmate Host").string())).entries();
}

// Each session outlasts the host's silence limit (8.5 s) and sees several of the controller's
// reports; the screen changes every 30 ms, so video flows all along. QUILL_SOAK_SESSIONS and
// QUILL_SOAK_SECONDS make it a longer run by hand.
TEST(WholeSessionNetns, AControllerThatOnlyWatchesIsNeverTakenForGone) {
    REQUIRE_NETNS();
    ASSERT_FALSE(env("DISPLAY").empty()) << "needs scripts/harness/x11 inside scripts/harness/netns";
    const int sessions = env("QUILL_SOAK_SESSIONS").empty() ? 10 : std::stoi(env("QUILL_SOAK_SESSIONS"));
    const int seconds = env("QUILL_SOAK_SECONDS").empty() ? 11 : std::stoi(env("QUILL_SOAK_SECONDS"));
    HostProcess host;
    host::testing::TestClient screen(env("DISPLAY"));
    std::jthread painter([&screen](std::stop_token stop) {
        for (std::uint32_t k = 0; !stop.stop_requested(); ++k, std::this_thread::sleep_for(30ms))
            screen.fill(0, 0, 640, 480, (k * 0x3b1d7) & 0xffffff);
    });
    // What the controller needs, in /tmp, which both sides see.
    char path[] = "/tmp/quill-receiving-controller.XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::unique_ptr<char, int (*)(const char*)> removed(path, ::unlink);
    {
        std::ofstream out(path);
        out << host.controller.storedKeys().encode() << '\n'
            << recordOf(host.hostIdentity, "Host").encode() << '\n'
            << env("QUILL_NETNS_LOCAL_ADDR") << '\n'
            << host.port << '\n';
    }
    const auto controller = netns::inPeer({QUILL_RECEIVING_CONTROLLER, path, std::to_string(seconds)});
    for (int i = 0; i < sessions; ++i) {
        SCOPED_TRACE("session " + std::to_string(i + 1));
        const auto [status, output] = netns::runFor(controller, seconds + 60);
        EXPECT_EQ(status, 0) << output;
        // The host writes the end once it has taken the bye in.
        ASSERT_TRUE(eventually([&] { return activity(host).size() == i + 1 && activity(host).back().endReason; }, 20s))
            << output;
        const auto entry = activity(host).back();
        EXPECT_EQ(entry.endReason.value_or("").toStdString(), "Session closed by the controller") << output;
        EXPECT_GE(host::activityDurationSeconds(entry).value_or(0), seconds - 1);
    }
    EXPECT_TRUE(host.running());
}

}  // namespace
}  // namespace quill
