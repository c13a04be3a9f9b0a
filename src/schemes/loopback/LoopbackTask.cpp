#include "schemes/loopback/LoopbackTask.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace velmora {

namespace {

FileDescriptor duplicate(const FileDescriptor& socket) {
    int fd = ::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "dup");
    return FileDescriptor(fd);
}

FileDescriptor makeEventDescriptor() {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    return FileDescriptor(fd);
}

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 404: return "Not Found";
        default: return "Status";
    }
}

std::string responseHead(const SchemeResponse& response, bool closeAfter) {
    std::string head = "HTTP/1.1 " + std::to_string(response.statusCode) + " " +
                       std::string(reasonPhrase(response.statusCode)) + "\r\n";
    bool hasContentType = false;
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
        hasContentType = hasContentType || name == "Content-Type";
    }
    if (!hasContentType && !response.mimeType.empty()) {
        head += "Content-Type: " + response.mimeType;
        if (!response.textEncoding.empty()) head += "; charset=" + response.textEncoding;
        head += "\r\n";
    }
    if (closeAfter) head += "Connection: close\r\n";
    return head + "\r\n";
}

std::optional<std::uint64_t> declaredLength(const SchemeResponse& response) {
    auto found = response.headers.find("Content-Length");
    if (found == response.headers.end()) return std::nullopt;
    try {
        return std::stoull(found->second);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

LoopbackTask::LoopbackTask(SchemeRequest request, const FileDescriptor& socket, bool keepAlive, SchemeHandler& media)
    : request_(std::move(request)),
      media_(media),
      socket_(duplicate(socket)),
      ready_(makeEventDescriptor()),
      closeAfter_(!keepAlive) {}

void LoopbackTask::clearReady() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t ignored = ::read(ready_.get(), &count, sizeof count);
}

const Bytes* LoopbackTask::nextToWrite() {
    std::lock_guard lock(mutex_);
    return outbox_.empty() ? nullptr : &outbox_.front();
}

void LoopbackTask::popWritten() {
    {
        std::lock_guard lock(mutex_);
        if (outbox_.empty()) return;
        outbox_.pop_front();
    }
    roomInOutbox_.notify_one();
}

LoopbackTask::Ending LoopbackTask::ending() const {
    std::lock_guard lock(mutex_);
    return outbox_.empty() ? ending_ : Ending::running;
}

std::string LoopbackTask::failureMessage() const {
    std::lock_guard lock(mutex_);
    return failureMessage_;
}

void LoopbackTask::abandon() {
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        outbox_.clear();
    }
    roomInOutbox_.notify_one();
}

// The head waits for the body's first bytes. A player that finds an answer cut short asks again
// from where it stopped; if that piece cannot be read (a damaged record), the answer must fail
// with a status it reports, not arrive as an empty body it takes for the end of the media.
void LoopbackTask::didReceive(const SchemeResponse& response) {
    declaredLength_ = declaredLength(response);
    // Without a length the end of the body can only be told by closing the connection.
    closeAfter_ = closeAfter_ || !declaredLength_;
    std::string head = responseHead(response, closeAfter_);
    heldHead_ = Bytes(head.begin(), head.end());
}

void LoopbackTask::didReceive(ByteView data) { didReceive(Bytes(data.begin(), data.end())); }

void LoopbackTask::didReceive(Bytes&& data) {
    sendHeldHead();
    sentLength_ += data.size();
    deliver(std::move(data), true);
}

void LoopbackTask::didFinish() {
    sendHeldHead();  // an empty body
    // A body shorter than announced leaves the framing broken: only a close ends it.
    bool reusable = !closeAfter_ && declaredLength_ == sentLength_;
    end(reusable ? Ending::finished : Ending::cutShort);
}

void LoopbackTask::didFail(const std::string& message) {
    if (headSent_) {
        end(Ending::cutShort);  // the cut-off body tells the client
    } else {
        heldHead_.reset();
        end(Ending::failedBeforeHead, message);
    }
}

void LoopbackTask::sendHeldHead() {
    if (!heldHead_) return;
    headSent_ = true;
    Bytes head = std::move(*heldHead_);
    heldHead_.reset();
    deliver(std::move(head), false);
}

void LoopbackTask::deliver(Bytes bytes, bool isData) {
    if (!readingAhead_) {
        // Nothing is in the outbox yet, so the connection thread writes nothing meanwhile.
        readingAhead_ = writeDirectly(bytes) && isData;
        return;
    }
    {
        // Waits for room: this is the back-pressure from a slow client.
        std::unique_lock lock(mutex_);
        roomInOutbox_.wait(lock, [this] { return abandoned_ || outbox_.size() < kOutboxCapacity; });
        if (abandoned_) return;
        outbox_.push_back(std::move(bytes));
    }
    signalReady();
}

bool LoopbackTask::writeDirectly(const Bytes& bytes) {
    std::string_view rest(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    while (!rest.empty()) {
        {
            std::lock_guard lock(mutex_);
            if (abandoned_) return false;
        }
        ssize_t wrote = ::send(socket_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            // Reset, shut down, or no progress within the send time-out.
            media_.stop(*this);
            abandon();
            end(Ending::clientGone);
            return false;
        }
        rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

void LoopbackTask::end(Ending ending, std::string message) {
    {
        std::lock_guard lock(mutex_);
        if (ending_ != Ending::running) return;
        ending_ = ending;
        failureMessage_ = std::move(message);
    }
    signalReady();
}

void LoopbackTask::signalReady() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(ready_.get(), &one, sizeof one);
}

}  // namespace velmora
