#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quill {

// Writes one line to stdout under a mutex (line breaks in the text become spaces). For messages
// that reach no person.
void diagnostic(std::string_view text);

// "QuillCore: " + text.
void coreDiagnostic(std::string_view text);

// Tests can capture diagnostics; pass an empty function to restore stdout.
void setDiagnosticSink(std::function<void(std::string_view)> sink);

}  // namespace quill
