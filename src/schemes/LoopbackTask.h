#pragma once

#include "core/Files.h"
#include "schemes/SchemeTask.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace velmora {

// The scheme task behind one loopback HTTP request. The media queue delivers into it; the
// connection thread takes the deliveries and writes them to the socket. Data waiting to be written
// is bounded: a delivery waits while `bufferLimitBytes` or more are still queued, so a slow client
// slows the decryption instead of filling memory. After abandon() every delivery is dropped at once.
class LoopbackTask : public SchemeTask {
public:
    struct Event {
        enum class Kind { response, data, finish, failure };
        Kind kind;
        SchemeResponse response;
        Bytes data;
        std::string message;
    };

    // Throws std::system_error when the wake-up descriptor cannot be made.
    LoopbackTask(SchemeRequest request, std::size_t bufferLimitBytes);

    // Readable while deliveries wait to be taken (an eventfd; poll it with POLLIN).
    int readyDescriptor() const { return ready_.get(); }

    // Everything delivered since the last call, in order.
    std::deque<Event> takeEvents();

    // The client is gone: drop every later delivery and release a delivery that is waiting.
    void abandon();

    const SchemeRequest& request() const override { return request_; }
    void didReceive(const SchemeResponse& response) override;
    void didReceive(ByteView data) override;
    void didFinish() override;
    void didFail(const std::string& message) override;

private:
    void push(Event event);

    SchemeRequest request_;
    std::size_t bufferLimitBytes_;
    FileDescriptor ready_;
    std::mutex mutex_;
    std::condition_variable drained_;
    std::deque<Event> events_;
    std::size_t queuedBytes_ = 0;
    bool abandoned_ = false;
};

}  // namespace velmora
