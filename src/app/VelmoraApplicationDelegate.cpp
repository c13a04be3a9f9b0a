#include "app/VelmoraApplicationDelegate.h"

#include "app/GtkDialogs.h"
#include "app/GtkSavePanel.h"
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

using Work = std::function<void()>;

void runWork(GSimpleAction*, GVariant*, gpointer data) { (*static_cast<Work*>(data))(); }
void destroyWork(gpointer data, GClosure*) { std::unique_ptr<Work> owned(static_cast<Work*>(data)); }

void addAction(GtkApplication* application, const char* name, const char* accelerator, Work work) {
    auto action = adoptGObject(g_simple_action_new(name, nullptr));
    auto owned = std::make_unique<Work>(std::move(work));
    g_signal_connect_data(action.get(), "activate", G_CALLBACK(runWork), owned.release(), destroyWork, GConnectFlags{});
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action.get()));
    if (accelerator == nullptr) return;
    const std::string detailed = std::string("app.") + name;
    const char* accelerators[] = {accelerator, nullptr};
    gtk_application_set_accels_for_action(application, detailed.c_str(), accelerators);
}

GMenu* section(std::initializer_list<std::pair<const char*, const char*>> items) {
    GMenu* menu = g_menu_new();
    for (auto [label, action] : items) g_menu_append(menu, label, action);
    return menu;
}

void appendSection(GMenu* menu, GMenu* items) {
    g_menu_append_section(menu, nullptr, G_MENU_MODEL(items));
    g_object_unref(items);
}

GMenu* buildMainMenu() {
    GMenu* application = g_menu_new();
    appendSection(application, section({{"关于星禾课堂", "app.about"}}));
    appendSection(application, section({{"设置…", "app.settings"}}));
    appendSection(application, section({{"隐藏星禾课堂", "app.hide"}}));
    appendSection(application, section({{"退出星禾课堂…", "app.quit"}}));

    GMenu* window = g_menu_new();
    appendSection(window, section({{"最小化", "app.minimize"}, {"缩放", "app.zoom"}}));
    appendSection(window, section({{"显示星禾课堂", "app.show-main-window"}}));

    GMenu* main = g_menu_new();
    g_menu_append_submenu(main, "星禾课堂", G_MENU_MODEL(application));
    g_menu_append_submenu(main, "窗口", G_MENU_MODEL(window));
    g_object_unref(application);
    g_object_unref(window);
    return main;
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
    statusItem_.reset();
    bridge_.reset();
    mainWindow_.reset();
    webView_.reset();
}

void VelmoraApplicationDelegate::applicationDidFinishLaunching() {
    if (launched_) return;
    launched_ = true;
    configureApplicationMenu();
    configureStatusItem();
    createMainWindow();
    showMainWindow();
}

void VelmoraApplicationDelegate::applicationShouldHandleReopen() { showMainWindow(); }

void VelmoraApplicationDelegate::configureApplicationMenu() {
    // Ctrl stands for Command; hiding other applications and showing all have no meaning here.
    addAction(application_, "about", nullptr, [this] { showAbout(); });
    addAction(application_, "settings", "<Control>comma", [this] { openSettings(); });
    addAction(application_, "hide", "<Control>h", [this] { minimizeToMenuBar(); });
    addAction(application_, "quit", "<Control>q", [this] { requestQuitFromMenu(); });
    addAction(application_, "minimize", "<Control>m", [this] {
        if (MainWindow* window = mainWindow()) window->miniaturize();
    });
    addAction(application_, "zoom", nullptr, [this] {
        if (MainWindow* window = mainWindow()) window->zoom();
    });
    addAction(application_, "show-main-window", "<Control>0", [this] { showMainWindow(); });
    addAction(application_, GtkDownloadNotifier::kShowLibraryAction, nullptr, [this] { openOfflineLibrary(); });
    mainMenu_ = adoptGObject(buildMainMenu());
    gtk_application_set_menubar(application_, G_MENU_MODEL(mainMenu_.get()));
}

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
    mediaScheme_ = std::make_unique<MediaSchemeHandler>(VaultManager::openAtStartUp());
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
                                            [media](std::shared_ptr<SchemeTask> task) { media->start(std::move(task)); },
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

void VelmoraApplicationDelegate::createMainWindow() {
    WebKitWebContext* context = webkit_web_context_get_default();
    registerSchemes(context);
    WebKitNetworkSession* session = configuration_.automation ? webkit_web_context_get_network_session_for_automation(context)
                                                              : webkit_network_session_get_default();
    WebKitServiceTrust::trustServiceCertificate(session, configuration_.bridgeEnvironment.endpoints);
    startMediaLoopback();
    webView_ = std::make_shared<WebKitWebViewHost>(context, session, configuration_.automation);
    webView_->installScripts(mediaLoopback_ ? std::optional<std::string>(mediaLoopback_->baseAddress()) : std::nullopt);

    BridgeEnvironment environment = configuration_.bridgeEnvironment;
    environment.vault = &VaultManager::shared();
    environment.savePanel = std::make_shared<GtkSavePanel>([this] { return mainWindow_ ? mainWindow_->window() : nullptr; });
    bridge_ = std::make_shared<MacBridge>(std::move(environment));
    webView_->registerBridge([this, bridge = std::weak_ptr<MacBridge>(bridge_), trace = std::make_shared<StartupTrace>()](
                                 std::optional<std::string> frameURL, const std::string& body) {
        if (auto receiver = bridge.lock()) receiver->didReceiveScriptMessageJSON(MacBridge::kHandlerName, frameURL, body);
        trace->noteHandled(body);
        if (mainWindow_ && mainWindow_->hasLaunchOverlay() && isFirstFrameMessage(body)) mainWindow_->pageDrewFirstFrame();
    });

    WebKitWebView* view = webView_->view();
    webViewConnections_.push_back(connectSignal(view, "decide-policy", onDecidePolicy, this));
    webViewConnections_.push_back(connectSignal(view, "load-changed", onLoadChanged, this));
    webViewConnections_.push_back(connectSignal(view, "load-failed", onLoadFailed, this));
    webViewConnections_.push_back(connectSignal(view, "web-process-terminated", onWebProcessTerminated, this));

    PixelSize size = toPixels(initialContentSize(GtkMainWindow::workArea()));
    mainWindow_ = std::make_unique<GtkMainWindow>(application_, GTK_WIDGET(view), G_MENU_MODEL(mainMenu_.get()), size);

    bridge_->setWebView(webView_);
    bridge_->setAppController(weak_from_this());

    WebKitURIRequest* request = webkit_uri_request_new(kStartAddress);
    webkit_web_view_load_request(view, request);
    g_object_unref(request);
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

void VelmoraApplicationDelegate::showAbout() { GtkDialogs::showAbout(mainWindow_ ? mainWindow_->window() : nullptr); }

// WebKitGTK does not say which frame a navigation action targets (WebKitNavigationAction has no
// main-frame flag as of 2.50). Actions aimed at an existing frame are therefore decided as if for
// an iframe, and a main-frame navigation that may not proceed is stopped at its response, the
// first point where WebKit names the main frame, before anything is committed: the packaged page
// stays. The stop (or a failure to connect) ends in load-failed, which shows no error page for it
// and opens web addresses in the browser. Remove the response step once the navigation action
// can tell the main frame apart; until then such a request reaches the network before it stops.
gboolean VelmoraApplicationDelegate::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                                    gpointer) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
        auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
        if (!webkit_response_policy_decision_is_main_frame_main_resource(response)) return FALSE;
        const char* uri = webkit_uri_request_get_uri(webkit_response_policy_decision_get_request(response));
        if (decideNavigation(optionalText(uri), NavigationTarget::mainFrame) == NavigationDecision::allow) return FALSE;
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    NavigationTarget target = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION ? NavigationTarget::none : NavigationTarget::subFrame;
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
    if (event == WEBKIT_LOAD_FINISHED && delegate->mainWindow_) delegate->mainWindow_->pageDidLoad();
}

// load-failed is emitted for the main frame only.
gboolean VelmoraApplicationDelegate::onLoadFailed(WebKitWebView*, WebKitLoadEvent, const char* failingURI, GError*, gpointer self) {
    auto* delegate = static_cast<VelmoraApplicationDelegate*>(self);
    switch (decideNavigation(optionalText(failingURI), NavigationTarget::mainFrame)) {
    case NavigationDecision::allow:
        return FALSE;  // a packaged page that failed: WebKit's own error page
    case NavigationDecision::cancelAndOpenInBrowser:
        if (delegate->configuration_.bridgeEnvironment.workspace) delegate->configuration_.bridgeEnvironment.workspace->openURL(failingURI);
        return TRUE;
    case NavigationDecision::cancel:
        return TRUE;
    }
    return TRUE;
}

void VelmoraApplicationDelegate::onWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason, gpointer) {
    webkit_web_view_reload(view);
}

}  // namespace velmora
