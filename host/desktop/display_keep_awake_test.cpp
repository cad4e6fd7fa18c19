#include "host/desktop/display_keep_awake.h"

#include <gtest/gtest.h>

namespace quill::host {
namespace {

class CountingBackend : public PowerBackend {
public:
    void declareUserActivity(const std::string& name, std::uint32_t type) override {
        ++activities;
        EXPECT_EQ(name, "Quillmate remote session");
        EXPECT_EQ(type, 0u);
    }
    std::optional<std::uint32_t> createAssertion(const std::string& type, std::uint32_t level,
                                                 const std::string& name) override {
        ++creates;
        EXPECT_EQ(type, "PreventUserIdleDisplaySleep");
        EXPECT_EQ(level, 255u);
        EXPECT_EQ(name, "Quillmate remote session in progress");
        if (failNext) {
            failNext = false;
            return std::nullopt;
        }
        return 100 + creates;
    }
    void releaseAssertion(std::uint32_t id) override { released.push_back(id); }

    int activities = 0;
    int creates = 0;
    bool failNext = false;
    std::vector<std::uint32_t> released;
};

TEST(DisplayKeepAwake, HoldDeclaresActivityEachTimeButAssertsOnce) {
    auto backend = std::make_shared<CountingBackend>();
    DisplayKeepAwake keepAwake(backend);
    keepAwake.hold();
    keepAwake.hold();
    EXPECT_EQ(backend->activities, 2);
    EXPECT_EQ(backend->creates, 1);
    EXPECT_TRUE(keepAwake.holding());
    EXPECT_EQ(keepAwake.assertionID(), 101u);

    keepAwake.release();
    EXPECT_EQ(backend->released, std::vector<std::uint32_t>{101});
    EXPECT_FALSE(keepAwake.holding());
    EXPECT_EQ(keepAwake.assertionID(), 0u);
    keepAwake.release();
    EXPECT_EQ(backend->released.size(), 1u);

    keepAwake.hold();  // a new assertion after a release
    EXPECT_EQ(backend->creates, 2);
    EXPECT_EQ(keepAwake.assertionID(), 102u);
}

TEST(DisplayKeepAwake, AFailedAssertionIsRetriedAndNeverReleased) {
    auto backend = std::make_shared<CountingBackend>();
    DisplayKeepAwake keepAwake(backend);
    keepAwake.release();
    EXPECT_TRUE(backend->released.empty());
    backend->failNext = true;
    keepAwake.hold();
    EXPECT_FALSE(keepAwake.holding());
    keepAwake.release();
    EXPECT_TRUE(backend->released.empty());
    keepAwake.hold();
    EXPECT_TRUE(keepAwake.holding());
    EXPECT_EQ(backend->creates, 2);
}

}  // namespace
}  // namespace quill::host
