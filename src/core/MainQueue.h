#pragma once

#include <chrono>
#include <functional>

namespace velmora {

// Runs closures on the application's main thread (the GLib main loop in the app, a pumped test
// loop in the suites). post() may be called from any thread and never runs the closure inline.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void post(std::function<void()> work) = 0;
    // Runs `work` on the main thread once `delay` has passed.
    virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> work) = 0;
};

}  // namespace velmora
