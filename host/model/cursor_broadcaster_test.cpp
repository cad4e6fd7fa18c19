#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>

#include "host/model/cursor_broadcaster.h"
#include "host/runtime/runtime.h"
#include "host/runtime/test_support.h"

using namespace quill;
using namespace quill::host;
using quill::host::testing::pumpFor;
using quill::host::testing::pumpUntil;

namespace {

class FakeCursor : public CursorImageSource {
public:
    std::optional<CursorImage> currentCursor() override { return image; }
    std::optional<PointerLocation> pointerLocation() override { return location; }
    std::optional<CursorImage> image;
    std::optional<PointerLocation> location;
};

CursorImage arrow(std::uint32_t hotX, std::uint32_t hotY, std::uint32_t serial, std::uint32_t colour = 0xff000000) {
    CursorImage image;
    image.width = 4;
    image.height = 3;
    image.hotX = hotX;
    image.hotY = hotY;
    image.serial = serial;
    image.pixels.assign(12, colour);
    return image;
}

// Two displays side by side; the right one is the main display.
std::shared_ptr<StaticDisplaySource> twoDisplays() {
    return std::make_shared<StaticDisplaySource>(DisplayList{
        {DisplayDescriptor{10, DisplayRect{0, 0, 100, 100}, std::nullopt},
         DisplayDescriptor{20, DisplayRect{100, 0, 200, 100}, std::nullopt}},
        20});
}

struct Recorder {
    std::vector<Quillmate_V0_Envelope> sent;
    bool connected = true;
    bool failSends = false;
    CursorBroadcaster::Target target() {
        return {[this] { return connected; },
                [this](const Quillmate_V0_Envelope& m) {
                    sent.push_back(m);
                    if (failSends) throw std::runtime_error("channel closed");
                }};
    }
    std::size_t count(Quillmate_V0_Envelope::MsgCase kind) const {
        std::size_t n = 0;
        for (const auto& m : sent) n += m.msg_case() == kind;
        return n;
    }
};

}  // namespace

TEST(CursorBroadcaster, ShapeIdentifiersFollowImageAndHotSpot) {
    const Bytes png = CursorBroadcaster::pngOf(arrow(0, 0, 1));
    ASSERT_FALSE(png.empty());
    // The PNG decodes to the same pixels.
    QImage decoded;
    ASSERT_TRUE(decoded.loadFromData(png.data(), int(png.size()), "PNG"));
    EXPECT_EQ(decoded.size(), QSize(4, 3));
    EXPECT_EQ(decoded.pixel(2, 1), 0xff000000u);

    // The same image with hot spots (4, 7) and (7, 4): different digests, different IDs.
    const Bytes a = CursorBroadcaster::shapeDigest(png, 4, 7);
    const Bytes b = CursorBroadcaster::shapeDigest(png, 7, 4);
    EXPECT_NE(a, b);
    EXPECT_NE(CursorBroadcaster::shapeID(a), CursorBroadcaster::shapeID(b));
    // The ID is the digest's first eight bytes, big-endian, and never 0.
    Bytes digest(32, 0xab);
    digest[0] = 0x01;
    digest[7] = 0x02;
    EXPECT_EQ(CursorBroadcaster::shapeID(digest), 0x01abababababab02ull);
    EXPECT_EQ(CursorBroadcaster::shapeID(Bytes(32, 0)), 1u);
    // An image whose pixels do not fill its size gives no PNG.
    CursorImage broken = arrow(0, 0, 1);
    broken.pixels.resize(5);
    EXPECT_TRUE(CursorBroadcaster::pngOf(broken).empty());
}

TEST(CursorBroadcaster, SendsShapeAndPositionOnlyWhenTheyChange) {
    auto cursor = std::make_shared<FakeCursor>();
    cursor->image = arrow(1, 2, 1);
    cursor->location = PointerLocation{150, 50};
    CursorBroadcaster broadcaster(cursor, twoDisplays());
    Recorder r;

    broadcaster.sample(r.target());
    ASSERT_EQ(r.sent.size(), 2u);
    ASSERT_TRUE(r.sent[0].has_cursor_shape());
    const auto& shape = r.sent[0].cursor_shape();
    EXPECT_EQ(shape.width(), 4u);
    EXPECT_EQ(shape.hot_x(), 1u);
    EXPECT_EQ(shape.hot_y(), 2u);
    EXPECT_NE(shape.id(), 0u);
    ASSERT_TRUE(r.sent[1].has_cursor_pos());
    const auto& pos = r.sent[1].cursor_pos();
    EXPECT_EQ(pos.display_id(), 20u);
    EXPECT_FLOAT_EQ(pos.x(), 0.25f);
    EXPECT_FLOAT_EQ(pos.y(), 0.5f);
    EXPECT_EQ(pos.shape_id(), shape.id());
    EXPECT_TRUE(pos.visible());

    // Nothing changed: nothing sent.
    broadcaster.sample(r.target());
    EXPECT_EQ(r.sent.size(), 2u);

    // Outside every display: the main display, clamped.
    cursor->location = PointerLocation{-40, 500};
    broadcaster.sample(r.target());
    ASSERT_EQ(r.sent.size(), 3u);
    EXPECT_EQ(r.sent[2].cursor_pos().display_id(), 20u);
    EXPECT_FLOAT_EQ(r.sent[2].cursor_pos().x(), 0.f);
    EXPECT_FLOAT_EQ(r.sent[2].cursor_pos().y(), 1.f);

    // A new shape (new serial, other pixels) goes before the position that names it; a failed
    // send counts as sent.
    cursor->image = arrow(1, 2, 2, 0xffffffff);
    r.failSends = true;
    broadcaster.sample(r.target());
    ASSERT_EQ(r.sent.size(), 5u);
    EXPECT_TRUE(r.sent[3].has_cursor_shape());
    EXPECT_EQ(r.sent[4].cursor_pos().shape_id(), r.sent[3].cursor_shape().id());
    broadcaster.sample(r.target());
    EXPECT_EQ(r.sent.size(), 5u);

    // After stop, the next start sends both again.
    r.failSends = false;
    broadcaster.stop();
    EXPECT_EQ(broadcaster.currentShapeID(), 0u);
    broadcaster.sample(r.target());
    EXPECT_EQ(r.count(Quillmate_V0_Envelope::kCursorShape), 3u);
    EXPECT_EQ(r.count(Quillmate_V0_Envelope::kCursorPos), 4u);
}

TEST(CursorBroadcaster, TheLoopSamplesWhileConnectedAndEndsForGoodWhenNot) {
    auto cursor = std::make_shared<FakeCursor>();
    cursor->image = arrow(0, 0, 1);
    cursor->location = PointerLocation{10, 10};
    CursorBroadcaster broadcaster(cursor, twoDisplays(), 0.01);
    Recorder r;
    broadcaster.start(r.target());
    ASSERT_TRUE(pumpUntil([&] { return r.sent.size() == 2; }));
    cursor->location = PointerLocation{20, 10};
    ASSERT_TRUE(pumpUntil([&] { return r.sent.size() == 3; }));
    EXPECT_EQ(r.sent[2].cursor_pos().display_id(), 10u);

    r.connected = false;
    ASSERT_TRUE(pumpUntil([&] { return !broadcaster.isRunning(); }));
    r.connected = true;
    cursor->location = PointerLocation{30, 10};
    pumpFor(0.1);
    EXPECT_EQ(r.sent.size(), 3u);
}
