// The address list read from the kernel, in a network namespace this test makes for itself
// (needs root), with veth pairs named like the interfaces the ordering rules know.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host/desktop/local_addresses.h"

using namespace quill::host;

TEST(LocalAddressesInANamespace, TheKernelsListComesOutInPreferenceOrder) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    if (fork() == 0) {
        auto run = [](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; };
        std::string out = "<unavailable>";
        if (unshare(CLONE_NEWNET) == 0) {
            out = run("ip link set lo up") ? "" : "<no loopback>";
            for (const char* command : {"ip addr add 192.168.1.20/24 dev en0", "ip addr add 2001:db8::5/64 dev en0 nodad",
                                        "ip addr add 10.0.0.5/24 dev en1", "ip addr add 100.64.0.2/24 dev utun3", "ip addr add 10.9.9.9/24 dev bridge0",
                                        "ip addr add 169.254.3.4/16 dev eth9", "ip addr add 192.168.7.7/24 dev en7"}) {
                const std::string words = std::string(command) + " ", after = words.substr(words.find(" dev ") + 5);
                const std::string device = after.substr(0, after.find(' '));
                if (!run("ip link show " + device) && !run("ip link add " + device + " type veth peer name " + device + "p"))
                    out = "<no veth " + device + ">";
                if (!run(command) || (device != "en7" && !(run("ip link set " + device + " up") && run("ip link set " + device + "p up"))))
                    out = std::string("<failed: ") + command + ">";  // en7 stays down
            }
            // Carrier comes up asynchronously: wait until the interfaces run.
            for (int i = 0; i < 100 && localAddresses(5000).size() < 6; ++i) usleep(50'000);
            if (out.empty()) out = localAddresses(5000).join(',').toStdString() + "|" + localAddresses(0).join(',').toStdString();
        }
        [[maybe_unused]] auto written = write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buf[1024];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) result.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    wait(nullptr);
    if (result == "<unavailable>") {
        if (std::getenv("CI") && std::string(std::getenv("CI")) == "true") FAIL() << "cannot create a network namespace";
        GTEST_SKIP() << "cannot create a network namespace (needs root)";
    }
    EXPECT_EQ(result, "10.0.0.5:5000,192.168.1.20:5000,[2001:db8::5]:5000,100.64.0.2:5000,127.0.0.1:5000,[::1]:5000|");
}
