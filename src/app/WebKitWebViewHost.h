#pragma once

#include "app/GLibHandles.h"
#include "bridge/WebViewHost.h"

#include <webkit/webkit.h>

#include <functional>
#include <optional>
#include <string>

namespace velmora {

// The main web view: WebKit settings, user agent, injected scripts and the bridge's script-message
// relay; WebViewHost for the bridge. Main thread only.
class WebKitWebViewHost : public WebViewHost {
public:
    static constexpr const char* kUserAgent = "VelmoraClassroom-macOS/1.4.5 AppleWebKit";

    // A page message: the sending frame's address (nullopt when the relay did not give one) and
    // the body as JSON text.
    using MessageHandler = std::function<void(std::optional<std::string> frameURL, const std::string& bodyJSON)>;

    // `automation`: the view is driven by WebKitWebDriver (tests).
    WebKitWebViewHost(WebKitWebContext* context, WebKitNetworkSession* session, bool automation);
    ~WebKitWebViewHost() override;
    WebKitWebViewHost(const WebKitWebViewHost&) = delete;
    WebKitWebViewHost& operator=(const WebKitWebViewHost&) = delete;

    WebKitWebView* view() const { return view_.get(); }

    // Adds the "mac-native" script and the bridge scripts; `mediaLoopbackBase` adds the media
    // source rewrite. Call before loading.
    void installScripts(const std::optional<std::string>& mediaLoopbackBase);

    // Connects `handler` and registers the "velmora" handler in the bridge's script world.
    void registerBridge(MessageHandler handler);
    // Removes the "velmora" handler; later page messages go nowhere.
    void unregisterBridge();

    void evaluateScript(const std::string& script) override;
    void setPageZoom(double factor) override;

private:
    static void onScriptMessage(WebKitUserContentManager* manager, JSCValue* value, gpointer self);

    GObjectPtr<WebKitUserContentManager> contentManager_;
    GObjectPtr<WebKitWebView> view_;
    MessageHandler handler_;
    SignalConnection messageConnection_;
    bool bridgeRegistered_ = false;
};

}  // namespace velmora
