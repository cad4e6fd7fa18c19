#include <gtest/gtest.h>

#include "quillcore/net/dnssd.h"

using namespace quill::dnssd;

TEST(DnsSdLimits, TruncationNeverSplitsACharacter) {
    EXPECT_EQ(truncateUtf8("short", 63), "short");
    EXPECT_EQ(truncateUtf8("abcdef", 3), "abc");
    // "é" is two bytes: a cut in its middle drops it whole.
    const std::string accents = "\xC3\xA9\xC3\xA9\xC3\xA9";
    EXPECT_EQ(truncateUtf8(accents, 5), "\xC3\xA9\xC3\xA9");
    EXPECT_EQ(truncateUtf8(accents, 4), "\xC3\xA9\xC3\xA9");
    // A four-byte character at the limit.
    const std::string emoji = "ab\xF0\x9F\x98\x80";
    EXPECT_EQ(truncateUtf8(emoji, 5), "ab");
    EXPECT_EQ(truncateUtf8(emoji, 6), emoji);
    std::string longName;
    for (int i = 0; i < 40; ++i) longName += "\xC3\xA9";  // 80 bytes
    const auto cut = truncateUtf8(longName, kMaxInstanceNameBytes);
    EXPECT_EQ(cut.size(), 62u);
    EXPECT_TRUE(isValidUtf8(cut));
}

TEST(DnsSdLimits, Utf8Validation) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("Zoë's \xE2\x82\xAC \xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUtf8("\xFF"));
    EXPECT_FALSE(isValidUtf8("\xC3"));              // cut short
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
}

TEST(DnsSdLimits, InstanceNamesAreUtf8WithinOneLabel) {
    EXPECT_EQ(instanceName("Desk"), "Desk");
    EXPECT_EQ(instanceName("Bad \xFF\xFE name"), "Bad \xEF\xBF\xBD\xEF\xBF\xBD name");
    EXPECT_EQ(instanceName("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
    EXPECT_EQ(instanceName(std::string(70, 'a')), std::string(63, 'a'));
    EXPECT_EQ(instanceName(std::string(61, 'a') + "\xFF"), std::string(61, 'a'));  // U+FFFD does not fit
}

TEST(TxtRecord, AddKeepsEachStringWithinOneTxtString) {
    TxtRecord txt;
    txt.add("v", "0");
    std::string longValue;
    for (int i = 0; i < 200; ++i) longValue += "\xC3\xA9";  // 400 bytes
    txt.add("name", longValue);
    ASSERT_EQ(txt.strings().size(), 2u);
    EXPECT_EQ(txt.strings()[0], "v=0");
    const auto& name = txt.strings()[1];
    EXPECT_LE(name.size(), kMaxTxtStringBytes);
    EXPECT_GE(name.size(), kMaxTxtStringBytes - 1);
    ASSERT_TRUE(txt.text("name"));
    EXPECT_TRUE(isValidUtf8(*txt.text("name")));
    EXPECT_EQ(longValue.rfind(*txt.text("name"), 0), 0u);  // a prefix of the original
}

TEST(TxtRecord, TextLookupFollowsTxtRules) {
    TxtRecord txt({"FP=abc", "flag", "empty=", "bin=\xFF\xFE", "fp=second", "name=a=b"});
    EXPECT_EQ(txt.text("fp"), "abc");  // case-insensitive key, first entry wins
    EXPECT_FALSE(txt.text("flag"));    // present, but no value
    EXPECT_EQ(txt.text("empty"), "");
    EXPECT_FALSE(txt.text("bin"));     // a value, but not text
    EXPECT_EQ(txt.text("name"), "a=b");
    EXPECT_FALSE(txt.text("missing"));
    EXPECT_FALSE(txt.text("f"));
}

namespace {

ResolvedService service(std::string address, bool ipv6, int interfaceIndex, std::uint16_t port = 4000,
                        std::string name = "Host") {
    ResolvedService s;
    s.name = std::move(name);
    s.type = "_quillmate._tcp";
    s.domain = "local";
    s.hostName = "host.local";
    s.address = std::move(address);
    s.ipv6 = ipv6;
    s.interfaceIndex = interfaceIndex;
    s.port = port;
    s.txt = TxtRecord({"v=0"});
    return s;
}

constexpr int kInet = 0;
constexpr int kInet6 = 1;

}  // namespace

TEST(ResultMerger, ReportsAServiceOnceAcrossInterfacesAndProtocols) {
    ResultMerger merger;
    // The IPv6 copy resolves first; the IPv4 one replaces it, later copies change nothing.
    auto first = merger.resolved(3, kInet6, service("fe80::1", true, 3));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->kind, BrowseEvent::Kind::added);
    EXPECT_EQ(first->service.address, "fe80::1");
    auto second = merger.resolved(3, kInet, service("10.0.0.5", false, 3));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->kind, BrowseEvent::Kind::changed);
    EXPECT_EQ(second->service.address, "10.0.0.5");
    EXPECT_FALSE(merger.resolved(3, kInet6, service("fe80::1", true, 3)));
    EXPECT_FALSE(merger.resolved(7, kInet6, service("2001:db8::5", true, 7)));
    EXPECT_FALSE(merger.resolved(3, kInet, service("10.0.0.5", false, 3)));  // same again

    // Going away on one interface is not going away.
    EXPECT_FALSE(merger.removed(7, kInet6, "Host", "_quillmate._tcp", "local"));
    auto fallback = merger.removed(3, kInet, "Host", "_quillmate._tcp", "local");
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->kind, BrowseEvent::Kind::changed);
    EXPECT_EQ(fallback->service.address, "fe80::1");
    auto gone = merger.removed(3, kInet6, "Host", "_quillmate._tcp", "local");
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->kind, BrowseEvent::Kind::removed);
    EXPECT_FALSE(merger.removed(3, kInet6, "Host", "_quillmate._tcp", "local"));
}

TEST(ResultMerger, PrefersRoutableIPv6OverLinkLocalAndKeepsServicesApart) {
    ResultMerger merger;
    ASSERT_TRUE(merger.resolved(2, kInet6, service("fe80::9", true, 2)));
    auto routable = merger.resolved(5, kInet6, service("2001:db8::9", true, 5));
    ASSERT_TRUE(routable);
    EXPECT_EQ(routable->service.address, "2001:db8::9");
    auto other = merger.resolved(2, kInet, service("10.0.0.9", false, 2, 5000, "Other"));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->kind, BrowseEvent::Kind::added);
    EXPECT_EQ(other->service.name, "Other");
}

TEST(ResultMerger, ReportsAChangedRecordOrPort) {
    ResultMerger merger;
    ASSERT_TRUE(merger.resolved(2, kInet, service("10.0.0.5", false, 2, 4000)));
    auto moved = merger.resolved(2, kInet, service("10.0.0.5", false, 2, 4001));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->kind, BrowseEvent::Kind::changed);
    EXPECT_EQ(moved->service.port, 4001);
    auto retexted = service("10.0.0.5", false, 2, 4001);
    retexted.txt = TxtRecord({"v=1"});
    auto changed = merger.resolved(2, kInet, retexted);
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->service.txt, retexted.txt);
}

TEST(ResultMerger, ADaemonRestartDoesNotReportUnchangedServicesAgain) {
    ResultMerger merger;
    ASSERT_TRUE(merger.resolved(2, kInet, service("10.0.0.5", false, 2, 4000)));
    merger.forgetResolutions();
    EXPECT_FALSE(merger.resolved(2, kInet, service("10.0.0.5", false, 2, 4000)));
    merger.forgetResolutions();
    auto restarted = merger.resolved(2, kInet, service("10.0.0.5", false, 2, 4100));
    ASSERT_TRUE(restarted);
    EXPECT_EQ(restarted->kind, BrowseEvent::Kind::changed);
    EXPECT_EQ(restarted->service.port, 4100);
}
