#pragma once

#include <gtk/gtk.h>

#include <functional>

namespace velmora {

// The application's alerts, as libadwaita message dialogs. Main thread only.
struct GtkDialogs {
    // The About panel; modal on `parent` when given (shown or hidden), nothing happens on dismissal.
    static void showAbout(GtkWindow* parent);

    // The quit confirmation on `parent`; `done(true)` when "退出软件" was chosen, `done(false)` for
    // "取消" or when the dialog is closed otherwise. `done` runs once, later, on the main thread.
    static void askToQuit(GtkWindow* parent, std::function<void(bool confirmed)> done);

    // A stop message without a parent window; `done` runs once it is dismissed.
    static void showFatal(GtkApplication* application, const char* message, std::function<void()> done);
};

}  // namespace velmora
