#include "bridge/ApiProxy.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "bridge/APIFormPart.h"
#include "bridge/Utf8Validation.h"
#include "core/Crypto.h"
#include "core/Unicode.h"
#include "core/VelmoraError.h"
#include "net/HttpSession.h"
#include "net/Url.h"

namespace velmora {

namespace {

constexpr std::string_view kInvalidAddress = "接口地址无效";
constexpr std::string_view kInvalidMethod = "接口请求方法无效";
constexpr std::string_view kBodyTooLarge = "请求内容过大";
constexpr std::string_view kResponseTooLarge = "服务响应异常过大";
constexpr std::array<std::string_view, 5> kMethods = {"GET", "POST", "PUT", "PATCH", "DELETE"};
constexpr std::array<std::string_view, 4> kHeaderNames = {"accept", "authorization", "content-type", "x-velmora-client"};

std::string asciiLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string asciiUpper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The API address for `path`, or VelmoraError when the path may not be proxied.
std::string apiURL(const std::string& path, const Endpoints& endpoints) {
    // Bytes first: one user-perceived character can be made of any number of combining marks.
    if (path.empty() || path.size() > ApiProxy::kMaximumPathBytes || graphemeCount(path) > ApiProxy::kMaximumPathGraphemes ||
        path.find("://") != std::string::npos || path.starts_with("//")) {
        throw VelmoraError(std::string(kInvalidAddress));
    }
    // The path goes out as the page wrote it: a resolved "." or ".." segment would send another
    // path than the one asked for.
    std::optional<Url> url = Url::parseWeb(endpoints.apiBaseAddress() + path, DotSegments::keep);
    if (!url || url->scheme != "https" || url->host != endpoints.apiHost) throw VelmoraError(std::string(kInvalidAddress));
    return url->text;
}

std::string apiMethod(const Json& payload) {
    const Json* given = payloadValue(payload, "method");
    std::string method = given != nullptr && given->is_string() ? asciiUpper(given->get<std::string>()) : "GET";
    if (std::find(kMethods.begin(), kMethods.end(), method) == kMethods.end()) throw VelmoraError(std::string(kInvalidMethod));
    return method;
}

// Sets a header, replacing an earlier one of the same name in any letter case.
void setHeader(std::vector<HttpHeader>& headers, std::string name, std::string value) {
    std::string lowered = asciiLower(name);
    auto same = [&](const HttpHeader& header) { return asciiLower(header.name) == lowered; };
    headers.erase(std::remove_if(headers.begin(), headers.end(), same), headers.end());
    headers.push_back({std::move(name), std::move(value)});
}

// A value with a line break or NUL would end the header line and start another one.
bool isSafeHeaderValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::vector<HttpHeader> apiHeaders(const Json& payload) {
    std::vector<HttpHeader> headers;
    const Json* given = payloadValue(payload, "headers");
    if (given == nullptr || !given->is_object()) return headers;
    for (const auto& [name, value] : given->items()) {
        if (!value.is_string() || !isSafeHeaderValue(value.get_ref<const std::string&>())) continue;
        if (std::find(kHeaderNames.begin(), kHeaderNames.end(), asciiLower(name)) == kHeaderNames.end()) continue;
        setHeader(headers, name, value.get<std::string>());
    }
    return headers;
}

std::vector<APIFormPart> formParts(const Json& payload) {
    std::vector<APIFormPart> parts;
    const Json* given = payloadValue(payload, "formParts");
    if (given == nullptr || !given->is_array()) return parts;
    if (!std::all_of(given->begin(), given->end(), [](const Json& element) { return element.is_object(); })) return parts;
    for (const Json& element : *given) {
        if (std::optional<APIFormPart> part = APIFormPart::fromDictionary(element)) parts.push_back(std::move(*part));
    }
    return parts;
}

ApiProxy::Outcome failure(std::string message) { return {false, Json(), std::move(message)}; }

}  // namespace

Json ApiProxy::Outcome::reply(const std::string& requestId) const {
    Json reply = {{"type", "nativeResponse"}, {"requestId", requestId}, {"ok", ok}};
    if (ok) {
        reply["result"] = result;
    } else {
        reply["message"] = message;
    }
    return reply;
}

HttpRequest ApiProxy::buildRequest(const Json& payload, const Endpoints& endpoints, std::chrono::milliseconds timeout) {
    HttpRequest request;
    request.url = apiURL(payloadText(payload, "path"), endpoints);
    request.method = apiMethod(payload);
    request.cachePolicy = CachePolicy::reloadIgnoringLocalCache;
    request.timeout = timeout;
    request.maxResponseBytes = kMaximumResponseBytes;
    request.headers = apiHeaders(payload);
    std::vector<APIFormPart> parts = formParts(payload);
    if (!parts.empty()) {
        std::string boundary = makeBoundary();
        setHeader(request.headers, "Content-Type", "multipart/form-data; boundary=" + boundary);
        std::optional<std::string> body = multipart(parts, boundary, kMaximumJsonBodyBytes);
        if (!body) throw VelmoraError(std::string(kBodyTooLarge));
        request.body = std::move(*body);
        return request;
    }
    request.body = payloadText(payload, "jsonBody");
    if (request.body.size() > kMaximumJsonBodyBytes) throw VelmoraError(std::string(kBodyTooLarge));
    return request;
}

Json ApiProxy::result(const HttpResponse& response) {
    bool success = response.status >= 200 && response.status <= 299;
    return {
        {"status", response.status},
        {"body", isValidUTF8(response.body) ? response.body : std::string("{}")},
        {"message", success ? std::string() : "服务响应异常（HTTP " + std::to_string(response.status) + "）"},
    };
}

std::string ApiProxy::failureMessage(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const HttpResponseTooLargeError&) {
        return std::string(kResponseTooLarge);
    } catch (const std::exception& e) {
        return errorDescription(e);
    } catch (...) {
        return "unknown error";
    }
}

std::string ApiProxy::makeBoundary() {
    Bytes uuid = randomBytes(16);
    uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4
    uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return "VelmoraBoundary" + asciiUpper(hexLower(uuid));
}

void ApiProxy::performAPIRequest(HttpSession& http, MainQueue& mainQueue, const Json& payload, const Endpoints& endpoints,
                                 std::chrono::milliseconds timeout, std::function<void(Outcome)> done) {
    HttpRequest request;
    try {
        request = buildRequest(payload, endpoints, timeout);
    } catch (const std::exception& e) {
        mainQueue.post([done = std::move(done), message = errorDescription(e)] { done(failure(message)); });
        return;
    }
    http.dataTask(std::move(request), [done = std::move(done)](HttpDataResult answer) {
        if (answer.error) {
            done(failure(failureMessage(answer.error)));
            return;
        }
        done({true, result(answer.response), {}});
    });
}

}  // namespace velmora
