#pragma once

#include <curl/curl.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace velmora {

// One owner per libcurl handle: a unique_ptr whose deleter calls the handle's own release
// function. Each alias below is the only way the net code holds that kind of handle.
template <typename Handle, auto Release>
struct CurlReleaser {
    void operator()(Handle* handle) const noexcept { Release(handle); }
};

using CurlEasy = std::unique_ptr<CURL, CurlReleaser<CURL, curl_easy_cleanup>>;
using CurlMulti = std::unique_ptr<CURLM, CurlReleaser<CURLM, curl_multi_cleanup>>;
using CurlUrl = std::unique_ptr<CURLU, CurlReleaser<CURLU, curl_url_cleanup>>;
using CurlSlist = std::unique_ptr<curl_slist, CurlReleaser<curl_slist, curl_slist_free_all>>;
using CurlText = std::unique_ptr<char, CurlReleaser<char, curl_free>>;

// Runs curl_global_init once per process (thread-safe). Every factory below calls it first.
void ensureCurlInitialised();

// A fresh easy handle; throws std::runtime_error when libcurl cannot make one.
CurlEasy makeCurlEasy();
CurlMulti makeCurlMulti();

// Appends a line to a header list, keeping the list owned by `list`.
void appendCurlHeader(CurlSlist& list, const std::string& line);

// Throws std::runtime_error carrying libcurl's text when a setup call fails.
void checkCurl(CURLcode code);
void checkCurl(CURLMcode code);

}  // namespace velmora
