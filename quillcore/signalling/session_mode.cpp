#include "quillcore/signalling/session_mode.h"

namespace quill {

std::string_view rawValue(SessionMode mode) {
    switch (mode) {
        case SessionMode::view: return "view";
        case SessionMode::control: return "control";
    }
    return "view";
}

std::optional<SessionMode> sessionModeFromRawValue(std::string_view text) {
    if (text == "view") return SessionMode::view;
    if (text == "control") return SessionMode::control;
    return std::nullopt;
}

json::OrderedJson toJSON(SessionMode mode) { return std::string(rawValue(mode)); }

SessionMode sessionModeFromJSON(const json::Json& value, std::string_view key) {
    std::string text = json::stringValue(value, key);
    if (auto mode = sessionModeFromRawValue(text)) return *mode;
    throw DecodingError(DecodingError::Kind::dataCorrupted, std::string(key),
                        "Cannot initialize SessionMode from invalid String value " + text);
}

}  // namespace quill
