#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/Endpoints.h"
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
    static constexpr std::string_view kFileTooLarge = "课件文件超过 2 GB，无法保存";
    static constexpr std::uint64_t kMaximumFileBytes = std::uint64_t{2} << 30;
    // The longest a whole courseware download may take (2 GiB at about 600 KB/s).
    static constexpr std::chrono::hours kTotalTimeout{1};

    // The payload's "url" when it is an https URL (scheme spelled exactly so), else nullopt.
    static std::optional<std::string> sourceURL(const Json& payload);

    // The name proposed in the save panel: "suggestedName" when it is a text, otherwise the URL's
    // last path component with percent escapes decoded; cleaned by safeFileName.
    static std::string proposedName(const Json& payload, const std::string& url);

    // Removes "/", ":", "\", NUL, CR, LF and the bidirectional controls (which can make
    // "lecture<U+202E>fdp.sh" read as "lecturehs.pdf"), then leading dots (which would hide the
    // file); keeps the first 180 grapheme clusters, and falls back to "课程资料" when nothing remains.
    static std::string safeFileName(std::string_view name);

    // Whether `url` is served by the classroom service itself: https to the API host and port, or
    // to the web host or a host under it on the default port. Compared as libcurl parses the
    // address, so "https://<web host>@elsewhere/" or "https://<web host>.elsewhere/" is not.
    static bool isServiceAddress(const std::string& url, const Endpoints& endpoints);

    // The download request: at most kMaximumFileBytes within kTotalTimeout, with the learner's
    // bearer token when `token` is not empty and the address is the service's own.
    static HttpRequest request(const std::string& url, const std::string& token, const Endpoints& endpoints,
                               std::chrono::milliseconds timeout);

    // Refuses with the disk-space sentence when `bytes` more do not fit into `folder`.
    static void requireRoom(const std::filesystem::path& folder, std::uint64_t bytes);

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
