// The address list read from the kernel, in a network namespace this test makes for itself
// (needs root). Interfaces are veth pairs named like the ones the ordering rules know.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host/desktop/local_addresses.h"

using namespace quill::host;

namespace {

// Runs `body` in a child process inside a new network namespace; returns what it wrote, or
// "<unavailable>" when no namespace could be made.
template <class F>
std::string inOwnNetworkNamespace(F body) {
    int fds[2];
    if (pipe(fds) != 0) return "<no pipe>";
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string out = unshare(CLONE_NEWNET) == 0 ? body() : "<unavailable>";
        ssize_t ignored = write(fds[1], out.data(), out.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return out;
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

TEST(LocalAddressesInANamespace, TheKernelsListComesOutInPreferenceOrder) {
    std::string result = inOwnNetworkNamespace([]() -> std::string {
        const char* setup[] = {
            "ip link set lo up",
            "ip link add en0 type veth peer name en0p",
            "ip link add en1 type veth peer name en1p",
            "ip link add utun3 type veth peer name utun3p",
            "ip link add bridge0 type veth peer name bridge0p",
            "ip link add eth9 type veth peer name eth9p",
            "ip link add en7 type veth peer name en7p",  // left down
            "ip addr add 192.168.1.20/24 dev en0",
            "ip addr add 2001:db8::5/64 dev en0 nodad",
            "ip addr add 10.0.0.5/24 dev en1",
            "ip addr add 100.64.0.2/24 dev utun3",
            "ip addr add 10.9.9.9/24 dev bridge0",
            "ip addr add 169.254.3.4/16 dev eth9",
            "ip addr add 192.168.7.7/24 dev en7",
        };
        for (const char* command : setup)
            if (!run(command)) return std::string("<setup failed: ") + command + ">";
        for (const char* link : {"en0", "en0p", "en1", "en1p", "utun3", "utun3p", "bridge0", "bridge0p", "eth9", "eth9p"})
            if (!run(std::string("ip link set ") + link + " up")) return "<could not raise " + std::string(link) + ">";
        // Carrier comes up asynchronously; wait until the interfaces run.
        for (int i = 0; i < 100 && localAddresses(5000).size() < 6; ++i) usleep(50'000);
        return localAddresses(5000).join(',').toStdString() + "|" + localAddresses(0).join(',').toStdString();
    });
    if (result == "<unavailable>") {
        if (std::getenv("CI") && std::string(std::getenv("CI")) == "true") FAIL() << "cannot create a network namespace";
        GTEST_SKIP() << "cannot create a network namespace (needs root)";
    }
    EXPECT_EQ(result, "10.0.0.5:5000,192.168.1.20:5000,[2001:db8::5]:5000,100.64.0.2:5000,127.0.0.1:5000,[::1]:5000|");
}
