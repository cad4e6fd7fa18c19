#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <memory>
#include <string>

#include "host/desktop/autostart_entry.h"
#include "host/desktop/local_addresses.h"
#include "host/desktop/notifier.h"
#include "host/desktop/qr_code_image.h"
#include "host/desktop/url_opener.h"

using namespace quill::host;

namespace {

// An interface list built by hand, in the shape getifaddrs returns.
class FakeInterfaces {
public:
    void add(const char* name, unsigned flags, const char* address, unsigned scope = 0) {
        auto node = std::make_unique<ifaddrs>();
        *node = {};
        names_.emplace_back(name);
        node->ifa_name = names_.back().data();
        node->ifa_flags = flags;
        if (address) {
            sockaddr_storage& s = storage_.emplace_back();
            s = {};
            if (std::string(address) == "packet") {
                s.ss_family = AF_PACKET;
            } else if (std::string(address).find(':') != std::string::npos) {
                auto* in6 = reinterpret_cast<sockaddr_in6*>(&s);
                in6->sin6_family = AF_INET6;
                in6->sin6_scope_id = scope;
                EXPECT_EQ(inet_pton(AF_INET6, address, &in6->sin6_addr), 1) << address;
            } else {
                auto* in4 = reinterpret_cast<sockaddr_in*>(&s);
                in4->sin_family = AF_INET;
                EXPECT_EQ(inet_pton(AF_INET, address, &in4->sin_addr), 1) << address;
            }
            node->ifa_addr = reinterpret_cast<sockaddr*>(&s);
        }
        if (!nodes_.empty()) nodes_.back()->ifa_next = node.get();
        nodes_.push_back(std::move(node));
    }
    const ifaddrs* head() const { return nodes_.empty() ? nullptr : nodes_.front().get(); }

private:
    std::deque<std::string> names_;
    std::deque<sockaddr_storage> storage_;
    std::deque<std::unique_ptr<ifaddrs>> nodes_;
};

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
constexpr unsigned kLoop = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;

bool ciRequiresEverything() { return qgetenv("CI") == "true"; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Local addresses

TEST(LocalAddresses, PreferredOrderEthernetAndWiFiFirstThenOthersTunnelsVirtualBridgesLoopback) {
    FakeInterfaces list;
    list.add("lo", kLoop, "127.0.0.1");
    list.add("en0", kUp, "192.168.1.20");
    list.add("en0", kUp, "2001:db8::5");
    list.add("en1", kUp, "10.0.0.5");
    list.add("utun3", kUp, "100.64.0.2");
    list.add("bridge0", kUp, "10.9.9.9");
    list.add("docker0", kUp, "172.17.0.1");
    list.add("virbr0", kUp, "192.168.122.1");
    list.add("br-3f2a9c", kUp, "172.18.0.1");
    list.add("wg0", kUp, "10.66.0.2");
    list.add("br0", kUp, "192.168.0.40");  // a bridge that carries the LAN itself
    list.add("wlp2s0", kUp, "172.16.0.9");
    list.add("eth0", kUp, "192.168.2.3");
    list.add("lo", kLoop, "::1");
    EXPECT_EQ(localAddressesFrom(list.head(), 5000),
              (QStringList{"10.0.0.5:5000", "172.16.0.9:5000", "192.168.1.20:5000", "192.168.2.3:5000",
                           "[2001:db8::5]:5000", "192.168.0.40:5000", "10.66.0.2:5000", "100.64.0.2:5000",
                           "172.17.0.1:5000", "172.18.0.1:5000", "192.168.122.1:5000", "127.0.0.1:5000", "[::1]:5000"}));
}

TEST(LocalAddresses, FiltersLinkLocalDownAndUnlistedInterfacesAndDuplicates) {
    FakeInterfaces list;
    list.add("eth9", kUp, "169.254.3.4");
    list.add("eth9", kUp, "fe80::1234");
    list.add("eth9", kUp, "packet");              // a link-layer entry
    list.add("eth8", kUp, nullptr);               // no address at all
    list.add("en2", IFF_UP, "192.168.50.1");      // up but not running
    list.add("en3", IFF_RUNNING, "192.168.60.1"); // running but not up
    list.add("awdl0", kUp, "192.168.70.1");
    list.add("llw0", kUp, "192.168.80.1");
    list.add("eth0", kUp, "10.1.1.1");
    list.add("en5", kUp, "10.1.1.1");  // seen already: kept for the first interface, ranked as it
    list.add("lo", kLoop, "fe80::1");  // loopback keeps even its link-local address
    EXPECT_EQ(localAddressesFrom(list.head(), 443), (QStringList{"10.1.1.1:443", "[fe80::1]:443"}));
    EXPECT_TRUE(localAddressesFrom(nullptr, 443).isEmpty());
    EXPECT_TRUE(localAddresses(0).isEmpty());
}

TEST(LocalAddresses, NumericHostTexts) {
    sockaddr_in in4{};
    in4.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.7", &in4.sin_addr);
    EXPECT_EQ(numericHost(reinterpret_cast<sockaddr*>(&in4)), QString("192.0.2.7"));

    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8:0:0:0:0:0:5", &in6.sin6_addr);
    EXPECT_EQ(numericHost(reinterpret_cast<sockaddr*>(&in6)), QString("2001:db8::5"));
    unsigned lo = if_nametoindex("lo");
    if (lo != 0) {
        inet_pton(AF_INET6, "fe80::1", &in6.sin6_addr);
        in6.sin6_scope_id = lo;
        EXPECT_EQ(numericHost(reinterpret_cast<sockaddr*>(&in6)), QString("fe80::1%lo"));
    }
    sockaddr_storage other{};
    other.ss_family = AF_UNIX;
    EXPECT_FALSE(numericHost(reinterpret_cast<sockaddr*>(&other)));
    EXPECT_FALSE(numericHost(nullptr));
}

// ---------------------------------------------------------------------------------------------
// QR image

namespace {
std::string zbarDecode(const QImage& image) {
    QTemporaryDir tmp;
    QString path = tmp.filePath("code.png");
    if (!image.save(path, "PNG")) return "<not saved>";
    std::string command = "zbarimg --quiet --raw '" + path.toStdString() + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "<no zbarimg>";
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}
}  // namespace

TEST(QRCodeImage, AnIndependentReaderDecodesThePairingLinkAtScaleNine) {
    if (std::system("command -v zbarimg >/dev/null 2>&1") != 0) {
        if (ciRequiresEverything()) FAIL() << "zbarimg is not installed";
        GTEST_SKIP() << "zbarimg is not installed";
    }
    const QString url = QStringLiteral(
        "quillmate://pair?v=1&id=123456789&fp=q2w3e4r5t6y7u8i9o0p1a2s3d4f5g6h7j8k9l0zxcvb&s=Zm9vYmFyYmF6cXV4&ep=10.0.0.5:5000,"
        "192.168.1.20:5000,%5B2001:db8::5%5D:5000");
    auto image = makeQRCodeImage(url, 9.0);
    ASSERT_TRUE(image);
    EXPECT_EQ(zbarDecode(*image), url.toStdString());

    // Square, a whole number of 9-pixel modules with the 4-module white border, two colours.
    ASSERT_EQ(image->width(), image->height());
    ASSERT_EQ(image->width() % 9, 0);
    int modules = image->width() / 9;
    EXPECT_EQ((modules - 2 * kQRQuietZoneModules - 17) % 4, 0) << "not a QR version size: " << modules;
    for (int i = 0; i < image->width(); ++i) {
        ASSERT_EQ(qGray(image->pixel(i, 4 * 9 - 1)), 255);  // inside the top border
        ASSERT_EQ(qGray(image->pixel(4 * 9 - 1, i)), 255);  // inside the left border
    }
    EXPECT_EQ(qGray(image->pixel(4 * 9, 4 * 9)), 0);  // the finder pattern's corner
    int other = 0;
    for (int y = 0; y < image->height(); ++y)
        for (int x = 0; x < image->width(); ++x) {
            int g = qGray(image->pixel(x, y));
            if (g != 0 && g != 255) ++other;
        }
    EXPECT_EQ(other, 0);

    // Scale 1 is the generator's own size; scale 9 is exactly nine times it.
    auto base = makeQRCodeImage(url, 1.0);
    ASSERT_TRUE(base);
    EXPECT_EQ(base->width() * 9, image->width());
    auto small = makeQRCodeImage(url, 3.0);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->width() * 3, image->width());
    EXPECT_EQ(zbarDecode(*small), url.toStdString());
}

TEST(QRCodeImage, NothingForTextsThatDoNotFitOrScalesThatMakeNoImage) {
    EXPECT_FALSE(makeQRCodeImage(QString(3000, u'x'), 9.0));  // beyond the largest code at level M
    EXPECT_FALSE(makeQRCodeImage(QString(), 9.0));
    EXPECT_FALSE(makeQRCodeImage("quillmate://pair", 0.0));
    EXPECT_FALSE(makeQRCodeImage("quillmate://pair", -9.0));
    EXPECT_FALSE(makeQRCodeImage("quillmate://pair", std::nan("")));
    EXPECT_FALSE(makeQRCodeImage("quillmate://pair", std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(makeQRCodeImage("quillmate://pair", 1e6));
    EXPECT_TRUE(makeQRCodeImage(QString(2000, u'x'), 1.0));
}

// ---------------------------------------------------------------------------------------------
// Login item

TEST(AutostartEntry, EnableWritesTheEntryDisableRemovesItAndTheStatusFollowsTheFile) {
    QTemporaryDir tmp;
    AutostartEntry entry(tmp.path(), QStringLiteral("/usr/bin/quillmate-host"));
    EXPECT_EQ(entry.filePath(), tmp.path() + "/autostart/quillmate-host.desktop");
    EXPECT_EQ(entry.directoryPath(), tmp.path() + "/autostart");
    EXPECT_FALSE(entry.isEnabled());
    entry.unregisterItem();  // nothing registered: fine

    entry.registerItem();
    QFile file(entry.filePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("[Desktop Entry]\nType=Application\nName=Quillmate Host\n"
                                         "Exec=/usr/bin/quillmate-host\nX-GNOME-Autostart-enabled=true\n"));
    EXPECT_TRUE(entry.isEnabled());
    entry.registerItem();  // again: the same file
    EXPECT_TRUE(entry.isEnabled());

    entry.unregisterItem();
    EXPECT_FALSE(QFileInfo::exists(entry.filePath()));
    EXPECT_FALSE(entry.isEnabled());
}

TEST(AutostartEntry, ExecutablePathsAreQuotedAndEscapedForTheExecKey) {
    EXPECT_EQ(AutostartEntry::execValue("/usr/bin/quillmate-host"), "/usr/bin/quillmate-host");
    EXPECT_EQ(AutostartEntry::execValue("/opt/Quill Host/bin/quill$mate"), "\"/opt/Quill Host/bin/quill\\\\$mate\"");
    EXPECT_EQ(AutostartEntry::execValue("/opt/100%/host"), "/opt/100%%/host");
    EXPECT_EQ(AutostartEntry::execValue("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(AutostartEntry::execValue("/say \"hi\"/`x`"), "\"/say \\\\\"hi\\\\\"/\\\\`x\\\\`\"");

    // By default the entry starts this very program.
    QTemporaryDir tmp;
    AutostartEntry self(tmp.path());
    self.registerItem();
    QFile file(self.filePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString me = QFileInfo("/proc/self/exe").canonicalFilePath();
    EXPECT_TRUE(file.readAll().contains(("\nExec=" + AutostartEntry::execValue(me) + "\n").toUtf8()));
}

TEST(AutostartEntry, HiddenSwitchedOffOrUnreadableEntriesAreNotEnabled) {
    QTemporaryDir tmp;
    AutostartEntry entry(tmp.path(), "/usr/bin/quillmate-host");
    auto writeEntry = [&](const QByteArray& text) {
        QDir().mkpath(tmp.path() + "/autostart");
        QFile f(entry.filePath());
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    writeEntry("[Desktop Entry]\nType=Application\nExec=x\nHidden=true\n");
    EXPECT_FALSE(entry.isEnabled());
    writeEntry("[Desktop Entry]\nType=Application\nExec=x\nX-GNOME-Autostart-enabled = false\n");
    EXPECT_FALSE(entry.isEnabled());
    writeEntry("Type=Application\nExec=x\n");  // no group
    EXPECT_FALSE(entry.isEnabled());
    writeEntry("");
    EXPECT_FALSE(entry.isEnabled());
    writeEntry("[Desktop Entry]\nthis is not a key\n");
    EXPECT_FALSE(entry.isEnabled());
    // Keys of another group do not count.
    writeEntry("# made by hand\n[Desktop Entry]\nType=Application\nExec=x\n\n[Desktop Action quit]\nHidden=true\n");
    EXPECT_TRUE(entry.isEnabled());
}

TEST(AutostartEntry, FailuresCarryTheSystemsReason) {
    QTemporaryDir tmp;
    // The autostart folder cannot be made: a file is in the way.
    QFile blocker(tmp.path() + "/autostart");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    AutostartEntry blocked(tmp.path(), "/usr/bin/quillmate-host");
    try {
        blocked.registerItem();
        FAIL() << "no error";
    } catch (const LoginItemError& e) {
        EXPECT_EQ(e.description(), "The folder “" + (tmp.path() + "/autostart").toStdString() + "” could not be created.");
    }
    EXPECT_FALSE(blocked.isEnabled());
    blocked.unregisterItem();

    // The entry's name is taken by a folder.
    QTemporaryDir other;
    AutostartEntry entry(other.path(), "/usr/bin/quillmate-host");
    ASSERT_TRUE(QDir().mkpath(entry.filePath() + "/inside"));
    EXPECT_THROW(entry.registerItem(), LoginItemError);
    try {
        entry.unregisterItem();
        FAIL() << "no error";
    } catch (const LoginItemError& e) {
        EXPECT_FALSE(e.description().empty());
    }
    EXPECT_FALSE(entry.isEnabled());
}

// ---------------------------------------------------------------------------------------------
// URLs and notification texts

TEST(UrlFromText, OnlyStrictUrlsWithASchemeCount) {
    EXPECT_TRUE(urlFromText("https://example.com/help#screen-recording"));
    EXPECT_TRUE(urlFromText("file:///usr/share/doc/quillmate-host/permissions.html#accessibility"));
    EXPECT_TRUE(urlFromText("x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture"));
    EXPECT_FALSE(urlFromText("not a url"));
    EXPECT_FALSE(urlFromText(""));
    EXPECT_FALSE(urlFromText("relative/path"));
    EXPECT_FALSE(urlFromText("https://exa mple.com/"));
}

// The bodies themselves are checked as the notification server receives them.
TEST(NotificationTexts, IdentifierAndEscaping) {
    QString id = newNotificationIdentifier();
    ASSERT_EQ(id.size(), 8 + 36);
    EXPECT_TRUE(id.startsWith("session-"));
    EXPECT_EQ(id, id.toUpper().replace("SESSION-", "session-"));
    EXPECT_NE(id, newNotificationIdentifier());
    EXPECT_EQ(escapeNotificationMarkup("<b>x</b>&y &amp;"), "&lt;b&gt;x&lt;/b&gt;&amp;y &amp;amp;");
}
