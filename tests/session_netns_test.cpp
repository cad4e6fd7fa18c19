// Whole sessions across the two-namespace test network (scripts/harness/netns, with Xvfb in side
// a): the real host binary in side a, a controller of another make in side b. That controller
// only watches, so it sends nothing but RTCP at RFC 3550's 5 s; it is there all along, and its
// bye must be what ends each session in the host's Activity Log.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "host/desktop/x11_test_support.h"
#include "host/model/activity_log.h"
#include "tests/host_process.h"

namespace quill {
namespace {

using namespace hostprocess;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Outside the harness this skips, except in CI, where that is a failure.
#define REQUIRE_NETNS_WITH_DISPLAY()                                                                    \
    if (env("QUILL_NETNS") != "1" || env("DISPLAY").empty()) {                                          \
        if (env("CI") == "true") FAIL() << "needs scripts/harness/netns with scripts/harness/x11 inside"; \
        GTEST_SKIP() << "needs scripts/harness/netns with scripts/harness/x11 inside";                  \
    }                                                                                                   \
    static_assert(true)

// Runs `command` to its end (killed after `seconds`): its exit code and output.
std::pair<int, std::string> run(const std::string& command, int seconds) {
    FILE* pipe = ::popen(("timeout -s KILL " + std::to_string(seconds) + " " + command + " 2>&1").c_str(), "r");
    if (!pipe) return {-1, "cannot run " + command};
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// The host's Activity Log as it stands on disk.
QList<host::ActivityEntry> activity(const HostProcess& host) {
    QList<host::ActivityEntry> entries;
    std::ifstream in(host.dataFolder() / "Quillmate Host" / "activity.jsonl");
    for (std::string line; std::getline(in, line);)
        if (auto entry = host::decodeActivityEntry(QByteArrayView(line.data(), static_cast<qsizetype>(line.size()))))
            entries.push_back(*entry);
    return entries;
}

// Each session outlasts the host's silence limit (8.5 s) and sees several of the controller's
// reports; the screen changes every 30 ms, so video flows all along. QUILL_SOAK_SESSIONS and
// QUILL_SOAK_SECONDS make it a longer run by hand.
TEST(WholeSessionNetns, AControllerThatOnlyWatchesIsNeverTakenForGone) {
    REQUIRE_NETNS_WITH_DISPLAY();
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
    const std::string command = "nsenter --net=" + env("QUILL_NETNS_PEER_NET") + " --mount=" + env("QUILL_NETNS_PEER_MNT") +
                                " -- " QUILL_RECEIVING_CONTROLLER " " + path + " " + std::to_string(seconds);
    for (int i = 0; i < sessions; ++i) {
        SCOPED_TRACE("session " + std::to_string(i + 1));
        const auto [status, output] = run(command, seconds + 60);
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
