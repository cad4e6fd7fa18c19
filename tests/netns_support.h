#pragma once

// What the tests on the two-namespace network share (scripts/harness/netns): this process runs
// in side a and runs its other half in side b through nsenter.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace quill::netns {

inline std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Outside the harness these tests skip, except in CI, where that is a failure.
#define REQUIRE_NETNS()                                                                      \
    if (::quill::netns::env("QUILL_NETNS") != "1") {                                         \
        if (::quill::netns::env("CI") == "true") FAIL() << "needs scripts/harness/netns, which did not run"; \
        GTEST_SKIP() << "needs scripts/harness/netns";                                       \
    }                                                                                        \
    static_assert(true)

struct Finished {
    int status = -1;  // exit code; -1 when it could not run
    std::string output;
};

// Runs argv, collecting stdout and stderr; `timeout` ends it after `seconds`.
inline Finished runFor(const std::vector<std::string>& argv, int seconds) {
    std::string command = "timeout -s KILL " + std::to_string(seconds);
    for (const auto& arg : argv) {
        std::string quoted = "'";
        for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " " + quoted + "'";
    }
    Finished result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (result.status == 137 || result.status == 124) result.output += "\n(timed out)";
    return result;
}

// argv, run in side b.
inline std::vector<std::string> inPeer(std::vector<std::string> argv) {
    std::vector<std::string> full{"nsenter", "--net=" + env("QUILL_NETNS_PEER_NET"),
                                  "--mount=" + env("QUILL_NETNS_PEER_MNT"), "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

}  // namespace quill::netns
