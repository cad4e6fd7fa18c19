#include <gtest/gtest.h>

#include <functional>

#include "quillcore/signalling/signalling_message.h"

using namespace quill;
using Kind = DecodingError::Kind;
using json::Json;

namespace {

DecodingError decodeError(std::string_view text) {
    try {
        SignallingMessage::decode(text);
    } catch (const DecodingError& e) {
        return e;
    }
    ADD_FAILURE() << "decoded: " << text;
    return DecodingError(Kind::dataCorrupted, "<none>", "<none>");
}

const Offer kOffer("0F3C-11", "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n", SessionMode::control, {"clipboard", "files"});
const Answer kAnswer("0F3C-11", "v=0 answer", {"clipboard", "files"});
const Reject kReject("0F3C-11", "view permission denied");
const Candidate kCandidate("0F3C-11", "candidate:1 1 UDP 2122252543 127.0.0.1 50000 typ host", "0", 2);
const Bye kBye("0F3C-11", "user/ended");

}  // namespace

TEST(SignallingMessage, EachCaseEncodesItsMembersInFixedOrderAndRoundTrips) {
    const std::tuple<SignallingMessage, const char*, const char*> cases[] = {
        {kOffer, "Offer",
         R"({"type":"Offer","sdp":"v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n","mode":"control",)"
         R"("capabilities":["clipboard","files"],"session_id":"0F3C-11"})"},
        {kAnswer, "Answer",
         R"({"type":"Answer","sdp":"v=0 answer","capabilities":["clipboard","files"],"session_id":"0F3C-11"})"},
        {kReject, "Reject", R"({"type":"Reject","reason":"view permission denied","session_id":"0F3C-11"})"},
        {kCandidate, "Candidate",
         R"({"type":"Candidate","candidate":"candidate:1 1 UDP 2122252543 127.0.0.1 50000 typ host",)"
         R"("session_id":"0F3C-11","sdp_mid":"0","sdp_mline_index":2})"},
        {kBye, "Bye", R"({"type":"Bye","reason":"user/ended","session_id":"0F3C-11"})"},
        {Wake(), "Wake", R"({"type":"Wake"})"},
        // No sdp_mid at all when absent (never null); an empty list is still written.
        {Candidate("s", "c", std::nullopt, -1), "Candidate",
         R"({"type":"Candidate","candidate":"c","session_id":"s","sdp_mline_index":-1})"},
        {Answer("s", "", {}), "Answer", R"({"type":"Answer","sdp":"","capabilities":[],"session_id":"s"})"},
        {Candidate("s", "c", "", -2147483647 - 1), "Candidate",
         R"({"type":"Candidate","candidate":"c","session_id":"s","sdp_mid":"","sdp_mline_index":-2147483648})"},
    };
    for (const auto& [message, name, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(message.encode(), text);
        const SignallingMessage back = SignallingMessage::decode(toBytes(text));
        EXPECT_EQ(back, message);
        EXPECT_EQ(back.typeName(), name);
        const std::string typeName = name;
        std::visit([&typeName](const auto& m) { EXPECT_EQ(m.type(), typeName); }, back.payload());
    }
    EXPECT_EQ(SignallingMessage(kAnswer).get<Offer>(), nullptr);
    EXPECT_EQ(SignallingMessage(kBye).messageCase(), SignallingMessage::Case::bye);
}

TEST(SignallingMessage, ReadsMembersInAnyOrderIgnoringUnknownOnes) {
    auto offer = SignallingMessage::decode(
        R"({"session_id":"0F3C-11","extra":{"x":[1,2]},"capabilities":["clipboard","files"],"mode":"control",)"
        R"("sdp":"v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n","type":"Offer"})");
    EXPECT_EQ(offer, SignallingMessage(kOffer));

    // A Wake ignores whatever else the object holds; an escaped slash reads as a plain one.
    EXPECT_EQ(SignallingMessage::decode(R"({"type":"Wake","session_id":7,"reason":null})"), SignallingMessage(Wake()));
    EXPECT_EQ(SignallingMessage::decode(R"({"type":"Bye","reason":"user\/ended","session_id":"0F3C-11"})"),
              SignallingMessage(kBye));
}

TEST(SignallingMessage, OptionalSdpMidTellsAbsentFromEmpty) {
    auto withMid = [](std::string mid) {
        return R"({"type":"Candidate","candidate":"c","session_id":"s",)" + mid + R"("sdp_mline_index":0})";
    };
    const auto missing = SignallingMessage::decode(withMid(""));
    EXPECT_FALSE(missing.get<Candidate>()->sdpMid().has_value());
    EXPECT_EQ(SignallingMessage::decode(withMid(R"("sdp_mid":null,)")), missing);
    EXPECT_NE(SignallingMessage::decode(withMid(R"("sdp_mid":"",)")), missing);
    auto wrong = decodeError(withMid(R"("sdp_mid":0,)"));
    EXPECT_EQ(wrong.kind, Kind::typeMismatch);
    EXPECT_EQ(wrong.key, "sdp_mid");
}

TEST(SignallingMessage, MLineIndexMustBeASigned32BitInteger) {
    auto withIndex = [](std::string index) {
        return R"({"type":"Candidate","candidate":"c","session_id":"s","sdp_mline_index":)" + index + "}";
    };
    EXPECT_EQ(SignallingMessage::decode(withIndex("-1")).get<Candidate>()->sdpMLineIndex(), -1);
    EXPECT_EQ(SignallingMessage::decode(withIndex("2147483647")).get<Candidate>()->sdpMLineIndex(), 2147483647);
    EXPECT_EQ(SignallingMessage::decode(withIndex("-2147483648")).get<Candidate>()->sdpMLineIndex(), -2147483647 - 1);
    // Never truncated or wrapped.
    for (std::string bad : {"2147483648", "-2147483649", "4294967297", "18446744073709551615",
                            "18446744073709551616", "1.5", "-0.5", "1e300"}) {
        SCOPED_TRACE(bad);
        auto e = decodeError(withIndex(bad));
        EXPECT_EQ(e.kind, Kind::dataCorrupted);
        EXPECT_EQ(e.key, "sdp_mline_index");
    }
    for (std::string bad : {"\"3\"", "true", "[3]"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(decodeError(withIndex(bad)).kind, Kind::typeMismatch);
    }
}

TEST(SignallingMessage, UnknownTypeIsRefusedWithItsName) {
    for (std::string type : {"offer", "", "OFFER", "Pong", "Offer "}) {
        SCOPED_TRACE(type);
        auto e = decodeError(R"({"type":")" + type + R"(","sdp":"x","mode":"view","capabilities":[],"session_id":"s"})");
        EXPECT_EQ(e.kind, Kind::dataCorrupted);
        EXPECT_EQ(e.description(), "Unknown signalling type " + type);
    }
    EXPECT_EQ(decodeError(R"({"session_id":"s"})").kind, Kind::keyNotFound);
    EXPECT_EQ(decodeError(R"({"type":null})").kind, Kind::valueNotFound);
    EXPECT_EQ(decodeError(R"({"type":1})").kind, Kind::typeMismatch);
    EXPECT_EQ(decodeError(R"(["Wake"])").kind, Kind::typeMismatch);
    EXPECT_EQ(decodeError(R"("Wake")").kind, Kind::typeMismatch);
    EXPECT_EQ(decodeError(R"({"type":"Wake")").kind, Kind::dataCorrupted);
    EXPECT_EQ(decodeError("").kind, Kind::dataCorrupted);
}

TEST(SignallingMessage, EveryRequiredMemberIsChecked) {
    // Each message's full object; every member but sdp_mid is required.
    for (const SignallingMessage& message : std::vector<SignallingMessage>{kOffer, kAnswer, kReject, kCandidate, kBye}) {
        Json full = Json::parse(message.encode());
        for (const auto& [key, value] : full.items()) {
            if (key == "type" || key == "sdp_mid") continue;
            SCOPED_TRACE(std::string(message.typeName()) + "." + key);
            Json without = full;
            without.erase(key);
            auto e = decodeError(without.dump());
            EXPECT_EQ(e.kind, Kind::keyNotFound);
            EXPECT_EQ(e.key, key);

            Json null = full;
            null[key] = nullptr;
            e = decodeError(null.dump());
            EXPECT_EQ(e.kind, Kind::valueNotFound);
            EXPECT_EQ(e.key, key);

            Json wrongType = full;
            wrongType[key] = Json::object();
            e = decodeError(wrongType.dump());
            EXPECT_EQ(e.kind, Kind::typeMismatch);
            EXPECT_EQ(e.key, key);
        }
    }
    // The first failing member in writing order is the one reported.
    auto e = decodeError(R"({"type":"Offer","mode":"view","capabilities":[]})");
    EXPECT_EQ(e.key, "sdp");
    e = decodeError(R"({"type":"Reject","reason":"r"})");
    EXPECT_EQ(e.kind, Kind::keyNotFound);
    EXPECT_EQ(e.key, "session_id");
}

TEST(SignallingMessage, ModeAndCapabilitiesAreStrict) {
    auto offerWith = [](std::string mode, std::string capabilities) {
        return R"({"type":"Offer","sdp":"x","mode":)" + mode + R"(,"capabilities":)" + capabilities +
               R"(,"session_id":"s"})";
    };
    EXPECT_EQ(SignallingMessage::decode(offerWith("\"control\"", "[]")).get<Offer>()->mode(), SessionMode::control);
    EXPECT_EQ(SignallingMessage::decode(offerWith("\"view\"", "[]")).get<Offer>()->capabilities(),
              std::vector<std::string>{});
    for (std::string mode : {"\"VIEW\"", "\"Control\"", "\"\"", "\"edit\""}) {
        SCOPED_TRACE(mode);
        auto e = decodeError(offerWith(mode, "[]"));
        EXPECT_EQ(e.kind, Kind::dataCorrupted);
        EXPECT_EQ(e.key, "mode");
    }
    EXPECT_EQ(decodeError(offerWith("1", "[]")).kind, Kind::typeMismatch);
    EXPECT_EQ(decodeError(offerWith("\"view\"", R"(["files",1])")).kind, Kind::typeMismatch);
    EXPECT_EQ(decodeError(offerWith("\"view\"", R"(["files",null])")).kind, Kind::typeMismatch);
    EXPECT_EQ(decodeError(offerWith("\"view\"", R"("files")")).kind, Kind::typeMismatch);

    EXPECT_FALSE(sessionModeFromRawValue("View"));
}

TEST(SignallingMessage, DirectDecodingKeepsTheTypeAsRead) {
    Offer offer = Offer::fromJSON(Json::parse(
        R"({"type":"Answer","sdp":"x","mode":"view","capabilities":[],"session_id":"s"})"));
    EXPECT_EQ(offer.type(), "Answer");
    EXPECT_NE(offer, Offer("s", "x", SessionMode::view, {}));
    EXPECT_EQ(Wake::fromJSON(Json::parse(R"({"type":"Bye"})")).type(), "Bye");
    // Through the wrapper the type always matches the case.
    EXPECT_EQ(SignallingMessage::decode(Offer("s", "x", SessionMode::view, {}).toJSON().dump()).get<Offer>()->type(),
              "Offer");
}

TEST(SignallingMessage, EqualityNeedsTheSameCaseAndFieldsAndTextMustBeUTF8) {
    EXPECT_NE(SignallingMessage(Reject("s", "r")), SignallingMessage(Bye("s", "r")));
    EXPECT_NE(Offer("s", "x", SessionMode::view, {"a", "b"}), Offer("s", "x", SessionMode::view, {"b", "a"}));
    EXPECT_NE(Offer("s", "x", SessionMode::view, {}), Offer("s", "x", SessionMode::control, {}));

    EXPECT_THROW(SignallingMessage(Bye("s", std::string("bad \xff byte"))).encode(), EncodingError);
    const SignallingMessage ok = Bye("s", "Zoë 🙂");  // non-ASCII text travels unchanged
    EXPECT_EQ(SignallingMessage::decode(ok.encode()), ok);
}
