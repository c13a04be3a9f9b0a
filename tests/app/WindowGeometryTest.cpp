#include "app/WindowGeometry.h"

#include <gtest/gtest.h>

#include <optional>

namespace velmora {
namespace {

struct SizeCase {
    const char* name;
    std::optional<WindowSize> workArea;
    WindowSize expected;
    PixelSize pixels;
};

std::vector<SizeCase> sizeCases() {
    return {
        {"FloorsOnSmallLaptop", WindowSize{1280, 800}, {1180, 760}, {1180, 760}},
        {"CeilingsOnLargeScreen", WindowSize{2560, 1440}, {1680, 1100}, {1680, 1100}},
        {"SharesInBetween", WindowSize{1600, 1000}, {1376, 880}, {1376, 880}},
        {"FallbackWithoutMonitor", std::nullopt, {1238.4, 792}, {1238, 792}},
        // Below the floors the floors still win: the floor is applied before the ceiling.
        {"TinyScreenStillGetsFloors", WindowSize{800, 600}, {1180, 760}, {1180, 760}},
        {"WidthCeilingHeightFloor", WindowSize{3000, 700}, {1680, 760}, {1680, 760}},
        {"HalfPixelRoundsUp", WindowSize{1500, 1000}, {1290, 880}, {1290, 880}},
    };
}

TEST(InitialContentSize, ClampsSharesOfTheWorkArea) {
    for (const SizeCase& c : sizeCases()) {
        SCOPED_TRACE(c.name);
        WindowSize size = initialContentSize(c.workArea);
        EXPECT_DOUBLE_EQ(size.width, c.expected.width);
        EXPECT_DOUBLE_EQ(size.height, c.expected.height);
        PixelSize pixels = toPixels(size);
        EXPECT_EQ(pixels.width, c.pixels.width);
        EXPECT_EQ(pixels.height, c.pixels.height);
    }
}

TEST(ToPixels, RoundsHalfWaysAwayFromZero) {
    EXPECT_EQ(toPixels({1238.5, 791.5}).width, 1239);
    EXPECT_EQ(toPixels({1238.5, 791.5}).height, 792);
    EXPECT_EQ(toPixels({1238.49, 791.49}).width, 1238);
}

TEST(MinimumWindowSize, IsBelowEveryInitialSize) {
    WindowSize smallest = initialContentSize(WindowSize{1, 1});
    EXPECT_LE(kMinimumWindowSize.width, smallest.width);
    EXPECT_LE(kMinimumWindowSize.height, smallest.height);
    EXPECT_EQ(kMinimumWindowSize.width, 980);
    EXPECT_EQ(kMinimumWindowSize.height, 680);
}

}  // namespace
}  // namespace velmora
