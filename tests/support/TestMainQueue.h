#pragma once

#include "core/MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace velmora::test {

// The suites' main thread: post() queues from any thread; the test thread runs the queue in
// runUntil(), the way the GLib main loop runs posted work in the app.
class TestMainQueue : public MainQueue {
public:
    void post(std::function<void()> work) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> work) override;

    // Runs posted work until `done` holds or `timeout` passes; returns whether `done` held.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Runs posted work for `duration` (to show that nothing more arrives).
    void runFor(std::chrono::milliseconds duration);

private:
    bool runOne(std::chrono::steady_clock::time_point deadline);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> pending_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> delayed_;  // by when they are due
};

}  // namespace velmora::test
