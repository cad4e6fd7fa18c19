#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include "quillcore/base/async_stream.h"
#include "quillcore/base/base64.h"
#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/base/error.h"
#include "quillcore/base/json.h"
#include "quillcore/base/quick_wake.h"
#include "quillcore/base/unicode.h"

using namespace quill;
using Kind = DecodingError::Kind;

TEST(Base64AndHex, DecodeStrictlyAndRoundTrip) {
    // Standard base64 is padded and strict; base64url is written unpadded and read with or without padding.
    EXPECT_EQ(base64Encode(toBytes("hello")), "aGVsbG8=");
    EXPECT_EQ(Base64URL::encode(Bytes{0xFB, 0xFF, 0xBF}), "-_-_");
    using Decoded = std::pair<const char*, std::optional<Bytes>>;
    for (auto [text, expected] :
         {Decoded{"aGVsbG8=", toBytes("hello")}, {"aGVsbG8", {}}, {"aGVs-G8=", {}}, {"aG=sbG8=", {}}})
        EXPECT_EQ(base64Decode(text), expected) << text;
    const Bytes fbffbf{0xFB, 0xFF, 0xBF};
    for (auto [text, expected] : {Decoded{"-_-_", fbffbf}, {"+/+/", fbffbf}, {"", Bytes{}}, {"AA", Bytes{0}},
                                  {"AA=", Bytes{0}}, {"AA==", Bytes{0}}, {"AAE", Bytes{0, 1}}})
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
    EXPECT_EQ(lines, (std::vector<std::string>{"QuillCore: ignored a frame",
                                               "QuillCore: bad name QuillCore: forged  end", "Quillmate Host: plain"}));
}

// The time slice the kernel gives the calling thread, in nanoseconds (0 where it does not say).
std::uint64_t ownSlice() {
    std::uint64_t attr[7] = {};  // size and policy, flags, nice and priority, runtime (the slice), ...
    if (::syscall(SYS_sched_getattr, 0, attr, sizeof attr, 0) != 0) return 0;
    return attr[3];
}

TEST(QuickWake, AThreadTakesTheShortSliceAndLeavesItOnlyWhenToldNeverToThreadsItStarts) {
    utsname system{};
    int major = 0, minor = 0;
    if (::uname(&system) != 0 || std::sscanf(system.release, "%d.%d", &major, &minor) != 2 || major * 100 + minor < 612)
        GTEST_SKIP() << "threads choose their time slice from Linux 6.12 on";
    std::thread([] {
        const std::uint64_t usual = ownSlice();
        preferQuickWakeUps();
        EXPECT_EQ(ownSlice(), 100'000u);
        std::thread([usual] { EXPECT_EQ(ownSlice(), usual); }).join();
        preferQuickWakeUps(false);
        EXPECT_EQ(ownSlice(), usual);
    }).join();
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

TEST(Json, ReadersReportTheStrictDecodersKindsAndNeverTruncateOrWrapIntegers) {
    const json::Json j = json::parse(R"({"a":1.5,"b":18446744073709551615,"c":1e3,"d":-5,"e":true,"f":2147483648,
        "g":1e300,"zero":0,"seven":7,"two":2.0,"s":"x","n":null,"u":"-_-_","p":"+/+/"})");
    // 0 and 7 parse as unsigned, -5 as signed, 2.0 as a float: each must meet the same bounds.
    const std::pair<std::function<void()>, Kind> refused[] = {
        {[] { json::parse("{"); }, Kind::dataCorrupted},
        {[] { json::parse(std::string("\"\xff\"")); }, Kind::dataCorrupted},
        {[] { json::requireObject(json::parse("[1]")); }, Kind::typeMismatch},
        {[&] { json::requireInt<std::int64_t>(j, "a"); }, Kind::dataCorrupted},
        {[&] { json::requireInt<std::int64_t>(j, "b"); }, Kind::dataCorrupted},
        {[&] { json::requireInt<std::int32_t>(j, "e"); }, Kind::typeMismatch},
        {[&] { json::requireInt<std::int32_t>(j, "f"); }, Kind::dataCorrupted},
        {[&] { json::requireInt<std::int64_t>(j, "g"); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "zero", 1, 10); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "seven", 8, 10); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "seven", 0, 6); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "d", -4, 10); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "two", 3, 10); }, Kind::dataCorrupted},
        {[&] { json::requireInteger(j, "two", 0, 1); }, Kind::dataCorrupted},
        {[&] { json::optionalInteger(j, "zero", 1, 7); }, Kind::dataCorrupted},
        {[&] { json::requireString(j, "missing"); }, Kind::keyNotFound},
        {[&] { json::requireString(j, "n"); }, Kind::valueNotFound},
        {[&] { json::requireString(j, "e"); }, Kind::typeMismatch},
        {[&] { json::requireBool(j, "s"); }, Kind::typeMismatch},
        {[&] { json::requireBase64URL(j, "s"); }, Kind::dataCorrupted},
        {[&] { json::requireBase64(j, "u"); }, Kind::dataCorrupted},
    };
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        try {
            refused[i].first();
            ADD_FAILURE() << "row " << i << " was read";
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind, refused[i].second) << "row " << i;
        }
    }
    EXPECT_EQ(json::requireInt<std::int64_t>(j, "c"), 1000);
    EXPECT_EQ(json::requireInt<std::int32_t>(j, "d"), -5);
    EXPECT_EQ(json::requireUInt64(j, "b"), 18446744073709551615ull);
    EXPECT_EQ(json::requireInteger(j, "seven", 7, 7), 7);
    EXPECT_EQ(json::requireInteger(j, "zero", 0, 0), 0);
    EXPECT_EQ(json::requireInteger(j, "two", 2, 2), 2);
    EXPECT_EQ(json::optionalInteger(j, "seven", 1, 7), 7);
    EXPECT_FALSE(json::optionalString(j, "n"));
    EXPECT_FALSE(json::optionalString(j, "missing"));
    EXPECT_EQ(json::requireBase64URL(j, "u"), (Bytes{0xFB, 0xFF, 0xBF}));
    EXPECT_EQ(json::requireBase64(j, "p"), (Bytes{0xFB, 0xFF, 0xBF}));
}

TEST(Json, WritersEscapeSlashesAndRefuseNonFiniteNumbersAndBadText) {
    json::OrderedJson o;
    o["z"] = "a/b";
    o["a"] = 0.5;
    EXPECT_EQ(json::dumpEscapingSlashes(o), R"({"z":"a\/b","a":0.5})");
    EXPECT_EQ(json::dump(o), R"({"z":"a/b","a":0.5})");
    EXPECT_EQ(json::parse(json::dumpEscapingSlashes(o))["z"], "a/b");
    json::OrderedJson nested;
    nested["x"] = {1, std::nan("")};
    EXPECT_THROW(json::dump(nested), EncodingError);
    json::OrderedJson text;
    text["x"] = std::string("\xff");
    EXPECT_THROW(json::dump(text), EncodingError);
}

TEST(AsyncStream, DeliversInOrderAcrossThreadsThenEndsAndTellsItemTimeoutAndEndApart) {
    auto s = AsyncStream<int>::make();
    std::atomic<int> notified{0};
    s->setNotifier([&] { notified++; });
    EXPECT_TRUE(s->next(0.01).timedOut());
    std::thread producer([&] {
        for (int i = 0; i < 1000; ++i) s->push(i);
        s->finish();
    });
    int expected = 0;
    while (auto v = s->next()) EXPECT_EQ(*v, expected++);
    producer.join();
    EXPECT_EQ(expected, 1000);
    EXPECT_EQ(notified.load(), 1001) << "after each push and on finish";
    EXPECT_FALSE(s->push(5));
    EXPECT_TRUE(s->next(1.0).finished());

    auto t = AsyncStream<int>::make();
    t->push(3);
    auto r = t->next(0.01);
    EXPECT_TRUE(r.hasItem() && *r.value == 3);
    // A stop request ends a wait; a detached stream drops what it holds and what comes later.
    std::stop_source stop;
    std::thread waiter([&] { EXPECT_FALSE(t->next(stop.get_token())); });
    stop.request_stop();
    waiter.join();
    t->push(1);
    t->detach();
    EXPECT_FALSE(t->push(2));
    EXPECT_EQ(t->pending(), 0u);
    EXPECT_FALSE(t->next());
}

TEST(AsyncStream, CoalescingReplacesTheLastItemOnlyBeyondTheBacklogAndWhenItMatches) {
    auto s = AsyncStream<int>::make();
    auto even = [](int last) { return last % 2 == 0; };
    for (int i : {0, 2, 4}) EXPECT_TRUE(s->pushCoalescing(i, 3, even));  // below the backlog: queued
    EXPECT_TRUE(s->pushCoalescing(6, 3, even));                          // replaces 4
    EXPECT_TRUE(s->pushCoalescing(7, 3, even));                          // replaces 6
    EXPECT_TRUE(s->pushCoalescing(8, 3, even));                          // 7 does not match: queued
    EXPECT_EQ(s->pending(), 4u);
    std::vector<int> seen;
    while (auto v = s->tryNext()) seen.push_back(*v);
    EXPECT_EQ(seen, (std::vector<int>{0, 2, 7, 8}));
    s->finish();
    EXPECT_FALSE(s->pushCoalescing(1, 0, even));
}

TEST(AsyncStream, BoundedStreamRefusesBeyondItsWeightUntilItemsAreRead) {
    auto s = AsyncStream<std::string>::makeBounded(10, [](const std::string& v) { return v.size() + 1; });
    EXPECT_TRUE(s->push("abcd"));  // 5
    EXPECT_TRUE(s->push("abc"));   // 9
    EXPECT_FALSE(s->push("ab"));   // 12 would be over
    EXPECT_TRUE(s->push(""));      // exactly 10
    EXPECT_FALSE(s->push(""));
    EXPECT_EQ(s->pendingWeight(), 10u);
    EXPECT_EQ(s->tryNext(), "abcd");
    EXPECT_EQ(s->pendingWeight(), 5u);
    EXPECT_TRUE(s->push("ab"));
    // A replacement counts the weight of what it replaces as freed.
    auto always = [](const std::string&) { return true; };
    EXPECT_TRUE(s->pushCoalescing("abcd", 1, always));  // "ab" (3) out, 5 in: 8 - 3 + 5 = 10
    EXPECT_FALSE(s->pushCoalescing("abcdef", 1, always));
    EXPECT_EQ(s->pendingWeight(), 10u);
    s->detach();
    EXPECT_EQ(s->pendingWeight(), 0u);
    EXPECT_EQ(AsyncStream<int>::make()->pendingWeight(), 0u);
}
