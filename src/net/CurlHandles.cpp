#include "net/CurlHandles.h"

#include <mutex>

namespace velmora {

void ensureCurlInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { checkCurl(curl_global_init(CURL_GLOBAL_DEFAULT)); });
}

CurlEasy makeCurlEasy() {
    ensureCurlInitialised();
    CurlEasy easy(curl_easy_init());
    if (!easy) throw std::runtime_error("curl_easy_init failed");
    return easy;
}

CurlMulti makeCurlMulti() {
    ensureCurlInitialised();
    CurlMulti multi(curl_multi_init());
    if (!multi) throw std::runtime_error("curl_multi_init failed");
    return multi;
}

void appendCurlHeader(CurlSlist& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) throw std::bad_alloc();
    // curl_slist_append returns the same head once the list exists; adopt it only the first time.
    if (!list) list.reset(grown);
}

CurlUrl parseCurlUrl(const std::string& text, unsigned int flags) {
    ensureCurlInitialised();
    CurlUrl url(curl_url());
    if (!url) throw std::bad_alloc();
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK) return nullptr;
    return url;
}

std::optional<std::string> curlUrlPart(CURLU* url, CURLUPart part, unsigned int flags) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, flags) != CURLUE_OK) return std::nullopt;
    CurlText owned(raw);
    return owned ? std::string(owned.get()) : std::string();
}

void checkCurl(CURLcode code) {
    if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
}

void checkCurl(CURLMcode code) {
    if (code != CURLM_OK) throw std::runtime_error(curl_multi_strerror(code));
}

}  // namespace velmora
