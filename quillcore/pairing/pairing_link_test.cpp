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

TEST(PairingLink, PrintsTheFixedFormAndParsesBackAllButTheIssueTime) {
    PairingLink link = hostLink({"192.168.1.20:50123", "[fe80::1%en0]:50123"});
    EXPECT_EQ(link.url(), "quillmate://pair?v=0&id=" + link.deviceID.digits + "&fp=" + Base64URL::encode(link.fingerprint) +
                              "&s=" + Base64URL::encode(link.secret) + "&ep=192.168.1.20:50123,%5Bfe80::1%25en0%5D:50123");
    EXPECT_EQ(hostLink({}).url().find("ep="), std::string::npos);

    for (const auto& endpoints : {std::vector<std::string>{"10.0.0.2:4000", "[fe80::1%en0]:5000", "odd&name=+x"},
                                  std::vector<std::string>{}}) {
        PairingLink original = hostLink(endpoints);
        auto parsed = parse(original.url());
        ASSERT_TRUE(parsed);
        EXPECT_FALSE(parsed->issuedAt);
        original.issuedAt.reset();
        EXPECT_EQ(*parsed, original);  // version, device ID, fingerprint, secret and endpoints
    }
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
    const std::string base = "quillmate://pair?", id = "&id=" + link.deviceID.digits,
                      fp = "&fp=" + Base64URL::encode(link.fingerprint), s = "&s=" + Base64URL::encode(link.secret);
    std::string wrongCheck = link.deviceID.digits;
    wrongCheck.back() = wrongCheck.back() == '9' ? '0' : static_cast<char>(wrongCheck.back() + 1);
    const std::string spaced = link.deviceID.digits.substr(0, 3) + "%20" + link.deviceID.digits.substr(3);

    // Any spelling of version 0; the first v counts; order is free and unknown items are
    // ignored; the device ID may be typed with blanks.
    for (const std::string& good : {base + "v=0" + id + fp + s, base + "v=00" + id + fp + s, base + "v=+0" + id + fp + s,
                                    base + "v=-0" + id + fp + s, base + "v=" + std::string(33, '0') + id + fp + s,
                                    base + "v=0&v=1" + id + fp + s, base + s.substr(1) + "&zz=1" + fp + "&v=0" + id,
                                    base + "v=0&id=" + spaced + fp + s})
        EXPECT_TRUE(parse(good)) << good;
    std::vector<std::string> bad;
    for (const char* v : {"1", "", "0.0", " 0", "0x0", "+", "--0", "99999999999999999999"})
        bad.push_back(base + "v=" + v + id + fp + s);
    for (const std::string& rest :
         {"v" + id + fp + s, id.substr(1) + fp + s, "v=1&v=0" + id + fp + s, "v=0&id=" + wrongCheck + fp + s,
          "v=0" + id + s, "v=0" + id + fp, "v=0" + id + "&fp=" + Base64URL::encode(Bytes(31, 1)) + s,
          "v=0" + id + fp + "&s=" + Base64URL::encode(Bytes(15, 1)),
          "v=0" + id + fp + "&s=" + Base64URL::encode(Bytes(17, 1)), "v=0" + id + fp + "&s=!!!!"})
        bad.push_back(base + rest);
    for (const std::string& url : bad) {
        std::string problem;
        EXPECT_FALSE(PairingLink::fromURL(url, &problem)) << url;
        EXPECT_FALSE(problem.empty()) << url;
    }
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

TEST(PairingLink, ExpiresAtExactlyItsLifetimeWithAFreshSecret) {
    PairingLink link = hostLink();
    SystemTime t = *link.issuedAt;
    EXPECT_FALSE(link.isExpired(t + std::chrono::milliseconds(299'900)));
    EXPECT_TRUE(link.isExpired(t + 300s));
    EXPECT_FALSE(link.isExpired(t - 1000s));
    EXPECT_TRUE(link.isExpired(t + 10s, 10.0));
    EXPECT_FALSE(parse(link.url())->isExpired(t + 100000s));

    EXPECT_EQ(link.secret.size(), 16u);
    EXPECT_NE(link.secret, PairingLink::makeSecret());
}

}  // namespace
}  // namespace quill
