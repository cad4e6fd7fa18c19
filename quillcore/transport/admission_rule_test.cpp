#include "quillcore/transport/admission_rule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace quill {
namespace {

using namespace std::chrono_literals;

constexpr auto owing = Standing::owing, unasked = Standing::unasked, answered = Standing::answered;
constexpr bool memory = true;  // the row asks who gives way for memory, not for a place

struct Held {
    Standing standing;
    const char* host;
    double silentFor;  // seconds
};

struct Case {
    const char* name;
    std::vector<Held> places;
    Held newcomer;
    std::vector<const char*> offenders;  // one offence each, a second ago
    int expected;                        // index of the place that gives way; -1: the newcomer does
};

// Who gives way, from peers at several addresses: what a peer has shown comes first, offences
// only order equals, and a newcomer never displaces an answer. Among first frames still
// arriving, the size of the claim, then for a place the oldest; for memory, within its first
// second a frame keeps what it holds, past it the pace, and offences only among equals.
TEST(AdmissionRule, WhatAPeerShowedDecidesWhoGivesWay) {
    const Case cases[] = {
        {"owing before unasked before answered, whatever their age",
         {{answered, "10.0.0.1", 9}, {unasked, "10.0.0.2", 8}, {owing, "10.0.0.3", 0.001}},
         {unasked, "10.0.0.4", 0}, {}, 2},
        {"an unasked one before an answer", {{answered, "10.0.0.1", 9}, {unasked, "10.0.0.2", 0.001}}, {unasked, "10.0.0.3", 0}, {}, 1},
        {"the longest silent of the owing",
         {{owing, "10.0.0.1", 1}, {owing, "10.0.0.2", 3}, {owing, "10.0.0.3", 2}}, {owing, "10.0.0.4", 0}, {}, 1},
        {"fresh addresses that tie on all but time: the newcomer gets in",
         {{owing, "fd00::1", 0.002}, {owing, "fd00::2", 0.003}, {owing, "fd00::3", 0.001}}, {owing, "fd00::4", 0}, {}, 1},
        {"an offence demotes among equals", {{owing, "10.0.0.1", 5}, {owing, "10.0.0.2", 1}}, {owing, "10.0.0.3", 0}, {"10.0.0.2"}, 1},
        {"an offence never outranks what a peer showed",
         {{owing, "10.0.0.1", 0.5}, {unasked, "10.0.0.2", 9}, {answered, "10.0.0.3", 9}},
         {unasked, "10.0.0.4", 0}, {"10.0.0.2", "10.0.0.3"}, 0},
        {"the address holding the most places, its longest silent",
         {{owing, "10.0.0.1", 1}, {owing, "10.0.0.2", 9}, {owing, "10.0.0.1", 2}}, {owing, "10.0.0.3", 0}, {}, 2},
        {"every place answered: the newcomer gives way", {{answered, "10.0.0.1", 9}, {answered, "10.0.0.2", 9}}, {unasked, "10.0.0.3", 0}, {}, -1},
        {"a newcomer whose address offended gives way to clean equals",
         {{owing, "10.0.0.1", 9}, {owing, "10.0.0.2", 9}}, {owing, "10.0.0.3", 0}, {"10.0.0.3"}, -1},
        {"and displaces holders that offended as much",
         {{owing, "10.0.0.1", 9}, {owing, "10.0.0.2", 1}}, {owing, "10.0.0.3", 0}, {"10.0.0.1", "10.0.0.2", "10.0.0.3"}, 0},
        {"a newcomer from an address that holds more places than any other gives way",
         {{owing, "10.0.0.1", 1}, {owing, "10.0.0.2", 1}}, {owing, "10.0.0.1", 0}, {}, -1},
        {"answered frames in a full queue: the oldest gives way to a new one",
         {{answered, "10.0.0.1", 2}, {answered, "10.0.0.2", 3}}, {answered, "10.0.0.3", 0}, {}, 1},
        {"nothing held: nothing to free", {}, {owing, "10.0.0.1", 0}, {}, -1},
    };
    const auto now = SteadyClock::now();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto offences = std::make_shared<OffenceRecord>();
        for (const char* host : c.offenders) offences->note(host, now - 1s);
        AdmissionRule rule(offences);
        std::vector<Place> places;
        for (const Held& h : c.places)
            places.push_back({h.standing, h.host, now - std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(h.silentFor))});
        const auto freed = rule.placeToFree(places, {c.newcomer.standing, c.newcomer.host, now}, now);
        EXPECT_EQ(freed ? static_cast<int>(*freed) : -1, c.expected);
    }

    // First frames still arriving: for a place, the larger claim, then the oldest; for memory,
    // what each has shown decides, never how near its end it looks.
    struct Arriving {
        const char* host;
        std::uint32_t claim;
        std::size_t received;
        double began;  // seconds ago
    };
    const struct {
        const char* name;
        std::vector<Arriving> frames;
        std::vector<const char*> offenders;
        std::size_t expected;
        bool forMemory = false;
    } partialCases[] = {
        {"a large claim all but sent gives way to a small one begun earlier, half of it sent",
         {{"10.0.0.1", 3000, 1500, 0.045}, {"10.0.0.2", 128 * 1024, 130'000, 0.001}}, {}, 1},
        {"of equal claims, the one that trickles gives way to the one that keeps coming",
         {{"10.0.0.1", 4000, 100 + 50, 3}, {"10.0.0.2", 4000, 3000, 0.04}}, {}, 0},
        {"a few bytes less claimed buys nothing: the slower goes",
         {{"10.0.0.1", 3000, 2000, 0.01}, {"10.0.0.2", 2900, 100, 1}}, {}, 1},
        {"for memory, equal pace past the first second: the one that began last",
         {{"10.0.0.1", 10'000, 2000, 2}, {"10.0.0.2", 10'000, 4000, 4}, {"10.0.0.3", 10'000, 1500, 1.5}}, {}, 2, memory},
        {"within a round trip no pace shows: a fresh frame never displaces an equal that holds memory",
         {{"10.0.0.1", 128 * 1024, 131'000, 0.09}, {"10.0.0.2", 128 * 1024, 131'000, 0.001}}, {}, 1, memory},
        {"an offence demotes among equals", {{"10.0.0.1", 3000, 10, 1}, {"10.0.0.2", 3000, 10, 1}}, {"10.0.0.2"}, 1},
        {"the one that offended most",
         {{"10.0.0.1", 3000, 10, 1}, {"10.0.0.2", 3000, 10, 1}}, {"10.0.0.1", "10.0.0.2", "10.0.0.2"}, 1},
        {"an offence never outweighs a larger claim nor a slower pace",
         {{"10.0.0.1", 128 * 1024, 10, 9}, {"10.0.0.2", 3000, 2900, 0.001}, {"10.0.0.3", 3000, 10, 9}}, {"10.0.0.2"}, 0},
        {"nor a trickle", {{"10.0.0.1", 3000, 10, 9}, {"10.0.0.2", 3000, 2900, 0.001}}, {"10.0.0.2"}, 0},
        {"for memory, within its first second a frame keeps what it holds: an offer waiting for its late half outlasts "
         "fresh frames that sent all",
         {{"10.0.0.1", 4159, 2080, 0.6}, {"10.0.0.2", 4159, 4158, 0.001}, {"10.0.0.3", 4159, 4158, 0.002}}, {}, 1, memory},
        {"for a place, the oldest of a class: a header alone gives way to an offer's first half that came later",
         {{"10.0.0.1", 0, 0, 0.3}, {"10.0.0.2", 4159, 2080, 0.001}}, {}, 0},
        {"whatever the later ones show: an offer's first half outlasts stallers that came after it",
         {{"10.0.0.1", 2766, 1381, 0.25}, {"10.0.0.2", 2100, 2048, 0.3}, {"10.0.0.3", 4095, 4094, 0.01}, {"10.0.0.4", 8191, 8190, 0.2}},
         {}, 1},
        {"for memory, of equal showing, the later", {{"10.0.0.1", 4159, 2080, 0.6}, {"10.0.0.2", 4095, 4094, 0.001}}, {}, 1, memory},
        {"claims under 16 KiB are one class: a smaller claim all but sent buys nothing",
         {{"10.0.0.1", 4159, 2080, 0.25}, {"10.0.0.2", 4095, 4094, 0.01}, {"10.0.0.3", 300, 299, 0.02}}, {}, 1, memory},
        {"a claim of 16 KiB is a class above", {{"10.0.0.1", 4159, 2080, 0.001}, {"10.0.0.2", 16 * 1024, 16'000, 0.6}}, {}, 1, memory},
        {"past its first second a stalled frame gives way to a fresh one",
         {{"10.0.0.1", 4095, 4094, 1.2}, {"10.0.0.2", 4159, 2080, 0.001}}, {}, 0, memory},
    };
    for (const auto& c : partialCases) {
        SCOPED_TRACE(c.name);
        OffenceRecord offences;
        for (const char* host : c.offenders) offences.note(host, now - 1s);
        std::vector<PartialFrame> frames;
        for (const Arriving& a : c.frames)
            // Memory follows the bytes that came.
            frames.push_back({offences.weight(a.host, now), a.claim, a.received,
                              now - std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(a.began)),
                              a.received});
        if (c.forMemory) {
            EXPECT_EQ(AdmissionRule::partialToFree(frames, now), c.expected);
        } else {
            const auto first = std::min_element(frames.begin(), frames.end(), [](const auto& a, const auto& b) {
                return AdmissionRule::placeOrder(a) < AdmissionRule::placeOrder(b);
            });
            EXPECT_EQ(static_cast<std::size_t>(first - frames.begin()), c.expected);
        }
    }

    // For memory, only a frame that holds some (or asks for it) can give way.
    const PartialFrame holding[] = {{-INFINITY, 4000, 10, now - 3s, 0}, {-INFINITY, 4000, 2000, now, 2048}};
    EXPECT_LT(AdmissionRule::placeOrder(holding[0]), AdmissionRule::placeOrder(holding[1])) << "for a place, any";
    EXPECT_EQ(AdmissionRule::partialToFree(holding, now), 1u);
    EXPECT_EQ(AdmissionRule::partialToFree(std::span(holding).first(1), now), std::nullopt);
}

// An offence stops demoting once the record has forgotten it: four half-lives on, the address
// stands as any other.
TEST(AdmissionRule, AForgottenOffenceNoLongerDemotes) {
    const auto now = SteadyClock::now();
    for (const auto& [ago, demoted] : {std::pair{39s, true}, {41s, false}}) {
        SCOPED_TRACE(ago.count());
        auto offences = std::make_shared<OffenceRecord>(OffenceRecord::defaultCapacity, 10.0);
        offences->note("10.0.0.2", now - ago);
        AdmissionRule rule(offences);
        const Place places[] = {{owing, "10.0.0.1", now - 2s}, {owing, "10.0.0.2", now - 1s}};
        EXPECT_EQ(rule.placeToFree(places, {owing, "10.0.0.3", now}, now), demoted ? 1u : 0u);
    }
}

}  // namespace
}  // namespace quill
