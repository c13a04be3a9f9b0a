#include "bridge/CoursewareDownload.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "bridge/Utf8Validation.h"
#include "core/Files.h"
#include "core/Unicode.h"
#include "core/VelmoraError.h"
#include "net/Url.h"

namespace velmora {

namespace {

bool isRemovedFromNames(char c) { return c == '/' || c == ':' || c == '\\' || c == '\0' || c == '\r' || c == '\n'; }

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
        discard(result);
        return failedEvent("课件服务返回 HTTP " + std::to_string(result.status));
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
