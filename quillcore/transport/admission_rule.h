#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "quillcore/base/clock.h"
#include "quillcore/transport/offence_record.h"

namespace quill {

// What a stranger holding a place has shown so far, from the least to the most: it owes the
// host an answer (a first frame, a pairing step) and is silent; nothing has been asked of it
// yet; it answered.
enum class Standing { owing, unasked, answered };

// A place as the rule sees it. `since`: when it began to owe, or when it came.
struct Place {
    Standing standing;
    std::string_view host;
    SteadyClock::time_point since;
};

// Who gives way when every place for strangers is taken and a newcomer wants one. A stranger
// can take a new address for every connection, so an address with nothing on record proves
// nothing: what counts first is what a peer has shown. The place that gives way is the one
// that has shown least (owing and silent before unasked before answered); among those, the one
// whose address offended most lately (offences only demote); then the one whose address holds
// the most places; then the one silent (or waiting) longest. The newcomer gives way itself when
// it stands worse than that place, the time aside: an answer is never lost to a newcomer that
// has not answered, and a flood of newcomers only displaces what stays silent, the longest
// silent first. Being turned away is no offence: the caller notes offences, never this rule.
//
// Keeps room to sort in, so that judging a flood allocates nothing; not thread-safe.
class AdmissionRule {
public:
    explicit AdmissionRule(std::shared_ptr<OffenceRecord> offences);

    // The index of the place in `places` that gives way to `newcomer`; none when the newcomer
    // gives way.
    std::optional<std::size_t> placeToFree(std::span<const Place> places, const Place& newcomer,
                                           SteadyClock::time_point now);

    const std::shared_ptr<OffenceRecord>& offences() const { return offences_; }

private:
    const std::shared_ptr<OffenceRecord> offences_;
    // ((hash, address), index), grouped by address.
    std::vector<std::pair<std::pair<std::size_t, std::string_view>, std::size_t>> byHost_;
};

}  // namespace quill
