#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "quillcore/base/clock.h"

namespace quill {

// What the peers at each address did wrong lately: connections that never brought a whole
// first frame, frames that were refused, pairings left before they reached the host user.
// Where places run out, the addresses that keep misbehaving give way before the others, so
// an attacker's rate buys it nothing against a peer that behaves: only its number of
// addresses does, and each of them is clean again only after a silence.
//
// Every offence counts one and halves every `halfLife` seconds; a count that fell under 1/16
// is forgotten, and so is the address that offended least recently once `capacity` addresses
// are on record. One record serves everything a host takes from strangers (connections and
// pairing), so that misbehaving in one place counts in the others. Thread-safe.
class OffenceRecord {
public:
    static constexpr std::size_t defaultCapacity = 4096;
    static constexpr double defaultHalfLife = 10.0;

    explicit OffenceRecord(std::size_t capacity = defaultCapacity, double halfLife = defaultHalfLife);

    void note(std::string_view host, SteadyClock::time_point now);

    // Orders addresses by how much they offended lately (the base-2 logarithm of their
    // decayed count): higher offended more. Minus infinity for an address with nothing on
    // record.
    double weight(std::string_view host, SteadyClock::time_point now) const;

private:
    // log2 of the sum of 2^(t/halfLife) over the offences, t counted from `origin_`: adding
    // an offence and comparing addresses at one moment need no decay of every entry.
    struct Entry {
        double level;
        std::list<std::string>::iterator recent;
    };

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    double at(SteadyClock::time_point now) const;

    const std::size_t capacity_;
    const double halfLife_;
    const SteadyClock::time_point origin_ = SteadyClock::now();
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry, Hash, std::equal_to<>> entries_;
    std::list<std::string> recent_;  // most recent offender first
};

}  // namespace quill
