#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <thread>
#include <vector>

#include "quillcore/base/base64.h"
#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/base/error.h"

using namespace quill;

TEST(Base64URL, EncodesWithUrlAlphabetAndNoPadding) {
    EXPECT_EQ(Base64URL::encode({}), "");
    EXPECT_EQ(Base64URL::encode(Bytes{0xFB, 0xFF, 0xBF}), "-_-_");
    EXPECT_EQ(Base64URL::encode(Bytes{1}).size(), 2u);
    EXPECT_EQ(Base64URL::encode(Bytes{1, 2}).size(), 3u);
    EXPECT_EQ(Base64URL::encode(Bytes{1, 2, 3}).size(), 4u);
    EXPECT_EQ(Base64URL::encode(Bytes(32, 7)).size(), 43u);
    EXPECT_EQ(Base64URL::encode(Bytes(64, 7)).size(), 86u);
}

TEST(Base64URL, DecodesLenientlyButStrictlyAfterPadding) {
    EXPECT_EQ(Base64URL::decode(""), Bytes{});
    EXPECT_EQ(Base64URL::decode("-_-_"), (Bytes{0xFB, 0xFF, 0xBF}));
    EXPECT_EQ(Base64URL::decode("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
    for (auto text : {"AA", "AA=", "AA=="}) EXPECT_EQ(Base64URL::decode(text), Bytes{0}) << text;
    for (auto text : {"A", "AAAAA", "AA A", "AA\n", "AA.A", "A=AA", "AA==AA==", "AAA=="})
        EXPECT_FALSE(Base64URL::decode(text)) << text;
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    for (std::size_t n = 0; n < all.size(); n += 7) {
        Bytes part(all.begin(), all.begin() + n);
        EXPECT_EQ(Base64URL::decode(Base64URL::encode(part)), part);
    }
}

TEST(Base64, StandardPaddedIsStrict) {
    EXPECT_EQ(base64Encode(toBytes("hello")), "aGVsbG8=");
    EXPECT_EQ(base64Decode("aGVsbG8="), toBytes("hello"));
    EXPECT_FALSE(base64Decode("aGVsbG8"));
    EXPECT_FALSE(base64Decode("aGVs-G8="));
    EXPECT_FALSE(base64Decode("aG=sbG8="));
}

TEST(Bytes, HexAndConstantTimeEquality) {
    EXPECT_EQ(hexString(Bytes{0x00, 0xAB, 0x10}), "00ab10");
    EXPECT_EQ(fromHex("00AB10"), (Bytes{0x00, 0xAB, 0x10}));
    EXPECT_FALSE(fromHex("0"));
    EXPECT_FALSE(fromHex("zz"));
    EXPECT_TRUE(constantTimeEquals(Bytes{}, Bytes{}));
    EXPECT_FALSE(constantTimeEquals(Bytes{1, 2}, Bytes{1, 2, 3}));
    EXPECT_FALSE(constantTimeEquals(Bytes{1, 2, 3}, Bytes{1, 2, 4}));
    EXPECT_TRUE(constantTimeEquals(Bytes{1, 2, 3}, Bytes{1, 2, 3}));
}

TEST(Clock, MillisecondRoundingHalfAwayFromZero) {
    using namespace std::chrono;
    auto at = [](std::int64_t ns) { return SystemTime(duration_cast<SystemTime::duration>(nanoseconds(ns))); };
    EXPECT_EQ(unixMillisRounded(at(1700000000000500000)), 1700000000001);
    EXPECT_EQ(unixMillisRounded(at(1700000000000400000)), 1700000000000);
    EXPECT_EQ(unixMillisRounded(at(-500000)), -1);
    EXPECT_EQ(unixMillisRounded(at(-400000)), 0);
}

TEST(Clock, SecondsSince2001RoundTrips) {
    auto t = fromSecondsSince2001(724204800.125);
    EXPECT_DOUBLE_EQ(secondsSince2001(t), 724204800.125);
    EXPECT_DOUBLE_EQ(secondsSince2001(std::chrono::system_clock::from_time_t(978307200)), 0.0);
}

TEST(Clock, StoredDatesOutsideTheClockRangeAreHeldAtItsEnds) {
    // Such values can come from a damaged or hostile stored record; converting must stay defined.
    const auto farFuture = fromSecondsSince2001(1e300);
    const auto farPast = fromSecondsSince2001(-1e300);
    EXPECT_GT(farFuture, fromSecondsSince2001(4e9));
    EXPECT_LT(farPast, fromSecondsSince2001(-4e9));
    EXPECT_EQ(fromSecondsSince2001(INFINITY), farFuture);
    EXPECT_EQ(fromSecondsSince2001(-INFINITY), farPast);
    EXPECT_EQ(fromSecondsSince2001(std::nan("")), fromSecondsSince2001(0));
}

TEST(Clock, TimeoutSanitising) {
    EXPECT_EQ(sanitizeTimeout(std::nan("")), SteadyClock::duration::zero());
    EXPECT_EQ(sanitizeTimeout(-1), SteadyClock::duration::zero());
    EXPECT_FALSE(sanitizeTimeout(1e9));
    EXPECT_FALSE(sanitizeTimeout(INFINITY));
    EXPECT_EQ(sanitizeTimeout(0.5), std::chrono::milliseconds(500));
    EXPECT_TRUE(Deadline::after(0).expired());
    EXPECT_TRUE(Deadline::after(1e300).isNever());
}

TEST(Error, WhatGivesTheDescriptionAlsoAfterCopiesAndAssignment) {
    DecodingError first(DecodingError::Kind::keyNotFound, "a", "");
    EXPECT_STREQ(first.what(), "No value associated with key \"a\".");
    DecodingError copy = first;
    EXPECT_STREQ(copy.what(), first.what());
    EXPECT_NE(static_cast<const void*>(copy.what()), static_cast<const void*>(first.what()));
    copy = DecodingError(DecodingError::Kind::keyNotFound, "b", "");
    EXPECT_STREQ(copy.what(), "No value associated with key \"b\".");
    EXPECT_STREQ(first.what(), "No value associated with key \"a\".");
}

TEST(Error, OneErrorReadFromManyThreadsGivesOneText) {
    // A stored failure rethrown to several readers is one object read by several threads.
    const std::string expected = "a failure text long enough to live outside the string itself";
    for (int round = 0; round < 200; ++round) {
        auto shared = std::make_exception_ptr(CryptoError(expected));
        std::vector<std::thread> readers;
        std::vector<const char*> seen(4);
        for (std::size_t i = 0; i < seen.size(); ++i)
            readers.emplace_back([&, i] {
                try {
                    std::rethrow_exception(shared);
                } catch (const Error& e) {
                    seen[i] = e.what();
                    EXPECT_EQ(std::string(seen[i]), expected);
                }
            });
        for (auto& reader : readers) reader.join();
        for (const char* text : seen) EXPECT_EQ(std::string(text), expected);
    }
}

TEST(Diagnostics, OneLineWithThePrefixPerCall) {
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) { lines.emplace_back(line); });
    coreDiagnostic("ignored a frame");
    // Text from a peer cannot forge a line of its own.
    coreDiagnostic("bad name\nQuillCore: forged\r\nend");
    diagnostic("Quillmate Host: plain");
    setDiagnosticSink({});
    EXPECT_EQ(lines, (std::vector<std::string>{"QuillCore: ignored a frame", "QuillCore: bad name QuillCore: forged  end",
                                               "Quillmate Host: plain"}));
}
