// The process entry and the application object's signals (the source unit of the delegate's
// launch and termination hooks).
#include "app/AppResources.h"
#include "app/GtkDialogs.h"
#include "app/GtkSavePanel.h"
#include "app/GtkWorkspace.h"
#include "app/LibsecretKeyring.h"
#include "app/OfflineDataReset.h"
#include "app/StartupTrace.h"
#include "app/VelmoraApplicationDelegate.h"
#include "app/VelmoraClassroomMain.h"
#include "core/VelmoraError.h"
#include "net/HttpSession.h"
#include "securestore/DeviceSecureStore.h"
#include "vault/VaultManager.h"

#include <glib-unix.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <string>

namespace velmora {

namespace {

struct Application {
    GObjectPtr<AdwApplication> object;
    std::shared_ptr<GtkMainQueue> mainQueue = std::make_shared<GtkMainQueue>();
    std::shared_ptr<VelmoraApplicationDelegate> delegate;
    // Looked up from the startup signal on, while the web context is set up.
    std::future<std::optional<SecretBytes>> keyringSecret;
    bool automation = false;
    bool activated = false;
    int exitStatus = 0;
};

std::filesystem::path executablePath() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

DeviceSecureStore secureStore(const BridgeEnvironment& environment) {
    return DeviceSecureStore(environment.dataRoot, environment.identity, environment.keyringSecret);
}

VelmoraApplicationDelegate::Configuration configuration(Application& app, const std::filesystem::path& appUi) {
    VelmoraApplicationDelegate::Configuration config;
    config.appUiFolder = appUi;
    config.automation = app.automation;
    BridgeEnvironment& environment = config.bridgeEnvironment;
    environment.endpoints = Endpoints::compiled();
    environment.mainQueue = app.mainQueue;
    environment.workspace = std::make_shared<GtkWorkspace>();
    environment.dataRoot = g_get_user_data_dir();  // $XDG_DATA_HOME, usually ~/.local/share
    environment.identity = IdentitySource::system();
    if (std::optional<SecretBytes> secret = app.keyringSecret.get()) {
        environment.keyringSecret = std::make_shared<const SecretBytes>(std::move(*secret));
    }
    try {
        environment.http = std::make_shared<HttpSession>(environment.endpoints, app.mainQueue);
    } catch (const std::exception& error) {
        // The network commands stay unavailable and answer with this text.
        std::fprintf(stderr, "%s\n", error.what());
        environment.httpUnavailableReason = error.what();
    }
    secureStore(environment).removeLeftoverTemporaries();
    VaultManager::configureShared(environment.dataRoot,
                                  [store = secureStore(environment)] { return store.loadOrCreateMasterKey(); });
    return config;
}

void launch(Application& app, VelmoraApplicationDelegate::Configuration config) {
    app.delegate =
        std::make_shared<VelmoraApplicationDelegate>(GTK_APPLICATION(app.object.get()), app.mainQueue, std::move(config));
    app.delegate->applicationDidFinishLaunching();
}

void stopWith(Application& app, const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    app.exitStatus = 1;
    g_application_hold(G_APPLICATION(app.object.get()));
    GtkDialogs::showFatal(GTK_APPLICATION(app.object.get()), message.c_str(), [&app] {
        g_application_release(G_APPLICATION(app.object.get()));
        g_application_quit(G_APPLICATION(app.object.get()));
    });
}

// "退出" ends the application as an unopenable vault always has; the reset puts the old store and
// vault aside and starts as on a new machine.
void offerOfflineDataReset(Application& app, VelmoraApplicationDelegate::Configuration config, const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    GApplication* application = G_APPLICATION(app.object.get());
    g_application_hold(application);
    GtkDialogs::askToResetOfflineData(GTK_APPLICATION(application), message, [&app, application, config](bool reset) {
        if (!reset) {
            app.exitStatus = 1;
            g_application_quit(application);
        } else {
            try {
                OfflineDataReset::moveAside(config.bridgeEnvironment.dataRoot, std::chrono::system_clock::now());
                launch(app, config);
            } catch (const std::exception& error) {
                stopWith(app, error.what());
            }
        }
        g_application_release(application);
    });
}

// Entries still sealed without the keyring secret are sealed again first. Then a master key that
// does not open (a home folder from another machine or user) is offered for reset; other failures
// end the application when the vault is opened, as before.
void openOfflineDataThenLaunch(Application& app, VelmoraApplicationDelegate::Configuration config) {
    DeviceSecureStore store = secureStore(config.bridgeEnvironment);
    store.resealUnderKeyringSecret();
    try {
        store.loadOrCreateMasterKey();
    } catch (const VelmoraError& error) {
        offerOfflineDataReset(app, std::move(config), VaultManager::kCannotOpenPrefix + std::string(error.what()));
        return;
    } catch (const std::exception&) {
        // VaultManager::shared() reports it when the window opens the vault.
    }
    launch(app, std::move(config));
}

void onActivate(GApplication*, gpointer data) {
    auto& app = *static_cast<Application*>(data);
    if (app.activated) {
        if (app.delegate) app.delegate->applicationShouldHandleReopen();
        return;
    }
    app.activated = true;
    StartupTrace::mark("activate");
    std::optional<std::filesystem::path> appUi = AppResources::locate(executablePath(), VELMORA_INSTALLED_DATA_DIR);
    if (!appUi) {
        stopWith(app, AppResources::kMissingMessage);
        return;
    }
    openOfflineDataThenLaunch(app, configuration(app, *appUi));
}

WebKitWebView* onCreateAutomationWebView(WebKitAutomationSession*, gpointer data) {
    auto& app = *static_cast<Application*>(data);
    return app.delegate ? app.delegate->webView() : nullptr;
}

void onAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session, gpointer data) {
    WebKitApplicationInfo* info = webkit_application_info_new();
    webkit_application_info_set_name(info, VelmoraClassroomMain::kAutomationBrowserName);
    webkit_application_info_set_version(info, 1, 4, 5);
    webkit_automation_session_set_application_info(session, info);
    webkit_application_info_unref(info);
    g_signal_connect(session, "create-web-view", G_CALLBACK(onCreateAutomationWebView), data);
}

// Only the primary instance starts up, so no two processes create the keyring's secret at once.
// The lookup blocks (on the service, and on an unlock prompt if the keyring asks), so it runs on
// its own thread; activation waits for it.
void startKeyringLookup(Application& app) {
    app.keyringSecret = std::async(std::launch::async, [] {
        return LibsecretKeyring(IdentitySource::system()->userName()).loadOrCreateSecret();
    });
}

void onStartup(GApplication*, gpointer data) {
    StartupTrace::mark("startup");
    auto& app = *static_cast<Application*>(data);
    startKeyringLookup(app);
    gtk_window_set_default_icon_name(VelmoraClassroomMain::kApplicationId);
    // Set up now, about 10 ms, while the keyring answers on its own thread.
    WebKitWebContext* context = webkit_web_context_get_default();
    if (app.automation) {
        webkit_web_context_set_automation_allowed(context, TRUE);
        g_signal_connect(context, "automation-started", G_CALLBACK(onAutomationStarted), data);
    }
}

void onShutdown(GApplication*, gpointer data) {
    auto& app = *static_cast<Application*>(data);
    if (app.delegate) app.delegate->applicationWillTerminate();
}

// Runs before the application registers on the bus or opens a display: --version ends here, so it
// needs neither and leaves the data folder alone (--help ends even earlier, in option parsing).
int onLocalOptions(GApplication*, GVariantDict* options, gpointer data) {
    auto& app = *static_cast<Application*>(data);
    if (g_variant_dict_contains(options, "version")) {
        std::printf("velmora-classroom %s\n", VELMORA_VERSION);
        return 0;
    }
    app.automation = g_variant_dict_contains(options, "automation-mode");
    return -1;  // carry on
}

// SIGTERM or SIGINT (the service manager, a terminal, a logout without a session manager) ends the
// application without asking; the page still gets to save its progress.
gboolean onTerminationSignal(gpointer data) {
    auto& app = *static_cast<Application*>(data);
    if (app.delegate) {
        app.delegate->applicationWillEndWithoutAsking();
    } else {
        g_application_quit(G_APPLICATION(app.object.get()));
    }
    return G_SOURCE_CONTINUE;
}

// The desktop session is about to end (only with "register-session" set).
void onQueryEnd(GtkApplication*, gpointer data) {
    auto& app = *static_cast<Application*>(data);
    if (app.delegate) app.delegate->applicationWillEndWithoutAsking(true);
}

}  // namespace

int VelmoraClassroomMain::main(int argc, char** argv) {
    StartupTrace::mark("main");
    // WebKit's MPRIS player reports this name as its Identity and leaves DesktopEntry empty, so it
    // is how the desktop names the player.
    g_set_application_name(kApplicationName);
    Application app;
    app.object = adoptGObject(adw_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS));
    GApplication* application = G_APPLICATION(app.object.get());
    g_application_add_main_option(application, "automation-mode", 0, G_OPTION_FLAG_HIDDEN, G_OPTION_ARG_NONE,
                                  "Let WebKitWebDriver drive the window", nullptr);
    g_application_add_main_option(application, "version", 0, G_OPTION_FLAG_NONE, G_OPTION_ARG_NONE,
                                  "Print the program's version and exit", nullptr);
    g_application_set_option_context_summary(application,
                                             "Velmora Classroom (星禾课堂): lessons of your classes, online and offline.");
    g_signal_connect(application, "handle-local-options", G_CALLBACK(onLocalOptions), &app);
    g_signal_connect(application, "startup", G_CALLBACK(onStartup), &app);
    g_signal_connect(application, "activate", G_CALLBACK(onActivate), &app);
    g_signal_connect(application, "shutdown", G_CALLBACK(onShutdown), &app);
    g_object_set(application, "register-session", TRUE, nullptr);
    g_signal_connect(application, "query-end", G_CALLBACK(onQueryEnd), &app);
    guint terminate = g_unix_signal_add(SIGTERM, onTerminationSignal, &app);
    guint interrupt = g_unix_signal_add(SIGINT, onTerminationSignal, &app);

    int status = g_application_run(application, argc, argv);

    g_source_remove(terminate);
    g_source_remove(interrupt);
    app.delegate.reset();
    return status != 0 ? status : app.exitStatus;
}

}  // namespace velmora

int main(int argc, char** argv) { return velmora::VelmoraClassroomMain::main(argc, argv); }
