// The offline download commands: accept a lesson for the signed-in account only, always with the
// held session's token, and hand it to the download coordinator; pause, resume and cancel act on
// the held account's lessons only.
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
        dependencies.network = environment_.network;
        dependencies.runningChanged = environment_.downloadsRunningChanged;
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

bool MacBridge::canDownload() const { return environment_.vault != nullptr && environment_.http != nullptr; }

void MacBridge::applicationWillTerminate() {
    if (downloads_) downloads_->stopAll();
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

void MacBridge::pauseDownload(const Json& payload) {
    std::string assetId = payloadText(payload, "assetId");
    if (!session_ || !downloads_ || !downloads_->pause(session_->ownerKey, assetId)) refuseLessonCommand(assetId);
}

void MacBridge::resumeDownload(const Json& payload) {
    std::string assetId = payloadText(payload, "assetId");
    const Json* allowMetered = payloadValue(payload, "allowMetered");
    bool allowed = allowMetered && allowMetered->is_boolean() && allowMetered->get<bool>();
    if (!session_ || !downloads_ || !downloads_->resume(session_->ownerKey, assetId, session_->token, allowed)) {
        refuseLessonCommand(assetId);
    }
}

void MacBridge::cancelDownload(const Json& payload) {
    std::string assetId = payloadText(payload, "assetId");
    if (!session_ || !downloads_ || !downloads_->cancel(session_->ownerKey, assetId)) refuseLessonCommand(assetId);
}

// A lesson command for no lesson the held account is downloading touches nothing.
void MacBridge::refuseLessonCommand(const std::string& assetId) {
    post({{"type", "downloadFailed"}, {"assetId", assetId}, {"message", kIncompleteRequest}});
}

void MacBridge::listInterruptedDownloads(const Json& payload) {
    bool owned = session_ && downloads_ && payloadText(payload, "ownerKey") == session_->ownerKey;
    post({{"type", "interruptedDownloads"}, {"items", owned ? downloads_->interruptedDownloads(session_->ownerKey) : Json::array()}});
}

void MacBridge::setMeteredDownloadsAllowed(const Json& payload) {
    const Json* allowed = payloadValue(payload, "allowed");
    if (!allowed || !allowed->is_boolean() || !canDownload()) return;
    downloads().setMeteredDownloadsAllowed(allowed->get<bool>());
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
