#include "quillcore/pairing/pairing_message.h"

#include <gtest/gtest.h>

#include <vector>

#include "quillcore/pairing/pairing_helpers.h"

namespace quill {
namespace {

Bytes seq(std::size_t size, std::uint8_t start = 0) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(start + i * 7);
    return out;
}

PeerPermissions someAccess() {
    PeerPermissions p = PeerPermissions::defaults();
    p.files = true;
    p.control = false;
    return p;
}

std::vector<PairingMessage> oneOfEach() {
    return {
        PairStart(seq(32, 1), seq(32, 2), "Ana's iPad"),
        PairCommit(seq(32, 3), seq(32, 4), "Büro-Mac", seq(32, 5)),
        PairNonce(seq(32, 6)),
        PairReveal(seq(32, 7)),
        PairAccept(someAccess(), seq(32, 8), seq(64, 9), seq(32, 10), seq(32, 11)),
        PairConfirm(seq(64, 12)),
        PairCancel("QR pairing failed"),
        PairRequest(seq(32, 13), seq(32, 14), "ctl \"quoted\"", seq(32, 15), seq(32, 16)),
    };
}

std::vector<std::string> keysInOrder(const std::string& text) {
    std::vector<std::string> keys;
    const auto object = json::OrderedJson::parse(text);
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

PairingMessage decodeText(const std::string& text) { return PairingMessage::decode(toBytes(text)); }

DecodingError decodeFailure(const std::string& text) {
    try {
        decodeText(text);
    } catch (const DecodingError& e) {
        return e;
    }
    ADD_FAILURE() << "decoded: " << text;
    return DecodingError(DecodingError::Kind::dataCorrupted, "", "");
}

TEST(PairingMessage, EveryCaseRoundTripsAndNamesItsType) {
    const char* names[] = {"PairStart",  "PairCommit",  "PairNonce",  "PairReveal",
                           "PairAccept", "PairConfirm", "PairCancel", "PairRequest"};
    auto messages = oneOfEach();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const auto& m = messages[i];
        std::string text = m.encode();
        EXPECT_EQ(m.typeName(), names[i]);
        EXPECT_EQ(json::Json::parse(text)["type"], names[i]);
        EXPECT_EQ(text.find('\n'), std::string::npos) << "compact text expected";
        PairingMessage back = decodeText(text);
        EXPECT_EQ(back, m) << text;
        EXPECT_EQ(back.value().index(), i);
    }
}

TEST(PairingMessage, KeysAreWrittenInTheFixedOrder) {
    auto messages = oneOfEach();
    EXPECT_EQ(keysInOrder(messages[1].encode()),
              (std::vector<std::string>{"type", "commit", "host_signing_pub", "host_agreement_pub", "host_name"}));
    EXPECT_EQ(keysInOrder(messages[7].encode()),
              (std::vector<std::string>{"type", "mac", "controller_signing_pub", "controller_agreement_pub",
                                        "controller_name", "nonce_c"}));
    EXPECT_EQ(keysInOrder(messages[4].encode()), (std::vector<std::string>{"type", "permissions", "nonce_h", "sig",
                                                                            "host_signing_pub", "host_agreement_pub"}));
    auto permissions = json::OrderedJson::parse(messages[4].encode())["permissions"];
    std::vector<std::string> permissionKeys;
    for (const auto& [key, value] : permissions.items()) permissionKeys.push_back(key);
    EXPECT_EQ(permissionKeys, (std::vector<std::string>{"view", "control", "clipboard", "files", "attendedOnly"}));

    // Readers accept any order.
    auto reordered = decodeText(
        R"({"host_name":"h","host_agreement_pub":"","commit":"AA","type":"PairCommit","host_signing_pub":"AQ"})");
    EXPECT_EQ(reordered, PairingMessage(PairCommit(Bytes{1}, {}, "h", Bytes{0})));
}

TEST(PairingMessage, ByteFieldsAreUnpaddedBase64URL) {
    Bytes key(32, 0xFB);  // standard base64 of these bytes holds "+" and "/"
    std::string text = PairingMessage(PairStart(key, seq(32), "x")).encode();
    auto object = json::Json::parse(text);
    std::string encoded = object["controller_signing_pub"];
    EXPECT_EQ(encoded.size(), 43u);
    EXPECT_EQ(encoded.find_first_of("=+/"), std::string::npos);
    std::string sig = json::Json::parse(PairingMessage(PairConfirm(Bytes(64, 0xFF))).encode())["sig"];
    EXPECT_EQ(sig.size(), 86u);
}

TEST(PairingMessage, ByteFieldDecodingIsLenientAboutPaddingAndAlphabetOnly) {
    for (const char* ok : {"AA", "AA=", "AA=="}) {
        auto m = decodeText(std::string(R"({"type":"PairNonce","n_c":")") + ok + "\"}");
        EXPECT_EQ(m.get<PairNonce>()->nonce, Bytes{0}) << ok;
    }
    EXPECT_EQ(decodeText(R"({"type":"PairNonce","n_c":"-_-_"})").get<PairNonce>()->nonce,
              decodeText(R"({"type":"PairNonce","n_c":"+/+/"})").get<PairNonce>()->nonce);
    EXPECT_TRUE(decodeText(R"({"type":"PairNonce","n_c":""})").get<PairNonce>()->nonce.empty());
    for (const char* bad : {"A", "A A", "AA\\n", "AA===", "*A"}) {
        auto e = decodeFailure(std::string(R"({"type":"PairNonce","n_c":")") + bad + "\"}");
        EXPECT_EQ(e.kind, DecodingError::Kind::dataCorrupted) << bad;
        EXPECT_EQ(e.text, "Invalid base64url value") << bad;
    }
}

TEST(PairingMessage, PairAcceptHostKeysAreOptionalNeverNull) {
    PairAccept bare(PeerPermissions::defaults(), seq(32), seq(64), std::nullopt, std::nullopt);
    std::string text = PairingMessage(bare).encode();
    EXPECT_EQ(text.find("host_signing_pub"), std::string::npos);
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_EQ(decodeText(text), PairingMessage(bare));

    auto object = json::Json::parse(text);
    object["host_signing_pub"] = nullptr;
    object["host_agreement_pub"] = nullptr;
    EXPECT_EQ(decodeText(object.dump()), PairingMessage(bare));

    object["host_agreement_pub"] = "not base64!";
    EXPECT_EQ(decodeFailure(object.dump()).text, "Invalid base64url value");

    PairAccept half = bare;
    half.hostSigningPub = seq(32);
    EXPECT_NE(PairingMessage(half), PairingMessage(bare));
}

TEST(PairingMessage, MissingOrMistypedMembersFail) {
    auto accept = json::Json::parse(oneOfEach()[4].encode());
    accept["permissions"].erase("attendedOnly");
    EXPECT_EQ(decodeFailure(accept.dump()).kind, DecodingError::Kind::keyNotFound);

    accept = json::Json::parse(oneOfEach()[4].encode());
    accept["permissions"]["view"] = 1;
    EXPECT_EQ(decodeFailure(accept.dump()).kind, DecodingError::Kind::typeMismatch);

    EXPECT_EQ(decodeText(R"({"type":"PairNonce","n_c":"AA","extra":[1,2]})"), PairingMessage(PairNonce(Bytes{0})));
    auto missing = decodeFailure(R"({"type":"PairNonce"})");
    EXPECT_EQ(missing.kind, DecodingError::Kind::keyNotFound);
    EXPECT_EQ(missing.key, "n_c");
    EXPECT_EQ(decodeFailure(R"({"type":"PairCancel","reason":null})").kind, DecodingError::Kind::valueNotFound);
    EXPECT_EQ(decodeFailure(R"({"type":"PairCancel","reason":5})").kind, DecodingError::Kind::typeMismatch);
}

TEST(PairingMessage, TypeDispatchIsExact) {
    auto unknown = decodeFailure(R"({"type":"pairStart","controller_signing_pub":"","controller_agreement_pub":"",
                                     "controller_name":""})");
    EXPECT_EQ(unknown.kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(unknown.description(), "Unknown pairing type pairStart");
    EXPECT_EQ(decodeFailure(R"({"n_c":"AA"})").kind, DecodingError::Kind::keyNotFound);
    EXPECT_EQ(decodeFailure(R"({"type":7})").kind, DecodingError::Kind::typeMismatch);
    EXPECT_EQ(decodeFailure(R"(["PairNonce"])").kind, DecodingError::Kind::typeMismatch);
    EXPECT_EQ(decodeFailure("{\"type\":").kind, DecodingError::Kind::dataCorrupted);
}

TEST(PairingHelpers, DecodeTurnsFailuresAndCancelsIntoPairingErrors) {
    try {
        decodePairingMessage(toBytes(R"({"type":"PairCancel","reason":"pairing failed"})"));
        FAIL() << "a PairCancel must not come back as a message";
    } catch (const PairingError& e) {
        EXPECT_EQ(e, PairingError::remoteCancelled("pairing failed"));
    }
    try {
        decodePairingMessage(toBytes(R"({"type":"PairHello"})"));
        FAIL();
    } catch (const PairingError& e) {
        EXPECT_EQ(e, PairingError::invalidMessage("Unknown pairing type PairHello"));
    }
    EXPECT_TRUE(decodePairingMessage(toBytes(R"({"type":"PairReveal","n_h":""})")).is<PairReveal>());
}

TEST(PairingHelpers, PeerKeysMustBeWellFormed) {
    // A real Ed25519 public key (RFC 8032 test 1) and any 32 agreement bytes pass.
    Bytes signing = *fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    Bytes agreement(32, 0x42);
    EXPECT_NO_THROW(validatePeerKeys(signing, agreement));

    const PairingError bad(PairingError::Kind::invalidKeyMaterial);
    auto check = [&](const Bytes& s, const Bytes& a) {
        try {
            validatePeerKeys(s, a);
            ADD_FAILURE() << "accepted " << hexString(s) << " / " << hexString(a);
        } catch (const PairingError& e) {
            EXPECT_EQ(e, bad);
        }
    };
    check(Bytes(signing.begin(), signing.end() - 1), agreement);
    check(signing, Bytes(31, 1));
    check(signing, Bytes(33, 1));
    check({}, agreement);
    check(Bytes(32, 0xFF), agreement);  // not a point on the curve
    Bytes identityPoint(32, 0);
    identityPoint[0] = 1;
    check(identityPoint, agreement);  // small order
}

}  // namespace
}  // namespace quill
