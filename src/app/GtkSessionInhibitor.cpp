#include "app/GtkSessionInhibitor.h"

#include <utility>

namespace velmora {

GtkSessionInhibitor::GtkSessionInhibitor(GtkApplication* application, std::function<GtkWindow*()> window)
    : application_(application), window_(std::move(window)) {}

GtkSessionInhibitor::~GtkSessionInhibitor() {
    holdIdle(false);
    holdSuspend(false);
}

void GtkSessionInhibitor::holdIdle(bool hold) { this->hold(idleCookie_, hold, GTK_APPLICATION_INHIBIT_IDLE, kIdleReason); }

void GtkSessionInhibitor::holdSuspend(bool hold) {
    this->hold(suspendCookie_, hold, GTK_APPLICATION_INHIBIT_SUSPEND, kSuspendReason);
}

void GtkSessionInhibitor::hold(guint& cookie, bool hold, GtkApplicationInhibitFlags flags, const char* reason) {
    if (hold && cookie == 0) {
        // 0 means the session (no session manager or portal) refused; the next hold asks again.
        cookie = gtk_application_inhibit(application_, window_ ? window_() : nullptr, flags, reason);
    } else if (!hold && cookie != 0) {
        gtk_application_uninhibit(application_, std::exchange(cookie, 0));
    }
}

}  // namespace velmora
