#pragma once

#include "app/GLibHandles.h"
#include "bridge/MacApplicationCommands.h"

#include <webkit/webkit.h>

#include <memory>
#include <vector>

namespace velmora {

// Workaround: WebKitGTK does not say which frame a navigation action targets, because
// WebKitNavigationAction has no main-frame flag (as of 2.50; upstream:
// https://bugs.webkit.org/show_bug.cgi?id=315275). The delegate therefore decides actions aimed at
// an existing frame as if for an iframe, and this guard stops a main-frame navigation that may not
// proceed at its response, the first point where WebKit names the main frame, before anything is
// committed: the packaged page stays. The stop (or a failure to connect) ends in load-failed, where
// the guard shows no error page and opens web addresses in the browser. Meanwhile such a request
// reaches the network before it stops. Delete this file pair once the navigation action can tell
// the main frame apart and the delegate decides main-frame actions itself.
class MainFrameNavigationGuard {
public:
    // Watches `view`'s response decisions and main-frame load failures while this lives. Main thread.
    MainFrameNavigationGuard(WebKitWebView* view, std::shared_ptr<Workspace> workspace);

private:
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer self);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, const char* failingURI, GError*, gpointer self);

    std::shared_ptr<Workspace> workspace_;  // null: web addresses are dropped
    std::vector<SignalConnection> connections_;
};

}  // namespace velmora
