#include "app/VelmoraApplicationDelegate.h"

#include "app/GtkApplicationMenu.h"
#include "app/GtkDialogs.h"
#include "app/GioNetworkMonitor.h"
#include "app/GtkSavePanel.h"
#include "app/MainFrameNavigationGuard.h"
#include "app/NavigationPolicy.h"
#include "app/StartupTrace.h"
#include "app/WebKitSchemeTask.h"
#include "app/WebKitServiceTrust.h"

#include "vault/VaultManager.h"

#include <cstdio>
#include <system_error>
#include <utility>

namespace velmora {

namespace {

constexpr const char* kMediaScheme = "velmora-media";

std::optional<std::string_view> optionalText(const char* text) {
    return text != nullptr ? std::optional<std::string_view>(text) : std::nullopt;
}

}  // namespace

VelmoraApplicationDelegate::VelmoraApplicationDelegate(GtkApplication* application, std::shared_ptr<GtkMainQueue> mainQueue,
                                                       Configuration configuration)
    : application_(application),
      mainQueue_(std::move(mainQueue)),
      configuration_(std::move(configuration)),
      quitFlow_(QuitFlow::Actions{
          .presentConfirmation = [this] { presentQuitConfirmation(); },
          .requestSaveProgress = [this] { if (bridge_) bridge_->post(Json{{"type", "saveProgressRequested"}}); },
          .replyToTermination = [this](bool mayTerminate) { replyToTermination(mayTerminate); },
          .schedule =
              [this](std::chrono::milliseconds delay, std::function<void()> work) {
                  GtkMainQueue::postDelayed(static_cast<unsigned>(delay.count()), [weak = weak_from_this(), work = std::move(work)] {
                      if (weak.lock()) work();
                  });
              },
      }) {}

VelmoraApplicationDelegate::~VelmoraApplicationDelegate() {
    // The main loop has stopped and WebKit reads no more: a delivery waiting for it would keep the
    // media handler's queue, which its destruction joins, from ever ending.
    if (mediaDeliveries_) mediaDeliveries_->release();
    webViewConnections_.clear();
    windowVisibility_ = {};
    navigationGuard_.reset();
    statusItem_.reset();
    bridge_.reset();
    mainWindow_.reset();
    webView_.reset();
}

void VelmoraApplicationDelegate::applicationDidFinishLaunching() {
    if (launched_) return;
    launched_ = true;
    // The web process starts with the first load and takes longer than anything below: the page is
    // asked for first, and the window, the menus and the tray item are made while it starts.
    startFirstLoad();
    StartupTrace::mark("load-requested");
    applicationMenu_ = std::make_unique<GtkApplicationMenu>(application_, *this);
    createMainWindow();
    showMainWindow();
    StartupTrace::mark("window-shown");
    configureStatusItem();
}

void VelmoraApplicationDelegate::applicationShouldHandleReopen() { showMainWindow(); }

void VelmoraApplicationDelegate::configureStatusItem() {
    GDBusConnection* connection = g_application_get_dbus_connection(G_APPLICATION(application_));
    if (connection == nullptr) return;
    statusItem_ = std::make_unique<GtkStatusItem>(connection, GtkStatusItem::Actions{
                                                                  .showMainWindow = [this] { showMainWindow(); },
                                                                  .openSettings = [this] { openSettings(); },
                                                                  .requestQuit = [this] { requestQuitFromMenu(); },
                                                              });
}

void VelmoraApplicationDelegate::registerSchemes(WebKitWebContext* context) {
    appScheme_ = std::make_unique<AppSchemeHandler>(configuration_.appUiFolder);
    // Damage is found on the media queue; the page hears of it from the main thread.
    auto reportDamage = [queue = mainQueue_, weak = weak_from_this()](const std::string& assetId, const std::string& ownerKey) {
        queue->post([weak, assetId, ownerKey] {
            if (auto self = weak.lock(); self && self->bridge_) self->bridge_->offlineLessonDamaged(assetId, ownerKey);
        });
    };
    mediaScheme_ = std::make_unique<MediaSchemeHandler>(VaultManager::shared(), std::move(reportDamage));
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, MacBridge::kAppScheme.data());
    webkit_security_manager_register_uri_scheme_as_secure(security, kMediaScheme);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kMediaScheme);
    // The handlers live as long as the delegate, which outlives the main loop that delivers requests.
    AppSchemeHandler* app = appScheme_.get();
    MediaSchemeHandler* media = mediaScheme_.get();
    registerWebKitScheme(context, MacBridge::kAppScheme.data(), mainQueue_,
                         [app](std::shared_ptr<SchemeTask> task) { app->start(std::move(task)); },
                         [app](const SchemeTask& task) { app->stop(task); });
    mediaDeliveries_ = registerWebKitScheme(context, kMediaScheme, mainQueue_,
                                            [this, media](std::shared_ptr<SchemeTask> task) {
                                                awaitVaultTidied();
                                                media->start(std::move(task));
                                            },
                                            [media](const SchemeTask& task) { media->stop(task); });
}

// Media elements cannot load the media scheme in WebKitGTK; they are pointed at the loopback
// server instead (see MediaLoopback). Without it offline lessons still answer fetch and XHR.
void VelmoraApplicationDelegate::startMediaLoopback() {
    try {
        mediaLoopback_ = std::make_unique<MediaLoopback>(*mediaScheme_);
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
}

// Sorting what an earlier run left in the vault reads every stored lesson's files: it runs beside
// the start-up, and whatever reads the vault waits for it (the page's first message, media
// requests). Offline media is only asked for by a page that has had its session restored through
// the bridge, so the loopback server's requests come after that wait too.
void VelmoraApplicationDelegate::tidyVaultInBackground() {
    vaultTidied_ = std::async(std::launch::async, [] { VaultManager::openAtStartUp(); }).share();
}

void VelmoraApplicationDelegate::awaitVaultTidied() const {
    if (vaultTidied_.valid()) vaultTidied_.wait();
}

// The web view with its schemes, scripts and message handler, loading the start page. Messages
// are handled on this thread, so none can arrive before the bridge that createMainWindow() makes.
void VelmoraApplicationDelegate::startFirstLoad() {
    WebKitWebContext* context = webkit_web_context_get_default();
    VaultManager::shared();  // made on this thread: one that cannot be made ends the process
    tidyVaultInBackground();
    registerSchemes(context);
    WebKitNetworkSession* session = configuration_.automation ? webkit_web_context_get_network_session_for_automation(context)
                                                              : webkit_network_session_get_default();
    WebKitServiceTrust::trustServiceCertificate(session, configuration_.bridgeEnvironment.endpoints);
    startMediaLoopback();
    webView_ = std::make_shared<WebKitWebViewHost>(context, session, configuration_.automation);
    webView_->installScripts(mediaLoopback_ ? std::optional<std::string>(mediaLoopback_->baseAddress()) : std::nullopt);
    webView_->registerBridge(
        [this, trace = std::make_shared<StartupTrace>()](std::optional<std::string> frameURL, const std::string& body) {
            awaitVaultTidied();
            if (bridge_) bridge_->didReceiveScriptMessageJSON(MacBridge::kHandlerName, frameURL, body);
            trace->noteHandled(body);
            if (mainWindow_ && mainWindow_->hasLaunchOverlay() && isFirstFrameMessage(body)) mainWindow_->pageDrewFirstFrame();
        });

    WebKitWebView* view = webView_->view();
    webViewConnections_.push_back(connectSignal(view, "decide-policy", onDecidePolicy, this));
    webViewConnections_.push_back(connectSignal(view, "load-changed", onLoadChanged, this));
    webViewConnections_.push_back(connectSignal(view, "web-process-terminated", onWebProcessTerminated, this));
    navigationGuard_ = std::make_unique<MainFrameNavigationGuard>(view, configuration_.bridgeEnvironment.workspace);

    WebKitURIRequest* request = webkit_uri_request_new(kStartAddress);
    webkit_web_view_load_request(view, request);
    g_object_unref(request);
}

void VelmoraApplicationDelegate::createMainWindow() {
    BridgeEnvironment environment = configuration_.bridgeEnvironment;
    environment.vault = &VaultManager::shared();
    environment.savePanel = std::make_shared<GtkSavePanel>([this] { return mainWindow_ ? mainWindow_->window() : nullptr; });
    environment.network = std::make_shared<GioNetworkMonitor>(environment.endpoints.serviceOnThisMachine());
    environment.downloadsRunningChanged = [weak = weak_from_this()](bool anyRunning) {
        auto self = weak.lock();
        if (self && self->sessionInhibitor_) self->sessionInhibitor_->holdSuspend(anyRunning);
    };
    bridge_ = std::make_shared<MacBridge>(std::move(environment));

    PixelSize size = toPixels(initialContentSize(GtkMainWindow::workArea()));
    mainWindow_ = std::make_unique<GtkMainWindow>(application_, GTK_WIDGET(webView_->view()), applicationMenu_->model(), size);
    windowVisibility_ = connectSignal(mainWindow_->window(), "notify::visible", onWindowVisibilityChanged, this);
    sessionInhibitor_ =
        std::make_unique<GtkSessionInhibitor>(application_, [this] { return mainWindow_ ? mainWindow_->window() : nullptr; });

    bridge_->setWebView(webView_);
    bridge_->setAppController(weak_from_this());
}

MainWindow* VelmoraApplicationDelegate::mainWindow() { return mainWindow_.get(); }

void VelmoraApplicationDelegate::showMainWindow() {
    if (mainWindow_) mainWindow_->present();
}

void VelmoraApplicationDelegate::minimizeToMenuBar() {
    if (mainWindow_) mainWindow_->hide();
}

void VelmoraApplicationDelegate::requestApplicationClose() { applicationShouldTerminate(); }

void VelmoraApplicationDelegate::requestQuitFromMenu() { applicationShouldTerminate(); }

QuitFlow::Reply VelmoraApplicationDelegate::applicationShouldTerminate() {
    QuitFlow::Reply reply = quitFlow_.shouldTerminate();
    if (reply == QuitFlow::Reply::terminateNow) terminateNow();
    return reply;
}

void VelmoraApplicationDelegate::applicationWillEndWithoutAsking(bool holdSessionEnd) {
    if (holdSessionEnd && sessionEndInhibitor_ == 0) {
        sessionEndInhibitor_ = gtk_application_inhibit(application_, mainWindow_ ? mainWindow_->window() : nullptr,
                                                       GTK_APPLICATION_INHIBIT_LOGOUT, "正在保存学习进度");
    }
    if (quitFlow_.endWithoutAsking() == QuitFlow::Reply::terminateNow) terminateNow();
}

void VelmoraApplicationDelegate::presentQuitConfirmation() {
    showMainWindow();
    GtkWindow* parent = mainWindow_ ? mainWindow_->window() : nullptr;
    GtkDialogs::askToQuit(parent, [weak = weak_from_this()](bool confirmed) {
        if (auto self = weak.lock()) self->completeQuitConfirmation(confirmed);
    });
}

void VelmoraApplicationDelegate::completeQuitConfirmation(bool confirmed) { quitFlow_.completeConfirmation(confirmed); }

void VelmoraApplicationDelegate::replyToTermination(bool mayTerminate) {
    if (mayTerminate) terminateNow();
}

void VelmoraApplicationDelegate::terminateNow() { g_application_quit(G_APPLICATION(application_)); }

void VelmoraApplicationDelegate::applicationWillTerminate() {
    if (sessionEndInhibitor_ != 0) gtk_application_uninhibit(application_, std::exchange(sessionEndInhibitor_, 0));
    sessionInhibitor_.reset();
    if (bridge_) bridge_->applicationWillTerminate();
    bridge_.reset();
    if (webView_) webView_->unregisterBridge();
}

void VelmoraApplicationDelegate::openSettings() {
    showMainWindow();
    if (bridge_) bridge_->openSettings();
}

void VelmoraApplicationDelegate::openOfflineLibrary() {
    showMainWindow();
    if (bridge_) bridge_->openOfflineLibrary();
}

void VelmoraApplicationDelegate::downloadEnded(const std::string& assetId, const std::string& text) {
    GtkDownloadNotifier(application_).downloadEnded(mainWindow_ ? mainWindow_->window() : nullptr, assetId, text);
}

void VelmoraApplicationDelegate::playbackChanged(bool playing) {
    pagePlaying_ = playing;
    updateIdleInhibit();
}

void VelmoraApplicationDelegate::updateIdleInhibit() {
    if (!sessionInhibitor_) return;
    bool onScreen = mainWindow_ && gtk_widget_get_visible(GTK_WIDGET(mainWindow_->window()));
    sessionInhibitor_->holdIdle(pagePlaying_ && onScreen);
}

void VelmoraApplicationDelegate::showAbout() {
    GtkDialogs::showAbout(mainWindow_ ? mainWindow_->window() : nullptr,
                          configuration_.bridgeEnvironment.keyringSecret != nullptr);
}

// New windows load as asked. An action aimed at an existing frame is decided as if for an iframe:
// WebKitGTK does not say whether it is the main frame, so MainFrameNavigationGuard stops main-frame
// navigations that may not proceed at their response.
gboolean VelmoraApplicationDelegate::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                                    gpointer) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    NavigationTarget target =
        type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION ? NavigationTarget::none : NavigationTarget::existingFrame;
    if (decideNavigation(optionalText(request != nullptr ? webkit_uri_request_get_uri(request) : nullptr), target) ==
        NavigationDecision::allow) {
        webkit_policy_decision_use(decision);
    } else {
        webkit_policy_decision_ignore(decision);
    }
    return TRUE;
}

void VelmoraApplicationDelegate::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    auto* delegate = static_cast<VelmoraApplicationDelegate*>(self);
    if (event == WEBKIT_LOAD_STARTED) delegate->playbackChanged(false);  // the page that played is going
    if (event == WEBKIT_LOAD_COMMITTED) StartupTrace::mark("load-committed");
    if (event == WEBKIT_LOAD_FINISHED) StartupTrace::mark("load-finished");
    if (event == WEBKIT_LOAD_FINISHED && delegate->mainWindow_) delegate->mainWindow_->pageDidLoad();
}

void VelmoraApplicationDelegate::onWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason, gpointer self) {
    static_cast<VelmoraApplicationDelegate*>(self)->playbackChanged(false);
    webkit_web_view_reload(view);
}

// Hiding the window (close button, tray) lets the screen blank even if the page plays on.
void VelmoraApplicationDelegate::onWindowVisibilityChanged(GObject*, GParamSpec*, gpointer self) {
    static_cast<VelmoraApplicationDelegate*>(self)->updateIdleInhibit();
}

}  // namespace velmora
