#pragma once

#include "app/GLibHandles.h"

#include <gio/gio.h>
#include <libdbusmenu-glib/server.h>

#include <functional>
#include <string>

namespace velmora {

// The tray item: a StatusNotifierItem on the session bus with its menu exported over dbusmenu.
// Activate (a left click in the tray host) shows the window; the host shows the status menu on a
// right click. Registers with every StatusNotifierWatcher that appears; without one the
// application simply runs without a tray item. Main thread only.
class GtkStatusItem {
public:
    static constexpr const char* kItemPath = "/StatusNotifierItem";
    static constexpr const char* kMenuPath = "/StatusNotifierItem/Menu";

    struct Actions {
        std::function<void()> showMainWindow;
        std::function<void()> openSettings;
        std::function<void()> requestQuit;
    };

    GtkStatusItem(GDBusConnection* connection, Actions actions);
    ~GtkStatusItem();
    GtkStatusItem(const GtkStatusItem&) = delete;
    GtkStatusItem& operator=(const GtkStatusItem&) = delete;

private:
    static void onMethodCall(GDBusConnection*, const char* sender, const char* path, const char* interface, const char* method,
                             GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
    static GVariant* onGetProperty(GDBusConnection*, const char* sender, const char* path, const char* interface,
                                   const char* property, GError** error, gpointer self);
    static void onWatcherAppeared(GDBusConnection* connection, const char* name, const char* owner, gpointer self);
    void buildMenu();

    GObjectPtr<GDBusConnection> connection_;
    Actions actions_;
    std::string busName_;
    guint objectId_ = 0;
    guint nameId_ = 0;
    guint watchId_ = 0;
    GObjectPtr<DbusmenuServer> menuServer_;
    GObjectPtr<DbusmenuMenuitem> menuRoot_;
};

}  // namespace velmora
