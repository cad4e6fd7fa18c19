#include <gtest/gtest.h>

#include "quillcore/signalling/signalling_message.h"

using namespace quill;
using Kind = DecodingError::Kind;
using json::Json;

namespace {

const Offer kOffer("0F3C-11", "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n", SessionMode::control, {"clipboard", "files"});
const Answer kAnswer("0F3C-11", "v=0 answer", {"clipboard", "files"});
const Reject kReject("0F3C-11", "view permission denied");
const Candidate kCandidate("0F3C-11", "candidate:1 1 UDP 2122252543 127.0.0.1 50000 typ host", "0", 2);
const Bye kBye("0F3C-11", "user/ended");

std::string candidate(const std::string& members) {
    return R"({"type":"Candidate","candidate":"c","session_id":"s",)" + members + "}";
}
std::string offer(const std::string& mode, const std::string& capabilities) {
    return R"({"type":"Offer","sdp":"x","mode":)" + mode + R"(,"capabilities":)" + capabilities +
           R"(,"session_id":"s"})";
}

}  // namespace

TEST(SignallingMessage, EachCaseEncodesItsMembersInFixedOrderAndReadsThemInAnyOrder) {
    const std::pair<SignallingMessage, std::string> written[] = {
        {kOffer, R"({"type":"Offer","sdp":"v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n","mode":"control",)"
                 R"("capabilities":["clipboard","files"],"session_id":"0F3C-11"})"},
        {kAnswer,
         R"({"type":"Answer","sdp":"v=0 answer","capabilities":["clipboard","files"],"session_id":"0F3C-11"})"},
        {kReject, R"({"type":"Reject","reason":"view permission denied","session_id":"0F3C-11"})"},
        {kCandidate, R"({"type":"Candidate","candidate":"candidate:1 1 UDP 2122252543 127.0.0.1 50000 typ host",)"
                     R"("session_id":"0F3C-11","sdp_mid":"0","sdp_mline_index":2})"},
        {kBye, R"({"type":"Bye","reason":"user/ended","session_id":"0F3C-11"})"},
        {Wake(), R"({"type":"Wake"})"},
        // No sdp_mid at all when absent (never null); an empty list is still written.
        {Candidate("s", "c", std::nullopt, -1), candidate(R"("sdp_mline_index":-1)")},
        {Answer("s", "", {}), R"({"type":"Answer","sdp":"","capabilities":[],"session_id":"s"})"},
        {Bye("s", "Zo\xC3\xAB \xF0\x9F\x99\x82"),  // text that is not ASCII travels unchanged
         "{\"type\":\"Bye\",\"reason\":\"Zo\xC3\xAB \xF0\x9F\x99\x82\",\"session_id\":\"s\"}"},
    };
    for (const auto& [message, text] : written) {
        EXPECT_EQ(message.encode(), text);
        const SignallingMessage back = SignallingMessage::decode(toBytes(text));
        EXPECT_EQ(back, message) << text;
        // Through the wrapper the type member always names the case.
        std::visit([&](const auto& m) { EXPECT_EQ(m.type(), back.typeName()); }, back.payload());
    }
    EXPECT_THROW(SignallingMessage(Bye("s", std::string("bad \xff byte"))).encode(), EncodingError);

    // Members in any order, unknown ones ignored, escapes free; absent and null sdp_mid differ from empty.
    const std::pair<std::string, SignallingMessage> read[] = {
        {R"({"session_id":"0F3C-11","extra":{"x":[1,2]},"capabilities":["clipboard","files"],"mode":"control",)"
         R"("sdp":"v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n","type":"Offer"})", kOffer},
        {R"({"type":"Wake","session_id":7,"reason":null})", Wake()},
        {R"({"type":"Bye","reason":"user\/ended","session_id":"0F3C-11"})", kBye},
        {candidate(R"("sdp_mid":null,"sdp_mline_index":0)"), Candidate("s", "c", std::nullopt, 0)},
        {candidate(R"("sdp_mid":"","sdp_mline_index":2147483647)"), Candidate("s", "c", "", 2147483647)},
        {candidate(R"("sdp_mline_index":-2147483648)"), Candidate("s", "c", std::nullopt, -2147483647 - 1)},
        {offer("\"view\"", "[]"), Offer("s", "x", SessionMode::view, {})},
    };
    for (const auto& [text, message] : read) EXPECT_EQ(SignallingMessage::decode(text), message) << text;
    // Decoding one message type directly keeps the type member as read.
    Json answerTyped = Json::parse(offer("\"view\"", "[]"));
    answerTyped["type"] = "Answer";
    EXPECT_EQ(Offer::fromJSON(answerTyped).type(), "Answer");
    EXPECT_EQ(Wake::fromJSON(Json::parse(R"({"type":"Bye"})")).type(), "Bye");
}

TEST(SignallingMessage, RefusesWhatIsMissingMistypedOrOutOfRangeNamingTheFirstFailingMember) {
    struct Row {
        std::string text;
        Kind kind;
        std::string key;
    };
    std::vector<Row> rows = {
        {candidate(R"("sdp_mid":0,"sdp_mline_index":0)"), Kind::typeMismatch, "sdp_mid"},
        {R"({"session_id":"s"})", Kind::keyNotFound, "type"},
        {R"({"type":null})", Kind::valueNotFound, "type"},
        {R"({"type":1})", Kind::typeMismatch, "type"},
        {R"(["Wake"])", Kind::typeMismatch, ""},
        {R"({"type":"Wake")", Kind::dataCorrupted, ""},
        {offer("1", "[]"), Kind::typeMismatch, "mode"},
        {R"({"type":"Offer","mode":"view","capabilities":[]})", Kind::keyNotFound, "sdp"},
        {R"({"type":"Reject","reason":"r"})", Kind::keyNotFound, "session_id"},
    };
    // An index is a signed 32-bit integer, never truncated or wrapped.
    for (std::string index : {"2147483648", "-2147483649", "4294967297", "18446744073709551615", "1.5", "1e300"})
        rows.push_back({candidate(R"("sdp_mline_index":)" + index), Kind::dataCorrupted, "sdp_mline_index"});
    for (std::string index : {"\"3\"", "true"})
        rows.push_back({candidate(R"("sdp_mline_index":)" + index), Kind::typeMismatch, "sdp_mline_index"});
    for (std::string mode : {"\"VIEW\"", "\"Control\"", "\"\""})
        rows.push_back({offer(mode, "[]"), Kind::dataCorrupted, "mode"});
    for (std::string capabilities : {R"(["files",1])", R"(["files",null])", R"("files")"})
        rows.push_back({offer("\"view\"", capabilities), Kind::typeMismatch, "capabilities"});
    // Every member but sdp_mid is required: missing, null or of another type.
    const std::vector<SignallingMessage> full = {kOffer, kAnswer, kReject, kCandidate, kBye};
    for (const SignallingMessage& message : full) {
        const Json object = Json::parse(message.encode());
        for (const auto& [key, value] : object.items()) {
            if (key == "type" || key == "sdp_mid") continue;
            for (auto [replacement, kind] :
                 {std::pair{Json(), Kind::valueNotFound}, {Json::object(), Kind::typeMismatch}}) {
                Json changed = object;
                changed[key] = replacement;
                rows.push_back({changed.dump(), kind, key});
            }
            Json without = object;
            without.erase(key);
            rows.push_back({without.dump(), Kind::keyNotFound, key});
        }
    }
    for (const auto& row : rows) {
        try {
            SignallingMessage::decode(row.text);
            ADD_FAILURE() << "decoded: " << row.text;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind, row.kind) << row.text;
            EXPECT_EQ(e.key, row.key) << row.text;
        }
    }
    for (std::string type : {"offer", "", "Pong", "Offer "}) {
        try {
            SignallingMessage::decode(R"({"type":")" + type + R"(","reason":"x","session_id":"s"})");
            ADD_FAILURE() << "decoded type " << type;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.description(), "Unknown signalling type " + type);
        }
    }
}
