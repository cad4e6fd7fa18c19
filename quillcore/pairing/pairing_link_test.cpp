#include "quillcore/pairing/pairing_link.h"

#include <gtest/gtest.h>

#include "quillcore/base/base64.h"

namespace quill {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

PairingLink hostLink(std::vector<std::string> endpoints = {}) {
    Bytes fp(32);
    for (std::size_t i = 0; i < fp.size(); ++i) fp[i] = static_cast<std::uint8_t>(0xF0 + i * 13);
    return PairingLink(0, DeviceID::fromFingerprint(fp), fp, PairingLink::makeSecret(), std::move(endpoints),
                       SystemTime(1'700'000'000s));
}

TEST(PairingLink, PrintsTheFixedFormAndParsesBackAllButTheIssueTime) {
    const PairingLink link = hostLink({"192.168.1.20:50123", "[fe80::1%en0]:50123", "odd&name=+x"});
    EXPECT_EQ(link.url(), "quillmate://pair?v=0&id=" + link.deviceID.digits + "&fp=" +
                              Base64URL::encode(link.fingerprint) + "&s=" + Base64URL::encode(link.secret) +
                              "&ep=192.168.1.20:50123,%5Bfe80::1%25en0%5D:50123,odd%26name%3D%2Bx");
    EXPECT_EQ(hostLink().url().find("ep="), std::string::npos);
    for (PairingLink original : {link, hostLink()}) {
        auto parsed = PairingLink::fromURL(original.url());
        ASSERT_TRUE(parsed);
        EXPECT_FALSE(parsed->issuedAt);
        original.issuedAt.reset();
        EXPECT_EQ(*parsed, original);  // version, device ID, fingerprint, secret and endpoints
    }
}

// Only a quillmate://pair link of version 0 with a valid device ID, a 32-byte fingerprint and a
// 16-byte secret is taken; the order of items is free, unknown ones are ignored and the first of
// a name counts; the device ID may be typed with blanks. A refusal says why.
TEST(PairingLink, TakesOnlyWellFormedLinks) {
    const PairingLink link = hostLink();
    const std::string p = "quillmate://pair?", id = "&id=" + link.deviceID.digits,
                      fp = "&fp=" + Base64URL::encode(link.fingerprint), s = "&s=" + Base64URL::encode(link.secret),
                      all = id + fp + s, q = "v=0" + all;
    std::string wrongCheck = link.deviceID.digits;
    wrongCheck.back() = wrongCheck.back() == '9' ? '0' : static_cast<char>(wrongCheck.back() + 1);
    const std::string spaced = link.deviceID.digits.substr(0, 3) + "%20" + link.deviceID.digits.substr(3);
    for (const std::string& good :
         {p + q, "quillmate://pair/?" + q, p + q + "#frag", p + "v=00" + all, p + "v=+0" + all, p + "v=-0" + all,
          p + "v=" + std::string(33, '0') + all, p + "v=0&v=1" + all, p + s.substr(1) + "&zz=1" + fp + "&v=0" + id,
          p + "v=0&id=" + spaced + fp + s})
        EXPECT_TRUE(PairingLink::fromURL(good)) << good;
    const std::string notURL = "the text is not a well-formed URL", scheme = "the scheme is not \"quillmate\"",
                      host = "the host is not \"pair\"", noVersion = "the version is missing",
                      notZero = "the version is not 0", badFp = "the fingerprint is missing or not 32 bytes",
                      badSecret = "the secret is missing or not 16 bytes";
    std::vector<std::pair<std::string, std::string>> bad{
        {"QUILLMATE://pair?" + q, scheme}, {"quillmat://pair?" + q, scheme}, {"//pair?" + q, scheme},
        {"pair?" + q, scheme}, {"", scheme}, {"quillmate://Pair?" + q, host}, {"quillmate://pairing?" + q, host},
        {"quillmate:pair?" + q, host}, {"quillmate://pair/x?" + q, "the URL has a path"},
        {"quillmate://pair", "the URL has no query"}, {p, noVersion}, {p + "v" + all, noVersion},
        {p + id.substr(1) + fp + s, noVersion}, {p + "v=1&v=0" + all, notZero},
        {p + "v=0" + fp + s, "the device ID is missing"},
        {p + "v=0&id=" + wrongCheck + fp + s, "the device ID is not valid"}, {p + "v=0" + id + s, badFp},
        {p + "v=0" + id + "&fp=" + Base64URL::encode(Bytes(31, 1)) + s, badFp}, {p + "v=0" + id + fp, badSecret},
        {p + "v=0" + id + fp + "&s=" + Base64URL::encode(Bytes(15, 1)), badSecret},
        {p + "v=0" + id + fp + "&s=" + Base64URL::encode(Bytes(17, 1)), badSecret},
        {p + "v=0" + id + fp + "&s=!!!!", badSecret}, {p + q + " ", notURL}, {p + q + "&x=%zz", notURL},
        {p + q + "&x=%z4", notURL}, {p + q + "&x=%4", notURL}, {p + q + "&x=[1]", notURL}, {p + q + "#a#b", notURL},
        {"quillmate://pair:x?" + q, notURL}, {"quillmate://[pair?" + q, notURL}, {p + "v= 0" + all, notURL}};
    for (const char* v : {"1", "", "0.0", "0x0", "+", "--0", "99999999999999999999"})
        bad.emplace_back(p + "v=" + v + all, notZero);
    // A character no URL may hold, in an item the link otherwise ignores.
    for (const std::string& c : {" "s, "<"s, "\""s, "{"s, "\\"s, "^"s, "`"s, "|"s, "\x7F"s, "\xC3\xA9"s, "\0"s})
        bad.emplace_back(p + q + "&zz=a" + c + "b", notURL);
    for (const auto& [url, why] : bad) {
        std::string problem;
        EXPECT_FALSE(PairingLink::fromURL(url, &problem)) << url;
        EXPECT_EQ(problem, why) << url;
    }
}

TEST(PairingLink, EndpointsSplitOnCommasAfterDecoding) {
    const std::string base = hostLink().url();
    auto endpoints = [&](const std::string& tail) {
        auto link = PairingLink::fromURL(base + tail);
        return link ? link->endpoints : std::vector<std::string>{"<refused>"};
    };
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"&ep=a,,b,", {"a", "b"}},
        {"&ep", {}},
        {"&ep=", {}},
        {"&ep=%20a%20", {" a "}},
        {"&ep=1+2", {"1+2"}},
        {"&ep=a&ep=b", {"a"}},
        {"&ep=%C3%A9", {"\xC3\xA9"}},
        {"&ep=%FF", {"<refused>"}},        // not UTF-8
        {"&ep=%C1%BF", {"<refused>"}},     // overlong
        {"&ep=%ED%A0%80", {"<refused>"}},  // a surrogate
    };
    for (const auto& [tail, expected] : cases) EXPECT_EQ(endpoints(tail), expected) << tail;
}

TEST(PairingLink, ExpiresAtExactlyItsLifetime) {
    const PairingLink link = hostLink();
    const SystemTime t = *link.issuedAt;
    EXPECT_FALSE(link.isExpired(t + 299'900ms));
    EXPECT_TRUE(link.isExpired(t + 300s));
    EXPECT_TRUE(link.isExpired(t + 10s, 10.0));
    EXPECT_FALSE(PairingLink::fromURL(link.url())->isExpired(t + 100000s)) << "a scanned link has no issue time";
}

}  // namespace
}  // namespace quill
