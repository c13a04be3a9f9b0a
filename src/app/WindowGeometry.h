#pragma once

#include <optional>

namespace velmora {

// A size in GTK's logical (application) pixels, before the display's scale factor.
struct WindowSize {
    double width = 0;
    double height = 0;
};

// Whole logical pixels, as GTK sizes windows.
struct PixelSize {
    int width = 0;
    int height = 0;
};

inline constexpr WindowSize kFallbackScreenArea{1440, 900};
inline constexpr PixelSize kMinimumWindowSize{980, 680};

// The main window's initial content size for a monitor work area (nullopt: no monitor known):
// 86 % of the width clamped to 1180…1680 and 88 % of the height clamped to 760…1100. The floor is
// applied before the ceiling, so a work area smaller than the floors still gets the floors.
WindowSize initialContentSize(std::optional<WindowSize> workArea);

// Rounds a size to whole pixels (half away from zero).
PixelSize toPixels(WindowSize size);

}  // namespace velmora
