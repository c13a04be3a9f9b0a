// Session commands: restore, save and clear the signed-in learner's session. The held session is
// the native side's proof of who is signed in for the library, download and courseware commands.
#include "bridge/MacBridge.h"
#include "core/Unicode.h"
#include "core/VelmoraError.h"
#include "downloads/DownloadCoordinator.h"
#include "securestore/DeviceSecureStore.h"

namespace velmora {

namespace {

constexpr std::size_t kMaximumTokenCharacters = 65536;
constexpr std::size_t kMaximumOwnerKeyCharacters = 512;
constexpr const char* kDefaultUserName = "星禾同学";
constexpr const char* kSessionUnreadable = "登录凭证无法从本机加密存储读取，请重新登录";
constexpr const char* kSessionInvalid = "登录凭证格式无效，未写入本机";

// Non-empty and at most `limit` user-perceived characters.
bool hasCharacterCountWithin(const std::string& text, std::size_t limit) {
    return !text.empty() && graphemeCount(text) <= limit;
}

}  // namespace

DeviceSecureStore MacBridge::secureStore() const {
    return DeviceSecureStore(environment_.dataRoot, environment_.identity ? environment_.identity : IdentitySource::system(),
                             environment_.keyringSecret);
}

void MacBridge::restoreSession(const Json&) {
    std::optional<DesktopSession> stored;
    try {
        stored = secureStore().loadSession();
    } catch (const std::exception&) {
        session_.reset();
        post({{"type", "noSession"}});
        post({{"type", "error"}, {"message", kSessionUnreadable}});
        return;
    }
    if (stored && !stored->token.empty() && !stored->ownerKey.empty()) {
        session_ = *stored;
        post({{"type", "session"}, {"token", stored->token}, {"ownerKey", stored->ownerKey}, {"userName", stored->userName}});
    } else {
        post({{"type", "noSession"}});
    }
    // The account's downloads of an earlier run become known (those that were running continue),
    // and the page learns the network state.
    if (!canDownload()) return;
    if (session_) downloads().sessionHeld(session_->ownerKey, session_->token);
    downloads().postNetworkState();
}

void MacBridge::saveSession(const Json& payload) {
    const Json* userName = payloadValue(payload, "userName");
    DesktopSession candidate{payloadText(payload, "token"), payloadText(payload, "ownerKey"),
                             userName && userName->is_string() ? userName->get<std::string>() : kDefaultUserName};
    if (!hasCharacterCountWithin(candidate.token, kMaximumTokenCharacters) ||
        !hasCharacterCountWithin(candidate.ownerKey, kMaximumOwnerKeyCharacters)) {
        post({{"type", "error"}, {"message", kSessionInvalid}});
        return;
    }
    try {
        secureStore().saveSession(candidate);
    } catch (const std::exception& error) {
        post({{"type", "error"}, {"message", errorDescription(error)}});
        return;
    }
    // Another account signing in pauses the one before's downloads.
    if (downloads_ && session_ && session_->ownerKey != candidate.ownerKey) downloads_->sessionEnded(session_->ownerKey);
    session_ = std::move(candidate);
    if (downloads_) downloads_->sessionHeld(session_->ownerKey, session_->token);
}

void MacBridge::clearSession(const Json&) {
    std::error_code error = secureStore().clearSession();
    if (downloads_ && session_) downloads_->sessionEnded(session_->ownerKey);
    session_.reset();
    if (error) post({{"type", "error"}, {"message", error.message()}});
}

}  // namespace velmora
