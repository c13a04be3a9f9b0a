#include "app/GioNetworkMonitor.h"

namespace velmora {

GioNetworkMonitor::GioNetworkMonitor(bool serviceOnThisMachine)
    : serviceOnThisMachine_(serviceOnThisMachine), monitor_(g_network_monitor_get_default()), last_(state()) {
    changed_ = connectSignal(monitor_, "network-changed", onChanged, this);
    metered_ = connectSignal(monitor_, "notify::network-metered", onMeteredChanged, this);
    // Connecting to the system bus waits for its daemon: off the start-up path.
    g_bus_get(G_BUS_TYPE_SYSTEM, cancellable_.get(), onSystemBus, this);
}

// After the destructor the task is cancelled, and GTask then hands back no bus, only the error.
void GioNetworkMonitor::onSystemBus(GObject*, GAsyncResult* result, gpointer self) {
    GDBusConnection* bus = g_bus_get_finish(result, nullptr);
    if (bus == nullptr) return;
    auto* monitor = static_cast<GioNetworkMonitor*>(self);
    monitor->systemBus_ = adoptGObject(bus);
    monitor->sleepSubscription_ = g_dbus_connection_signal_subscribe(
        bus, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "/org/freedesktop/login1", nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onPrepareForSleep, self, nullptr);
}

GioNetworkMonitor::~GioNetworkMonitor() {
    g_cancellable_cancel(cancellable_.get());
    if (sleepSubscription_ != 0) g_dbus_connection_signal_unsubscribe(systemBus_.get(), sleepSubscription_);
}

NetworkMonitor::State GioNetworkMonitor::state() const {
    if (serviceOnThisMachine_) return {true, false};
    return {g_network_monitor_get_network_available(monitor_) != FALSE, g_network_monitor_get_network_metered(monitor_) != FALSE};
}

void GioNetworkMonitor::setListeners(Listeners listeners) { listeners_ = std::move(listeners); }

void GioNetworkMonitor::onChanged(GNetworkMonitor*, gboolean, gpointer self) { static_cast<GioNetworkMonitor*>(self)->tellChanged(); }

void GioNetworkMonitor::onMeteredChanged(GObject*, GParamSpec*, gpointer self) { static_cast<GioNetworkMonitor*>(self)->tellChanged(); }

// GLib repeats "network-changed" for route changes that leave the state as it was.
void GioNetworkMonitor::tellChanged() {
    State now = state();
    if (now == last_) return;
    last_ = now;
    if (listeners_.changed) listeners_.changed(now);
}

void GioNetworkMonitor::onPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                          GVariant* parameters, gpointer self) {
    gboolean goingToSleep = TRUE;
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    g_variant_get(parameters, "(b)", &goingToSleep);
    auto* monitor = static_cast<GioNetworkMonitor*>(self);
    if (!goingToSleep && monitor->listeners_.woke) monitor->listeners_.woke();
}

}  // namespace velmora
