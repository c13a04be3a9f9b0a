#pragma once

#include "bridge/BridgeEnvironment.h"
#include "bridge/MacApplicationCommands.h"
#include "bridge/WebViewHost.h"
#include "core/Payload.h"
#include "securestore/DesktopSession.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

class DeviceSecureStore;
class DownloadCoordinator;

// The page's one way to native services. Receives the page's script messages, checks where they
// come from, dispatches on "type" and answers with DOM "message" events. Main thread only; hold it
// in a shared_ptr (asynchronous replies keep weak references to it).
class MacBridge : public std::enable_shared_from_this<MacBridge> {
public:
    static constexpr std::string_view kHandlerName = "velmora";
    static constexpr std::string_view kAppScheme = "velmora-app";

    explicit MacBridge(BridgeEnvironment environment);
    ~MacBridge();
    MacBridge(const MacBridge&) = delete;
    MacBridge& operator=(const MacBridge&) = delete;

    void setWebView(std::weak_ptr<WebViewHost> webView) { webView_ = std::move(webView); }
    void setAppController(std::weak_ptr<MacApplicationCommands> controller) { appController_ = std::move(controller); }

    // A script message from the page: the handler name it was posted to, the URL of the sending
    // frame (nullopt when unknown) and the body as JSON text. Invalid envelopes are ignored.
    void didReceiveScriptMessageJSON(std::string_view name, std::optional<std::string_view> frameURL, std::string_view bodyJSON);
    void didReceiveScriptMessage(std::string_view name, std::optional<std::string_view> frameURL, const Json& body);

    // Delivers a reply or event to the page as a "message" event. Dropped when the value holds a
    // non-finite number or invalid UTF-8, or when the web view is gone.
    void post(const Json& message);

    // A stored lesson of `ownerKey` failed to decrypt while playing: tells the page, if that account
    // is the signed-in one, with "offlineLessonDamaged".
    void offlineLessonDamaged(const std::string& assetId, const std::string& ownerKey);

    // Shows the window and opens the page's settings view.
    void openSettings();
    // The application ends: running downloads stop as running ones, so the next start continues them.
    void applicationWillTerminate();
    // Shows the window and opens the page's offline library.
    void openOfflineLibrary();

    // The signed-in learner the bridge holds, if any (read by the shell and by tests).
    const std::optional<DesktopSession>& heldSession() const { return session_; }
    // Whether the download coordinator exists yet (it is made by the first accepted download).
    bool hasDownloadCoordinator() const { return downloads_ != nullptr; }

    // The script that post() evaluates for `message`, or nullopt when it cannot be posted.
    static std::optional<std::string> eventScript(const Json& message);

private:
    using Handler = void (MacBridge::*)(const Json& payload);
    static Handler handlerFor(std::string_view type);

    // Window and page commands.
    void minimize(const Json& payload);
    void maximize(const Json& payload);
    void minimizeToTray(const Json& payload);
    void close(const Json& payload);
    void drag(const Json& payload);
    void setZoom(const Json& payload);
    void openExternal(const Json& payload);
    void playbackStarted(const Json& payload);
    void playbackStopped(const Json& payload);

    // Session commands.
    DeviceSecureStore secureStore() const;
    void restoreSession(const Json& payload);
    void saveSession(const Json& payload);
    void clearSession(const Json& payload);

    // Offline-library commands.
    void listDownloads(const Json& payload);
    void deleteDownload(const Json& payload);
    void updateDownloadMetadata(const Json& payload);

    // Offline download commands.
    void startDownload(const Json& payload);
    void pauseDownload(const Json& payload);
    void resumeDownload(const Json& payload);
    void cancelDownload(const Json& payload);
    void listInterruptedDownloads(const Json& payload);
    void setMeteredDownloadsAllowed(const Json& payload);
    void refuseLessonCommand(const std::string& assetId);
    // Whether downloads can run at all (a vault and an HTTPS session were given).
    bool canDownload() const;
    // Created on the first accepted download, on "restoreSession" and on the metered setting.
    DownloadCoordinator& downloads();
    // Posts a download's last event and tells the application how it ended.
    void endDownload(const Json& event);

    // API proxy and courseware.
    void proxyAPI(const Json& payload);
    void downloadResource(const Json& payload);

    BridgeEnvironment environment_;
    std::weak_ptr<WebViewHost> webView_;
    std::weak_ptr<MacApplicationCommands> appController_;
    std::optional<DesktopSession> session_;  // the signed-in learner, empty at launch
    std::shared_ptr<DownloadCoordinator> downloads_;  // owns running downloads; cancels nothing on release
};

}  // namespace velmora
