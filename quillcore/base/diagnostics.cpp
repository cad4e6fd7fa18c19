#include "quillcore/base/diagnostics.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace quill {

namespace {
std::mutex& diagMutex() {
    static std::mutex m;
    return m;
}
std::function<void(std::string_view)>& sinkRef() {
    static std::function<void(std::string_view)> sink;
    return sink;
}
}  // namespace

void diagnostic(std::string_view text) {
    // One call is one line: a line break inside peer-supplied text cannot start a line of its own.
    std::string line(text);
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    std::lock_guard lock(diagMutex());
    if (auto& sink = sinkRef()) {
        sink(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void coreDiagnostic(std::string_view text) {
    std::string line = "QuillCore: ";
    line += text;
    diagnostic(line);
}

void setDiagnosticSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(diagMutex());
    sinkRef() = std::move(sink);
}

}  // namespace quill
