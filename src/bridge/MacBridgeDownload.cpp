// The offline download command: accepts a lesson for the signed-in account only, always with the
// held session's token, and hands it to the download coordinator.
#include "bridge/MacBridge.h"
#include "downloads/DownloadCoordinator.h"
#include "net/HttpSession.h"

namespace velmora {

namespace {

constexpr const char* kIncompleteRequest = "离线下载参数不完整，请重新登录后再试";

}  // namespace

DownloadCoordinator& MacBridge::downloads() {
    if (!downloads_) {
        std::weak_ptr<MacBridge> weakSelf = weak_from_this();
        DownloadCoordinator::Dependencies dependencies{environment_.endpoints, environment_.mainQueue, environment_.http,
                                                       environment_.vault, {environment_.http->tlsTrust()}};
        downloads_ = DownloadCoordinator::make(
            [weakSelf](const Json& message) {
                if (auto self = weakSelf.lock()) self->post(message);
            },
            std::move(dependencies));
    }
    return *downloads_;
}

void MacBridge::startDownload(const Json& payload) {
    std::optional<DownloadRequest> request = DownloadRequest::fromDictionary(payload);
    auto refuse = [&](const std::string& message) {
        post({{"type", "downloadFailed"}, {"assetId", payloadText(payload, "assetId")}, {"message", message}});
    };
    if (!request || !session_ || request->ownerKey != session_->ownerKey || environment_.vault == nullptr) {
        refuse(kIncompleteRequest);
        return;
    }
    if (!environment_.http) {
        refuse(environment_.httpUnavailableReason);
        return;
    }
    request->token = session_->token;
    downloads().start(*request);
}

}  // namespace velmora
