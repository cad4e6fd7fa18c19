#include "host/desktop/display_info.h"

#include <gtest/gtest.h>

#include "host/desktop/screen_capture_engine.h"

namespace quill::host {
namespace {

TEST(DisplayList, TheMainDisplayIsThePrimaryElseTheFirstListed) {
    DisplayList list;
    EXPECT_EQ(list.main(), nullptr);
    list.displays = {{5, {0, 0, 800, 600}, std::nullopt}, {6, {800, 0, 1024, 768}, DisplaySize{1024, 768}}};
    EXPECT_EQ(list.main()->id, 5u);  // no primary
    list.primaryID = 6;
    EXPECT_EQ(list.main()->id, 6u);
    list.primaryID = 99;  // a primary that is not listed (switched off)
    EXPECT_EQ(list.main()->id, 5u);

    StaticDisplaySource source(list);
    EXPECT_EQ(source.mainDisplayID(), 5u);
    EXPECT_EQ(source.mainDisplayMode(), std::nullopt);
    EXPECT_EQ(source.bounds(6), (DisplayRect{800, 0, 1024, 768}));
    EXPECT_TRUE(source.bounds(0).isEmpty());
    EXPECT_TRUE(source.bounds(42).isEmpty());
    EXPECT_TRUE(StaticDisplaySource(DisplayList{}).mainDisplayBounds().isEmpty());
}

TEST(DisplayList, PreferredVideoSizeFollowsTheMainDisplayWithinLimits) {
    EXPECT_EQ(preferredVideoSize(DisplaySize{1920, 1080}), (DisplaySize{1920, 1080}));
    EXPECT_EQ(preferredVideoSize(DisplaySize{600, 400}), (DisplaySize{640, 480}));
    EXPECT_EQ(preferredVideoSize(DisplaySize{5120, 2880}), (DisplaySize{5120, 2880}));
    EXPECT_EQ(preferredVideoSize(DisplaySize{0, -3}), (DisplaySize{640, 480}));
    EXPECT_EQ(preferredVideoSize(std::nullopt), (DisplaySize{1920, 1080}));
}

TEST(ScreenCaptureEngine, TimeStampsStrictlyIncreaseWhateverTheClockSays) {
    std::vector<std::int64_t> readings = {1000, 1000, 900, 5000, 5001};
    std::size_t next = 0;
    ScreenCaptureOptions options;
    options.monotonicNs = [&] { return readings[next++]; };
    ScreenCaptureEngine engine(VideoFrameSink{}, options);
    EXPECT_EQ(engine.nextTimestampNs(), 1000);
    EXPECT_EQ(engine.nextTimestampNs(), 1001);  // equal reading
    EXPECT_EQ(engine.nextTimestampNs(), 1002);  // reading went back
    EXPECT_EQ(engine.nextTimestampNs(), 5000);
    EXPECT_EQ(engine.nextTimestampNs(), 5001);
    EXPECT_EQ(engine.frames(), 0);
    engine.stop();
    engine.stop();
}

TEST(ScreenCaptureError, TextsAndAStartWithoutAServer) {
    EXPECT_EQ(ScreenCaptureError::streamStopped("gone").description(), "Screen capture stopped: gone");
    EXPECT_EQ(ScreenCaptureError::noStream().description(), "ScreenCaptureKit did not provide a screen stream");
    EXPECT_EQ(ScreenCaptureError::noDisplay().description(),
              "This computer listed no displays to capture. Quit and reopen Quillmate Host so Screen Recording "
              "takes effect, and make sure the display is awake");

    ScreenCaptureOptions options;
    options.displayName = ":bogus";
    ScreenCaptureEngine engine(VideoFrameSink{}, options);
    EXPECT_ANY_THROW(engine.start({}));
    EXPECT_EQ(engine.frames(), 0);
    engine.stop();
}

}  // namespace
}  // namespace quill::host
