// Offline-library commands over the vault, for the held account only.
#include "bridge/MacBridge.h"

#include "core/VelmoraError.h"
#include "vault/VaultManager.h"

namespace velmora {

namespace {

constexpr const char* kCannotUpdateOtherAccount = "不能更新其他账号的离线课程目录";

// The payload's account is the held session's; without a session nobody's is.
bool isHeldAccount(const std::optional<DesktopSession>& session, std::string_view ownerKey) {
    return session && session->ownerKey == ownerKey;
}

}  // namespace

void MacBridge::listDownloads(const Json& payload) {
    const std::string ownerKey = payloadText(payload, "ownerKey");
    Json items = Json::array();
    if (environment_.vault && isHeldAccount(session_, ownerKey)) {
        for (const VaultItem& item : environment_.vault->list(ownerKey)) items.push_back(item.jsonObject());
    }
    post({{"type", "downloads"}, {"items", std::move(items)}});
}

void MacBridge::deleteDownload(const Json& payload) {
    const std::string ownerKey = payloadText(payload, "ownerKey");
    const std::string assetId = payloadText(payload, "assetId");
    if (!environment_.vault || !isHeldAccount(session_, ownerKey)) {
        post({{"type", "error"}, {"message", VaultManager::kCannotDeleteForeign}});
        return;
    }
    try {
        environment_.vault->deleteItem({.ownerKey = ownerKey, .assetId = assetId});
    } catch (const std::exception& error) {
        post({{"type", "error"}, {"message", errorDescription(error)}});
        return;
    }
    post({{"type", "deleteCompleted"}, {"assetId", assetId}});
}

void MacBridge::updateDownloadMetadata(const Json& payload) {
    const std::string ownerKey = payloadText(payload, "ownerKey");
    const std::string assetId = payloadText(payload, "assetId");
    if (!environment_.vault || !isHeldAccount(session_, ownerKey)) {
        post({{"type", "error"}, {"message", kCannotUpdateOtherAccount}});
        return;
    }
    try {
        environment_.vault->updateMetadata({.ownerKey = ownerKey, .assetId = assetId}, payloadText(payload, "courseTitle"),
                                           payloadText(payload, "chapterTitle"), payloadInteger(payload, "courseIndex"),
                                           payloadInteger(payload, "chapterIndex"), payloadInteger(payload, "lessonIndex"));
    } catch (const std::exception& error) {
        post({{"type", "error"}, {"message", errorDescription(error)}});
    }
}

}  // namespace velmora
