#include "app/WindowGeometry.h"

#include <algorithm>
#include <cmath>

namespace velmora {

namespace {

constexpr double kWidthShare = 0.86;
constexpr double kHeightShare = 0.88;
constexpr double kMinimumWidth = 1180;
constexpr double kMaximumWidth = 1680;
constexpr double kMinimumHeight = 760;
constexpr double kMaximumHeight = 1100;

// Floor first, then ceiling: never std::clamp, whose result is unspecified when floor > ceiling.
double floorThenCeiling(double value, double floor, double ceiling) { return std::min(std::max(value, floor), ceiling); }

}  // namespace

WindowSize initialContentSize(std::optional<WindowSize> workArea) {
    WindowSize area = workArea.value_or(kFallbackScreenArea);
    return {floorThenCeiling(kWidthShare * area.width, kMinimumWidth, kMaximumWidth),
            floorThenCeiling(kHeightShare * area.height, kMinimumHeight, kMaximumHeight)};
}

PixelSize toPixels(WindowSize size) {
    return {static_cast<int>(std::lround(size.width)), static_cast<int>(std::lround(size.height))};
}

}  // namespace velmora
