#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "net/CurlHandles.h"
#include "net/HttpRequest.h"
#include "net/TlsTrust.h"

namespace velmora {

// One HTTPS request bound to one easy handle, with the house rules every native request follows:
// https only (redirects included), at most 16 redirects, Authorization and cookies never carried
// to another host, HTTP/2 where the server offers it, compressed answers decoded, and the
// request's time-out as a connect limit plus an idle limit.
//
// The body arrives through the sink; run the handle either on a multi handle (HttpSession) or
// with perform() on the caller's thread (a per-download serial queue). Not copyable or movable:
// libcurl's callbacks hold its address.
class CurlTransfer {
public:
    // Receives each decoded piece of the body in order; returns false to stop the transfer.
    using BodySink = std::function<bool(std::string_view bytes)>;

    // Throws std::runtime_error with libcurl's text when the handle cannot be set up.
    CurlTransfer(HttpRequest request, const TlsTrust& trust, BodySink sink);
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    CURL* easy() const { return easy_.get(); }
    const HttpRequest& request() const { return request_; }

    // Stops the transfer at the next progress check once `flag` is true. The flag must outlive
    // the transfer; it may be set from any thread.
    void setCancelFlag(const std::atomic<bool>* flag) { cancelFlag_ = flag; }

    // Runs the transfer to its end on this thread and returns libcurl's result.
    CURLcode perform();

    // The final response's status code, or 0 when no response arrived.
    long responseStatus() const;

    // The value of the final response's header `name` (the last one when repeated), or "" when
    // it has none.
    std::string responseHeader(const char* name) const;

    // An HttpTransportError carrying libcurl's most detailed text for a failed result.
    std::exception_ptr transportError(CURLcode code) const;

private:
    void configureMethodAndBody();
    void configureHeaders();
    void configurePolicy();
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    HttpRequest request_;
    BodySink sink_;
    CurlEasy easy_;
    CurlSlist headers_;
    const std::atomic<bool>* cancelFlag_ = nullptr;
    char errorText_[CURL_ERROR_SIZE] = {};
};

}  // namespace velmora
