#include "host/desktop/qr_code_image.h"

#include <qrencode.h>

#include <cmath>
#include <memory>

namespace quill::host {

namespace {
// Far above anything shown (a pairing code at scale 9 is under 1,000 px), far below trouble.
constexpr double kMaxSidePixels = 16384;
}  // namespace

std::optional<QImage> makeQRCodeImage(const QString& text, double scale) {
    if (!std::isfinite(scale) || scale <= 0) return std::nullopt;
    QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty()) return std::nullopt;
    std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeData(static_cast<int>(bytes.size()), reinterpret_cast<const unsigned char*>(bytes.constData()), 0,
                          QR_ECLEVEL_M),
        QRcode_free);
    if (!code) return std::nullopt;
    const int modules = code->width + 2 * kQRQuietZoneModules;
    const double side = std::ceil(modules * scale);
    if (side > kMaxSidePixels || side < 1) return std::nullopt;
    const int pixels = static_cast<int>(side);
    QImage image(pixels, pixels, QImage::Format_Grayscale8);
    if (image.isNull()) return std::nullopt;
    for (int y = 0; y < pixels; ++y) {
        uchar* row = image.scanLine(y);
        int my = static_cast<int>(y / scale) - kQRQuietZoneModules;
        for (int x = 0; x < pixels; ++x) {
            int mx = static_cast<int>(x / scale) - kQRQuietZoneModules;
            bool dark = mx >= 0 && my >= 0 && mx < code->width && my < code->width &&
                        (code->data[my * code->width + mx] & 1);
            row[x] = dark ? 0 : 255;
        }
    }
    return image;
}

}  // namespace quill::host
