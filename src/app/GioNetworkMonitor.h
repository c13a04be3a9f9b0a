#pragma once

#include "app/GLibHandles.h"
#include "downloads/NetworkMonitor.h"

#include <gio/gio.h>

namespace velmora {

// The network as GLib's GNetworkMonitor sees it (available: a route to the internet; metered:
// as NetworkManager or the portal reports it), and logind's PrepareForSleep(false) on the system
// bus as the wake signal. Without a system bus (a container, a test session) there is no wake
// signal; everything else works. A service on this machine (the demo classroom) is always
// reachable, also where GLib sees no route at all. Main thread.
class GioNetworkMonitor : public NetworkMonitor {
public:
    explicit GioNetworkMonitor(bool serviceOnThisMachine);
    ~GioNetworkMonitor() override;
    GioNetworkMonitor(const GioNetworkMonitor&) = delete;
    GioNetworkMonitor& operator=(const GioNetworkMonitor&) = delete;

    State state() const override;
    void setListeners(Listeners listeners) override;

private:
    static void onSystemBus(GObject* source, GAsyncResult* result, gpointer self);
    static void onChanged(GNetworkMonitor* monitor, gboolean available, gpointer self);
    static void onMeteredChanged(GObject* monitor, GParamSpec* property, gpointer self);
    static void onPrepareForSleep(GDBusConnection* bus, const gchar* sender, const gchar* path, const gchar* interface,
                                  const gchar* signal, GVariant* parameters, gpointer self);
    void tellChanged();

    const bool serviceOnThisMachine_;
    GNetworkMonitor* monitor_;  // GLib's process-wide default: not owned
    Listeners listeners_;
    State last_;
    SignalConnection changed_;
    SignalConnection metered_;
    GObjectPtr<GCancellable> cancellable_{g_cancellable_new()};
    GObjectPtr<GDBusConnection> systemBus_;
    guint sleepSubscription_ = 0;
};

}  // namespace velmora
