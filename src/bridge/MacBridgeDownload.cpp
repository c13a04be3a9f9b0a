// The offline download command: accepts a lesson for the signed-in account only, always with the
// held session's token, and hands it to the download coordinator.
#include "bridge/MacBridge.h"
#include "core/VelmoraError.h"
#include "downloads/DownloadCoordinator.h"
#include "net/HttpSession.h"
#include "vault/VaultManager.h"

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
                auto self = weakSelf.lock();
                if (!self) return;
                if (message["type"] == "downloadProgress") {
                    self->post(message);
                } else {
                    self->endDownload(message);
                }
            },
            std::move(dependencies));
    }
    return *downloads_;
}

void MacBridge::startDownload(const Json& payload) {
    std::optional<DownloadRequest> request = DownloadRequest::fromDictionary(payload);
    auto refuse = [&](const std::string& message) {
        endDownload({{"type", "downloadFailed"}, {"assetId", payloadText(payload, "assetId")}, {"message", message}});
    };
    if (!request || !session_ || request->ownerKey != session_->ownerKey || environment_.vault == nullptr) {
        refuse(kIncompleteRequest);
        return;
    }
    if (!environment_.http) {
        refuse(environment_.httpUnavailableReason);
        return;
    }
    // Refused before anything is written: the other account's files carry the same names.
    try {
        environment_.vault->requireNotStoredForAnotherAccount({request->ownerKey, request->assetId});
    } catch (const VelmoraError& error) {
        refuse(error.what());
        return;
    }
    request->token = session_->token;
    downloads().start(*request);
}

void MacBridge::endDownload(const Json& event) {
    post(event);
    auto controller = appController_.lock();
    if (!controller) return;
    std::string assetId = payloadText(event, "assetId");
    if (event["type"] == "downloadFailed") {
        controller->downloadEnded(assetId, payloadText(event, "message"));
        return;
    }
    // The title is the committed lesson's own, as the library lists it.
    std::string title;
    if (environment_.vault && session_) {
        for (const VaultItem& item : environment_.vault->list(session_->ownerKey)) {
            if (item.assetId == assetId) title = item.lessonTitle;
        }
    }
    controller->downloadEnded(assetId, "《" + title + "》已保存为离线课程");
}

}  // namespace velmora
