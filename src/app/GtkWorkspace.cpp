#include "app/GtkWorkspace.h"

#include <gio/gio.h>

namespace velmora {

void GtkWorkspace::openURL(const std::string& url) {
    // The outcome is not reported back to the page.
    g_app_info_launch_default_for_uri_async(url.c_str(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace velmora
