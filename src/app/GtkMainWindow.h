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
    // The launch overlay fades out over 0.2 s once the page has drawn its first frame. Under software
    // rendering every frame of the fade is drawn on the main loop, so fading at load would hold up the
    // page's first messages and frame; a page that never reports its frame is uncovered shortly after
    // it has loaded. Later calls do nothing.
    void pageDidLoad();
    void pageDrewFirstFrame();
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
    void fadeOutLaunchOverlay();

    GtkWindow* window_ = nullptr;       // owned by GTK's toplevel list; destroyed in the destructor
    GtkOverlay* overlay_ = nullptr;     // child of window_
    GtkWidget* launchOverlay_ = nullptr;  // child of overlay_ until the fade ends
    GObjectPtr<AdwAnimation> fade_;
    guint firstFrameWait_ = 0;  // GLib source that fades the overlay if the page never reports its frame
    std::optional<PressedButton> pressed_;
    SignalConnection closeConnection_;
};

}  // namespace velmora
