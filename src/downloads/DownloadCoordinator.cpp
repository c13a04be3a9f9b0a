#include "downloads/DownloadCoordinator.h"

#include "core/VelmoraError.h"
#include "net/HttpSession.h"
#include "net/Url.h"
#include "vault/VaultManager.h"

namespace velmora {

namespace {

constexpr const char* kAlreadyQueued = "该小节已在下载队列中";
constexpr const char* kAnswerMalformed = "课程授权结果格式异常";
constexpr const char* kNoMediaOffered = "当前课时未提供可下载的 MP4 媒体";
constexpr const char* kDownloadFailed = "离线下载失败";
constexpr const char* kHttpStatusPrefix = "课程授权服务返回 HTTP ";

Json progressEvent(const std::string& assetId, std::uint64_t downloaded, std::uint64_t total, const std::string& phase) {
    return {{"type", "downloadProgress"}, {"assetId", assetId}, {"downloaded", downloaded}, {"total", total}, {"phase", phase}};
}

Json failedEvent(const std::string& assetId, const std::string& message) {
    return {{"type", "downloadFailed"}, {"assetId", assetId}, {"message", message.empty() ? kDownloadFailed : message}};
}

// A candidate address is usable when it parses as a URL with the scheme "https", in lower case.
bool isUsableMediaAddress(const std::string& candidate) {
    return candidate.rfind("https:", 0) == 0 && Url::parseWeb(candidate).has_value();
}

const Json* textMember(const Json& object, const char* key) {
    const Json* value = payloadValue(object, key);
    return value && value->is_string() ? value : nullptr;
}

bool isSuccessStatus(long status) { return status >= 200 && status <= 299; }

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const HttpResponseTooLargeError& tooLarge) {
        // The status is judged before the size, as for an answer read whole.
        if (!isSuccessStatus(tooLarge.status())) return kHttpStatusPrefix + std::to_string(tooLarge.status());
        return kAnswerMalformed;
    } catch (const std::exception& caught) {
        return errorDescription(caught);
    }
}

}  // namespace

std::shared_ptr<DownloadCoordinator> DownloadCoordinator::make(Post post, Dependencies dependencies) {
    return std::make_shared<DownloadCoordinator>(Private{}, std::move(post), std::move(dependencies));
}

DownloadCoordinator::DownloadCoordinator(Private, Post post, Dependencies dependencies)
    : post_(std::move(post)), dependencies_(std::move(dependencies)) {}

std::string DownloadCoordinator::authorizationURL(const Endpoints& endpoints, const DownloadRequest& request) {
    return endpoints.apiBaseAddress() + kAuthorizationPath + "?class_id=" + std::to_string(request.classId) +
           "&id=" + std::to_string(request.lessonId) + "&is_mobile=1";
}

std::string DownloadCoordinator::mediaAddressFromAnswer(long status, const std::string& body) {
    if (!isSuccessStatus(status)) throw VelmoraError(kHttpStatusPrefix + std::to_string(status));
    if (body.size() > kMaximumAnswerBytes) throw VelmoraError(kAnswerMalformed);
    Json answer = Json::parse(body);
    if (!answer.is_object()) throw VelmoraError(kAnswerMalformed);

    const Json* data = payloadValue(answer, "data");
    const Json* candidate = data && data->is_object() && !data->empty() ? textMember(*data, "offline_download_url") : nullptr;
    if (candidate == nullptr) candidate = textMember(answer, "offline_download_url");
    // A candidate inside "data" that is unusable is not replaced by a top-level one.
    if (candidate && isUsableMediaAddress(candidate->get_ref<const std::string&>())) return candidate->get<std::string>();
    if (const Json* message = textMember(answer, "msg")) throw VelmoraError(message->get<std::string>());
    throw VelmoraError(kNoMediaOffered);
}

void DownloadCoordinator::start(const DownloadRequest& request) {
    if (active_.contains(request.assetId)) {
        post_(failedEvent(request.assetId, kAlreadyQueued));
        return;
    }
    active_.emplace(request.assetId, nullptr);
    post_(progressEvent(request.assetId, 0, 0, "authorizing"));
    resolveOfflineURL(request);
}

void DownloadCoordinator::resolveOfflineURL(const DownloadRequest& request) {
    HttpRequest call;
    call.url = authorizationURL(dependencies_.endpoints, request);
    call.headers = {{"Accept", "application/json"}, {"X-Velmora-Client", "app"}, {"Authorization", "Bearer " + request.token}};
    call.cachePolicy = CachePolicy::reloadIgnoringLocalCache;
    call.timeout = dependencies_.authorizationTimeout;
    call.maxResponseBytes = kMaximumAnswerBytes;
    dependencies_.http->dataTask(std::move(call), [self = shared_from_this(), request](HttpDataResult result) {
        std::string mediaURL;
        try {
            if (result.error) std::rethrow_exception(result.error);
            mediaURL = mediaAddressFromAnswer(result.response.status, result.response.body);
        } catch (...) {
            self->complete(request.assetId, DownloadResult::failure(describe(std::current_exception())));
            return;
        }
        self->startDownload(request, mediaURL);
    });
}

void DownloadCoordinator::startDownload(const DownloadRequest& request, const std::string& mediaURL) {
    std::weak_ptr<DownloadCoordinator> weakSelf = weak_from_this();
    std::shared_ptr<MainQueue> mainQueue = dependencies_.mainQueue;
    const std::string assetId = request.assetId;
    auto progress = [weakSelf, mainQueue, assetId](std::uint64_t downloaded, std::uint64_t total, const std::string& phase) {
        mainQueue->post([weakSelf, assetId, downloaded, total, phase] {
            if (auto self = weakSelf.lock()) self->post_(progressEvent(assetId, downloaded, total, phase));
        });
    };
    auto completion = [weakSelf, mainQueue, assetId](const DownloadResult& result) {
        mainQueue->post([weakSelf, assetId, result] {
            if (auto self = weakSelf.lock()) self->complete(assetId, result);
        });
    };
    auto download = EncryptedDownload::make(request, mediaURL, *dependencies_.vault, std::move(progress), std::move(completion),
                                            dependencies_.downloadOptions);
    active_[assetId] = download;
    download->start();
}

void DownloadCoordinator::cancelAll() {
    for (auto& [assetId, download] : active_) {
        if (download) download->cancel();
    }
}

void DownloadCoordinator::complete(const std::string& assetId, const DownloadResult& result) {
    active_.erase(assetId);
    if (result.succeeded) {
        post_({{"type", "downloadCompleted"}, {"assetId", assetId}});
    } else {
        post_(failedEvent(assetId, result.message));
    }
}

}  // namespace velmora
