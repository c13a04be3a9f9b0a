#pragma once

#include <gtk/gtk.h>

#include <functional>

namespace velmora {

// Holds the desktop session's inhibits by purpose: the screen stays on while a lesson plays, the
// machine stays awake while lessons download. Each purpose holds at most one inhibit; asking twice
// is harmless, and an inhibit the session refused is asked for again at the next hold. Everything
// still held is released on destruction. Main thread only.
class GtkSessionInhibitor {
public:
    static constexpr const char* kIdleReason = "正在播放课程";
    static constexpr const char* kSuspendReason = "正在下载离线课程";

    // `window` gives the window the inhibits are for (or nullptr); asked at each new hold.
    GtkSessionInhibitor(GtkApplication* application, std::function<GtkWindow*()> window);
    ~GtkSessionInhibitor();
    GtkSessionInhibitor(const GtkSessionInhibitor&) = delete;
    GtkSessionInhibitor& operator=(const GtkSessionInhibitor&) = delete;

    // Keeps the session from going idle (screen blanking, screensaver) while `hold` is true.
    void holdIdle(bool hold);
    // Keeps the machine from suspending while `hold` is true.
    void holdSuspend(bool hold);

private:
    void hold(guint& cookie, bool hold, GtkApplicationInhibitFlags flags, const char* reason);

    GtkApplication* application_;  // not owned; outlives the inhibitor
    std::function<GtkWindow*()> window_;
    guint idleCookie_ = 0;  // 0 while nothing is held
    guint suspendCookie_ = 0;
};

}  // namespace velmora
