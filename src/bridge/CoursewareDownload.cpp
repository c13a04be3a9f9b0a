#include "bridge/CoursewareDownload.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "bridge/Utf8Validation.h"
#include "core/Files.h"
#include "core/Unicode.h"
#include "core/VelmoraError.h"
#include "downloads/DiskSpace.h"
#include "net/Url.h"

namespace velmora {

namespace {

constexpr unsigned kDefaultHttpsPort = 443;

bool isRemovedFromNames(UChar32 c) {
    return c == '/' || c == ':' || c == '\\' || c == '\0' || c == '\r' || c == '\n' || u_hasBinaryProperty(c, UCHAR_BIDI_CONTROL);
}

// Host names compare in any letter case, as DNS does.
bool sameHost(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

bool isUnderDomain(std::string_view host, std::string_view domain) {
    return host.size() > domain.size() + 1 && host[host.size() - domain.size() - 1] == '.' &&
           sameHost(host.substr(host.size() - domain.size()), domain);
}

// The last component of a URL path, percent escapes decoded after splitting, as file names are
// proposed ("" for "/" or no path). A component that does not decode to UTF-8 stays as written.
std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.ends_with('/')) path.pop_back();
    if (path == "/") return {};
    std::size_t slash = path.rfind('/');
    std::string component = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string text = percentDecodeLeniently(component);
    return isValidUTF8(text) ? text : component;
}

std::string urlFileName(const std::string& text) {
    std::optional<Url> url = Url::parseWeb(text);
    return url ? lastPathComponent(url->path) : std::string();
}

std::string statusRefusal(long status) { return "课件服务返回 HTTP " + std::to_string(status); }

// The status of an answer cut off for its size is judged first, as for one that arrived whole.
std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const HttpResponseTooLargeError& tooLarge) {
        bool success = tooLarge.status() >= 200 && tooLarge.status() <= 299;
        return success ? std::string(CoursewareDownload::kFileTooLarge) : statusRefusal(tooLarge.status());
    } catch (const std::exception& e) {
        return errorDescription(e);
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

std::optional<std::string> CoursewareDownload::sourceURL(const Json& payload) {
    const Json* url = payloadValue(payload, "url");
    if (url == nullptr || !url->is_string()) return std::nullopt;
    const std::string& text = url->get_ref<const std::string&>();
    if (Url::schemeOf(text) != "https") return std::nullopt;
    std::optional<Url> parsed = Url::parseWeb(text);
    if (!parsed) return std::nullopt;
    return parsed->text;
}

std::string CoursewareDownload::proposedName(const Json& payload, const std::string& url) {
    const Json* suggested = payloadValue(payload, "suggestedName");
    if (suggested != nullptr && suggested->is_string()) return safeFileName(suggested->get_ref<const std::string&>());
    return safeFileName(urlFileName(url));
}

std::string CoursewareDownload::safeFileName(std::string_view name) {
    std::string kept;
    kept.reserve(name.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name.data());
    const auto length = static_cast<std::int64_t>(name.size());
    for (std::int64_t offset = 0; offset < length;) {
        const std::int64_t start = offset;
        UChar32 c;
        U8_NEXT(bytes, offset, length, c);
        // Bytes that are not UTF-8 stay as they are.
        if (c < 0 || !isRemovedFromNames(c)) kept.append(name.substr(start, offset - start));
    }
    kept.erase(0, kept.find_first_not_of('.'));
    kept = graphemePrefix(kept, kMaximumNameGraphemes);
    return kept.empty() ? std::string(kFallbackName) : kept;
}

bool CoursewareDownload::isServiceAddress(const std::string& url, const Endpoints& endpoints) {
    std::optional<Url> parsed = Url::parseWeb(url);
    if (!parsed || parsed->scheme != "https") return false;
    unsigned apiPort = endpoints.apiPort != 0 ? endpoints.apiPort : kDefaultHttpsPort;
    if (sameHost(parsed->host, endpoints.apiHost) && parsed->port == apiPort) return true;
    if (endpoints.webHost.empty() || parsed->port != kDefaultHttpsPort) return false;
    return sameHost(parsed->host, endpoints.webHost) || isUnderDomain(parsed->host, endpoints.webHost);
}

HttpRequest CoursewareDownload::request(const std::string& url, const std::string& token, const Endpoints& endpoints,
                                        std::chrono::milliseconds timeout) {
    HttpRequest request;
    request.url = url;
    request.timeout = timeout;
    request.totalTimeout = kTotalTimeout;
    request.maxResponseBytes = kMaximumFileBytes;
    request.headers.push_back({"Accept", "application/octet-stream,*/*;q=0.8"});
    if (!token.empty() && isServiceAddress(url, endpoints)) request.headers.push_back({"Authorization", "Bearer " + token});
    return request;
}

void CoursewareDownload::requireRoom(const std::filesystem::path& folder, std::uint64_t bytes) {
    DiskSpace::requireForCourseware(folder, bytes);
}

Json CoursewareDownload::finish(const HttpDownloadResult& result, const std::filesystem::path& destination) {
    if (result.error) return failedEvent(errorText(result.error));
    if (result.status < 200 || result.status > 299 || !result.temporaryFile) {
        discard(result);
        return failedEvent(statusRefusal(result.status));
    }
    // rename() replaces an existing file atomically and otherwise moves; the temporary file sits
    // in the destination's folder, so it never crosses file systems.
    if (std::rename(result.temporaryFile->c_str(), destination.c_str()) != 0) {
        std::system_error error(errno, std::generic_category(), destination.string());
        discard(result);
        return failedEvent(error.what());
    }
    return {{"type", "resourceDownloadCompleted"}, {"path", destination.string()}};
}

void CoursewareDownload::discard(const HttpDownloadResult& result) {
    if (result.temporaryFile) removeFile(*result.temporaryFile);
}

Json CoursewareDownload::failedEvent(const std::string& message) {
    return {{"type", "resourceDownloadFailed"}, {"message", message}};
}

}  // namespace velmora
