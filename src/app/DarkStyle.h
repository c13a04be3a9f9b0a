#pragma once

namespace velmora {

// The application is dark whatever the desktop prefers. Applied just before the first window is
// made, not when the application starts: libadwaita first loads the stylesheet the desktop asks
// for, and switching it costs about 14 ms of the main thread, which the first page load need not
// wait for. Main thread only; applying it again changes nothing.
struct DarkStyle {
    static void apply();
};

}  // namespace velmora
