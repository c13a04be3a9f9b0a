#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace velmora {

// One worker thread running submitted closures one at a time, in submission order.
// Destruction runs what is already queued, then joins; it must not happen on the worker itself.
// Exceptions escaping a closure are swallowed so one failed task cannot stop the queue.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;
    ~SerialQueue();

    const std::string& label() const { return label_; }

    // Queues `work`; returns at once. Callable from any thread.
    void async(std::function<void()> work);

    // Queues `work` and waits for it. Must not be called from the worker thread.
    void sync(const std::function<void()>& work);

    bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> pending_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace velmora
