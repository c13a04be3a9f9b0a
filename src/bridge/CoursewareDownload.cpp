#include "bridge/CoursewareDownload.h"

#include "bridge/MacBridge.h"
#include "core/Files.h"
#include "core/Unicode.h"
#include "core/VelmoraError.h"
#include "net/CurlHandles.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace velmora {

namespace {

bool isRemovedFromNames(char c) { return c == '/' || c == ':' || c == '\\' || c == '\0' || c == '\r' || c == '\n'; }

// The last component of a URL path, as a file system would name it ("" for "/" or no path).
std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.ends_with('/')) path.pop_back();
    if (path == "/") return {};
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string urlFileName(const std::string& text) {
    CurlUrl url = parseCurlUrl(text);
    if (!url) return {};
    std::optional<std::string> path = curlUrlPart(url.get(), CURLUPART_PATH, CURLU_URLDECODE);
    if (!path) path = curlUrlPart(url.get(), CURLUPART_PATH);  // escapes that cannot be decoded stay as written
    return lastPathComponent(path.value_or(""));
}

std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
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
    if (MacBridge::urlScheme(text) != "https") return std::nullopt;
    CurlUrl parsed = parseCurlUrl(text);
    if (!parsed) return std::nullopt;
    return curlUrlPart(parsed.get(), CURLUPART_URL);
}

std::string CoursewareDownload::proposedName(const Json& payload, const std::string& url) {
    const Json* suggested = payloadValue(payload, "suggestedName");
    if (suggested != nullptr && suggested->is_string()) return safeFileName(suggested->get_ref<const std::string&>());
    return safeFileName(urlFileName(url));
}

std::string CoursewareDownload::safeFileName(std::string_view name) {
    std::string kept;
    kept.reserve(name.size());
    for (char c : name) {
        if (!isRemovedFromNames(c)) kept.push_back(c);
    }
    kept = graphemePrefix(kept, kMaximumNameGraphemes);
    return kept.empty() ? std::string(kFallbackName) : kept;
}

HttpRequest CoursewareDownload::request(const std::string& url, const std::string& token, std::chrono::milliseconds timeout) {
    HttpRequest request;
    request.url = url;
    request.timeout = timeout;
    request.headers.push_back({"Accept", "application/octet-stream,*/*;q=0.8"});
    if (!token.empty()) request.headers.push_back({"Authorization", "Bearer " + token});
    return request;
}

Json CoursewareDownload::finish(const HttpDownloadResult& result, const std::filesystem::path& destination) {
    if (result.error) return failedEvent(errorText(result.error));
    if (result.status < 200 || result.status > 299 || !result.temporaryFile) {
        return failedEvent("课件服务返回 HTTP " + std::to_string(result.status));
    }
    // rename() replaces an existing file atomically and otherwise moves; the temporary file sits
    // in the destination's folder, so it never crosses file systems.
    if (std::rename(result.temporaryFile->c_str(), destination.c_str()) != 0) {
        return failedEvent(std::system_error(errno, std::generic_category(), destination.string()).what());
    }
    return {{"type", "resourceDownloadCompleted"}, {"path", destination.string()}};
}

Json CoursewareDownload::failedEvent(const std::string& message) {
    return {{"type", "resourceDownloadFailed"}, {"message", message}};
}

}  // namespace velmora
