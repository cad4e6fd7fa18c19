#pragma once

// Reading a process's or a thread's /proc stat file, for the tests and benchmarks that measure
// the host binary.

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace quill::hostprocess {

// Fields of a /proc stat file after the name, which may hold spaces: state(0) ... minflt(7) ...
// utime(11) stime(12).
inline std::vector<std::string> statFields(const std::string& path, std::string* name = nullptr) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return {};
    if (name) *name = text.substr(open + 1, close - open - 1);
    std::istringstream fields(text.substr(close + 2));
    return {std::istream_iterator<std::string>(fields), {}};
}

}  // namespace quill::hostprocess
