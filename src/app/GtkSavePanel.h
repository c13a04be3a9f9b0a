#pragma once

#include "app/GLibHandles.h"
#include "bridge/SavePanel.h"

#include <gtk/gtk.h>

#include <functional>

namespace velmora {

// SavePanel as a GtkFileChooserNative (the portal's dialog inside a sandbox), modal on the main
// window. One panel at a time; a request while one is open is answered "cancelled".
class GtkSavePanel : public SavePanel {
public:
    // `parent` gives the window the panel belongs to at the time it is shown (may give nullptr).
    explicit GtkSavePanel(std::function<GtkWindow*()> parent);
    ~GtkSavePanel() override;
    GtkSavePanel(const GtkSavePanel&) = delete;
    GtkSavePanel& operator=(const GtkSavePanel&) = delete;

    void ask(const std::string& suggestedName, std::function<void(std::optional<std::filesystem::path>)> done) override;

private:
    static void onResponse(GtkNativeDialog* dialog, int response, gpointer self);

    std::function<GtkWindow*()> parent_;
    GObjectPtr<GtkFileChooserNative> chooser_;  // set while a panel is open
    std::function<void(std::optional<std::filesystem::path>)> done_;
};

}  // namespace velmora
