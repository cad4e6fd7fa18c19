#pragma once

#include <QImage>
#include <QString>
#include <optional>

namespace quill::host {

// Modules of white border around the code, the size the QR standard asks for.
inline constexpr int kQRQuietZoneModules = 4;

// `text` (UTF-8 bytes, error correction level M) as a black-on-white QR code, each module
// `scale` pixels wide, quiet zone included. Nothing when the text does not fit a QR code, the
// scale is not a positive number, or the image would be unreasonably large.
std::optional<QImage> makeQRCodeImage(const QString& text, double scale);

}  // namespace quill::host
