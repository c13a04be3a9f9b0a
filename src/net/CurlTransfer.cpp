#include "net/CurlTransfer.h"

#include <algorithm>
#include <cctype>

namespace velmora {

namespace {

constexpr long kMaximumRedirects = 16;

bool sameHeaderName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

bool hasHeader(const HttpRequest& request, std::string_view name) {
    return std::any_of(request.headers.begin(), request.headers.end(),
                       [&](const HttpHeader& header) { return sameHeaderName(header.name, name); });
}

// Whole seconds, rounded up, at least one: libcurl's idle limit counts in seconds.
long idleSeconds(std::chrono::milliseconds timeout) {
    auto seconds = (timeout.count() + 999) / 1000;
    return static_cast<long>(std::max<std::int64_t>(seconds, 1));
}

}  // namespace

CurlTransfer::CurlTransfer(HttpRequest request, const TlsTrust& trust, BodySink sink)
    : request_(std::move(request)), sink_(std::move(sink)), easy_(makeCurlEasy()) {
    CURL* easy = easy_.get();
    checkCurl(curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str()));
    checkCurl(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText_));
    checkCurl(curl_easy_setopt(easy, CURLOPT_PRIVATE, this));
    checkCurl(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody));
    checkCurl(curl_easy_setopt(easy, CURLOPT_WRITEDATA, this));
    checkCurl(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::onProgress));
    checkCurl(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this));
    checkCurl(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
    trust.apply(easy);
    configurePolicy();
    configureMethodAndBody();
    configureHeaders();
}

void CurlTransfer::configurePolicy() {
    CURL* easy = easy_.get();
    checkCurl(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
    // The address is sent exactly as given; libcurl would otherwise resolve "." and ".." segments.
    checkCurl(curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L));
    checkCurl(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https"));
    checkCurl(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https"));
    checkCurl(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L));
    checkCurl(curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaximumRedirects));
    checkCurl(curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L));
    checkCurl(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)));
    checkCurl(curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, ""));
    checkCurl(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request_.timeout.count())));
    // An idle limit, not a total one: a large file on a slow but moving connection must finish.
    checkCurl(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L));
    checkCurl(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, idleSeconds(request_.timeout)));
}

void CurlTransfer::configureMethodAndBody() {
    CURL* easy = easy_.get();
    const std::string& method = request_.method;
    bool sendsBody = !request_.body.empty() || method == "POST" || method == "PUT" || method == "PATCH";
    if (method == "GET" && !sendsBody) {
        checkCurl(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
        return;
    }
    if (method != "POST") checkCurl(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str()));
    if (!sendsBody) return;
    checkCurl(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body.size())));
    checkCurl(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request_.body.data()));
}

void CurlTransfer::configureHeaders() {
    for (const HttpHeader& header : request_.headers) {
        // "Name;" is libcurl's way to send a header with an empty value.
        appendCurlHeader(headers_, header.value.empty() ? header.name + ";" : header.name + ": " + header.value);
    }
    // libcurl would otherwise add a form content type the caller never asked for, and an
    // "Expect: 100-continue" round trip before large bodies.
    if (!hasHeader(request_, "Content-Type")) appendCurlHeader(headers_, "Content-Type:");
    if (!hasHeader(request_, "Expect")) appendCurlHeader(headers_, "Expect:");
    checkCurl(curl_easy_setopt(easy_.get(), CURLOPT_HTTPHEADER, headers_.get()));
}

CURLcode CurlTransfer::perform() { return curl_easy_perform(easy_.get()); }

long CurlTransfer::responseStatus() const {
    long status = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::string CurlTransfer::responseHeader(const char* name) const {
    curl_header* header = nullptr;
    // Request -1 is the last one of a redirect chain, the answer that carries the body.
    if (curl_easy_header(easy_.get(), name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return {};
    std::size_t last = header->amount > 0 ? header->amount - 1 : 0;
    if (last > 0 && curl_easy_header(easy_.get(), name, last, CURLH_HEADER, -1, &header) != CURLHE_OK) return {};
    return header->value;
}

std::exception_ptr CurlTransfer::transportError(CURLcode code) const {
    std::string text = errorText_[0] != '\0' ? std::string(errorText_) : std::string(curl_easy_strerror(code));
    return std::make_exception_ptr(HttpTransportError(text));
}

std::size_t CurlTransfer::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    std::size_t length = size * count;
    try {
        return transfer->sink_(std::string_view(data, length)) ? length : 0;
    } catch (...) {
        return 0;  // exceptions never cross into libcurl; the sink records its own failure
    }
}

int CurlTransfer::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    return transfer->cancelFlag_ != nullptr && transfer->cancelFlag_->load() ? 1 : 0;
}

}  // namespace velmora
