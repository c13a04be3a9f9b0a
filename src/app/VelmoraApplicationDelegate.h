#pragma once

#include "app/GLibHandles.h"
#include "app/GtkDownloadNotifier.h"
#include "app/GtkMainQueue.h"
#include "app/GtkMainWindow.h"
#include "app/GtkSessionInhibitor.h"
#include "app/GtkStatusItem.h"
#include "app/QuitFlow.h"
#include "app/WebKitSchemeTask.h"
#include "app/WebKitWebViewHost.h"
#include "bridge/MacApplicationCommands.h"
#include "bridge/MacBridge.h"
#include "schemes/AppSchemeHandler.h"
#include "schemes/MediaSchemeHandler.h"
#include "schemes/loopback/MediaLoopback.h"

#include <adwaita.h>

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

namespace velmora {

class GtkApplicationMenu;
class MainFrameNavigationGuard;

// The application's one delegate: builds the menus, the tray item and the main window with its
// web view and bridge at launch, keeps them for the life of the process, decides navigations and
// runs the quit confirmation. Main thread only; hold it in a shared_ptr (the bridge and the
// dialogs keep weak references).
class VelmoraApplicationDelegate : public MacApplicationCommands,
                                   public std::enable_shared_from_this<VelmoraApplicationDelegate> {
public:
    static constexpr const char* kStartAddress = "velmora-app://local/index.html";

    // What the shell is built from. The shared vault must be configured before launch: the media
    // scheme handler takes it when the first load starts.
    struct Configuration {
        std::filesystem::path appUiFolder;
        bool automation = false;  // driven by WebKitWebDriver
        BridgeEnvironment bridgeEnvironment;  // the vault and the save panel are filled in at launch
    };

    VelmoraApplicationDelegate(GtkApplication* application, std::shared_ptr<GtkMainQueue> mainQueue, Configuration configuration);
    ~VelmoraApplicationDelegate() override;
    VelmoraApplicationDelegate(const VelmoraApplicationDelegate&) = delete;
    VelmoraApplicationDelegate& operator=(const VelmoraApplicationDelegate&) = delete;

    // The application's life: the first activation launches, later ones (a second start of the
    // program, the launcher) reopen; a quit request asks first; shutdown detaches the bridge.
    void applicationDidFinishLaunching();
    void applicationShouldHandleReopen();
    QuitFlow::Reply applicationShouldTerminate();
    void applicationWillTerminate();
    // A signal or the end of the desktop session: no dialog, but the page is asked to save its
    // progress and has up to a second before the application ends. With `holdSessionEnd` the
    // session's logout waits for that second (GtkApplication query-end).
    void applicationWillEndWithoutAsking(bool holdSessionEnd = false);
    // Ends at once.
    void terminateNow();

    MainWindow* mainWindow() override;
    void requestApplicationClose() override;
    void minimizeToMenuBar() override;
    void showMainWindow() override;
    void downloadEnded(const std::string& assetId, const std::string& text) override;
    void playbackChanged(bool playing) override;

    void openSettings();
    void openOfflineLibrary();
    void showAbout();
    void requestQuitFromMenu();

    // For the automation session: the main web view.
    WebKitWebView* webView() const { return webView_ ? webView_->view() : nullptr; }

private:
    void configureStatusItem();
    void startFirstLoad();
    void createMainWindow();
    void tidyVaultInBackground();
    void awaitVaultTidied() const;
    void registerSchemes(WebKitWebContext* context);
    void startMediaLoopback();
    void presentQuitConfirmation();
    void completeQuitConfirmation(bool confirmed);
    void replyToTermination(bool mayTerminate);
    // The screen is kept on while the page plays a lesson in a window on the screen.
    void updateIdleInhibit();

    static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer self);
    static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
    static void onWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer self);
    static void onWindowVisibilityChanged(GObject* window, GParamSpec* property, gpointer self);

    GtkApplication* application_;  // outlives the delegate
    std::shared_ptr<GtkMainQueue> mainQueue_;
    Configuration configuration_;
    std::unique_ptr<GtkApplicationMenu> applicationMenu_;
    std::unique_ptr<AppSchemeHandler> appScheme_;
    std::unique_ptr<MediaSchemeHandler> mediaScheme_;
    std::shared_ptr<WebKitDeliveryGate> mediaDeliveries_;  // released before the handler goes
    std::unique_ptr<MediaLoopback> mediaLoopback_;  // after the handler it feeds: destroyed first
    std::shared_future<void> vaultTidied_;  // the start-up's sorting of the vault

    std::unique_ptr<GtkMainWindow> mainWindow_;
    std::shared_ptr<WebKitWebViewHost> webView_;
    std::shared_ptr<MacBridge> bridge_;
    std::unique_ptr<GtkStatusItem> statusItem_;  // holds the status menu
    QuitFlow quitFlow_;

    bool launched_ = false;
    guint sessionEndInhibitor_ = 0;  // while the page saves before a logout
    std::unique_ptr<GtkSessionInhibitor> sessionInhibitor_;  // released before the application shuts down
    bool pagePlaying_ = false;  // as the current page last said; a new page or a crashed one plays nothing
    SignalConnection windowVisibility_;
    std::vector<SignalConnection> webViewConnections_;
    std::unique_ptr<MainFrameNavigationGuard> navigationGuard_;
};

}  // namespace velmora
