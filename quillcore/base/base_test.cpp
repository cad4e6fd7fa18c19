#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <numeric>
#include <thread>
#include <vector>

#include "quillcore/base/base64.h"
#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/base/error.h"
#include "quillcore/base/unicode.h"

using namespace quill;

TEST(Base64AndHex, DecodeStrictlyAndRoundTrip) {
    // Standard base64 is padded and strict; base64url is written unpadded and read with or without padding.
    EXPECT_EQ(base64Encode(toBytes("hello")), "aGVsbG8=");
    EXPECT_EQ(Base64URL::encode(Bytes{0xFB, 0xFF, 0xBF}), "-_-_");
    for (auto [text, expected] : {std::pair{"aGVsbG8=", std::optional(toBytes("hello"))},
                                  {"aGVsbG8", std::nullopt}, {"aGVs-G8=", std::nullopt}, {"aG=sbG8=", std::nullopt}})
        EXPECT_EQ(base64Decode(text), expected) << text;
    for (auto [text, expected] : {std::pair{"-_-_", std::optional(Bytes{0xFB, 0xFF, 0xBF})}, {"+/+/", Bytes{0xFB, 0xFF, 0xBF}},
                                  {"", Bytes{}}, {"AA", Bytes{0}}, {"AA=", Bytes{0}}, {"AA==", Bytes{0}}, {"AAE", Bytes{0, 1}}})
        EXPECT_EQ(Base64URL::decode(text), expected) << text;
    for (auto text : {"A", "AAAAA", "AA A", "AA\n", "AA.A", "A=AA", "AA==AA==", "AAA=="})
        EXPECT_FALSE(Base64URL::decode(text)) << text;
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    for (std::size_t n = 0; n < all.size(); n += 7) {
        Bytes part(all.begin(), all.begin() + n);
        EXPECT_EQ(Base64URL::encode(part).size(), (n * 4 + 2) / 3);
        EXPECT_EQ(Base64URL::decode(Base64URL::encode(part)), part);
        EXPECT_EQ(base64Decode(base64Encode(part)), part);
        EXPECT_EQ(fromHex(hexString(part)), part);
    }

    EXPECT_EQ(hexString(Bytes{0x00, 0xAB, 0x10}), "00ab10");
    EXPECT_EQ(fromHex("00AB1f"), (Bytes{0x00, 0xAB, 0x1F}));
    EXPECT_FALSE(fromHex("0"));
    EXPECT_FALSE(fromHex("zz"));
    EXPECT_TRUE(constantTimeEquals(Bytes{}, Bytes{}));
    EXPECT_FALSE(constantTimeEquals(Bytes{1, 2}, Bytes{1, 2, 3}));
    EXPECT_FALSE(constantTimeEquals(Bytes{1, 2, 3}, Bytes{1, 2, 4}));
    EXPECT_TRUE(constantTimeEquals(Bytes{1, 2, 3}, Bytes{1, 2, 3}));
}

TEST(Clock, RoundsConvertsAndSanitisesWithinTheClockRange) {
    using namespace std::chrono;
    auto at = [](std::int64_t ns) { return SystemTime(duration_cast<SystemTime::duration>(nanoseconds(ns))); };
    // Milliseconds round half away from zero.
    EXPECT_EQ(unixMillisRounded(at(1700000000000500000)), 1700000000001);
    EXPECT_EQ(unixMillisRounded(at(1700000000000400000)), 1700000000000);
    EXPECT_EQ(unixMillisRounded(at(-500000)), -1);
    EXPECT_EQ(unixMillisRounded(at(-400000)), 0);
    EXPECT_DOUBLE_EQ(secondsSince2001(fromSecondsSince2001(724204800.125)), 724204800.125);
    EXPECT_DOUBLE_EQ(secondsSince2001(system_clock::from_time_t(978307200)), 0.0);

    // Stored dates can come from a damaged or hostile record: conversion holds them at the clock's ends.
    const auto farFuture = fromSecondsSince2001(1e300);
    const auto farPast = fromSecondsSince2001(-1e300);
    EXPECT_GT(farFuture, fromSecondsSince2001(4e9));
    EXPECT_LT(farPast, fromSecondsSince2001(-4e9));
    EXPECT_EQ(fromSecondsSince2001(INFINITY), farFuture);
    EXPECT_EQ(fromSecondsSince2001(-INFINITY), farPast);
    EXPECT_EQ(fromSecondsSince2001(std::nan("")), fromSecondsSince2001(0));

    EXPECT_EQ(sanitizeTimeout(std::nan("")), SteadyClock::duration::zero());
    EXPECT_EQ(sanitizeTimeout(-1), SteadyClock::duration::zero());
    EXPECT_FALSE(sanitizeTimeout(1e9));
    EXPECT_FALSE(sanitizeTimeout(INFINITY));
    EXPECT_EQ(sanitizeTimeout(0.5), milliseconds(500));
    EXPECT_TRUE(Deadline::after(0).expired());
    EXPECT_EQ(Deadline::after(0).remaining(), SteadyClock::duration::zero());
    EXPECT_GT(Deadline::after(100).remaining(), seconds(99));
    EXPECT_TRUE(Deadline::after(1e300).isNever());
}

TEST(Error, WhatGivesTheDescriptionAfterCopiesAndToManyThreadsAlike) {
    DecodingError first(DecodingError::Kind::keyNotFound, "a", "");
    DecodingError copy = first;
    EXPECT_STREQ(copy.what(), first.what());
    EXPECT_NE(static_cast<const void*>(copy.what()), static_cast<const void*>(first.what()));
    copy = DecodingError(DecodingError::Kind::keyNotFound, "b", "");
    EXPECT_STREQ(copy.what(), "No value associated with key \"b\".");
    EXPECT_STREQ(first.what(), "No value associated with key \"a\".");

    // A stored failure rethrown to several readers is one object read by several threads.
    const std::string expected = "a failure text long enough to live outside the string itself";
    for (int round = 0; round < 200; ++round) {
        auto shared = std::make_exception_ptr(CryptoError(expected));
        std::vector<std::thread> readers;
        for (int i = 0; i < 4; ++i)
            readers.emplace_back([&] {
                try {
                    std::rethrow_exception(shared);
                } catch (const Error& e) {
                    EXPECT_EQ(std::string(e.what()), expected);
                }
            });
        for (auto& reader : readers) reader.join();
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

TEST(Unicode, CanonicalEquivalenceOrderAndDecimalDigitsOfAnyScript) {
    const std::string precomposed = "Jos\xC3\xA9";  // é as one scalar
    const std::string decomposed = "Jose\xCC\x81";  // e + combining acute
    EXPECT_EQ(unicode::nfc(decomposed), precomposed);
    EXPECT_TRUE(unicode::canonicallyEqual(precomposed, decomposed));
    EXPECT_FALSE(unicode::canonicallyEqual("Jose", precomposed));
    EXPECT_EQ(unicode::compareNFC(precomposed, decomposed), 0);
    EXPECT_LT(unicode::compareNFC("B", "a"), 0);  // no case folding
    EXPECT_LT(unicode::compareNFC("a", "ab"), 0);
    EXPECT_GT(unicode::compareNFC("\xC3\xA9", "z"), 0);
    // Bytes that are not UTF-8 are left alone rather than replaced.
    EXPECT_EQ(unicode::nfc("a\xFF"), "a\xFF");
    EXPECT_FALSE(unicode::canonicallyEqual("a\xFF", "a\xFE"));

    EXPECT_EQ(unicode::decimalDigitValues("a1-2 3"), (std::vector<int>{1, 2, 3}));
    // Full-width 9 and Arabic-Indic 5 are decimal digits; a superscript two and a circled four are
    // numbers but not decimal digits.
    EXPECT_EQ(unicode::decimalDigitValues("\xEF\xBC\x99\xD9\xA5\xC2\xB2\xE2\x91\xA3"), (std::vector<int>{9, 5}));
    EXPECT_EQ(unicode::decimalDigitValues("7\xFF" "8"), (std::vector<int>{7, 8}));
}
