#include "quillcore/pairing/pairing_message.h"

#include <gtest/gtest.h>

#include "quillcore/pairing/pairing_test_support.h"

namespace quill {
namespace {

PairingMessage decodeText(const std::string& text) { return PairingMessage::decode(toBytes(text)); }

const PeerPermissions granted{true, false, true, true, false};
const std::string acceptText =
    R"({"type":"PairAccept","permissions":{"view":true,"control":false,"clipboard":true,"files":true,)"
    R"("attendedOnly":false},)";

// The exact text of each message (keys in a fixed order, byte fields as unpadded base64url, a
// PairAccept's absent host keys left out), its type name, and the way back.
TEST(PairingMessage, EachCaseHasItsExactText) {
    const Bytes a{0xFB, 0xFF}, b{1}, c{2, 3};  // a is "-_8": standard base64 would use "+" and "/"
    const std::pair<PairingMessage, std::string> cases[] = {
        {PairStart(a, b, "Ana's iPad"),
         R"({"type":"PairStart","controller_signing_pub":"-_8","controller_agreement_pub":"AQ",)"
         R"("controller_name":"Ana's iPad"})"},
        {PairCommit(a, b, "Büro-Mac", c),
         R"({"type":"PairCommit","commit":"AgM","host_signing_pub":"-_8","host_agreement_pub":"AQ",)"
         R"("host_name":"Büro-Mac"})"},
        {PairNonce(a), R"({"type":"PairNonce","n_c":"-_8"})"},
        {PairReveal(b), R"({"type":"PairReveal","n_h":"AQ"})"},
        {PairAccept(granted, a, b, c, std::nullopt),
         acceptText + R"("nonce_h":"-_8","sig":"AQ","host_signing_pub":"AgM"})"},
        {PairAccept(granted, a, b, std::nullopt, c),
         acceptText + R"("nonce_h":"-_8","sig":"AQ","host_agreement_pub":"AgM"})"},
        {PairConfirm(c), R"({"type":"PairConfirm","sig":"AgM"})"},
        {PairCancel("QR pairing failed"), R"({"type":"PairCancel","reason":"QR pairing failed"})"},
        {PairRequest(a, b, "ctl \"quoted\"", c, a),
         R"({"type":"PairRequest","mac":"-_8","controller_signing_pub":"-_8","controller_agreement_pub":"AQ",)"
         R"("controller_name":"ctl \"quoted\"","nonce_c":"AgM"})"},
    };
    for (const auto& [message, text] : cases) {
        EXPECT_EQ(message.encode(), text);
        EXPECT_EQ(decodeText(text), message) << text;
        EXPECT_EQ(message.typeName(), json::Json::parse(text)["type"]);
    }
}

// Readers take keys in any order, null for an absent host key, and pass over unknown keys; a
// message that does not fit fails with the member concerned.
TEST(PairingMessage, ReadsAnyOrderAndRefusesWhatDoesNotFit) {
    EXPECT_EQ(decodeText(R"({"host_name":"h","host_agreement_pub":"","commit":"AA","type":"PairCommit",)"
                         R"("host_signing_pub":"AQ","extra":[1,2]})"),
              PairingMessage(PairCommit(Bytes{1}, {}, "h", Bytes{0})));
    const std::string accept = acceptText + R"("nonce_h":"AA","sig":"AQ",)";
    EXPECT_EQ(decodeText(accept + R"("host_signing_pub":null,"host_agreement_pub":null})"),
              PairingMessage(PairAccept(granted, Bytes{0}, Bytes{1}, std::nullopt, std::nullopt)));
    // Byte fields are read leniently: padding and the standard alphabet are taken too.
    EXPECT_EQ(decodeText(R"({"type":"PairNonce","n_c":"+/8="})"), PairingMessage(PairNonce(Bytes{0xFB, 0xFF})));
    EXPECT_EQ(decodeText(acceptText + R"("nonce_h":"AA==","sig":"AQ==","host_signing_pub":"/w=="})"),
              PairingMessage(PairAccept(granted, Bytes{0}, Bytes{1}, Bytes{0xFF}, std::nullopt)));

    using K = DecodingError::Kind;
    const std::pair<std::string, DecodingError> cases[] = {
        {R"({"type":"PairNonce"})", DecodingError(K::keyNotFound, "n_c", "")},
        {R"({"n_c":"AA"})", DecodingError(K::keyNotFound, "type", "")},
        {R"({"type":"pairStart"})", DecodingError(K::dataCorrupted, "", "Unknown pairing type pairStart")},
        {R"({"type":"PairNonce","n_c":"*A"})", DecodingError(K::dataCorrupted, "n_c", "Invalid base64url value")},
        {R"({"type":"PairReveal","n_h":"AA==="})", DecodingError(K::dataCorrupted, "n_h", "Invalid base64url value")},
        {accept + R"("host_agreement_pub":"*"})",
         DecodingError(K::dataCorrupted, "host_agreement_pub", "Invalid base64url value")},
    };
    for (const auto& [text, error] : cases) {
        try {
            decodeText(text);
            ADD_FAILURE() << "decoded: " << text;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e, error) << text << ": " << e.key << " " << e.text;
        }
    }
}

TEST(PairingHelpers, PeerKeysMustBeWellFormed) {
    // A real Ed25519 public key (RFC 8032 test 1) and any 32 agreement bytes pass.
    const Bytes signing = *fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    const Bytes agreement(32, 0x42);
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
        EXPECT_EQ(pairing_test::pairingErrorOf([&] { validatePeerKeys(keys.first, keys.second); }),
                  PairingError(PairingError::Kind::invalidKeyMaterial))
            << hexString(keys.first) << " / " << hexString(keys.second);
}

}  // namespace
}  // namespace quill
