// The other side of the DNS-SD namespace tests, run by them in another namespace:
//
//   discovery_peer browse FP NAME      browses for FP (Base64URL), checks NAME, opens a frame
//                                      channel to the host found, says "hello" and expects
//                                      "welcome"
//   discovery_peer publish NAME SECONDS  advertises NAME for SECONDS
//   discovery_peer isolated            in fresh pid, network and mount namespaces: an advertiser
//                                      with no system bus and no daemon, then with both, then
//                                      across a daemon restart
//
// Prints what it sees, one line per step; exits 0 when every check held.

#include <sys/mount.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillcore/base/base64.h"
#include "quillcore/transport/frame_channel.h"
#include "quillcore/transport/host_advertiser.h"
#include "quillcore/transport/host_browser.h"

using namespace quill;
using namespace std::chrono_literals;

namespace {

int failWith(const std::string& why) {
    std::cout << "FAILED: " << why << std::endl;
    return 1;
}

bool eventually(double seconds, const std::function<bool()>& condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

int browse(const std::string& fpText, const std::string& expectedName) {
    const auto fingerprint = Base64URL::decode(fpText);
    if (!fingerprint) return failWith("bad fingerprint argument");
    HostBrowser browser;
    browser.start();
    const auto host = browser.waitForHost(*fingerprint, 30);
    if (!host) return failWith("no host found; last problem: " + browser.lastProblem().value_or("none"));
    std::cout << "host " << host->name << "|" << host->endpoint.host << "|" << host->endpoint.port << std::endl;
    if (host->name != expectedName) return failWith("unexpected name " + host->name);
    if (host->fingerprint != *fingerprint) return failWith("unexpected fingerprint");
    auto announced = browser.hosts->next(5.0);
    if (!announced.hasItem() || announced.value->fingerprint != *fingerprint) return failWith("not announced");

    auto channel = FrameChannel::connect(host->endpoint);
    channel->send(toBytes("hello"));
    const auto reply = channel->nextFrame(20.0);
    if (!reply) return failWith("no reply");
    std::cout << "reply " << toString(*reply) << std::endl;
    if (toString(*reply) != "welcome") return failWith("unexpected reply");
    channel->close();
    browser.stop();
    std::cout << "OK" << std::endl;
    return 0;
}

int publish(const std::string& name, int seconds) {
    HostAdvertiser advertiser(name, Bytes(32, 0x77), {});
    std::cout << "listening on " << advertiser.start() << std::endl;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    if (auto problem = advertiser.publicationProblem()) return failWith(problem->description());
    std::cout << "OK" << std::endl;
    return 0;
}

bool run(const std::string& command) {
    std::cout << "$ " << command << std::endl;
    return std::system(command.c_str()) == 0;
}

// Ends the daemon started by us. As the namespace's init we are its parent (it forked away
// from the shell), so we reap it too; `avahi-daemon -k` would wait for a zombie.
bool stopAvahi() {
    FILE* file = std::fopen("/run/avahi-daemon/pid", "r");
    if (!file) return false;
    int pid = 0;
    const bool read = std::fscanf(file, "%d", &pid) == 1;
    std::fclose(file);
    if (!read || pid <= 1 || ::kill(pid, SIGTERM) != 0) return false;
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

bool avahiBrowseSees(std::uint16_t port) {
    FILE* pipe = ::popen("avahi-browse -rpt _quillmate._tcp 2>/dev/null", "r");
    if (!pipe) return false;
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ::pclose(pipe);
    return output.find(";Isolated\\032Host;") != std::string::npos &&
           output.find(";" + std::to_string(port) + ";") != std::string::npos;
}

// Runs as the init of fresh pid, network and mount namespaces: the daemons it starts die
// with it.
int isolated() {
    if (::getpid() != 1) return failWith("not in a pid namespace of its own");
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return failWith("cannot mount /run");
    ::mkdir("/run/dbus", 0755);
    ::mkdir("/run/avahi-daemon", 0755);
    if (!run("ip link set lo up")) return failWith("lo");

    const Bytes fingerprint(32, 0x42);
    std::atomic<int> connections{0};
    std::mutex mutex;
    std::vector<net::TcpConnectionPtr> kept;
    HostAdvertiser advertiser("Isolated Host", fingerprint, [&](net::TcpConnectionPtr connection) {
        std::lock_guard lock(mutex);
        kept.push_back(std::move(connection));
        ++connections;
    });

    // No system bus and no daemon: it listens all the same.
    const auto before = std::chrono::steady_clock::now();
    const auto port = advertiser.start();
    std::cout << "listening on " << port << " after "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count() << " s"
              << std::endl;
    auto client = FrameChannel::connectLocal(port);
    client->send(toBytes("hi"));
    if (!eventually(10, [&] { return connections == 1; })) return failWith("no connection accepted");
    const auto noDaemon = DiscoveryError::network("Daemon not running");
    if (!eventually(10, [&] { return advertiser.publicationProblem() == noDaemon; })) {
        return failWith("no \"Daemon not running\" without a bus");
    }
    std::cout << "problem without a bus: " << advertiser.publicationProblem()->description() << std::endl;

    HostBrowser browser;
    browser.start();
    if (!eventually(10, [&] { return browser.lastProblem() == "waiting: Daemon not running"; })) {
        return failWith("browser: " + browser.lastProblem().value_or("no problem"));
    }

    // A bus, still no daemon.
    if (!run("dbus-daemon --system --fork")) return failWith("dbus-daemon");
    std::this_thread::sleep_for(3s);
    if (advertiser.publicationProblem() != noDaemon) return failWith("problem changed with only a bus");

    // The daemon comes: the service is published without anyone asking.
    if (!run("avahi-daemon --no-drop-root --no-chroot -D")) return failWith("avahi-daemon");
    if (!eventually(20, [&] { return !advertiser.publicationProblem(); })) return failWith("not published");
    std::cout << "published" << std::endl;
    if (!eventually(20, [&] { return avahiBrowseSees(port); })) return failWith("avahi-browse does not see it");
    const auto found = browser.waitForHost(fingerprint, 20);
    if (!found || found->endpoint.port != port) return failWith("the browser did not find it");
    std::cout << "browser found " << found->name << " at " << found->endpoint.host << std::endl;

    // The daemon restarts: the problem shows, then the service is back.
    std::cout << "stopping the daemon" << std::endl;
    if (!stopAvahi()) return failWith("cannot stop the daemon");
    if (!eventually(10, [&] { return advertiser.publicationProblem().has_value(); })) {
        return failWith("no problem after the daemon went");
    }
    std::cout << "problem after the daemon went: " << advertiser.publicationProblem()->description() << std::endl;
    if (!run("avahi-daemon --no-drop-root --no-chroot -D")) return failWith("avahi-daemon again");
    if (!eventually(20, [&] { return !advertiser.publicationProblem(); })) return failWith("not published again");
    if (!eventually(20, [&] { return avahiBrowseSees(port); })) return failWith("avahi-browse does not see it again");
    std::cout << "published again" << std::endl;
    std::cout << "OK" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "browse" && argc == 4) return browse(argv[2], argv[3]);
        if (mode == "publish" && argc == 4) return publish(argv[2], std::atoi(argv[3]));
        if (mode == "isolated" && argc == 2) return isolated();
    } catch (const std::exception& e) {
        return failWith(e.what());
    }
    std::cerr << "usage: discovery_peer browse FP NAME | publish NAME SECONDS | isolated" << std::endl;
    return 2;
}
