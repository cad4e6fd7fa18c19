#include "quillcore/pairing/pairing_link.h"

#include <gtest/gtest.h>

#include "quillcore/base/base64.h"

namespace quill {
namespace {

using namespace std::chrono_literals;

Bytes fingerprint() {
    Bytes fp(32);
    for (std::size_t i = 0; i < fp.size(); ++i) fp[i] = static_cast<std::uint8_t>(0xF0 + i * 13);
    return fp;
}

PairingLink hostLink(std::vector<std::string> endpoints = {"192.168.1.20:50123"}) {
    Bytes fp = fingerprint();
    return PairingLink(0, DeviceID::fromFingerprint(fp), fp, PairingLink::makeSecret(), std::move(endpoints),
                       SystemTime(1'700'000'000s));
}

std::string query(const PairingLink& link) { return link.url().substr(std::string("quillmate://pair?").size()); }

std::optional<PairingLink> parse(const std::string& url) { return PairingLink::fromURL(url); }

TEST(PairingLink, UrlHasTheFixedForm) {
    PairingLink link = hostLink({"192.168.1.20:50123", "[fe80::1%en0]:50123"});
    std::string expected = "quillmate://pair?v=0&id=" + link.deviceID.digits + "&fp=" +
                           Base64URL::encode(link.fingerprint) + "&s=" + Base64URL::encode(link.secret) +
                           "&ep=192.168.1.20:50123,%5Bfe80::1%25en0%5D:50123";
    EXPECT_EQ(link.url(), expected);
    EXPECT_EQ(hostLink({}).url().find("ep="), std::string::npos);
}

TEST(PairingLink, ParsingGivesBackEverythingButTheIssueTime) {
    PairingLink link = hostLink({"10.0.0.2:4000", "[fe80::1%en0]:5000", "odd&name=+x"});
    auto parsed = parse(link.url());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->version, 0);
    EXPECT_EQ(parsed->deviceID, link.deviceID);
    EXPECT_EQ(parsed->fingerprint, link.fingerprint);
    EXPECT_EQ(parsed->secret, link.secret);
    EXPECT_EQ(parsed->endpoints, link.endpoints);
    EXPECT_FALSE(parsed->issuedAt);
    EXPECT_NE(*parsed, link);
    PairingLink withoutTime = link;
    withoutTime.issuedAt.reset();
    EXPECT_EQ(*parsed, withoutTime);

    auto none = parse(hostLink({}).url());
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->endpoints.empty());
}

TEST(PairingLink, RefusesOtherSchemesHostsAndPaths) {
    std::string q = query(hostLink());
    EXPECT_TRUE(parse("quillmate://pair?" + q));
    EXPECT_TRUE(parse("quillmate://pair/?" + q));
    EXPECT_TRUE(parse("quillmate://pair?" + q + "#frag"));
    for (const std::string& bad : std::vector<std::string>{"QUILLMATE://pair?" + q, "quillmat://pair?" + q, "quillmate://Pair?" + q,
                            "quillmate://pairing?" + q, "quillmate://pair/x?" + q, "quillmate:pair?" + q,
                            "quillmate://pair", "quillmate://pair?", "//pair?" + q, "pair?" + q, "",
                            "quillmate://pair?" + q + " ", "quillmate://pair?" + q + "&x=%zz",
                            "quillmate://pair?" + q + "&x=%4", "quillmate://pair?" + q + "&x=[1]",
                            "quillmate://pair:x?" + q, "quillmate://[pair?" + q}) {
        std::string problem;
        EXPECT_FALSE(PairingLink::fromURL(bad, &problem)) << bad;
        EXPECT_FALSE(problem.empty()) << bad;
    }
}

TEST(PairingLink, ChecksVersionIdFingerprintAndSecret) {
    PairingLink link = hostLink();
    std::string id = "&id=" + link.deviceID.digits;
    std::string fp = "&fp=" + Base64URL::encode(link.fingerprint);
    std::string s = "&s=" + Base64URL::encode(link.secret);
    std::string base = "quillmate://pair?";

    for (std::string v : std::vector<std::string>{"0", "00", "+0", "-0", "000000000000000000000000000000000"})
        EXPECT_TRUE(parse(base + "v=" + v + id + fp + s)) << v;
    for (std::string v : std::vector<std::string>{"1", "", "0.0", " 0", "0x0", "+", "--0", "99999999999999999999"})
        EXPECT_FALSE(parse(base + "v=" + v + id + fp + s)) << v;
    EXPECT_FALSE(parse(base + "v" + id + fp + s));
    EXPECT_FALSE(parse(base + id.substr(1) + fp + s));
    EXPECT_TRUE(parse(base + "v=0&v=1" + id + fp + s));
    EXPECT_FALSE(parse(base + "v=1&v=0" + id + fp + s));

    // The device ID may be typed with blanks (%20) but must carry a valid check digit.
    std::string spaced = link.deviceID.digits.substr(0, 3) + "%20" + link.deviceID.digits.substr(3);
    EXPECT_TRUE(parse(base + "v=0&id=" + spaced + fp + s));
    std::string wrong = link.deviceID.digits;
    wrong.back() = wrong.back() == '9' ? '0' : static_cast<char>(wrong.back() + 1);
    EXPECT_FALSE(parse(base + "v=0&id=" + wrong + fp + s));

    EXPECT_FALSE(parse(base + "v=0" + id + s));
    EXPECT_FALSE(parse(base + "v=0" + id + fp));
    EXPECT_FALSE(parse(base + "v=0" + id + "&fp=" + Base64URL::encode(Bytes(31, 1)) + s));
    EXPECT_FALSE(parse(base + "v=0" + id + fp + "&s=" + Base64URL::encode(Bytes(15, 1))));
    EXPECT_FALSE(parse(base + "v=0" + id + fp + "&s=" + Base64URL::encode(Bytes(17, 1))));
    EXPECT_FALSE(parse(base + "v=0" + id + fp + "&s=" + "!!!!"));

    // Order does not matter and unknown items are ignored.
    EXPECT_TRUE(parse(base + s.substr(1) + "&zz=1" + fp + "&v=0" + id));
}

TEST(PairingLink, EndpointsSplitOnCommasAfterDecoding) {
    std::string q = query(hostLink({}));
    auto eps = [&](const std::string& tail) {
        auto link = parse("quillmate://pair?" + q + tail);
        return link ? link->endpoints : std::vector<std::string>{"<none>"};
    };
    EXPECT_EQ(eps("&ep=a,,b,"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(eps("&ep"), std::vector<std::string>{});
    EXPECT_EQ(eps("&ep="), std::vector<std::string>{});
    EXPECT_EQ(eps("&ep=%20a%20"), std::vector<std::string>{" a "});
    EXPECT_EQ(eps("&ep=1+2"), std::vector<std::string>{"1+2"});
    EXPECT_EQ(eps("&ep=a&ep=b"), std::vector<std::string>{"a"});
    EXPECT_EQ(eps("&ep=%FF"), std::vector<std::string>{"<none>"});  // not UTF-8
}

TEST(PairingLink, ExpiresAtExactlyItsLifetime) {
    PairingLink link = hostLink();
    SystemTime t = *link.issuedAt;
    EXPECT_FALSE(link.isExpired(t + std::chrono::milliseconds(299'900)));
    EXPECT_TRUE(link.isExpired(t + 300s));
    EXPECT_FALSE(link.isExpired(t - 1000s));
    EXPECT_TRUE(link.isExpired(t + 10s, 10.0));
    EXPECT_FALSE(parse(link.url())->isExpired(t + 100000s));
}

TEST(PairingLink, SecretsAreFreshSixteenBytes) {
    Bytes a = PairingLink::makeSecret(), b = PairingLink::makeSecret();
    EXPECT_EQ(a.size(), 16u);
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace quill
