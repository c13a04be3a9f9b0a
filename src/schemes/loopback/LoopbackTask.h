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

// The scheme task behind one loopback HTTP request. The delivering thread (the media queue) writes
// the response head and the first data piece to the client itself, as a seek's answer needs no
// more: a player that takes a few bytes and seeks away costs no thread hop and no decryption of a
// piece it never takes. Once a whole piece has gone out the client is streaming, and the task reads
// ahead: deliveries only put their bytes into a small outbox that the connection thread writes
// out, so the media queue decrypts the next piece while the last one is sent. A delivery waits
// while the outbox is full, so a client that reads slowly still slows the decryption.
class LoopbackTask : public SchemeTask {
public:
    // Pieces the outbox holds at most, counting the one being written. One piece on its way out
    // while the media queue decrypts the next is all the overlap that two cores give; holding more
    // 2 MiB pieces at once made the allocator hand freed pages back and fault them in again.
    static constexpr std::size_t kOutboxCapacity = 1;

    enum class Ending {
        running,           // still answering, or answered but not yet all written
        finished,          // the whole answer was handed over; the connection may carry another request
        failedBeforeHead,  // no body byte was handed over, nor the head; failureMessage() says why
        cutShort,          // the answer was handed over only in part, or its framing asks for a close
        clientGone,        // a write of the delivering thread failed: the client is gone or stopped reading
    };

    // Writes to its own duplicate of `socket`, so it never writes to a reused descriptor number
    // whatever the connection does meanwhile. A write that fails stops the task at `media` at once,
    // from the delivering thread, so not even one more piece is read for a client that is gone.
    // Throws std::system_error when dup or eventfd fails.
    LoopbackTask(SchemeRequest request, const FileDescriptor& socket, bool keepAlive, SchemeHandler& media);

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
    // Connection thread, between writes (the task also calls it when its own write fails, which can
    // only happen before anything was put into the outbox).
    void abandon();

    const SchemeRequest& request() const override { return request_; }
    void didReceive(const SchemeResponse& response) override;
    void didReceive(ByteView data) override;
    void didReceive(Bytes&& data) override;
    void didFinish() override;
    void didFail(const std::string& message) override;

private:
    void sendHeldHead();
    void deliver(Bytes bytes, bool isData);
    bool writeDirectly(const Bytes& bytes);
    void end(Ending ending, std::string message = {});
    void signalReady();

    SchemeRequest request_;
    SchemeHandler& media_;
    FileDescriptor socket_;
    FileDescriptor ready_;
    bool closeAfter_;
    // Written only by the delivering thread, which the handler's serial queue makes one at a time.
    std::optional<Bytes> heldHead_;  // the response head, until the first body bytes (or the end) go with it
    bool headSent_ = false;
    std::optional<std::uint64_t> declaredLength_;
    std::uint64_t sentLength_ = 0;
    bool readingAhead_ = false;  // set once the delivering thread has written a whole data piece

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable roomInOutbox_;
    std::deque<Bytes> outbox_;  // a deque keeps the front's address while the back grows
    bool abandoned_ = false;
    Ending ending_ = Ending::running;
    std::string failureMessage_;
};

}  // namespace velmora
