#include <gtest/gtest.h>

#include "quillcore/net/dnssd.h"

using namespace quill::dnssd;

TEST(DnsSdLimits, NamesAndTxtStringsAreCutAtCharacterBoundaries) {
    const std::string e = "\xC3\xA9";                 // "é", two bytes
    const std::string smile = "\xF0\x9F\x98\x80";     // four bytes
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string text;
        std::size_t max;
        std::string cut;
    } cases[] = {
        {"short", 63, "short"},
        {"abcdef", 3, "abc"},
        {e + e + e, 5, e + e},
        {"ab" + smile, 5, "ab"},
        {"ab" + smile, 6, "ab" + smile},
    };
    for (const auto& c : cases) EXPECT_EQ(truncateUtf8(c.text, c.max), c.cut) << c.text;

    std::string longName;
    for (int i = 0; i < 40; ++i) longName += e;  // 80 bytes
    const struct {
        std::string name;
        std::string published;
    } names[] = {
        {"Desk", "Desk"},
        {longName, longName.substr(0, 62)},
        {std::string(70, 'a'), std::string(63, 'a')},
        {"Bad \xFF\xFE name", "Bad " + fffd + fffd + " name"},  // D-Bus takes only UTF-8
        {"\xC0\xAF", fffd + fffd},                               // overlong "/"
        {std::string(61, 'a') + "\xFF", std::string(61, 'a')},   // U+FFFD does not fit
    };
    for (const auto& n : names) EXPECT_EQ(instanceName(n.name), n.published) << n.name;

    TxtRecord txt;
    txt.add("v", "0");
    txt.add("name", longName + longName + longName + longName);  // 320 bytes
    EXPECT_EQ(txt.strings()[0], "v=0");
    EXPECT_EQ(txt.strings()[1], "name=" + (longName + longName + longName + longName).substr(0, 250));
}

TEST(DnsSdLimits, Utf8Validation) {
    for (const char* valid : {"", "Zoë's \xE2\x82\xAC \xF0\x9F\x98\x80"}) EXPECT_TRUE(isValidUtf8(valid)) << valid;
    for (const char* invalid : {"\xFF", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        EXPECT_FALSE(isValidUtf8(invalid)) << invalid;  // stray, cut short, overlong, surrogate, too big
    }
}

// Avahi reports a service once per interface and protocol; the merger makes one report of
// them, and a new one only when the chosen value changes.
TEST(ResultMerger, ReportsEachServiceOnceAndOnlyItsChanges) {
    constexpr int v4 = 0, v6 = 1;
    enum Op { resolve, remove, forget };
    using Kind = BrowseEvent::Kind;
    struct Step {
        Op op;
        int interfaceIndex = 0;
        int protocol = 0;
        std::string address;
        std::uint16_t port = 4000;
        std::string name = "Host";
        std::optional<Kind> reported;
        std::string reportedAddress;
    };
    const Step steps[] = {
        {resolve, 3, v6, "fe80::1", 4000, "Host", Kind::added, "fe80::1"},
        {resolve, 3, v4, "10.0.0.5", 4000, "Host", Kind::changed, "10.0.0.5"},   // IPv4 first
        {resolve, 3, v6, "fe80::1", 4000, "Host", std::nullopt, ""},
        {resolve, 7, v6, "2001:db8::5", 4000, "Host", std::nullopt, ""},           // another interface
        {resolve, 3, v4, "10.0.0.5", 4000, "Host", std::nullopt, ""},              // the same again
        {resolve, 2, v4, "10.0.0.9", 5000, "Other", Kind::added, "10.0.0.9"},  // services stay apart
        {remove, 7, v6, "", 0, "Host", std::nullopt, ""},                          // gone from one interface only
        {remove, 3, v4, "", 0, "Host", Kind::changed, "fe80::1"},
        {resolve, 5, v6, "2001:db8::9", 4000, "Host", Kind::changed, "2001:db8::9"},  // routable before link-local
        {resolve, 5, v6, "2001:db8::9", 4001, "Host", Kind::changed, "2001:db8::9"},  // a new port
        {remove, 5, v6, "", 0, "Host", Kind::changed, "fe80::1"},
        {remove, 3, v6, "", 0, "Host", Kind::removed, "fe80::1"},
        {remove, 3, v6, "", 0, "Host", std::nullopt, ""},
        // A daemon restart: an unchanged service is not reported again, a changed one is.
        {forget, 0, 0, "", 0, "", std::nullopt, ""},
        {resolve, 2, v4, "10.0.0.9", 5000, "Other", std::nullopt, ""},
        {forget, 0, 0, "", 0, "", std::nullopt, ""},
        {resolve, 2, v4, "10.0.0.9", 5100, "Other", Kind::changed, "10.0.0.9"},
    };
    ResultMerger merger;
    int index = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(index++);
        std::optional<BrowseEvent> event;
        if (step.op == forget) {
            merger.forgetResolutions();
            continue;
        }
        if (step.op == remove) {
            event = merger.removed(step.interfaceIndex, step.protocol, step.name, "_quillmate._tcp", "local");
        } else {
            ResolvedService s;
            s.name = step.name;
            s.type = "_quillmate._tcp";
            s.domain = "local";
            s.address = step.address;
            s.ipv6 = step.protocol == v6;
            s.interfaceIndex = step.interfaceIndex;
            s.port = step.port;
            s.txt = TxtRecord({"v=0"});
            event = merger.resolved(step.interfaceIndex, step.protocol, s);
        }
        ASSERT_EQ(event.has_value(), step.reported.has_value());
        if (!event) continue;
        EXPECT_EQ(event->kind, *step.reported);
        EXPECT_EQ(event->service.address, step.reportedAddress);
        EXPECT_EQ(event->service.name, step.name);
    }
}
