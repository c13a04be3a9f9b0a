#pragma once

#include "app/GLibHandles.h"

#include <gtk/gtk.h>

namespace velmora {

class VelmoraApplicationDelegate;

// The menu bar ("星禾课堂" and "窗口") and the "app." actions behind it with their keyboard
// shortcuts, plus the action that a download notification runs. Main thread only.
class GtkApplicationMenu {
public:
    // Adds the actions, which call `delegate` (it must outlive them), to `application` and makes
    // the menu its menu bar.
    GtkApplicationMenu(GtkApplication* application, VelmoraApplicationDelegate& delegate);

    GMenuModel* model() const { return G_MENU_MODEL(menu_.get()); }

private:
    GObjectPtr<GMenu> menu_;
};

}  // namespace velmora
