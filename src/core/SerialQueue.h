#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace velmora {

// One worker thread running submitted closures one at a time, in submission order.
// Destruction runs what is already queued, then ends the worker. When the last owner lets go from
// inside one of the queue's own closures (a download that finishes on its own queue), the worker
// is detached instead of joined and ends after that closure.
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

    bool isCurrent() const { return std::this_thread::get_id() == workerId_; }

private:
    // Shared with the worker so a detached worker never touches a destroyed queue.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> pending;
        bool stopping = false;
    };
    static void run(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread worker_;
    std::thread::id workerId_;
};

}  // namespace velmora
