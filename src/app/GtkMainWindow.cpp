#include "app/GtkMainWindow.h"

#include "app/DarkStyle.h"

#include <gdk/x11/gdkx.h>

namespace velmora {

namespace {

constexpr guint kFadeMilliseconds = 200;
constexpr guint kFirstFrameWaitMilliseconds = 300;
constexpr int kIconPixels = 72;

// Window rgb(0.045, 0.052, 0.067); root view and launch overlay rgb(0.043, 0.049, 0.063).
// Without a compositor ("solid-csd") the theme draws the window's frame as an inset shadow over the
// whole window, redrawn for every frame the web view delivers: during playback that doubled the UI
// process's CPU and dropped frames. Such a display shows no shadows anyway.
constexpr const char* kStyleSheet = R"CSS(
window.velmora-main { background-color: #0b0d11; }
window.velmora-main.solid-csd { box-shadow: none; }
.velmora-root, .velmora-launch { background-color: #0b0c10; }
.velmora-launch-title { font-size: 19px; font-weight: 600; color: #f0f0f0; }
.velmora-launch-subtitle { font-size: 11px; font-weight: 400; color: #8c8c8c; }
.velmora-controls { margin: 6px; }
)CSS";

void installStyleSheet() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    auto provider = adoptGObject(gtk_css_provider_new());
    gtk_css_provider_load_from_data(provider.get(), kStyleSheet, -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(provider.get()),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

GtkWidget* label(const char* text, const char* cssClass) {
    GtkWidget* widget = gtk_label_new(text);
    gtk_widget_add_css_class(widget, cssClass);
    gtk_label_set_justify(GTK_LABEL(widget), GTK_JUSTIFY_CENTER);
    return widget;
}

void setOpacity(double value, gpointer widget) { gtk_widget_set_opacity(GTK_WIDGET(widget), value); }

// The application's icon when the theme has it, else the closest stock picture.
const char* launchIconName() {
    GtkIconTheme* theme = gtk_icon_theme_get_for_display(gdk_display_get_default());
    const char* candidates[] = {gtk_window_get_default_icon_name(), "video-x-generic", "applications-multimedia"};
    for (const char* name : candidates) {
        if (name != nullptr && gtk_icon_theme_has_icon(theme, name)) return name;
    }
    return "image-missing";
}

// Pinch zoom stays off: a zoom gesture claimed in the capture phase never reaches the web view.
void disablePinchZoom(GtkWidget* widget) {
    GtkGesture* pinch = gtk_gesture_zoom_new();
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(pinch), GTK_PHASE_CAPTURE);
    g_signal_connect(pinch, "begin", G_CALLBACK(+[](GtkGesture* gesture, GdkEventSequence*, gpointer) {
                         gtk_gesture_set_state(gesture, GTK_EVENT_SEQUENCE_CLAIMED);
                     }),
                     nullptr);
    gtk_widget_add_controller(widget, GTK_EVENT_CONTROLLER(pinch));
}

}  // namespace

GtkMainWindow::GtkMainWindow(GtkApplication* application, GtkWidget* webView, GMenuModel* menu, PixelSize size) {
    installStyleSheet();
    DarkStyle::apply();
    window_ = GTK_WINDOW(adw_application_window_new(application));
    gtk_window_set_title(window_, kTitle);
    gtk_widget_add_css_class(GTK_WIDGET(window_), "velmora-main");
    gtk_window_set_default_size(window_, size.width, size.height);
    gtk_widget_set_size_request(GTK_WIDGET(window_), kMinimumWindowSize.width, kMinimumWindowSize.height);
    gtk_window_set_hide_on_close(window_, FALSE);

    overlay_ = GTK_OVERLAY(gtk_overlay_new());
    gtk_widget_add_css_class(GTK_WIDGET(overlay_), "velmora-root");
    gtk_widget_set_hexpand(webView, TRUE);
    gtk_widget_set_vexpand(webView, TRUE);
    gtk_overlay_set_child(overlay_, webView);
    disablePinchZoom(GTK_WIDGET(overlay_));
    gtk_overlay_add_overlay(overlay_, buildWindowControls(menu));
    launchOverlay_ = buildLaunchOverlay();
    gtk_overlay_add_overlay(overlay_, launchOverlay_);
    adw_application_window_set_content(ADW_APPLICATION_WINDOW(window_), GTK_WIDGET(overlay_));

    closeConnection_ = connectSignal(window_, "close-request", onCloseRequest, this);
    GtkEventController* events = gtk_event_controller_legacy_new();
    gtk_event_controller_set_propagation_phase(events, GTK_PHASE_CAPTURE);
    g_signal_connect(events, "event", G_CALLBACK(onEvent), this);
    gtk_widget_add_controller(GTK_WIDGET(window_), events);
}

GtkMainWindow::~GtkMainWindow() {
    closeConnection_.disconnect();
    if (firstFrameWait_ != 0) g_source_remove(firstFrameWait_);
    if (fade_ && launchOverlay_ != nullptr) adw_animation_reset(fade_.get());
    fade_.reset();
    gtk_window_destroy(window_);
}

std::optional<WindowSize> GtkMainWindow::workArea() {
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) return std::nullopt;
    GListModel* monitors = gdk_display_get_monitors(display);
    if (g_list_model_get_n_items(monitors) == 0) return std::nullopt;
    auto monitor = adoptGObject(GDK_MONITOR(g_list_model_get_item(monitors, 0)));
    GdkRectangle area{};
    if (GDK_IS_X11_MONITOR(monitor.get())) {
        gdk_x11_monitor_get_workarea(monitor.get(), &area);
    } else {
        gdk_monitor_get_geometry(monitor.get(), &area);
    }
    if (area.width <= 0 || area.height <= 0) return std::nullopt;
    return WindowSize{static_cast<double>(area.width), static_cast<double>(area.height)};
}

GtkWidget* GtkMainWindow::buildLaunchOverlay() {
    GtkWidget* cover = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_add_css_class(cover, "velmora-launch");
    gtk_widget_set_can_target(cover, TRUE);

    GtkWidget* stack = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_widget_set_halign(stack, GTK_ALIGN_CENTER);
    gtk_widget_set_valign(stack, GTK_ALIGN_CENTER);
    gtk_widget_set_vexpand(stack, TRUE);

    GtkWidget* icon = gtk_image_new_from_icon_name(launchIconName());
    gtk_image_set_pixel_size(GTK_IMAGE(icon), kIconPixels);
    gtk_widget_set_size_request(icon, kIconPixels, kIconPixels);
    gtk_widget_set_margin_bottom(icon, 14 - 8);  // 14 after the icon, 8 between the labels
    gtk_box_append(GTK_BOX(stack), icon);
    gtk_box_append(GTK_BOX(stack), label("星禾课堂", "velmora-launch-title"));
    gtk_box_append(GTK_BOX(stack), label("正在准备你的学习空间…", "velmora-launch-subtitle"));
    gtk_box_append(GTK_BOX(cover), stack);
    return cover;
}

GtkWidget* GtkMainWindow::buildWindowControls(GMenuModel* menu) {
    GtkWidget* controls = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_widget_add_css_class(controls, "velmora-controls");
    gtk_widget_set_halign(controls, GTK_ALIGN_END);
    gtk_widget_set_valign(controls, GTK_ALIGN_START);
    GtkWidget* menuButton = gtk_menu_button_new();
    gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton), "open-menu-symbolic");
    gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(menuButton), menu);
    gtk_widget_add_css_class(menuButton, "flat");
    gtk_box_append(GTK_BOX(controls), menuButton);
    gtk_box_append(GTK_BOX(controls), gtk_window_controls_new(GTK_PACK_END));
    return controls;
}

void GtkMainWindow::present() {
    if (gtk_window_is_active(window_) && gtk_widget_get_visible(GTK_WIDGET(window_))) return;
    gtk_window_unminimize(window_);
    gtk_window_present(window_);
}

void GtkMainWindow::hide() { gtk_widget_set_visible(GTK_WIDGET(window_), FALSE); }

void GtkMainWindow::pageDidLoad() {
    if (launchOverlay_ == nullptr || fade_ || firstFrameWait_ != 0) return;
    firstFrameWait_ = g_timeout_add(kFirstFrameWaitMilliseconds, +[](gpointer self) -> gboolean {
        auto* window = static_cast<GtkMainWindow*>(self);
        window->firstFrameWait_ = 0;
        window->fadeOutLaunchOverlay();
        return G_SOURCE_REMOVE;
    }, this);
}

void GtkMainWindow::pageDrewFirstFrame() { fadeOutLaunchOverlay(); }

void GtkMainWindow::fadeOutLaunchOverlay() {
    if (launchOverlay_ == nullptr || fade_) return;
    if (firstFrameWait_ != 0) {
        g_source_remove(firstFrameWait_);
        firstFrameWait_ = 0;
    }
    AdwAnimationTarget* target = adw_callback_animation_target_new(setOpacity, launchOverlay_, nullptr);
    fade_ = adoptGObject(adw_timed_animation_new(launchOverlay_, 1.0, 0.0, kFadeMilliseconds, target));
    g_signal_connect(fade_.get(), "done", G_CALLBACK(+[](AdwAnimation*, gpointer self) {
                         auto* window = static_cast<GtkMainWindow*>(self);
                         gtk_overlay_remove_overlay(window->overlay_, window->launchOverlay_);
                         window->launchOverlay_ = nullptr;
                     }),
                     this);
    adw_animation_play(fade_.get());
}

void GtkMainWindow::miniaturize() { gtk_window_minimize(window_); }

void GtkMainWindow::zoom() {
    if (gtk_window_is_maximized(window_)) {
        gtk_window_unmaximize(window_);
    } else {
        gtk_window_maximize(window_);
    }
}

bool GtkMainWindow::performDragWithCurrentEvent() {
    // Script messages arrive outside GTK's event dispatch; the press that is still held is the
    // event the page's drag request belongs to.
    if (!pressed_) return false;
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_));
    if (surface == nullptr || !GDK_IS_TOPLEVEL(surface)) return false;
    gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), pressed_->device.get(), pressed_->button, pressed_->x, pressed_->y,
                            pressed_->time);
    pressed_.reset();
    return true;
}

gboolean GtkMainWindow::onCloseRequest(GtkWindow*, gpointer self) {
    static_cast<GtkMainWindow*>(self)->hide();
    return TRUE;  // never closed or released, only hidden
}

gboolean GtkMainWindow::onEvent(GtkEventControllerLegacy*, GdkEvent* event, gpointer self) {
    auto* window = static_cast<GtkMainWindow*>(self);
    GdkEventType type = gdk_event_get_event_type(event);
    if (type == GDK_BUTTON_PRESS) {
        double x = 0;
        double y = 0;
        gdk_event_get_position(event, &x, &y);
        window->pressed_ = PressedButton{retainGObject(gdk_event_get_device(event)), static_cast<int>(gdk_button_event_get_button(event)),
                                         x, y, gdk_event_get_time(event)};
    } else if (type == GDK_BUTTON_RELEASE) {
        window->pressed_.reset();
    }
    return FALSE;  // observe only
}

}  // namespace velmora
