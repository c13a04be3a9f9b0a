#pragma once

#include "core/Endpoints.h"
#include "core/MainQueue.h"
#include "core/Payload.h"
#include "downloads/EncryptedDownload.h"
#include "vault/DownloadRequest.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace velmora {

class HttpSession;
class VaultManager;

// Turns the page's lesson downloads into offline lessons: refuses a lesson that is already being
// fetched, asks the course API for the lesson's media address, runs one EncryptedDownload per
// lesson and reports every step to the page as "downloadProgress", "downloadCompleted" and
// "downloadFailed" events. Main thread only; the downloads' callbacks hop to the main queue, in
// order, before they touch the coordinator.
class DownloadCoordinator : public std::enable_shared_from_this<DownloadCoordinator> {
public:
    using Post = std::function<void(const Json& message)>;

    struct Dependencies {
        Endpoints endpoints;                    // the course API host
        std::shared_ptr<MainQueue> mainQueue;
        std::shared_ptr<HttpSession> http;      // the shared session, for the authorisation call
        const VaultManager* vault = nullptr;    // where lessons are sealed
        EncryptedDownload::Options downloadOptions;
        std::chrono::milliseconds authorizationTimeout{std::chrono::seconds(60)};
    };

    static constexpr const char* kAuthorizationPath = "classes/getClassChapterItemStashInfo";
    static constexpr std::size_t kMaximumAnswerBytes = 8 * 1024 * 1024;

    static std::shared_ptr<DownloadCoordinator> make(Post post, Dependencies dependencies);

    // Takes the request over and returns at once; everything else arrives through `post`.
    void start(const DownloadRequest& request);

    // Cancels every running download; each still reports its failure.
    void cancelAll();

    // The media address in an authorisation answer, or the failure to show. Throws VelmoraError
    // for the service's refusals and passes JSON parse errors on unchanged.
    static std::string mediaAddressFromAnswer(long status, const std::string& body);

    // The authorisation call's address for one lesson.
    static std::string authorizationURL(const Endpoints& endpoints, const DownloadRequest& request);

    // Lessons reserved from acceptance to completion (those being authorised included).
    std::size_t activeCount() const { return active_.size(); }

private:
    // Only make() can name this, so every coordinator lives in a shared_ptr (its tasks hold it).
    struct Private {};

public:
    DownloadCoordinator(Private, Post post, Dependencies dependencies);

private:
    void resolveOfflineURL(const DownloadRequest& request);
    void startDownload(const DownloadRequest& request, const std::string& mediaURL);
    void complete(const std::string& assetId, const DownloadResult& result);

    const Post post_;
    const Dependencies dependencies_;
    // Asset identifier → its running download; the download is null while the lesson is authorised,
    // so a second request for it is refused from the moment the first is accepted.
    std::map<std::string, std::shared_ptr<EncryptedDownload>> active_;
};

}  // namespace velmora
