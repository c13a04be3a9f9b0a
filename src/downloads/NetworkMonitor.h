#pragma once

#include <functional>

namespace velmora {

// The platform's view of the network, for downloads that wait for it instead of failing.
// Main thread only: listeners are called there.
class NetworkMonitor {
public:
    struct State {
        bool available = true;  // a route to the internet (or any network, where the platform cannot tell)
        bool metered = false;   // the connection is charged by volume (a hotspot, a mobile plan)

        friend bool operator==(const State&, const State&) = default;
    };

    // `changed` gets each new state; `woke` is called when the machine has woken from sleep, when
    // open connections are likely dead although the state did not change.
    struct Listeners {
        std::function<void(State)> changed;
        std::function<void()> woke;
    };

    virtual ~NetworkMonitor() = default;

    virtual State state() const = 0;

    // Replaces the listeners; empty ones are not called.
    virtual void setListeners(Listeners listeners) = 0;
};

}  // namespace velmora
