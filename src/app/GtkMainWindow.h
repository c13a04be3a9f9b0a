#pragma once

#include "app/GLibHandles.h"
#include "app/WindowGeometry.h"
#include "bridge/MacApplicationCommands.h"

#include <adwaita.h>
#include <gtk/gtk.h>

#include <functional>
#include <optional>

namespace velmora {

// The main window: dark background, the web view filling it, window controls and the menu button
// at the top end, and the launch overlay until the first page has loaded. Closing only hides it.
// Main thread only.
class GtkMainWindow : public MainWindow {
public:
    static constexpr const char* kTitle = "星禾课堂";

    GtkMainWindow(GtkApplication* application, GtkWidget* webView, GMenuModel* menu, PixelSize size);
    ~GtkMainWindow() override;
    GtkMainWindow(const GtkMainWindow&) = delete;
    GtkMainWindow& operator=(const GtkMainWindow&) = delete;

    GtkWindow* window() const { return window_; }

    // The work area of the display's first monitor, or nullopt when there is none.
    static std::optional<WindowSize> workArea();

    // Unminimises, shows and raises the window.
    void present();
    // Takes the window off the screen; the application keeps running.
    void hide();
    // Fades the launch overlay out over 0.2 s and removes it; later calls do nothing.
    void fadeOutLaunchOverlay();
    bool hasLaunchOverlay() const { return launchOverlay_ != nullptr; }

    void miniaturize() override;
    void zoom() override;
    bool performDragWithCurrentEvent() override;

private:
    struct PressedButton {
        GObjectPtr<GdkDevice> device;
        int button = 0;
        double x = 0;  // surface coordinates
        double y = 0;
        guint32 time = 0;
    };

    static gboolean onCloseRequest(GtkWindow* window, gpointer self);
    static gboolean onEvent(GtkEventControllerLegacy* controller, GdkEvent* event, gpointer self);
    GtkWidget* buildLaunchOverlay();
    GtkWidget* buildWindowControls(GMenuModel* menu);

    GtkWindow* window_ = nullptr;       // owned by GTK's toplevel list; destroyed in the destructor
    GtkOverlay* overlay_ = nullptr;     // child of window_
    GtkWidget* launchOverlay_ = nullptr;  // child of overlay_ until the fade ends
    GObjectPtr<AdwAnimation> fade_;
    std::optional<PressedButton> pressed_;
    SignalConnection closeConnection_;
};

}  // namespace velmora
