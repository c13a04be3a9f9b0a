#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/Payload.h"
#include "net/HttpRequest.h"
#include "net/HttpSession.h"

namespace velmora {

// The steps of the page's "downloadResource" that do not touch the bridge: checking the address,
// proposing a file name, building the request and putting the finished file in place.
class CoursewareDownload {
public:
    static constexpr std::size_t kMaximumNameGraphemes = 180;
    static constexpr std::string_view kFallbackName = "课程资料";
    static constexpr std::string_view kInvalidAddress = "课件地址无效或不安全";

    // The payload's "url" when it is an https URL (scheme spelled exactly so), else nullopt.
    static std::optional<std::string> sourceURL(const Json& payload);

    // The name proposed in the save panel: "suggestedName" when it is a text, otherwise the URL's
    // last path component with percent escapes decoded; cleaned by safeFileName.
    static std::string proposedName(const Json& payload, const std::string& url);

    // Removes "/", ":", "\", NUL, CR and LF, keeps the first 180 grapheme clusters, and falls back
    // to "课程资料" when nothing remains.
    static std::string safeFileName(std::string_view name);

    // The download request, with the learner's bearer token when `token` is not empty.
    static HttpRequest request(const std::string& url, const std::string& token, std::chrono::milliseconds timeout);

    // Puts a finished download at `destination` (replacing a file already there in one step) and
    // returns the event for the page: "resourceDownloadCompleted" or "resourceDownloadFailed".
    // A failed download leaves the destination untouched.
    static Json finish(const HttpDownloadResult& result, const std::filesystem::path& destination);

    static Json failedEvent(const std::string& message);

private:
    // Removes a download that will not be kept, before the page can hear of the failure (the
    // session would remove it only after the completion returns).
    static void discard(const HttpDownloadResult& result);
};

}  // namespace velmora
