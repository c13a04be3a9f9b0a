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

// Breaks that a later request may get past are cutShort or broken; refusals (TLS verification,
// redirects, the address itself) and stops by the caller are not.
TransferEnd endOf(CURLcode code) {
    switch (code) {
        case CURLE_PARTIAL_FILE:
            return TransferEnd::cutShort;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_SSL_CONNECT_ERROR:
            return TransferEnd::broken;
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_WRITE_ERROR:
            return TransferEnd::stopped;
        default:
            return TransferEnd::refused;
    }
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
    configureTrust(trust);
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
    if (request_.totalTimeout.count() > 0)
        checkCurl(curl_easy_setopt(easy, CURLOPT_TIMEOUT, static_cast<long>(request_.totalTimeout.count())));
    if (request_.receiveBufferBytes > 0)
        checkCurl(curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(request_.receiveBufferBytes)));
}

void CurlTransfer::configureTrust(const TlsTrust& trust) {
    CURL* easy = easy_.get();
    checkCurl(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
    checkCurl(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
    if (!trust.bundle_) return;
    curl_blob blob{const_cast<char*>(trust.bundle_->data()), trust.bundle_->size(), CURL_BLOB_COPY};
    checkCurl(curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob));
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

std::unique_ptr<HttpTransfer> HttpTransfer::make(HttpRequest request, const TlsTrust& trust, BodySink sink) {
    return std::make_unique<CurlTransfer>(std::move(request), trust, std::move(sink));
}

HttpTransferResult CurlTransfer::perform() { return resultOf(curl_easy_perform(easy_.get())); }

long CurlTransfer::responseStatus() const {
    long status = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::int64_t CurlTransfer::contentLength() const {
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) return -1;
    return length;
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
    return std::make_exception_ptr(HttpTransportError(resultOf(code).errorText));
}

HttpTransferResult CurlTransfer::resultOf(CURLcode code) const {
    if (code == CURLE_OK) return {};
    return {endOf(code), errorText_[0] != '\0' ? std::string(errorText_) : std::string(curl_easy_strerror(code))};
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
