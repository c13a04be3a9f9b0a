#pragma once

#include "core/Files.h"
#include "schemes/SchemeTask.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace velmora {

// The scheme task behind one loopback HTTP request. The answer is written to the client socket
// straight from the delivering thread (the media queue): a piece costs one copy into the socket and
// no thread hop, and a client that reads slowly slows the decryption through TCP back-pressure
// instead of filling memory. The connection thread waits for endDescriptor() and then reads how
// the task ended; a delivery that cannot be written ends it as clientGone.
class LoopbackTask : public SchemeTask {
public:
    enum class Ending {
        running,
        finished,          // the whole answer was written; the connection may carry another request
        failedBeforeHead,  // nothing was written; failureMessage() says why
        cutShort,          // the answer was written only in part, or its framing asks for a close
        clientGone,        // a write failed: the client is gone or stopped reading
    };

    // Writes to its own duplicate of `socket`, so it never writes to a reused descriptor number
    // whatever the connection does meanwhile. A write that fails stops the task at `media` at once,
    // from the delivering thread, so not even one more piece is read for a client that is gone.
    // Throws std::system_error when dup or eventfd fails.
    LoopbackTask(SchemeRequest request, const FileDescriptor& socket, bool keepAlive, SchemeHandler& media);

    // Readable once the task has ended (an eventfd; poll it with POLLIN).
    int endDescriptor() const { return end_.get(); }

    Ending ending() const;
    std::string failureMessage() const;

    // The client is gone: every later delivery is dropped without writing.
    void abandon() { abandoned_ = true; }

    const SchemeRequest& request() const override { return request_; }
    void didReceive(const SchemeResponse& response) override;
    void didReceive(ByteView data) override;
    void didFinish() override;
    void didFail(const std::string& message) override;

private:
    bool write(std::string_view bytes);
    void end(Ending ending, std::string message = {});

    SchemeRequest request_;
    SchemeHandler& media_;
    FileDescriptor socket_;
    FileDescriptor end_;
    bool closeAfter_;
    // Written only by the delivering thread, which the handler's serial queue makes one at a time.
    bool headSent_ = false;
    std::optional<std::uint64_t> declaredLength_;
    std::uint64_t sentLength_ = 0;
    std::atomic<bool> abandoned_{false};
    mutable std::mutex endMutex_;
    Ending ending_ = Ending::running;
    std::string failureMessage_;
};

}  // namespace velmora
