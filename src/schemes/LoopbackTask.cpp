#include "schemes/LoopbackTask.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace velmora {

namespace {

FileDescriptor makeEventDescriptor() {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    return FileDescriptor(fd);
}

}  // namespace

LoopbackTask::LoopbackTask(SchemeRequest request, std::size_t bufferLimitBytes)
    : request_(std::move(request)), bufferLimitBytes_(bufferLimitBytes), ready_(makeEventDescriptor()) {}

std::deque<LoopbackTask::Event> LoopbackTask::takeEvents() {
    std::uint64_t count = 0;
    // Reset the descriptor before taking, so a delivery racing with us leaves it readable again.
    [[maybe_unused]] ssize_t ignored = ::read(ready_.get(), &count, sizeof count);
    std::deque<Event> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(events_);
        queuedBytes_ = 0;
    }
    drained_.notify_all();
    return taken;
}

void LoopbackTask::abandon() {
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        events_.clear();
        queuedBytes_ = 0;
    }
    drained_.notify_all();
}

void LoopbackTask::didReceive(const SchemeResponse& response) { push({Event::Kind::response, response, {}, {}}); }

void LoopbackTask::didReceive(ByteView data) {
    {
        std::unique_lock lock(mutex_);
        drained_.wait(lock, [this] { return abandoned_ || queuedBytes_ < bufferLimitBytes_; });
        if (abandoned_) return;
    }
    push({Event::Kind::data, {}, Bytes(data.begin(), data.end()), {}});
}

void LoopbackTask::didFinish() { push({Event::Kind::finish, {}, {}, {}}); }

void LoopbackTask::didFail(const std::string& message) { push({Event::Kind::failure, {}, {}, message}); }

void LoopbackTask::push(Event event) {
    {
        std::lock_guard lock(mutex_);
        if (abandoned_) return;
        queuedBytes_ += event.data.size();
        events_.push_back(std::move(event));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(ready_.get(), &one, sizeof one);
}

}  // namespace velmora
