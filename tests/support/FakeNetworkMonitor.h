#pragma once

#include "downloads/NetworkMonitor.h"

namespace velmora::test {

// A network the test switches by hand; listeners run on the calling (main) thread, as GLib's do.
class FakeNetworkMonitor : public NetworkMonitor {
public:
    State state() const override { return state_; }
    void setListeners(Listeners listeners) override { listeners_ = std::move(listeners); }

    void set(bool available, bool metered = false) {
        state_ = {available, metered};
        if (listeners_.changed) listeners_.changed(state_);
    }
    void wake() {
        if (listeners_.woke) listeners_.woke();
    }

private:
    State state_;
    Listeners listeners_;
};

}  // namespace velmora::test
