#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {

// How a request may use locally cached answers. libcurl keeps no response cache, so both load
// from the network; the value says what the caller asked for.
enum class CachePolicy { useProtocolDefault, reloadIgnoringLocalCache };

struct HttpHeader {
    std::string name;
    std::string value;

    friend bool operator==(const HttpHeader&, const HttpHeader&) = default;
};

// One HTTPS request as a plain value.
struct HttpRequest {
    std::string url{};                  // absolute https URL
    std::string method = "GET";         // sent as given
    std::vector<HttpHeader> headers{};  // sent in order, under the names as given
    std::string body{};                 // bytes sent as they are; none when empty
    // Longest wait for a connection, and longest stretch without any byte moving afterwards.
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
    CachePolicy cachePolicy = CachePolicy::useProtocolDefault;
    // Data and download tasks: the transfer stops once the decoded body grows past this many bytes.
    std::optional<std::size_t> maxResponseBytes{};
    // The longest the whole transfer may take; zero: no limit.
    std::chrono::seconds totalTimeout{0};
    // The receive buffer to ask of libcurl; zero: its default.
    std::size_t receiveBufferBytes = 0;
};

struct HttpResponse {
    long status = 0;   // the final response's HTTP status code
    std::string body;  // the decoded body bytes
};

// A transfer that failed below HTTP (connection, TLS, time-out, redirect refused). what() is
// libcurl's own description of the failure.
class HttpTransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A data or download task stopped because its body grew (or was announced to grow) past the
// request's maxResponseBytes. status() is the HTTP status of the answer that was cut off, so
// callers can judge the status before the size.
class HttpResponseTooLargeError : public std::runtime_error {
public:
    explicit HttpResponseTooLargeError(long status) : std::runtime_error("response body exceeds the allowed size"), status_(status) {}
    long status() const { return status_; }

private:
    long status_;
};

}  // namespace velmora
