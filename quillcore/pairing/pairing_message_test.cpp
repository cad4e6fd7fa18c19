#include "quillcore/pairing/pairing_message.h"

#include <gtest/gtest.h>

#include <vector>

#include "quillcore/pairing/pairing_test_support.h"

namespace quill {
namespace {

using pairing_test::pairingErrorOf;

Bytes seq(std::size_t size, std::uint8_t start = 0) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(start + i * 7);
    return out;
}

std::vector<PairingMessage> oneOfEach() {
    return {
        PairStart(seq(32, 1), seq(32, 2), "Ana's iPad"),
        PairCommit(seq(32, 3), seq(32, 4), "Büro-Mac", seq(32, 5)),
        PairNonce(seq(32, 6)),
        PairReveal(seq(32, 7)),
        PairAccept(PeerPermissions{true, false, true, true, false}, seq(32, 8), seq(64, 9), seq(32, 10), seq(32, 11)),
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

TEST(PairingMessage, KeysAreWrittenInTheFixedOrderAndReadInAny) {
    auto messages = oneOfEach();
    EXPECT_EQ(keysInOrder(messages[1].encode()),
              (std::vector<std::string>{"type", "commit", "host_signing_pub", "host_agreement_pub", "host_name"}));
    EXPECT_EQ(keysInOrder(messages[7].encode()),
              (std::vector<std::string>{"type", "mac", "controller_signing_pub", "controller_agreement_pub",
                                        "controller_name", "nonce_c"}));
    EXPECT_EQ(keysInOrder(messages[4].encode()), (std::vector<std::string>{"type", "permissions", "nonce_h", "sig",
                                                                            "host_signing_pub", "host_agreement_pub"}));

    auto reordered = decodeText(
        R"({"host_name":"h","host_agreement_pub":"","commit":"AA","type":"PairCommit","host_signing_pub":"AQ"})");
    EXPECT_EQ(reordered, PairingMessage(PairCommit(Bytes{1}, {}, "h", Bytes{0})));
}

TEST(PairingMessage, ByteFieldsAreBase64URLWrittenUnpaddedReadLeniently) {
    Bytes key(32, 0xFB);  // standard base64 of these bytes holds "+" and "/"
    std::string encoded = json::Json::parse(PairingMessage(PairStart(key, seq(32), "x")).encode())["controller_signing_pub"];
    EXPECT_EQ(encoded.size(), 43u);
    EXPECT_EQ(encoded.find_first_of("=+/"), std::string::npos);

    auto nonceOf = [](const std::string& field) {
        return decodeText(R"({"type":"PairNonce","n_c":")" + field + "\"}").get<PairNonce>()->nonce;
    };
    for (const char* ok : {"AA", "AA=", "AA=="}) EXPECT_EQ(nonceOf(ok), Bytes{0}) << ok;
    EXPECT_EQ(nonceOf("-_-_"), nonceOf("+/+/"));
    EXPECT_TRUE(nonceOf("").empty());
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

    auto object = json::Json::parse(text);
    object["host_signing_pub"] = nullptr;
    object["host_agreement_pub"] = nullptr;
    EXPECT_EQ(decodeText(object.dump()), PairingMessage(bare));
    object["host_agreement_pub"] = "not base64!";
    EXPECT_EQ(decodeFailure(object.dump()).text, "Invalid base64url value");
}

TEST(PairingMessage, MalformedMessagesFailWithTheirKind) {
    using K = DecodingError::Kind;
    const std::pair<std::string, K> cases[] = {
        {R"({"type":"PairNonce"})", K::keyNotFound},
        {R"({"type":"PairCancel","reason":null})", K::valueNotFound},
        {R"({"type":"PairCancel","reason":5})", K::typeMismatch},
        {R"({"n_c":"AA"})", K::keyNotFound},
        {R"({"type":7})", K::typeMismatch},
        {R"(["PairNonce"])", K::typeMismatch},
        {"{\"type\":", K::dataCorrupted},
        {R"({"type":"pairStart","controller_signing_pub":"","controller_agreement_pub":"","controller_name":""})",
         K::dataCorrupted},
    };
    for (const auto& [text, kind] : cases) EXPECT_EQ(decodeFailure(text).kind, kind) << text;
    EXPECT_EQ(decodeFailure(R"({"type":"PairNonce"})").key, "n_c");
    EXPECT_EQ(decodeFailure(R"({"type":"pairStart"})").description(), "Unknown pairing type pairStart");
    // Unknown members are ignored.
    EXPECT_EQ(decodeText(R"({"type":"PairNonce","n_c":"AA","extra":[1,2]})"), PairingMessage(PairNonce(Bytes{0})));
}

TEST(PairingHelpers, DecodeTurnsFailuresAndCancelsIntoPairingErrors) {
    auto errorOf = [](const char* text) { return pairingErrorOf([&] { decodePairingMessage(toBytes(text)); }); };
    EXPECT_EQ(errorOf(R"({"type":"PairCancel","reason":"pairing failed"})"),
              PairingError::remoteCancelled("pairing failed"));
    EXPECT_EQ(errorOf(R"({"type":"PairHello"})"), PairingError::invalidMessage("Unknown pairing type PairHello"));
    EXPECT_TRUE(decodePairingMessage(toBytes(R"({"type":"PairReveal","n_h":""})")).is<PairReveal>());
}

TEST(PairingHelpers, PeerKeysMustBeWellFormed) {
    // A real Ed25519 public key (RFC 8032 test 1) and any 32 agreement bytes pass.
    Bytes signing = *fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    Bytes agreement(32, 0x42);
    EXPECT_NO_THROW(validatePeerKeys(signing, agreement));

    Bytes identityPoint(32, 0);
    identityPoint[0] = 1;
    const std::pair<Bytes, Bytes> bad[] = {
        {Bytes(signing.begin(), signing.end() - 1), agreement},
        {signing, Bytes(31, 1)},
        {signing, Bytes(33, 1)},
        {{}, agreement},
        {Bytes(32, 0xFF), agreement},  // not a point on the curve
        {identityPoint, agreement},    // small order
    };
    for (const auto& keys : bad)
        EXPECT_EQ(pairingErrorOf([&] { validatePeerKeys(keys.first, keys.second); }),
                  PairingError(PairingError::Kind::invalidKeyMaterial))
            << hexString(keys.first) << " / " << hexString(keys.second);
}

}  // namespace
}  // namespace quill
