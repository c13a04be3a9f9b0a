#pragma once

#include "core/Files.h"
#include "schemes/SchemeTask.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace velmora {

// The scheme task behind one loopback HTTP request. Deliveries (on the media queue) only put the
// answer's bytes into a small outbox; the connection thread takes them out and writes them to the
// client. So the media queue decrypts the next piece while the connection sends the last one, and
// a client that reads slowly still slows the decryption: a delivery waits while the outbox is full.
// Reading ahead starts only once a whole data piece has been written: until then a data delivery
// returns after its bytes are written, so a player that takes a few bytes and seeks away (most
// requests while seeking) costs no decryption of a piece it will never take.
class LoopbackTask : public SchemeTask {
public:
    // Byte runs (the response head, data pieces) the outbox holds at most, counting the one being
    // written: with 2 MiB pieces, a task holds at most this many pieces plus the one being decrypted.
    static constexpr std::size_t kOutboxCapacity = 2;

    enum class Ending {
        running,           // still answering, or answered but not yet all written
        finished,          // the whole answer was handed over; the connection may carry another request
        failedBeforeHead,  // nothing was handed over; failureMessage() says why
        cutShort,          // the answer was handed over only in part, or its framing asks for a close
    };

    // Throws std::system_error when the eventfd cannot be made.
    LoopbackTask(SchemeRequest request, bool keepAlive);

    // Readable (POLLIN) after the outbox has gained bytes or the task has ended; drain it with
    // clearReady() before looking at the outbox again.
    int readyDescriptor() const { return ready_.get(); }
    void clearReady();

    // Connection thread: the oldest bytes in the outbox, or nullptr when it is empty. They stay in
    // the outbox (and count against its capacity) until popWritten(); the reference stays valid.
    const Bytes* nextToWrite();
    void popWritten();

    // How the task ended; `running` while it goes on or while the outbox still holds bytes.
    Ending ending() const;
    std::string failureMessage() const;

    // The client is gone: the outbox is emptied, a waiting delivery returns, later ones are dropped.
    void abandon();

    const SchemeRequest& request() const override { return request_; }
    void didReceive(const SchemeResponse& response) override;
    void didReceive(ByteView data) override;
    void didReceive(Bytes&& data) override;
    void didFinish() override;
    void didFail(const std::string& message) override;

private:
    void post(Bytes bytes, bool isData);
    void end(Ending ending, std::string message = {});
    void signalReady();

    SchemeRequest request_;
    FileDescriptor ready_;
    bool closeAfter_;
    // Written only by the delivering thread, which the handler's serial queue makes one at a time.
    bool headSent_ = false;
    std::optional<std::uint64_t> declaredLength_;
    std::uint64_t sentLength_ = 0;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable roomInOutbox_;
    std::deque<Bytes> outbox_;  // a deque keeps the front's address while the back grows
    std::size_t runsWritten_ = 0;  // the head is the first run, data pieces follow
    bool abandoned_ = false;
    Ending ending_ = Ending::running;
    std::string failureMessage_;
};

}  // namespace velmora
