#include "app/MainFrameNavigationGuard.h"

#include "app/NavigationPolicy.h"

#include <optional>
#include <string_view>
#include <utility>

namespace velmora {

namespace {

NavigationDecision decideMainFrame(const char* uri) {
    return decideNavigation(uri != nullptr ? std::optional<std::string_view>(uri) : std::nullopt, NavigationTarget::mainFrame);
}

}  // namespace

MainFrameNavigationGuard::MainFrameNavigationGuard(WebKitWebView* view, std::shared_ptr<Workspace> workspace)
    : workspace_(std::move(workspace)) {
    connections_.push_back(connectSignal(view, "decide-policy", onDecidePolicy, this));
    connections_.push_back(connectSignal(view, "load-failed", onLoadFailed, this));
}

gboolean MainFrameNavigationGuard::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                                  gpointer) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (!webkit_response_policy_decision_is_main_frame_main_resource(response)) return FALSE;
    if (decideMainFrame(webkit_uri_request_get_uri(webkit_response_policy_decision_get_request(response))) ==
        NavigationDecision::allow) {
        return FALSE;
    }
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

// load-failed is emitted for the main frame only.
gboolean MainFrameNavigationGuard::onLoadFailed(WebKitWebView*, WebKitLoadEvent, const char* failingURI, GError*, gpointer self) {
    auto* guard = static_cast<MainFrameNavigationGuard*>(self);
    switch (decideMainFrame(failingURI)) {
    case NavigationDecision::allow:
        return FALSE;  // a packaged page that failed: WebKit's own error page
    case NavigationDecision::cancelAndOpenInBrowser:
        if (guard->workspace_) guard->workspace_->openURL(failingURI);
        return TRUE;
    case NavigationDecision::cancel:
        return TRUE;
    }
    return TRUE;
}

}  // namespace velmora
