#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "net/CurlHandles.h"
#include "net/HttpRequest.h"
#include "net/HttpTransfer.h"
#include "net/TlsTrust.h"

namespace velmora {

// One HTTPS request bound to one easy handle, with the house rules every native request follows:
// https only (redirects included), at most 16 redirects, Authorization and cookies never carried
// to another host, HTTP/2 where the server offers it, compressed answers decoded, and the
// request's time-out as a connect limit plus an idle limit.
//
// The body arrives through the sink; run the handle either on a multi handle (HttpSession) or
// with perform() on the caller's thread (HttpTransfer). Not copyable or movable: libcurl's
// callbacks hold its address. Only the net library sees this type.
class CurlTransfer final : public HttpTransfer {
public:
    // Throws std::runtime_error with libcurl's text when the handle cannot be set up.
    CurlTransfer(HttpRequest request, const TlsTrust& trust, BodySink sink);
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    void setCancelFlag(const std::atomic<bool>* flag) override { cancelFlag_ = flag; }
    HttpTransferResult perform() override;
    long responseStatus() const override;
    std::int64_t contentLength() const override;
    std::string responseHeader(const char* name) const override;

    // An HttpTransportError carrying libcurl's most detailed text for a failed result.
    std::exception_ptr transportError(CURLcode code) const;

private:
    friend class HttpSession;  // runs transfers on its multi handle
    CURL* easy() const { return easy_.get(); }

    HttpTransferResult resultOf(CURLcode code) const;
    void configureMethodAndBody();
    void configureHeaders();
    void configurePolicy();
    void configureTrust(const TlsTrust& trust);
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
