#include "support/TestMainQueue.h"

namespace velmora::test {

void TestMainQueue::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void TestMainQueue::postAfter(std::chrono::milliseconds delay, std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        delayed_.emplace(std::chrono::steady_clock::now() + delay, std::move(work));
    }
    wake_.notify_one();
}

bool TestMainQueue::runOne(std::chrono::steady_clock::time_point deadline) {
    std::function<void()> work;
    {
        std::unique_lock lock(mutex_);
        auto dueWork = [this] {
            for (auto now = std::chrono::steady_clock::now(); !delayed_.empty() && delayed_.begin()->first <= now;) {
                pending_.push_back(std::move(delayed_.begin()->second));
                delayed_.erase(delayed_.begin());
            }
            return !pending_.empty();
        };
        auto wakeAt = [&] { return delayed_.empty() ? deadline : std::min(deadline, delayed_.begin()->first); };
        while (!dueWork()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            wake_.wait_until(lock, wakeAt());
        }
        work = std::move(pending_.front());
        pending_.pop_front();
    }
    work();
    return true;
}

bool TestMainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        runOne(std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
    }
    return true;
}

void TestMainQueue::runFor(std::chrono::milliseconds duration) {
    auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) runOne(deadline);
}

}  // namespace velmora::test
