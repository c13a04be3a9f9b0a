#include "core/SerialQueue.h"

#include <future>
#include <pthread.h>

namespace velmora {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), worker_([state = state_] { run(state); }), workerId_(worker_.get_id()) {
    // Thread names are limited to 15 bytes; keep the tail, which tells queues apart.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_one();
    if (isCurrent()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(state_->mutex);
        state_->pending.push_back(std::move(work));
    }
    state_->wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    std::promise<void> done;
    async([&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    done.get_future().get();
}

void SerialQueue::run(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->pending.empty(); });
            if (state->pending.empty()) return;
            work = std::move(state->pending.front());
            state->pending.pop_front();
        }
        try {
            work();
        } catch (...) {
            // A task reports its own failures; nothing here can tell anyone about it.
        }
    }
}

}  // namespace velmora
