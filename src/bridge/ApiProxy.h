#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "core/Endpoints.h"
#include "core/MainQueue.h"
#include "core/Payload.h"
#include "net/HttpRequest.h"

namespace velmora {

class HttpSession;

// The page's "apiRequest": builds a request to the one API host from the page's payload, within
// fixed limits, and turns the answer into the reply's result object.
class ApiProxy {
public:
    static constexpr std::size_t kMaximumPathGraphemes = 4096;
    static constexpr std::size_t kMaximumPathBytes = 8 * 1024;
    static constexpr std::size_t kMaximumJsonBodyBytes = 16 * 1024 * 1024;  // also the multipart body's limit
    static constexpr std::size_t kMaximumResponseBytes = 64 * 1024 * 1024;

    // The reply for one command: ok with `result`, or not ok with `message`.
    struct Outcome {
        bool ok = false;
        Json result;
        std::string message;

        // {"type": "nativeResponse", "requestId": …, "ok": …, then "result" or "message"}.
        Json reply(const std::string& requestId) const;
    };

    // Builds, sends and reads one API request; `done` runs once on the main queue. Never throws:
    // every failure becomes a not-ok outcome.
    static void performAPIRequest(HttpSession& http, MainQueue& mainQueue, const Json& payload, const Endpoints& endpoints,
                                  std::chrono::milliseconds timeout, std::function<void(Outcome)> done);

    // The request the payload asks for. Throws VelmoraError with the page's message when the
    // path, the method or the JSON body is refused.
    static HttpRequest buildRequest(const Json& payload, const Endpoints& endpoints, std::chrono::milliseconds timeout);

    // {"status", "body", "message"} for a response that arrived, whatever its status.
    static Json result(const HttpResponse& response);

    // The reply message for a failed data task.
    static std::string failureMessage(const std::exception_ptr& error);

    // "VelmoraBoundary" + a random version 4 UUID's 32 upper-case hexadecimal digits.
    static std::string makeBoundary();
};

}  // namespace velmora
