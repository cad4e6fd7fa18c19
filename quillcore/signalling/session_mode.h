#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quillcore/base/json.h"

namespace quill {

// What a controller asks for: only to watch, or also to send input.
enum class SessionMode { view, control };

// "view" or "control": the raw value, also the JSON form.
std::string_view rawValue(SessionMode mode);

// Exact, case-sensitive match of a raw value; anything else has no mode.
std::optional<SessionMode> sessionModeFromRawValue(std::string_view text);

// The JSON string of a mode, and its strict reading: a string that is not a raw value is
// dataCorrupted, a value that is not a string is typeMismatch (`key` names it in errors).
json::OrderedJson toJSON(SessionMode mode);
SessionMode sessionModeFromJSON(const json::Json& value, std::string_view key = "");

}  // namespace quill
