#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

namespace velmora {

// The application's alerts, as libadwaita message dialogs. Main thread only.
struct GtkDialogs {
    // The About panel; modal on `parent` when given (shown or hidden), nothing happens on dismissal.
    // Without `storeUsesKeyring` its details say that the desktop keyring is not in use.
    static void showAbout(GtkWindow* parent, bool storeUsesKeyring);

    // The quit confirmation on `parent`; `done(true)` when "退出软件" was chosen, `done(false)` for
    // "取消" or when the dialog is closed otherwise. `done` runs once, later, on the main thread.
    static void askToQuit(GtkWindow* parent, std::function<void(bool confirmed)> done);

    // `message` without a parent window, offering "退出" (the default and the close response) and
    // "重置本机离线数据"; `done(true)` for the latter. `done` runs once, later, on the main thread.
    static void askToResetOfflineData(GtkApplication* application, const std::string& message,
                                      std::function<void(bool reset)> done);

    // A stop message without a parent window; `done` runs once it is dismissed.
    static void showFatal(GtkApplication* application, const char* message, std::function<void()> done);
};

}  // namespace velmora
