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

void checkCurl(CURLcode code) {
    if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
}

void checkCurl(CURLMcode code) {
    if (code != CURLM_OK) throw std::runtime_error(curl_multi_strerror(code));
}

}  // namespace velmora
