#pragma once

#include "core/MainQueue.h"

namespace velmora {

// MainQueue on the GLib default main context: each closure becomes an idle source, so closures
// run in the order posted and never inline, whichever thread posts them.
class GtkMainQueue : public MainQueue {
public:
    void post(std::function<void()> work) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> work) override;

    // Runs `work` on the main loop after `delayMilliseconds`.
    static void postDelayed(unsigned delayMilliseconds, std::function<void()> work);
};

}  // namespace velmora
