#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/HttpRequest.h"
#include "net/TlsTrust.h"

namespace velmora {

// How a transfer ended.
enum class TransferEnd {
    completed,  // the whole answer arrived
    cutShort,   // the server closed the connection before the announced length
    broken,     // the connection could not be made, dropped, or went idle; a later request may get past it
    stopped,    // the body sink or the cancel flag stopped it
    refused,    // anything else: TLS verification, a refused redirect, the address itself
};

struct HttpTransferResult {
    TransferEnd end = TransferEnd::completed;
    std::string errorText;  // the most detailed description of a failure; "" when completed

    bool succeeded() const { return end == TransferEnd::completed; }
    // Whether a new request for the rest may get past what ended this one.
    bool resumable() const { return end == TransferEnd::cutShort || end == TransferEnd::broken; }
};

// One HTTPS request whose answer streams to the caller on the caller's own thread, under the house
// rules of every native request (see CurlTransfer) plus the request's total time-out and receive
// buffer size. The response head can be read from within the body sink.
class HttpTransfer {
public:
    // Receives each decoded piece of the body in order; returns false to stop the transfer.
    using BodySink = std::function<bool(std::string_view bytes)>;

    // Throws std::runtime_error when the transfer cannot be set up.
    static std::unique_ptr<HttpTransfer> make(HttpRequest request, const TlsTrust& trust, BodySink sink);
    virtual ~HttpTransfer() = default;

    // Stops the transfer at the next progress check (about once a second) once `flag` is true. The
    // flag must outlive the transfer; it may be set from any thread.
    virtual void setCancelFlag(const std::atomic<bool>* flag) = 0;

    // Runs the transfer to its end on this thread.
    virtual HttpTransferResult perform() = 0;

    // The final response's status code, or 0 when no response arrived.
    virtual long responseStatus() const = 0;
    // The final response's announced body length, or -1 when it announced none.
    virtual std::int64_t contentLength() const = 0;
    // The value of the final response's header `name` (the last one when repeated), or "".
    virtual std::string responseHeader(const char* name) const = 0;
};

}  // namespace velmora
