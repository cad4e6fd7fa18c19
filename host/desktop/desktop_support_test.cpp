// Local addresses, the QR image (read back by zbarimg), the autostart entry, URL and notification
// texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cmath>
#include <limits>

#include "host/desktop/autostart_entry.h"
#include "host/desktop/local_addresses.h"
#include "host/desktop/notifier.h"
#include "host/desktop/qr_code_image.h"
#include "host/desktop/url_opener.h"

using namespace quill::host;

// The kernel's list and its order are read in local_addresses_netns_test.
TEST(LocalAddresses, NumericHostsNoListAndNoPort) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &in6.sin6_addr);
    in6.sin6_scope_id = if_nametoindex("lo");
    EXPECT_EQ(numericHost(reinterpret_cast<sockaddr*>(&in6)), QString("fe80::1%lo"));
    sockaddr_storage other{};
    other.ss_family = AF_UNIX;
    EXPECT_FALSE(numericHost(reinterpret_cast<sockaddr*>(&other)) || numericHost(nullptr));
    EXPECT_TRUE(localAddressesFrom(nullptr, 443).isEmpty() && localAddresses(0).isEmpty());
}

TEST(QRCodeImage, AnIndependentReaderDecodesThePairingLinkWithWholeModules) {
    if (std::system("command -v zbarimg >/dev/null 2>&1") != 0) {
        if (qgetenv("CI") == "true") FAIL() << "zbarimg is not installed";
        GTEST_SKIP() << "zbarimg is not installed";
    }
    const QString url = "quillmate://pair?v=1&id=123456789&fp=q2w3e4r5t6y7u8i9o0p1a2s3d4f5g6h7j8k9l0zxcvb&s=Zm9vYmFy"
                        "YmF6cXV4&ep=10.0.0.5:5000,192.168.1.20:5000,%5B2001:db8::5%5D:5000";
    QTemporaryDir tmp;
    auto decoded = [&](const QImage& image) {
        image.save(tmp.filePath("code.png"), "PNG");
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("zbarimg --quiet --raw '" + tmp.filePath("code.png").toStdString() + "'").c_str(), "r"), pclose);
        char text[1024] = {};
        return QString::fromUtf8(fgets(text, sizeof text, pipe.get()) ? text : "").trimmed();
    };
    const auto base = makeQRCodeImage(url, 1.0), nine = makeQRCodeImage(url, 9.0), three = makeQRCodeImage(url, 3.0);
    ASSERT_TRUE(base && nine && three);
    EXPECT_EQ(decoded(*nine), url);
    EXPECT_EQ(decoded(*three), url);
    EXPECT_EQ(QSize(base->width() * 9, base->height() * 9), nine->size());
    EXPECT_EQ(base->width() * 3, three->width());
    EXPECT_EQ((base->width() - 2 * kQRQuietZoneModules - 17) % 4, 0) << "not a QR version size";
    // Black and white only; the four-module white border, then a finder pattern's corner.
    EXPECT_EQ(nine->convertToFormat(QImage::Format_Mono).convertToFormat(nine->format()), *nine);
    EXPECT_TRUE(qGray(nine->pixel(35, 35)) == 255 && qGray(nine->pixel(36, 36)) == 0);
    for (double scale : {0.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e6}) EXPECT_FALSE(makeQRCodeImage(url, scale)) << scale;
    EXPECT_FALSE(makeQRCodeImage(QString(3000, u'x'), 9.0) || makeQRCodeImage(QString(), 9.0)) << "too long for level M, or empty";
}

TEST(AutostartEntry, TheEntryIsWrittenQuotedAndReadBackAsDesktopsReadIt) {
    QTemporaryDir tmp;
    AutostartEntry entry(tmp.path(), "/usr/bin/quillmate-host");
    EXPECT_EQ(entry.filePath(), tmp.path() + "/autostart/quillmate-host.desktop");
    EXPECT_FALSE(entry.isEnabled());
    entry.unregisterItem();  // nothing registered: fine
    entry.registerItem();
    QFile file(entry.filePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "[Desktop Entry]\nType=Application\nName=Quillmate Host\nExec=/usr/bin/quillmate-host\n"
                              "X-GNOME-Autostart-enabled=true\n");
    file.close();
    EXPECT_TRUE(entry.isEnabled());
    entry.unregisterItem();
    EXPECT_FALSE(QFileInfo::exists(entry.filePath()) || entry.isEnabled());

    for (auto [path, exec] : std::initializer_list<std::pair<const char*, const char*>>{
             {"/opt/Quill Host/bin/quill$mate", "\"/opt/Quill Host/bin/quill\\\\$mate\""}, {"/opt/100%/host", "/opt/100%%/host"},
             {"/say \"hi\"/`x`\\", "\"/say \\\\\"hi\\\\\"/\\\\`x\\\\`\\\\\\\\\""}})
        EXPECT_EQ(AutostartEntry::execValue(path), exec) << path;
    AutostartEntry self(tmp.path());  // by default the entry starts this very program
    self.registerItem();
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString me = QFileInfo("/proc/self/exe").canonicalFilePath();
    EXPECT_TRUE(file.readAll().contains(("\nExec=" + AutostartEntry::execValue(me) + "\n").toUtf8()));
    file.close();

    for (auto [text, enabled] : std::initializer_list<std::pair<const char*, bool>>{
             {"[Desktop Entry]\nExec=x\nHidden=true\n", false}, {"[Desktop Entry]\nX-GNOME-Autostart-enabled = false\n", false},
             {"Type=Application\nExec=x\n", false}, {"", false}, {"[Desktop Entry]\nthis is not a key\n", false},
             {"# by hand\n[Desktop Entry]\nExec=x\n\n[Desktop Action quit]\nHidden=true\n", true}}) {
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        EXPECT_EQ(entry.isEnabled(), enabled) << text;
    }
    // Failures carry the system's reason: a file where the folder goes, a folder where the file goes.
    QTemporaryDir blocked;
    QFile(blocked.filePath("autostart")).open(QIODevice::WriteOnly);
    try {
        AutostartEntry(blocked.path(), "x").registerItem();
        ADD_FAILURE() << "no error";
    } catch (const LoginItemError& e) {
        EXPECT_EQ(e.description(), "The folder “" + blocked.filePath("autostart").toStdString() + "” could not be created.");
    }
    QFile::remove(entry.filePath());
    ASSERT_TRUE(QDir().mkpath(entry.filePath() + "/inside"));
    EXPECT_THROW(entry.registerItem(), LoginItemError);
    EXPECT_THROW(entry.unregisterItem(), LoginItemError);
    EXPECT_FALSE(entry.isEnabled());
}

TEST(DesktopTexts, StrictUrlsAndEscapedNotificationBodies) {
    for (auto [text, valid] : std::initializer_list<std::pair<const char*, bool>>{
             {"https://example.com/help#screen-recording", true}, {"file:///usr/share/doc/x.html#accessibility", true},
             {"not a url", false}, {"", false}, {"relative/path", false}, {"https://exa mple.com/", false}})
        EXPECT_EQ(urlFromText(text).has_value(), valid) << text;
    EXPECT_EQ(escapeNotificationMarkup("<b>x</b>&y &amp;"), "&lt;b&gt;x&lt;/b&gt;&amp;y &amp;amp;");
}
