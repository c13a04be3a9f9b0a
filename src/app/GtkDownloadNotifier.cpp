#include "app/GtkDownloadNotifier.h"

#include "app/GLibHandles.h"
#include "app/GtkMainWindow.h"

namespace velmora {

void GtkDownloadNotifier::downloadEnded(GtkWindow* window, const std::string& assetId, const std::string& text) const {
    bool watched = window != nullptr && gtk_widget_get_visible(GTK_WIDGET(window)) && gtk_window_is_active(window);
    if (watched) return;
    auto notification = adoptGObject(g_notification_new(GtkMainWindow::kTitle));
    g_notification_set_body(notification.get(), text.c_str());
    std::string action = std::string("app.") + kShowLibraryAction;
    g_notification_set_default_action(notification.get(), action.c_str());
    std::string id = "download-" + assetId;
    g_application_send_notification(G_APPLICATION(application_), id.c_str(), notification.get());
}

}  // namespace velmora
