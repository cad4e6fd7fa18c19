#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quill {

// Writes one line to stdout under a mutex. For messages that reach no person.
void diagnostic(std::string_view line);

// "QuillCore: " + text.
void coreDiagnostic(std::string_view text);

// Tests can capture diagnostics; pass an empty function to restore stdout.
void setDiagnosticSink(std::function<void(std::string_view)> sink);

}  // namespace quill
