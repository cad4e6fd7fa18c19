#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
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

// A first frame still arriving, as the rule sees it.
struct PartialFrame {
    double offended;                // its address's OffenceRecord::weight
    std::uint32_t claim;            // the body's length, as its header announced; 0 before
    std::size_t received;           // of its body, so far
    SteadyClock::time_point began;  // when its first bytes came
    std::size_t held = 0;           // memory its body holds (or asks for)
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

    // A partial frame's first second, in which a late segment (a retransmission or two on a
    // lossy link) comes.
    static constexpr auto kHold = std::chrono::seconds(1);

    // The order in which partial frames give way for a place, the first first: the larger claim
    // (it holds more memory for longer), in classes of powers of two, claims under 16 KiB (the
    // size of any signalling message) one class; then the oldest. What a frame has shown proves
    // nothing here (a place costs a stranger a byte, and a stalled stranger can always show
    // more than a controller whose next segment is late), and when it began cannot be bought:
    // a stranger's new frame is the newest, so at any rate of strangers a frame keeps its place
    // for the places divided by that rate. Offences only order frames that began together.
    using PlaceOrder = std::tuple<int, SteadyClock::time_point, double>;
    static PlaceOrder placeOrder(const PartialFrame& frame);

    // The index of the partial frame in `frames` that gives way when their bodies need more
    // memory than they may hold: only one that holds memory, or asks for it, does, and what each
    // has shown decides:
    // - the larger claim first, in the classes above;
    // - then one past its first second (kHold) before one within it;
    // - past it, the slower pace since its first bytes (a trickle or a stall), in the same
    //   classes. Within it no pace shows and a frame keeps what it holds, since a stranger can
    //   always send more at once than a controller whose next segment is late;
    // - then the address that offended most lately (offences only order equals: a stranger's
    //   address is always fresh);
    // - then the one that began last: among equals, those that hold their memory keep it, so
    //   renewing frames wins nothing and costs the host no reading (a frame that would give way
    //   is not read).
    // Never the share of its claim received nor the time since its last bytes: a stalled
    // stranger that sent all but its last bytes, or a fresh one, would beat a controller
    // waiting for its next segment. None when no frame is a candidate.
    static std::optional<std::size_t> partialToFree(std::span<const PartialFrame> frames, SteadyClock::time_point now);

    const std::shared_ptr<OffenceRecord>& offences() const { return offences_; }

private:
    const std::shared_ptr<OffenceRecord> offences_;
    // ((hash, address), index), grouped by address.
    std::vector<std::pair<std::pair<std::size_t, std::string_view>, std::size_t>> byHost_;
};

}  // namespace quill
