#include "quillcore/transport/offence_record.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quill {
namespace {

using namespace std::chrono_literals;

TEST(OffenceRecord, RanksAddressesByRecentOffencesAndForgetsWithinItsBounds) {
    const auto t0 = SteadyClock::now();
    OffenceRecord record(3, 10.0);
    record.note("a", t0);
    record.note("b", t0);
    record.note("b", t0);
    EXPECT_EQ(record.weight("clean", t0), -INFINITY);
    EXPECT_DOUBLE_EQ(record.weight("a", t0), 0.0);  // log2 of one offence
    EXPECT_DOUBLE_EQ(record.weight("b", t0), 1.0);
    // Halved every ten seconds; forgotten under a sixteenth.
    EXPECT_NEAR(record.weight("b", t0 + 10s), 0.0, 1e-9);
    EXPECT_NEAR(record.weight("a", t0 + 39s), -3.9, 1e-9);
    EXPECT_EQ(record.weight("a", t0 + 41s), -INFINITY);
    // One offence now outweighs two of twenty seconds ago, and adds to what is left of them.
    record.note("a", t0 + 20s);
    EXPECT_GT(record.weight("a", t0 + 20s), record.weight("b", t0 + 20s));
    record.note("b", t0 + 20s);
    EXPECT_NEAR(record.weight("b", t0 + 20s), std::log2(1.5), 1e-9);

    // At its capacity, the address that offended least recently is forgotten.
    record.note("c", t0 + 21s);
    record.note("a", t0 + 22s);
    record.note("d", t0 + 23s);
    EXPECT_EQ(record.weight("b", t0 + 23s), -INFINITY);
    for (const char* kept : {"a", "c", "d"}) EXPECT_GT(record.weight(kept, t0 + 23s), -INFINITY) << kept;
}

}  // namespace
}  // namespace quill
