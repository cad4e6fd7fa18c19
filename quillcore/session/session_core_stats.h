#pragma once

#include <optional>
#include <string>

#include "quillcore/session/session_types.h"
#include "quillcore/webrtc/peer_connection.h"

namespace quill {

// The previous statistics sample's raw values.
struct StatsBaseline {
    double timestampMs = 0;
    double bytes = 0;
    double frames = 0;
};

namespace sessionstats {

// A string as it is, a number as its decimal text; anything else or a missing key: none.
std::optional<std::string> statString(const StatsEntry& entry, const std::string& key);
// A number as it is, a string parsed whole in the C locale; anything else: none.
std::optional<double> statNumber(const StatsEntry& entry, const std::string& key);

// The transport's selected pair if it is in the report, else a nominated, succeeded pair.
const StatsEntry* selectedCandidatePair(const StatsReport& report);
SessionPath classifyPath(const StatsEntry* local, const StatsEntry* remote);
// The last non-empty piece of "mimeType" split at "/".
std::optional<std::string> codecName(const StatsEntry& codec);

// The rates and values of one sample against `previous` (none for the first sample).
// `fallbackCodec` names the codec when the report does not.
struct Condensed {
    SessionStats stats;
    StatsBaseline baseline;
};
Condensed condense(const StatsReport& report, const std::optional<StatsBaseline>& previous,
                   const std::string& fallbackCodec);

}  // namespace sessionstats
}  // namespace quill
