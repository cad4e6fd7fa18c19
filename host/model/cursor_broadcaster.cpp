#include "host/model/cursor_broadcaster.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QPointer>
#include <string>

#include "host/desktop/input_injector.h"
#include "host/runtime/runtime.h"
#include "quillcore/crypto/crypto.h"
#include "quillcore/session/host_session.h"

namespace quill::host {

CursorBroadcaster::CursorBroadcaster(std::shared_ptr<CursorImageSource> source,
                                     std::shared_ptr<const DisplaySource> displays, double period, QObject* parent)
    : QObject(parent), source_(std::move(source)), displays_(std::move(displays)), period_(period) {}

CursorBroadcaster::~CursorBroadcaster() { task_.cancel(); }

void CursorBroadcaster::start(std::shared_ptr<HostSession> session) {
    // The loop holds the session for as long as it runs.
    Target target;
    target.isConnected = [session] {
        return session->connectionState().is(SessionConnectionState::Kind::connected);
    };
    target.send = [session](const Quillmate_V0_Envelope& message) { session->sendControl(message); };
    start(std::move(target));
}

void CursorBroadcaster::start(Target target) {
    stop();
    QPointer<CursorBroadcaster> self(this);
    const double period = period_;
    task_ = spawn(this, [self, target = std::move(target), period](CancelToken token) -> QCoro::Task<> {
        for (;;) {
            if (token.isCancelled()) co_return;
            if (!target.isConnected()) co_return;
            if (self) self->sample(target);
            co_await sleepFor(period, token);
        }
    });
}

void CursorBroadcaster::stop() {
    task_.cancel();
    task_ = TaskHandle();
    currentShapeID_ = 0;
    lastShapeDigest_.reset();
    lastPosition_.reset();
}

void CursorBroadcaster::sample(const Target& target) {
    if (source_) {
        if (auto image = source_->currentCursor()) {
            if (!cachedSerial_ || *cachedSerial_ != image->serial || !cached_) {
                cached_ = snapshotShape(*image);
                cachedSerial_ = image->serial;
            }
            if (cached_ && !(lastShapeDigest_ && *lastShapeDigest_ == cached_->digest)) {
                Quillmate_V0_Envelope message;
                auto* shape = message.mutable_cursor_shape();
                shape->set_id(cached_->shapeID);
                shape->set_width(cached_->width);
                shape->set_height(cached_->height);
                shape->set_hot_x(cached_->hotX);
                shape->set_hot_y(cached_->hotY);
                shape->set_png(std::string(cached_->png.begin(), cached_->png.end()));
                try {
                    target.send(message);
                } catch (...) {
                    // Counted as sent: it goes again only when it changes.
                }
                lastShapeDigest_ = cached_->digest;
                currentShapeID_ = cached_->shapeID;
            }
        }
    }

    PointerLocation location;
    if (source_)
        if (auto at = source_->pointerLocation()) location = *at;
    const DisplayDescriptor display = displayContaining(location.x, location.y);
    const NormalizedPoint point = InputInjector::normalizedPoint(location.x, location.y, display.bounds);
    const Position position{display.id, point.x, point.y, currentShapeID_, true};
    if (lastPosition_ && *lastPosition_ == position) return;
    Quillmate_V0_Envelope message;
    auto* pos = message.mutable_cursor_pos();
    pos->set_display_id(position.displayID);
    pos->set_x(position.x);
    pos->set_y(position.y);
    pos->set_shape_id(position.shapeID);
    pos->set_visible(true);
    try {
        target.send(message);
    } catch (...) {
    }
    lastPosition_ = position;
}

Bytes CursorBroadcaster::shapeDigest(ByteView png, std::uint32_t hotX, std::uint32_t hotY) {
    crypto::Sha256 sha;
    sha.update(png);
    const std::string hot = std::to_string(hotX) + ":" + std::to_string(hotY);
    sha.update(ByteView(reinterpret_cast<const std::uint8_t*>(hot.data()), hot.size()));
    return sha.finish();
}

std::uint64_t CursorBroadcaster::shapeID(ByteView digest) {
    std::uint64_t id = 0;
    for (std::size_t i = 0; i < 8 && i < digest.size(); ++i) id = (id << 8) | digest[i];
    return id == 0 ? 1 : id;
}

Bytes CursorBroadcaster::pngOf(const CursorImage& image) {
    if (image.width == 0 || image.height == 0 || image.width > 4096 || image.height > 4096 ||
        image.pixels.size() < std::size_t(image.width) * image.height)
        return {};
    QImage picture(int(image.width), int(image.height), QImage::Format_ARGB32_Premultiplied);
    for (std::uint32_t row = 0; row < image.height; ++row) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(int(row)));
        for (std::uint32_t column = 0; column < image.width; ++column)
            line[column] = image.pixels[std::size_t(row) * image.width + column];
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(picture)) return {};
    return Bytes(bytes.begin(), bytes.end());
}

std::optional<CursorBroadcaster::ShapeSnapshot> CursorBroadcaster::snapshotShape(const CursorImage& image) {
    Bytes png = pngOf(image);
    if (png.empty()) return std::nullopt;
    ShapeSnapshot snapshot;
    snapshot.width = image.width;
    snapshot.height = image.height;
    snapshot.hotX = image.hotX;
    snapshot.hotY = image.hotY;
    snapshot.digest = shapeDigest(png, image.hotX, image.hotY);
    snapshot.shapeID = shapeID(snapshot.digest);
    snapshot.png = std::move(png);
    return snapshot;
}

DisplayDescriptor CursorBroadcaster::displayContaining(double x, double y) const {
    if (!displays_) return {};
    const DisplayList list = displays_->currentDisplays();
    for (const auto& display : list.displays) {
        const DisplayRect& r = display.bounds;
        if (!r.isEmpty() && x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) return display;
    }
    if (const DisplayDescriptor* main = list.main()) return *main;
    return {};
}

}  // namespace quill::host
