#include "app/WebKitWebViewHost.h"

#include "app/ShellScripts.h"
#include "bridge/MacBridge.h"

#include <string>
#include <utility>

namespace velmora {

namespace {

constexpr const char* kWorld = ShellScripts::kBridgeWorld.data();

GObjectPtr<WebKitSettings> makeSettings() {
    auto settings = adoptGObject(webkit_settings_new());
    webkit_settings_set_javascript_can_open_windows_automatically(settings.get(), FALSE);
    webkit_settings_set_enable_javascript(settings.get(), TRUE);
    webkit_settings_set_media_playback_requires_user_gesture(settings.get(), FALSE);
    webkit_settings_set_user_agent(settings.get(), WebKitWebViewHost::kUserAgent);
    return settings;
}

void addScript(WebKitUserContentManager* manager, std::string_view source, WebKitUserContentInjectedFrames frames,
               const char* world, bool appFramesOnly) {
    const std::string pattern(ShellScripts::kAppFramePattern);
    const char* allowList[] = {pattern.c_str(), nullptr};
    const std::string text(source);
    const char* const* allowed = appFramesOnly ? allowList : nullptr;
    constexpr auto kStart = WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START;
    WebKitUserScript* script = world != nullptr ? webkit_user_script_new_for_world(text.c_str(), frames, kStart, world, allowed, nullptr)
                                                : webkit_user_script_new(text.c_str(), frames, kStart, allowed, nullptr);
    webkit_user_content_manager_add_script(manager, script);
    webkit_user_script_unref(script);
}

std::optional<std::string> stringProperty(JSCValue* object, const char* name) {
    auto value = adoptGObject(jsc_value_object_get_property(object, name));
    if (!value || !jsc_value_is_string(value.get())) return std::nullopt;
    GCharPtr text(jsc_value_to_string(value.get()));
    return std::string(text.get());
}

}  // namespace

WebKitWebViewHost::WebKitWebViewHost(WebKitWebContext* context, WebKitNetworkSession* session, bool automation)
    : contentManager_(adoptGObject(webkit_user_content_manager_new())) {
    auto settings = makeSettings();
    // Lessons play with their sound without a click, as the settings above ask; WebKitGTK's default
    // policy would only let muted media start.
    auto policies = adoptGObject(webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, nullptr));
    auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "network-session", session,
                                              "user-content-manager", contentManager_.get(), "settings", settings.get(),
                                              "website-policies", policies.get(), "is-controlled-by-automation", automation,
                                              nullptr));
    view_ = GObjectPtr<WebKitWebView>(WEBKIT_WEB_VIEW(g_object_ref_sink(view)));
    // Drawn on the window's own dark background.
    const GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(view_.get(), &transparent);
}

WebKitWebViewHost::~WebKitWebViewHost() { unregisterBridge(); }

void WebKitWebViewHost::installScripts(const std::optional<std::string>& mediaLoopbackBase) {
    WebKitUserContentManager* manager = contentManager_.get();
    addScript(manager, ShellScripts::macNativeScript(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, nullptr, false);
    addScript(manager, ShellScripts::relayScript(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, kWorld, true);
    addScript(manager, ShellScripts::pagePostMessageScript(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, nullptr, true);
    if (mediaLoopbackBase) {
        addScript(manager, ShellScripts::mediaSourceRewriteScript(*mediaLoopbackBase), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                  nullptr, true);
    }
}

void WebKitWebViewHost::registerBridge(MessageHandler handler) {
    handler_ = std::move(handler);
    // Connect before registering, so no message can arrive without a receiver.
    const std::string signal = "script-message-received::" + std::string(MacBridge::kHandlerName);
    messageConnection_ = connectSignal(contentManager_.get(), signal.c_str(), onScriptMessage, this);
    bridgeRegistered_ = webkit_user_content_manager_register_script_message_handler(
        contentManager_.get(), std::string(MacBridge::kHandlerName).c_str(), kWorld);
}

void WebKitWebViewHost::unregisterBridge() {
    if (bridgeRegistered_) {
        webkit_user_content_manager_unregister_script_message_handler(contentManager_.get(),
                                                                      std::string(MacBridge::kHandlerName).c_str(), kWorld);
        bridgeRegistered_ = false;
    }
    messageConnection_.disconnect();
    handler_ = nullptr;
}

void WebKitWebViewHost::onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer self) {
    auto* host = static_cast<WebKitWebViewHost*>(self);
    if (!host->handler_ || !jsc_value_is_object(value)) return;
    std::optional<std::string> body = stringProperty(value, "body");
    if (!body) return;
    host->handler_(stringProperty(value, "frame"), *body);
}

void WebKitWebViewHost::evaluateScript(const std::string& script) {
    webkit_web_view_evaluate_javascript(view_.get(), script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
}

void WebKitWebViewHost::setPageZoom(double factor) { webkit_web_view_set_zoom_level(view_.get(), factor); }

}  // namespace velmora
